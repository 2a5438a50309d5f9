// The service host: process entry, CFnService with the service-control life cycle, the worker,
// event-log reporting and the installation commands. This folder uses every other product
// folder: CFnService is the one service the manager sees and the composition root that owns
// and wires the parts (the service host part, the firmware bridge, the settings store, the
// power actions). The platform callbacks reach it through g_pService; no part names it.
#pragma once

#include <windows.h>

#include "common/protocol.h"
#include "core/activity.h"
#include "core/service_log.h"
#include "firmware/firmware_bridge.h"
#include "power/power_actions.h"
#include "service/service_host.h"
#include "settings/settings_store.h"

class CFnService final : private ButtonActions {
public:
    // `eventLog`: the event-log calls; `scm`: the service control manager's calls; `com`: the COM
    // start-up calls of the WMI connection (the System...() ones in the service, fakes in tests).
    CFnService(EventLogApi& eventLog, ServiceControlApi& scm, ComRuntime& com);
    ~CFnService() override;
    CFnService(const CFnService&) = delete;
    CFnService& operator=(const CFnService&) = delete;

    // The dispatcher; returns the process exit code once the service has stopped (0), or at
    // once, changing nothing, when the service control manager did not start the process (the
    // dispatcher's error, told on the console).
    int Run();
    // ServiceMain's work: the control handler, the start-up values, the client lock, RUNNING and
    // the worker's start.
    void Start();
    // The worker's sequence: start-up, the button event listener, the teardown up to STOPPED.
    void Work();

    ServiceLog& Log() { return m_log; }
    ServiceHost& Host() { return m_host; }
    // A resume from sleep or hibernation: the firmware bridge looks again at once.
    void OnResume() { m_firmware.OnResume(); }

private:
    // What the button events ask for: the power actions, or a toggle in Notification.
    void SleepPerPolicy() override { m_power.SleepPerPolicy(); }
    void Hibernate() override { m_power.Hibernate(); }
    void ToggleNotification(DWORD code) override;

    // In the order of construction: each part is handed what it needs from those before it.
    ActivityBoard m_activity;
    ServiceLog m_log;
    ServiceHost m_host;
    FirmwareBridge m_firmware;
    SettingsStore m_settings;
    PowerActions m_power;
};

extern CFnService* g_pService;

// Platform entry points and the worker's thread procedure (parameter: the service).
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
DWORD WINAPI WorkerThread(LPVOID service);
