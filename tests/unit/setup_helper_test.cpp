// The setup helper: its wait for the service (packaging/settle.h) against a service manager the
// test plays: Windows' manager refuses a stop while a service starts (Wine's passes it on), a
// process outlives STOPPED, a deleted service stays while someone else holds it open; and the records
// a deferred step leaves its rollback twin (packaging/records.h), and who may make or change them.
#include <doctest/doctest.h>

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <string>

#include "common/key_security.h"
#include "common/win_raii.h"
#include "packaging/records.h"
#include "packaging/settle.h"

namespace {

constexpr DWORD kServicePid = 4242;
constexpr DWORD kBoundMs = 30000;

class PlayedService : public setup::ServiceManager {
public:
    // How it behaves.
    DWORD state = SERVICE_RUNNING;
    int startingLooks = 0;      // looks for which it is still starting (and refuses a stop)
    ULONGLONG exitDelayMs = 0;  // its process outlives STOPPED by this long
    bool marked = false;        // marked for deletion: goes once stopped, unless
    bool heldOpen = false;      // somebody else holds it open
    // What the settle did.
    int stopsSent = 0, stopsTaken = 0;
    bool leftoverSought = false;
    ULONGLONG now = 0, exitAt = 0;

    bool Look(setup::ServiceLook& look) override {
        if (state == SERVICE_START_PENDING && startingLooks-- <= 0) state = SERVICE_RUNNING;
        if (state == SERVICE_STOP_PENDING) {
            state = SERVICE_STOPPED;
            exitAt = now + exitDelayMs;
        }
        if (marked && !heldOpen && state == SERVICE_STOPPED && now >= exitAt) m_exists = false;
        look = setup::ServiceLook();
        look.exists = m_exists;
        look.state = state;
        look.processId = state == SERVICE_STOPPED ? 0 : kServicePid;
        look.marked = marked;
        return true;
    }
    DWORD SendStop() override {
        ++stopsSent;
        if (state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
        if (state != SERVICE_RUNNING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        ++stopsTaken;
        state = SERVICE_STOP_PENDING;
        return ERROR_SUCCESS;
    }
    bool Follow(DWORD id) override { return m_followed = id == kServicePid; }
    void FollowLeftover() override { leftoverSought = true; }
    bool FollowedEnded(DWORD ms) override {
        if (m_followed) now = std::max(now, std::min(now + ms, exitAt));
        return !m_followed || now >= exitAt;
    }
    ULONGLONG Now() override { return now; }
    void Pause(DWORD ms) override { now += ms; }

private:
    bool m_exists = true;
    bool m_followed = false;
};

}  // namespace

TEST_CASE("settle stop: a stop refused while the service starts is sent again until taken; its own process is awaited") {
    PlayedService service;
    service.state = SERVICE_START_PENDING;
    service.startingLooks = 5;
    service.exitDelayMs = 2000;
    CHECK(setup::Settle(service, setup::Goal::Stopped, kBoundMs) == ERROR_SUCCESS);
    CHECK(service.stopsSent == 6);
    CHECK(service.stopsTaken == 1);
    // Done only once the process the manager named has ended, and no other was looked for.
    CHECK(service.state == SERVICE_STOPPED);
    CHECK(service.now >= service.exitAt);
    CHECK(service.exitAt >= 2000);
    CHECK_FALSE(service.leftoverSought);

    PlayedService stopped;  // stopped by someone else already, its process no longer named
    stopped.state = SERVICE_STOPPED;
    CHECK(setup::Settle(stopped, setup::Goal::Stopped, kBoundMs) == ERROR_SUCCESS);
    CHECK((stopped.leftoverSought && stopped.stopsSent == 0 && stopped.now == 0));
}

TEST_CASE("settle: every wait ends at its bound; a deleted service that someone holds open is told apart") {
    PlayedService starting;  // never takes the stop
    starting.state = SERVICE_START_PENDING;
    starting.startingLooks = 1000000;
    CHECK(setup::Settle(starting, setup::Goal::Stopped, kBoundMs) == ERROR_TIMEOUT);
    CHECK((starting.now >= kBoundMs && starting.now < kBoundMs + 200));

    PlayedService running;  // a registration leaves a service that is not to be deleted alone
    CHECK(setup::Settle(running, setup::Goal::Registrable, kBoundMs) == ERROR_SUCCESS);
    CHECK((running.stopsSent == 0 && running.now == 0));

    PlayedService marked;  // a marked one is stopped, then goes
    marked.marked = true;
    marked.exitDelayMs = 500;
    CHECK(setup::Settle(marked, setup::Goal::Registrable, kBoundMs) == ERROR_SUCCESS);
    CHECK((marked.stopsTaken == 1 && marked.now < 1000));

    PlayedService held;  // a marked one that somebody else keeps open
    held.marked = held.heldOpen = true;
    CHECK(setup::Settle(held, setup::Goal::Registrable, kBoundMs) == ERROR_SERVICE_MARKED_FOR_DELETE);
    CHECK((held.now >= kBoundMs && held.now < kBoundMs + 200));
    // Its files are free, though: a removal need not wait for it to go.
    held.now = 0;
    CHECK(setup::Settle(held, setup::Goal::Stopped, kBoundMs) == ERROR_SUCCESS);
}

// --- what a step writes down for its rollback twin (packaging/records.h) -------------------------

TEST_CASE("a record keeps any bytes, and one written only in part is not read at all") {
    setup::Record record;
    record.Set("image", std::string("\"C:\\a b\\x.exe\"\0=\n", 18));
    record.SetNumber("start", SERVICE_AUTO_START);
    record.SetFlag("ran", false);
    setup::Record read;
    REQUIRE(read.Parse(record.Text()));
    std::string image;
    CHECK((read.Get("image", image) && image == std::string("\"C:\\a b\\x.exe\"\0=\n", 18)));
    CHECK(read.Number("start") == SERVICE_AUTO_START);
    CHECK_FALSE(read.Flag("ran"));
    const std::string text = record.Text();
    CHECK_FALSE(read.Parse(text.substr(0, text.size() - 4)));  // no closing line: a step cut short
    CHECK_FALSE(read.Parse("image=4g\nend\n"));
}

TEST_CASE("a key put back holds exactly the values found, and one that was not there is gone with its subkeys") {
    const setup::KeyPlace place = {"Software\\Haskorn\\TelvarinRecordTest", KEY_WOW64_32KEY};
    setup::DeleteKeyTree(place);
    win::RegKey key;
    REQUIRE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, place.path, 0, nullptr, 0, KEY_ALL_ACCESS | place.view, nullptr,
                            key.Receive(), nullptr) == ERROR_SUCCESS);
    const DWORD one = 1, two = 2;
    RegSetValueExA(key.Get(), "kept", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    RegSetValueExA(key.Get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>("default"), 8);
    setup::Record found;
    setup::SnapshotValues(found, "k.", place);
    // What a step might do: change a value, delete one, add one.
    RegSetValueExA(key.Get(), "kept", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), sizeof two);
    RegDeleteValueA(key.Get(), "");
    RegSetValueExA(key.Get(), "added", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), sizeof two);
    REQUIRE(setup::RestoreValues(found, "k.", place) == ERROR_SUCCESS);
    DWORD data = 0, size = sizeof data;
    CHECK((RegQueryValueExA(key.Get(), "kept", nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS &&
           data == 1));
    char text[16] = {};
    size = sizeof text;
    CHECK((RegQueryValueExA(key.Get(), "", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS &&
           std::string(text) == "default"));
    CHECK(RegQueryValueExA(key.Get(), "added", nullptr, nullptr, nullptr, nullptr) == ERROR_FILE_NOT_FOUND);
    key.Reset();

    setup::DeleteKeyTree(place);
    setup::Record absent;
    setup::SnapshotValues(absent, "k.", place);
    const std::string sub = std::string(place.path) + "\\made";
    REQUIRE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | place.view, nullptr,
                            key.Receive(), nullptr) == ERROR_SUCCESS);
    key.Reset();
    REQUIRE(setup::RestoreValues(absent, "k.", place) == ERROR_SUCCESS);
    CHECK_FALSE(setup::KeyExists(place));
}

namespace {

// A standard user: this process's token with Administrators made deny-only (under Wine every
// process has the same administrator token, so what others may do shows only in descriptors).
class StandardUser {
public:
    StandardUser() {
        win::UniqueHandle token;
        REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, token.Receive()));
        BYTE admins[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof admins;
        REQUIRE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
        SID_AND_ATTRIBUTES denyOnly = {admins, 0};
        win::UniqueHandle restricted;
        REQUIRE(CreateRestrictedToken(token.Get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, restricted.Receive()));
        REQUIRE(DuplicateToken(restricted.Get(), SecurityImpersonation, m_user.Receive()));
        REQUIRE(DuplicateToken(token.Get(), SecurityImpersonation, m_admin.Receive()));
    }
    // Whether the user, or with `admin` this process, may have all of `access` to the key.
    bool May(const char* path, ACCESS_MASK access, bool admin = false) const {
        win::RegKey key;
        REQUIRE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL | KEY_WOW64_32KEY, key.Receive()) == ERROR_SUCCESS);
        win::LocalMemory descriptor;
        REQUIRE(win::ReadKeySecurity(key.Get(), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     descriptor) == ERROR_SUCCESS);
        GENERIC_MAPPING mapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
        PRIVILEGE_SET privileges;
        DWORD privilegesSize = sizeof privileges, granted = 0;
        BOOL allowed = FALSE;
        REQUIRE(AccessCheck(descriptor.Get(), (admin ? m_admin : m_user).Get(), access, &mapping, &privileges, &privilegesSize,
                            &granted, &allowed));
        return allowed != FALSE;
    }

private:
    win::UniqueHandle m_user, m_admin;
};

// What would let a user change a record, or make the key where a step would look for one.
constexpr ACCESS_MASK kChanges[] = {KEY_SET_VALUE, KEY_CREATE_SUB_KEY, DELETE, WRITE_DAC, WRITE_OWNER};

void MakeKeyAs(const char* path, const char* sddl) {
    win::LocalMemory descriptor;
    REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, descriptor.Receive(), nullptr));
    win::RegKey key;
    REQUIRE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.Receive(),
                            nullptr) == ERROR_SUCCESS);
    REQUIRE(RegSetKeySecurity(key.Get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor.Get()) ==
            ERROR_SUCCESS);
}

}  // namespace

TEST_CASE("records are kept where a standard user can neither make nor change them; a record others could write is not read") {
    const char* const product = "{7E1A0000-0000-4000-8000-00000000C0DE}";
    const std::string records = setup::kRecordsPlace.path, ours = records + "\\" + product;
    const std::string vendor = records.substr(0, records.rfind('\\'));
    setup::DeleteKeyTree(setup::kRecordsPlace);
    setup::Record record;
    record.Set("image", "\"C:\\Program Files\\Telvarin\\telvarin.exe\"");
    REQUIRE(setup::SaveRecord(product, "register", record) == ERROR_SUCCESS);
    const StandardUser user;
    for (const std::string& path : {records, ours})
        for (ACCESS_MASK access : kChanges) {
            CAPTURE(path);
            CAPTURE(access);
            CHECK_FALSE(user.May(path.c_str(), access));
            CHECK(user.May(path.c_str(), access, true));  // the check can say yes
        }
    // Nor can one make the records' key before a step does.
    CHECK_FALSE(user.May(vendor.c_str(), KEY_CREATE_SUB_KEY));
    setup::Record read;
    std::string image;
    REQUIRE(setup::LoadRecord(product, "register", read) == ERROR_SUCCESS);
    CHECK((read.Get("image", image) && image == "\"C:\\Program Files\\Telvarin\\telvarin.exe\""));

    // Made by somebody else (where an administrator widened the vendor key's security): open to
    // users, or owned by them (an owner may rewrite the DACL), holding a record that names their
    // program. It is not read, and the next record a step saves is in a key made again.
    setup::Record planted;
    planted.Set("image", "C:\\Users\\Public\\mine.exe");
    const std::string text = planted.Text();
    for (const char* squat : {"O:BAD:(A;CI;KA;;;BU)(A;CI;KA;;;BA)", "O:BUD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)"}) {
        CAPTURE(squat);
        setup::DeleteKeyTree(setup::kRecordsPlace);
        MakeKeyAs(records.c_str(), squat);
        win::RegKey key;
        REQUIRE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ours.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr,
                                key.Receive(), nullptr) == ERROR_SUCCESS);
        REQUIRE(RegSetValueExA(key.Get(), "register", 0, REG_BINARY, reinterpret_cast<const BYTE*>(text.data()),
                               static_cast<DWORD>(text.size())) == ERROR_SUCCESS);
        key.Reset();
        CHECK(setup::LoadRecord(product, "register", read) == ERROR_INVALID_SECURITY_DESCR);
        REQUIRE(setup::SaveRecord(product, "begin", record) == ERROR_SUCCESS);
        CHECK(setup::LoadRecord(product, "register", read) == ERROR_FILE_NOT_FOUND);
        CHECK(setup::LoadRecord(product, "begin", read) == ERROR_SUCCESS);
        CHECK_FALSE(user.May(records.c_str(), KEY_SET_VALUE | WRITE_DAC));
    }

    // Deleting the last record takes the keys it emptied along; the vendor key stays.
    setup::DeleteRecord(product, "begin");
    CHECK_FALSE(setup::KeyExists(setup::kRecordsPlace));
    CHECK(setup::KeyExists({vendor.c_str(), KEY_WOW64_32KEY}));
}
