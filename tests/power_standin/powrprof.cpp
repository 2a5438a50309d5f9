// A stand-in for powrprof.dll, for the system tests only: Wine's ReadGlobalPwrPolicy always
// fails, so no power policy can be chosen there. This one answers the sleep-button actions that
// a test writes as REG_DWORD values SleepButtonAc and SleepButtonDc (POWER_ACTION numbers) under
// HKLM\Software\Haskorn\TelvarinPowerStandIn in the 32-bit view, and fails as Wine's does while
// they are absent. A test places it beside telvarin.exe and overrides the DLL for that exe only.
#include <windows.h>

#include <powrprof.h>  // the records only: this file defines its own entry point

#include "common/protocol.h"

namespace {

bool ReadAction(HKEY key, const char* name, DWORD* action) {
    DWORD size = sizeof *action, type = 0;
    return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(action), &size) == ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof *action;
}

}  // namespace

// Exported as ReadGlobalPwrPolicy (powrprof.def).
extern "C" BOOLEAN WINAPI StandInReadGlobalPwrPolicy(PGLOBAL_POWER_POLICY policy) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TELVARIN_KEY_VENDOR "\\TelvarinPowerStandIn", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
        return FALSE;
    DWORD ac = 0, dc = 0;
    const bool read = ReadAction(key, "SleepButtonAc", &ac) && ReadAction(key, "SleepButtonDc", &dc);
    RegCloseKey(key);
    if (!read) return FALSE;
    *policy = GLOBAL_POWER_POLICY{};
    policy->user.SleepButtonAc.Action = static_cast<POWER_ACTION>(ac);
    policy->user.SleepButtonDc.Action = static_cast<POWER_ACTION>(dc);
    return TRUE;
}
