#include <doctest/doctest.h>

#include "tests/unit/firmware_fixture.h"

using namespace testing;

namespace {
constexpr DWORD kSleep = RecordedButtons::kSleep, kHibernate = RecordedButtons::kHibernate;

struct ListenerFixture : BridgeFixture {
    explicit ListenerFixture(DWORD callBoundMs = telvarin::kCallBoundMs) : BridgeFixture(callBoundMs) {
        REQUIRE(SetWinmgmtRunning(true));
        Connect();
    }
    ListenerThread listener{*this};
    void Inject(DWORD code, DWORD count = 1) { REQUIRE(emulator.InjectEvent(code, count)); }
    // Waits until `count` actions were asked for; the actions then.
    std::vector<DWORD> Actions(size_t count, DWORD timeoutMs = 10000) {
        Eventually([&] { return listener.buttons.Actions().size() >= count; }, timeoutMs);
        return listener.buttons.Actions();
    }
    std::vector<std::string> ReportsStartingWith(const std::string& start) {
        std::vector<std::string> found;
        for (const std::string& text : log.Texts())
            if (StartsWith(text, start)) found.push_back(text);
        return found;
    }
};
}  // namespace

TEST_CASE("each event goes to its action in order: 8 sleeps, 0x800 hibernates, any other code is toggled whole") {
    ListenerFixture f;
    f.listener.Start();
    for (DWORD code : {0x10u, 0x30u, 0x808u, 0u, 8u, 0x800u, 0x1u}) f.Inject(code);
    CHECK(f.Actions(7) == std::vector<DWORD>{0x10, 0x30, 0x808, 0, kSleep, kHibernate, 0x1});
    CHECK(f.log.Events().empty());
}

TEST_CASE("an event whose code is no integer is dropped, never taken for the sleep code") {
    ListenerFixture f;
    f.listener.Start();
    f.Fault("null-param", "on");  // VT_NULL, with 8 left in the union
    const uint64_t delivered = EventsDelivered(f.emulator);
    f.Inject(8);
    f.Inject(0x10);
    // The fault applies when an event is taken: keep it on until both are.
    REQUIRE(Eventually([&] { return EventsDelivered(f.emulator) >= delivered + 2; }));
    f.Fault("null-param", "off");
    f.Inject(0x4);  // handled after the two junk events
    CHECK(f.Actions(1) == std::vector<DWORD>{0x4});
}

TEST_CASE("a burst of events is handled completely and in order") {
    ListenerFixture f;
    f.listener.Start();
    f.Inject(0x2, 999);
    f.Inject(0x100);
    std::vector<DWORD> expected(999, 0x2);
    expected.push_back(0x100);
    CHECK(f.Actions(1000, 30000) == expected);
}

TEST_CASE("the first subscription is retried once a second, holding the lock, until it succeeds") {
    ListenerFixture f;
    f.Fault("notify-fail", "2");
    const uint64_t before = f.Stats().subscriptions;
    f.listener.Start(false);
    REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    f.Inject(0x1);  // made before the subscription: not delivered
    // A start-up call made now waits for the subscription, across its pauses.
    CHECK(f.bridge.WriteFirmwareSetting(5) == 1);
    CHECK(f.Stats().subscriptions == before + 1);
    REQUIRE(Eventually([&] { return Subscribed(f.emulator) && f.log.Texts().size() == 2; }));
    const auto texts = f.log.Texts();
    CHECK(texts[0] == "ExecNotificationQuery fail");
    CHECK(StartsWith(texts[1], "ExecNotificationQuery succeeded after 2 failed attempts"));
    CHECK(CallsGetThrough(f.bridge));
    f.Inject(0x8000);
    CHECK(f.Actions(1) == std::vector<DWORD>{0x8000});
}

TEST_CASE("a poll that keeps failing is reported once, and subscribed again with growing pauses until polls answer") {
    ListenerFixture f;
    f.Fault("event-fail", "-1");
    const uint64_t before = f.Stats().subscriptions;
    f.listener.Start(false);
    // Pauses of 0, 1, 2 and 4 s: the fifth subscription comes after about 7 s, not at once.
    REQUIRE(Eventually([&] { return f.Stats().subscriptions >= before + 3; }));
    const auto failed = f.ReportsStartingWith("Button-event poll failed with 0x80041001; subscribing again");
    CHECK(failed.size() == 1);
    CHECK(f.Stats().subscriptions <= before + 4);
    f.Fault("event-fail", "0");
    // The subscription of the moment, or the next one, polls again: said once.
    REQUIRE(Eventually([&] { return !f.ReportsStartingWith("Button-event poll succeeded after ").empty(); }, 20000));
    f.Inject(0x40);
    CHECK(f.Actions(1) == std::vector<DWORD>{0x40});
    CHECK(f.log.Texts().size() == 2);
    CHECK(f.Wmi().Connected());  // an error that is no loss leaves the connection as it is
}

TEST_CASE("after polls that give no answer, new subscriptions are tried with growing pauses, and events come again") {
    ListenerFixture f(300);  // a poll is given up 0.5 s + 0.3 s after it began
    f.listener.Start();
    f.Fault("event-hang", "on");
    REQUIRE(Eventually([&] { return f.Wmi().Outstanding(WmiOp::Poll) == 2; }));
    // Polls are refused while two are out, yet subscriptions are still tried, with pauses.
    const uint64_t refused = f.Stats().subscriptions;
    REQUIRE(Eventually([&] { return f.Stats().subscriptions > refused; }));
    CHECK(f.Wmi().Outstanding(WmiOp::Poll) == 2);
    CHECK(f.ReportsStartingWith("Next of the button events gave no answer in 0.8 s; while 2 such calls are out").size() == 1);
    f.Fault("event-hang", "off");
    CHECK(Eventually([&] { return f.Wmi().Outstanding(WmiOp::Poll) == 0; }));
    REQUIRE(Eventually([&] { return !f.ReportsStartingWith("Button-event poll succeeded after ").empty(); }, 20000));
    f.Inject(0x8000);
    CHECK(f.Actions(1) == std::vector<DWORD>{0x8000});
    CHECK(f.Wmi().Connected());  // a hang is no loss
}

TEST_CASE("a stop ends the listener and releases the subscription") {
    ListenerFixture f;
    const LONG connected = fwemu::LiveObjects();
    SUBCASE("while polling") {
        f.listener.Start();
        f.Inject(0x1);
        CHECK(f.Actions(1) == std::vector<DWORD>{0x1});
    }
    SUBCASE("while the subscription keeps failing") {
        f.Fault("notify-fail", "-1");
        f.listener.Start(false);
        REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    }
    SUBCASE("while a poll hangs: given up at the stop, it lets go once the provider answers") {
        f.Fault("event-hang", "on");
        const uint64_t polls = f.Stats().pollsStarted;
        f.listener.Start();
        REQUIRE(Eventually([&] { return f.Stats().pollsStarted > polls; }));  // its first poll hangs
        f.listener.Stop();
        CHECK(f.Wmi().Outstanding(WmiOp::Poll) == 1);
        f.Fault("event-hang", "off");
        CHECK(Eventually([&] { return f.Wmi().Outstanding(WmiOp::Poll) == 0; }));
    }
    SUBCASE("with the stop already asked for") {
        f.Stop();
        f.listener.Start(false);
    }
    f.listener.Stop();
    CHECK(CallsGetThrough(f.bridge));
    CHECK(fwemu::LiveObjects() == connected);
}

// Button actions whose hibernation takes its time, as the sleep call does (it returns after the
// resume): it waits, inside the platform's call, until let go.
struct SlowHibernation final : ButtonActions {
    explicit SlowHibernation(ActivityBoard& activity) : board(activity) {}
    ActivityBoard& board;
    win::UniqueHandle go{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    volatile LONG inside = 0;
    void SleepPerPolicy() override {}
    void Hibernate() override {
        Doing doing(board, "SetSystemPowerState");
        InterlockedExchange(&inside, 1);
        WaitForSingleObject(go.Get(), Patient(10000));
    }
    void ToggleNotification(DWORD) override {}
    static DWORD WINAPI Listen(LPVOID fixture);
};

// The listener on a thread of the test, its helper held inside the hibernation's call.
struct InsideHibernation : ListenerFixture {
    SlowHibernation actions{activity};
    BridgeThread thread{*this, SlowHibernation::Listen, this};
    InsideHibernation() {
        REQUIRE(Eventually([&] { return Subscribed(emulator); }));
        Inject(TELVARIN_EVENT_HIBERNATE);
        REQUIRE(Eventually([&] { return actions.inside != 0; }));
    }
};

DWORD WINAPI SlowHibernation::Listen(LPVOID fixture) {
    auto* f = static_cast<InsideHibernation*>(fixture);
    f->bridge.RunEventListener(f->actions);
    return 0;
}

TEST_CASE("while a button's action runs, the activity board names its call on the helper that makes it") {
    // A stop held up by a sleep call must be reported as that call, not as the poll's Next.
    InsideHibernation f;
    char activity[400];
    f.activity.Describe(activity, sizeof activity);
    CHECK(std::string(activity).find("the button-event helper is in SetSystemPowerState") != std::string::npos);
    SetEvent(f.actions.go.Get());
    // Once it is done the helper is followed no more.
    REQUIRE(Eventually([&] {
        f.activity.Describe(activity, sizeof activity);
        return std::string(activity).find("button-event helper") == std::string::npos;
    }));
}

TEST_CASE("a resume while the helper is in the sleep call bounds the poll after it by its own time-out and a second") {
    InsideHibernation f;
    f.Fault("event-hang", "on");  // the subscription died in the sleep
    f.bridge.OnResume();          // delivered before the sleep call returns
    SetEvent(f.actions.go.Get());
    REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }, 20000));
    CHECK(f.log.Texts()[0] == "Next of the button events gave no answer in 1.5 s; while 2 such calls are out, the next fail at once");
}
