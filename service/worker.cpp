// The worker: start-up sequence, the button event listener, and the teardown.
// Every wait of the start-up also watches the stop, so a stop in any phase ends the worker
// within about a second, tearing down only what exists by then.
#include "core/fn_service.h"
#include "core/com_runtime.h"

LONG CFnService::QueryServiceState(const char* name) {
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(OpenServiceA(manager.Get(), name, SERVICE_ALL_ACCESS));
    if (!service) return -1;
    SERVICE_STATUS status{};
    // A stopped service does not answer the interrogate control.
    if (!ControlService(service.Get(), SERVICE_CONTROL_INTERROGATE, &status)) return -1;
    return static_cast<LONG>(status.dwCurrentState);
}

namespace {

void StartWatcher(win::UniqueHandle& handle, LPTHREAD_START_ROUTINE procedure) {
    DWORD id = 0;
    handle.Reset(CreateThread(nullptr, 0, procedure, nullptr, 0, &id));
}

// Watchers end by themselves once the stop is signalled; a watcher inside a firmware call
// finishes that call first. They are never terminated from outside (that could leave m_lock
// held or a registry write half done); a call that never returns is bounded by the main
// thread's final wait instead.
void JoinWatcher(win::UniqueHandle& handle) {
    if (!handle) return;
    WaitForSingleObject(handle.Get(), INFINITE);
    handle.Reset();
}

}  // namespace

DWORD WINAPI WorkerThread(LPVOID) {
    CFnService* service = g_pService;

    while (service->QueryServiceState(TELVARIN_WMI_SERVICE) != SERVICE_RUNNING) {
        CFnService::LogServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_TEXT, "winmgmt not ready", nullptr, nullptr);
        if (service->WaitForStop(telvarin::kRetryPauseMs)) return 0;
    }

    int connected = service->ConnectWmi();  // 0 only when stopped while connecting
    service->m_wmiReady = connected;
    // A stop seen between two start-up steps ends the start-up there: after STOPPED the firmware
    // gets no further call from this run.
    if (connected == 1 && !service->StopRequested()) service->SetFirmwareOption(1);
    if (connected == 1 && !service->StopRequested()) service->PushCurrentSetting();
    if (connected == 1 && !service->StopRequested()) {
        StartWatcher(service->m_hStatusWatcher, StatusWatcherThread);
        StartWatcher(service->m_hSettingWatcher, SettingWatcherThread);
        service->RunEventListener();
    }

    // The listener returns only once the service is stopping; make sure the watchers see it too.
    service->RequestStop();
    JoinWatcher(service->m_hStatusWatcher);
    JoinWatcher(service->m_hSettingWatcher);
    {
        win::Lock lock(service->m_lock);
        service->m_pServices.Reset();
    }
    service->m_apartment.Reset();
    return 0;
}
