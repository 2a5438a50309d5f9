// The worker: start-up sequence, the button event listener, and the teardown that ends with
// STOPPED. Every wait of the start-up also watches the stop, so a stop in any phase ends the
// worker within about a second, tearing down only what exists by then.
#include "core/fn_service.h"
#include "core/retry_log.h"

LONG CFnService::QueryServiceState(const char* name) {
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(OpenServiceA(manager.Get(), name, SERVICE_ALL_ACCESS));
    if (!service) return -1;
    SERVICE_STATUS status{};
    // A stopped service does not answer the interrogate control.
    if (!ControlService(service.Get(), SERVICE_CONTROL_INTERROGATE, &status)) return -1;
    return static_cast<LONG>(status.dwCurrentState);
}

bool CFnService::WaitForWinmgmt() {
    RetryLog log("winmgmt not ready", "winmgmt wait");
    while (QueryServiceState(TELVARIN_WMI_SERVICE) != SERVICE_RUNNING) {
        log.Failed();
        if (WaitForStop(telvarin::kRetryPauseMs)) return false;
    }
    log.Succeeded();
    return true;
}

namespace {

void StartWatcher(win::UniqueHandle& handle, LPTHREAD_START_ROUTINE procedure) {
    DWORD id = 0;
    handle.Reset(CreateThread(nullptr, 0, procedure, nullptr, 0, &id));
}

// Watchers end by themselves once the stop is signalled: every wait of theirs watches it, and a
// firmware call they are in is given up. They are never terminated from outside (that could
// leave the call lock held or a registry write half done); the stop watchdog bounds the rest.
void JoinWatcher(win::UniqueHandle& handle) {
    if (!handle) return;
    WaitForSingleObject(handle.Get(), INFINITE);
    handle.Reset();
}

}  // namespace

DWORD WINAPI WorkerThread(LPVOID) {
    CFnService* service = g_pService;
    ActivityBoard& activity = service->Activity();
    activity.Join("the worker");

    if (service->WaitForWinmgmt()) {
        const int connected = service->ConnectWmi();  // 0 only when stopped while connecting
        // A stop seen between two start-up steps ends the start-up there: after the stop the
        // firmware gets no further call from this run.
        if (connected == 1 && !service->StopRequested()) service->SetFirmwareOption(TELVARIN_FW_STARTUP_OPTION);
        if (connected == 1 && !service->StopRequested()) service->PushCurrentSetting();
        if (connected == 1 && !service->StopRequested()) {
            StartWatcher(service->m_hStatusWatcher, StatusWatcherThread);
            StartWatcher(service->m_hSettingWatcher, SettingWatcherThread);
            service->RunEventListener();
        }
    }

    // The listener returns only once the service is stopping; make sure the watchers see it too.
    service->RequestStop();
    service->ReportStopProgress();
    {
        Doing doing(activity, "ending the StatusControl watcher");
        JoinWatcher(service->m_hStatusWatcher);
    }
    {
        Doing doing(activity, "ending the CurrentSetting watcher");
        JoinWatcher(service->m_hSettingWatcher);
    }
    service->ReportStopProgress();
    {
        Doing doing(activity, "releasing the WMI connection");
        service->Wmi().Close();
    }
    activity.Leave();
    // The last act: the process may end the moment this is reported.
    service->FinishStop(NO_ERROR, 0);
    return 0;
}
