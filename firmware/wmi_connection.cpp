// The one connection to \\.\ROOT\WMI that the whole service shares.
#include "firmware/wmi_connection.h"

#include "core/com_runtime.h"
#include "common/protocol.h"
#include "core/service_log.h"
#include "core/backoff.h"
#include "core/retry_log.h"
#include "firmware/call_runner.h"

using Microsoft::WRL::ComPtr;

namespace {

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

WmiConnection::WmiConnection(HANDLE stopEvent, ServiceLog& log)
    : m_stop(stopEvent), m_log(log), m_runtime(&SystemComRuntime()), m_connectedEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

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
// stopping, nor while two given-up calls of its kind are still out.
template <typename Fill, typename Take>
WmiResult WmiConnection::Bounded(WmiOp op, const char* call, DWORD boundMs, Fill fill, Take take) {
    if (Stopping()) return {CallEnd::Stopped, S_OK};
    CallLane& lane = Lane(op);
    bool refused = false;
    CallRunner* runner = lane.Take(refused);
    if (refused) return {CallEnd::Refused, S_OK};
    if (!runner) return {CallEnd::Answered, E_OUTOFMEMORY};
    fill(runner->Request());
    // The poll answers its own time-out soon: at the stop it is given that moment.
    const DWORD stopGraceMs = op == WmiOp::Poll ? boundMs - m_callBoundMs : 0;
    HRESULT hr = S_OK;
    const CallEnd end = runner->Run(m_stop, boundMs, stopGraceMs, hr);
    if (end != CallEnd::Answered) {
        lane.Abandon(runner, end == CallEnd::TimedOut, call, boundMs);
        return {end, S_OK};
    }
    take(runner->Request());
    runner->Request().Clear();
    lane.Answered(runner);
    return {CallEnd::Answered, hr};
}

// A bounded call on the current connection, under the call lock.
template <typename Fill, typename Take>
WmiResult WmiConnection::LockedCall(WmiOp op, const char* name, Fill fill, Take take) {
    win::Lock lock(m_lock);
    // Lost and not back yet: the call never leaves this process.
    if (!m_connected || !m_services) return {CallEnd::NotConnected, S_OK};
    const LONG generation = m_generation;
    const WmiResult result = Bounded(
        op, name, m_callBoundMs,
        [&](WmiRequest& request) {
            request.On(m_services.Get());
            fill(request);
        },
        take);
    if (result.Answered() && IsLoss(result.Hr())) MarkLostLocked(generation, result.Hr(), name);
    return result;
}

WmiResult WmiConnection::GetObject(BSTR path, ComPtr<IWbemClassObject>& object) {
    object.Reset();
    return LockedCall(
        WmiOp::RegisterCall, "GetObject",
        [&](WmiRequest& r) { r.GetObject(path); }, [&](WmiRequest& r) { object = r.ResultObject(); });
}

WmiResult WmiConnection::ExecMethod(BSTR path, BSTR method, IWbemClassObject* inParams, ComPtr<IWbemClassObject>& outParams) {
    outParams.Reset();
    return LockedCall(
        WmiOp::RegisterCall, "ExecMethod",
        [&](WmiRequest& r) { r.ExecMethod(path, method, inParams); },
        [&](WmiRequest& r) { outParams = r.ResultObject(); });
}

WmiResult WmiConnection::ExecQuery(BSTR language, BSTR query, ComPtr<IEnumWbemClassObject>& instances) {
    instances.Reset();
    return LockedCall(
        WmiOp::SettingsRead, "ExecQuery",
        [&](WmiRequest& r) { r.ExecQuery(language, query); },
        [&](WmiRequest& r) { instances = r.ResultEnumerator(); });
}

WmiResult WmiConnection::Next(IEnumWbemClassObject* instances, ComPtr<IWbemClassObject>& object) {
    object.Reset();
    const LONG generation = m_generation;
    // Without the call lock: a settings read that takes long holds up no register call.
    const WmiResult result = Bounded(
        WmiOp::SettingsRead, "Next", m_callBoundMs,
        [&](WmiRequest& r) { r.Next(instances, static_cast<LONG>(m_callBoundMs)); },
        [&](WmiRequest& r) { object = r.ResultObject(); });
    if (result.Answered()) NoteFailure(generation, result.Hr(), "Next");
    return result;
}

WmiResult WmiConnection::Poll(IEnumWbemClassObject* events, DWORD timeoutMs, ComPtr<IWbemClassObject>& event) {
    event.Reset();
    const LONG generation = m_generation;
    const WmiResult result = Bounded(
        WmiOp::Poll, "Next of the button events", timeoutMs + m_callBoundMs,
        [&](WmiRequest& r) { r.Next(events, static_cast<LONG>(timeoutMs)); },
        [&](WmiRequest& r) { event = r.ResultObject(); });
    if (result.Answered()) NoteFailure(generation, result.Hr(), "the button-event poll");
    return result;
}

WmiResult WmiConnection::PutInstance(IWbemClassObject* instance, LONG flags) {
    return LockedCall(
        WmiOp::SettingsWrite, "PutInstance",
        [&](WmiRequest& r) { r.PutInstance(instance, flags); },
        [](WmiRequest&) {});
}

WmiResult WmiConnection::Subscribe(BSTR language, BSTR query, ComPtr<IEnumWbemClassObject>& events, DWORD holdLockMs) {
    events.Reset();
    RetryLog log(m_log, "ExecNotificationQuery fail", "ExecNotificationQuery");
    const ULONGLONG start = GetTickCount64();
    HeldLock held(m_lock);
    for (;;) {
        held.Take();
        if (!m_connected || !m_services) return {CallEnd::NotConnected, S_OK};
        const LONG generation = m_generation;
        const WmiResult result = Bounded(
            WmiOp::Subscribe, "ExecNotificationQuery", m_callBoundMs,
            [&](WmiRequest& r) {
                r.On(m_services.Get());
                r.ExecNotificationQuery(language, query);
            },
            [&](WmiRequest& r) { events = r.ResultEnumerator(); });
        // Only whether a subscription came back counts, not the result code.
        if (events) {
            log.Succeeded();
            return {CallEnd::Answered, S_OK};
        }
        if (result.End() == CallEnd::Stopped) return result;
        if (result.Answered() && IsLoss(result.Hr())) {
            MarkLostLocked(generation, result.Hr(), "ExecNotificationQuery");
            return result;
        }
        // A call given up or refused has been reported by its kind.
        if (result.Answered()) log.Failed();
        // While the first subscription is young, start-up calls wait for it; after that,
        // requests and settings pushes are served between the attempts.
        if (GetTickCount64() - start >= holdLockMs) held.Leave();
        if (WaitForSingleObject(m_stop, telvarin::kRetryPauseMs) == WAIT_OBJECT_0) return {CallEnd::Stopped, S_OK};
    }
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

// Repeats `attempt` until it answers S_OK, one second apart, reporting through one RetryLog.
// False when the service stops first.
bool WmiConnection::ConnectStage(const char* failureText, const char* subject, HRESULT (WmiConnection::*attempt)()) {
    RetryLog log(m_log, failureText, subject);
    for (;;) {
        // A stop between two stages that each succeed at once ends the connect there too.
        if (Stopping()) return false;
        const HRESULT hr = (this->*attempt)();
        if (hr == S_OK) break;
        if (Stopping()) return false;
        log.Failed();
        if (WaitForSingleObject(m_stop, telvarin::kRetryPauseMs) == WAIT_OBJECT_0) return false;
    }
    log.Succeeded();
    return true;
}

// S_FALSE (the thread was in the apartment already) counts as failure; the apartment gives that
// reference back at once.
HRESULT WmiConnection::EnterApartment() { return m_apartment.Enter(*m_runtime); }

HRESULT WmiConnection::SecureProcess() { return m_runtime->InitializeSecurity(); }

HRESULT WmiConnection::CreateLocator() {
    m_locator.Reset();
    const HRESULT hr = m_runtime->CreateLocator(m_locator.GetAddressOf());
    return hr == S_OK && !m_locator ? E_POINTER : hr;  // S_OK without a locator is no success
}

HRESULT WmiConnection::ConnectServer() {
    ComPtr<IWbemServices> services;
    const WmiResult result = Bounded(
        WmiOp::Connect, "ConnectServer", m_callBoundMs,
        [&](WmiRequest& r) {
            win::Bstr wmiNamespace(L"" TELVARIN_WMI_NAMESPACE);
            r.ConnectServer(m_locator.Get(), wmiNamespace.Get());
        },
        [&](WmiRequest& r) { services = r.ResultServices(); });
    // A connect given up or refused is a failed attempt like any other (its kind reported it).
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
    InterlockedIncrement(&m_generation);
    InterlockedExchange(&m_ready, 1);
    InterlockedExchange(&m_hasConnected, 1);
    InterlockedExchange(&m_connected, 1);
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
    win::Lock lock(m_lock);
    // Only the first loss of a run is followed by its "back"; a longer run's end is reported
    // once the subscription serves again (NoteSteady).
    if (m_losses == 1) {
        const DWORD tenths = static_cast<DWORD>((GetTickCount64() - m_lostAt) / 100);
        char text[64];
        wsprintfA(text, "WMI connection back after %lu.%lu s", tenths / 10, tenths % 10);
        m_log.Text(EVENTLOG_INFORMATION_TYPE, text);
    }
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
    for (CallLane& lane : m_lanes) lane.RetireIdle();
    m_apartment.Reset();
}

bool WmiConnection::WaitUntilConnected() {
    const HANDLE waits[2] = {m_stop, m_connectedEvent.Get()};
    return WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

void WmiConnection::NoteFailure(LONG generation, HRESULT hr, const char* call) {
    if (!IsLoss(hr)) return;
    win::Lock lock(m_lock);
    MarkLostLocked(generation, hr, call);
}

void WmiConnection::NoteSteady() {
    if (m_losses == 0 || !m_connected) return;
    win::Lock lock(m_lock);
    if (m_losses == 0 || !m_connected) return;
    // A single loss had its "back" when the connection came back.
    if (m_losses > 1) {
        char text[128];
        wsprintfA(text, "WMI connection steady again after %lu losses in %lu s", m_losses,
                  static_cast<DWORD>((GetTickCount64() - m_firstLossAt) / 1000));
        m_log.Text(EVENTLOG_INFORMATION_TYPE, text);
    }
    m_losses = 0;
}

// Only the first failure of a connection counts: later ones, and those of a connection that has
// been replaced already, change nothing. The first loss of a run is reported; later ones of the
// same run at most once an hour.
void WmiConnection::MarkLostLocked(LONG generation, HRESULT hr, const char* call) {
    if (generation != m_generation || !m_connected) return;
    InterlockedExchange(&m_connected, 0);
    ResetEvent(m_connectedEvent.Get());
    const ULONGLONG now = GetTickCount64();
    m_lostAt = now;
    char text[160];
    if (m_losses++ == 0) {
        m_firstLossAt = m_lossReportAt = now;
        wsprintfA(text, "WMI connection lost: %s failed with 0x%08lX", call, static_cast<DWORD>(hr));
    } else if (now - m_lossReportAt >= RetryLog::kReminderMs) {
        m_lossReportAt = now;
        wsprintfA(text, "WMI connection still being lost: %lu losses in %lu min, the last: %s failed with 0x%08lX",
                  m_losses, static_cast<DWORD>((now - m_firstLossAt) / 60000), call, static_cast<DWORD>(hr));
    } else {
        return;
    }
    m_log.Text(EVENTLOG_WARNING_TYPE, text);
}
