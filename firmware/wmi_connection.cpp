// The one connection to \\.\ROOT\WMI that the whole service shares.
#include "core/wmi_connection.h"

#include "core/com_runtime.h"
#include "core/fn_service.h"
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

void Report(const char* text) { CFnService::LogServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_TEXT, text, nullptr, nullptr); }

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

WmiConnection::WmiConnection(HANDLE stopEvent)
    : m_stop(stopEvent), m_runtime(&SystemComRuntime()), m_connectedEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

WmiConnection::~WmiConnection() {
    for (CallRunner*& runner : m_idleRunners) {
        if (runner) runner->Retire();
        runner = nullptr;
    }
}

bool WmiConnection::IsLoss(HRESULT hr) {
    return NeverDelivered(hr) || hr == telvarin::kCallFailed || hr == static_cast<HRESULT>(WBEM_E_TRANSPORT_FAILURE) ||
           hr == telvarin::kCallTimedOut;
}

bool WmiConnection::NeverDelivered(HRESULT hr) {
    return hr == telvarin::kNotConnected || hr == RPC_E_DISCONNECTED || hr == telvarin::kServerUnavailable || hr == static_cast<HRESULT>(WBEM_E_SHUTTING_DOWN);
}

// ---- bounded calls ----------------------------------------------------------------------------

CallRunner* WmiConnection::TakeRunner() {
    {
        win::ExclusiveLock lock(m_runnersLock);
        for (CallRunner*& idle : m_idleRunners) {
            if (!idle) continue;
            CallRunner* runner = idle;
            idle = nullptr;
            return runner;
        }
    }
    return CallRunner::Create();
}

void WmiConnection::ReturnRunner(CallRunner* runner) {
    {
        win::ExclusiveLock lock(m_runnersLock);
        for (CallRunner*& idle : m_idleRunners) {
            if (idle) continue;
            idle = runner;
            return;
        }
    }
    runner->Retire();
}

// Makes the call that `fill` describes on a helper thread, waits for it within the bound, and
// lets `take` collect its results. A call is never started once the service is stopping.
template <typename Fill, typename Take>
HRESULT WmiConnection::Bounded(Fill fill, Take take) {
    if (Stopping()) return telvarin::kCallStopped;
    CallRunner* runner = TakeRunner();
    if (!runner) return E_OUTOFMEMORY;
    fill(runner->Request());
    const HRESULT hr = runner->Run(m_stop, m_callBoundMs);
    if (hr == telvarin::kCallTimedOut || hr == telvarin::kCallStopped) {
        runner->Release();  // abandoned: it finishes the call and ends by itself
        return hr;
    }
    take(runner->Request());
    runner->Request().Clear();
    ReturnRunner(runner);
    return hr;
}

// A bounded call on the current connection, under the call lock.
template <typename Fill, typename Take>
HRESULT WmiConnection::LockedCall(const char* name, Fill fill, Take take) {
    win::Lock lock(m_lock);
    // Lost and not back yet: the call never leaves this process.
    if (!m_connected || !m_services) return telvarin::kNotConnected;
    const LONG generation = m_generation;
    const HRESULT hr = Bounded(
        [&](WmiRequest& request) {
            request.services = m_services;
            fill(request);
        },
        take);
    if (IsLoss(hr)) MarkLostLocked(generation, hr, name);
    return hr;
}

HRESULT WmiConnection::GetObject(BSTR path, ComPtr<IWbemClassObject>& object) {
    object.Reset();
    return LockedCall(
        "GetObject",
        [&](WmiRequest& r) {
            r.op = WmiRequest::Op::GetObject;
            r.text1 = win::Bstr(path);
        },
        [&](WmiRequest& r) { object = r.resultObject; });
}

HRESULT WmiConnection::ExecMethod(BSTR path, BSTR method, IWbemClassObject* inParams, ComPtr<IWbemClassObject>& outParams) {
    outParams.Reset();
    return LockedCall(
        "ExecMethod",
        [&](WmiRequest& r) {
            r.op = WmiRequest::Op::ExecMethod;
            r.text1 = win::Bstr(path);
            r.text2 = win::Bstr(method);
            r.object = inParams;
        },
        [&](WmiRequest& r) { outParams = r.resultObject; });
}

HRESULT WmiConnection::ExecQuery(BSTR language, BSTR query, ComPtr<IEnumWbemClassObject>& instances) {
    instances.Reset();
    return LockedCall(
        "ExecQuery",
        [&](WmiRequest& r) {
            r.op = WmiRequest::Op::ExecQuery;
            r.text1 = win::Bstr(language);
            r.text2 = win::Bstr(query);
        },
        [&](WmiRequest& r) { instances = r.resultEnumerator; });
}

HRESULT WmiConnection::Next(IEnumWbemClassObject* instances, ComPtr<IWbemClassObject>& object) {
    object.Reset();
    const LONG generation = m_generation;
    // Without the call lock: a settings read that takes long holds up no register call.
    HRESULT hr = Bounded(
        [&](WmiRequest& r) {
            r.op = WmiRequest::Op::Next;
            r.enumerator = instances;
            r.flags = static_cast<LONG>(m_callBoundMs);
        },
        [&](WmiRequest& r) { object = r.resultObject; });
    // A provider that keeps to the time-out answers it with nothing: the same as no answer.
    if (hr == static_cast<HRESULT>(WBEM_S_TIMEDOUT) && !object) hr = telvarin::kCallTimedOut;
    if (IsLoss(hr)) {
        win::Lock lock(m_lock);
        MarkLostLocked(generation, hr, "Next");
    }
    return hr;
}

HRESULT WmiConnection::PutInstance(IWbemClassObject* instance, LONG flags) {
    return LockedCall(
        "PutInstance",
        [&](WmiRequest& r) {
            r.op = WmiRequest::Op::PutInstance;
            r.object = instance;
            r.flags = flags;
        },
        [](WmiRequest&) {});
}

HRESULT WmiConnection::Subscribe(BSTR language, BSTR query, ComPtr<IEnumWbemClassObject>& events, DWORD holdLockMs) {
    events.Reset();
    RetryLog log("ExecNotificationQuery fail", "ExecNotificationQuery");
    const ULONGLONG start = GetTickCount64();
    HeldLock held(m_lock);
    for (;;) {
        held.Take();
        if (!m_connected || !m_services) return telvarin::kNotConnected;
        const LONG generation = m_generation;
        const HRESULT hr = Bounded(
            [&](WmiRequest& r) {
                r.services = m_services;
                r.op = WmiRequest::Op::ExecNotificationQuery;
                r.text1 = win::Bstr(language);
                r.text2 = win::Bstr(query);
            },
            [&](WmiRequest& r) { events = r.resultEnumerator; });
        // Only whether a subscription came back counts, not the result code.
        if (events) {
            log.Succeeded();
            return S_OK;
        }
        if (hr == telvarin::kCallStopped) return hr;
        if (IsLoss(hr)) {
            MarkLostLocked(generation, hr, "ExecNotificationQuery");
            return hr;
        }
        log.Failed();
        // While the first subscription is young, start-up calls wait for it; after that,
        // requests and settings pushes are served between the attempts.
        if (GetTickCount64() - start >= holdLockMs) held.Leave();
        if (WaitForSingleObject(m_stop, telvarin::kRetryPauseMs) == WAIT_OBJECT_0) return telvarin::kCallStopped;
    }
}

// ---- connecting -------------------------------------------------------------------------------

// Repeats `attempt` until it answers S_OK, one second apart, reporting through one RetryLog.
// False when the service stops first.
bool WmiConnection::ConnectStage(const char* failureText, const char* subject, HRESULT (WmiConnection::*attempt)()) {
    RetryLog log(failureText, subject);
    for (;;) {
        // A stop between two stages that each succeed at once ends the connect there too.
        if (Stopping()) return false;
        const HRESULT hr = (this->*attempt)();
        if (hr == S_OK) break;
        if (hr == telvarin::kCallStopped) return false;
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
    const HRESULT hr = Bounded(
        [&](WmiRequest& r) {
            r.op = WmiRequest::Op::ConnectServer;
            r.locator = m_locator;
            r.text1 = win::Bstr(L"" TELVARIN_WMI_NAMESPACE);
        },
        [&](WmiRequest& r) { services = r.resultServices; });
    if (hr != S_OK) return hr;
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
    const DWORD tenths = static_cast<DWORD>((GetTickCount64() - m_lostAt) / 100);
    char text[64];
    wsprintfA(text, "WMI connection back after %lu.%lu s", tenths / 10, tenths % 10);
    Report(text);
    return 1;
}

void WmiConnection::Drop() {
    win::Lock lock(m_lock);
    m_services.Reset();
}

void WmiConnection::Close() {
    {
        win::Lock lock(m_lock);
        m_services.Reset();
        InterlockedExchange(&m_connected, 0);
        InterlockedExchange(&m_hasConnected, 0);
        ResetEvent(m_connectedEvent.Get());
    }
    m_locator.Reset();
    {
        win::ExclusiveLock lock(m_runnersLock);
        for (CallRunner*& runner : m_idleRunners) {
            if (runner) runner->Retire();
            runner = nullptr;
        }
    }
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

// Only the first failure of a connection counts: later ones, and those of a connection that has
// been replaced already, change nothing.
void WmiConnection::MarkLostLocked(LONG generation, HRESULT hr, const char* call) {
    if (generation != m_generation || !m_connected) return;
    InterlockedExchange(&m_connected, 0);
    ResetEvent(m_connectedEvent.Get());
    m_lostAt = GetTickCount64();
    char text[128];
    if (hr == telvarin::kCallTimedOut)
        wsprintfA(text, "WMI connection lost: %s gave no answer in %lu.%lu s", call, m_callBoundMs / 1000,
                  m_callBoundMs / 100 % 10);
    else
        wsprintfA(text, "WMI connection lost: %s failed with 0x%08lX", call, static_cast<DWORD>(hr));
    Report(text);
}

// ---- the service's fronts ---------------------------------------------------------------------

int CFnService::ConnectWmi() { return m_wmi.Connect(); }

int CFnService::ReconnectWmi() {
    m_wmi.Drop();
    if (!WaitForWinmgmt()) return 0;
    return m_wmi.ConnectAgain();
}

bool CFnService::AwaitWmiReconnection() {
    if (m_wmi.Connected()) return true;
    if (m_wmi.OnConnectingThread()) return ReconnectWmi() == 1;
    return m_wmi.WaitUntilConnected();
}
