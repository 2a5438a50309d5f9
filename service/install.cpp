#include "service/install.h"

#include "core/fn_service.h"

namespace {

bool EqualsIgnoringAsciiCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (ca != cb) return false;
    }
    return *a == *b;
}

win::ServiceHandle OpenManager(DWORD access) { return win::ServiceHandle(OpenSCManagerA(nullptr, nullptr, access)); }

void ReportServiceEvent(WORD type, DWORD eventId) {
    CFnService::LogServiceEvent(type, eventId, TELVARIN_SERVICE_NAME, nullptr, nullptr);
}

}  // namespace

Command ParseCommand(int argc, char** argv) {
    if (argc < 2) return Command::RunService;
    const char* argument = argv[1];
    if (EqualsIgnoringAsciiCase(argument, "-InstSvc")) return Command::Install;
    if (EqualsIgnoringAsciiCase(argument, "-UninstSvc")) return Command::Uninstall;
    if (EqualsIgnoringAsciiCase(argument, "-StartSvc")) return Command::Start;
    if (EqualsIgnoringAsciiCase(argument, "-StopSvc")) return Command::Stop;
    return Command::Unknown;
}

int RunCommand(Command command) {
    switch (command) {
    case Command::Install:
        // An installer must see a registration that failed, or one that names another program.
        if (!IsServiceInstalled()) return InstallService() ? 0 : 1;
        return IsRegisteredAsThisProgram() ? 0 : 1;
    case Command::Uninstall:
        if (IsServiceInstalled()) UninstallService();
        break;
    case Command::Start:
        StartInstalledService();
        break;
    case Command::Stop:
        StopInstalledService();
        break;
    case Command::RunService:
    case Command::Unknown:
        break;
    }
    return 0;
}

bool IsServiceInstalled() {
    win::ServiceHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    win::ServiceHandle service(OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_QUERY_CONFIG));
    return service.IsValid();
}

namespace {

// This executable's full path; false when it does not fit (a cut path would name another file).
bool ThisProgram(char (&path)[MAX_PATH], DWORD& length) {
    length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return length != 0 && length < MAX_PATH;
}

}  // namespace

bool IsRegisteredAsThisProgram() {
    char path[MAX_PATH] = {};
    DWORD length = 0;
    if (!ThisProgram(path, length)) return false;
    win::ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    if (!manager) return false;
    win::ServiceHandle service(OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_QUERY_CONFIG));
    if (!service) return false;
    // Large enough for any configuration (8 KiB is the documented maximum).
    static BYTE buffer[8192];
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    if (!QueryServiceConfigA(service.Get(), config, sizeof buffer, &needed) || !config->lpBinaryPathName) return false;
    const char* image = config->lpBinaryPathName;
    char quoted[MAX_PATH + 2];
    wsprintfA(quoted, "\"%s\"", path);
    return lstrcmpiA(image, quoted) == 0 || lstrcmpiA(image, path) == 0;
}

bool InstallService() {
    win::ServiceHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;

    char path[MAX_PATH] = {};
    DWORD length = 0;
    if (!ThisProgram(path, length)) return false;

    // Quoted, so that a path with spaces cannot be read as "C:\Program.exe" plus arguments.
    char imagePath[MAX_PATH + 2];
    wsprintfA(imagePath, "\"%s\"", path);
    win::ServiceHandle service(CreateServiceA(
        manager.Get(), TELVARIN_SERVICE_NAME, TELVARIN_SERVICE_NAME, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_SHARE_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath,
        nullptr, nullptr, "winmgmt\0", nullptr, nullptr));
    if (!service) return false;

    const char* sourceKey = TELVARIN_KEY_EVENT_SOURCE;
    win::RegKey key;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, sourceKey, key.Receive()) != ERROR_SUCCESS) return false;
    // The message file names a file, not a command line: the plain path.
    RegSetValueExA(key.Get(), "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path), length + 1);
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key.Get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    key.Reset();

    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_INSTALLED);
    return true;
}

bool UninstallService() {
    win::ServiceHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    win::ServiceHandle service(OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, DELETE));
    if (!service) return false;
    if (DeleteService(service.Get())) {
        ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_REMOVED);
        return true;
    }
    ReportServiceEvent(EVENTLOG_ERROR_TYPE, MSG_SERVICE_NOT_REMOVED);
    return false;
}

namespace {

// Opens the service, and sends `control` unless it is already in `doneState`.
// Returns true when it is in that state already, else the request's result.
template <typename Request>
bool RequestUnlessInState(DWORD managerAccess, DWORD doneState, Request request) {
    win::ServiceHandle manager = OpenManager(managerAccess);
    if (!manager) return false;
    win::ServiceHandle service(OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_ALL_ACCESS));
    if (!service) return false;
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.Get(), &status)) return false;
    if (status.dwCurrentState == doneState) return true;
    return request(service.Get(), status);
}

}  // namespace

bool StartInstalledService() {
    return RequestUnlessInState(SC_MANAGER_ALL_ACCESS, SERVICE_RUNNING, [](SC_HANDLE service, SERVICE_STATUS&) {
        return StartServiceA(service, 0, nullptr) != FALSE;
    });
}

bool StopInstalledService() {
    return RequestUnlessInState(SC_MANAGER_CONNECT, SERVICE_STOPPED, [](SC_HANDLE service, SERVICE_STATUS& status) {
        return ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE;
    });
}
