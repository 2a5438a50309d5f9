// telvarin-bench.exe: the in-prefix half of the benchmarks. It times, with one clock, what a
// client feels (button event to wake-up, request to acknowledgement, start, stop), the same
// registry work done by bare helper processes (the floor), and, for button events, the same WMI
// calls made inline by a minimal program; it prints one JSON object per line. bench/run.py drives
// it; it is no tool for users.
#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "common/protocol.h"
#include "common/protocol_key.h"
#include "common/registry_dword.h"
#include "common/win_raii.h"
#include "emulator/fwemu.h"
#include "emulator/store.h"

namespace {

constexpr char kNotificationKey[] = TELVARIN_KEY_NOTIFICATION;
constexpr char kStatusControlKey[] = TELVARIN_KEY_STATUS_CONTROL;
// The floor's own request key: beside the service's tree, so the service never sees it.
constexpr char kFloorControlKey[] = TELVARIN_KEY_VENDOR "\\TelvarinBenchFloor\\StatusControl";
constexpr char kServiceName[] = TELVARIN_SERVICE_NAME;
constexpr DWORD kEventCode = 0x10;   // an ordinary button: toggled into Notification ""
constexpr DWORD kRequest0 = TELVARIN_REQUEST_0;  // its acknowledgement is the same bit (TELVARIN_ACK_0)
constexpr DWORD kAnswerTimeoutMs = 2000;  // answers take milliseconds; this is a loss
constexpr DWORD kSlowCallMs = 3000;

double NowUs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

int Fail(const char* what, DWORD code = 0) {
    std::fprintf(stderr, "telvarin-bench: %s (%lu)\n", what, code);
    return 1;
}

DWORD ReadDword(HKEY key, const char* name) {
    DWORD value = 0;
    telvarin::ReadDwordValue(key, name, value);
    return value;
}

LSTATUS WriteDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// The registry work of one update as the service does it: open by path, read, write, close.
void ToggleByPath(const char* path, const char* name, DWORD bits) {
    win::RegKey key;
    if (telvarin::OpenProtocolKey(path, KEY_QUERY_VALUE | KEY_SET_VALUE, key) != ERROR_SUCCESS) return;
    const DWORD current = ReadDword(key.Get(), name);
    WriteDword(key.Get(), name, (current & bits) == bits ? current & ~bits : current | bits);
}

DWORD ReadByPath(const char* path, const char* name) {
    win::RegKey key;
    if (telvarin::OpenProtocolKey(path, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return 0;
    return ReadDword(key.Get(), name);
}

// A client's watch of one key: armed before the client acts, re-armed before each read.
class KeyWatch {
public:
    bool Open(const char* path) {
        if (telvarin::OpenProtocolKey(path, KEY_NOTIFY | KEY_QUERY_VALUE, m_key) != ERROR_SUCCESS)
            return false;
        m_changed.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        return m_changed && Arm();
    }
    bool Arm() {
        return RegNotifyChangeKeyValue(m_key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, m_changed.Get(), TRUE) ==
               ERROR_SUCCESS;
    }
    DWORD Read(const char* name) const { return ReadDword(m_key.Get(), name); }
    // Waits until the value `name` differs from `before` in `mask`; the time of the wake-up that
    // showed it, or a negative number on timeout.
    double WaitForChange(const char* name, DWORD before, DWORD mask) {
        const double deadline = NowUs() + kAnswerTimeoutMs * 1000.0;
        for (;;) {
            const double left = deadline - NowUs();
            if (left <= 0 || WaitForSingleObject(m_changed.Get(), static_cast<DWORD>(left / 1000) + 1) != WAIT_OBJECT_0)
                return -1;
            const double woke = NowUs();
            Arm();
            if ((Read(name) ^ before) & mask) return woke;
        }
    }

private:
    win::RegKey m_key;
    win::UniqueHandle m_changed;
};

// A bare helper process (this program again) that stands for the service in the floor runs.
class FloorProcess {
public:
    bool Start(const char* mode) {
        char name[64];
        std::snprintf(name, sizeof name, "TelvarinBench-%lu-%s", GetCurrentProcessId(), mode);
        m_wake.Reset(CreateEventA(nullptr, FALSE, FALSE, (std::string(name) + "-wake").c_str()));
        m_quit.Reset(CreateEventA(nullptr, TRUE, FALSE, (std::string(name) + "-quit").c_str()));
        m_ready.Reset(CreateEventA(nullptr, TRUE, FALSE, (std::string(name) + "-ready").c_str()));
        if (!m_wake || !m_quit || !m_ready) return false;
        char exe[MAX_PATH];
        if (!GetModuleFileNameA(nullptr, exe, MAX_PATH)) return false;
        std::string command = std::string("\"") + exe + "\" " + mode + " " + name;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            return false;
        m_process.Reset(info.hProcess);
        win::UniqueHandle thread(info.hThread);
        const HANDLE waits[2] = {m_ready.Get(), m_process.Get()};
        return WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    }
    HANDLE Wake() const { return m_wake.Get(); }
    ~FloorProcess() {
        if (!m_process) return;
        SetEvent(m_quit.Get());
        WaitForSingleObject(m_process.Get(), 10000);
    }

private:
    win::UniqueHandle m_wake, m_quit, m_ready, m_process;
};

struct FloorEvents {
    win::UniqueHandle wake, quit, ready;
    bool Open(const std::string& name) {
        wake.Reset(OpenEventA(SYNCHRONIZE, FALSE, (name + "-wake").c_str()));
        quit.Reset(OpenEventA(SYNCHRONIZE, FALSE, (name + "-quit").c_str()));
        ready.Reset(OpenEventA(EVENT_MODIFY_STATE, FALSE, (name + "-ready").c_str()));
        return wake && quit && ready;
    }
};

// Floor of a button event: woken by a named event, it toggles the bits into Notification "".
int RunFloorEvents(const std::string& name) {
    FloorEvents ev;
    if (!ev.Open(name)) return Fail("floor events: named events missing", GetLastError());
    SetEvent(ev.ready.Get());
    const HANDLE waits[2] = {ev.quit.Get(), ev.wake.Get()};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
        ToggleByPath(kNotificationKey, "", kEventCode);
    return 0;
}

// Floor of a request: watches its own StatusControl key and answers request 0 the way the
// service's watcher does, without the firmware call.
int RunFloorRequests(const std::string& name) {
    FloorEvents ev;
    if (!ev.Open(name)) return Fail("floor requests: named events missing", GetLastError());
    win::RegKey key;
    if (telvarin::OpenProtocolKey(kFloorControlKey, KEY_NOTIFY, key) != ERROR_SUCCESS)
        return Fail("floor requests: key missing");
    win::UniqueHandle changed(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!changed) return Fail("floor requests: CreateEvent", GetLastError());
    RegNotifyChangeKeyValue(key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed.Get(), TRUE);
    DWORD previous = ReadByPath(kFloorControlKey, TELVARIN_VALUE_TYPE2);
    SetEvent(ev.ready.Get());
    const HANDLE waits[2] = {ev.quit.Get(), changed.Get()};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        // Re-armed before the read, so that a request written meanwhile signals again.
        ResetEvent(changed.Get());
        RegNotifyChangeKeyValue(key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed.Get(), TRUE);
        const DWORD request = ReadByPath(kFloorControlKey, TELVARIN_VALUE_TYPE2);
        const DWORD answers = ReadByPath(kNotificationKey, TELVARIN_VALUE_TYPE2);
        if ((previous ^ request) & kRequest0) {
            win::RegKey notification;
            if (telvarin::OpenProtocolKey(kNotificationKey, KEY_SET_VALUE | KEY_QUERY_VALUE, notification) == ERROR_SUCCESS)
                WriteDword(notification.Get(), TELVARIN_VALUE_TYPE2, answers ^ kRequest0);
        }
        previous = request;
    }
    return 0;
}

// The inline floor's emulator state: a file of its own, so that an event raised for the floor
// wakes only the floor, and one raised for the service only the service.
std::wstring InlineFloorState() {
    wchar_t folder[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, folder);
    return std::wstring(length && length < MAX_PATH ? folder : L"C:\\") + L"telvarin-bench-inline-floor.bin";
}

// Floor of a button event with the firmware in it: a minimal program that makes the service's
// WMI calls inline, on its one thread: subscribed to its own emulator's button events, it polls
// them in the service's 500 ms slices and toggles each code into Notification "" as the service
// does. What the service adds beyond this is its own machinery (the bound on a hung poll).
int RunInlineFloor(const std::string& name) {
    FloorEvents ev;
    if (!ev.Open(name)) return Fail("inline floor: named events missing", GetLastError());
    fwemu::SetStatePath(InlineFloorState().c_str());
    win::ScopedComInit com;
    if (FAILED(com.Result())) return Fail("inline floor: CoInitializeEx failed");
    Microsoft::WRL::ComPtr<IWbemLocator> locator;
    Microsoft::WRL::ComPtr<IWbemServices> services;
    Microsoft::WRL::ComPtr<IEnumWbemClassObject> events;
    win::Bstr space(L"" TELVARIN_WMI_NAMESPACE), language(L"WQL"), query(L"SELECT * FROM " TELVARIN_WMI_EVENT_CLASS);
    if (fwemu::CreateLocator(locator.GetAddressOf()) != S_OK ||
        locator->ConnectServer(space.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.GetAddressOf()) != S_OK ||
        services->ExecNotificationQuery(language.Get(), query.Get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                        nullptr, events.GetAddressOf()) != S_OK)
        return Fail("inline floor: cannot subscribe to its emulator");
    SetEvent(ev.ready.Get());
    while (WaitForSingleObject(ev.quit.Get(), 0) != WAIT_OBJECT_0) {
        Microsoft::WRL::ComPtr<IWbemClassObject> event;
        ULONG returned = 0;
        const HRESULT hr = events->Next(500, 1, event.GetAddressOf(), &returned);
        if (returned != 1) {
            if (hr != WBEM_S_TIMEDOUT) return Fail("inline floor: poll failed", static_cast<DWORD>(hr));
            continue;
        }
        win::Variant param;
        DWORD code = 0;
        if (event->Get(L"" TELVARIN_WMI_PARAM, 0, param.Receive(), nullptr, nullptr) != S_OK || !param.ToUint32(code)) continue;
        if (code == TELVARIN_EVENT_SLEEP_BUTTON || code == TELVARIN_EVENT_HIBERNATE) continue;
        ToggleByPath(kNotificationKey, "", code);
    }
    return 0;
}

class Emulator {
public:
    bool Ok() const { return m_controller.Ok(); }
    bool Inject() { return m_controller.InjectEvent(kEventCode); }
    fwemu::Controller& Controller() { return m_controller; }
    // What the service has done so far, as the emulator saw it.
    struct Progress {
        uint64_t calls = 0;         // register calls answered
        uint64_t callsStarted = 0;  // register calls that reached the firmware, answered or not
        bool subscribed = false;
    };
    Progress Look(DWORD pid) {
        Progress p;
        std::string error;
        std::shared_ptr<fwemu::Store> store = fwemu::CurrentStore(&error);
        if (!store) return p;
        fwemu::Store::Guard guard(*store);
        const fwemu::Block* block = guard.Block();
        if (!block) return p;
        p.calls = block->callTotal;
        p.callsStarted = block->callsStarted;
        for (const fwemu::SubscriberSlot& slot : block->subscribers)
            if (pid != 0 && static_cast<DWORD>(slot.pid) == pid) p.subscribed = true;
        return p;
    }

private:
    fwemu::Controller m_controller;
};

struct Rng {
    explicit Rng(unsigned seed) : engine(seed) {}
    DWORD Between(DWORD low, DWORD high) { return std::uniform_int_distribution<DWORD>(low, high)(engine); }
    std::mt19937 engine;
};


class Service {
public:
    bool Open() {
        m_manager.Reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!m_manager) return false;
        m_service.Reset(OpenServiceA(m_manager.Get(), kServiceName, SERVICE_QUERY_STATUS | SERVICE_STOP));
        return static_cast<bool>(m_service);
    }
    SERVICE_STATUS_PROCESS Status() const {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        QueryServiceStatusEx(m_service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof status, &needed);
        return status;
    }
    bool Stop() const {
        SERVICE_STATUS status{};
        return ControlService(m_service.Get(), SERVICE_CONTROL_STOP, &status) != 0;
    }

private:
    win::ServiceHandle m_manager, m_service;
};

template <typename Predicate>
bool PollUntil(Predicate done, DWORD timeoutMs) {
    const double deadline = NowUs() + timeoutMs * 1000.0;
    while (!done()) {
        if (NowUs() > deadline) return false;
        Sleep(1);
    }
    return true;
}

// --- events and requests --------------------------------------------------------------------

// The service is ready once it has subscribed: it starts its watchers before that.
bool WaitUntilSubscribed(Emulator& emulator) {
    Service service;
    if (!service.Open()) return false;
    return PollUntil([&] { return emulator.Look(service.Status().dwProcessId).subscribed; }, 30000);
}

// One button event to a client's wake-up; `raise` makes the event happen.
template <typename Raise>
bool TimeEvent(Raise raise, double* latency, double* raiseCost) {
    KeyWatch watch;
    if (!watch.Open(kNotificationKey)) return false;
    const DWORD before = watch.Read("");
    const double start = NowUs();
    raise();
    *raiseCost = NowUs() - start;
    const double woke = watch.WaitForChange("", before, kEventCode);
    *latency = woke < 0 ? -1 : woke - start;
    return true;
}

// Takes `targets` * samples samples, target 0 (the service), 1, ... in turn, so that all see the
// same machine load; spaced at random, so that the listener's 500 ms poll is met at every phase.
template <typename Sample>
bool Alternate(int samples, int targets, unsigned seed, Sample sample) {
    Rng rng(seed);
    for (int i = 0; i < targets * samples; ++i) {
        Sleep(rng.Between(10, 260));
        if (!sample(i % targets)) return false;
    }
    return true;
}

const char* TargetName(bool service) { return service ? "service" : "floor"; }

int RunEvents(int samples, unsigned seed) {
    Emulator emulator;
    if (!emulator.Ok()) return Fail("emulator state unavailable");
    if (!WaitUntilSubscribed(emulator)) return Fail("the service did not subscribe in 30 s");
    FloorProcess floor, inlineFloor;
    if (!floor.Start("floor-events")) return Fail("floor helper did not start", GetLastError());
    // The inline floor's own emulator, reset, then this process back on the service's.
    fwemu::SetStatePath(InlineFloorState().c_str());
    fwemu::Controller inlineEmulator;
    fwemu::SetStatePath(nullptr);
    if (!inlineEmulator.Ok() || !inlineEmulator.Reset()) return Fail("inline floor's emulator state unavailable");
    if (!inlineFloor.Start("floor-inline")) return Fail("inline floor did not start", GetLastError());
    const char* const names[3] = {"service", "inline", "floor"};
    const bool done = Alternate(samples, 3, seed, [&](int target) {
        double latency = 0, cost = 0;
        bool ok = false;
        if (target == 0) ok = TimeEvent([&] { emulator.Inject(); }, &latency, &cost);
        else if (target == 1) ok = TimeEvent([&] { inlineEmulator.InjectEvent(kEventCode); }, &latency, &cost);
        else ok = TimeEvent([&] { SetEvent(floor.Wake()); }, &latency, &cost);
        if (ok)
            std::printf("{\"kind\": \"event\", \"target\": \"%s\", \"us\": %.1f, \"raise_us\": %.1f}\n",
                        names[target], latency, cost);
        return ok;
    });
    return done ? 0 : Fail("Notification key missing");
}

// A request 0 written into `controlKey`, until Notification TELVARIN_VALUE_TYPE2 shows its acknowledgement.
double TimeRequest(const char* controlKey) {
    KeyWatch watch;
    if (!watch.Open(kNotificationKey)) return -2;
    const DWORD before = watch.Read(TELVARIN_VALUE_TYPE2);
    win::RegKey control;
    if (telvarin::OpenProtocolKey(controlKey, KEY_QUERY_VALUE | KEY_SET_VALUE, control) != ERROR_SUCCESS) return -2;
    const DWORD request = ReadDword(control.Get(), TELVARIN_VALUE_TYPE2) ^ kRequest0;
    const double start = NowUs();
    WriteDword(control.Get(), TELVARIN_VALUE_TYPE2, request);
    const double woke = watch.WaitForChange(TELVARIN_VALUE_TYPE2, before, kRequest0);
    return woke < 0 ? -1 : woke - start;
}

// The StatusControl watcher may arm after the subscription, and a request written before it
// arms goes unseen: one acknowledged request proves it watches. A lost one is sent again.
bool WaitUntilServing() {
    for (int attempt = 0; attempt < 3; ++attempt)
        if (TimeRequest(kStatusControlKey) >= 0) return true;
    return false;
}

bool CreateFloorKey() {
    win::RegKey key;
    if (telvarin::CreateProtocolKey(kFloorControlKey, KEY_ALL_ACCESS, key) != ERROR_SUCCESS) return false;
    return WriteDword(key.Get(), TELVARIN_VALUE_TYPE2, 0) == ERROR_SUCCESS;
}

// Readies a run of requests: the service serving, the floor's key made and its process running.
// What is wrong when it cannot, else nullptr.
const char* ReadyRequestRun(FloorProcess* floor) {
    Emulator emulator;
    if (!emulator.Ok() || !WaitUntilSubscribed(emulator) || !WaitUntilServing()) return "the service is not ready";
    if (!CreateFloorKey()) return "cannot create the floor's key";
    if (!floor->Start("floor-requests")) return "floor helper did not start";
    return nullptr;
}

int RunRequests(int samples, unsigned seed) {
    FloorProcess floor;
    if (const char* failure = ReadyRequestRun(&floor)) return Fail(failure);
    const bool done = Alternate(samples, 2, seed, [&](int target) {
        const bool service = target == 0;
        const double latency = TimeRequest(service ? kStatusControlKey : kFloorControlKey);
        if (latency != -2)
            std::printf("{\"kind\": \"request\", \"target\": \"%s\", \"us\": %.1f}\n", TargetName(service), latency);
        return latency != -2;
    });
    return done ? 0 : Fail("SystemEvent keys missing");
}

// Requests back to back, each sent the moment the last one was acknowledged.
int RunThroughput(double seconds) {
    FloorProcess floor;
    if (const char* failure = ReadyRequestRun(&floor)) return Fail(failure);
    for (const char* target : {"service", "floor"}) {
        const char* key = std::strcmp(target, "service") == 0 ? kStatusControlKey : kFloorControlKey;
        int acknowledged = 0, lost = 0;
        const double start = NowUs();
        double elapsed = 0, waitedForLost = 0;
        while (elapsed < seconds * 1e6) {
            const double before = NowUs();
            const double latency = TimeRequest(key);
            if (latency == -2) return Fail("SystemEvent keys missing");
            if (latency < 0) {
                ++lost;
                waitedForLost += NowUs() - before;
            } else {
                ++acknowledged;
            }
            elapsed = NowUs() - start;
        }
        std::printf("{\"kind\": \"throughput\", \"target\": \"%s\", \"acknowledged\": %d, \"lost\": %d, "
                    "\"seconds\": %.3f, \"lost_seconds\": %.3f}\n",
                    target, acknowledged, lost, elapsed / 1e6, waitedForLost / 1e6);
    }
    return 0;
}

// The emulator's own cost of raising an event, with nobody subscribed.
int RunInjectCost(int samples) {
    Emulator emulator;
    if (!emulator.Ok()) return Fail("emulator state unavailable");
    for (int i = 0; i < samples; ++i) {
        const double start = NowUs();
        if (!emulator.Inject()) return Fail("InjectEvent failed");
        std::printf("{\"kind\": \"inject\", \"us\": %.1f}\n", NowUs() - start);
        Sleep(5);
    }
    return 0;
}


// One firmware register call made the way the service makes it (class, method signature, input
// instance, four registers as decimal text, ExecMethod, five outputs read back), in this process:
// the share of a request that is the firmware call itself.
// Stamps (NowUs) after each stage: the class and signature, the input instance with its
// registers, ExecMethod, the outputs read back.
struct CallStages {
    double start = 0, signature = 0, input = 0, executed = 0, read = 0;
};

bool CallFirmwareOnce(IWbemServices* services, CallStages* stages) {
    stages->start = NowUs();
    win::Bstr classPath(L"" TELVARIN_WMI_METHOD_CLASS_PATH);
    win::Bstr instancePath(L"" TELVARIN_WMI_METHOD_PATH);
    win::Bstr method(L"" TELVARIN_WMI_METHOD);
    Microsoft::WRL::ComPtr<IWbemClassObject> methodClass, inSignature, inParams, outParams;
    if (services->GetObject(classPath.Get(), 0, nullptr, methodClass.GetAddressOf(), nullptr) != S_OK) return false;
    if (methodClass->GetMethod(method.Get(), 0, inSignature.GetAddressOf(), nullptr) != S_OK) return false;
    stages->signature = NowUs();
    if (inSignature->SpawnInstance(0, inParams.GetAddressOf()) != S_OK) return false;
    const wchar_t* names[4] = {L"InEAX", L"InEBX", L"InECX", L"InEDX"};
    const wchar_t* texts[4] = {L"38416", L"93", L"0", L"0"};
    for (int i = 0; i < 4; ++i) {
        win::Variant value;
        value.SetBstr(win::Bstr(texts[i]));
        if (inParams->Put(names[i], 0, value.Get(), CIM_UINT32) != S_OK) return false;
    }
    stages->input = NowUs();
    if (services->ExecMethod(instancePath.Get(), method.Get(), 0, nullptr, inParams.Get(), outParams.GetAddressOf(),
                             nullptr) != S_OK ||
        !outParams)
        return false;
    stages->executed = NowUs();
    for (const wchar_t* name : {L"OutEAX", L"OutEBX", L"OutECX", L"OutEDX", L"CFlag"}) {
        win::Variant value;
        if (outParams->Get(name, 0, value.Receive(), nullptr, nullptr) != S_OK) return false;
    }
    stages->read = NowUs();
    return true;
}

int RunCallCost(int samples) {
    win::ScopedComInit com;
    if (FAILED(com.Result())) return Fail("CoInitializeEx failed");
    Microsoft::WRL::ComPtr<IWbemLocator> locator;
    Microsoft::WRL::ComPtr<IWbemServices> services;
    win::Bstr space(L"" TELVARIN_WMI_NAMESPACE);
    if (fwemu::CreateLocator(locator.GetAddressOf()) != S_OK ||
        locator->ConnectServer(space.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                               services.GetAddressOf()) != S_OK)
        return Fail("cannot connect to the emulator");
    for (int i = 0; i < samples; ++i) {
        CallStages t;
        if (!CallFirmwareOnce(services.Get(), &t)) return Fail("the firmware call failed");
        std::printf("{\"kind\": \"call\", \"us\": %.1f, \"signature_us\": %.1f, \"input_us\": %.1f, "
                    "\"exec_us\": %.1f, \"output_us\": %.1f}\n",
                    t.read - t.start, t.signature - t.start, t.input - t.signature, t.executed - t.input,
                    t.read - t.executed);
        Sleep(5);
    }
    return 0;
}

// --- start and stop ---------------------------------------------------------------------------

// Runs `command` and waits for it to end; the time it took.
double RunProcess(const std::string& command) {
    std::string line = command;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const double start = NowUs();
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return -1;
    win::UniqueHandle process(info.hProcess), thread(info.hThread);
    WaitForSingleObject(process.Get(), 60000);
    return NowUs() - start;
}

// One start of the service, then a stop in the given phase of its life:
//   winmgmt      the worker waits for winmgmt (which must not run)
//   listening    the listener waits in its poll
//   subscribing  every event subscription fails and is retried
//   slow-call    a watcher is inside a firmware call that takes kSlowCallMs
int RunCycle(const std::string& phase, int runs, unsigned seed, const std::string& telvarin) {
    Emulator emulator;
    Service service;
    if (!emulator.Ok()) return Fail("emulator state unavailable");
    if (!service.Open()) return Fail("service not installed", GetLastError());
    Rng rng(seed);
    for (int run = 0; run < runs; ++run) {
        fwemu::Controller& controller = emulator.Controller();
        if (!controller.Reset()) return Fail("emulator reset failed");
        if (phase == "subscribing" && !controller.SetFault("notify-fail", "-1")) return Fail("notify-fail");
        // Wine's cost of running a program that does nothing: the floor of every start.
        const double bareProcess = RunProcess("\"" + telvarin + "\" -NoSuchSwitch");

        const double start = NowUs();
        double running = -1, firstCall = -1, subscribed = -1;
        DWORD pid = 0;
        RunProcess("\"" + telvarin + "\" -StartSvc");
        const bool reached = PollUntil(
            [&] {
                const SERVICE_STATUS_PROCESS status = service.Status();
                const double now = NowUs() - start;
                if (running < 0 && status.dwCurrentState == SERVICE_RUNNING && status.dwProcessId) {
                    running = now;
                    pid = status.dwProcessId;
                }
                const Emulator::Progress progress = emulator.Look(pid);
                if (firstCall < 0 && progress.calls > 0) firstCall = now;
                if (subscribed < 0 && progress.subscribed) subscribed = now;
                if (phase == "winmgmt") return running >= 0;
                if (phase == "subscribing") return firstCall >= 0;
                return subscribed >= 0;
            },
            60000);
        if (!reached) return Fail("the service did not reach its phase in 60 s");

        uint64_t startedBefore = UINT64_MAX;  // only the slow-call phase makes a slow call
        if (phase == "winmgmt") {
            Sleep(rng.Between(300, 1300));
        } else if (phase == "subscribing") {
            Sleep(rng.Between(1000, 2000));
        } else if (phase == "slow-call") {
            if (!WaitUntilServing()) return Fail("the service serves no request");
            if (!controller.SetFault("call-delay-ms", std::to_string(kSlowCallMs)))
                return Fail("the emulator has no call-delay-ms fault");
            startedBefore = emulator.Look(pid).callsStarted;
            ToggleByPath(kStatusControlKey, TELVARIN_VALUE_TYPE2, kRequest0);
            Sleep(rng.Between(100, 600));
        } else {
            Sleep(rng.Between(0, 600));
        }

        win::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
        if (!process) return Fail("cannot open the service process", GetLastError());
        const double stopAt = NowUs();
        if (!service.Stop()) return Fail("stop control refused", GetLastError());
        // Polled as fast as the manager answers, so that the moment STOPPED shows is the one
        // measured; the process may end only after that.
        double stoppedSeen = -1;
        PollUntil(
            [&] {
                if (service.Status().dwCurrentState == SERVICE_STOPPED) stoppedSeen = NowUs();
                return stoppedSeen >= 0;
            },
            60000);
        if (WaitForSingleObject(process.Get(), 60000) != WAIT_OBJECT_0) return Fail("the service did not end in 60 s");
        const double exited = NowUs();
        if (stoppedSeen < 0) return Fail("the service never reported STOPPED");
        const double stopped = exited - stopAt;
        // The slow call is under way at the stop: it reached the firmware and takes kSlowCallMs.
        const bool slowCallMade = emulator.Look(0).callsStarted > startedBefore;
        controller.Reset();
        std::printf("{\"kind\": \"cycle\", \"phase\": \"%s\", \"bare_process_us\": %.1f, \"running_us\": %.1f, "
                    "\"first_call_us\": %.1f, \"subscribed_us\": %.1f, \"stop_us\": %.1f, "
                    "\"stopped_to_exit_us\": %.1f, \"slow_call\": %s}\n",
                    phase.c_str(), bareProcess, running, firstCall, subscribed, stopped, exited - stoppedSeen,
                    slowCallMade ? "true" : "false");
        std::fflush(stdout);
    }
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: telvarin-bench events N SEED | requests N SEED | throughput SECONDS | inject N | call N\n"
                 "                      | cycle PHASE RUNS SEED TELVARIN_EXE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string mode = argv[1];
    const auto arg = [&](int i) { return i < argc ? std::atoi(argv[i]) : 0; };
    int result = 2;
    if (mode == "floor-events" && argc == 3) result = RunFloorEvents(argv[2]);
    else if (mode == "floor-inline" && argc == 3) result = RunInlineFloor(argv[2]);
    else if (mode == "floor-requests" && argc == 3) result = RunFloorRequests(argv[2]);
    else if (mode == "events" && argc == 4) result = RunEvents(arg(2), static_cast<unsigned>(arg(3)));
    else if (mode == "requests" && argc == 4) result = RunRequests(arg(2), static_cast<unsigned>(arg(3)));
    else if (mode == "throughput" && argc == 3) result = RunThroughput(std::atof(argv[2]));
    else if (mode == "inject" && argc == 3) result = RunInjectCost(arg(2));
    else if (mode == "call" && argc == 3) result = RunCallCost(arg(2));
    else if (mode == "cycle" && argc == 6) result = RunCycle(argv[2], arg(3), static_cast<unsigned>(arg(4)), argv[5]);
    else return Usage();
    std::fflush(stdout);
    return result;
}
