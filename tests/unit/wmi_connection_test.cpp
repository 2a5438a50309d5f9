#include <doctest/doctest.h>

#include "tests/unit/test_support.h"

using namespace testing;

TEST_CASE("ConnectWmi connects at the first attempt without a report") {
    FirmwareFixture f;
    f.Connect();
    CHECK(f.service.m_pServices != nullptr);
    CHECK(f.log.Events().empty());
    CHECK((f.runtime.initializeCalls + f.runtime.securityCalls + f.runtime.createCalls) == 3);
    CHECK(f.service.m_apartment.Entered());
}

TEST_CASE("ConnectWmi retries each stage alone, one report per failed attempt") {
    FirmwareFixture f;
    SUBCASE("ConnectServer failing three times: three reports, earlier stages not repeated") {
        f.Fault("connect-fail", "3");
        f.Connect();
        CHECK(f.log.Texts() == std::vector<std::string>(3, "ConnectServer fail"));
        CHECK(f.runtime.initializeCalls == 1);
        CHECK(f.runtime.securityCalls == 1);
        CHECK(f.runtime.createCalls == 1);
    }
    SUBCASE("every stage failing once, in order; S_FALSE counts as failure and is given back") {
        f.runtime.failInitialize = 1;
        f.runtime.initializeFailure = S_FALSE;
        f.runtime.failSecurity = 1;
        f.runtime.failCreate = 1;
        f.Fault("connect-fail", "1");
        f.Connect();
        CHECK(f.log.Texts() == std::vector<std::string>{"CoInitializeEx fail", "CoInitializeSecurity fail",
                                                        "CoCreateInstance fail", "ConnectServer fail"});
        CHECK(f.runtime.initializeCalls == 2);
        CHECK(f.runtime.uninitializeCalls == 1);  // balances the S_FALSE
        CHECK(f.runtime.securityCalls == 2);
        CHECK(f.runtime.createCalls == 2);
        CHECK(f.service.m_pServices != nullptr);
    }
    SUBCASE("S_OK without a locator is a failed attempt, not a crash") {
        f.runtime.nullLocator = 2;
        f.Connect();
        CHECK(f.log.Texts() == std::vector<std::string>(2, "CoCreateInstance fail"));
        CHECK(f.service.m_pServices != nullptr);
    }
    for (const auto& e : f.log.Events()) CHECK(e.type == EVENTLOG_INFORMATION_TYPE);
}

namespace {
DWORD WINAPI StopSoon(LPVOID) {
    Sleep(300);
    g_pService->RequestStop();
    return 0;
}
}  // namespace

TEST_CASE("a stop while ConnectWmi retries ends it within about a second") {
    FirmwareFixture f;
    f.Fault("connect-fail", "1000");
    win::UniqueHandle stopper(CreateThread(nullptr, 0, StopSoon, nullptr, 0, nullptr));
    const DWORD start = GetTickCount();
    CHECK(f.service.ConnectWmi() == 0);
    CHECK(GetTickCount() - start < 5000);  // a hang bound, not a timing
    CHECK(f.service.m_pServices == nullptr);
    WaitForSingleObject(stopper.Get(), INFINITE);
}
