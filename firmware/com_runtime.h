// The COM start-up calls of the WMI connection, as a seam: the service uses the system's,
// unit tests fail them on purpose and hand out the firmware emulator's locator.
#pragma once

#include <windows.h>
#include <wbemcli.h>

class ComRuntime {
public:
    virtual ~ComRuntime() = default;
    virtual HRESULT InitializeMultithreaded() = 0;  // CoInitializeEx(nullptr, COINIT_MULTITHREADED)
    virtual void Uninitialize() = 0;                // CoUninitialize
    virtual HRESULT InitializeSecurity() = 0;       // process-wide, default authentication, impersonate
    virtual HRESULT CreateLocator(IWbemLocator** locator) = 0;  // CLSID_WbemLocator, in-process
};

ComRuntime& SystemComRuntime();
