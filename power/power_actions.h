// The power actions: sleep and hibernation on firmware request. This folder uses common/ and
// core/ only (the platform calls through core/power_api.h, the activity board, the log); the
// service composes it and hands it the button events that ask for power.
#pragma once

#include <windows.h>

#include "core/activity.h"
#include "core/power_api.h"
#include "core/service_log.h"

class PowerActions {
public:
    PowerActions(PowerApi& api, ActivityBoard& activity, ServiceLog& log) : m_api(api), m_activity(activity), m_log(log) {}
    PowerActions(const PowerActions&) = delete;
    PowerActions& operator=(const PowerActions&) = delete;

    int EnableShutdownPrivilege();
    // The sleep button's action in the power policy for the present power source; hibernation
    // when the policy cannot be read.
    POWER_ACTION SleepButtonAction();
    // SetSystemPowerState(sleep, not forced); a failure is reported with its error code.
    void RequestPowerState(bool sleep);
    void Hibernate();
    void SleepPerPolicy();

private:
    PowerApi& m_api;
    ActivityBoard& m_activity;
    ServiceLog& m_log;
};
