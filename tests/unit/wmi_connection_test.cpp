#include <doctest/doctest.h>

#include "core/backoff.h"
#include "core/retry_log.h"
#include "firmware/call_runner.h"
#include "tests/unit/firmware_fixture.h"

using namespace testing;

namespace {
constexpr ULONGLONG kMinute = 60 * 1000, kHour = 60 * kMinute;

struct Registers {
    DWORD eax = TELVARIN_FW_FUNCTION, ebx = TELVARIN_FW_STATE_A, ecx = 0, edx = 0;
    int Call(FirmwareBridge& bridge) { return bridge.CallFirmware(eax, ebx, ecx, edx); }
    int CallForRequest(FirmwareBridge& bridge) { return bridge.CallForRequest(eax, ebx, ecx, edx); }
};

// A button-event subscription that counts the polls made on it and answers each with `answer`
// ("timed out" unless told otherwise), bringing no event.
class CountingEvents final : public IEnumWbemClassObject {
public:
    volatile LONG polls = 0;
    HRESULT answer = WBEM_S_TIMEDOUT;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IUnknown && iid != IID_IEnumWbemClassObject) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&m_refs)); }
    HRESULT STDMETHODCALLTYPE Next(LONG, ULONG, IWbemClassObject** objects, ULONG* returned) override {
        InterlockedIncrement(&polls);
        *objects = nullptr;
        *returned = 0;
        return answer;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return WBEM_E_NOT_SUPPORTED; }
    LONG Refs() const { return m_refs; }

private:
    volatile LONG m_refs = 1;  // the test's, on the stack
};

// Ends the polling after a number of polls, as a stop or a lost connection does.
struct PollsThenEnd final : PollSink {
    LONG left;
    explicit PollsThenEnd(LONG polls) : left(polls) {}
    void OnEvent(IWbemClassObject*) override {}
    bool PollAgain() override { return InterlockedDecrement(&left) > 0; }
};

// A register call made as a client's request, on a thread of its own.
struct HeldRequest {
    FirmwareBridge* bridge;
    static DWORD WINAPI Run(LPVOID self) {
        Registers r;
        return static_cast<DWORD>(r.CallForRequest(*static_cast<HeldRequest*>(self)->bridge));
    }
};

// Stops the bridge once its log shows a first report.
struct StopOnFirstReport {
    BridgeFixture* f;
    static DWORD WINAPI Run(LPVOID self) {
        auto* me = static_cast<StopOnFirstReport*>(self);
        const bool reported = Eventually([&] { return !me->f->log.Texts().empty(); });
        me->f->Stop();
        return reported ? 0 : 1;
    }
};
}  // namespace

TEST_CASE("ConnectWmi connects at the first attempt without a report") {
    BridgeFixture f;
    f.Connect();
    CHECK(f.Wmi().Connected());
    CHECK(f.log.Events().empty());
    // The worker's apartment and the connect helper's; the process's security; one locator.
    CHECK(f.runtime.initializeCalls == 2);
    CHECK((f.runtime.securityCalls + f.runtime.createCalls) == 2);
}

TEST_CASE("ConnectWmi retries each stage alone, reporting its first failure and its success") {
    BridgeFixture f;
    std::vector<std::string> failures;
    SUBCASE("ConnectServer failing three times: the earlier stages are not repeated") {
        f.Fault("connect-fail", "3");
        f.Connect();
        failures = {"ConnectServer fail", "ConnectServer succeeded after 3 failed attempts"};
        CHECK(f.runtime.initializeCalls == 2);  // the worker's, and one helper for every attempt
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
        CHECK(f.runtime.initializeCalls == 3);     // the worker's two, the connect helper's
        CHECK(f.runtime.uninitializeCalls == 1);  // balances the S_FALSE
        CHECK(f.runtime.securityCalls == 2);
        CHECK(f.runtime.createCalls == 2);
    }
    SUBCASE("S_OK without a locator is a failed attempt, not a crash") {
        f.runtime.nullLocator = 2;
        f.Connect();
        failures = {"CoCreateInstance fail", "CoCreateInstance succeeded after 2 failed attempts"};
    }
    CHECK(f.Wmi().Connected());
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == failures.size());
    for (size_t i = 0; i < texts.size(); ++i) CHECK(StartsWith(texts[i], failures[i]));
    // Failures are warnings, the success information.
    for (const auto& e : f.log.Events())
        CHECK(e.type == (e.strings[0].find("succeeded") == std::string::npos ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE));
}

TEST_CASE("a retry log writes once per run of failures, an hourly reminder, and a success that is followed by no other") {
    RecordingEventLog events;
    ServiceLog log(events);
    RetryLog retry(log, "ConnectServer fail", "ConnectServer");
    ULONGLONG t = 5 * kHour;
    retry.SucceededAt(t);  // nothing failed: nothing to say
    SUBCASE("a long run: the first failure, a reminder an hour, its success at once") {
        for (int i = 0; i <= 150; ++i) retry.FailedAt(t + i * kMinute);  // 151 failures, 2.5 h
        retry.SucceededAt(t + 151 * kMinute);
        CHECK(events.Texts() == std::vector<std::string>{
                                    "ConnectServer fail",
                                    "ConnectServer still failing: 61 attempts in 60 min",
                                    "ConnectServer still failing: 121 attempts in 120 min",
                                    "ConnectServer succeeded after 151 failed attempts in 9060 s",
                                });
    }
    SUBCASE("outcomes that alternate for a day: one run, hourly, never an entry per alternation") {
        for (ULONGLONG s = 0; s < 24 * kHour; s += 30 * 1000) {
            if ((s / 30000) % 2) retry.SucceededAt(t + s);
            else retry.FailedAt(t + s);
        }
        const auto texts = events.Texts();
        // The first failure and success, then per hour a reminder and the success after it.
        CHECK(texts.size() == 2 + 2 * 23);
        CHECK(texts[0] == "ConnectServer fail");
        CHECK(StartsWith(texts[1], "ConnectServer succeeded after 1 failed attempts"));
        CHECK(StartsWith(texts[2], "ConnectServer still failing: 61 attempts in 60 min"));
    }
    SUBCASE("a fault that comes back after each steady spell: the next spell must hold four times as long") {
        // A failure every 100 s, answered at once: the first run is over after a steady minute,
        // the next would need four, and the fault keeps coming back before that.
        for (int i = 0; i < 60; ++i) {
            retry.FailedAt(t + i * 100 * 1000);
            retry.SucceededAt(t + i * 100 * 1000 + 1000);
        }
        auto texts = events.Texts();
        REQUIRE(texts.size() == 6);
        CHECK(texts[0] == "ConnectServer fail");
        CHECK(StartsWith(texts[1], "ConnectServer succeeded after 1 failed attempts in 1 s"));
        CHECK(texts[2] == "ConnectServer fail");
        CHECK(StartsWith(texts[3], "ConnectServer succeeded after 1 failed attempts in 1 s"));
        CHECK(texts[4] == "ConnectServer still failing: 37 attempts in 60 min");
        CHECK(texts[5] == "ConnectServer succeeded after 37 failed attempts in 3601 s");
        // Quiet for hours: a failure opens a run with a steady minute again, and one after that
        // minute held opens another.
        retry.FailedAt(t + 6 * kHour);
        retry.SucceededAt(t + 6 * kHour + 1000);
        retry.FailedAt(t + 6 * kHour + 2 * kMinute);
        texts = events.Texts();
        REQUIRE(texts.size() == 9);
        CHECK(texts[6] == "ConnectServer fail");
        CHECK(texts[8] == "ConnectServer fail");
    }
    for (const auto& e : events.Events())
        CHECK(e.type == (e.strings[0].find("succeeded") == std::string::npos ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE));
}

TEST_CASE("a stop while ConnectWmi retries ends it") {
    BridgeFixture f;
    f.Fault("connect-fail", "1000");
    StopOnFirstReport stopper{&f};
    BridgeThread thread(f, StopOnFirstReport::Run, &stopper);
    CHECK(f.bridge.Connect() == 0);
    CHECK(thread.Ended(10000));
    CHECK_FALSE(f.Wmi().HasConnected());
    CHECK(f.log.Texts() == std::vector<std::string>{"ConnectServer fail"});
}

TEST_CASE("a call that finds the connection gone waits for it to come back and is made once, on the new one") {
    BridgeFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();  // this thread connects, so it connects again itself
    f.Fault("exec-fail", "on");
    Registers failing;
    CHECK(failing.Call(f.bridge) == 0);
    REQUIRE(f.Wmi().Ready() == 0);  // the firmware's failure disables requests...
    REQUIRE(f.emulator.Reset());
    f.log.Clear();
    const auto before = f.Stats();
    SUBCASE("the connection ends") { REQUIRE(f.emulator.Disconnect()); }
    SUBCASE("WMI is away for a while: the failed connects are part of the loss") { f.Fault("wmi-down", "1500"); }
    Registers r;
    CHECK(r.Call(f.bridge) == 1);
    CHECK(f.Wmi().Ready() == 1);  // ...until the connection is made again
    CHECK(f.Stats().connects == before.connects + 1);
    CHECK(f.Calls().size() == 1);  // made once, on the new connection
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == 3);
    CHECK(texts[0] == "WMI connection lost: GetObject failed with 0x80010108");
    CHECK(StartsWith(texts[1], "WMI connection back after "));
    CHECK(StartsWith(texts[2], "ExecMethod succeeded after 1 failed attempts"));  // the exec-fail's end
}

TEST_CASE("a WMI that drops every two minutes for hours writes a handful of entries in its first hour, then one an hour") {
    BridgeFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();
    constexpr int kHours = 6, kDropsPerHour = 30;
    std::vector<size_t> perHour;
    size_t seen = 0;
    for (int drop = 0; drop < kHours * kDropsPerHour; ++drop) {
        f.clock.Advance(2 * kMinute);
        // Once an hour WMI stays away for a moment, so that connecting again fails too.
        if (drop % kDropsPerHour == kDropsPerHour / 2) f.Fault("wmi-down", "300");
        else REQUIRE(f.emulator.Disconnect());
        Registers r;
        REQUIRE(r.Call(f.bridge) == 1);  // found lost, connected again, served on the new connection
        f.Wmi().Tick();
        if (drop % kDropsPerHour == kDropsPerHour - 1) {
            perHour.push_back(f.log.Texts().size() - seen);
            seen = f.log.Texts().size();
        }
    }
    // Then it holds: the run is over, and that is said once.
    f.clock.Advance(3 * kHour);
    f.Wmi().Tick();
    const auto texts = f.log.Texts();
    CHECK(perHour[0] <= 5);
    for (int hour = 1; hour < kHours; ++hour) CHECK(perHour[hour] <= 1);
    CHECK(texts.size() == seen + 1);
    CHECK(texts[0] == "WMI connection lost: GetObject failed with 0x80010108");
    CHECK(StartsWith(texts[1], "WMI connection back after "));
    CHECK(StartsWith(texts.back(), "WMI connection steady again after "));
    for (const std::string& text : texts) CHECK_FALSE(StartsWith(text, "ConnectServer"));
    CHECK(f.Stats().connects >= kHours * kDropsPerHour);
}

TEST_CASE("calls that never answer: each given up after its bound, two of a kind at most, then refused at once") {
    BridgeFixture f(1000);  // long enough for a busy machine's helper to reach the provider
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();
    WmiConnection& wmi = f.Wmi();
    Registers warm;
    REQUIRE(warm.Call(f.bridge) == 1);  // the method is looked up: a call is one ExecMethod now
    const auto before = f.Stats();
    f.Fault("method-hang", "on");
    for (int i = 1; i <= 2; ++i) {
        Registers r;
        CHECK(r.Call(f.bridge) == 0);
        CHECK(r.eax == TELVARIN_FW_FUNCTION);  // nothing came back
        CHECK(wmi.Outstanding(WmiOp::RegisterCall) == i);
    }
    // A third would only join the two waiting in the provider: it fails, and never reaches it.
    for (int i = 0; i < 50; ++i) {
        Registers r;
        CHECK(r.Call(f.bridge) == 0);
    }
    CHECK(f.Stats().callsStarted == before.callsStarted + 2);
    CHECK(wmi.Outstanding(WmiOp::RegisterCall) == 2);
    // A call given up is no loss, disables no request, and holds up no other kind of call.
    CHECK(wmi.Connected());
    CHECK(wmi.Ready() == 1);
    CHECK(CallsGetThrough(f.bridge));
    CHECK(f.bridge.WriteFirmwareSetting(5) == 1);
    CHECK(f.Stats().connects == before.connects);
    REQUIRE(f.log.Texts() == std::vector<std::string>{
                                 "ExecMethod gave no answer in 1.0 s; while 2 such calls are out, the next fail at once"});
    CHECK(f.log.Events()[0].type == EVENTLOG_WARNING_TYPE);
    // Once the provider answers, the given-up calls end and calls go on by themselves.
    f.Fault("method-hang", "off");
    CHECK(Eventually([&] { return wmi.Outstanding(WmiOp::RegisterCall) == 0; }));
    Registers r;
    CHECK(r.Call(f.bridge) == 1);
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == 2);
    CHECK(StartsWith(texts[1], "Register call succeeded after 52 failed attempts in "));
    CHECK(f.log.Events()[1].type == EVENTLOG_INFORMATION_TYPE);
}

TEST_CASE("a settings read or write that never answers fails that push alone, and the connection stays") {
    BridgeFixture f(1000);
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();
    struct {
        const char* fault;
        WmiOp op;
        const char* text;
    } const cases[] = {
        {"put-hang", WmiOp::SettingsWrite, "PutInstance gave no answer in 1.0 s; while 2 such calls are out, the next fail at once"},
        {"data-hang", WmiOp::SettingsRead, "Next gave no answer in 1.0 s; while 2 such calls are out, the next fail at once"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.fault);
        REQUIRE(f.emulator.Reset());
        f.log.Clear();
        f.Fault(c.fault, "on");
        CHECK(f.bridge.WriteFirmwareSetting(5) == 0);
        CHECK(f.Wmi().Outstanding(c.op) == 1);
        CHECK(f.Wmi().Connected());
        Registers r;
        CHECK(r.Call(f.bridge) == 1);  // the register call goes on meanwhile
        CHECK(f.log.Texts() == std::vector<std::string>{c.text});
        f.Fault(c.fault, "off");
        CHECK(Eventually([&] { return f.Wmi().Outstanding(c.op) == 0; }));
        CHECK(f.bridge.WriteFirmwareSetting(6) == 1);
    }
}

TEST_CASE("a provider's own answer that reads like a time-out or a cancel is an answer, not a give-up") {
    SUBCASE("an ExecMethod that answers 0x800705B4 or 0x800704C7") {
        for (const char* code : {"0x800705B4", "0x800704C7"}) {
            CAPTURE(code);
            BridgeFixture f;
            f.Connect();
            f.Fault("fail-code", code);
            f.Fault("exec-fail", "on");
            Registers r;
            CHECK(r.Call(f.bridge) == 0);
            // The firmware side failed: requests are off, nothing waits in a helper thread, and the
            // connection is not taken for lost.
            CHECK(f.Wmi().Ready() == 0);
            CHECK(f.Wmi().Outstanding(WmiOp::RegisterCall) == 0);
            CHECK(f.Wmi().Connected());
            CHECK(f.log.Texts() == std::vector<std::string>{"Wmi ExecMethod fail."});
            f.Fault("exec-fail", "off");
            Registers again;
            CHECK(again.Call(f.bridge) == 1);  // the same helper answers the next call
        }
    }
    SUBCASE("a settings read whose provider answers \"timed out\" only at the read's own time-out") {
        BridgeFixture f(4000);  // the read's own time-out 3 s: a second before the bound
        f.Connect();
        f.Fault("data-timeout", "on");
        CHECK(f.bridge.WriteFirmwareSetting(5) == 0);  // no block to write: a failed push
        // Answered within the bound: no call is out and nothing was given up.
        CHECK(f.Wmi().Outstanding(WmiOp::SettingsRead) == 0);
        CHECK(f.log.Texts().empty());
        f.Fault("data-timeout", "off");
        CHECK(f.bridge.WriteFirmwareSetting(6) == 1);
    }
}

TEST_CASE("a hung settings read does not hold up the lookup of another model's method instance") {
    BridgeFixture f(1000);
    f.Connect();
    f.Fault("method-instance", "ACPI\\PNP0C14\\1_0");
    f.Fault("data-hang", "on");
    for (int i = 0; i < 3; ++i) CHECK(f.bridge.WriteFirmwareSetting(5) == 0);
    REQUIRE(f.Wmi().Outstanding(WmiOp::SettingsRead) == 2);  // settings reads are refused now
    Registers r;
    CHECK(r.Call(f.bridge) == 1);
    CHECK(f.Calls().size() == 1);
    CHECK(f.Wmi().Ready() == 1);
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
    BridgeFixture f;
    f.Connect();
    f.Fault("notify-fail", "1000");
    struct Subscriber {
        WmiConnection* wmi;
        DWORD holdMs;
        static DWORD WINAPI Run(LPVOID self) {
            auto* me = static_cast<Subscriber*>(self);
            Microsoft::WRL::ComPtr<IEnumWbemClassObject> events;
            return me->wmi->Subscribe(L"SELECT * FROM " TELVARIN_WMI_EVENT_CLASS, events, me->holdMs).Ok() && events ? 0 : 1;
        }
    };
    Subscriber subscriber{&f.Wmi(), 2000};
    BridgeThread thread(f, Subscriber::Run, &subscriber);
    REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    // A settings write made now waits while the subscription is young, across its pauses, and
    // gets through between two attempts after that.
    CHECK(f.bridge.WriteFirmwareSetting(7) == 1);
    CHECK(NotifyFailures(f, 1000) >= 2);
    CHECK(thread.Ended(0) == false);  // still subscribing meanwhile
    f.Fault("notify-fail", "0");
    DWORD result = 1;
    REQUIRE(thread.Ended(10000, &result));
    CHECK(result == 0);
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == 2);
    CHECK(texts[0] == "ExecNotificationQuery fail");
    CHECK(StartsWith(texts[1], "ExecNotificationQuery succeeded after "));
}

TEST_CASE("a call given up before its helper took it is never made") {
    // Given up at once (the stop is already there) on fresh helpers, which are still starting:
    // most are given up before they take the request. Those may never make the call.
    CountingEvents provider;
    win::UniqueHandle stop(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    constexpr int kCalls = 100;
    CallRunner* runners[kCalls] = {};
    int taken = 0;
    for (CallRunner*& runner : runners) {
        runner = CallRunner::Create(SystemComRuntime(), SystemClock());
        REQUIRE(runner);
        REQUIRE(runner->Request().Next(&provider, 0));
        HRESULT hr = S_OK;
        const CallEnd end = runner->Run(stop.Get(), 10000, 0, hr);
        if (end == CallEnd::Answered || runner->Taken()) ++taken;
        if (end != CallEnd::Answered && !runner->Taken()) runner->Request().Clear();
        runner->Retire();
    }
    for (CallRunner* runner : runners) {
        CHECK(runner->AwaitEnd(10000));
        runner->Release();
    }
    CHECK(provider.polls == taken);
    CHECK(taken < kCalls);  // the case was met
    CHECK(provider.Refs() == 1);  // every helper let go of it
}

TEST_CASE("the teardown is done when it returns: a call given up at the stop has answered and let go") {
    BridgeFixture f;
    f.Connect();
    Registers warm;
    REQUIRE(warm.Call(f.bridge) == 1);
    f.Fault("call-delay-ms", "400");
    struct Caller {
        FirmwareBridge* bridge;
        static DWORD WINAPI Run(LPVOID self) {
            Registers r;
            return static_cast<DWORD>(r.Call(*static_cast<Caller*>(self)->bridge));
        }
    } caller{&f.bridge};
    const auto before = f.Stats();
    BridgeThread thread(f, Caller::Run, &caller);
    REQUIRE(Eventually([&] { return f.Stats().callsStarted > before.callsStarted; }));  // in the provider
    f.Stop();
    DWORD result = 1;
    REQUIRE(thread.Ended(10000, &result));
    CHECK(result == 0);  // given up at the stop
    f.Wmi().ForgetMethodInput();
    f.Wmi().Close();
    CHECK(fwemu::LiveObjects() == f.baselineObjects);
    CHECK(f.Wmi().Outstanding(WmiOp::RegisterCall) == 0);
}

TEST_CASE("a request that lands while its call cannot be made waits for it, up to the bound of a call") {
    BridgeFixture f(1000);
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();
    Registers warm;
    REQUIRE(warm.Call(f.bridge) == 1);
    SUBCASE("two given-up calls still out: served as soon as one has answered") {
        f.Fault("method-hang", "on");
        for (int i = 0; i < 2; ++i) {
            Registers given;
            REQUIRE(given.Call(f.bridge) == 0);
        }
        REQUIRE(f.Wmi().Outstanding(WmiOp::RegisterCall) == 2);
        const auto before = f.Stats();
        HeldRequest request{&f.bridge};
        BridgeThread thread(f, HeldRequest::Run, &request);
        CHECK_FALSE(thread.Ended(300));  // held, not dropped
        f.Fault("method-hang", "off");
        DWORD served = 0;
        REQUIRE(thread.Ended(10000, &served));
        CHECK(served == 1);
        CHECK(f.Stats().callsStarted == before.callsStarted + 1);  // made once, when it could be
    }
    SUBCASE("still refused after the bound: dropped, never made") {
        f.Fault("method-hang", "on");
        for (int i = 0; i < 2; ++i) {
            Registers given;
            REQUIRE(given.Call(f.bridge) == 0);
        }
        const auto before = f.Stats();
        Registers r;
        CHECK(r.CallForRequest(f.bridge) == 0);
        CHECK(f.Stats().callsStarted == before.callsStarted);
        CHECK(f.log.Texts().size() == 1);  // the give-up's report alone: the refusals are its run
    }
    SUBCASE("readiness lost: the lookup due within the bound is made for it, and it is served") {
        f.Fault("method-class-missing", "on");
        Registers failing;
        REQUIRE(failing.Call(f.bridge) == 0);
        REQUIRE(f.Wmi().Ready() == 0);
        f.Fault("method-class-missing", "off");
        Registers r;
        CHECK(r.CallForRequest(f.bridge) == 1);
        CHECK(f.Wmi().Ready() == 1);
    }
}

TEST_CASE("a call under way across a sleep is not given up for the time asleep") {
    // The bound goes by the clock of time awake: held still, as while the machine sleeps, it
    // gives nothing up, however long the call takes in real time; running, it does.
    BridgeFixture f(1000);
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();
    Registers warm;
    REQUIRE(warm.Call(f.bridge) == 1);
    f.Fault("call-delay-ms", "2500");
    f.clock.Hold();
    Registers asleep;
    CHECK(asleep.Call(f.bridge) == 1);
    f.clock.Release();
    CHECK(f.log.Texts().empty());
    Registers awake;
    CHECK(awake.Call(f.bridge) == 0);
    CHECK(f.log.Texts() == std::vector<std::string>{
                               "ExecMethod gave no answer in 1.0 s; while 2 such calls are out, the next fail at once"});
    CHECK(Eventually([&] { return f.Wmi().Outstanding(WmiOp::RegisterCall) == 0; }));
}

TEST_CASE("a resume has a lost readiness looked for at once, and wakes the thread that looks") {
    BridgeFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();
    f.Fault("method-class-missing", "on");
    Registers failing;
    REQUIRE(failing.Call(f.bridge) == 0);
    f.Fault("method-class-missing", "off");
    const DWORD due = f.bridge.RetryReadiness();
    REQUIRE(due != INFINITE);
    REQUIRE(due > 0);
    CHECK(f.Wmi().Ready() == 0);  // not due yet
    f.bridge.OnResume();
    CHECK(WaitForSingleObject(f.bridge.ReadinessDueEvent(), 0) == WAIT_OBJECT_0);
    CHECK(f.bridge.RetryReadiness() == INFINITE);
    CHECK(f.Wmi().Ready() == 1);
}

TEST_CASE("a helper whose apartment failed answers its call with that error, and the next call gets a new one") {
    BridgeFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();
    const LONG helpers = f.runtime.initializeCalls;
    f.runtime.initializeFailure = CO_E_INIT_TLS;
    f.runtime.failInitialize = 1;  // the settings lanes' first helper
    CHECK(f.bridge.WriteFirmwareSetting(5) == 0);
    CHECK(f.Wmi().Connected());  // no loss: the call never reached WMI
    for (DWORD value : {6u, 7u}) CHECK(f.bridge.WriteFirmwareSetting(value) == 1);
    // The broken helper, then one for each lane of the two writes that went through.
    CHECK(f.runtime.initializeCalls == helpers + 3);
    const auto writes = f.Writes();
    REQUIRE(writes.size() == 2);
    CHECK(Narrow(writes[1].text) == "7");
}

TEST_CASE("polls that answered only within the subscription's first second end the poll lane's run of failures") {
    BridgeFixture f;
    CountingEvents provider;
    provider.answer = WBEM_E_FAILED;
    PollsThenEnd sink(100);
    REQUIRE(f.Wmi().Listen(&provider, 50, sink).Hr() == WBEM_E_FAILED);
    REQUIRE(f.log.Texts() == std::vector<std::string>{"Button-event poll failed with 0x80041001; subscribing again"});
    // Three polls that answer, then the polling ends by itself, before the watching thread's first look.
    provider.answer = WBEM_S_TIMEDOUT;
    PollsThenEnd three(3);
    CHECK(f.Wmi().Listen(&provider, 50, three).Answered());
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == 2);
    CHECK(StartsWith(texts[1], "Button-event poll succeeded after 1 failed attempts"));
}
