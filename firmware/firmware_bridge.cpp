// The firmware bridge's connection: winmgmt first, then the WMI connection, made again after a loss.
#include "firmware/firmware_bridge.h"

#include "common/protocol.h"
#include "common/win_raii.h"

namespace {
// How often a held register call looks whether its kind is served again.
constexpr DWORD kRefusedLookMs = 100;
}  // namespace

FirmwareBridge::FirmwareBridge(HANDLE stopEvent, ActivityBoard& activity, ServiceLog& log, const WmiSetup& wmi)
    : m_stop(stopEvent), m_activity(activity), m_log(log), m_wmi(stopEvent, log, wmi) {}

LONG FirmwareBridge::QueryServiceState(const char* name) {
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(OpenServiceA(manager.Get(), name, SERVICE_ALL_ACCESS));
    if (!service) return -1;
    SERVICE_STATUS status{};
    // A stopped service does not answer the interrogate control.
    if (!ControlService(service.Get(), SERVICE_CONTROL_INTERROGATE, &status)) return -1;
    return static_cast<LONG>(status.dwCurrentState);
}

bool FirmwareBridge::WaitForWinmgmt() {
    const bool again = m_wmi.HasConnected();
    RetryLog log(m_log, "winmgmt not ready", "winmgmt wait");
    while (QueryServiceState(TELVARIN_WMI_SERVICE) != SERVICE_RUNNING) {
        if (again) m_wmi.NoteConnectFailure("the winmgmt wait", HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE));
        else log.FailedAt(m_wmi.Now());
        if (WaitForSingleObject(m_stop, telvarin::kRetryPauseMs) == WAIT_OBJECT_0) return false;
    }
    log.SucceededAt(m_wmi.Now());
    return true;
}

int FirmwareBridge::Connect() { return m_wmi.Connect(); }

int FirmwareBridge::ReconnectWmi() {
    m_wmi.Drop();
    if (!WaitForWinmgmt()) return 0;
    return m_wmi.ConnectAgain();
}

bool FirmwareBridge::PauseConnected(DWORD ms, bool untilPollAnswers) {
    HANDLE waits[3 + telvarin::kMaxAbandonedCalls] = {m_stop, m_wmi.LostEvent()};
    win::UniqueHandle polls[telvarin::kMaxAbandonedCalls];
    DWORD count = 2;
    if (m_resumed) waits[count++] = m_resumed.Get();
    if (untilPollAnswers) {
        HANDLE threads[telvarin::kMaxAbandonedCalls] = {};
        const int out = m_wmi.OutThreads(WmiOp::Poll, threads);
        for (int i = 0; i < out; ++i) {
            polls[i].Reset(threads[i]);
            waits[count++] = threads[i];
        }
    }
    const ULONGLONG until = m_wmi.Now() + ms;
    for (;;) {
        if (!m_wmi.Connected() && ReconnectWmi() != 1) return false;
        const ULONGLONG now = m_wmi.Now();
        if (now >= until) return !Stopping();
        const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, static_cast<DWORD>(until - now));
        if (woke == WAIT_OBJECT_0) return false;
        // Resumed from a sleep: subscribe again at once. A given-up poll has answered: polls
        // may be made again.
        if (woke >= WAIT_OBJECT_0 + 2 && woke < WAIT_OBJECT_0 + count) return !Stopping();
    }
}

bool FirmwareBridge::AwaitCallable(Retry retry, ULONGLONG holdUntil) {
    if (retry != Retry::Refused) {
        if (m_wmi.Connected()) return true;
        if (m_wmi.OnConnectingThread()) return ReconnectWmi() == 1;
        const ULONGLONG now = m_wmi.Now();
        if (holdUntil == 0) return m_wmi.WaitUntilConnected(INFINITE);
        return now < holdUntil && m_wmi.WaitUntilConnected(static_cast<DWORD>(holdUntil - now));
    }
    if (holdUntil == 0 || m_wmi.Now() >= holdUntil) return false;
    // A given-up call ends by itself once the provider answers, on its own thread: look again soon.
    return WaitForSingleObject(m_stop, kRefusedLookMs) == WAIT_TIMEOUT;
}

void FirmwareBridge::OnResume() {
    InterlockedExchange(&m_resumeSeen, 1);
    InterlockedExchange(&m_readinessCheckOwed, 1);
    SetEvent(m_resumed.Get());
    SetEvent(m_readinessDue.Get());
}
