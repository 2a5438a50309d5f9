// svcprobe: reads what the service control manager and the registry hold, in a form the system
// tests parse without guessing (Wine's sc.exe has no qc/interrogate, and sc and reg print for
// people).
//   svcprobe query NAME | interrogate NAME | config NAME   "key: value" lines
//   svcprobe values HKLM\PATH   one "value: TYPE DATA NAME" line per value of the key in the 32-bit
//                               view; DATA and NAME in hex bytes ("-" when empty)
//   svcprobe keys HKLM\PATH     one "key: NAME" line per subkey, NAME in hex bytes
//   svcprobe sddl HKLM\PATH     "sddl: TEXT": the key's owner, group and DACL as SDDL
//   svcprobe setdacl HKLM\PATH SDDL
//                               creates the key (32-bit view) if missing and sets the DACL of SDDL
// HKLM64\PATH names the 64-bit view instead (where an x64 MSI registers its product).
//   svcprobe set-path NAME PATH changes the service's image path to PATH (as a damaged or stale
//                               registration would have it; Wine's sc config does not)
//   svcprobe stop NAME          sends the stop control, then watches the manager's status and the
//                               service's process: "answer: STATE" (the control's answer), and
//                               "exit-after-stopped-ms: MS", how long the process lived on once
//                               STOPPED showed (0 when it was gone by then; -1 if it never ended)
// Exit code 1, with the reason on stderr, when the service or key cannot be read; 2 on bad usage.
// It never fails without saying why: the harness takes an exit without any output for Wine having
// failed to run it.
#include <windows.h>
#include <sddl.h>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "common/key_security.h"
#include "common/win_raii.h"

namespace {

void PrintStatus(const SERVICE_STATUS& s) {
    printf("type: 0x%lx\nstate: %lu\ncontrols: 0x%lx\nexit: %lu\nspecific: %lu\ncheckpoint: %lu\nwaithint: %lu\n",
           s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
           s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint);
}

int Failed(const char* what, const char* subject, DWORD error) {
    fprintf(stderr, "svcprobe: %s %s (error %lu)\n", what, subject, error);
    return 1;
}

void PrintHex(const BYTE* data, DWORD size) {
    if (size == 0) printf("-");
    for (DWORD i = 0; i < size; ++i) printf("%02x", data[i]);
}

// Opens HKLM\... or HKCU\... in the 32-bit view, where the service keeps its values, or
// HKLM64\... in the 64-bit view.
LSTATUS OpenKey(const char* path, win::RegKey& key) {
    struct Root {
        const char* prefix;
        HKEY key;
        REGSAM view;
    };
    static const Root kRoots[] = {{"HKLM\\", HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY},
                                  {"HKCU\\", HKEY_CURRENT_USER, KEY_WOW64_32KEY},
                                  {"HKLM64\\", HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY}};
    for (const Root& root : kRoots) {
        const size_t length = strlen(root.prefix);
        if (strncmp(path, root.prefix, length) == 0)
            return RegOpenKeyExA(root.key, path + length, 0, KEY_READ | root.view, key.Receive());
    }
    return ERROR_INVALID_PARAMETER;
}

int PrintKeys(const char* path) {
    win::RegKey key;
    if (const LSTATUS status = OpenKey(path, key)) return Failed("cannot open key", path, status);
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        const LSTATUS status = RegEnumKeyExA(key.Get(), index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return 0;
        if (status != ERROR_SUCCESS) return Failed("cannot list the subkeys of", path, status);
        printf("key: ");
        PrintHex(reinterpret_cast<const BYTE*>(name), nameSize);
        printf("\n");
    }
}

int PrintSddl(const char* path) {
    win::RegKey key;
    if (const LSTATUS status = OpenKey(path, key)) return Failed("cannot open key", path, status);
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    win::LocalMemory descriptor;
    if (const LSTATUS status = win::ReadKeySecurity(key.Get(), what, descriptor))
        return Failed("cannot read the security of", path, status);
    win::LocalMemory text;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.Get(), SDDL_REVISION_1, what,
                                                              reinterpret_cast<char**>(text.Receive()), nullptr))
        return Failed("cannot write as SDDL the security of", path, GetLastError());
    printf("sddl: %s\n", static_cast<const char*>(text.Get()));
    return 0;
}

int SetDacl(const char* path, const char* sddl) {
    if (strncmp(path, "HKLM\\", 5) != 0) return Failed("not an HKLM path:", path, ERROR_INVALID_PARAMETER);
    win::RegKey key;
    if (const LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path + 5, 0, nullptr, 0, WRITE_DAC | KEY_WOW64_32KEY,
                                               nullptr, key.Receive(), nullptr))
        return Failed("cannot create key", path, status);
    win::LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, descriptor.Receive(), nullptr))
        return Failed("cannot read as SDDL", sddl, GetLastError());
    if (const LSTATUS status = RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, descriptor.Get()))
        return Failed("cannot set the security of", path, status);
    printf("set: %s\n", sddl);
    return 0;
}

int PrintValues(const char* path) {
    win::RegKey key;
    if (const LSTATUS status = OpenKey(path, key)) return Failed("cannot open key", path, status);
    for (DWORD index = 0;; ++index) {
        char name[16384];
        BYTE data[65536];
        DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
        const LSTATUS status = RegEnumValueA(key.Get(), index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) return 0;
        if (status != ERROR_SUCCESS) return Failed("cannot list the values of", path, status);
        printf("value: %lu ", type);
        PrintHex(data, dataSize);
        printf(" ");
        PrintHex(reinterpret_cast<const BYTE*>(name), nameSize);
        printf("\n");
    }
}

double NowMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

int Stop(SC_HANDLE service, const char* name) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
        return Failed("cannot query", name, GetLastError());
    win::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
    if (!process) return Failed("cannot open the process of", name, GetLastError());
    SERVICE_STATUS answer{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &answer)) {
        printf("error: %lu\n", GetLastError());
        return 1;
    }
    printf("answer: %lu\n", answer.dwCurrentState);
    // Polled as fast as the manager answers: the moment STOPPED shows is the one measured.
    const double deadline = NowMs() + 60000;
    while (NowMs() < deadline) {
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                  &needed))
            return Failed("cannot query", name, GetLastError());
        if (status.dwCurrentState != SERVICE_STOPPED) continue;
        const double stopped = NowMs();
        if (WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0) {
            printf("exit-after-stopped-ms: 0\n");
        } else if (WaitForSingleObject(process.Get(), 60000) == WAIT_OBJECT_0) {
            printf("exit-after-stopped-ms: %.1f\n", NowMs() - stopped);
        } else {
            printf("exit-after-stopped-ms: -1\n");
        }
        return 0;
    }
    return Failed("no STOPPED within 60 s from", name, ERROR_TIMEOUT);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "setdacl") == 0) return SetDacl(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "set-path") == 0) {
        win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        win::ServiceHandle service(OpenServiceA(manager.Get(), argv[2], SERVICE_CHANGE_CONFIG));
        if (!service) return Failed("cannot open service", argv[2], GetLastError());
        if (!ChangeServiceConfigA(service.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, argv[3], nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr))
            return Failed("cannot change the image path of", argv[2], GetLastError());
        printf("binarypath: %s\n", argv[3]);
        return 0;
    }
    if (argc != 3) {
        fprintf(stderr, "usage: svcprobe query|interrogate|config NAME | values HKLM\\PATH\n");
        return 2;
    }
    if (strcmp(argv[1], "values") == 0) return PrintValues(argv[2]);
    if (strcmp(argv[1], "keys") == 0) return PrintKeys(argv[2]);
    if (strcmp(argv[1], "sddl") == 0) return PrintSddl(argv[2]);
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(
        OpenServiceA(manager.Get(), argv[2],
                     SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | SERVICE_INTERROGATE | SERVICE_STOP));
    if (!service) {
        return Failed("cannot open service", argv[2], GetLastError());
    }
    SERVICE_STATUS status{};
    if (strcmp(argv[1], "stop") == 0) return Stop(service.Get(), argv[2]);
    if (strcmp(argv[1], "query") == 0) {
        if (!QueryServiceStatus(service.Get(), &status)) return Failed("cannot query", argv[2], GetLastError());
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
        if (!QueryServiceConfigA(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed))
            return Failed("cannot read the configuration of", argv[2], GetLastError());
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
