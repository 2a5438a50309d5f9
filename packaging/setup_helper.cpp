// telvarin-setup: the MSI's own helper, run by its custom actions as LocalSystem from the
// package's Binary table (it is never installed).
//
//   telvarin-setup grant GROUP   GROUP (a SID such as S-1-5-4, or an account name) may query, set
//                                and watch StatusControl and CurrentSetting; a key that does not
//                                exist yet is created with default security first. The group is
//                                remembered by its SID, with the keys that got its ACE here.
//   telvarin-setup revoke        takes away exactly what grant added, by the remembered SID; the
//                                keys stay. Nothing remembered: nothing to do.
//   telvarin-setup forget        removes the product's own key HKLM\Software\Haskorn\Telvarin (the
//                                client lock's name, the client-access record), and the vendor
//                                key when nothing else is in it; the clients' SystemEvent values stay
//   telvarin-setup upgrade-note [CODE]
//                                leaves the note that the old version's removal in an upgrade
//                                reads (UpgradingTo = CODE, the new product code, in the same key),
//                                or without CODE takes it away
//   telvarin-setup settle stop   stops Telvarin, sending the stop again until the service takes it,
//                                and waits up to 30 s until it is stopped and the process the
//                                service manager named as its own has ended. No other process is
//                                waited for: any user may run the installed program.
//   telvarin-setup settle        before a registration: waits up to 30 s until no Telvarin marked
//                                for deletion is left (a marked one is stopped first)
//   telvarin-setup start         starts Telvarin when it is registered (the rollback of the stop)
//   telvarin-setup verify PATH   the service Telvarin exists and runs the program PATH
//   telvarin-setup unregister PATH
//                                stops and deletes Telvarin, but only when it runs PATH
//
// Exit code 0 when done; on failure a Windows error (1332: GROUP names nothing; 1460: timed out;
// 1072: a Telvarin marked for deletion is still held open; 1073: Telvarin runs another program),
// which the installer's log shows, and one line on stderr; 2 on a bad command line.
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
struct Record {
    std::string group;
    std::vector<std::string> keys;
    bool keysKnown = false;  // a record without the list names the group only
};

bool ReadRecord(Record& record) {
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

LONG WriteRecord(const Record& record) {
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

void DeleteRecord() {
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
    Record record;
    if (!ReadRecord(record)) return 0;
    std::vector<BYTE> sid = ResolveGroup(record.group.c_str());
    if (!record.keysKnown) record.keys.assign(std::begin(kClientKeys), std::end(kClientKeys));
    for (const std::string& name : record.keys) {
        bool changed = false;
        LONG rc = sid.empty() ? ERROR_SUCCESS : EditKey(name.c_str(), sid.data(), Edit::Revoke, changed);
        if (rc != ERROR_SUCCESS) return Fail(rc, "revoke: HKLM\\%s\\%s", TELVARIN_KEY_ROOT, name.c_str());
    }
    DeleteRecord();
    return 0;
}

int Grant(const char* group) {
    std::vector<BYTE> sid = ResolveGroup(group);
    if (sid.empty())
        return Fail(ERROR_NONE_MAPPED, "CLIENTACCESSGROUP '%s' names no account or SID: nothing granted", group);
    Record record;
    const bool remembered = ReadRecord(record);
    const std::string sidText = SidText(sid.data());
    // Another group than the remembered one: the old grant goes first.
    if (remembered && record.group != sidText) {
        if (int rc = Revoke()) return rc;
        record = Record();
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
    if (LONG rc = WriteRecord(record)) return Fail(rc, "grant: recording the group in HKLM\\%s", TELVARIN_KEY_PRODUCT);
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

bool MarkedForDeletion(SC_HANDLE service) {
    return !ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr) &&
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

// The rollback of the stop: an install that fails leaves the service running, as it found it.
// One marked for deletion stays stopped (Windows refuses to start it; Wine's manager does not).
int Start() {
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(
        manager ? OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_START | SERVICE_CHANGE_CONFIG) : nullptr);
    if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : Fail(GetLastError(), "opening the service %s", TELVARIN_SERVICE_NAME);
    if (MarkedForDeletion(service.Get())) return 0;
    if (!StartServiceA(service.Get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return Fail(GetLastError(), "starting the service %s", TELVARIN_SERVICE_NAME);
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
// published name, the client-access record), and the vendor key when nothing else is left in it.
// The clients' values under SystemEvent stay: programs may still read them.
int Forget() {
    win::RegKey vendor;
    LONG rc = telvarin::OpenProtocolKey(TELVARIN_KEY_VENDOR, KEY_ALL_ACCESS, vendor);
    if (rc == ERROR_FILE_NOT_FOUND) return 0;
    if (rc != ERROR_SUCCESS) return Fail(rc, "forget: HKLM\\%s", TELVARIN_KEY_VENDOR);
    const char* product = TELVARIN_KEY_PRODUCT + sizeof TELVARIN_KEY_VENDOR;  // the name under the vendor key
    win::RegKey key;
    rc = RegOpenKeyExA(vendor.Get(), product, 0, KEY_ALL_ACCESS | telvarin::kProtocolView, key.Receive());
    if (rc == ERROR_SUCCESS) rc = RegDeleteTreeA(key.Get(), nullptr);
    key.Reset();
    if (rc == ERROR_SUCCESS) rc = RegDeleteKeyExA(vendor.Get(), product, telvarin::kProtocolView, 0);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return Fail(rc, "forget: HKLM\\%s", TELVARIN_KEY_PRODUCT);
    DWORD subkeys = 0, values = 0;
    if (RegQueryInfoKeyA(vendor.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) == ERROR_SUCCESS &&
        subkeys == 0 && values == 0) {
        vendor.Reset();
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, TELVARIN_KEY_VENDOR, telvarin::kProtocolView, 0);
    }
    return 0;
}

int Verify(const char* expected) {
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(manager ? OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) return Fail(GetLastError(), "the service %s is not registered", TELVARIN_SERVICE_NAME);
    const std::string image = ImagePath(service.Get());
    if (!SamePath(image, Unquoted(expected)))
        return Fail(ERROR_SERVICE_EXISTS, "the service Telvarin runs '%s', not '%s'", image.c_str(), expected);
    return 0;
}

int Unregister(const char* expected) {
    {
        win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        win::ServiceHandle service(manager ? OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_QUERY_CONFIG | DELETE)
                                           : nullptr);
        // Not ours (another program's registration): left as it was found.
        if (!service || !SamePath(ImagePath(service.Get()), Unquoted(expected))) return 0;
    }
    Settle(setup::Goal::Stopped);
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(manager ? OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, DELETE) : nullptr);
    if (service && !DeleteService(service.Get())) return Fail(GetLastError(), "deleting the service %s", TELVARIN_SERVICE_NAME);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* command = argc > 1 ? argv[1] : "";
    if (argc == 3 && strcmp(command, "grant") == 0) return Grant(argv[2]);
    if (argc == 2 && strcmp(command, "revoke") == 0) return Revoke();
    if (argc == 2 && strcmp(command, "settle") == 0) return Settle(setup::Goal::Registrable);
    if (argc == 3 && strcmp(command, "settle") == 0 && strcmp(argv[2], "stop") == 0) return Settle(setup::Goal::Stopped);
    if (argc == 2 && strcmp(command, "start") == 0) return Start();
    if ((argc == 2 || argc == 3) && strcmp(command, "upgrade-note") == 0) return NoteUpgrade(argc == 3 ? argv[2] : nullptr);
    if (argc == 2 && strcmp(command, "forget") == 0) return Forget();
    if (argc == 3 && strcmp(command, "verify") == 0) return Verify(argv[2]);
    if (argc == 3 && strcmp(command, "unregister") == 0) return Unregister(argv[2]);
    fprintf(stderr, "usage: telvarin-setup grant GROUP | revoke | forget | upgrade-note [CODE] | settle [stop] | start | verify PATH | "
                    "unregister PATH\n");
    return 2;
}
