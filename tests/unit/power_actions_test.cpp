#include <doctest/doctest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/power_api.h"
#include "core/service_log.h"
#include "power/power_actions.h"
#include "tests/unit/test_support.h"

using namespace testing;

namespace {

GLOBAL_POWER_POLICY g_policy{};
bool g_policyReadable = true;
int g_policyReads = 0;

BOOLEAN WINAPI FakeReadGlobalPwrPolicy(PGLOBAL_POWER_POLICY policy) {
    ++g_policyReads;
    if (!g_policyReadable) return FALSE;
    *policy = g_policy;
    // Only the low 8 bits of the result count: a true BOOLEAN.
    return TRUE;
}

// Stands in for the token, the power library and the power calls; records power requests.
class FakePower final : public PowerApi {
public:
    bool tokenOpens = true, privilegeKnown = true, adjustWorks = true;
    bool libraryPresent = true, entryPresent = true, statusReadable = true;
    DWORD requestError = 0;  // nonzero: power requests fail with this last error
    BYTE acLine = 1;
    std::vector<std::pair<BOOL, BOOL>> requests;
    DWORD lastAccess = 0;
    std::string lastPrivilege;
    DWORD lastAttributes = 0;

    BOOL OpenToken(DWORD access, HANDLE* token) override {
        lastAccess = access;
        if (!tokenOpens) return FALSE;
        *token = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // a real handle, closed by the caller
        return TRUE;
    }
    BOOL LookupPrivilege(const char* name, LUID* luid) override {
        lastPrivilege = name;
        luid->LowPart = 19;
        luid->HighPart = 0;
        return privilegeKnown;
    }
    BOOL AdjustPrivileges(HANDLE, TOKEN_PRIVILEGES* privileges) override {
        lastAttributes = privileges->PrivilegeCount == 1 ? privileges->Privileges[0].Attributes : 0;
        return adjustWorks;
    }
    HMODULE LoadPowerLibrary(const char* name) override {
        CHECK(std::string(name) == "POWRPROF.DLL");
        return libraryPresent ? LoadLibraryA("kernel32.dll") : nullptr;
    }
    FARPROC FindEntry(HMODULE, const char* name) override {
        CHECK(std::string(name) == "ReadGlobalPwrPolicy");
        return entryPresent ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(FakeReadGlobalPwrPolicy)) : nullptr;
    }
    BOOL QueryPowerStatus(SYSTEM_POWER_STATUS* status) override {
        if (!statusReadable) return FALSE;
        *status = SYSTEM_POWER_STATUS{};
        status->ACLineStatus = acLine;
        return TRUE;
    }
    BOOL RequestPowerState(BOOL suspend, BOOL force) override {
        requests.emplace_back(suspend, force);
        if (!requestError) return TRUE;
        SetLastError(requestError);
        return FALSE;
    }
};

// The power actions alone, with the fake platform calls and a recorded log.
struct PowerFixture {
    RecordingEventLog log;
    ServiceLog serviceLog{log};
    FakePower power;
    ActivityBoard activity;
    PowerActions actions{power, activity, serviceLog};
    PowerFixture() {
        g_policy = GLOBAL_POWER_POLICY{};
        g_policyReadable = true;
        g_policyReads = 0;
    }
    void Policy(POWER_ACTION ac, POWER_ACTION dc) {
        g_policy.user.SleepButtonAc.Action = ac;
        g_policy.user.SleepButtonDc.Action = dc;
    }
};

const std::pair<BOOL, BOOL> kSleep{TRUE, FALSE};
const std::pair<BOOL, BOOL> kHibernate{FALSE, FALSE};

}  // namespace

TEST_CASE("the sleep button follows the policy entry of the present power source") {
    PowerFixture f;
    SUBCASE("on battery the battery entry decides: sleep") {
        f.power.acLine = 0;
        f.Policy(PowerActionHibernate, PowerActionSleep);
        f.actions.SleepPerPolicy();
        CHECK(f.power.requests == std::vector<std::pair<BOOL, BOOL>>{kSleep});
    }
    SUBCASE("on line power the line entry decides: hibernate") {
        f.power.acLine = 1;
        f.Policy(PowerActionHibernate, PowerActionSleep);
        f.actions.SleepPerPolicy();
        CHECK(f.power.requests == std::vector<std::pair<BOOL, BOOL>>{kHibernate});
    }
    SUBCASE("an undetermined line status (255) takes the line entry") {
        f.power.acLine = 255;
        f.Policy(PowerActionSleep, PowerActionHibernate);
        f.actions.SleepPerPolicy();
        CHECK(f.power.requests == std::vector<std::pair<BOOL, BOOL>>{kSleep});
    }
    SUBCASE("'do nothing' makes no request, on either power source; other actions hibernate") {
        f.Policy(PowerActionNone, PowerActionNone);
        f.actions.SleepPerPolicy();
        f.power.acLine = 0;
        f.actions.SleepPerPolicy();
        f.Policy(PowerActionNone, PowerActionShutdownOff);
        f.actions.SleepPerPolicy();
        CHECK(f.power.requests == std::vector<std::pair<BOOL, BOOL>>{kHibernate});
    }
    CHECK(f.power.lastPrivilege == "SeShutdownPrivilege");
    CHECK(f.power.lastAccess == (TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY));
    CHECK(f.power.lastAttributes == SE_PRIVILEGE_ENABLED);
    CHECK(f.log.Events().empty());  // a request that works reports nothing
}

TEST_CASE("a failed power request is reported with its error code") {
    PowerFixture f;
    f.power.requestError = ERROR_PRIVILEGE_NOT_HELD;
    f.Policy(PowerActionSleep, PowerActionSleep);
    f.actions.SleepPerPolicy();
    f.actions.Hibernate();
    CHECK(f.log.Texts() == std::vector<std::string>{"Sleep failed, error 1314", "Hibernation failed, error 1314"});
}

TEST_CASE("without a readable policy the sleep button hibernates") {
    PowerFixture f;
    f.Policy(PowerActionSleep, PowerActionSleep);
    SUBCASE("no POWRPROF.DLL") { f.power.libraryPresent = false; }
    SUBCASE("no ReadGlobalPwrPolicy in it") { f.power.entryPresent = false; }
    SUBCASE("no power status") { f.power.statusReadable = false; }
    SUBCASE("the policy read fails") { g_policyReadable = false; }
    f.actions.SleepPerPolicy();
    CHECK(f.power.requests == std::vector<std::pair<BOOL, BOOL>>{kHibernate});
}

TEST_CASE("hibernation reads no policy") {
    PowerFixture f;
    f.Policy(PowerActionSleep, PowerActionSleep);
    f.actions.Hibernate();
    CHECK(f.power.requests == std::vector<std::pair<BOOL, BOOL>>{kHibernate});
    CHECK(g_policyReads == 0);
}

TEST_CASE("without the shutdown privilege no power request is made") {
    PowerFixture f;
    SUBCASE("the token does not open") { f.power.tokenOpens = false; }
    SUBCASE("the privilege is unknown") { f.power.privilegeKnown = false; }
    SUBCASE("the adjustment fails") { f.power.adjustWorks = false; }
    CHECK(f.actions.EnableShutdownPrivilege() == 0);
    f.actions.Hibernate();
    f.actions.SleepPerPolicy();
    CHECK(f.power.requests.empty());
    CHECK(g_policyReads == 0);
}
