// The platform calls of the power actions, as a seam: the service uses the system's, unit tests
// record the power requests instead of suspending the machine.
#pragma once

#include <windows.h>

#include <powrprof.h>  // GLOBAL_POWER_POLICY; needs windows.h first

class PowerApi {
public:
    virtual ~PowerApi() = default;
    virtual BOOL OpenToken(DWORD access, HANDLE* token) = 0;
    virtual BOOL LookupPrivilege(const char* name, LUID* luid) = 0;
    virtual BOOL AdjustPrivileges(HANDLE token, TOKEN_PRIVILEGES* privileges) = 0;
    virtual HMODULE LoadPowerLibrary(const char* name) = 0;  // the result is freed with FreeLibrary
    virtual FARPROC FindEntry(HMODULE module, const char* name) = 0;
    virtual BOOL QueryPowerStatus(SYSTEM_POWER_STATUS* status) = 0;
    virtual BOOL RequestPowerState(BOOL suspend, BOOL force) = 0;
};

PowerApi& SystemPowerApi();
