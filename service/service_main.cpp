// The service object: construction, Run, ServiceMain, ControlHandler.
#include "service/fn_service.h"

#include "service/client_lock_host.h"

CFnService* g_pService = nullptr;

CFnService::CFnService(EventLogApi& eventLog, ComRuntime& com)
    : m_log(eventLog),
      m_host(m_activity, m_log),
      m_firmware(m_host.StopEvent(), m_activity, m_log, WmiSetup{com, SystemClock(), telvarin::kCallBoundMs}),
      m_settings(m_firmware, m_host.StopEvent(), m_activity, m_log),
      m_power(SystemPowerApi(), m_activity, m_log) {
    g_pService = this;
}

CFnService::~CFnService() {
    if (g_pService == this) g_pService = nullptr;
}

void CFnService::ToggleNotification(DWORD code) {
    UpdateRegistryDword(TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_DEFAULT, code, 0, 1);
}

void CFnService::Run() {
    m_settings.WriteStartupValues();

    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<char*>(TELVARIN_SERVICE_NAME), ServiceMain},
        {nullptr, nullptr},
    };
    // Fails at once when not started by the service control manager (a console start). Once it
    // returns, STOPPED has been reported: it was the last act of the stop.
    if (!StartServiceCtrlDispatcherA(table)) return;
    // The watchdog is ending a process whose teardown is stuck; destructors must not run
    // under threads that may still use what they free.
    if (m_host.StopForced()) Sleep(INFINITE);
    // The worker reported STOPPED as its last act and is returning; its handle was stored before
    // anything could report STOPPED (both under the status lock).
    m_host.WaitForWorker(telvarin::kStopBoundMs);
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    CFnService* service = g_pService;
    ServiceHost& host = service->Host();
    if (!host.RegisterHandler(TELVARIN_SERVICE_NAME, ControlHandler)) {
        service->Log().Report(EVENTLOG_WARNING_TYPE, MSG_NO_CONTROL_HANDLER, nullptr, nullptr, nullptr);
        return;
    }
    // Without its stop events the service could neither be stopped nor wait: it starts nothing.
    if (const DWORD error = host.StartupError()) {
        host.FinishStop(error, 0);
        return;
    }
    // Before RUNNING: a client that sees the service running finds its lock.
    if (const LONG error = telvarin::PublishServiceClientLock()) {
        char text[96];
        wsprintfA(text, "Client lock not published (error %ld): clients do not take turns", error);
        service->Log().Text(EVENTLOG_INFORMATION_TYPE, text);
    }
    host.StartWorker(WorkerThread, service);
}

void WINAPI ControlHandler(DWORD control) { g_pService->Host().HandleControl(control); }
