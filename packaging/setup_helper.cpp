// telvarin-setup: the MSI's own helper, run by its custom actions as LocalSystem from the
// package's Binary table (it is never installed).
//
// Every step that changes the machine first writes down what it found (records.h), under the
// product code CODE and its own name, and its rollback twin (`undo CODE STEP`) puts exactly that
// back: a failed install, upgrade, repair or uninstall leaves the machine as it was.
//
//   telvarin-setup begin CODE    the script's first step: no record of an earlier run of CODE is
//                                left, nor the upgrade note (which the old version's removal has
//                                read by then); records the product's keys, as grant does
//   telvarin-setup end CODE      the last (a commit action): CODE's records go, and the vendor key
//                                when nothing else is left in it (an uninstall's forget leaves
//                                it to this step while the records are in it)
//   telvarin-setup stop CODE     records whether Telvarin ran; stops it, sending the stop again
//                                until the service takes it, and waits up to 30 s until it is
//                                stopped and the process the service manager named as its own has
//                                ended. No other process is waited for, but a LocalSystem process
//                                running the registered program is (only the manager starts one)
//   telvarin-setup settle        before a registration: waits up to 30 s until no Telvarin marked
//                                for deletion is left (a marked one is stopped first)
//   telvarin-setup register CODE PATH
//                                records the registration (or its absence) and the event source;
//                                runs PATH -InstSvc; Telvarin must then run PATH
//   telvarin-setup unregister CODE
//                                records the registration; stops and deletes Telvarin
//   telvarin-setup grant CODE GROUP
//                                records the product's keys; GROUP (a SID such as S-1-5-4, or an
//                                account name) may query, set and watch StatusControl and
//                                CurrentSetting; a key that does not exist yet is created with
//                                default security first. The group is remembered by its SID, with
//                                the keys that got its ACE here.
//   telvarin-setup revoke CODE   records the product's keys; takes away exactly what grant added,
//                                by the remembered SID; the keys stay. Nothing remembered: nothing
//   telvarin-setup forget CODE   records the product's keys; removes HKLM\Software\Haskorn\Telvarin
//                                (the client lock's name, the client-access record), and the vendor
//                                key when nothing else is in it (at the end: the script's records
//                                are in it until then); the clients' SystemEvent values stay
//   telvarin-setup undo CODE STEP
//                                the rollback twin of STEP (begin, stop, register, unregister,
//                                grant, revoke, forget): what its record says, put back
//   telvarin-setup upgrade-note [CODE]
//                                leaves the note that the old version's removal in an upgrade
//                                reads (UpgradingTo = CODE, the new product code), or without CODE
//                                takes it away
//
// Exit code 0 when done; on failure a Windows error (1332: GROUP names nothing; 1460: timed out;
// 1072: a Telvarin marked for deletion is still held open; 1073: Telvarin runs another program
// after the registration), which the installer's log shows, and one line on stderr; 2 on a bad
// command line.
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "common/key_security.h"
#include "common/protocol.h"
#include "common/protocol_key.h"
#include "common/win_raii.h"
#include "packaging/client_access.h"
#include "packaging/records.h"
#include "packaging/settle.h"

namespace {

using client_access::Edit;

// The keys that client programs write, by their names under SystemEvent.
const char* const kClientKeys[] = {"StatusControl", "CurrentSetting"};
constexpr DWORD kSettleMs = 30000;

// One line on stderr; the exit code is the error.
int Fail(LONG error, const char* format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "telvarin-setup: ");
    vfprintf(stderr, format, args);
    fprintf(stderr, " (error %ld)\n", static_cast<long>(error));
    va_end(args);
    return error ? static_cast<int>(error) : 1;
}

// --- client access -----------------------------------------------------------------------------

// The group's SID, from SID text or an account name; empty when it names nothing.
std::vector<BYTE> ResolveGroup(const char* group) {
    win::LocalMemory sid;
    if (ConvertStringSidToSidA(group, reinterpret_cast<PSID*>(sid.Receive()))) {
        const BYTE* bytes = static_cast<const BYTE*>(sid.Get());
        return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid.Get()));
    }
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    LookupAccountNameA(nullptr, group, nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0) return {};
    std::vector<BYTE> bytes(sidSize);
    std::vector<char> domain(domainSize ? domainSize : 1);
    if (!LookupAccountNameA(nullptr, group, bytes.data(), &sidSize, domain.data(), &domainSize, &use)) return {};
    return bytes;
}

std::string SidText(PSID sid) {
    win::LocalMemory text;
    if (!ConvertSidToStringSidA(sid, reinterpret_cast<LPSTR*>(text.Receive()))) return {};
    return static_cast<const char*>(text.Get());
}

// What an earlier grant left: the group's SID text and the keys that got its ACE.
struct AccessRecord {
    std::string group;
    std::vector<std::string> keys;
    bool keysKnown = false;  // a record without the list names the group only
};

bool ReadAccessRecord(AccessRecord& record) {
    win::RegKey key;
    if (telvarin::OpenProtocolKey(TELVARIN_KEY_PRODUCT, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return false;
    char buffer[1024] = {};
    DWORD type = 0, size = sizeof buffer - 2;
    if (RegQueryValueExA(key.Get(), TELVARIN_VALUE_ACCESS_GROUP, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ || !buffer[0])
        return false;
    record.group = buffer;
    memset(buffer, 0, sizeof buffer);
    size = sizeof buffer - 2;
    if (RegQueryValueExA(key.Get(), TELVARIN_VALUE_ACCESS_KEYS, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
            ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
        record.keysKnown = true;
        for (const char* name = buffer; *name; name += strlen(name) + 1) record.keys.push_back(name);
    }
    return true;
}

LONG WriteAccessRecord(const AccessRecord& record) {
    win::RegKey key;
    LONG rc = telvarin::CreateProtocolKey(TELVARIN_KEY_PRODUCT, KEY_SET_VALUE, key);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(key.Get(), TELVARIN_VALUE_ACCESS_GROUP, 0, REG_SZ, reinterpret_cast<const BYTE*>(record.group.c_str()),
                        static_cast<DWORD>(record.group.size() + 1));
    std::string list;
    for (const std::string& name : record.keys) list += name + '\0';
    list += '\0';
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExA(key.Get(), TELVARIN_VALUE_ACCESS_KEYS, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()),
                            static_cast<DWORD>(list.size()));
    return rc;
}

void DeleteAccessRecord() {
    win::RegKey key;
    if (telvarin::OpenProtocolKey(TELVARIN_KEY_PRODUCT, KEY_SET_VALUE, key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key.Get(), TELVARIN_VALUE_ACCESS_GROUP);
    RegDeleteValueA(key.Get(), TELVARIN_VALUE_ACCESS_KEYS);
}

// Edits one key's DACL; `changed` tells whether anything was written. Registry calls return their error.
LONG EditKey(const char* name, PSID group, Edit edit, bool& changed) {
    changed = false;
    const std::string path = std::string(TELVARIN_KEY_ROOT "\\") + name;
    const REGSAM access = READ_CONTROL | WRITE_DAC;
    win::RegKey key;
    // Created here only to carry the grant before the service first runs; the service then
    // writes its start-up values into it without touching its security.
    LONG rc = edit == Edit::Grant ? telvarin::CreateProtocolKey(path.c_str(), access, key)
                                  : telvarin::OpenProtocolKey(path.c_str(), access, key);
    if (edit == Edit::Revoke && rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    win::LocalMemory current, updated;
    rc = win::ReadKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, current);
    if (rc == ERROR_SUCCESS) rc = client_access::EditDescriptor(current.Get(), group, edit, updated);
    if (rc != ERROR_SUCCESS || !updated) return rc;
    rc = RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, updated.Get());
    changed = rc == ERROR_SUCCESS;
    return rc;
}

// Takes away what the record says was added, then forgets it. A group that no longer resolves
// is no obstacle: the record holds its SID.
int Revoke() {
    AccessRecord record;
    if (!ReadAccessRecord(record)) return 0;
    std::vector<BYTE> sid = ResolveGroup(record.group.c_str());
    if (!record.keysKnown) record.keys.assign(std::begin(kClientKeys), std::end(kClientKeys));
    for (const std::string& name : record.keys) {
        bool changed = false;
        LONG rc = sid.empty() ? ERROR_SUCCESS : EditKey(name.c_str(), sid.data(), Edit::Revoke, changed);
        if (rc != ERROR_SUCCESS) return Fail(rc, "revoke: HKLM\\%s\\%s", TELVARIN_KEY_ROOT, name.c_str());
    }
    DeleteAccessRecord();
    return 0;
}

int Grant(const char* group) {
    std::vector<BYTE> sid = ResolveGroup(group);
    if (sid.empty())
        return Fail(ERROR_NONE_MAPPED, "CLIENTACCESSGROUP '%s' names no account or SID: nothing granted", group);
    AccessRecord record;
    const bool remembered = ReadAccessRecord(record);
    const std::string sidText = SidText(sid.data());
    // Another group than the remembered one: the old grant goes first.
    if (remembered && record.group != sidText) {
        if (int rc = Revoke()) return rc;
        record = AccessRecord();
    }
    std::vector<std::string> ours = record.keys;
    for (const char* name : kClientKeys) {
        bool changed = false;
        LONG rc = EditKey(name, sid.data(), Edit::Grant, changed);
        if (rc != ERROR_SUCCESS) return Fail(rc, "grant: HKLM\\%s\\%s", TELVARIN_KEY_ROOT, name);
        bool listed = false;
        for (const std::string& key : ours) listed = listed || key == name;
        if (changed && !listed) ours.push_back(name);
    }
    record.group = sidText;
    record.keys = ours;
    if (LONG rc = WriteAccessRecord(record)) return Fail(rc, "grant: recording the group in HKLM\\%s", TELVARIN_KEY_PRODUCT);
    return 0;
}

// --- the service -------------------------------------------------------------------------------

// Path texts compared as Windows compares file names, quotes around the whole ignored.
std::string Unquoted(const char* path) {
    std::string text = path;
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
    return text;
}

bool SamePath(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

// The service's registered program, unquoted; empty when it cannot be read.
std::string ImagePath(SC_HANDLE service) {
    DWORD size = 0;
    QueryServiceConfigA(service, nullptr, 0, &size);
    if (size == 0) return {};
    std::vector<BYTE> buffer(size);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(service, config, size, &size) || !config->lpBinaryPathName) return {};
    return Unquoted(config->lpBinaryPathName);
}

// Telvarin's dependencies as stored (REG_MULTI_SZ bytes): Wine's manager reports none for a list
// it keeps, and can store bytes after the list.
std::string StoredDependencies() {
    win::RegKey key;
    std::string stored(4096, '\0');
    DWORD size = static_cast<DWORD>(stored.size()), type = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TELVARIN_KEY_SERVICE, 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS ||
        RegQueryValueExA(key.Get(), "DependOnService", nullptr, &type, reinterpret_cast<BYTE*>(&stored[0]), &size) !=
            ERROR_SUCCESS ||
        type != REG_MULTI_SZ)
        return {};
    return stored.substr(0, size);
}

// The stored list as the double-NUL-ended list the service manager takes: its strings up to the
// first empty one.
std::string DependencyList(const std::string& stored) {
    std::string list;
    for (size_t at = 0; at < stored.size();) {
        const size_t end = stored.find('\0', at);
        const std::string name = stored.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (name.empty()) break;
        list += name + '\0';
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return list + '\0';
}

// A change that changes nothing is refused for a service marked for deletion. It names the
// dependencies as stored: Wine's manager rewrites the key without them on a change that names none.
bool MarkedForDeletion(SC_HANDLE service) {
    const std::string depends = DependencyList(StoredDependencies());
    return !ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                 nullptr, depends.c_str(), nullptr, nullptr, nullptr) &&
           GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

bool RunsAsLocalSystem(HANDLE process) {
    win::UniqueHandle token;
    BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    return OpenProcessToken(process, TOKEN_QUERY, token.Receive()) &&
           GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size) &&
           IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid);
}

// The service as its manager reports it. Every look opens and closes its own handles: a service
// marked for deletion goes only once nobody holds it open, this helper included.
class Scm : public setup::ServiceManager {
public:
    bool Look(setup::ServiceLook& look) override {
        look = setup::ServiceLook();
        win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager) return false;
        win::ServiceHandle service(
            OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
        if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        SERVICE_STATUS_PROCESS status = {};
        DWORD size = 0;
        if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &size))
            return false;
        look.exists = true;
        look.state = status.dwCurrentState;
        look.processId = status.dwCurrentState == SERVICE_STOPPED ? 0 : status.dwProcessId;
        look.marked = MarkedForDeletion(service.Get());
        m_image = ImagePath(service.Get());
        return true;
    }

    DWORD SendStop() override {
        win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        win::ServiceHandle service(manager ? OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_STOP) : nullptr);
        SERVICE_STATUS status = {};
        if (!service || !ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) return GetLastError();
        return ERROR_SUCCESS;
    }

    bool Follow(DWORD id) override {
        win::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
        // Opened by its id: it is the service's only if the manager still names that id now
        // that the handle keeps the id from being given to another process.
        setup::ServiceLook look;
        if (!process || !Look(look) || look.processId != id) return false;
        m_process = std::move(process);
        return true;
    }

    void FollowLeftover() override {
        if (m_image.empty()) return;
        const char* base = strrchr(m_image.c_str(), '\\');
        base = base ? base + 1 : m_image.c_str();
        win::FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snapshot) return;
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot.Get(), &entry); more; more = Process32Next(snapshot.Get(), &entry)) {
            if (lstrcmpiA(entry.szExeFile, base) != 0) continue;
            win::UniqueHandle process(
                OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
            char path[MAX_PATH * 2];
            DWORD size = sizeof path;
            if (process && QueryFullProcessImageNameA(process.Get(), 0, path, &size) && SamePath(path, m_image) &&
                RunsAsLocalSystem(process.Get())) {
                m_process = std::move(process);
                return;
            }
        }
    }

    bool FollowedEnded(DWORD ms) override {
        return !m_process || WaitForSingleObject(m_process.Get(), ms) == WAIT_OBJECT_0;
    }

    ULONGLONG Now() override { return GetTickCount64(); }
    void Pause(DWORD ms) override { Sleep(ms); }

private:
    std::string m_image;
    win::UniqueHandle m_process;
};

int Settle(setup::Goal goal) {
    Scm scm;
    const DWORD error = setup::Settle(scm, goal, kSettleMs);
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
        return Fail(error, "the service %s is marked for deletion and another program still holds it open; it goes when "
                           "that program closes it or Windows restarts: install again then",
                    TELVARIN_SERVICE_NAME);
    if (error != ERROR_SUCCESS)
        return Fail(error, "the service %s did not stop within 30 s", TELVARIN_SERVICE_NAME);
    return 0;
}

// --- the product's own records -----------------------------------------------------------------

// The note a new version leaves for the old version's removal in an upgrade (telvarin.wxs reads
// it): its product code; without one, the note is taken away.
constexpr char kUpgradeNote[] = "UpgradingTo";

int NoteUpgrade(const char* productCode) {
    win::RegKey key;
    LONG rc = productCode ? telvarin::CreateProtocolKey(TELVARIN_KEY_PRODUCT, KEY_SET_VALUE, key)
                          : telvarin::OpenProtocolKey(TELVARIN_KEY_PRODUCT, KEY_SET_VALUE, key);
    if (!productCode && rc == ERROR_FILE_NOT_FOUND) return 0;
    if (rc == ERROR_SUCCESS)
        rc = productCode ? RegSetValueExA(key.Get(), kUpgradeNote, 0, REG_SZ, reinterpret_cast<const BYTE*>(productCode),
                                          static_cast<DWORD>(strlen(productCode) + 1))
                         : RegDeleteValueA(key.Get(), kUpgradeNote);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return Fail(rc, "upgrade-note: HKLM\\%s", TELVARIN_KEY_PRODUCT);
    return 0;
}

// Removes HKLM\Software\Haskorn\Telvarin, which only this product writes (the client lock's
// published name, the client-access record); the vendor key goes too when nothing else is left in
// it, at the script's end (End), since the script's records are in it until then. The clients'
// values under SystemEvent stay: programs may still read them.
int Forget() {
    if (LONG rc = setup::DeleteKeyTree({TELVARIN_KEY_PRODUCT, telvarin::kProtocolView}))
        return Fail(rc, "forget: HKLM\\%s", TELVARIN_KEY_PRODUCT);
    return 0;
}

// --- the steps and their rollback twins ---------------------------------------------------------

const setup::KeyPlace kVendorKey = {TELVARIN_KEY_VENDOR, telvarin::kProtocolView};
const setup::KeyPlace kProductKey = {TELVARIN_KEY_PRODUCT, telvarin::kProtocolView};
const setup::KeyPlace kRootKey = {TELVARIN_KEY_ROOT, telvarin::kProtocolView};
const setup::KeyPlace kClientKeyPlaces[] = {{TELVARIN_KEY_STATUS_CONTROL, telvarin::kProtocolView},
                                            {TELVARIN_KEY_CURRENT_SETTING, telvarin::kProtocolView}};
const setup::KeyPlace kEventSourceKey = {TELVARIN_KEY_EVENT_SOURCE, 0};

int Saved(const char* product, const char* step, const setup::Record& record) {
    if (LONG rc = setup::SaveRecord(product, step, record))
        return Fail(rc, "%s: writing down what was there (nothing changed)", step);
    return 0;
}

// What client access and the product's own records touch: the product key with its values, the
// two client keys' DACLs, and whether each key on the way was there.
int RecordProductKeys(const char* product, const char* step) {
    setup::Record record;
    record.Set("kind", "keys");
    record.SetFlag("vendor.exists", setup::KeyExists(kVendorKey));
    record.SetFlag("root.exists", setup::KeyExists(kRootKey));
    setup::SnapshotValues(record, "product.", kProductKey);
    for (size_t i = 0; i < 2; ++i) setup::SnapshotDacl(record, std::string(kClientKeys[i]) + ".", kClientKeyPlaces[i]);
    return Saved(product, step, record);
}

// The vendor key, which holds the records too, is left to Undo.
LONG RestoreProductKeys(const setup::Record& record) {
    LONG result = ERROR_SUCCESS;
    for (size_t i = 0; i < 2; ++i)
        if (LONG rc = setup::RestoreDacl(record, std::string(kClientKeys[i]) + ".", kClientKeyPlaces[i])) result = rc;
    setup::DeleteIfEmptyAndNew(record, "root.", kRootKey);
    if (LONG rc = setup::RestoreValues(record, "product.", kProductKey)) result = rc;
    return result;
}

// The registration as the service manager holds it, the dependencies as stored (Wine's manager
// reports none for a list it keeps), and the event source's values.
int RecordRegistration(const char* product, const char* step) {
    setup::Record record;
    record.Set("kind", "registration");
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(manager ? OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG)
                                       : nullptr);
    if (!service && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
        return Fail(GetLastError(), "%s: reading the service %s (nothing changed)", step, TELVARIN_SERVICE_NAME);
    record.SetFlag("service.exists", service.IsValid());
    if (service) {
        record.Set("depends", StoredDependencies());
        DWORD size = 0;
        QueryServiceConfigA(service.Get(), nullptr, 0, &size);
        std::vector<BYTE> buffer(size ? size : 1);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        if (!QueryServiceConfigA(service.Get(), config, size, &size))
            return Fail(GetLastError(), "%s: reading the service %s (nothing changed)", step, TELVARIN_SERVICE_NAME);
        record.SetNumber("type", config->dwServiceType);
        record.SetNumber("start", config->dwStartType);
        record.SetNumber("error", config->dwErrorControl);
        record.Set("image", config->lpBinaryPathName ? config->lpBinaryPathName : "");
        record.Set("group", config->lpLoadOrderGroup ? config->lpLoadOrderGroup : "");
        record.Set("account", config->lpServiceStartName ? config->lpServiceStartName : "");
        record.Set("display", config->lpDisplayName ? config->lpDisplayName : "");
        record.SetFlag("marked", MarkedForDeletion(service.Get()));
    }
    setup::SnapshotValues(record, "source.", kEventSourceKey);
    return Saved(product, step, record);
}

LONG RestoreRegistration(const setup::Record& record) {
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) return static_cast<LONG>(GetLastError());
    LONG result = ERROR_SUCCESS;
    if (!record.Flag("service.exists")) {
        // Made by the step: stopped and deleted again.
        win::ServiceHandle service(OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, DELETE));
        if (service) {
            service.Reset();
            Scm scm;
            setup::Settle(scm, setup::Goal::Stopped, kSettleMs);
            service.Reset(OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, DELETE));
            if (service && !DeleteService(service.Get())) result = static_cast<LONG>(GetLastError());
        }
    } else if (!record.Flag("marked")) {
        std::string image, group, account, display;
        record.Get("image", image);
        record.Get("group", group);
        record.Get("account", account);
        record.Get("display", display);
        std::string stored;
        record.Get("depends", stored);
        const std::string depends = DependencyList(stored);
        win::ServiceHandle service(OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_CHANGE_CONFIG));
        const bool ok =
            service ? ChangeServiceConfigA(service.Get(), record.Number("type"), record.Number("start"), record.Number("error"),
                                           image.c_str(), group.empty() ? nullptr : group.c_str(), nullptr, depends.c_str(),
                                           nullptr, nullptr,
                                           display.c_str()) != FALSE
                    : win::ServiceHandle(CreateServiceA(manager.Get(), TELVARIN_SERVICE_NAME, display.c_str(), SERVICE_ALL_ACCESS,
                                                        record.Number("type"), record.Number("start"), record.Number("error"),
                                                        image.c_str(), group.empty() ? nullptr : group.c_str(), nullptr,
                                                        depends.c_str(),
                                                        account.empty() || account == "LocalSystem" ? nullptr : account.c_str(),
                                                        nullptr))
                          .IsValid();
        // A registration deleted while somebody holds it open cannot be made again until they
        // close it (ERROR_SERVICE_MARKED_FOR_DELETE): Windows' own limit.
        if (!ok) result = static_cast<LONG>(GetLastError());
    }
    if (LONG rc = setup::RestoreValues(record, "source.", kEventSourceKey)) result = rc;
    return result;
}

// The script's first step: the product's keys as the script found them (the service itself may
// make its key when it starts), after the upgrade note is gone, which no rollback brings back.
int Begin(const char* product) {
    setup::DeleteRecords(product);
    if (int rc = NoteUpgrade(nullptr)) return rc;
    return RecordProductKeys(product, "begin");
}

int End(const char* product) {
    setup::DeleteRecords(product);
    setup::DeleteIfEmpty(kVendorKey);
    return 0;
}

int Stop(const char* product) {
    setup::Record record;
    record.Set("kind", "run");
    setup::ServiceLook look;
    Scm scm;
    if (!scm.Look(look)) return Fail(GetLastError(), "stop: asking the service manager about %s", TELVARIN_SERVICE_NAME);
    record.SetFlag("ran", look.exists && look.state != SERVICE_STOPPED && !look.marked);
    if (int rc = Saved(product, "stop", record)) return rc;
    return Settle(setup::Goal::Stopped);
}

// The rollback of the stop: started again only when it ran before.
LONG RestoreRun(const setup::Record& record) {
    if (!record.Flag("ran")) return ERROR_SUCCESS;
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(
        manager ? OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_START | SERVICE_CHANGE_CONFIG) : nullptr);
    if (!service) return static_cast<LONG>(GetLastError());
    // Windows refuses to start one marked for deletion; Wine's manager does not.
    if (MarkedForDeletion(service.Get())) return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (!StartServiceA(service.Get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return static_cast<LONG>(GetLastError());
    return ERROR_SUCCESS;
}

// Runs `path` -InstSvc (the exe's own registration) and waits for it.
int RunInstSvc(const char* path) {
    std::string command = "\"" + Unquoted(path) + "\" -InstSvc";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return Fail(GetLastError(), "register: starting %s", command.c_str());
    win::UniqueHandle process(info.hProcess), thread(info.hThread);
    if (WaitForSingleObject(process.Get(), 60000) != WAIT_OBJECT_0)
        return Fail(ERROR_TIMEOUT, "register: %s did not end within 60 s", command.c_str());
    DWORD code = 1;
    GetExitCodeProcess(process.Get(), &code);
    if (code != 0) fprintf(stderr, "telvarin-setup: register: %s exited %lu\n", command.c_str(), static_cast<unsigned long>(code));
    return 0;
}

int Register(const char* product, const char* path) {
    if (int rc = RecordRegistration(product, "register")) return rc;
    if (int rc = RunInstSvc(path)) return rc;
    // Whatever -InstSvc answered, Telvarin must run the installed program now.
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(manager ? OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) return Fail(GetLastError(), "the service %s is not registered", TELVARIN_SERVICE_NAME);
    const std::string image = ImagePath(service.Get());
    if (!SamePath(image, Unquoted(path)))
        return Fail(ERROR_SERVICE_EXISTS, "the service Telvarin runs '%s', not '%s'", image.c_str(), path);
    return 0;
}

int Unregister(const char* product) {
    if (int rc = RecordRegistration(product, "unregister")) return rc;
    if (int rc = Settle(setup::Goal::Stopped)) return rc;
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(manager ? OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, DELETE) : nullptr);
    if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : Fail(GetLastError(), "opening the service %s", TELVARIN_SERVICE_NAME);
    if (!DeleteService(service.Get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return Fail(GetLastError(), "deleting the service %s", TELVARIN_SERVICE_NAME);
    return 0;
}

int Undo(const char* product, const char* step) {
    setup::Record record;
    const LONG loaded = setup::LoadRecord(product, step, record);
    if (loaded == ERROR_FILE_NOT_FOUND) return 0;  // the step never began
    if (loaded != ERROR_SUCCESS) return Fail(loaded, "undo %s: reading what the step found", step);
    std::string kind;
    record.Get("kind", kind);
    LONG rc = ERROR_INVALID_DATA;
    if (kind == "run") rc = RestoreRun(record);
    if (kind == "registration") rc = RestoreRegistration(record);
    if (kind == "keys") rc = RestoreProductKeys(record);
    setup::DeleteRecord(product, step);
    // The records were in the vendor key: only now can one that the step found missing go.
    if (kind == "keys") setup::DeleteIfEmptyAndNew(record, "vendor.", kVendorKey);
    return rc == ERROR_SUCCESS ? 0 : Fail(rc, "undo %s: putting back what the step found", step);
}

}  // namespace

int main(int argc, char** argv) {
    const char* command = argc > 1 ? argv[1] : "";
    const char* product = argc > 2 ? argv[2] : "";
    auto is = [&](const char* name, int count) { return argc == count && strcmp(command, name) == 0; };
    if (is("begin", 3)) return Begin(product);
    if (is("end", 3)) return End(product);
    if (is("stop", 3)) return Stop(product);
    if (is("settle", 2)) return Settle(setup::Goal::Registrable);
    if (is("register", 4)) return Register(product, argv[3]);
    if (is("unregister", 3)) return Unregister(product);
    // Client access and the product's own key: what is there written down first.
    const bool keys = is("grant", 4) || is("revoke", 3) || is("forget", 3);
    if (keys) {
        if (int rc = RecordProductKeys(product, command)) return rc;
        return is("grant", 4) ? Grant(argv[3]) : is("revoke", 3) ? Revoke() : Forget();
    }
    if (is("undo", 4)) return Undo(product, argv[3]);
    if (is("upgrade-note", 2) || is("upgrade-note", 3)) return NoteUpgrade(argc == 3 ? argv[2] : nullptr);
    fprintf(stderr, "usage: telvarin-setup begin CODE | end CODE | stop CODE | settle | register CODE PATH | unregister CODE | "
                    "grant CODE GROUP | revoke CODE | forget CODE | undo CODE STEP | upgrade-note [CODE]\n");
    return 2;
}
