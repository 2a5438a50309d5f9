// WmiConnection: the one connection to \\.\ROOT\WMI and everything about it. It owns the
// services pointer, the lock that serialises every call made on it, readiness for client
// requests, the connect stages with their paced and throttled retries, the calls bounded in
// time, the button-event subscription, and the way back after the connection is lost.
// CFnService composes it (so it is declared here, in core/); its code is in firmware/.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "common/win_raii.h"
#include "core/com_runtime.h"

class CallRunner;  // firmware/call_runner.h: a helper thread that makes one WMI call at a time

namespace telvarin {
// How long any WMI call may take before the service gives up on it.
constexpr DWORD kCallBoundMs = 10000;
// How long the first subscription of a run keeps the call lock across its pauses, so that the
// start-up calls wait for it; after that the lock is held only during each attempt.
constexpr DWORD kStartupSubscriptionLockMs = 30000;
// What a bounded call answers when it gave up: no answer within its bound, or the stop came.
constexpr HRESULT kCallTimedOut = static_cast<HRESULT>(0x800705B4);  // HRESULT_FROM_WIN32(ERROR_TIMEOUT)
constexpr HRESULT kCallStopped = static_cast<HRESULT>(0x800704C7);   // HRESULT_FROM_WIN32(ERROR_CANCELLED)
// What a call answers while the connection is lost and not back yet: it never left the process.
constexpr HRESULT kNotConnected = static_cast<HRESULT>(0x800708CA);  // HRESULT_FROM_WIN32(ERROR_NOT_CONNECTED)
constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);  // RPC_S_SERVER_UNAVAILABLE
constexpr HRESULT kCallFailed = static_cast<HRESULT>(0x800706BE);         // RPC_S_CALL_FAILED
}  // namespace telvarin

class WmiConnection {
public:
    // `stopEvent`: the service's stop, which every wait here watches. Not owned.
    explicit WmiConnection(HANDLE stopEvent);
    ~WmiConnection();
    WmiConnection(const WmiConnection&) = delete;
    WmiConnection& operator=(const WmiConnection&) = delete;

    void SetComRuntime(ComRuntime* runtime) { m_runtime = runtime; }
    // How long a call may take (telvarin::kCallBoundMs unless a test says otherwise).
    void SetCallBound(DWORD ms) { m_callBoundMs = ms; }

    // The failures that mean the connection itself is gone (a restart of the WMI service, a call
    // that gave up); any other failure comes from the firmware behind a working connection.
    static bool IsLoss(HRESULT hr);
    // Of those, the ones that say the call never reached the other side, so it may be repeated
    // (kNotConnected among them: it never left this process).
    static bool NeverDelivered(HRESULT hr);

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
    // A connection-level failure of a call made outside this class (the listener's poll) on the
    // connection `generation`: the connection counts as lost.
    void NoteFailure(LONG generation, HRESULT hr, const char* call);

    // 1 while client requests reach the firmware: set by each (re)connection, cleared by a
    // register call that the firmware side fails while connected.
    LONG Ready() const { return m_ready; }
    void ClearReady() { InterlockedExchange(&m_ready, 0); }

    // The calls on the connection. Each runs on a helper thread and is given up after the bound
    // (telvarin::kCallTimedOut) or at the stop (telvarin::kCallStopped); a failure that means
    // the connection is gone marks it lost. While it is lost, they answer telvarin::kNotConnected
    // at once. All but Next hold the call lock.
    HRESULT GetObject(BSTR path, Microsoft::WRL::ComPtr<IWbemClassObject>& object);
    HRESULT ExecMethod(BSTR path, BSTR method, IWbemClassObject* inParams,
                       Microsoft::WRL::ComPtr<IWbemClassObject>& outParams);
    HRESULT ExecQuery(BSTR language, BSTR query, Microsoft::WRL::ComPtr<IEnumWbemClassObject>& instances);
    // The next object of a query (Next with the bound as its time-out); a null object when none.
    HRESULT Next(IEnumWbemClassObject* instances, Microsoft::WRL::ComPtr<IWbemClassObject>& object);
    HRESULT PutInstance(IWbemClassObject* instance, LONG flags);
    // Subscribes, repeating a subscription that the firmware side refuses once a second, with
    // its reports throttled. The call lock is kept across the pauses for the first
    // `holdLockMs`, then taken for each attempt only. S_OK with the subscription, kCallStopped,
    // or the failure that lost the connection.
    HRESULT Subscribe(BSTR language, BSTR query, Microsoft::WRL::ComPtr<IEnumWbemClassObject>& events,
                      DWORD holdLockMs);

    // The lock that serialises the calls: another thread can take it whenever no call is under
    // way (tests look at that).
    win::CriticalSection& CallLock() { return m_lock; }

private:
    template <typename Fill, typename Take>
    HRESULT Bounded(Fill fill, Take take);
    template <typename Fill, typename Take>
    HRESULT LockedCall(const char* name, Fill fill, Take take);
    bool ConnectStage(const char* failureText, const char* subject, HRESULT (WmiConnection::*attempt)());
    HRESULT EnterApartment();
    HRESULT SecureProcess();
    HRESULT CreateLocator();
    HRESULT ConnectServer();
    void Install();
    void MarkLostLocked(LONG generation, HRESULT hr, const char* call);
    bool Stopping() const { return WaitForSingleObject(m_stop, 0) == WAIT_OBJECT_0; }
    CallRunner* TakeRunner();
    void ReturnRunner(CallRunner* runner);

    static constexpr int kIdleRunners = 3;

    HANDLE m_stop;
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
    ULONGLONG m_lostAt = 0;
    win::UniqueHandle m_connectedEvent;  // manual reset: set while connected
    SRWLOCK m_runnersLock = SRWLOCK_INIT;
    CallRunner* m_idleRunners[kIdleRunners] = {};
};
