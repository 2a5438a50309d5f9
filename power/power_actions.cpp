// Sleep and hibernation on firmware request. Nothing is remembered between requests: the token
// is opened, the power library loaded and the policy read anew each time.
#include "power/power_actions.h"

#include "common/win_raii.h"
#include "core/service_log.h"

namespace {

class Win32PowerApi final : public PowerApi {
public:
    BOOL OpenToken(DWORD access, HANDLE* token) override {
        return ::OpenProcessToken(GetCurrentProcess(), access, token);
    }
    BOOL LookupPrivilege(const char* name, LUID* luid) override {
        return ::LookupPrivilegeValueA(nullptr, name, luid);
    }
    BOOL AdjustPrivileges(HANDLE token, TOKEN_PRIVILEGES* privileges) override {
        return ::AdjustTokenPrivileges(token, FALSE, privileges, 0, nullptr, nullptr);
    }
    HMODULE LoadPowerLibrary(const char* name) override { return ::LoadLibraryA(name); }
    FARPROC FindEntry(HMODULE module, const char* name) override { return ::GetProcAddress(module, name); }
    BOOL QueryPowerStatus(SYSTEM_POWER_STATUS* status) override { return ::GetSystemPowerStatus(status); }
    BOOL RequestPowerState(BOOL suspend, BOOL force) override { return ::SetSystemPowerState(suspend, force); }
};

using ReadGlobalPwrPolicyProc = BOOLEAN(WINAPI*)(PGLOBAL_POWER_POLICY);

}  // namespace

PowerApi& SystemPowerApi() {
    static Win32PowerApi api;
    return api;
}

int PowerActions::EnableShutdownPrivilege() {
    win::UniqueHandle token;
    if (!m_api.OpenToken(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Receive())) return 0;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!m_api.LookupPrivilege("SeShutdownPrivilege", &privileges.Privileges[0].Luid)) return 0;
    if (!m_api.AdjustPrivileges(token.Get(), &privileges)) return 0;
    return 1;
}

POWER_ACTION PowerActions::SleepButtonAction() {
    // Found at run time: without the power library the service falls back to hibernation.
    win::Library library(m_api.LoadPowerLibrary("POWRPROF.DLL"));
    if (!library) return PowerActionHibernate;
    auto readPolicy =
        reinterpret_cast<ReadGlobalPwrPolicyProc>(reinterpret_cast<void*>(m_api.FindEntry(library.Get(), "ReadGlobalPwrPolicy")));
    if (!readPolicy) return PowerActionHibernate;
    SYSTEM_POWER_STATUS power{};
    if (!m_api.QueryPowerStatus(&power)) return PowerActionHibernate;
    GLOBAL_POWER_POLICY policy{};
    if (!readPolicy(&policy)) return PowerActionHibernate;
    // Only "off line" (0) picks the battery entry; on line (1) and unknown (255) take the other.
    return power.ACLineStatus == 0 ? policy.user.SleepButtonDc.Action : policy.user.SleepButtonAc.Action;
}

void PowerActions::RequestPowerState(bool sleep) {
    BOOL done;
    {
        Doing doing(m_activity, "SetSystemPowerState");
        done = m_api.RequestPowerState(sleep ? TRUE : FALSE, FALSE);
    }
    if (done) return;
    const DWORD error = GetLastError();
    char text[64];
    wsprintfA(text, "%s failed, error %lu", sleep ? "Sleep" : "Hibernation", error);
    m_log.Text(EVENTLOG_WARNING_TYPE, text);
}

void PowerActions::Hibernate() {
    if (EnableShutdownPrivilege() == 1) RequestPowerState(false);
}

void PowerActions::SleepPerPolicy() {
    if (EnableShutdownPrivilege() != 1) return;
    const POWER_ACTION action = SleepButtonAction();
    // A sleep button set to "Do nothing" does nothing; every other action but sleep hibernates.
    if (action == PowerActionNone) return;
    RequestPowerState(action == PowerActionSleep);
}
