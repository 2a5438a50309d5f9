// The service control manager's calls that the service host makes, as a seam: the service uses
// the system's; unit tests record the status reports and the end of the process instead.
#pragma once

#include <windows.h>

class ServiceControlApi {
public:
    virtual ~ServiceControlApi() = default;
    // RegisterServiceCtrlHandlerExA (the form that is told power events), no context: the status
    // handle, or null.
    virtual SERVICE_STATUS_HANDLE RegisterHandler(const char* serviceName, LPHANDLER_FUNCTION_EX handler) = 0;
    // SetServiceStatus.
    virtual BOOL ReportStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) = 0;
    // TerminateProcess of this process: never returns in the service.
    virtual void EndProcess(UINT exitCode) = 0;
};

ServiceControlApi& SystemServiceControl();
