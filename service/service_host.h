// The service host part: the status the service control manager sees, the stop signal with the
// watchdog that bounds the stop, and the start of the worker. Knows nothing of the firmware or
// the registry store: the worker to start is handed in.
#pragma once

#include <windows.h>

#include "common/win_raii.h"
#include "core/activity.h"
#include "core/service_control_api.h"
#include "core/service_log.h"
#include "core/thread_api.h"

namespace telvarin {
// How long a stop may take from the stop control to STOPPED. Past it, the stop watchdog reports
// the call that holds it up, reports STOPPED with an error and ends the process: a call that
// never returns must not keep the exe alive and locked.
constexpr DWORD kStopBoundMs = 8000;
// What each STOP_PENDING report's wait hint adds to the bound: the watchdog acts within the hint.
constexpr DWORD kStopHintMarginMs = 2000;
constexpr DWORD kStopWaitHintMs = kStopBoundMs + kStopHintMarginMs;
// The service-specific exit code (and the process exit code) of a stop that overran its bound.
constexpr DWORD kStopOverranCode = 1;
}  // namespace telvarin

class ServiceHost {
public:
    // `scm`: the manager's calls; `threads`: the stop events, the worker's and the watchdog's
    // threads; `activity`: what each thread is in, for the report of a stop that overruns, made
    // to `log`; `stopBoundMs`: how long a stop may take before the watchdog ends the process.
    ServiceHost(ServiceControlApi& scm, ThreadApi& threads, ActivityBoard& activity, ServiceLog& log,
                DWORD stopBoundMs = telvarin::kStopBoundMs);
    ~ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // The stop signal (manual reset) that every lasting wait watches besides its own object.
    HANDLE StopEvent() const { return m_hStopEvent.Get(); }
    // Ends the service from any thread.
    void RequestStop() { SetEvent(m_hStopEvent.Get()); }
    bool StopRequested() const { return WaitForSingleObject(m_hStopEvent.Get(), 0) == WAIT_OBJECT_0; }
    // The error that keeps the service from starting (its stop events could not be made), or 0.
    DWORD StartupError() const;

    // ServiceMain's registration of the control handler, with START_PENDING as the status.
    bool RegisterHandler(const char* serviceName, LPHANDLER_FUNCTION_EX handler);
    // The RUNNING report and the worker's start (`worker` with `parameter`), made only while no
    // stop has been asked for; false otherwise, and STOPPED has then been reported unless the
    // RUNNING report itself failed. A worker that cannot be started is reported, and the
    // service stops with that error: running without one would serve nobody.
    bool StartWorker(LPTHREAD_START_ROUTINE worker, void* parameter);
    // Waits up to `timeoutMs` for the worker; false when it is still running then.
    bool WaitForWorker(DWORD timeoutMs = INFINITE);
    // ControlHandler's work for one control: the stop, or the last status.
    void HandleControl(DWORD control);
    // The stop's progress: one more checkpoint of STOP_PENDING (nothing once STOPPED).
    void ReportStopProgress();
    // STOPPED, once: the last act of whoever finishes the stop.
    void FinishStop(DWORD win32ExitCode, DWORD serviceExitCode);
    // The watchdog is ending the process: the main thread must not tear anything down.
    bool StopForced() const { return m_stopForced != 0; }

private:
    enum class WorkerStart { Undecided, Started, NotStarted };
    static DWORD WINAPI StopWatchdogThread(LPVOID host);
    // The watchdog's wait: true once the stop has finished within the bound. Else it reports
    // what holds the stop up and STOPPED with a service-specific error, and returns false.
    bool AwaitStopFinished();
    void ReportStatusLocked();
    void FinishStopLocked(DWORD win32ExitCode, DWORD serviceExitCode);

    ServiceControlApi& m_scm;
    ThreadApi& m_threads;
    ActivityBoard& m_activity;
    ServiceLog& m_log;
    const DWORD m_stopBoundMs;
    SERVICE_STATUS m_status{};
    SERVICE_STATUS_HANDLE m_hStatus = nullptr;
    win::UniqueHandle m_hWorker;
    win::UniqueHandle m_hStopEvent;
    // Set (manual reset) once STOPPED has been reported.
    win::UniqueHandle m_hStopFinished;
    // The thread that bounds the stop, from the stop control on.
    win::UniqueHandle m_hStopWatchdog;
    DWORD m_startupError;  // last error of a failed event in the constructor
    // Guards m_status, its reports and the worker's start, so that a RUNNING report can never
    // follow a stop, nor anything follow STOPPED. Never held across a wait.
    SRWLOCK m_statusLock = SRWLOCK_INIT;
    WorkerStart m_workerStart = WorkerStart::Undecided;  // under m_statusLock
    volatile LONG m_stopForced = 0;  // the watchdog ends the process; the main thread waits for that
};
