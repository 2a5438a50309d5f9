#include "emulator/store.h"

#include <sddl.h>

#include <cstring>

namespace fwemu {
namespace {

constexpr DWORD kLockWaitMs = 10000;

// Process-wide state. Never destroyed: COM objects may be released during process exit.
struct ProcessState {
    win::CriticalSection cs;
    std::wstring* overridePath = nullptr;
    std::shared_ptr<Store>* store = nullptr;
    int liveSlot = -1;
    LONG live = 0;
};
ProcessState& Process() {
    static ProcessState* state = new ProcessState();
    return *state;
}
// Created while the module loads, before any thread of ours can race the first use.
struct ProcessInit {
    ProcessInit() { Process(); }
} g_processInit;

std::wstring Hex64(uint64_t v) {
    wchar_t buf[17];
    for (int i = 15; i >= 0; --i) {
        buf[i] = L"0123456789abcdef"[v & 15];
        v >>= 4;
    }
    buf[16] = 0;
    return buf;
}

std::wstring FullPath(const std::wstring& path) {
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring out(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, &out[0], nullptr);
    out.resize(n);
    return out;
}

void CreateParentDirectories(const std::wstring& path) {
    for (size_t pos = path.find_first_of(L"\\/", 3); pos != std::wstring::npos;
         pos = path.find_first_of(L"\\/", pos + 1)) {
        CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);  // existing ones fail harmlessly
    }
}

class MutexHold {
public:
    MutexHold(HANDLE mutex, bool* abandoned) : m_mutex(mutex) {
        DWORD w = WaitForSingleObject(mutex, kLockWaitMs);
        m_held = (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED);
        if (abandoned) *abandoned = (w == WAIT_ABANDONED);
    }
    ~MutexHold() {
        if (m_held) ReleaseMutex(m_mutex);
    }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;
    bool Held() const { return m_held; }

private:
    HANDLE m_mutex;
    bool m_held = false;
};

}  // namespace

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n,
                            nullptr, nullptr);
    return out;
}

SddlSecurity::SddlSecurity(const wchar_t* sddl) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, m_descriptor.Receive(),
                                                              nullptr)) {
        m_error = GetLastError();
        return;
    }
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = m_descriptor.Get();
    m_attributes.bInheritHandle = FALSE;
}

bool ProcessStart(HANDLE process, uint32_t* low, uint32_t* high) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return false;
    *low = created.dwLowDateTime;
    *high = created.dwHighDateTime;
    return true;
}

bool ProcessAlive(DWORD pid, uint32_t startLow, uint32_t startHigh) {
    win::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return false;
    DWORD code = 0;
    if (!GetExitCodeProcess(process.Get(), &code) || code != STILL_ACTIVE) return false;
    uint32_t low = 0, high = 0;
    // A reused pid belongs to a process started at another time.
    if (ProcessStart(process.Get(), &low, &high) && (low != startLow || high != startHigh)) return false;
    return true;
}

Faults ToFaults(const SharedFaults& s) {
    Faults f;
    f.connectFail = s.connectFail;
    f.methodClassMissing = s.methodClassMissing != 0;
    f.methodMissing = s.methodMissing != 0;
    f.spawnFail = s.spawnFail != 0;
    f.execFail = s.execFail != 0;
    f.noOutput = s.noOutput != 0;
    f.cflag = s.cflag;
    f.outEaxForced = s.outEaxForced != 0;
    f.outEax = s.outEax;
    f.dataInstances = s.dataInstances > kMaxDataInstances ? kMaxDataInstances : s.dataInstances;
    f.putReject = s.putReject != 0;
    f.notifyFail = s.notifyFail;
    f.callDelayMs = s.callDelayMs > kMaxCallDelayMs ? kMaxCallDelayMs : s.callDelayMs;
    f.nullParam = s.nullParam != 0;
    f.nullOutput = s.nullOutput != 0;
    f.nullObject = s.nullObject != 0;
    f.putFail = s.putFail != 0;
    f.dataHang = s.dataHang != 0;
    f.methodHang = s.methodHang != 0;
    f.putHang = s.putHang != 0;
    f.eventHang = s.eventHang != 0;
    f.notifyHang = s.notifyHang != 0;
    f.failCode = s.failCode;
    f.eventFail = s.eventFail;
    f.dataTimeout = s.dataTimeout != 0;
    if (WmiDown(s)) f.wmiDownMs = s.wmiDownUntil - GetTickCount();
    if (s.methodInstanceSet) f.methodInstance.assign(s.methodInstance, wcsnlen(s.methodInstance, kTextChars));
    return f;
}

bool WmiDown(const SharedFaults& s) {
    return s.wmiDown && static_cast<int32_t>(s.wmiDownUntil - GetTickCount()) > 0;
}

void ResetBlock(Block* b) {
    b->model = SharedModel{};
    ModelState defaults;
    b->model.radio = defaults.radio;
    b->model.deviceB = defaults.deviceB;
    b->faults = SharedFaults{};
    b->faults.dataInstances = Faults().dataInstances;
    b->callTotal = 0;
    b->writeTotal = 0;
    memset(b->calls, 0, sizeof(b->calls));
    memset(b->writes, 0, sizeof(b->writes));
    // Entries of exited processes go; running ones keep their counts.
    for (LiveSlot& s : b->live) {
        if (s.pid && !ProcessAlive(static_cast<DWORD>(s.pid), s.startLow, s.startHigh)) {
            s.count = 0;
            s.pid = 0;
        }
    }
    // So do subscriptions that their processes left behind when they were killed.
    for (SubscriberSlot& s : b->subscribers) {
        if (s.pid && !ProcessAlive(static_cast<DWORD>(s.pid), s.startLow, s.startHigh)) s.pid = 0;
    }
}

void InitBlock(Block* b) {
    // Connections made before a forced reset stay connected: the generation survives it.
    const LONG generation = b->generation;
    memset(b, 0, sizeof(*b));
    b->generation = generation;
    b->header.magic = kMagic;
    b->header.version = kVersion;
    b->header.size = sizeof(Block);
    ResetBlock(b);
}

std::string CheckHeader(const BlockHeader& h, const std::wstring& path) {
    std::string where = "state file " + Narrow(path);
    if (h.magic != kMagic) return where + " is not a Telvarin emulator state (bad magic)";
    if (h.version != kVersion)
        return where + " has version " + std::to_string(h.version) + ", expected " +
               std::to_string(kVersion) + " (run 'fwemu-ctl reset --force')";
    if (h.size != sizeof(Block))
        return where + " has block size " + std::to_string(h.size) + ", expected " +
               std::to_string(sizeof(Block));
    return std::string();
}

std::shared_ptr<Store> Store::Open(const std::wstring& path, bool forceInit, std::string* error) {
    std::shared_ptr<Store> s(new Store());
    s->m_path = FullPath(path);
    std::wstring lower = s->m_path;
    if (!lower.empty()) CharLowerBuffW(&lower[0], static_cast<DWORD>(lower.size()));
    uint64_t hash = 1469598103934665603ull;  // FNV-1a over the lower-cased full path
    for (wchar_t c : lower) {
        hash ^= static_cast<uint16_t>(c);
        hash *= 1099511628211ull;
    }
    s->m_baseName = L"Global\\TelvarinFwEmu-" + Hex64(hash);
    std::string where = "state file " + Narrow(s->m_path);

    SddlSecurity fileSecurity(kStateFileSddl);
    if (!s->m_syncSecurity.Get() || !fileSecurity.Get()) {
        DWORD code = fileSecurity.Get() ? s->m_syncSecurity.Error() : fileSecurity.Error();
        *error = "cannot build the state's security descriptor (error " + std::to_string(code) + ")";
        return nullptr;
    }
    // Ask only for what the lock is used for, so that a user may open one the service made.
    s->m_mutex.Reset(CreateMutexExW(s->m_syncSecurity.Get(), s->LockName().c_str(), 0,
                                    SYNCHRONIZE | MUTEX_MODIFY_STATE));
    if (!s->m_mutex) {
        *error = "cannot create the state lock (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    MutexHold hold(s->m_mutex.Get(), nullptr);
    if (!hold.Held()) {
        *error = "timed out waiting for the state lock of " + where;
        return nullptr;
    }

    CreateParentDirectories(s->m_path);
    s->m_file.Reset(CreateFileW(s->m_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, fileSecurity.Get(), OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!s->m_file) {
        *error = "cannot open " + where + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(s->m_file.Get(), &size)) {
        *error = "cannot read the size of " + where;
        return nullptr;
    }
    bool fresh = size.QuadPart == 0;
    if (!fresh && !forceInit) {
        // Judge the header from the file itself so that a short file is never mapped past its end.
        BlockHeader h{};
        DWORD got = 0;
        if (!ReadFile(s->m_file.Get(), &h, sizeof(h), &got, nullptr) || got != sizeof(h)) {
            *error = where + " is too short to be a Telvarin emulator state";
            return nullptr;
        }
        std::string bad = CheckHeader(h, s->m_path);
        if (bad.empty() && size.QuadPart != static_cast<LONGLONG>(sizeof(Block)))
            bad = where + " has " + std::to_string(size.QuadPart) + " bytes, expected " +
                  std::to_string(sizeof(Block));
        if (!bad.empty()) {
            *error = bad;
            return nullptr;
        }
    }
    if (fresh || forceInit) {
        LARGE_INTEGER want;
        want.QuadPart = sizeof(Block);
        if (!SetFilePointerEx(s->m_file.Get(), want, nullptr, FILE_BEGIN) || !SetEndOfFile(s->m_file.Get())) {
            *error = "cannot size " + where;
            return nullptr;
        }
    }
    // Unnamed, so no other process can open the mapping; they all reach the block through the file.
    s->m_mapping.Reset(CreateFileMappingW(s->m_file.Get(), nullptr, PAGE_READWRITE, 0, sizeof(Block), nullptr));
    if (!s->m_mapping) {
        *error = "cannot map " + where + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    s->m_view.Reset(MapViewOfFile(s->m_mapping.Get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(Block)));
    if (!s->m_view) {
        *error = "cannot map " + where + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    s->m_block = static_cast<Block*>(s->m_view.Get());
    if (fresh || forceInit) {
        InitBlock(s->m_block);
        FlushViewOfFile(s->m_block, sizeof(BlockHeader));
    }
    std::string bad = CheckHeader(s->m_block->header, s->m_path);
    if (!bad.empty()) {
        *error = bad;
        return nullptr;
    }
    return s;
}

Store::~Store() = default;

std::wstring Store::SubscriberEventName(DWORD pid, DWORD id) const {
    return m_baseName + L"-ev-" + std::to_wstring(pid) + L"-" + std::to_wstring(id);
}

Store::Guard::Guard(Store& store) : m_store(store) {
    DWORD w = WaitForSingleObject(store.m_mutex.Get(), kLockWaitMs);
    if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) {
        m_error = "timed out waiting for the state lock of " + Narrow(store.m_path);
        return;
    }
    m_locked = true;
    // Someone may have overwritten the file since it was opened; never trust a changed block.
    m_error = CheckHeader(store.m_block->header, store.m_path);
    if (!m_error.empty()) return;
    // A holder died mid-update: records are written whole or not at all from a reader's view
    // (they are bounded and independent), so carry on and count it.
    if (w == WAIT_ABANDONED) ++store.m_block->header.abandoned;
    m_block = store.m_block;
}

Store::Guard::~Guard() {
    if (m_locked) ReleaseMutex(m_store.m_mutex.Get());
}

win::UniqueHandle Store::CreateSubscriberEvent(DWORD pid, DWORD id) {
    return win::UniqueHandle(CreateEventExW(m_syncSecurity.Get(), SubscriberEventName(pid, id).c_str(), 0,
                                            SYNCHRONIZE | EVENT_MODIFY_STATE));
}

void Store::WakeSubscribers() {
    SubscriberSlot slots[kSubscriberSlots];
    {
        Guard g(*this);
        if (!g.Block()) return;
        memcpy(slots, g.Block()->subscribers, sizeof(slots));
    }
    for (const SubscriberSlot& s : slots) {
        if (!s.pid) continue;
        win::UniqueHandle ev(OpenEventW(EVENT_MODIFY_STATE, FALSE,
                                        SubscriberEventName(static_cast<DWORD>(s.pid), s.id).c_str()));
        if (ev) SetEvent(ev.Get());
    }
}

int Store::ClaimLiveSlot(LONG count) {
    LONG me = static_cast<LONG>(GetCurrentProcessId());
    uint32_t low = 0, high = 0;
    ProcessStart(GetCurrentProcess(), &low, &high);
    int chosen = -1;
    for (int i = 0; i < kLiveSlots && chosen < 0; ++i) {
        LiveSlot& s = m_block->live[i];
        if (s.pid == me && s.startLow == low && s.startHigh == high) chosen = i;
    }
    for (int i = 0; i < kLiveSlots && chosen < 0; ++i) {
        if (InterlockedCompareExchange(&m_block->live[i].pid, me, 0) == 0) chosen = i;
    }
    // Entries of exited processes stay visible (their counts show leaks) until space runs out.
    for (int i = 0; i < kLiveSlots && chosen < 0; ++i) {
        LiveSlot& s = m_block->live[i];
        LONG seen = s.pid;
        if (ProcessAlive(static_cast<DWORD>(seen), s.startLow, s.startHigh)) continue;
        if (InterlockedCompareExchange(&s.pid, me, seen) == seen) chosen = i;
    }
    if (chosen < 0) return -1;
    LiveSlot& s = m_block->live[chosen];
    s.startLow = low;
    s.startHigh = high;
    InterlockedExchange(&s.count, count);
    return chosen;
}

// ---- process-wide current store and live counting ----------------------------------------

void SetStatePath(const wchar_t* path) {
    ProcessState& p = Process();
    win::Lock lock(p.cs);
    delete p.overridePath;
    p.overridePath = path ? new std::wstring(path) : nullptr;
}

std::wstring StatePath() {
    ProcessState& p = Process();
    {
        win::Lock lock(p.cs);
        if (p.overridePath) return *p.overridePath;
    }
    wchar_t buf[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"TELVARIN_FWEMU_STATE", buf, MAX_PATH);
    if (n > 0 && n < MAX_PATH) return buf;
    // The machine's ProgramData from the registry, not from the environment: a service's
    // environment can name another folder (Wine gives LocalSystem C:\users\Public), and every
    // process of the machine must meet in the same file.
    std::wstring base = L"C:\\ProgramData";
    DWORD size = sizeof buf;
    wchar_t expanded[MAX_PATH];
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
                     L"ProgramData", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, buf,
                     &size) == ERROR_SUCCESS) {
        n = ExpandEnvironmentStringsW(buf, expanded, MAX_PATH);
        if (n > 0 && n <= MAX_PATH) base = expanded;
    }
    return base + L"\\TelvarinEmulator\\firmware-state.bin";
}

std::shared_ptr<Store> CurrentStore(std::string* error) {
    std::wstring path = StatePath();
    ProcessState& p = Process();
    win::Lock lock(p.cs);
    if (p.store && *p.store && (*p.store)->Path() == FullPath(path)) return *p.store;
    std::shared_ptr<Store> opened = Store::Open(path, false, error);
    if (!opened) return nullptr;
    if (p.store && *p.store && p.liveSlot >= 0) {
        // This process no longer publishes into the previous file.
        LiveSlot& old = (*p.store)->Raw()->live[p.liveSlot];
        InterlockedExchange(&old.count, 0);
        InterlockedExchange(&old.pid, 0);
    }
    if (!p.store) p.store = new std::shared_ptr<Store>();
    *p.store = opened;
    // Processes that never hold an object (the controller) stay out of the table.
    p.liveSlot = p.live > 0 ? opened->ClaimLiveSlot(p.live) : -1;
    return opened;
}

void LiveDelta(LONG delta) {
    ProcessState& p = Process();
    win::Lock lock(p.cs);
    p.live += delta;
    if (!p.store || !*p.store) return;
    if (p.liveSlot < 0) {
        p.liveSlot = (*p.store)->ClaimLiveSlot(p.live);
        return;
    }
    LiveSlot& slot = (*p.store)->Raw()->live[p.liveSlot];
    if (slot.pid == static_cast<LONG>(GetCurrentProcessId()))
        InterlockedExchange(&slot.count, p.live);
    else  // a forced reset rewrote the table under us
        p.liveSlot = (*p.store)->ClaimLiveSlot(p.live);
}

LONG LiveObjects() {
    ProcessState& p = Process();
    win::Lock lock(p.cs);
    return p.live;
}

// Lets fwemu.dll drop its mapping when it is unloaded.
void ReleaseCurrentStore() {
    ProcessState& p = Process();
    win::Lock lock(p.cs);
    if (p.store) p.store->reset();
    p.liveSlot = -1;
}

}  // namespace fwemu
