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
    // `eventLog`: the event-log calls (SystemEventLog() in the service, a recorder in tests);
    // `com`: the COM start-up calls of the WMI connection (a test's hands out the emulator).
    explicit CFnService(EventLogApi& eventLog, ComRuntime& com = SystemComRuntime());
    ~CFnService() override;
    CFnService(const CFnService&) = delete;
    CFnService& operator=(const CFnService&) = delete;

    // The start-up values, then the dispatcher; returns once the service has stopped.
    void Run();
    // The worker's sequence: start-up, the button event listener, the teardown up to STOPPED.
    void Work();

    ServiceLog& Log() { return m_log; }
    ActivityBoard& Activity() { return m_activity; }
    ServiceHost& Host() { return m_host; }
    FirmwareBridge& Firmware() { return m_firmware; }
    SettingsStore& Settings() { return m_settings; }
    PowerActions& Power() { return m_power; }
    // What the button events ask for: the power actions, or a toggle in Notification.
    ButtonActions& Buttons() { return *this; }

private:
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
void WINAPI ControlHandler(DWORD control);
DWORD WINAPI WorkerThread(LPVOID service);
