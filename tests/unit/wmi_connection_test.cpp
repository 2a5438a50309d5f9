#include <doctest/doctest.h>

#include "core/backoff.h"
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
    int Call(CFnService& service) { return service.Firmware().CallFirmware(eax, ebx, ecx, edx); }
};
}  // namespace

TEST_CASE("ConnectWmi connects at the first attempt without a report") {
    FirmwareFixture f;
    f.Connect();
    CHECK(f.service.Firmware().Wmi().Connected());
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
    CHECK(f.service.Firmware().Wmi().Connected());
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == failures.size());
    for (size_t i = 0; i < texts.size(); ++i) CHECK(StartsWith(texts[i], failures[i]));
    // Failures are warnings, the success information.
    for (const auto& e : f.log.Events())
        CHECK(e.type == (e.strings[0].find("succeeded") == std::string::npos ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE));
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
    g_pService->Host().RequestStop();
    return 0;
}
}  // namespace

TEST_CASE("a stop while ConnectWmi retries ends it within about a second") {
    FirmwareFixture f;
    f.Fault("connect-fail", "1000");
    win::UniqueHandle stopper(CreateThread(nullptr, 0, StopSoon, nullptr, 0, nullptr));
    const DWORD start = GetTickCount();
    CHECK(f.service.Firmware().Connect() == 0);
    CHECK(GetTickCount() - start < 5000);  // a hang bound, not a timing
    CHECK_FALSE(f.service.Firmware().Wmi().HasConnected());
    WaitForSingleObject(stopper.Get(), INFINITE);
}

TEST_CASE("a call that finds the connection gone waits for it to come back and is made once, on the new one") {
    FirmwareFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();  // this thread connects, so it connects again itself
    f.Fault("exec-fail", "on");
    Registers failing;
    CHECK(failing.Call(f.service) == 0);
    REQUIRE(f.service.Firmware().Wmi().Ready() == 0);  // the firmware's failure disables requests...
    REQUIRE(f.emulator.Reset());
    f.log.Clear();
    const auto before = Stats(f.emulator);
    SUBCASE("the connection ends") { REQUIRE(f.emulator.Disconnect()); }
    SUBCASE("WMI is away for a while") { f.Fault("wmi-down", "1500"); }
    Registers r;
    CHECK(r.Call(f.service) == 1);
    CHECK(f.service.Firmware().Wmi().Ready() == 1);  // ...until the connection is made again
    CHECK(Stats(f.emulator).connects == before.connects + 1);
    CHECK(f.Calls().size() == 1);  // made once, on the new connection
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() >= 3);
    CHECK(texts.front() == "WMI connection lost: GetObject failed with 0x80010108");
    CHECK(StartsWith(texts[texts.size() - 2], "WMI connection back after "));
    CHECK(StartsWith(texts.back(), "ExecMethod succeeded after 1 failed attempts"));  // the exec-fail's end
    for (size_t i = 1; i + 2 < texts.size(); ++i) CHECK(StartsWith(texts[i], "ConnectServer "));  // the outage's
}

TEST_CASE("calls that never answer: each given up after its bound, two of a kind at most, then refused at once") {
    FirmwareFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();
    f.service.Firmware().Wmi().SetCallBound(300);
    WmiConnection& wmi = f.service.Firmware().Wmi();
    Registers warm;
    REQUIRE(warm.Call(f.service) == 1);  // the method is looked up: a call is one ExecMethod now
    const auto before = Stats(f.emulator);
    f.Fault("method-hang", "on");
    for (int i = 1; i <= 2; ++i) {
        Registers r;
        CHECK(r.Call(f.service) == 0);
        CHECK(r.eax == TELVARIN_FW_FUNCTION);  // nothing came back
        CHECK(wmi.Outstanding(WmiOp::RegisterCall) == i);
    }
    // A third would only join the two waiting in the provider: it fails at once, without a thread.
    // Timed all together: a busy machine may hold up any one call, but 50 that each waited out
    // the bound would take 15 s.
    const DWORD start = GetTickCount();
    for (int i = 0; i < 50; ++i) {
        Registers r;
        CHECK(r.Call(f.service) == 0);
    }
    CHECK(GetTickCount() - start < 25 * 300);
    CHECK(Stats(f.emulator).callsStarted == before.callsStarted + 2);
    // A call given up is no loss, disables no request, and holds up no other kind of call.
    CHECK(wmi.Connected());
    CHECK(wmi.Ready() == 1);
    CHECK(LockIsFree(wmi.CallLock()));
    CHECK(f.service.Firmware().WriteFirmwareSetting(5) == 1);
    CHECK(Stats(f.emulator).connects == before.connects);
    REQUIRE(f.log.Texts() == std::vector<std::string>{
                                 "ExecMethod gave no answer in 0.3 s; while 2 such calls are out, the next fail at once"});
    CHECK(f.log.Events()[0].type == EVENTLOG_WARNING_TYPE);
    // Once the provider answers, the given-up calls end and calls go on by themselves.
    f.Fault("method-hang", "off");
    CHECK(Eventually([&] { return wmi.Outstanding(WmiOp::RegisterCall) == 0; }));
    Registers r;
    CHECK(r.Call(f.service) == 1);
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == 2);
    CHECK(StartsWith(texts[1], "Register call succeeded after 52 failed attempts in "));
    CHECK(f.log.Events()[1].type == EVENTLOG_INFORMATION_TYPE);
}

TEST_CASE("a settings read or write that never answers fails that push alone, and the connection stays") {
    FirmwareFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();
    f.service.Firmware().Wmi().SetCallBound(300);
    struct {
        const char* fault;
        WmiOp op;
        const char* text;
    } const cases[] = {
        {"put-hang", WmiOp::SettingsWrite, "PutInstance gave no answer in 0.3 s; while 2 such calls are out, the next fail at once"},
        {"data-hang", WmiOp::SettingsRead, "Next gave no answer in 0.3 s; while 2 such calls are out, the next fail at once"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.fault);
        REQUIRE(f.emulator.Reset());
        f.log.Clear();
        f.Fault(c.fault, "on");
        CHECK(f.service.Firmware().WriteFirmwareSetting(5) == 0);
        CHECK(f.service.Firmware().Wmi().Outstanding(c.op) == 1);
        CHECK(f.service.Firmware().Wmi().Connected());
        Registers r;
        CHECK(r.Call(f.service) == 1);  // the register call goes on meanwhile
        CHECK(f.log.Texts() == std::vector<std::string>{c.text});
        f.Fault(c.fault, "off");
        CHECK(Eventually([&] { return f.service.Firmware().Wmi().Outstanding(c.op) == 0; }));
        CHECK(f.service.Firmware().WriteFirmwareSetting(6) == 1);
    }
}

TEST_CASE("a provider's own answer that reads like a time-out or a cancel is an answer, not a give-up") {
    FirmwareFixture f;
    f.Connect();
    for (const char* code : {"0x800705B4", "0x800704C7"}) {
        CAPTURE(code);
        REQUIRE(f.emulator.Reset());
        f.service.Firmware().Wmi().SetReady();
        f.log.Clear();
        f.Fault("fail-code", code);
        f.Fault("exec-fail", "on");
        Registers r;
        CHECK(r.Call(f.service) == 0);
        // The firmware side failed: requests are off, nothing waits in a helper thread, and the
        // connection is not taken for lost.
        CHECK(f.service.Firmware().Wmi().Ready() == 0);
        CHECK(f.service.Firmware().Wmi().Outstanding(WmiOp::RegisterCall) == 0);
        CHECK(f.service.Firmware().Wmi().Connected());
        CHECK(f.log.Texts() == std::vector<std::string>{"Wmi ExecMethod fail."});
        f.Fault("exec-fail", "off");
        Registers again;
        CHECK(again.Call(f.service) == 1);  // the same helper answers the next call
    }
}

TEST_CASE("pauses grow from the first to a minute, and start again after a healthy minute") {
    Backoff reconnect(0);
    std::vector<DWORD> pauses;
    for (int i = 0; i < 9; ++i) pauses.push_back(reconnect.Next());
    CHECK(pauses == std::vector<DWORD>{0, 1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000});
    reconnect.HealthySince(1000, 1000 + Backoff::kHealthyMs - 1);
    CHECK(reconnect.Next() == 60000);
    reconnect.HealthySince(1000, 1000 + Backoff::kHealthyMs);
    CHECK(reconnect.Next() == 0);
    Backoff push;
    CHECK(push.Next() == 1000);
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
            return me->service->Firmware().Wmi().Subscribe(language.Get(), query.Get(), events, me->holdMs).Ok() && events ? 0 : 1;
        }
    };
    Subscriber subscriber{&f.service, 800};
    win::UniqueHandle thread(CreateThread(nullptr, 0, Subscriber::Run, &subscriber, 0, nullptr));
    REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    CHECK_FALSE(LockIsFree(f.service.Firmware().Wmi().CallLock()));  // young: held across the pause
    // Then free between two attempts, and a settings write gets through.
    REQUIRE(Eventually([&] { return LockIsFree(f.service.Firmware().Wmi().CallLock()); }));
    CHECK(f.service.Firmware().WriteFirmwareSetting(7) == 1);
    f.Fault("notify-fail", "0");
    REQUIRE(WaitForSingleObject(thread.Get(), 10000) == WAIT_OBJECT_0);
    DWORD result = 1;
    GetExitCodeThread(thread.Get(), &result);
    CHECK(result == 0);
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == 2);
    CHECK(texts[0] == "ExecNotificationQuery fail");
    CHECK(StartsWith(texts[1], "ExecNotificationQuery succeeded after "));
}
