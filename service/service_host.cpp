// The service host part: status reports, the stop and its watchdog, the worker's start.
#include "service/service_host.h"

namespace {

class Win32ServiceControl final : public ServiceControlApi {
public:
    SERVICE_STATUS_HANDLE RegisterHandler(const char* serviceName, LPHANDLER_FUNCTION_EX handler) override {
        return RegisterServiceCtrlHandlerExA(serviceName, handler, nullptr);
    }
    BOOL ReportStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override {
        return SetServiceStatus(handle, status);
    }
    void EndProcess(UINT exitCode) override { TerminateProcess(GetCurrentProcess(), exitCode); }
};

}  // namespace

ServiceControlApi& SystemServiceControl() {
    static Win32ServiceControl api;
    return api;
}

ServiceHost::ServiceHost(ServiceControlApi& scm, ThreadApi& threads, ActivityBoard& activity, ServiceLog& log,
                         DWORD stopBoundMs)
    : m_scm(scm),
      m_threads(threads),
      m_activity(activity),
      m_log(log),
      m_stopBoundMs(stopBoundMs),
      m_hStopEvent(threads.MakeEvent()),
      m_hStopFinished(threads.MakeEvent()),
      // Read before anything else can change the last error; 0 when both events exist.
      m_startupError(m_hStopEvent && m_hStopFinished ? 0 : GetLastError()) {}

ServiceHost::~ServiceHost() {
    // The watchdog reaches this object: it must be gone first. Its stop has finished by now in
    // the service; a host that stops otherwise (a test's) lets it go.
    if (m_hStopWatchdog) {
        SetEvent(m_hStopFinished.Get());
        WaitForSingleObject(m_hStopWatchdog.Get(), INFINITE);
    }
}

DWORD ServiceHost::StartupError() const {
    if (m_hStopEvent && m_hStopFinished) return 0;
    return m_startupError ? m_startupError : ERROR_NOT_ENOUGH_MEMORY;
}

bool ServiceHost::RegisterHandler(const char* serviceName, LPHANDLER_FUNCTION_EX handler) {
    // Power events: the service looks at its WMI subscription and readiness at each resume.
    m_status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING,
                              SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT, 0, 0, 0, 0};
    m_hStatus = m_scm.RegisterHandler(serviceName, handler);
    return m_hStatus != nullptr;
}

bool ServiceHost::WaitForWorker(DWORD timeoutMs) {
    if (!m_hWorker) return true;
    if (WaitForSingleObject(m_hWorker.Get(), timeoutMs) != WAIT_OBJECT_0) return false;
    m_hWorker.Reset();
    return true;
}

void ServiceHost::ReportStatusLocked() { m_scm.ReportStatus(m_hStatus, &m_status); }

bool ServiceHost::StartWorker(LPTHREAD_START_ROUTINE worker, void* parameter) {
    win::ExclusiveLock lock(m_statusLock);
    m_workerStart = WorkerStart::NotStarted;
    // A stop handled before this point found no worker to end the service: end it here.
    if (StopRequested()) {
        FinishStopLocked(NO_ERROR, 0);
        return false;
    }
    m_status.dwCurrentState = SERVICE_RUNNING;
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
    if (!m_scm.ReportStatus(m_hStatus, &m_status)) return false;
    m_hWorker.Reset(m_threads.StartThread(worker, parameter));
    if (m_hWorker) {
        m_workerStart = WorkerStart::Started;
        return true;
    }
    // STOPPED with the error: the manager's recovery actions may start the service again.
    const DWORD error = GetLastError();
    char text[64];
    wsprintfA(text, "Worker not started (error %lu): the service stops", error);
    m_log.Text(EVENTLOG_WARNING_TYPE, text);
    FinishStopLocked(error, 0);
    return false;
}

void ServiceHost::HandleControl(DWORD control) {
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
    m_status.dwWaitHint = m_stopBoundMs + telvarin::kStopHintMarginMs;
    ReportStatusLocked();
    RequestStop();
    // Without a worker, nobody else would finish the stop; before ServiceMain has decided,
    // StartWorker sees the stop and finishes it.
    if (m_workerStart == WorkerStart::NotStarted) {
        FinishStopLocked(NO_ERROR, 0);
        return;
    }
    // The bound on the whole stop. Without it the stop still ends, only unbounded.
    m_hStopWatchdog.Reset(m_threads.StartThread(StopWatchdogThread, this));
}

void ServiceHost::ReportStopProgress() {
    win::ExclusiveLock lock(m_statusLock);
    if (m_status.dwCurrentState != SERVICE_STOP_PENDING) return;
    ++m_status.dwCheckPoint;
    ReportStatusLocked();
}

void ServiceHost::FinishStop(DWORD win32ExitCode, DWORD serviceExitCode) {
    win::ExclusiveLock lock(m_statusLock);
    FinishStopLocked(win32ExitCode, serviceExitCode);
}

void ServiceHost::FinishStopLocked(DWORD win32ExitCode, DWORD serviceExitCode) {
    if (m_status.dwCurrentState == SERVICE_STOPPED) return;
    m_status.dwCurrentState = SERVICE_STOPPED;
    m_status.dwWin32ExitCode = win32ExitCode;
    m_status.dwServiceSpecificExitCode = serviceExitCode;
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
    ReportStatusLocked();
    SetEvent(m_hStopFinished.Get());
}

bool ServiceHost::AwaitStopFinished() {
    if (WaitForSingleObject(m_hStopFinished.Get(), m_stopBoundMs) == WAIT_OBJECT_0) return true;
    win::ExclusiveLock lock(m_statusLock);
    if (m_status.dwCurrentState == SERVICE_STOPPED) return true;  // finished just now
    char stuck[400];
    m_activity.Describe(stuck, sizeof stuck);
    char text[512];
    wsprintfA(text, "Stop not finished in %lu s: %s", m_stopBoundMs / 1000, stuck[0] ? stuck : "no call named");
    m_log.Text(EVENTLOG_WARNING_TYPE, text);
    InterlockedExchange(&m_stopForced, 1);
    FinishStopLocked(ERROR_SERVICE_SPECIFIC_ERROR, telvarin::kStopOverranCode);
    return false;
}

DWORD WINAPI ServiceHost::StopWatchdogThread(LPVOID parameter) {
    auto* host = static_cast<ServiceHost*>(parameter);
    // STOPPED has been reported with the error; a non-zero exit lets the manager's failure
    // actions restart the service.
    if (!host->AwaitStopFinished()) host->m_scm.EndProcess(telvarin::kStopOverranCode);
    return 0;
}
