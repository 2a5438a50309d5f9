// The platform calls of the power actions, as a seam: the service uses the system's, unit tests
// record the power requests instead of suspending the machine.
#pragma once

#include <windows.h>

class PowerApi {
public:
    virtual ~PowerApi() = default;
    virtual BOOL OpenProcessToken(DWORD access, HANDLE* token) = 0;
    virtual BOOL LookupPrivilegeValue(const char* name, LUID* luid) = 0;
    virtual BOOL AdjustTokenPrivileges(HANDLE token, TOKEN_PRIVILEGES* privileges) = 0;
    virtual HMODULE LoadLibrary(const char* name) = 0;  // the result is freed with FreeLibrary
    virtual FARPROC GetProcAddress(HMODULE module, const char* name) = 0;
    virtual BOOL GetSystemPowerStatus(SYSTEM_POWER_STATUS* status) = 0;
    virtual BOOL SetSystemPowerState(BOOL suspend, BOOL force) = 0;
};

PowerApi& SystemPowerApi();
