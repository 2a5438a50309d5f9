#include "service/install.h"

#include "service/fn_service.h"

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

void ReportServiceEvent(ServiceLog& log, WORD type, DWORD eventId) {
    log.Report(type, eventId, TELVARIN_SERVICE_NAME, nullptr, nullptr);
}

// The running executable's path, plain and quoted as the image path. False for a path that
// fills the buffer: it was cut short, and registering it would name another file.
struct OwnPath {
    char plain[MAX_PATH] = {};
    DWORD length = 0;
    char quoted[MAX_PATH + 2] = {};
};

bool ReadOwnPath(OwnPath& own) {
    own.length = GetModuleFileNameA(nullptr, own.plain, MAX_PATH);
    if (own.length == 0 || own.length >= MAX_PATH) return false;
    // Quoted, so that a path with spaces cannot be read as "C:\Program.exe" plus arguments.
    wsprintfA(own.quoted, "\"%s\"", own.plain);
    return true;
}

bool WriteEventSource(const OwnPath& own) {
    win::RegKey key;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, TELVARIN_KEY_EVENT_SOURCE, key.Receive()) != ERROR_SUCCESS) return false;
    // The message file names a file, not a command line: the plain path.
    RegSetValueExA(key.Get(), "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(own.plain), own.length + 1);
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key.Get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    return true;
}

// The switches for a person at the console, in the tools' spelling as well as Windows'.
Command ParseConsoleSwitch(const char* argument) {
    for (const char* help : {"--help", "-h", "-?", "/?"})
        if (EqualsIgnoringAsciiCase(argument, help)) return Command::Help;
    if (EqualsIgnoringAsciiCase(argument, "--version")) return Command::Version;
    return Command::Unknown;
}

// Writes the dependency on winmgmt again, which cannot be compared (Wine's manager reports none
// for a list it stores, and rewrites its registry without it on any change that names none).
// False for a registration marked for deletion, which goes once the last handle to it is closed:
// no registration to report as done (every change is refused on it).
bool WriteDependency(SC_HANDLE service) {
    return ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                "winmgmt\0", nullptr, nullptr, nullptr) != FALSE;
}

}  // namespace

Command ParseCommand(int argc, char** argv) {
    if (argc < 2) return Command::RunService;
    const char* argument = argv[1];
    if (EqualsIgnoringAsciiCase(argument, "-InstSvc")) return Command::Install;
    if (EqualsIgnoringAsciiCase(argument, "-UninstSvc")) return Command::Uninstall;
    if (EqualsIgnoringAsciiCase(argument, "-StartSvc")) return Command::Start;
    if (EqualsIgnoringAsciiCase(argument, "-StopSvc")) return Command::Stop;
    return ParseConsoleSwitch(argument);
}

int RunCommand(Command command, ServiceLog& log) {
    switch (command) {
    case Command::Install:
        // An installer must see a registration that failed, or one that could not be pointed
        // back at this program.
        return (IsServiceInstalled() ? RepairService(log) : InstallService(log)) ? 0 : 1;
    case Command::Uninstall:
        if (IsServiceInstalled()) UninstallService(log);
        break;
    case Command::Start:
        StartInstalledService();
        break;
    case Command::Stop:
        StopInstalledService();
        break;
    case Command::RunService:  // the rest is WinMain's
    case Command::Help:
    case Command::Version:
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

bool InstallService(ServiceLog& log) {
    win::ServiceHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    OwnPath own;
    if (!ReadOwnPath(own)) return false;
    win::ServiceHandle service(CreateServiceA(
        manager.Get(), TELVARIN_SERVICE_NAME, TELVARIN_SERVICE_NAME, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_SHARE_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, own.quoted,
        nullptr, nullptr, "winmgmt\0", nullptr, nullptr));
    if (!service) return false;
    if (!WriteEventSource(own)) return false;
    ReportServiceEvent(log, EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_INSTALLED);
    return true;
}

bool RepairService(ServiceLog& log) {
    win::ServiceHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    OwnPath own;
    if (!ReadOwnPath(own)) return false;
    win::ServiceHandle service(OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
    if (!service) return false;
    // LocalAlloc memory rather than a container: the service carries no C++ runtime.
    DWORD needed = 0;
    QueryServiceConfigA(service.Get(), nullptr, 0, &needed);
    if (needed == 0) return false;
    win::LocalMemory buffer(LocalAlloc(LMEM_FIXED, needed));
    if (!buffer) return false;
    auto* config = static_cast<QUERY_SERVICE_CONFIGA*>(buffer.Get());
    if (!QueryServiceConfigA(service.Get(), config, needed, &needed)) return false;
    // The dependency list is not compared: Wine's manager reports none for a list it stores.
    bool same = config->dwServiceType == SERVICE_WIN32_SHARE_PROCESS && config->dwStartType == SERVICE_AUTO_START &&
                config->dwErrorControl == SERVICE_ERROR_NORMAL && config->lpBinaryPathName &&
                lstrcmpiA(config->lpBinaryPathName, own.quoted) == 0;
    if (!same && !ChangeServiceConfigA(service.Get(), SERVICE_WIN32_SHARE_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       own.quoted, "", nullptr, "winmgmt\0", nullptr, nullptr, TELVARIN_SERVICE_NAME))
        return false;
    if (same && !WriteDependency(service.Get())) return false;
    // Rewritten either way (the same data changes nothing), so that a damaged source is mended too.
    if (!WriteEventSource(own)) return false;
    if (!same) ReportServiceEvent(log, EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_INSTALLED);
    return true;
}

bool UninstallService(ServiceLog& log) {
    win::ServiceHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    win::ServiceHandle service(OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, DELETE));
    if (!service) return false;
    if (DeleteService(service.Get())) {
        ReportServiceEvent(log, EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_REMOVED);
        return true;
    }
    ReportServiceEvent(log, EVENTLOG_ERROR_TYPE, MSG_SERVICE_NOT_REMOVED);
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
