// The service object's life cycle: construction, Run, ServiceMain, ControlHandler, the stop.
#include "core/fn_service.h"
#include "core/com_runtime.h"
#include "core/power_api.h"
#include "core/event_log_api.h"
#include "service/client_lock_host.h"

CFnService* g_pService = nullptr;

CFnService::CFnService()
    : m_hSettingEvent(nullptr),
      m_hStatusEvent(nullptr),
      m_status{},
      m_hStatus(nullptr),
      m_prevStatusControl(0),
      m_curStatusControl(0),
      m_running(0),
      m_hStopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_hStopFinished(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      // Read before anything else can change the last error; 0 when both events exist.
      m_startupError(m_hStopEvent && m_hStopFinished ? 0 : GetLastError()),
      m_statusLock(SRWLOCK_INIT),
      m_pushedSetting(0),
      m_settingPushed(false),
      m_pEventLogApi(&SystemEventLog()),
      m_pPowerApi(&SystemPowerApi()),
      m_eventSourceOnce{},
      m_wmi(m_hStopEvent.Get()) {
    InitOnceInitialize(&m_eventSourceOnce);
    g_pService = this;
}

CFnService::~CFnService() {
    // The watchdog reaches this object: it must be gone first. Its stop has finished by now in
    // the service; an object that stops otherwise (a test's) lets it go.
    if (m_hStopWatchdog) {
        SetEvent(m_hStopFinished.Get());
        WaitForSingleObject(m_hStopWatchdog.Get(), INFINITE);
    }
    if (g_pService == this) g_pService = nullptr;
}

void CFnService::RequestStop() {
    // The event first: every lasting wait watches it, and StartWorker checks it.
    SetEvent(m_hStopEvent.Get());
    InterlockedExchange(&m_running, 0);
}

bool CFnService::WaitForStop(DWORD ms) const {
    return WaitForSingleObject(m_hStopEvent.Get(), ms) == WAIT_OBJECT_0;
}

DWORD CFnService::StartupError() const {
    if (m_hStopEvent && m_hStopFinished) return 0;
    return m_startupError ? m_startupError : ERROR_NOT_ENOUGH_MEMORY;
}

void CFnService::Run() {
    WriteStartupValues();
    m_prevStatusControl = 0;
    m_curStatusControl = 0;

    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<char*>(TELVARIN_SERVICE_NAME), ServiceMain},
        {nullptr, nullptr},
    };
    // Fails at once when not started by the service control manager (a console start). Once it
    // returns, STOPPED has been reported: it was the last act of the stop.
    if (!StartServiceCtrlDispatcherA(table)) return;
    // The watchdog is ending a process whose teardown is stuck; destructors must not run
    // under threads that may still use what they free.
    if (m_stopForced) Sleep(INFINITE);
    // The worker reported STOPPED as its last act and is returning; m_hWorker was stored before
    // anything could report STOPPED (both under the status lock).
    WaitForWorker(telvarin::kStopBoundMs);
}

bool CFnService::WaitForWorker(DWORD timeoutMs) {
    if (!m_hWorker) return true;
    if (WaitForSingleObject(m_hWorker.Get(), timeoutMs) != WAIT_OBJECT_0) return false;
    m_hWorker.Reset();
    return true;
}

void CFnService::ReportStatusLocked() { SetServiceStatus(m_hStatus, &m_status); }

bool CFnService::StartWorker() {
    win::ExclusiveLock lock(m_statusLock);
    // A stop handled before this point found no worker to end the service: end it here.
    if (StopRequested()) {
        m_workerStart = WorkerStart::NotStarted;
        FinishStopLocked(NO_ERROR, 0);
        return false;
    }
    m_status.dwCurrentState = SERVICE_RUNNING;
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
    if (!SetServiceStatus(m_hStatus, &m_status)) {
        m_workerStart = WorkerStart::NotStarted;
        return false;
    }
    // Set under the lock: a stop handled from now on clears it after this write.
    InterlockedExchange(&m_running, 1);
    DWORD id = 0;
    m_hWorker.Reset(CreateThread(nullptr, 0, WorkerThread, nullptr, 0, &id));
    m_workerStart = m_hWorker ? WorkerStart::Started : WorkerStart::NotStarted;
    return true;
}

void CFnService::HandleControl(DWORD control) {
    win::ExclusiveLock lock(m_statusLock);
    const bool stop = control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN;
    // A repeated stop, and any other control, is answered with the last status.
    if (!stop || m_status.dwCurrentState == SERVICE_STOP_PENDING || m_status.dwCurrentState == SERVICE_STOPPED) {
        ReportStatusLocked();
        return;
    }
    m_status.dwWin32ExitCode = NO_ERROR;
    m_status.dwCurrentState = SERVICE_STOP_PENDING;
    m_status.dwCheckPoint = 1;
    m_status.dwWaitHint = telvarin::kStopWaitHintMs;
    ReportStatusLocked();
    RequestStop();
    // Without a worker, nobody else would finish the stop; before ServiceMain has decided,
    // StartWorker sees the stop and finishes it.
    if (m_workerStart == WorkerStart::NotStarted) {
        FinishStopLocked(NO_ERROR, 0);
        return;
    }
    // The bound on the whole stop. Without it the stop still ends, only unbounded.
    DWORD id = 0;
    m_hStopWatchdog.Reset(CreateThread(nullptr, 0, StopWatchdogThread, nullptr, 0, &id));
}

void CFnService::ReportStopProgress() {
    win::ExclusiveLock lock(m_statusLock);
    if (m_status.dwCurrentState != SERVICE_STOP_PENDING) return;
    ++m_status.dwCheckPoint;
    ReportStatusLocked();
}

void CFnService::FinishStop(DWORD win32ExitCode, DWORD serviceExitCode) {
    win::ExclusiveLock lock(m_statusLock);
    FinishStopLocked(win32ExitCode, serviceExitCode);
}

void CFnService::FinishStopLocked(DWORD win32ExitCode, DWORD serviceExitCode) {
    if (m_status.dwCurrentState == SERVICE_STOPPED) return;
    m_status.dwCurrentState = SERVICE_STOPPED;
    m_status.dwWin32ExitCode = win32ExitCode;
    m_status.dwServiceSpecificExitCode = serviceExitCode;
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
    ReportStatusLocked();
    SetEvent(m_hStopFinished.Get());
}

bool CFnService::AwaitStopFinished(DWORD boundMs) {
    if (WaitForSingleObject(m_hStopFinished.Get(), boundMs) == WAIT_OBJECT_0) return true;
    win::ExclusiveLock lock(m_statusLock);
    if (m_status.dwCurrentState == SERVICE_STOPPED) return true;  // finished just now
    char stuck[400];
    m_activity.Describe(stuck, sizeof stuck);
    char text[512];
    wsprintfA(text, "Stop not finished in %lu s: %s", boundMs / 1000, stuck[0] ? stuck : "no call named");
    LogServiceEvent(EVENTLOG_WARNING_TYPE, MSG_TEXT, text, nullptr, nullptr);
    InterlockedExchange(&m_stopForced, 1);
    FinishStopLocked(ERROR_SERVICE_SPECIFIC_ERROR, telvarin::kStopOverranCode);
    return false;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    CFnService* service = g_pService;
    service->m_status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING,
                                       SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0, 0, 0};
    service->m_hStatus = RegisterServiceCtrlHandlerA(TELVARIN_SERVICE_NAME, ControlHandler);
    if (!service->m_hStatus) {
        CFnService::LogServiceEvent(EVENTLOG_WARNING_TYPE, MSG_NO_CONTROL_HANDLER, nullptr, nullptr, nullptr);
        return;
    }
    // Without its stop events the service could neither be stopped nor wait: it starts nothing.
    if (const DWORD error = service->StartupError()) {
        service->FinishStop(error, 0);
        return;
    }
    // Before RUNNING: a client that sees the service running finds its lock.
    if (const LONG error = telvarin::PublishServiceClientLock()) {
        char text[96];
        wsprintfA(text, "Client lock not published (error %ld): clients do not take turns", error);
        CFnService::LogServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_TEXT, text, nullptr, nullptr);
    }
    service->StartWorker();
}

void WINAPI ControlHandler(DWORD control) { g_pService->HandleControl(control); }

DWORD WINAPI StopWatchdogThread(LPVOID) {
    if (g_pService->AwaitStopFinished(telvarin::kStopBoundMs)) return 0;
    // STOPPED has been reported with the error; a non-zero exit lets the manager's failure
    // actions restart the service.
    TerminateProcess(GetCurrentProcess(), telvarin::kStopOverranCode);
    return 0;
}
