// The service object: construction, Run, ServiceMain, ControlHandler.
#include "service/fn_service.h"

#include <pbt.h>  // PBT_APMRESUMEAUTOMATIC; needs windows.h first

#include "service/client_lock_host.h"
#include "service/console_output.h"

CFnService* g_pService = nullptr;

CFnService::CFnService(EventLogApi& eventLog, ServiceControlApi& scm, ComRuntime& com)
    : m_log(eventLog),
      m_host(scm, SystemThreadApi(), m_activity, m_log),
      m_firmware(m_host.StopEvent(), m_activity, m_log, WmiSetup{com, SystemClock(), telvarin::kCallBoundMs}),
      m_settings(m_firmware, m_host.StopEvent(), m_activity, m_log, SystemThreadApi()),
      m_power(SystemPowerApi(), m_activity, m_log) {
    g_pService = this;
}

CFnService::~CFnService() {
    if (g_pService == this) g_pService = nullptr;
}

void CFnService::ToggleNotification(DWORD code) {
    UpdateRegistryDword(TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_DEFAULT, code, 0, 1);
}

int CFnService::Run() {
    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<char*>(TELVARIN_SERVICE_NAME), ServiceMain},
        {nullptr, nullptr},
    };
    // Fails at once when not started by the service control manager (a console start, a
    // double-click): nothing has been written then. Once it returns, STOPPED has been reported:
    // it was the last act of the stop.
    if (!StartServiceCtrlDispatcherA(table)) return telvarin::ReportNotStartedByManager(GetLastError());
    // The watchdog is ending a process whose teardown is stuck; destructors must not run
    // under threads that may still use what they free.
    if (m_host.StopForced()) Sleep(INFINITE);
    // The worker reported STOPPED as its last act and is returning; its handle was stored before
    // anything could report STOPPED (both under the status lock).
    m_host.WaitForWorker(telvarin::kStopBoundMs);
    return telvarin::kExitDone;
}

namespace {

// Publishes this run's client lock; a failure is told, and clients then go on without one.
void PublishClientLock(ServiceLog& log) {
    if (const LONG error = telvarin::PublishServiceClientLock()) {
        char text[96];
        wsprintfA(text, "Client lock not published (error %ld): clients do not take turns", error);
        log.Text(EVENTLOG_WARNING_TYPE, text);
    }
}

}  // namespace

void CFnService::Start() {
    if (!m_host.RegisterHandler(TELVARIN_SERVICE_NAME, ControlHandler)) {
        m_log.Report(EVENTLOG_WARNING_TYPE, MSG_NO_CONTROL_HANDLER, nullptr, nullptr, nullptr);
        return;
    }
    // Without its stop events the service could neither be stopped nor wait: it starts nothing.
    if (const DWORD error = m_host.StartupError()) {
        m_host.FinishStop(error, 0);
        return;
    }
    // Only a start by the manager resets the clients' values, and before RUNNING: a client that
    // sees the service running writes after them. The watchers, which read them and the
    // StatusControl history, start later on the worker.
    m_settings.WriteStartupValues();
    // After the start-up values, so that a client holding this run's lock writes after them;
    // before RUNNING, so that a client that sees the service running finds its lock.
    PublishClientLock(m_log);
    // No worker (stopped before RUNNING, or RUNNING not reported): nobody will serve clients, and
    // the name must not outlive the run.
    if (!m_host.StartWorker(WorkerThread, this)) telvarin::WithdrawServiceClientLock();
}

void WINAPI ServiceMain(DWORD, LPSTR*) { g_pService->Start(); }

DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID) {
    // Withdrawn before the stop is handled: once STOPPED is reported the process may end at once.
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) telvarin::WithdrawServiceClientLock();
    // The one resume every wake-up brings, whether or not a user is there.
    if (control == SERVICE_CONTROL_POWEREVENT && eventType == PBT_APMRESUMEAUTOMATIC) g_pService->OnResume();
    g_pService->Host().HandleControl(control);
    return NO_ERROR;
}
