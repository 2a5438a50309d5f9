// The service object's life cycle: construction, Run, ServiceMain, ControlHandler, the final wait.
#include "core/fn_service.h"
#include "core/com_runtime.h"
#include "core/power_api.h"
#include "core/event_log_api.h"

CFnService* g_pService = nullptr;

CFnService::CFnService()
    : m_hSettingEvent(nullptr),
      m_hStatusEvent(nullptr),
      m_status{},
      m_hStatus(nullptr),
      m_prevStatusControl(0),
      m_curStatusControl(0),
      m_wmiReady(0),
      m_running(0),
      m_hStopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_hStartDecided(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_serviceMainEntered(0),
      // Read before anything else can change the last error; 0 when both events exist.
      m_startupError(m_hStopEvent && m_hStartDecided ? 0 : GetLastError()),
      m_statusLock(SRWLOCK_INIT),
      m_pushedSetting(0),
      m_settingPushed(false),
      m_pEventLogApi(&SystemEventLog()),
      m_pComRuntime(&SystemComRuntime()),
      m_pPowerApi(&SystemPowerApi()),
      m_eventSourceOnce{} {
    InitOnceInitialize(&m_eventSourceOnce);
    g_pService = this;
}

CFnService::~CFnService() {
    if (g_pService == this) g_pService = nullptr;
}

void CFnService::RequestStop() {
    // The event first: every lasting wait watches it, and ReportRunning checks it.
    SetEvent(m_hStopEvent.Get());
    InterlockedExchange(&m_running, 0);
}

bool CFnService::WaitForStop(DWORD ms) const {
    return WaitForSingleObject(m_hStopEvent.Get(), ms) == WAIT_OBJECT_0;
}

DWORD CFnService::StartupError() const {
    if (m_hStopEvent && m_hStartDecided) return 0;
    return m_startupError ? m_startupError : ERROR_NOT_ENOUGH_MEMORY;
}

void CFnService::Run() {
    m_wmiReady = 0;
    WriteStartupValues();
    m_prevStatusControl = 0;
    m_curStatusControl = 0;

    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<char*>(TELVARIN_SERVICE_NAME), ServiceMain},
        {nullptr, nullptr},
    };
    // Fails at once when not started by the service control manager (a console start).
    if (!StartServiceCtrlDispatcherA(table)) return;

    // A stop can be handled while ServiceMain is still on its way to storing m_hWorker;
    // wait until it has decided, so that a late worker is still waited for. Both waits are
    // bounded: the service has reported STOPPED already, and a firmware call that never
    // returns must not keep the process alive.
    const DWORD start = GetTickCount();
    if (m_serviceMainEntered) WaitForSingleObject(m_hStartDecided.Get(), telvarin::kStopGraceMs);
    const DWORD spent = GetTickCount() - start;
    const DWORD left = spent < telvarin::kStopGraceMs ? telvarin::kStopGraceMs - spent : 0;
    if (!WaitForWorker(left)) {
        // The worker is stuck in a call that does not return; running destructors now could
        // free what it still uses. STOPPED is reported already.
        TerminateProcess(GetCurrentProcess(), 0);
    }
}

bool CFnService::WaitForWorker(DWORD timeoutMs) {
    if (!m_hWorker) return true;
    if (WaitForSingleObject(m_hWorker.Get(), timeoutMs) != WAIT_OBJECT_0) return false;
    m_hWorker.Reset();
    return true;
}

bool CFnService::ReportRunning() {
    win::ExclusiveLock lock(m_statusLock);
    // A stop reported before this point must stay the last word.
    if (StopRequested()) return false;
    m_status.dwCurrentState = SERVICE_RUNNING;
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
    if (!SetServiceStatus(m_hStatus, &m_status)) return false;
    // Set under the lock: a stop handled from now on clears it after this write.
    InterlockedExchange(&m_running, 1);
    return true;
}

void CFnService::HandleControl(DWORD control) {
    win::ExclusiveLock lock(m_statusLock);
    if (control == SERVICE_CONTROL_STOP) {
        m_status.dwWin32ExitCode = NO_ERROR;
        m_status.dwCurrentState = SERVICE_STOPPED;
        m_status.dwCheckPoint = 0;
        m_status.dwWaitHint = 0;
        SetServiceStatus(m_hStatus, &m_status);
        RequestStop();
        return;
    }
    SetServiceStatus(m_hStatus, &m_status);
}

namespace {
// Signals "ServiceMain has decided about the worker" on every way out of it.
class StartDecidedSignal {
public:
    explicit StartDecidedSignal(HANDLE event) : m_event(event) {}
    ~StartDecidedSignal() {
        if (m_event) SetEvent(m_event);
    }
    StartDecidedSignal(const StartDecidedSignal&) = delete;
    StartDecidedSignal& operator=(const StartDecidedSignal&) = delete;

private:
    HANDLE m_event;
};
}  // namespace

void WINAPI ServiceMain(DWORD, LPSTR*) {
    CFnService* service = g_pService;
    InterlockedExchange(&service->m_serviceMainEntered, 1);
    StartDecidedSignal decided(service->m_hStartDecided.Get());

    service->m_status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    service->m_hStatus = RegisterServiceCtrlHandlerA(TELVARIN_SERVICE_NAME, ControlHandler);
    if (!service->m_hStatus) {
        CFnService::LogServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_NO_CONTROL_HANDLER, nullptr, nullptr, nullptr);
        return;
    }
    // Without its stop event the service could neither be stopped nor wait: it starts nothing.
    if (const DWORD error = service->StartupError()) {
        win::ExclusiveLock lock(service->m_statusLock);
        service->m_status.dwCurrentState = SERVICE_STOPPED;
        service->m_status.dwWin32ExitCode = error;
        SetServiceStatus(service->m_hStatus, &service->m_status);
        return;
    }
    if (!service->ReportRunning()) return;

    DWORD id = 0;
    service->m_hWorker.Reset(CreateThread(nullptr, 0, WorkerThread, nullptr, 0, &id));
}

void WINAPI ControlHandler(DWORD control) { g_pService->HandleControl(control); }
