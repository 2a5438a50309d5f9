// telvarin-client doctor: is this machine's Telvarin healthy? Reads only: the service manager,
// the registry and WMI class lookups; it calls no firmware method and writes nothing.
#include "client/doctor.h"

#include <aclapi.h>
#include <sddl.h>
#include <wbemidl.h>
#include <wrl/client.h>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/decode.h"
#include "client/lib/telvarin_client.h"
#include "common/key_security.h"
#include "common/protocol.h"
#include "common/protocol_key.h"
#include "common/win_raii.h"

namespace client {

// Every check and information line by its name, and every field of --json: a system test holds
// the doctor's output to this text.
const char kDoctorHelp[] =
    "Usage: telvarin-client doctor [--json]\n"
    "Checks the installation and prints one line per check: \"ok\", or \"FAIL\" with what to do\n"
    "after \"->\"; \"info\" lines are facts, never failures; then \"healthy\" or how many checks\n"
    "failed. It only reads: no firmware method is called, nothing is written.\n"
    "Checks:\n"
    "  service.installed   the service Telvarin is registered\n"
    "  service.path        its program path is quoted and names an existing file\n"
    "  service.start       it starts automatically\n"
    "  service.dependency  it depends on winmgmt\n"
    "  service.running     it runs\n"
    "  service.recovery    a failure restarts it, and a stop with an error counts as one\n"
    "  eventlog.source     its Application event source names an existing message file\n"
    "  value.Notification, value.Notification.Type2, value.Capability,\n"
    "  value.Capability.Type2, value.CurrentSetting, value.StatusControl.Type2\n"
    "                      each of the six values is a 4-byte REG_DWORD (32-bit view)\n"
    "  wmi.connect         \\\\.\\ROOT\\WMI accepts a connection and answers within 20 s\n"
    "  firmware.OrvButtonMethodDW, firmware.OrvButtonData, firmware.OrvButtonEvent\n"
    "                      the firmware's method class, data block and event class\n"
    "Information:\n"
    "  service.version     the installed version: the registered program's version\n"
    "                      resource, and the package Windows Installer lists\n"
    "  service.flavour     the registered program's flavour, x86 or x64\n"
    "  service.signature   whether it carries an Authenticode signature (not verified)\n"
    "  values.view         the registry view the values are read in\n"
    "  clients.access      who may write StatusControl and CurrentSetting\n"
    "  firmware.instance   the method instance register calls run on\n"
    "Exit code 0 when every check passes, else 1.\n"
    "  --json  one JSON object: {\"healthy\": true|false, \"checks\": [{\"name\", \"ok\", \"info\",\n"
    "          \"detail\", \"fix\"}, ...]}; \"info\" is true for an information line (always\n"
    "          \"ok\"), \"fix\" is empty for a check that passed\n";

namespace {

using Microsoft::WRL::ComPtr;

// A repair rewrites the files and the registry values and runs -InstSvc, which mends an existing
// registration. (msiexec /i of the installed version changes nothing on Windows.)
constexpr char kReinstall[] =
    "repair: msiexec /i telvarin-VERSION.msi REINSTALL=ALL REINSTALLMODE=vamus /qn, with the MSI of the installed "
    "version and flavour (or, as administrator, the installed telvarin.exe -InstSvc)";

struct Check {
    std::string name;    // stable, for scripts
    bool ok = false;
    std::string detail;  // what was found
    std::string fix;     // what to do when it failed
    bool info = false;   // a fact worth knowing, never a failure
};

class Report {
public:
    void Add(const std::string& name, bool ok, const std::string& detail, const std::string& fix) {
        m_checks.push_back({name, ok, detail, ok ? std::string() : fix, false});
    }
    void Info(const std::string& name, const std::string& detail) { m_checks.push_back({name, true, detail, "", true}); }
    const std::vector<Check>& Checks() const { return m_checks; }
    void Append(const Report& other) { m_checks.insert(m_checks.end(), other.m_checks.begin(), other.m_checks.end()); }
    // Checks proper, without the information lines.
    int Count() const {
        int count = 0;
        for (const Check& c : m_checks) count += c.info ? 0 : 1;
        return count;
    }
    int Failures() const {
        int failures = 0;
        for (const Check& c : m_checks) failures += c.ok ? 0 : 1;
        return failures;
    }

private:
    std::vector<Check> m_checks;
};

bool FileExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// What the PE headers of a program say: the machine it is built for (IMAGE_FILE_MACHINE_I386,
// _AMD64, ..., or 0 when the file cannot be read as a PE) and whether a signature is attached
// (its certificate table, the security directory, is not empty). The signature is not verified.
struct ProgramFacts {
    WORD machine = 0;
    bool signature = false;
};

ProgramFacts ReadProgram(const std::string& path) {
    ProgramFacts facts;
    win::FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return facts;
    IMAGE_DOS_HEADER dos{};
    DWORD read = 0;
    if (!ReadFile(file.Get(), &dos, sizeof dos, &read, nullptr) || read != sizeof dos || dos.e_magic != IMAGE_DOS_SIGNATURE)
        return facts;
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    if (SetFilePointer(file.Get(), dos.e_lfanew, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file.Get(), &signature, sizeof signature, &read, nullptr) || read != sizeof signature ||
        signature != IMAGE_NT_SIGNATURE || !ReadFile(file.Get(), &header, sizeof header, &read, nullptr) ||
        read != sizeof header)
        return facts;
    facts.machine = header.Machine;
    // The optional header of either width; the data directories sit at its end.
    std::vector<BYTE> optional(header.SizeOfOptionalHeader);
    if (optional.size() < sizeof(WORD) || !ReadFile(file.Get(), optional.data(), static_cast<DWORD>(optional.size()), &read, nullptr) ||
        read != optional.size())
        return facts;
    WORD magic = *reinterpret_cast<const WORD*>(optional.data());
    size_t countAt = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC ? offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes)
                                                            : offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
    size_t directoriesAt = countAt + sizeof(DWORD);
    if (optional.size() < directoriesAt) return facts;
    DWORD count = *reinterpret_cast<const DWORD*>(optional.data() + countAt);
    size_t securityAt = directoriesAt + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
    if (count <= IMAGE_DIRECTORY_ENTRY_SECURITY || optional.size() < securityAt + sizeof(IMAGE_DATA_DIRECTORY)) return facts;
    const auto* security = reinterpret_cast<const IMAGE_DATA_DIRECTORY*>(optional.data() + securityAt);
    facts.signature = security->VirtualAddress != 0 && security->Size != 0;
    return facts;
}

std::string FlavourText(WORD machine) {
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386: return "x86 (32-bit; under WoW64 on 64-bit Windows)";
    case IMAGE_FILE_MACHINE_AMD64: return "x64 (64-bit)";
    case 0: return "unknown: the program cannot be read";
    default: return "machine " + console::Hex(machine);
    }
}

// The product version in a program's version resource, "X.Y.Z" (the fourth field is always 0);
// empty when it has none or cannot be read.
std::string ProgramVersion(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
        length < sizeof *fixed || fixed->dwSignature != VS_FFI_SIGNATURE)
        return {};
    return std::to_string(HIWORD(fixed->dwProductVersionMS)) + "." + std::to_string(LOWORD(fixed->dwProductVersionMS)) +
           "." + std::to_string(HIWORD(fixed->dwProductVersionLS));
}

// The Telvarin packages Windows Installer lists in Add/Remove Programs, as "VERSION (FLAVOUR
// package)": the x86 package registers in the 32-bit registry view, the x64 one in the 64-bit
// view (on 32-bit Windows both name the one view, so a product is listed once).
std::vector<std::string> InstalledPackages() {
    std::vector<std::string> packages, codes;
    const struct {
        REGSAM view;
        const char* flavour;
    } kViews[] = {{KEY_WOW64_32KEY, "x86"}, {KEY_WOW64_64KEY, "x64"}};
    for (const auto& view : kViews) {
        win::RegKey uninstall;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0,
                          KEY_ENUMERATE_SUB_KEYS | view.view, uninstall.Receive()) != ERROR_SUCCESS)
            continue;
        char code[256];
        for (DWORD i = 0, size = sizeof code; RegEnumKeyExA(uninstall.Get(), i, code, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             ++i, size = sizeof code) {
            win::RegKey entry;
            if (RegOpenKeyExA(uninstall.Get(), code, 0, KEY_QUERY_VALUE | view.view, entry.Receive()) != ERROR_SUCCESS) continue;
            auto text = [&](const char* name) {
                char value[256] = {};
                DWORD type = REG_NONE, length = sizeof value - 1;
                return RegQueryValueExA(entry.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &length) == ERROR_SUCCESS &&
                               type == REG_SZ
                           ? std::string(value)
                           : std::string();
            };
            telvarin_reading msi{};
            if (text("DisplayName") != "Telvarin" || text("Publisher") != "Haskorn" ||
                telvarin_read_dword(entry.Get(), "WindowsInstaller", &msi) != TELVARIN_OK || msi.state != TELVARIN_READ_OK ||
                msi.value != 1)
                continue;
            bool seen = false;
            for (const std::string& known : codes) seen = seen || lstrcmpiA(known.c_str(), code) == 0;
            if (seen) continue;
            codes.push_back(code);
            packages.push_back(text("DisplayVersion") + " (" + view.flavour + " package)");
        }
    }
    return packages;
}

// What is installed: the registered program's version and the packages Windows Installer lists,
// which differ when the program was replaced by hand or the registration names another copy.
void ReportVersion(Report& report, const std::string& program) {
    const std::string version = program.empty() ? std::string() : ProgramVersion(program);
    std::string detail = program.empty()       ? "no registered program"
                         : version.empty()     ? "unknown: the registered program has no readable version resource"
                                               : version;
    const std::vector<std::string> packages = InstalledPackages();
    std::string listed;
    bool matches = false;
    for (const std::string& package : packages) {
        listed += (listed.empty() ? "" : ", ") + package;
        matches = matches || package.compare(0, version.size() + 1, version + " ") == 0;
    }
    detail += "; " + (listed.empty() ? std::string("no Telvarin package is installed (Add/Remove Programs)")
                                     : "installed package" + std::string(packages.size() > 1 ? "s " : " ") + listed);
    if (!version.empty() && !listed.empty() && !matches) detail += ": the program is not the package's version";
    report.Info("service.version", detail);
}

// --- the service registration ------------------------------------------------------------------
struct ServiceFacts {
    bool installed = false;
    std::string error;   // why the manager could not tell, when it could not
    DWORD startType = 0;
    std::string imagePath;
    DWORD state = 0;
};

ServiceFacts ReadService() {
    ServiceFacts facts;
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        facts.error = "cannot open the service manager: " + ErrorText(static_cast<LONG>(GetLastError()));
        return facts;
    }
    win::ServiceHandle service(OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) facts.error = "cannot open the service: " + ErrorText(static_cast<LONG>(error));
        return facts;
    }
    facts.installed = true;
    DWORD needed = 0;
    QueryServiceConfigA(service.Get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed ? needed : 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (needed && QueryServiceConfigA(service.Get(), config, needed, &needed)) {
        facts.startType = config->dwStartType;
        facts.imagePath = config->lpBinaryPathName ? config->lpBinaryPathName : "";
    }
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.Get(), &status)) facts.state = status.dwCurrentState;
    return facts;
}

// The dependency list as the service manager keeps it in the registry. (Wine 8's
// QueryServiceConfig returns none for a list that CreateService stored; the value is right.)
std::vector<std::string> ReadDependencies() {
    std::vector<std::string> names;
    win::RegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TELVARIN_KEY_SERVICE, 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS) return names;
    // Sized by asking first: Wine 8 keeps junk of any length after the first string.
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExA(key.Get(), "DependOnService", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return names;
    std::vector<char> data(size + 2, '\0');  // two NULs stay at the end whatever was stored
    if (RegQueryValueExA(key.Get(), "DependOnService", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
            ERROR_SUCCESS ||
        type != REG_MULTI_SZ)
        return names;
    for (const char* p = data.data(); *p; p += lstrlenA(p) + 1) names.push_back(p);
    return names;
}

const char* StateText(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    case SERVICE_PAUSED: return "paused";
    default: return "in a pending state";
    }
}

// The recovery actions as the service manager keeps them under the service's key: a
// SERVICE_FAILURE_ACTIONS with its pointers stored as offsets (20 bytes), then the SC_ACTIONs.
// Read there because Wine's service manager neither stores nor reports them through
// QueryServiceConfig2; Windows keeps them in the same two values.
struct StoredFailureActions {
    DWORD resetPeriod, rebootMessage, command, count, actionsOffset;
};

std::string ActionText(const SC_ACTION& action) {
    switch (action.Type) {
    case SC_ACTION_NONE: return "nothing";
    case SC_ACTION_RESTART: return "restart after " + std::to_string(action.Delay / 1000) + " s";
    case SC_ACTION_REBOOT: return "reboot";
    case SC_ACTION_RUN_COMMAND: return "run a command";
    default: return "action " + std::to_string(action.Type);
    }
}

void CheckRecovery(Report& report) {
    const std::string fix = "repair: msiexec /i telvarin-VERSION.msi REINSTALL=ALL REINSTALLMODE=vamus /qn, or: sc failure Telvarin reset= 86400 "
                            "actions= restart/5000/restart/5000// and sc failureflag Telvarin 1";
    win::RegKey key;
    BYTE data[512] = {};
    DWORD type = REG_NONE, size = sizeof data;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TELVARIN_KEY_SERVICE, 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS ||
        RegQueryValueExA(key.Get(), "FailureActions", nullptr, &type, data, &size) != ERROR_SUCCESS || type != REG_BINARY) {
        report.Add("service.recovery", false, "no recovery actions: a crash leaves the machine without button events until the next boot", fix);
        return;
    }
    StoredFailureActions stored{};
    if (size >= sizeof stored) memcpy(&stored, data, sizeof stored);
    if (size < sizeof stored || stored.actionsOffset > size || stored.count > (size - stored.actionsOffset) / sizeof(SC_ACTION)) {
        report.Add("service.recovery", false, "the recovery actions are unreadable", fix);
        return;
    }
    std::string detail;
    bool restarts = false;
    for (DWORD i = 0; i < stored.count; ++i) {
        SC_ACTION action{};
        memcpy(&action, data + stored.actionsOffset + i * sizeof action, sizeof action);
        restarts = restarts || action.Type == SC_ACTION_RESTART;
        detail += (i ? ", " : "") + std::string(i == 0 ? "1st failure: " : i == 1 ? "2nd: " : i == 2 ? "later: " : "") +
                  ActionText(action);
    }
    telvarin_reading flag{};
    const bool nonCrash = telvarin_read_dword(key.Get(), "FailureActionsOnNonCrashFailures", &flag) == TELVARIN_OK &&
                          flag.state == TELVARIN_READ_OK && flag.value != 0;
    detail += "; count reset after " + std::to_string(stored.resetPeriod) + " s; " +
              (nonCrash ? "a stop with an error counts as a failure" : "only crashes count as failures");
    report.Add("service.recovery", restarts && nonCrash, detail, fix);
}

void CheckService(Report& report) {
    ServiceFacts s = ReadService();
    const std::string install = "install the MSI (msiexec /i telvarin-VERSION.msi /qn) or run telvarin.exe -InstSvc as administrator";
    report.Add("service.installed", s.installed, s.installed ? "service Telvarin is registered" : s.error.empty() ? "no service Telvarin" : s.error,
               s.error.empty() ? install : "run as administrator");
    if (!s.installed) {
        ReportVersion(report, "");
        for (const char* name : {"service.path", "service.start", "service.dependency", "service.running", "service.recovery"})
            report.Add(name, false, "not checked: no service", "see service.installed");
        return;
    }

    // Quoted, or "C:\Program Files\..." can start C:\Program.exe.
    const std::string& path = s.imagePath;
    bool quoted = path.size() > 2 && path.front() == '"' && path.back() == '"';
    std::string file = quoted ? path.substr(1, path.size() - 2) : path;
    if (!quoted) report.Add("service.path", false, "image path is not quoted: " + path, kReinstall);
    else if (!FileExists(file)) report.Add("service.path", false, "the registered program is missing: " + file, kReinstall);
    else report.Add("service.path", true, path, "");
    ReportVersion(report, file);
    ProgramFacts program = ReadProgram(file);
    report.Info("service.flavour", FlavourText(program.machine));
    report.Info("service.signature", program.machine == 0 ? "unknown: the program cannot be read"
                                     : program.signature ? "signed: an Authenticode signature is attached (not verified here)"
                                                         : "not signed");

    report.Add("service.start", s.startType == SERVICE_AUTO_START,
               s.startType == SERVICE_AUTO_START ? "automatic" : "start type " + std::to_string(s.startType) + ", not automatic (2)",
               "sc config Telvarin start= auto");

    std::vector<std::string> depends = ReadDependencies();
    bool onWmi = false;
    std::string list;
    for (const std::string& name : depends) {
        onWmi = onWmi || lstrcmpiA(name.c_str(), TELVARIN_WMI_SERVICE) == 0;
        list += (list.empty() ? "" : ", ") + name;
    }
    report.Add("service.dependency", onWmi, onWmi ? "depends on winmgmt" : "depends on " + (list.empty() ? "nothing" : list) + ", not winmgmt",
               "sc config Telvarin depend= winmgmt");

    bool running = s.state == SERVICE_RUNNING;
    report.Add("service.running", running, StateText(s.state),
               "sc start Telvarin; if it stops again, see the Application event log (source Telvarin)");
    CheckRecovery(report);
}

// --- who may write the keys ----------------------------------------------------------------------
// The rights that the ACEs of the key's DACL for which `applies(sid)` holds give, less the ones
// they deny. Inherit-only ACEs do not apply to the key itself; a null DACL lets everybody in.
template <typename Applies>
ACCESS_MASK RightsOf(HKEY key, Applies applies) {
    win::LocalMemory descriptor;
    ACL* dacl = nullptr;
    if (win::ReadKeyDacl(key, descriptor, dacl) != ERROR_SUCCESS) return 0;
    if (!dacl) return KEY_ALL_ACCESS;
    GENERIC_MAPPING mapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
    ACCESS_MASK allowed = 0, denied = 0;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        // Allowed and denied ACEs share one layout.
        const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        if (!applies(const_cast<DWORD*>(&entry->SidStart))) continue;
        ACCESS_MASK mask = entry->Mask;
        MapGenericMask(&mask, &mapping);
        (header->AceType == ACCESS_ALLOWED_ACE_TYPE ? allowed : denied) |= mask;
    }
    return allowed & ~denied;
}

// What a standard user signed in at the console may do: the rights of every group such a user's
// token holds (Everyone, Interactive, Authenticated Users, Users).
ACCESS_MASK InteractiveUserRights(HKEY key) {
    return RightsOf(key, [](PSID sid) {
        for (WELL_KNOWN_SID_TYPE group : {WinWorldSid, WinInteractiveSid, WinAuthenticatedUserSid, WinBuiltinUsersSid})
            if (IsWellKnownSid(sid, group)) return true;
        return false;
    });
}

// The group an install with CLIENTACCESS=1 granted, as the installer remembered it: its SID text.
std::string ClientAccessGroup() {
    win::RegKey key;
    if (telvarin::OpenProtocolKey(TELVARIN_KEY_PRODUCT, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return {};
    char text[256] = {};
    DWORD type = 0, size = sizeof text - 1;
    if (RegQueryValueExA(key.Get(), TELVARIN_VALUE_ACCESS_GROUP, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return text;
}

void CheckClientAccess(Report& report) {
    const std::string group = ClientAccessGroup();
    win::LocalMemory groupSid;
    const bool haveGroup =
        !group.empty() && ConvertStringSidToSidA(group.c_str(), reinterpret_cast<PSID*>(groupSid.Receive()));
    std::string writable, readOnly, groupWritable, groupReadOnly;
    for (const char* path : {TELVARIN_KEY_STATUS_CONTROL, TELVARIN_KEY_CURRENT_SETTING}) {
        win::RegKey key;
        const std::string name = strrchr(path, '\\') + 1;
        if (telvarin::OpenProtocolKey(path, READ_CONTROL, key) != ERROR_SUCCESS) {
            readOnly += (readOnly.empty() ? "" : ", ") + name + " (missing)";
            groupReadOnly += (groupReadOnly.empty() ? "" : ", ") + name + " (missing)";
            continue;
        }
        const ACCESS_MASK rights = InteractiveUserRights(key.Get());
        const bool canWrite = (rights & KEY_SET_VALUE) && (rights & KEY_QUERY_VALUE);
        std::string& list = canWrite ? writable : readOnly;
        list += (list.empty() ? "" : ", ") + name + " (" + console::Hex(rights) + ")";
        if (!haveGroup) continue;
        const ACCESS_MASK granted = RightsOf(key.Get(), [&](PSID sid) { return EqualSid(sid, groupSid.Get()) != FALSE; });
        std::string& groupList = (granted & KEY_SET_VALUE) && (granted & KEY_QUERY_VALUE) ? groupWritable : groupReadOnly;
        groupList += (groupList.empty() ? "" : ", ") + name + " (" + console::Hex(granted) + ")";
    }
    std::string detail;
    if (!writable.empty()) detail = "interactive users (S-1-5-4) may query and set " + writable + ": any of them can send requests and settings";
    if (!readOnly.empty())
        detail += (detail.empty() ? "" : "; ") + std::string("interactive users (S-1-5-4) may not set ") + readOnly +
                  ": client programs need elevation there (or an install with CLIENTACCESS=1)";
    // The group the install named, by the SID it remembered: it may be narrower than the above.
    if (!groupWritable.empty())
        detail += "; the client-access group " + group + " may query and set " + groupWritable;
    if (!groupReadOnly.empty())
        detail += "; the client-access group " + group + " may not set " + groupReadOnly +
                  ": its grant is gone (install again with CLIENTACCESS=1)";
    report.Info("clients.access", detail);
}

// --- the event source --------------------------------------------------------------------------
void CheckEventSource(Report& report) {
    win::RegKey key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, TELVARIN_KEY_EVENT_SOURCE, 0, KEY_QUERY_VALUE, key.Receive());
    if (rc != ERROR_SUCCESS) {
        report.Add("eventlog.source", false, rc == ERROR_FILE_NOT_FOUND ? "the Application event source Telvarin is missing"
                                                                         : "cannot read the event source: " + ErrorText(rc), kReinstall);
        return;
    }
    char file[MAX_PATH + 1] = {};
    DWORD type = REG_NONE;
    DWORD size = MAX_PATH;
    rc = RegQueryValueExA(key.Get(), "EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(file), &size);
    telvarin_reading types;
    LONG typesRc = telvarin_read_dword(key.Get(), "TypesSupported", &types);
    std::string problem;
    if (rc != ERROR_SUCCESS) problem = "EventMessageFile is missing";
    else if (type != REG_EXPAND_SZ) problem = "EventMessageFile is not REG_EXPAND_SZ";
    else if (!FileExists(file)) problem = std::string("EventMessageFile names a missing file: ") + file;
    else if (typesRc != ERROR_SUCCESS || types.state != TELVARIN_READ_OK || types.value != 7) problem = "TypesSupported is not the DWORD 7";
    report.Add("eventlog.source", problem.empty(), problem.empty() ? std::string("messages from ") + file : problem, kReinstall);
}

// --- the six values ----------------------------------------------------------------------------
void CheckValues(Report& report) {
    // Both flavours of the service and of every client meet in the 32-bit view.
    report.Info("values.view", "read in the 32-bit registry view, where the service keeps them "
                               "(HKLM\\Software\\WOW6432Node\\Haskorn\\SystemEvent on 64-bit Windows)");
    for (int i = 0; i < TELVARIN_VAL_COUNT; ++i) {
        const telvarin_value_info& info = *telvarin_value(static_cast<telvarin_value_id>(i));
        telvarin_reading r;
        telvarin_read(static_cast<telvarin_value_id>(i), &r);
        std::string fix = r.state == TELVARIN_READ_NOT_DWORD
                              ? "delete the value (reg delete \"" + DisplayPath(info.key) + "\" /v \"" + info.name +
                                    "\" /reg:32 /f), then restart the service"
                              : "restart the service (sc stop Telvarin, sc start Telvarin): it writes the values at start";
        report.Add(std::string("value.") + info.label, r.state == TELVARIN_READ_OK,
                   Title(info) + (r.state == TELVARIN_READ_OK ? " is a REG_DWORD" : std::string(": ") + StateName(r.state)), fix);
    }
}

// --- the firmware classes ----------------------------------------------------------------------

std::string HresultText(HRESULT hr) { return console::Hex(static_cast<DWORD>(hr)); }

// The method instance register calls run on, chosen as the service chooses it: the usual one
// when it is published, else the first the class enumerates (another model's device may carry
// another unique id).
std::string MethodInstanceText(IWbemServices* services, BSTR wql, LONG flags) {
    win::Bstr query(L"SELECT * FROM " TELVARIN_WMI_METHOD_CLASS);
    ComPtr<IEnumWbemClassObject> items;
    HRESULT hr = services->ExecQuery(wql, query.Get(), flags, nullptr, items.GetAddressOf());
    std::string first;
    for (int i = 0; hr == WBEM_S_NO_ERROR && items && i < 16; ++i) {
        ComPtr<IWbemClassObject> item;
        ULONG returned = 0;
        hr = items->Next(5000, 1, item.GetAddressOf(), &returned);
        if (hr != WBEM_S_NO_ERROR || returned != 1 || !item) break;
        win::Variant name;
        if (item->Get(L"InstanceName", 0, name.Receive(), nullptr, nullptr) != S_OK || name.Get()->vt != VT_BSTR ||
            !name.Get()->bstrVal)
            continue;
        std::string text;
        for (const wchar_t* c = name.Get()->bstrVal; *c; ++c) text += *c < 0x80 ? static_cast<char>(*c) : '?';
        if (lstrcmpiA(text.c_str(), TELVARIN_WMI_METHOD_INSTANCE) == 0) return text;
        if (first.empty()) first = text;
    }
    if (!first.empty()) return first + " (not the usual " TELVARIN_WMI_METHOD_INSTANCE ")";
    return "none published: register calls, and so requests, fail";
}

void CheckFirmware(Report& report) {
    const std::string noFirmware = "this machine's firmware does not offer it: check that the ACPI-WMI device "
                                   "(ACPI\\PNP0C14) has its driver (Device Manager)";
    win::ScopedComInit com;
    HRESULT hr = com.Result();
    ComPtr<IWbemLocator> locator;
    ComPtr<IWbemServices> services;
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<void**>(locator.GetAddressOf()));
    if (SUCCEEDED(hr)) {
        win::Bstr resource(L"" TELVARIN_WMI_NAMESPACE);
        hr = locator->ConnectServer(resource.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.GetAddressOf());
    }
    if (SUCCEEDED(hr) && !services) hr = E_POINTER;
    if (SUCCEEDED(hr))  // not fatal: the default blanket serves a local namespace too
        CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    report.Add("wmi.connect", SUCCEEDED(hr), SUCCEEDED(hr) ? "connected to " TELVARIN_WMI_NAMESPACE : "cannot connect to " TELVARIN_WMI_NAMESPACE ": " + HresultText(hr),
               "start the WMI service (sc start winmgmt)");
    if (FAILED(hr)) {
        for (const char* name : {"firmware." TELVARIN_WMI_METHOD_CLASS, "firmware." TELVARIN_WMI_DATA_CLASS, "firmware." TELVARIN_WMI_EVENT_CLASS})
            report.Add(name, false, "not checked: no WMI connection", "see wmi.connect");
        return;
    }

    // Each class looked up the way the service uses it, read-only: the method class by name,
    // the data block's instances by a query, the event class by a subscription released at once.
    {
        // Without the method the service serves no request, but it looks again by itself.
        const std::string notReady = noFirmware + "; the service looks for it again by itself, with pauses of up to "
                                                  "a minute, and serves requests once it is there";
        win::Bstr name(L"" TELVARIN_WMI_METHOD_CLASS);
        win::Bstr method(L"" TELVARIN_WMI_METHOD);
        ComPtr<IWbemClassObject> cls;
        ComPtr<IWbemClassObject> in;
        hr = services->GetObject(name.Get(), 0, nullptr, cls.GetAddressOf(), nullptr);
        const bool found = hr == WBEM_S_NO_ERROR && cls;
        if (found) hr = cls->GetMethod(method.Get(), 0, in.GetAddressOf(), nullptr);
        const bool ok = found && hr == WBEM_S_NO_ERROR && in;
        report.Add("firmware." TELVARIN_WMI_METHOD_CLASS, ok,
                   ok      ? "class and method " TELVARIN_WMI_METHOD " found"
                   : found ? "method " TELVARIN_WMI_METHOD " not found: " + HresultText(hr)
                           : "class not found: " + HresultText(hr),
                   notReady);
    }
    win::Bstr wql(L"WQL");
    const LONG flags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;
    report.Info("firmware.instance", MethodInstanceText(services.Get(), wql.Get(), flags));
    {
        win::Bstr query(L"SELECT * FROM " TELVARIN_WMI_DATA_CLASS);
        ComPtr<IEnumWbemClassObject> items;
        hr = services->ExecQuery(wql.Get(), query.Get(), flags, nullptr, items.GetAddressOf());
        ComPtr<IWbemClassObject> first;
        ULONG returned = 0;
        if (hr == WBEM_S_NO_ERROR && items) hr = items->Next(5000, 1, first.GetAddressOf(), &returned);
        bool found = hr == WBEM_S_NO_ERROR && returned == 1;
        report.Add("firmware." TELVARIN_WMI_DATA_CLASS, found,
                   found ? "instance found" : hr == WBEM_S_FALSE ? "no instance" : "no instance: " + HresultText(hr), noFirmware);
    }
    {
        win::Bstr query(L"SELECT * FROM " TELVARIN_WMI_EVENT_CLASS);
        ComPtr<IEnumWbemClassObject> events;
        hr = services->ExecNotificationQuery(wql.Get(), query.Get(), flags, nullptr, events.GetAddressOf());
        report.Add("firmware." TELVARIN_WMI_EVENT_CLASS, hr == WBEM_S_NO_ERROR && events,
                   hr == WBEM_S_NO_ERROR && events ? "event class found" : "event class not found: " + HresultText(hr), noFirmware);
    }
}

// The WMI probes run on a thread of their own and are given up after this long: a WMI service
// that hangs must not hang the doctor (the process ends soon after, and the thread with it).
constexpr DWORD kFirmwareProbeBoundMs = 20000;

DWORD WINAPI ProbeFirmware(LPVOID report) {
    CheckFirmware(*static_cast<Report*>(report));
    return 0;
}

void CheckFirmwareBounded(Report& report) {
    auto* probe = new Report();  // left to a probe that gave no answer
    win::UniqueHandle thread(CreateThread(nullptr, 0, ProbeFirmware, probe, 0, nullptr));
    if (thread && WaitForSingleObject(thread.Get(), kFirmwareProbeBoundMs) != WAIT_OBJECT_0) {
        report.Add("wmi.connect", false, "WMI gave no answer in 20 s",
                   "restart the WMI service (sc stop winmgmt, sc start winmgmt), or the machine");
        return;
    }
    if (!thread) CheckFirmware(*probe);
    report.Append(*probe);
    delete probe;
}

void PrintText(const Report& report) {
    for (const Check& c : report.Checks()) {
        std::string line = std::string(c.info ? "info  " : c.ok ? "ok    " : "FAIL  ") + c.name + ": " + c.detail;
        if (!c.ok) line += " -> " + c.fix;
        std::puts(line.c_str());
    }
    int failures = report.Failures();
    if (failures == 0) std::puts("healthy");
    else std::printf("%d of %d checks failed\n", failures, report.Count());
}

void PrintJson(const Report& report) {
    nlohmann::ordered_json checks = nlohmann::ordered_json::array();
    for (const Check& c : report.Checks())
        checks.push_back({{"name", c.name}, {"ok", c.ok}, {"info", c.info}, {"detail", c.detail}, {"fix", c.fix}});
    std::puts(console::JsonText({{"healthy", report.Failures() == 0}, {"checks", checks}}).c_str());
}

}  // namespace

std::string NotReadyCause() {
    Report report;
    CheckFirmwareBounded(report);
    for (const Check& c : report.Checks())
        if (!c.ok) return c.name + ": " + c.detail + " (" + c.fix + ")";
    return "";
}

int RunDoctor(const Args& args) {
    if (!args.positional.empty()) return UsageError("unexpected argument '" + args.positional[0] + "'", "doctor");
    Report report;
    CheckService(report);
    CheckEventSource(report);
    CheckValues(report);
    CheckClientAccess(report);
    CheckFirmwareBounded(report);
    if (args.json) PrintJson(report);
    else PrintText(report);
    std::fflush(stdout);
    return report.Failures() ? kExitUnhealthy : kExitOk;
}

}  // namespace client
