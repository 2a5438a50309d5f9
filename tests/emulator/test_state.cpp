#include "emu_test.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <map>
#include <vector>

using emutest::Fixture;
using emutest::TempFile;

namespace {

void WriteFile(const std::wstring& path, const void* data, DWORD size) {
    win::FileHandle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    REQUIRE(f);
    DWORD written = 0;
    REQUIRE(::WriteFile(f.Get(), data, size, &written, nullptr));
    REQUIRE(written == size);
}

// Restores this run's state file however the test ends.
struct PathScope {
    explicit PathScope(const std::wstring& path) { fwemu::SetStatePath(path.c_str()); }
    ~PathScope() { fwemu::SetStatePath(TempFile(L"state").c_str()); }
};

}  // namespace

TEST_CASE("a corrupt, foreign, short or newer state file is refused with a message, never used") {
    std::vector<char> data(64 * 1024, 0);
    std::string expect;
    std::wstring path;
    SUBCASE("foreign bytes") {
        path = TempFile(L"foreign");
        memset(data.data(), 'x', data.size());
        expect = "bad magic";
    }
    SUBCASE("right magic, newer version") {
        path = TempFile(L"version");
        uint32_t header[4] = {0x45574654, 99, 0, 0};
        memcpy(data.data(), header, sizeof(header));
        expect = "version 99";
    }
    SUBCASE("valid header, truncated file") {
        path = TempFile(L"short");
        fwemu::SetStatePath(TempFile(L"state").c_str());
        fwemu::Controller good;
        REQUIRE(good.Ok());
        // Borrow a valid header from a real block.
        win::FileHandle f(CreateFileW(TempFile(L"state").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        REQUIRE(f);
        DWORD got = 0;
        REQUIRE(ReadFile(f.Get(), data.data(), 16, &got, nullptr));
        expect = "bytes, expected";
    }
    SUBCASE("a few bytes") {
        path = TempFile(L"tiny");
        data.resize(3);
        expect = "too short";
    }
    WriteFile(path, data.data(), static_cast<DWORD>(data.size()));
    PathScope scope(path);

    fwemu::Controller c;
    CHECK(!c.Ok());
    CHECK(c.Error().find(expect) != std::string::npos);
    CHECK(!c.Reset());

    ComPtr<IWbemLocator> locator;
    REQUIRE(fwemu::CreateLocator(locator.GetAddressOf()) == S_OK);
    ComPtr<IWbemServices> svc;
    win::Bstr ns(L"ROOT\\WMI");
    CHECK(locator->ConnectServer(ns.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, svc.GetAddressOf()) ==
          WBEM_E_INITIALIZATION_FAILURE);
    CHECK(!svc);

    // Forcing rewrites it as a fresh block that then works.
    std::string error;
    REQUIRE(fwemu::Controller::ForceReset(&error));
    fwemu::Controller after;
    CHECK(after.Ok());
}

TEST_CASE("a block overwritten while in use makes calls fail instead of reading garbage") {
    Fixture fx;
    auto svc = fx.Connect();
    ComPtr<IWbemClassObject> out;
    REQUIRE(emutest::Call9610(svc.Get(), 0x5D, &out) == WBEM_S_NO_ERROR);
    {
        win::FileHandle f(CreateFileW(fwemu::StatePath().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        REQUIRE(f);
        uint32_t junk = 0xDEADBEEF;
        DWORD written = 0;
        REQUIRE(::WriteFile(f.Get(), &junk, sizeof(junk), &written, nullptr));
    }
    CHECK(emutest::Call9610(svc.Get(), 0x5D, &out) == WBEM_E_INITIALIZATION_FAILURE);
    CHECK(!fx.Ctl().Reset());
    std::string error;
    REQUIRE(fwemu::Controller::ForceReset(&error));
    CHECK(emutest::Call9610(svc.Get(), 0x5D, &out) == WBEM_S_NO_ERROR);
}

TEST_CASE("every object handed out is counted until released, and published for the controller") {
    Fixture fx;
    const LONG baseline = fwemu::LiveObjects();
    {
        auto svc = fx.Connect();
        ComPtr<IWbemClassObject> out;
        REQUIRE(emutest::Call9610(svc.Get(), 0x5D, &out) == WBEM_S_NO_ERROR);
        ComPtr<IEnumWbemClassObject> e;
        win::Bstr wql(L"WQL"), q(L"SELECT * FROM OrvButtonEvent");
        REQUIRE(svc->ExecNotificationQuery(wql.Get(), q.Get(), 0, nullptr, e.GetAddressOf()) == WBEM_S_NO_ERROR);
        REQUIRE(fx.Ctl().InjectEvent(1));
        ComPtr<IWbemClassObject> ev;
        ULONG got = 0;
        REQUIRE(e->Next(1000, 1, ev.GetAddressOf(), &got) == WBEM_S_NO_ERROR);
        // services, out-params, enumerator, event (the locator is gone already)
        CHECK(fwemu::LiveObjects() == baseline + 4);

        std::vector<fwemu::LiveEntry> live;
        REQUIRE(fx.Ctl().GetLive(&live));
        bool found = false;
        for (const auto& entry : live) {
            if (entry.pid != GetCurrentProcessId()) continue;
            found = true;
            CHECK(entry.alive);
            CHECK(entry.count == fwemu::LiveObjects());
        }
        CHECK(found);
    }
    CHECK(fwemu::LiveObjects() == baseline);
}

namespace {

struct LocalTraits {
    using Value = HLOCAL;
    static Value Invalid() { return nullptr; }
    static void Close(Value v) { LocalFree(v); }
};
using LocalMemory = win::Unique<LocalTraits>;

// An object's DACL as SID text -> rights, generic rights mapped with `mapping`. Fails the test
// when there is no DACL, which would admit everyone.
std::map<std::wstring, ACCESS_MASK> Grants(HANDLE object, SE_OBJECT_TYPE type, GENERIC_MAPPING mapping) {
    PACL dacl = nullptr;
    LocalMemory sd;
    REQUIRE(GetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.Receive())) == ERROR_SUCCESS);
    REQUIRE(dacl != nullptr);
    std::map<std::wstring, ACCESS_MASK> grants;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        REQUIRE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        REQUIRE(ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE);
        LocalMemory text;
        REQUIRE(ConvertSidToStringSidW(&ace->SidStart, reinterpret_cast<LPWSTR*>(text.Receive())));
        ACCESS_MASK mask = ace->Mask;
        MapGenericMask(&mask, &mapping);
        grants[static_cast<const wchar_t*>(text.Get())] |= mask;
    }
    return grants;
}

// SYSTEM and Administrators may do anything; interactive users `userNeeds` but never change the
// security, the owner or delete; nobody else is named.
void CheckGrants(const std::map<std::wstring, ACCESS_MASK>& grants, ACCESS_MASK all, ACCESS_MASK userNeeds) {
    const std::wstring system = L"S-1-5-18", admins = L"S-1-5-32-544", interactive = L"S-1-5-4";
    CHECK(grants.size() == 3);
    REQUIRE(grants.count(system));
    REQUIRE(grants.count(admins));
    REQUIRE(grants.count(interactive));
    CHECK((grants.at(system) & all) == all);
    CHECK((grants.at(admins) & all) == all);
    CHECK((grants.at(interactive) & userNeeds) == userNeeds);
    CHECK((grants.at(interactive) & (WRITE_DAC | WRITE_OWNER | DELETE)) == 0);
}

}  // namespace

TEST_CASE("the state file, its lock and the subscribers' events admit only SYSTEM, Administrators and "
          "interactive users, who may not change their security") {
    std::wstring path = TempFile(L"security");
    DeleteFileW(path.c_str());  // a file made by an older build keeps its own security
    PathScope scope(path);
    Fixture fx;
    fwemu::SetStatePath(path.c_str());  // the fixture chose the shared test state
    fwemu::Controller ctl;
    REQUIRE_MESSAGE(ctl.Ok(), ctl.Error());
    std::string error;
    auto store = fwemu::Store::Open(path, false, &error);
    REQUIRE_MESSAGE(static_cast<bool>(store), error);

    SUBCASE("state file") {
        win::FileHandle file(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
        REQUIRE(file);
        // Wine keeps no descriptor on files and shows one made from the Unix mode; on both, no
        // group beyond the ones named may use the file.
        GENERIC_MAPPING files = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
        auto grants = Grants(file.Get(), SE_FILE_OBJECT, files);
        CHECK_FALSE(grants.count(L"S-1-1-0"));       // Everyone
        CHECK_FALSE(grants.count(L"S-1-5-11"));      // Authenticated Users
        CHECK_FALSE(grants.count(L"S-1-5-32-545"));  // Users
    }
    SUBCASE("lock") {
        win::UniqueHandle lock(OpenMutexW(READ_CONTROL, FALSE, store->LockName().c_str()));
        REQUIRE(lock);
        GENERIC_MAPPING mutexes = {STANDARD_RIGHTS_READ | MUTANT_QUERY_STATE, STANDARD_RIGHTS_WRITE,
                                   STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, MUTANT_ALL_ACCESS};
        CheckGrants(Grants(lock.Get(), SE_KERNEL_OBJECT, mutexes), MUTANT_ALL_ACCESS, SYNCHRONIZE);
    }
    SUBCASE("a subscriber's event") {
        auto svc = fx.Connect();
        ComPtr<IEnumWbemClassObject> e;
        win::Bstr wql(L"WQL"), q(L"SELECT * FROM OrvButtonEvent");
        REQUIRE(svc->ExecNotificationQuery(wql.Get(), q.Get(), 0, nullptr, e.GetAddressOf()) == WBEM_S_NO_ERROR);
        DWORD id = static_cast<DWORD>(store->Raw()->nextSubscriberId);
        win::UniqueHandle ev(
            OpenEventW(READ_CONTROL, FALSE, store->SubscriberEventName(GetCurrentProcessId(), id).c_str()));
        REQUIRE(ev);
        constexpr ACCESS_MASK kEventQueryState = 0x0001;  // EVENT_QUERY_STATE; mingw's headers lack it
        GENERIC_MAPPING events = {STANDARD_RIGHTS_READ | kEventQueryState, STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                                  STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS};
        CheckGrants(Grants(ev.Get(), SE_KERNEL_OBJECT, events), EVENT_ALL_ACCESS, SYNCHRONIZE | EVENT_MODIFY_STATE);
    }
}

TEST_CASE("methods the emulator does not offer fail cleanly and clear their out-pointers") {
    Fixture fx;
    auto svc = fx.Connect();
    IWbemServices* ns = reinterpret_cast<IWbemServices*>(1);
    IEnumWbemClassObject* e = reinterpret_cast<IEnumWbemClassObject*>(1);
    win::Bstr any(L"x");
    CHECK(FAILED(svc->OpenNamespace(any.Get(), 0, nullptr, &ns, nullptr)));
    CHECK(ns == nullptr);
    CHECK(FAILED(svc->CreateInstanceEnum(any.Get(), 0, nullptr, &e)));
    CHECK(e == nullptr);
    CHECK(FAILED(svc->DeleteInstance(any.Get(), 0, nullptr, nullptr)));
    CHECK(FAILED(svc->ExecMethodAsync(any.Get(), any.Get(), 0, nullptr, nullptr, nullptr)));
    ComPtr<IWbemClassObject> cls;
    win::Bstr path(L"OrvButtonMethodDW");
    REQUIRE(svc->GetObject(path.Get(), 0, nullptr, cls.GetAddressOf(), nullptr) == WBEM_S_NO_ERROR);
    BSTR text = reinterpret_cast<BSTR>(1);
    CHECK(FAILED(cls->GetObjectText(0, &text)));
    CHECK(text == nullptr);
    CHECK(FAILED(cls->SpawnInstance(0, nullptr)));
    CHECK(FAILED(cls->GetMethod(L"Other", 0, nullptr, nullptr)));
    CHECK(FAILED(cls->Put(L"__CLASS", 0, nullptr, 0)));
    // CoSetProxyBlanket must work on the in-process services as it does on WMI's proxy.
    CHECK(SUCCEEDED(CoSetProxyBlanket(svc.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE)));
}

namespace {

// Runs fwemu-ctl.exe (beside this test program) on this run's state; returns its exit code.
DWORD RunCtl(const std::wstring& args, std::string* output) {
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe(self, n);
    exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"fwemu-ctl.exe";
    std::wstring cmd = L"\"" + exe + L"\" --state \"" + fwemu::StatePath() + L"\" " + args;

    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    win::UniqueHandle readEnd, writeEnd;
    REQUIRE(CreatePipe(readEnd.Receive(), writeEnd.Receive(), &sa, 0));
    SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.Get();
    si.hStdError = writeEnd.Get();
    PROCESS_INFORMATION pi{};
    REQUIRE(CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
    win::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    writeEnd.Reset();
    output->clear();
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(readEnd.Get(), buf, sizeof(buf), &got, nullptr) && got) output->append(buf, got);
    WaitForSingleObject(process.Get(), testing::Patient(30000));
    DWORD code = 99;
    GetExitCodeProcess(process.Get(), &code);
    return code;
}

}  // namespace

TEST_CASE("fwemu-ctl end to end: events cross processes, state and faults print as key: value") {
    Fixture fx;
    auto svc = fx.Connect();
    ComPtr<IEnumWbemClassObject> e;
    win::Bstr wql(L"WQL"), q(L"SELECT * FROM OrvButtonEvent");
    REQUIRE(svc->ExecNotificationQuery(wql.Get(), q.Get(), 0, nullptr, e.GetAddressOf()) == WBEM_S_NO_ERROR);

    std::string out;
    REQUIRE(RunCtl(L"event 0x81 --count 2", &out) == 0);
    for (int i = 0; i < 2; ++i) {
        ComPtr<IWbemClassObject> ev;
        ULONG got = 0;
        REQUIRE(e->Next(5000, 1, ev.GetAddressOf(), &got) == WBEM_S_NO_ERROR);
        CHECK(emutest::GetI4(ev.Get(), L"Param") == 0x81);
    }

    ComPtr<IWbemClassObject> res;
    REQUIRE(emutest::Call9610(svc.Get(), 0x5D, &res) == WBEM_S_NO_ERROR);
    REQUIRE(RunCtl(L"state", &out) == 0);
    CHECK(out.find("radio: off") != std::string::npos);
    REQUIRE(RunCtl(L"calls", &out) == 0);
    CHECK(out.find("eax=\"38416\" ebx=\"93\"") != std::string::npos);

    REQUIRE(RunCtl(L"fault exec-fail on", &out) == 0);
    fwemu::Faults f;
    REQUIRE(fx.Ctl().GetFaults(&f));
    CHECK(f.execFail);

    REQUIRE(RunCtl(L"fault call-delay-ms 250", &out) == 0);
    REQUIRE(RunCtl(L"fault null-output on", &out) == 0);
    REQUIRE(RunCtl(L"faults", &out) == 0);
    CHECK(out.find("call-delay-ms: 250") != std::string::npos);
    CHECK(out.find("null-output: on") != std::string::npos);
    CHECK(out.find("data-hang: off") != std::string::npos);
    REQUIRE(RunCtl(L"reset", &out) == 0);
    REQUIRE(RunCtl(L"status", &out) == 0);
    CHECK(out.find("call-delay-ms: 0") != std::string::npos);
    CHECK(out.find("null-output: off") != std::string::npos);

    CHECK(RunCtl(L"fault exec-fail maybe", &out) == 2);
    CHECK(RunCtl(L"fault call-delay-ms 60001", &out) == 2);
    CHECK(RunCtl(L"frobnicate", &out) == 2);
    CHECK(RunCtl(L"event", &out) == 2);
}
