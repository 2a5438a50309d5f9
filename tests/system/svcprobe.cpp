// svcprobe: reads what the service control manager knows of a service, for the system tests
// (Wine's sc.exe has no qc/interrogate and does not print the controls accepted).
//   svcprobe query NAME | interrogate NAME | config NAME
// Prints "key: value" lines; exit code 1 when the service cannot be opened, 2 on bad usage.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "common/win_raii.h"

namespace {

void PrintStatus(const SERVICE_STATUS& s) {
    printf("type: 0x%lx\nstate: %lu\ncontrols: 0x%lx\nexit: %lu\nspecific: %lu\ncheckpoint: %lu\nwaithint: %lu\n",
           s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
           s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: svcprobe query|interrogate|config NAME\n");
        return 2;
    }
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(
        OpenServiceA(manager.Get(), argv[2], SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | SERVICE_INTERROGATE));
    if (!service) {
        fprintf(stderr, "svcprobe: cannot open service %s (error %lu)\n", argv[2], GetLastError());
        return 1;
    }
    SERVICE_STATUS status{};
    if (strcmp(argv[1], "query") == 0) {
        if (!QueryServiceStatus(service.Get(), &status)) return 1;
        PrintStatus(status);
        return 0;
    }
    if (strcmp(argv[1], "interrogate") == 0) {
        if (!ControlService(service.Get(), SERVICE_CONTROL_INTERROGATE, &status)) {
            printf("error: %lu\n", GetLastError());
            return 1;
        }
        PrintStatus(status);
        return 0;
    }
    if (strcmp(argv[1], "config") == 0) {
        DWORD needed = 0;
        QueryServiceConfigA(service.Get(), nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed + 16);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        if (!QueryServiceConfigA(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed)) return 1;
        printf("type: 0x%lx\nstart: %lu\nerrorcontrol: %lu\nbinarypath: %s\ndependency: %s\naccount: %s\n",
               config->dwServiceType, config->dwStartType, config->dwErrorControl,
               config->lpBinaryPathName ? config->lpBinaryPathName : "",
               config->lpDependencies ? config->lpDependencies : "",
               config->lpServiceStartName ? config->lpServiceStartName : "");
        return 0;
    }
    fprintf(stderr, "svcprobe: unknown command %s\n", argv[1]);
    return 2;
}
