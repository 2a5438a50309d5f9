// WmiConnection: the one connection to \\.\ROOT\WMI and everything about it. It owns the
// services pointer, the lock that serialises every call made on it, readiness for client
// requests, the connect stages with their paced and throttled retries, the calls bounded in
// time, the button-event subscription and its polling, and the way back after the connection is
// lost, with its reports. The firmware bridge owns it.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "common/win_raii.h"
#include "core/callback_ref.h"
#include "core/com_runtime.h"
#include "core/retry_log.h"
#include "core/service_log.h"
#include "firmware/call_runner.h"
#include "firmware/clock.h"
#include "firmware/wmi_call.h"

namespace telvarin {
// How long the first subscription of a run keeps the call lock across its pauses, so that the
// start-up calls wait for it; after that the lock is held only during each attempt.
constexpr DWORD kStartupSubscriptionLockMs = 30000;
}  // namespace telvarin

class WmiResult {
public:
    WmiResult() = default;
    WmiResult(CallEnd end, HRESULT hr) : m_end(end), m_hr(hr) {}
    // The provider's answer `hr`.
    static WmiResult Answer(HRESULT hr) { return {CallEnd::Answered, hr}; }

    CallEnd End() const { return m_end; }
    // The provider's answer when Answered; E_OUTOFMEMORY when NotMade for want of memory; else S_OK.
    HRESULT Hr() const { return m_hr; }
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
    Refused,  // not made: given-up calls of its kind are still out
};

// The kinds of call, each with its own helper thread and its own limit of given-up calls.
enum class WmiOp { Connect, RegisterCall, InstanceLookup, SettingsRead, SettingsWrite, Subscribe, Poll, Count };

// What a WMI connection is made with besides the stop and the log: the COM start-up calls (its
// helper threads' apartments included), the clock its bounds, pauses and reports go by, and how
// long a call may take.
struct WmiSetup {
    ComRuntime& com;
    const Clock& clock;
    DWORD callBoundMs;
};
// The system's COM and clock, with telvarin::kCallBoundMs.
WmiSetup SystemWmiSetup();

// The reports of a WMI connection that is lost: a run of losses, however many, is one "lost", the
// first "back", a reminder at most once an hour (while it keeps dropping or cannot connect), and
// one "steady again" once the connection has held (see FailureRun: a connection that drops every
// few minutes is one run, not one per drop). Not thread-safe; the connection calls it under its lock.
class LossReports {
public:
    explicit LossReports(ServiceLog& log) : m_log(log) {}
    // At `now`, the connection was found lost: `call` failed with `hr`.
    void Lost(ULONGLONG now, const char* call, HRESULT hr);
    // At `now`, a step of connecting again failed.
    void ConnectFailed(ULONGLONG now, const char* step, HRESULT hr);
    // At `now`, connected again.
    void Back(ULONGLONG now);
    // At `now`: a run of losses whose connection has held is over (reported when it was more
    // than one loss; a single one had its "back").
    void Tick(ULONGLONG now);

private:
    void Remind(ULONGLONG now, const char* call, HRESULT hr);

    ServiceLog& m_log;
    FailureRun m_run;
    DWORD m_losses = 0;
    ULONGLONG m_lostAt = 0;
    bool m_backOwed = false;
};

class WmiConnection {
public:
    // `stopEvent`: the service's stop, which every wait here watches. Not owned. Reports go to `log`.
    WmiConnection(HANDLE stopEvent, ServiceLog& log, const WmiSetup& setup);
    ~WmiConnection();
    WmiConnection(const WmiConnection&) = delete;
    WmiConnection& operator=(const WmiConnection&) = delete;

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
    // succeeds, and reported on its own. 1 once connected and ready, 0 when the service stopped first.
    int Connect();
    // After a loss, on the connecting thread: the locator and ConnectServer again (the apartment
    // and the security stay), with the same paced retries, reported as part of the loss;
    // readiness is set as at start-up and the threads waiting for the connection go on. 1 once
    // back, 0 when the service stopped.
    int ConnectAgain();
    // Lets go of a lost connection before ConnectAgain.
    void Drop();
    // Releases the connection, ends the helper threads (waiting a moment for the calls given up
    // at the stop) and leaves the apartment: the worker's teardown.
    void Close();

    bool HasConnected() const { return m_hasConnected != 0; }
    bool Connected() const { return m_connected != 0; }
    bool OnConnectingThread() const { return m_connectingThread == GetCurrentThreadId(); }
    // Waits up to `ms` until the connection is back or the service stops; true when it is back.
    bool WaitUntilConnected(DWORD ms);
    // Signalled while the connection is lost and not made again yet (manual reset).
    HANDLE LostEvent() const { return m_lostEvent.Get(); }
    // The connection of the moment; a new one after each reconnection.
    LONG Generation() const { return m_generation; }
    // A failure of a call made outside this class (on an object a call returned) on the
    // connection `generation`: a connection-level one marks the connection lost.
    void NoteFailure(LONG generation, HRESULT hr, const char* call);
    // A step of connecting again, made outside this class, failed (reported as part of the loss).
    void NoteConnectFailure(const char* step, HRESULT hr);
    // Reports that are due by time alone (a run of losses over once the connection has held).
    // The button-event polling calls it while it watches.
    void Tick();
    // The time on the connection's clock, and how long a call on it may take.
    ULONGLONG Now() const { return m_clock.Now(); }
    DWORD CallBoundMs() const { return m_callBoundMs; }

    // 1 while client requests reach the firmware: set by each (re)connection and by a
    // successful method lookup, cleared by a register call that the firmware side fails.
    LONG Ready() const { return m_ready; }
    void ClearReady() { InterlockedExchange(&m_ready, 0); }
    void SetReady() { InterlockedExchange(&m_ready, 1); }

    // The calls on the connection. Each runs on its kind's helper thread and is given up after
    // the bound or at the stop; while two given-up calls of its kind are out, it is refused at
    // once. An answer that means the connection is gone marks it lost; while it is lost, the
    // calls are not made (CallEnd::NotConnected). All but Next hold the call lock.
    WmiResult GetObject(BSTR path, Microsoft::WRL::ComPtr<IWbemClassObject>& object);
    WmiResult ExecMethod(BSTR path, BSTR method, IWbemClassObject* inParams,
                         Microsoft::WRL::ComPtr<IWbemClassObject>& outParams);
    // A query of instances, on the lane of `op` (WmiOp::SettingsRead or WmiOp::InstanceLookup).
    WmiResult ExecQuery(WmiOp op, BSTR language, BSTR query, Microsoft::WRL::ComPtr<IEnumWbemClassObject>& instances);
    // The next object of such a query (Next with a time-out well inside the bound, so that a
    // provider that answers "timed out" is heard); null when none.
    WmiResult Next(WmiOp op, IEnumWbemClassObject* instances, Microsoft::WRL::ComPtr<IWbemClassObject>& object);
    WmiResult PutInstance(IWbemClassObject* instance, LONG flags);
    // Subscribes to `query` (WQL), repeating a subscription that fails but for a loss once a
    // second, with its reports throttled. The call lock is kept across the pauses for the first
    // `holdLockMs`, then taken for each attempt only. Ends with the subscription, at the stop, or
    // with the result that found the connection lost.
    WmiResult Subscribe(const wchar_t* query, Microsoft::WRL::ComPtr<IEnumWbemClassObject>& events, DWORD holdLockMs);
    // Polls the button events of `events` on the poll lane's helper thread, each poll waiting up
    // to `pollMs`, and hands every event to `sink` on that thread: an event costs no hand-over
    // between threads. The calling thread watches, making the reports due by time meanwhile, and
    // returns once the polling has ended: CallEnd::Answered when it ended by itself, with the
    // last poll's answer (a failure, reported throttled unless it is a loss, which marks the
    // connection lost; or the sink's end); CallEnd::TimedOut when a poll gave no answer within
    // `pollMs` and the bound (reported as the kind's give-up); CallEnd::Stopped at the stop, once
    // the poll under way has had its time-out and telvarin::kTeardownGraceMs more; CallEnd::Refused
    // while given-up polls are out. `resumed` (auto reset, may be null) signalled after a sleep:
    // the poll under way has its time-out and telvarin::kTeardownGraceMs from then on (a given-up
    // one ends it with CallEnd::TimedOut), so that a subscription that died in the sleep is
    // replaced at once, not after the whole bound.
    WmiResult Listen(IEnumWbemClassObject* events, DWORD pollMs, PollSink& sink, HANDLE resumed = nullptr);
    // Given-up calls of `op` still out, and their threads (see CallLane::OutThreads).
    int Outstanding(WmiOp op) { return Lane(op).Outstanding(); }
    int OutThreads(WmiOp op, HANDLE (&threads)[telvarin::kMaxAbandonedCalls]) { return Lane(op).OutThreads(threads); }

    // The input signature of the firmware method, kept for the connection it was looked up on,
    // so that a register call needs one round trip. False when none is kept for this one.
    bool KeptMethodInput(Microsoft::WRL::ComPtr<IWbemClassObject>& signature);
    void KeepMethodInput(LONG generation, IWbemClassObject* signature);
    void ForgetMethodInput();

private:
    using RequestFill = CallbackRef<bool(WmiRequest&)>;
    using RequestTake = CallbackRef<void(WmiRequest&)>;
    WmiResult Bounded(WmiOp op, const char* call, DWORD boundMs, RequestFill fill, RequestTake take);
    WmiResult LockedCall(WmiOp op, const char* name, RequestFill fill, RequestTake take);
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
    ComRuntime& m_runtime;
    const Clock& m_clock;
    const DWORD m_callBoundMs;
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
    win::UniqueHandle m_lostEvent;       // manual reset: set from a loss until connected again
    LossReports m_losses{m_log};         // under m_lock
    RetryLog m_subscribeLog{m_log, "ExecNotificationQuery fail", "ExecNotificationQuery"};
    Microsoft::WRL::ComPtr<IWbemClassObject> m_methodInput;  // under m_lock
    LONG m_methodInputGeneration = 0;
    CallLane m_lanes[static_cast<int>(WmiOp::Count)] = {
        CallLane(m_log, m_runtime, m_clock, "ConnectServer"),
        CallLane(m_log, m_runtime, m_clock, "Register call"),
        CallLane(m_log, m_runtime, m_clock, "Method instance lookup"),
        CallLane(m_log, m_runtime, m_clock, "Settings read"),
        CallLane(m_log, m_runtime, m_clock, "Settings write"),
        CallLane(m_log, m_runtime, m_clock, "Subscription"),
        CallLane(m_log, m_runtime, m_clock, "Button-event poll"),
    };
};
