#include "tests/unit/test_support.h"

#include <doctest/doctest.h>

#include "client/lib/telvarin_client.h"
#include "common/protocol_key.h"
#include "common/win_raii.h"

namespace testing {

void DeleteSystemEventTree() {
    // RegDeleteTree takes no view: open the parent in the protocol's view and delete beneath it.
    // Only SystemEvent: the product key beside it holds the published client lock of the test.
    win::RegKey vendor;
    if (telvarin::OpenProtocolKey(TELVARIN_KEY_VENDOR, KEY_ALL_ACCESS, vendor) == ERROR_SUCCESS)
        RegDeleteTreeA(vendor.Get(), TELVARIN_KEY_ROOT + sizeof TELVARIN_KEY_VENDOR);  // "SystemEvent"
}

void DeleteKey(const char* subkey) { RegDeleteKeyExA(HKEY_LOCAL_MACHINE, subkey, telvarin::kProtocolView, 0); }

void WriteRaw(const char* subkey, const char* name, DWORD type, const void* data, DWORD size) {
    win::RegKey key;
    telvarin::CreateProtocolKey(subkey, KEY_ALL_ACCESS, key);
    RegSetValueExA(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size);
}

void WriteDword(const char* subkey, const char* name, DWORD value) {
    WriteRaw(subkey, name, REG_DWORD, &value, sizeof value);
}

DWORD ReadDword(const char* subkey, const char* name, DWORD missing) {
    win::RegKey key;
    telvarin_reading reading;
    if (telvarin::OpenProtocolKey(subkey, KEY_QUERY_VALUE, key) != ERROR_SUCCESS ||
        telvarin_read_dword(key.Get(), name, &reading) != TELVARIN_OK || reading.state != TELVARIN_READ_OK)
        return missing;
    return reading.value;
}

bool KeyExists(const char* subkey) {
    win::RegKey key;
    return telvarin::OpenProtocolKey(subkey, KEY_QUERY_VALUE, key) == ERROR_SUCCESS;
}

RecordingEventLog::RecordingEventLog() { InitializeCriticalSection(&m_cs); }
RecordingEventLog::~RecordingEventLog() { DeleteCriticalSection(&m_cs); }

HANDLE RecordingEventLog::Register(const char* sourceName) {
    if (registerDelayMs) Sleep(registerDelayMs);
    {
        win::Lock lock(m_cs);
        lastSourceName = sourceName;
    }
    if (InterlockedDecrement(&failRegistrations) >= 0) return nullptr;
    InterlockedExchange(&failRegistrations, 0);
    LONG n = InterlockedIncrement(&registrations);
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1000 + n));
}

void RecordingEventLog::Report(HANDLE, WORD type, DWORD eventId, WORD stringCount, const char** strings) {
    LoggedEvent event{type, eventId, {}};
    for (WORD i = 0; i < stringCount; ++i) event.strings.emplace_back(strings[i] ? strings[i] : "(null)");
    win::Lock lock(m_cs);
    m_events.push_back(event);
}

void RecordingEventLog::Deregister(HANDLE) { InterlockedIncrement(&deregistrations); }

std::vector<LoggedEvent> RecordingEventLog::Events() {
    win::Lock lock(m_cs);
    return m_events;
}

std::vector<std::string> RecordingEventLog::Texts() {
    std::vector<std::string> texts;
    for (const LoggedEvent& e : Events())
        if (e.id == MSG_TEXT && e.strings.size() == 1) texts.push_back(e.strings[0]);
    return texts;
}

void RecordingEventLog::Clear() {
    win::Lock lock(m_cs);
    m_events.clear();
}

RecordingServiceControl::RecordingServiceControl() { InitializeCriticalSection(&m_cs); }
RecordingServiceControl::~RecordingServiceControl() { DeleteCriticalSection(&m_cs); }

SERVICE_STATUS_HANDLE RecordingServiceControl::RegisterHandler(const char*, LPHANDLER_FUNCTION_EX) {
    if (refuseHandler) return nullptr;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<ULONG_PTR>(0x5C));
}

BOOL RecordingServiceControl::ReportStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS* status) {
    if (InterlockedDecrement(&failReports) >= 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    InterlockedExchange(&failReports, 0);
    win::Lock lock(m_cs);
    m_reports.push_back(*status);
    return TRUE;
}

void RecordingServiceControl::EndProcess(UINT exitCode) { InterlockedExchange(&endedWith, static_cast<LONG>(exitCode)); }

std::vector<SERVICE_STATUS> RecordingServiceControl::Reports() {
    win::Lock lock(m_cs);
    return m_reports;
}

DWORD RecordingServiceControl::LastState() {
    win::Lock lock(m_cs);
    return m_reports.empty() ? 0 : m_reports.back().dwCurrentState;
}

HANDLE FlakyThreadApi::StartThread(LPTHREAD_START_ROUTINE procedure, void* parameter) {
    InterlockedIncrement(&startAttempts);
    if (InterlockedDecrement(&failStarts) >= 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    InterlockedExchange(&failStarts, 0);
    return SystemThreadApi().StartThread(procedure, parameter);
}

HANDLE FlakyThreadApi::MakeEvent() {
    if (InterlockedDecrement(&failEvents) >= 0) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    InterlockedExchange(&failEvents, 0);
    return SystemThreadApi().MakeEvent();
}

}  // namespace testing

namespace testing {

HRESULT EmulatorComRuntime::InitializeMultithreaded() {
    // The worker's and every helper thread's: several threads at once.
    InterlockedIncrement(&initializeCalls);
    return InterlockedDecrement(&failInitialize) >= 0 ? initializeFailure : S_OK;
}

HRESULT EmulatorComRuntime::InitializeSecurity() {
    ++securityCalls;
    return failSecurity-- > 0 ? E_ACCESSDENIED : S_OK;
}

HRESULT EmulatorComRuntime::CreateLocator(IWbemLocator** locator) {
    ++createCalls;
    if (failCreate-- > 0) return REGDB_E_CLASSNOTREG;
    if (nullLocator-- > 0) {
        *locator = nullptr;
        return S_OK;
    }
    return fwemu::CreateLocator(locator);
}

FirmwareFixture::FirmwareFixture() : baselineObjects(fwemu::LiveObjects()) {
    REQUIRE(emulator.Ok());
    REQUIRE(emulator.Reset());
}


std::vector<fwemu::CallRecord> EmulatorCalls(fwemu::Controller& emulator) {
    std::vector<fwemu::CallRecord> calls;
    uint64_t total = 0;
    REQUIRE(emulator.GetCalls(&calls, &total));
    return calls;
}

std::vector<fwemu::WriteRecord> EmulatorWrites(fwemu::Controller& emulator) {
    std::vector<fwemu::WriteRecord> writes;
    uint64_t total = 0;
    REQUIRE(emulator.GetWrites(&writes, &total));
    return writes;
}

void FirmwareFixture::Fault(const char* name, const char* value) { REQUIRE(emulator.SetFault(name, value)); }


std::vector<std::string> InputTexts(const fwemu::CallRecord& call) {
    return {Narrow(call.in[0]), Narrow(call.in[1]), Narrow(call.in[2]), Narrow(call.in[3])};
}

namespace {
DWORD WINAPI TryLock(LPVOID parameter) {
    CRITICAL_SECTION* lock = &static_cast<win::CriticalSection*>(parameter)->Get();
    if (!TryEnterCriticalSection(lock)) return 0;
    LeaveCriticalSection(lock);
    return 1;
}
}  // namespace

bool Subscribed(fwemu::Controller& emulator) {
    DWORD subscribers = 0;
    return emulator.GetSubscribers(&subscribers) && subscribers > 0;
}

uint64_t EventsDelivered(fwemu::Controller& emulator) {
    uint64_t delivered = 0;
    REQUIRE(emulator.GetEventsDelivered(&delivered));
    return delivered;
}

bool SetWinmgmtRunning(bool running) {
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(OpenServiceA(manager.Get(), "winmgmt", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return false;
    SERVICE_STATUS status{};
    if (running) StartServiceA(service.Get(), 0, nullptr);
    else ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    const DWORD wanted = running ? SERVICE_RUNNING : SERVICE_STOPPED;
    for (int i = 0; i < 300; ++i) {
        if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == wanted) return true;
        Sleep(50);
    }
    return false;
}
bool LockIsFree(win::CriticalSection& lock) {
    win::UniqueHandle thread(CreateThread(nullptr, 0, TryLock, &lock, 0, nullptr));
    WaitForSingleObject(thread.Get(), testing::Patient(5000));
    DWORD free = 0;
    GetExitCodeThread(thread.Get(), &free);
    return free == 1;
}

}  // namespace testing
