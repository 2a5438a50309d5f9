// The one connection to \\.\ROOT\WMI that the whole service shares.
#include "firmware/wmi_connection.h"

#include "common/protocol.h"
#include "core/backoff.h"
#include "core/com_runtime.h"
#include "core/retry_log.h"
#include "core/service_log.h"
#include "firmware/call_runner.h"

using Microsoft::WRL::ComPtr;

namespace {

// How often the thread that watches the button-event polling makes the reports due by time.
constexpr DWORD kTickMs = 10000;

class Win32ComRuntime final : public ComRuntime {
public:
    HRESULT InitializeMultithreaded() override { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void Uninitialize() override { CoUninitialize(); }
    HRESULT InitializeSecurity() override {
        return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    }
    HRESULT CreateLocator(IWbemLocator** locator) override {
        return CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(locator));
    }
};

class Win32Clock final : public Clock {
public:
    // In 100 ns units, without the time the machine spent asleep or hibernating.
    ULONGLONG Now() const override {
        ULONGLONG units = 0;
        QueryUnbiasedInterruptTime(&units);
        return units / 10000;
    }
};

// Constant-initialised, so no thread can reach it before it exists.
Win32Clock g_systemClock;

// A critical section that a loop can leave and take again; left at the end of the scope.
class HeldLock {
public:
    explicit HeldLock(win::CriticalSection& lock) : m_lock(lock) {}
    ~HeldLock() { Leave(); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    void Take() {
        if (!m_held) EnterCriticalSection(&m_lock.Get());
        m_held = true;
    }
    void Leave() {
        if (m_held) LeaveCriticalSection(&m_lock.Get());
        m_held = false;
    }

private:
    win::CriticalSection& m_lock;
    bool m_held = false;
};

}  // namespace

ComRuntime& SystemComRuntime() {
    static Win32ComRuntime runtime;
    return runtime;
}

Clock& SystemClock() { return g_systemClock; }

WmiSetup SystemWmiSetup() { return {SystemComRuntime(), SystemClock(), telvarin::kCallBoundMs}; }

WmiConnection::WmiConnection(HANDLE stopEvent, ServiceLog& log, const WmiSetup& setup)
    : m_stop(stopEvent),
      m_log(log),
      m_runtime(setup.com),
      m_clock(setup.clock),
      m_callBoundMs(setup.callBoundMs),
      m_connectedEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_lostEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

WmiConnection::~WmiConnection() = default;

bool WmiConnection::IsLoss(HRESULT hr) {
    return NeverDelivered(hr) || hr == static_cast<HRESULT>(0x800706BE) /* RPC_S_CALL_FAILED */ ||
           hr == RPC_E_SERVER_DIED || hr == static_cast<HRESULT>(WBEM_E_TRANSPORT_FAILURE) ||
           hr == CO_E_OBJNOTCONNECTED;
}

bool WmiConnection::NeverDelivered(HRESULT hr) {
    return hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVER_DIED_DNE ||
           hr == static_cast<HRESULT>(0x800706BA) /* RPC_S_SERVER_UNAVAILABLE */ ||
           hr == static_cast<HRESULT>(0x800706BF) /* RPC_S_CALL_FAILED_DNE */ ||
           hr == static_cast<HRESULT>(WBEM_E_SHUTTING_DOWN);
}

// ---- bounded calls ----------------------------------------------------------------------------

// Makes the call that `fill` describes on the helper thread of its kind, waits for it within
// `boundMs`, and lets `take` collect its results. A call is never started once the service is
// stopping, nor while two given-up calls of its kind are still out, nor when its inputs could
// not be copied.
WmiResult WmiConnection::Bounded(WmiOp op, const char* call, DWORD boundMs, RequestFill fill, RequestTake take) {
    if (Stopping()) return {CallEnd::Stopped, S_OK};
    CallLane& lane = Lane(op);
    bool refused = false;
    CallRunner* runner = lane.Take(refused);
    if (!runner) return {refused ? CallEnd::Refused : CallEnd::NotMade, S_OK};
    if (!fill(runner->Request())) {
        runner->Request().Clear();
        lane.Answered(runner);
        char text[96];
        wsprintfA(text, "%s not made: no memory for its inputs", call);
        lane.ReportFailure(text);
        return {CallEnd::NotMade, E_OUTOFMEMORY};
    }
    HRESULT hr = S_OK;
    const CallEnd end = runner->Run(m_stop, boundMs, 0, hr);
    if (end != CallEnd::Answered) {
        if (!runner->Taken()) runner->Request().Clear();  // never made: nothing is left to hold
        lane.Abandon(runner, end == CallEnd::TimedOut, call, boundMs);
        return {end, S_OK};
    }
    take(runner->Request());
    // The idle helper holds nothing: the teardown finds nothing of the connection on it.
    runner->Request().Clear();
    lane.Answered(runner);
    lane.Serving();
    return {CallEnd::Answered, hr};
}

// A bounded call on the current connection, under the call lock.
WmiResult WmiConnection::LockedCall(WmiOp op, const char* name, RequestFill fill, RequestTake take) {
    win::Lock lock(m_lock);
    // Lost and not back yet: the call never leaves this process.
    if (!m_connected || !m_services) return {CallEnd::NotConnected, S_OK};
    const LONG generation = m_generation;
    const WmiResult result = Bounded(
        op, name, m_callBoundMs,
        [&](WmiRequest& request) {
            request.On(m_services.Get());
            return fill(request);
        },
        take);
    if (result.Answered() && IsLoss(result.Hr())) MarkLostLocked(generation, result.Hr(), name);
    return result;
}

WmiResult WmiConnection::GetObject(BSTR path, ComPtr<IWbemClassObject>& object) {
    object.Reset();
    return LockedCall(
        WmiOp::RegisterCall, "GetObject", [&](WmiRequest& r) { return r.GetObject(path); },
        [&](WmiRequest& r) { object = r.ResultObject(); });
}

WmiResult WmiConnection::ExecMethod(BSTR path, BSTR method, IWbemClassObject* inParams, ComPtr<IWbemClassObject>& outParams) {
    outParams.Reset();
    return LockedCall(
        WmiOp::RegisterCall, "ExecMethod", [&](WmiRequest& r) { return r.ExecMethod(path, method, inParams); },
        [&](WmiRequest& r) { outParams = r.ResultObject(); });
}

WmiResult WmiConnection::ExecQuery(WmiOp op, BSTR language, BSTR query, ComPtr<IEnumWbemClassObject>& instances) {
    instances.Reset();
    return LockedCall(
        op, "ExecQuery", [&](WmiRequest& r) { return r.ExecQuery(language, query); },
        [&](WmiRequest& r) { instances = r.ResultEnumerator(); });
}

WmiResult WmiConnection::Next(WmiOp op, IEnumWbemClassObject* instances, ComPtr<IWbemClassObject>& object) {
    object.Reset();
    const LONG generation = m_generation;
    // Its own time-out well inside the bound: a provider that waits it out and answers "timed
    // out" has answered, and holds no given-up slot.
    const LONG ownTimeoutMs = static_cast<LONG>(m_callBoundMs - m_callBoundMs / 4);
    // Without the call lock: a read that takes long holds up no register call.
    const WmiResult result = Bounded(
        op, "Next", m_callBoundMs, [&](WmiRequest& r) { return r.Next(instances, ownTimeoutMs); },
        [&](WmiRequest& r) { object = r.ResultObject(); });
    if (result.Answered()) NoteFailure(generation, result.Hr(), "Next");
    return result;
}

WmiResult WmiConnection::PutInstance(IWbemClassObject* instance, LONG flags) {
    return LockedCall(
        WmiOp::SettingsWrite, "PutInstance", [&](WmiRequest& r) { return r.PutInstance(instance, flags); },
        [](WmiRequest&) {});
}

WmiResult WmiConnection::Subscribe(const wchar_t* query, ComPtr<IEnumWbemClassObject>& events, DWORD holdLockMs) {
    events.Reset();
    const ULONGLONG start = Now();
    HeldLock held(m_lock);
    for (;;) {
        held.Take();
        if (!m_connected || !m_services) return {CallEnd::NotConnected, S_OK};
        const LONG generation = m_generation;
        // Made for each attempt: a string that could not be made fails this attempt alone.
        win::Bstr language(L"WQL");
        win::Bstr text(query);
        WmiResult result = WmiResult::Answer(E_OUTOFMEMORY);
        if (language && text)
            result = Bounded(
                WmiOp::Subscribe, "ExecNotificationQuery", m_callBoundMs,
                [&](WmiRequest& r) {
                    r.On(m_services.Get());
                    return r.ExecNotificationQuery(language.Get(), text.Get());
                },
                [&](WmiRequest& r) { events = r.ResultEnumerator(); });
        // Only whether a subscription came back counts, not the result code.
        if (events) {
            m_subscribeLog.SucceededAt(Now());
            return {CallEnd::Answered, S_OK};
        }
        if (result.End() == CallEnd::Stopped) return result;
        if (result.Answered() && IsLoss(result.Hr())) {
            MarkLostLocked(generation, result.Hr(), "ExecNotificationQuery");
            return result;
        }
        // A call given up, refused or not made has been reported by its kind.
        if (result.Answered()) m_subscribeLog.FailedAt(Now());
        // While the first subscription is young, start-up calls wait for it; after that,
        // requests and settings pushes are served between the attempts.
        if (Now() - start >= holdLockMs) held.Leave();
        if (WaitForSingleObject(m_stop, telvarin::kRetryPauseMs) == WAIT_OBJECT_0) return {CallEnd::Stopped, S_OK};
    }
}

WmiResult WmiConnection::Listen(IEnumWbemClassObject* events, DWORD pollMs, PollSink& sink, HANDLE resumed) {
    if (Stopping()) return {CallEnd::Stopped, S_OK};
    CallLane& lane = Lane(WmiOp::Poll);
    bool refused = false;
    CallRunner* runner = lane.Take(refused);
    if (!runner) return {refused ? CallEnd::Refused : CallEnd::NotMade, S_OK};
    const LONG generation = m_generation;
    runner->Request().Next(events, static_cast<LONG>(pollMs));  // no strings to copy: cannot fail
    runner->Listen(sink);
    ULONG answered = 0;
    CallEnd end = CallEnd::Answered;
    HRESULT hr = S_OK;
    // The first look comes soon, so that polls answering again after failures are told at once.
    DWORD waitMs = 2 * pollMs;
    while (!runner->WatchListening(m_stop, resumed, m_callBoundMs, telvarin::kTeardownGraceMs, waitMs, end, hr)) {
        // Polls answer: a run of give-ups or failures of the kind may end.
        const ULONG polls = runner->PollsAnswered();
        if (polls != answered) lane.Serving();
        answered = polls;
        Tick();
        waitMs = kTickMs;
    }
    if (end != CallEnd::Answered) {
        if (!runner->Taken()) runner->Request().Clear();
        const DWORD boundMs = pollMs + (runner->GivenUpAtResume() ? telvarin::kTeardownGraceMs : m_callBoundMs);
        lane.Abandon(runner, end == CallEnd::TimedOut, "Next of the button events", boundMs);
        return {end, S_OK};
    }
    const bool failed = runner->PollFailed();
    if (runner->PollsAnswered() != answered) lane.Serving();
    runner->Request().Clear();
    lane.Answered(runner);
    if (!failed) return {CallEnd::Answered, hr};
    if (IsLoss(hr)) {
        NoteFailure(generation, hr, "the button-event poll");
    } else {
        char text[96];
        wsprintfA(text, "Button-event poll failed with 0x%08lX; subscribing again", static_cast<DWORD>(hr));
        lane.ReportFailure(text);
    }
    return {CallEnd::Answered, hr};
}

bool WmiConnection::KeptMethodInput(ComPtr<IWbemClassObject>& signature) {
    win::Lock lock(m_lock);
    signature.Reset();
    if (m_methodInput && m_methodInputGeneration == m_generation) signature = m_methodInput;
    return signature != nullptr;
}

void WmiConnection::KeepMethodInput(LONG generation, IWbemClassObject* signature) {
    win::Lock lock(m_lock);
    m_methodInput = signature;
    m_methodInputGeneration = generation;
}

void WmiConnection::ForgetMethodInput() {
    win::Lock lock(m_lock);
    m_methodInput.Reset();
}

// ---- connecting -------------------------------------------------------------------------------

// Repeats `attempt` until it answers S_OK, one second apart. At start-up a stage reports through
// a RetryLog of its own; connecting again, its failures are part of the loss and reported with it.
// False when the service stops first.
bool WmiConnection::ConnectStage(const char* failureText, const char* subject, HRESULT (WmiConnection::*attempt)()) {
    const bool again = HasConnected();
    RetryLog log(m_log, failureText, subject);
    for (;;) {
        // A stop between two stages that each succeed at once ends the connect there too.
        if (Stopping()) return false;
        const HRESULT hr = (this->*attempt)();
        if (hr == S_OK) break;
        if (Stopping()) return false;
        if (again) NoteConnectFailure(subject, hr);
        else log.FailedAt(Now());
        if (WaitForSingleObject(m_stop, telvarin::kRetryPauseMs) == WAIT_OBJECT_0) return false;
    }
    log.SucceededAt(Now());
    return true;
}

// S_FALSE (the thread was in the apartment already) counts as failure; the apartment gives that
// reference back at once.
HRESULT WmiConnection::EnterApartment() { return m_apartment.Enter(m_runtime); }

HRESULT WmiConnection::SecureProcess() { return m_runtime.InitializeSecurity(); }

HRESULT WmiConnection::CreateLocator() {
    m_locator.Reset();
    const HRESULT hr = m_runtime.CreateLocator(m_locator.GetAddressOf());
    return hr == S_OK && !m_locator ? E_POINTER : hr;  // S_OK without a locator is no success
}

HRESULT WmiConnection::ConnectServer() {
    ComPtr<IWbemServices> services;
    win::Bstr wmiNamespace(L"" TELVARIN_WMI_NAMESPACE);
    if (!wmiNamespace) return E_OUTOFMEMORY;
    const WmiResult result = Bounded(
        WmiOp::Connect, "ConnectServer", m_callBoundMs,
        [&](WmiRequest& r) { return r.ConnectServer(m_locator.Get(), wmiNamespace.Get()); },
        [&](WmiRequest& r) { services = r.ResultServices(); });
    // A connect given up, refused or not made is a failed attempt like any other (its kind
    // reported it).
    if (!result.Answered()) return E_ABORT;
    if (result.Hr() != S_OK) return result.Hr();
    if (!services) return E_POINTER;
    win::Lock lock(m_lock);
    m_services = services;
    return S_OK;
}

// The connection is there: a new generation, ready for requests, and the waiting threads go on.
void WmiConnection::Install() {
    m_locator.Reset();
    win::Lock lock(m_lock);
    if (m_hasConnected) m_losses.Back(Now());
    InterlockedIncrement(&m_generation);
    InterlockedExchange(&m_ready, 1);
    InterlockedExchange(&m_hasConnected, 1);
    InterlockedExchange(&m_connected, 1);
    ResetEvent(m_lostEvent.Get());
    SetEvent(m_connectedEvent.Get());
}

int WmiConnection::Connect() {
    m_connectingThread = GetCurrentThreadId();
    if (!ConnectStage("CoInitializeEx fail", "CoInitializeEx", &WmiConnection::EnterApartment)) return 0;
    if (!ConnectStage("CoInitializeSecurity fail", "CoInitializeSecurity", &WmiConnection::SecureProcess)) return 0;
    if (!ConnectStage("CoCreateInstance fail", "CoCreateInstance", &WmiConnection::CreateLocator)) return 0;
    if (!ConnectStage("ConnectServer fail", "ConnectServer", &WmiConnection::ConnectServer)) return 0;
    Install();
    return 1;
}

int WmiConnection::ConnectAgain() {
    if (!ConnectStage("CoCreateInstance fail", "CoCreateInstance", &WmiConnection::CreateLocator)) return 0;
    if (!ConnectStage("ConnectServer fail", "ConnectServer", &WmiConnection::ConnectServer)) return 0;
    Install();
    return 1;
}

void WmiConnection::Drop() {
    win::Lock lock(m_lock);
    m_services.Reset();
    m_methodInput.Reset();
}

void WmiConnection::Close() {
    {
        win::Lock lock(m_lock);
        m_services.Reset();
        m_methodInput.Reset();
        InterlockedExchange(&m_connected, 0);
        InterlockedExchange(&m_hasConnected, 0);
        ResetEvent(m_connectedEvent.Get());
    }
    m_locator.Reset();
    // Done when it returns: the helpers have let go of every object of the connection, unless a
    // call given up at the stop is still in the provider after a moment more.
    const ULONGLONG deadline = GetTickCount64() + telvarin::kTeardownGraceMs;
    for (CallLane& lane : m_lanes) lane.Close(deadline);
    m_apartment.Reset();
}

bool WmiConnection::WaitUntilConnected(DWORD ms) {
    const HANDLE waits[2] = {m_stop, m_connectedEvent.Get()};
    return WaitForMultipleObjects(2, waits, FALSE, ms) == WAIT_OBJECT_0 + 1;
}

void WmiConnection::NoteFailure(LONG generation, HRESULT hr, const char* call) {
    if (!IsLoss(hr)) return;
    win::Lock lock(m_lock);
    MarkLostLocked(generation, hr, call);
}

void WmiConnection::NoteConnectFailure(const char* step, HRESULT hr) {
    win::Lock lock(m_lock);
    m_losses.ConnectFailed(Now(), step, hr);
}

void WmiConnection::Tick() {
    win::Lock lock(m_lock);
    if (m_connected) m_losses.Tick(Now());
}

// Only the first failure of a connection counts: later ones, and those of a connection that has
// been replaced already, change nothing.
void WmiConnection::MarkLostLocked(LONG generation, HRESULT hr, const char* call) {
    if (generation != m_generation || !m_connected) return;
    InterlockedExchange(&m_connected, 0);
    ResetEvent(m_connectedEvent.Get());
    SetEvent(m_lostEvent.Get());
    m_losses.Lost(Now(), call, hr);
}

// ---- LossReports ------------------------------------------------------------------------------

void LossReports::Lost(ULONGLONG now, const char* call, HRESULT hr) {
    Tick(now);
    m_losses = m_run.Open() ? m_losses + 1 : 1;
    m_lostAt = now;
    const FailureRun::Step step = m_run.Failed(now);
    if (step == FailureRun::Step::Reminder) Remind(now, call, hr);
    if (step != FailureRun::Step::Opened) return;
    m_backOwed = true;
    char text[160];
    wsprintfA(text, "WMI connection lost: %s failed with 0x%08lX", call, static_cast<DWORD>(hr));
    m_log.Text(EVENTLOG_WARNING_TYPE, text);
}

void LossReports::ConnectFailed(ULONGLONG now, const char* step, HRESULT hr) {
    if (!m_run.Open()) return;  // the loss that opened the run was not seen here: nothing to add
    if (m_run.Failed(now) == FailureRun::Step::Reminder) Remind(now, step, hr);
}

void LossReports::Remind(ULONGLONG now, const char* call, HRESULT hr) {
    char text[192];
    wsprintfA(text, "WMI connection still being lost: %lu losses in %lu min, the last: %s failed with 0x%08lX", m_losses,
              static_cast<DWORD>((now - m_run.FirstFailure()) / 60000), call, static_cast<DWORD>(hr));
    m_log.Text(EVENTLOG_WARNING_TYPE, text);
}

void LossReports::Back(ULONGLONG now) {
    m_run.Succeeded(now);
    if (!m_backOwed) return;  // a run's later recoveries are summed up once it is steady
    m_backOwed = false;
    const DWORD tenths = static_cast<DWORD>((now - m_lostAt) / 100);
    char text[64];
    wsprintfA(text, "WMI connection back after %lu.%lu s", tenths / 10, tenths % 10);
    m_log.Text(EVENTLOG_INFORMATION_TYPE, text);
}

void LossReports::Tick(ULONGLONG now) {
    if (!m_run.Open()) return;
    const ULONGLONG first = m_run.FirstFailure(), recovered = m_run.RecoveredAt();
    if (!m_run.Over(now) || m_losses <= 1) return;
    char text[128];
    wsprintfA(text, "WMI connection steady again after %lu losses in %lu s", m_losses,
              static_cast<DWORD>((recovered - first) / 1000));
    m_log.Text(EVENTLOG_INFORMATION_TYPE, text);
}
