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
//   svcprobe start NAME         sends the start request: "started: NAME"
//   svcprobe setvalue HKLM\PATH NAME TYPE DATA
//                               creates the key if missing and sets one value (NAME and DATA in hex
//                               bytes as `values` prints them, TYPE a number)
//   svcprobe delvalue HKLM\PATH NAME | delkey HKLM\PATH
//                               deletes one value (NAME in hex) or a key with everything under it;
//                               one that is not there is no failure
//   svcprobe batch              runs one command per line of stdin (arguments separated by tabs),
//                               each answer followed by "end: EXITCODE": one process for many looks
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
#include <stdlib.h>
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

std::vector<BYTE> FromHex(const char* text) {
    std::vector<BYTE> bytes;
    if (strcmp(text, "-") == 0) return bytes;
    for (size_t i = 0; text[i] && text[i + 1]; i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        bytes.push_back(static_cast<BYTE>(strtoul(pair, nullptr, 16)));
    }
    return bytes;
}

// HKLM\... (32-bit view) or HKLM64\...: the root, the view and the path under HKLM.
bool SplitHklm(const char* path, const char*& rest, REGSAM& view) {
    if (strncmp(path, "HKLM\\", 5) == 0) {
        rest = path + 5;
        view = KEY_WOW64_32KEY;
        return true;
    }
    if (strncmp(path, "HKLM64\\", 7) == 0) {
        rest = path + 7;
        view = KEY_WOW64_64KEY;
        return true;
    }
    return false;
}

int SetValue(const char* path, const char* nameHex, const char* type, const char* dataHex) {
    const char* rest = nullptr;
    REGSAM view = 0;
    if (!SplitHklm(path, rest, view)) return Failed("not an HKLM path:", path, ERROR_INVALID_PARAMETER);
    win::RegKey key;
    if (const LSTATUS status =
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, rest, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.Receive(), nullptr))
        return Failed("cannot create key", path, status);
    std::vector<BYTE> name = FromHex(nameHex), data = FromHex(dataHex);
    name.push_back(0);
    if (const LSTATUS status = RegSetValueExA(key.Get(), reinterpret_cast<const char*>(name.data()), 0, strtoul(type, nullptr, 0),
                                              data.data(), static_cast<DWORD>(data.size())))
        return Failed("cannot set a value of", path, status);
    printf("set: %s\n", nameHex);
    return 0;
}

int DeleteValue(const char* path, const char* nameHex) {
    const char* rest = nullptr;
    REGSAM view = 0;
    if (!SplitHklm(path, rest, view)) return Failed("not an HKLM path:", path, ERROR_INVALID_PARAMETER);
    win::RegKey key;
    LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, rest, 0, KEY_SET_VALUE | view, key.Receive());
    std::vector<BYTE> name = FromHex(nameHex);
    name.push_back(0);
    if (status == ERROR_SUCCESS) status = RegDeleteValueA(key.Get(), reinterpret_cast<const char*>(name.data()));
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return Failed("cannot delete a value of", path, status);
    printf("deleted: %s\n", nameHex);
    return 0;
}

int DeleteKey(const char* path) {
    const char* rest = nullptr;
    REGSAM view = 0;
    if (!SplitHklm(path, rest, view)) return Failed("not an HKLM path:", path, ERROR_INVALID_PARAMETER);
    win::RegKey key;
    LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, rest, 0, KEY_ALL_ACCESS | view, key.Receive());
    if (status == ERROR_SUCCESS) status = RegDeleteTreeA(key.Get(), nullptr);
    key.Reset();
    if (status == ERROR_SUCCESS) status = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, rest, view, 0);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return Failed("cannot delete key", path, status);
    printf("deleted: %s\n", path);
    return 0;
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

int Run(int argc, char** argv);

// Commands from stdin, one a line, arguments separated by tabs.
int Batch() {
    char line[70000];
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = 0;
        std::vector<char*> args = {const_cast<char*>("svcprobe")};
        for (char* field = line; field;) {
            char* tab = strchr(field, '\t');
            if (tab) *tab = 0;
            args.push_back(field);
            field = tab ? tab + 1 : nullptr;
        }
        const int rc = Run(static_cast<int>(args.size()), args.data());
        fflush(stderr);
        printf("end: %d\n", rc);
        fflush(stdout);
    }
    return 0;
}

int Run(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "batch") == 0) return Batch();
    if (argc == 6 && strcmp(argv[1], "setvalue") == 0) return SetValue(argv[2], argv[3], argv[4], argv[5]);
    if (argc == 4 && strcmp(argv[1], "delvalue") == 0) return DeleteValue(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "delkey") == 0) return DeleteKey(argv[2]);
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
    if (strcmp(argv[1], "start") == 0) {
        win::ServiceHandle starter(OpenServiceA(manager.Get(), argv[2], SERVICE_START));
        if (!starter || !StartServiceA(starter.Get(), 0, nullptr)) return Failed("cannot start", argv[2], GetLastError());
        printf("started: %s\n", argv[2]);
        return 0;
    }
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

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
