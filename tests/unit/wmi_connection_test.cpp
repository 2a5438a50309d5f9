#include <doctest/doctest.h>

#include "core/retry_log.h"
#include "tests/unit/test_support.h"

using namespace testing;

namespace {
fwemu::ConnectionStats Stats(fwemu::Controller& emulator) {
    fwemu::ConnectionStats stats;
    REQUIRE(emulator.GetConnectionStats(&stats));
    return stats;
}

struct Registers {
    DWORD eax = TELVARIN_FW_FUNCTION, ebx = TELVARIN_FW_STATE_A, ecx = 0, edx = 0;
    int Call(CFnService& service) { return service.CallFirmware(eax, ebx, ecx, edx); }
};
}  // namespace

TEST_CASE("ConnectWmi connects at the first attempt without a report") {
    FirmwareFixture f;
    f.Connect();
    CHECK(f.service.Wmi().Connected());
    CHECK(f.log.Events().empty());
    CHECK((f.runtime.initializeCalls + f.runtime.securityCalls + f.runtime.createCalls) == 3);
}

TEST_CASE("ConnectWmi retries each stage alone, reporting its first failure and its success") {
    FirmwareFixture f;
    std::vector<std::string> failures;
    SUBCASE("ConnectServer failing three times: the earlier stages are not repeated") {
        f.Fault("connect-fail", "3");
        f.Connect();
        failures = {"ConnectServer fail", "ConnectServer succeeded after 3 failed attempts"};
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
        for (const char* stage : {"CoInitializeEx", "CoInitializeSecurity", "CoCreateInstance", "ConnectServer"}) {
            failures.push_back(std::string(stage) + " fail");
            failures.push_back(std::string(stage) + " succeeded after 1 failed attempts");
        }
        CHECK(f.runtime.initializeCalls == 2);
        CHECK(f.runtime.uninitializeCalls == 1);  // balances the S_FALSE
        CHECK(f.runtime.securityCalls == 2);
        CHECK(f.runtime.createCalls == 2);
    }
    SUBCASE("S_OK without a locator is a failed attempt, not a crash") {
        f.runtime.nullLocator = 2;
        f.Connect();
        failures = {"CoCreateInstance fail", "CoCreateInstance succeeded after 2 failed attempts"};
    }
    CHECK(f.service.Wmi().Connected());
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == failures.size());
    for (size_t i = 0; i < texts.size(); ++i) CHECK(StartsWith(texts[i], failures[i]));
    for (const auto& e : f.log.Events()) CHECK(e.type == EVENTLOG_INFORMATION_TYPE);
}

TEST_CASE("a retry loop reports its first failure, then at most one reminder an hour, and its success") {
    ServiceFixture f;
    constexpr ULONGLONG kMinute = 60 * 1000;
    RetryLog log("ConnectServer fail", "ConnectServer");
    log.SucceededAt(0);  // nothing failed: nothing to say
    for (ULONGLONG t = 0; t <= 150 * kMinute; t += kMinute) log.FailedAt(t);  // 151 failures, 2.5 h
    log.SucceededAt(151 * kMinute);
    log.FailedAt(152 * kMinute);  // a new run of failures starts afresh
    CHECK(f.log.Texts() == std::vector<std::string>{
                               "ConnectServer fail",
                               "ConnectServer still failing: 61 attempts in 60 min",
                               "ConnectServer still failing: 121 attempts in 120 min",
                               "ConnectServer succeeded after 151 failed attempts in 9060 s",
                               "ConnectServer fail",
                           });
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
    CHECK_FALSE(f.service.Wmi().HasConnected());
    WaitForSingleObject(stopper.Get(), INFINITE);
}

TEST_CASE("a call that finds the connection gone waits for it to come back and is made once, on the new one") {
    FirmwareFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();  // this thread connects, so it connects again itself
    f.Fault("exec-fail", "on");
    Registers failing;
    CHECK(failing.Call(f.service) == 0);
    REQUIRE(f.service.Wmi().Ready() == 0);  // the firmware's failure disables requests...
    REQUIRE(f.emulator.Reset());
    f.log.Clear();
    const auto before = Stats(f.emulator);
    SUBCASE("the connection ends") { REQUIRE(f.emulator.Disconnect()); }
    SUBCASE("WMI is away for a while") { f.Fault("wmi-down", "1500"); }
    Registers r;
    CHECK(r.Call(f.service) == 1);
    CHECK(f.service.Wmi().Ready() == 1);  // ...until the connection is made again
    CHECK(Stats(f.emulator).connects == before.connects + 1);
    CHECK(f.Calls().size() == 1);  // made once, on the new connection
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() >= 2);
    CHECK(texts.front() == "WMI connection lost: GetObject failed with 0x80010108");
    CHECK(StartsWith(texts.back(), "WMI connection back after "));
    for (size_t i = 1; i + 1 < texts.size(); ++i) CHECK(StartsWith(texts[i], "ConnectServer "));  // the outage's
}

TEST_CASE("a call that never answers is given up after its bound, reported, and not made again") {
    FirmwareFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();
    f.service.Wmi().SetCallBound(300);
    struct {
        const char* fault;
        std::vector<std::string> texts;
    } const cases[] = {
        {"method-hang", {"WMI connection lost: ExecMethod gave no answer in 0.3 s", "Wmi ExecMethod fail."}},
        {"put-hang", {"WMI connection lost: PutInstance gave no answer in 0.3 s"}},
        {"data-hang", {"WMI connection lost: Next gave no answer in 0.3 s"}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.fault);
        REQUIRE(f.emulator.Reset());
        REQUIRE(f.service.AwaitWmiReconnection());  // the last case left it lost
        f.log.Clear();
        const auto before = Stats(f.emulator);
        f.Fault(c.fault, "on");
        const bool method = std::string(c.fault) == "method-hang";
        if (method) {
            Registers r;
            CHECK(r.Call(f.service) == 0);
            CHECK(r.eax == TELVARIN_FW_FUNCTION);  // nothing came back
        } else {
            CHECK(f.service.WriteFirmwareSetting(5) == 0);
        }
        CHECK(LockIsFree(f.service.Wmi().CallLock()));
        CHECK_FALSE(f.service.Wmi().Connected());
        CHECK(f.service.Wmi().Ready() == 1);  // a lost connection disables no request
        CHECK(f.log.Texts() == c.texts);
        const auto after = Stats(f.emulator);
        CHECK(after.callsStarted == before.callsStarted + (method ? 1 : 0));
        CHECK(after.connects == before.connects);  // a provider that hangs would hang again
        // The abandoned call answers once the fault is off: the write was made once.
        f.Fault(c.fault, "off");
        if (std::string(c.fault) == "put-hang") CHECK(Eventually([&] { return f.Writes().size() == 1; }));
    }
    // The next call brings the connection back.
    Registers r;
    CHECK(r.Call(f.service) == 1);
}

TEST_CASE("after its first moments a failing subscription holds the call lock only during each attempt") {
    FirmwareFixture f;
    f.Connect();
    f.Fault("notify-fail", "-1");
    struct Subscriber {
        CFnService* service;
        DWORD holdMs;
        static DWORD WINAPI Run(LPVOID self) {
            auto* me = static_cast<Subscriber*>(self);
            win::Bstr language(L"WQL"), query(L"SELECT * FROM " TELVARIN_WMI_EVENT_CLASS);
            Microsoft::WRL::ComPtr<IEnumWbemClassObject> events;
            return static_cast<DWORD>(me->service->Wmi().Subscribe(language.Get(), query.Get(), events, me->holdMs));
        }
    };
    Subscriber subscriber{&f.service, 800};
    win::UniqueHandle thread(CreateThread(nullptr, 0, Subscriber::Run, &subscriber, 0, nullptr));
    REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    CHECK_FALSE(LockIsFree(f.service.Wmi().CallLock()));  // young: held across the pause
    // Then free between two attempts, and a settings write gets through.
    REQUIRE(Eventually([&] { return LockIsFree(f.service.Wmi().CallLock()); }));
    CHECK(f.service.WriteFirmwareSetting(7) == 1);
    f.Fault("notify-fail", "0");
    REQUIRE(WaitForSingleObject(thread.Get(), 10000) == WAIT_OBJECT_0);
    DWORD result = 1;
    GetExitCodeThread(thread.Get(), &result);
    CHECK(result == S_OK);
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == 2);
    CHECK(texts[0] == "ExecNotificationQuery fail");
    CHECK(StartsWith(texts[1], "ExecNotificationQuery succeeded after "));
}
