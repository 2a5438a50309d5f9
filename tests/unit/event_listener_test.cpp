#include <doctest/doctest.h>

#include "core/power_api.h"
#include "tests/unit/test_support.h"

using namespace testing;

namespace {
constexpr char kNotification[] = TELVARIN_KEY_NOTIFICATION;

// Counts power requests; the privilege always works and no policy library is found.
class CountingPower final : public PowerApi {
public:
    volatile LONG sleeps = 0, hibernations = 0;
    BOOL OpenToken(DWORD, HANDLE* token) override {
        *token = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return TRUE;
    }
    BOOL LookupPrivilege(const char*, LUID*) override { return TRUE; }
    BOOL AdjustPrivileges(HANDLE, TOKEN_PRIVILEGES*) override { return TRUE; }
    HMODULE LoadPowerLibrary(const char*) override { return nullptr; }
    FARPROC FindEntry(HMODULE, const char*) override { return nullptr; }
    BOOL QueryPowerStatus(SYSTEM_POWER_STATUS*) override { return FALSE; }
    BOOL RequestPowerState(BOOL suspend, BOOL) override {
        InterlockedIncrement(suspend ? &sleeps : &hibernations);
        return TRUE;
    }
};

// The button events' actions as the service wires them, with the power calls counted.
struct CountingButtons final : ButtonActions {
    CountingPower power;
    ActivityBoard activity;
    PowerActions actions;
    explicit CountingButtons(ServiceLog& log) : actions(power, activity, log) {}
    void SleepPerPolicy() override { actions.SleepPerPolicy(); }
    void Hibernate() override { actions.Hibernate(); }
    void ToggleNotification(DWORD code) override { UpdateRegistryDword(kNotification, "", code, 0, 1); }
};

ButtonActions* g_buttons = nullptr;

DWORD WINAPI RunListener(LPVOID) {
    g_pService->Firmware().RunEventListener(*g_buttons);
    return 0;
}

struct ListenerFixture : FirmwareFixture {
    CountingButtons buttons{service.Log()};
    CountingPower& power = buttons.power;
    win::UniqueHandle thread;

    ListenerFixture() {
        DeleteSystemEventTree();
        g_buttons = &buttons;
        Connect();
    }
    ~ListenerFixture() {
        Stop();
        DeleteSystemEventTree();
    }
    void Start() {
        thread.Reset(CreateThread(nullptr, 0, RunListener, nullptr, 0, nullptr));
        REQUIRE(Eventually([&] { return Subscribed(emulator); }));
        REQUIRE(WaitForSingleObject(thread.Get(), 0) == WAIT_TIMEOUT);
    }
    void Stop() {
        if (!thread) return;
        service.Host().RequestStop();
        CHECK(WaitForSingleObject(thread.Get(), 10000) == WAIT_OBJECT_0);
        thread.Reset();
    }
    void Inject(DWORD code) { REQUIRE(emulator.InjectEvent(code)); }
    // Waits until Notification "" holds `expected` (events are handled one by one, in order).
    bool WaitForEvents(DWORD expected, DWORD timeoutMs = 10000) {
        return Eventually([&] { return ReadDword(kNotification, "") == expected; }, timeoutMs);
    }
};
}  // namespace

TEST_CASE("event codes are toggled into Notification as whole values") {
    ListenerFixture f;
    f.Start();
    SUBCASE("a missing key is created with the first code; the same code clears it") {
        f.Inject(0x10);
        CHECK(f.WaitForEvents(0x10));
        f.Inject(0x10);
        CHECK(f.WaitForEvents(0));
    }
    SUBCASE("0x30 on 0x10 sets both bits; 0x808 is toggled, not a power request; 0 changes nothing") {
        f.Inject(0x10);
        f.Inject(0x30);
        f.Inject(0x808);
        f.Inject(0);
        f.Inject(0x1);
        CHECK(f.WaitForEvents(0x839));
        CHECK(f.power.sleeps + f.power.hibernations == 0);
    }
}

TEST_CASE("codes 8 and 0x800 are power requests and leave the registry alone") {
    ListenerFixture f;
    f.Start();
    f.Inject(8);
    f.Inject(0x800);
    f.Inject(0x4);  // handled after both power requests have returned
    CHECK(f.WaitForEvents(0x4));
    CHECK(f.power.sleeps == 0);  // no policy available here: the sleep button hibernates
    CHECK(f.power.hibernations == 2);
}

TEST_CASE("an event whose code is no integer is dropped, never taken for the sleep code") {
    ListenerFixture f;
    f.Start();
    f.Fault("null-param", "on");  // VT_NULL, with 8 left in the union
    const uint64_t delivered = EventsDelivered(f.emulator);
    f.Inject(8);
    f.Inject(0x10);
    // The fault applies when an event is taken: keep it on until both are.
    REQUIRE(Eventually([&] { return EventsDelivered(f.emulator) >= delivered + 2; }));
    f.Fault("null-param", "off");
    f.Inject(0x4);  // handled after the two junk events
    CHECK(f.WaitForEvents(0x4));
    CHECK(f.power.sleeps + f.power.hibernations == 0);
}

TEST_CASE("a burst of events is handled completely and in order") {
    ListenerFixture f;
    f.Start();
    REQUIRE(f.emulator.InjectEvent(0x2, 999));
    f.Inject(0x100);
    // 999 toggles of bit 1 leave it set; the last code arrives after all of them.
    CHECK(f.WaitForEvents(0x102, 30000));
}

TEST_CASE("the first subscription is retried once a second, holding the lock, until it succeeds") {
    ListenerFixture f;
    f.Fault("notify-fail", "2");
    f.thread.Reset(CreateThread(nullptr, 0, RunListener, nullptr, 0, nullptr));
    REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    CHECK_FALSE(LockIsFree(f.service.Firmware().Wmi().CallLock()));
    f.Inject(0x1);  // made before the subscription: not delivered
    REQUIRE(Eventually([&] { return Subscribed(f.emulator); }));
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == 2);
    CHECK(texts[0] == "ExecNotificationQuery fail");
    CHECK(StartsWith(texts[1], "ExecNotificationQuery succeeded after 2 failed attempts"));
    CHECK(Eventually([&] { return LockIsFree(f.service.Firmware().Wmi().CallLock()); }));
    f.Inject(0x8000);
    CHECK(f.WaitForEvents(0x8000));
}

TEST_CASE("a stop ends the listener and releases the subscription") {
    ListenerFixture f;
    const LONG connected = fwemu::LiveObjects();
    SUBCASE("while polling") {
        f.Start();
        f.Inject(0x1);
        CHECK(f.WaitForEvents(0x1));
    }
    SUBCASE("while the subscription keeps failing") {
        f.Fault("notify-fail", "-1");
        f.thread.Reset(CreateThread(nullptr, 0, RunListener, nullptr, 0, nullptr));
        REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    }
    SUBCASE("with the stop already asked for") {
        f.service.Host().RequestStop();
        f.thread.Reset(CreateThread(nullptr, 0, RunListener, nullptr, 0, nullptr));
        CHECK(WaitForSingleObject(f.thread.Get(), 5000) == WAIT_OBJECT_0);
    }
    f.Stop();
    CHECK(LockIsFree(f.service.Firmware().Wmi().CallLock()));
    CHECK(fwemu::LiveObjects() == connected);
}
