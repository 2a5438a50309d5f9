// WmiConnection: the one connection to \\.\ROOT\WMI and everything about it. It owns the
// services pointer, the lock that serialises every call made on it, readiness for client
// requests, the connect stages with their paced and throttled retries, the calls bounded in
// time, the button-event subscription, and the way back after the connection is lost.
// The firmware bridge owns it.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "common/win_raii.h"
#include "core/com_runtime.h"
#include "core/retry_log.h"
#include "core/service_log.h"

class CallRunner;  // firmware/call_runner.h: a helper thread that makes one WMI call at a time

namespace telvarin {
// How long any WMI call may take before the service gives up on it.
constexpr DWORD kCallBoundMs = 10000;
// How long the first subscription of a run keeps the call lock across its pauses, so that the
// start-up calls wait for it; after that the lock is held only during each attempt.
constexpr DWORD kStartupSubscriptionLockMs = 30000;
// Calls of one kind that were given up and may still be waiting inside the provider: each keeps
// a thread. While this many are out, the next call of the kind fails at once.
constexpr int kMaxAbandonedCalls = 2;
}  // namespace telvarin

// How a call on the connection ended. Whether an answer came at all is told here, beside the
// provider's HRESULT and never inside it: no code a provider returns can pass for a give-up.
enum class CallEnd {
    Answered,      // the provider answered `hr`
    TimedOut,      // no answer within the bound: left to its helper thread, which ends once it answers
    Stopped,       // the service is stopping: not made, or left as above
    Refused,       // telvarin::kMaxAbandonedCalls calls of its kind are still out: not made
    NotConnected,  // the connection is lost and not back yet: not made
};

class WmiResult {
public:
    WmiResult() = default;
    WmiResult(CallEnd end, HRESULT hr) : m_end(end), m_hr(hr) {}
    // The provider's answer `hr`.
    static WmiResult Answer(HRESULT hr) { return {CallEnd::Answered, hr}; }

    CallEnd End() const { return m_end; }
    HRESULT Hr() const { return m_hr; }  // the provider's answer; S_OK unless Answered
    bool Answered() const { return m_end == CallEnd::Answered; }
    bool Ok() const { return m_end == CallEnd::Answered && m_hr == S_OK; }

private:
    CallEnd m_end = CallEnd::Answered;
    HRESULT m_hr = S_OK;
};

// What a failed attempt of an operation allows, when the connection may have been the cause.
enum class Retry {
    No,       // the failure stands (and was reported)
    NotMade,  // the call never left this process: the connection was lost before it
    Once,     // it came back undelivered: the operation may be made once more
};

// The kinds of call, each with its own helper thread and its own limit of given-up calls.
enum class WmiOp { Connect, RegisterCall, SettingsRead, SettingsWrite, Subscribe, Poll, Count };

// One kind of call: the helper thread its calls run on (kept while they answer), and those of its
// calls that were given up and have not answered yet. Thread-safe.
class CallLane {
public:
    // `subject`: the kind as the reports to `log` name it ("Register call").
    CallLane(ServiceLog& log, const char* subject);
    ~CallLane();
    CallLane(const CallLane&) = delete;
    CallLane& operator=(const CallLane&) = delete;

    // A helper for the next call; null when none can be made, `refused` when that is because
    // telvarin::kMaxAbandonedCalls given-up calls are still out (reported, throttled).
    CallRunner* Take(bool& refused);
    // The call answered: the helper serves the next one, and a run of failures ends (reported).
    void Answered(CallRunner* runner);
    // The call was given up (`timedOut`: after its bound, reported and throttled; else at the stop).
    void Abandon(CallRunner* runner, bool timedOut, const char* call, DWORD boundMs);
    // Given-up calls that have not answered yet.
    int Outstanding();
    // Ends the idle helper, if any.
    void RetireIdle();

private:
    int PruneLocked();  // drops the given-up calls that have answered by now; the rest's count

    const char* m_subject;
    SRWLOCK m_lock = SRWLOCK_INIT;
    CallRunner* m_idle = nullptr;
    CallRunner* m_abandoned[telvarin::kMaxAbandonedCalls] = {};
    RetryLog m_log;
};

class WmiConnection {
public:
    // `stopEvent`: the service's stop, which every wait here watches. Not owned. Reports go to `log`.
    WmiConnection(HANDLE stopEvent, ServiceLog& log);
    ~WmiConnection();
    WmiConnection(const WmiConnection&) = delete;
    WmiConnection& operator=(const WmiConnection&) = delete;

    void SetComRuntime(ComRuntime* runtime) { m_runtime = runtime; }
    // How long a call may take (telvarin::kCallBoundMs unless a test says otherwise).
    void SetCallBound(DWORD ms) { m_callBoundMs = ms; }

    // The answers that mean the connection itself is gone (a restart of the WMI service, a
    // broken transport); any other answer comes from behind a working connection.
    static bool IsLoss(HRESULT hr);
    // Of those, the ones that say the call never reached the other side, so it may be repeated.
    static bool NeverDelivered(HRESULT hr);
    // The result says the connection is gone: a loss answered, or not connected.
    static bool Lost(const WmiResult& result) {
        return result.End() == CallEnd::NotConnected || (result.Answered() && IsLoss(result.Hr()));
    }

    // The first connection of the run, made by the worker, whose thread becomes the one that
    // reconnects: the calling thread enters the multithreaded apartment, sets the process's COM
    // security, creates the locator and connects. Each stage is repeated once a second until it
    // succeeds. 1 once connected and ready, 0 when the service stopped first.
    int Connect();
    // After a loss, on the connecting thread: the locator and ConnectServer again (the apartment
    // and the security stay), with the same paced retries; readiness is set as at start-up and
    // the threads waiting for the connection go on. 1 once back, 0 when the service stopped.
    int ConnectAgain();
    // Lets go of a lost connection before ConnectAgain.
    void Drop();
    // Releases the connection and leaves the apartment: the worker's teardown.
    void Close();

    bool HasConnected() const { return m_hasConnected != 0; }
    bool Connected() const { return m_connected != 0; }
    bool OnConnectingThread() const { return m_connectingThread == GetCurrentThreadId(); }
    // Waits until the connection is back or the service stops; true when it is back.
    bool WaitUntilConnected();
    // The connection of the moment; a new one after each reconnection.
    LONG Generation() const { return m_generation; }
    // A failure of a call made outside this class (on an object a call returned) on the
    // connection `generation`: a connection-level one marks the connection lost.
    void NoteFailure(LONG generation, HRESULT hr, const char* call);
    // A poll answered on a working subscription: a run of losses ends (one report when it was
    // more than one loss; a single one had its "back" already).
    void NoteSteady();

    // 1 while client requests reach the firmware: set by each (re)connection and by a
    // successful method lookup, cleared by a register call that the firmware side fails.
    LONG Ready() const { return m_ready; }
    void ClearReady() { InterlockedExchange(&m_ready, 0); }
    void SetReady() { InterlockedExchange(&m_ready, 1); }

    // The calls on the connection. Each runs on its kind's helper thread and is given up after
    // the bound or at the stop; while two given-up calls of its kind are out, it is refused at
    // once. An answer that means the connection is gone marks it lost; while it is lost, the
    // calls are not made (CallEnd::NotConnected). All but Next and Poll hold the call lock.
    WmiResult GetObject(BSTR path, Microsoft::WRL::ComPtr<IWbemClassObject>& object);
    WmiResult ExecMethod(BSTR path, BSTR method, IWbemClassObject* inParams,
                         Microsoft::WRL::ComPtr<IWbemClassObject>& outParams);
    WmiResult ExecQuery(BSTR language, BSTR query, Microsoft::WRL::ComPtr<IEnumWbemClassObject>& instances);
    // The next object of a settings query (Next with the bound as its time-out); null when none.
    WmiResult Next(IEnumWbemClassObject* instances, Microsoft::WRL::ComPtr<IWbemClassObject>& object);
    WmiResult PutInstance(IWbemClassObject* instance, LONG flags);
    // The next button event (Next with `timeoutMs`), given up `timeoutMs` plus the bound after.
    WmiResult Poll(IEnumWbemClassObject* events, DWORD timeoutMs, Microsoft::WRL::ComPtr<IWbemClassObject>& event);
    // Subscribes, repeating a subscription that fails but for a loss once a second, with its
    // reports throttled. The call lock is kept across the pauses for the first `holdLockMs`,
    // then taken for each attempt only. Ends with the subscription, at the stop, or with the
    // result that found the connection lost.
    WmiResult Subscribe(BSTR language, BSTR query, Microsoft::WRL::ComPtr<IEnumWbemClassObject>& events,
                        DWORD holdLockMs);
    // Given-up calls of `op` still out.
    int Outstanding(WmiOp op) { return Lane(op).Outstanding(); }

    // The input signature of the firmware method, kept for the connection it was looked up on,
    // so that a register call needs one round trip. False when none is kept for this one.
    bool KeptMethodInput(Microsoft::WRL::ComPtr<IWbemClassObject>& signature);
    void KeepMethodInput(LONG generation, IWbemClassObject* signature);
    void ForgetMethodInput();

    // The lock that serialises the calls: another thread can take it whenever no call is under
    // way (tests look at that).
    win::CriticalSection& CallLock() { return m_lock; }

private:
    template <typename Fill, typename Take>
    WmiResult Bounded(WmiOp op, const char* call, DWORD boundMs, Fill fill, Take take);
    template <typename Fill, typename Take>
    WmiResult LockedCall(WmiOp op, const char* name, Fill fill, Take take);
    bool ConnectStage(const char* failureText, const char* subject, HRESULT (WmiConnection::*attempt)());
    HRESULT EnterApartment();
    HRESULT SecureProcess();
    HRESULT CreateLocator();
    HRESULT ConnectServer();
    void Install();
    void MarkLostLocked(LONG generation, HRESULT hr, const char* call);
    bool Stopping() const { return WaitForSingleObject(m_stop, 0) == WAIT_OBJECT_0; }
    CallLane& Lane(WmiOp op) { return m_lanes[static_cast<int>(op)]; }

    HANDLE m_stop;
    ServiceLog& m_log;
    ComRuntime* m_runtime;
    DWORD m_callBoundMs = telvarin::kCallBoundMs;
    win::CriticalSection m_lock;  // the call lock: every call through m_services
    Microsoft::WRL::ComPtr<IWbemServices> m_services;
    Microsoft::WRL::ComPtr<IWbemLocator> m_locator;  // only while connecting
    ComApartment m_apartment;                         // the connecting thread's
    volatile LONG m_ready = 0;
    volatile LONG m_connected = 0;
    volatile LONG m_hasConnected = 0;
    volatile LONG m_generation = 0;
    volatile DWORD m_connectingThread = 0;
    win::UniqueHandle m_connectedEvent;  // manual reset: set while connected
    // A run of losses (under m_lock): the first is reported with its "back", later ones only
    // hourly, and the run ends once the subscription serves again.
    volatile DWORD m_losses = 0;
    ULONGLONG m_lostAt = 0;
    ULONGLONG m_firstLossAt = 0;
    ULONGLONG m_lossReportAt = 0;
    Microsoft::WRL::ComPtr<IWbemClassObject> m_methodInput;  // under m_lock
    LONG m_methodInputGeneration = 0;
    CallLane m_lanes[static_cast<int>(WmiOp::Count)] = {
        CallLane(m_log, "ConnectServer"),  CallLane(m_log, "Register call"), CallLane(m_log, "Settings read"),
        CallLane(m_log, "Settings write"), CallLane(m_log, "Subscription"),  CallLane(m_log, "Button-event poll"),
    };
};
