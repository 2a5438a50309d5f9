#include <doctest/doctest.h>

#include <windows.h>

#include <pbt.h>

#include "tests/unit/test_support.h"

using namespace testing;

namespace {
constexpr char kStatusControl[] = TELVARIN_KEY_STATUS_CONTROL;
constexpr char kNotification[] = TELVARIN_KEY_NOTIFICATION;

// The values the worker finds after a start (the store's start-up values are tested with the store).
void FreshSystemEvent() {
    DeleteSystemEventTree();
    WriteDword(TELVARIN_KEY_CURRENT_SETTING, "", TELVARIN_SETTING_AT_START);
    WriteDword(kStatusControl, "Type2", 0);
    WriteDword(kNotification, "", 0);
    WriteDword(kNotification, "Type2", 0);
}
}  // namespace

TEST_CASE("QueryServiceState answers the state of a running service and -1 otherwise") {
    ServiceFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    CHECK(FirmwareBridge::QueryServiceState("winmgmt") == SERVICE_RUNNING);
    CHECK(FirmwareBridge::QueryServiceState("NoSuchServiceHere") == -1);
    REQUIRE(SetWinmgmtRunning(false));
    CHECK(FirmwareBridge::QueryServiceState("winmgmt") == -1);  // a stopped service does not answer
}

TEST_CASE("a stop while winmgmt is not running ends the worker, touching nothing else") {
    FirmwareFixture f;
    REQUIRE(SetWinmgmtRunning(false));
    win::UniqueHandle worker(CreateThread(nullptr, 0, WorkerThread, &f.service, 0, nullptr));
    REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    f.service.Host().RequestStop();
    CHECK(WaitForSingleObject(worker.Get(), Patient(5000)) == WAIT_OBJECT_0);
    CHECK(f.log.Texts() == std::vector<std::string>{"winmgmt not ready"});  // once, however long it lasts
    CHECK(f.runtime.initializeCalls == 0);
    CHECK(f.scm.LastState() == SERVICE_STOPPED);
}

TEST_CASE("a stop seen before the connection ends the start-up there: the firmware hears nothing") {
    FirmwareFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    fwemu::ConnectionStats before, after;
    REQUIRE(f.emulator.GetConnectionStats(&before));
    f.service.Host().RequestStop();
    win::UniqueHandle worker(CreateThread(nullptr, 0, WorkerThread, &f.service, 0, nullptr));
    CHECK(WaitForSingleObject(worker.Get(), Patient(10000)) == WAIT_OBJECT_0);
    CHECK(f.Calls().empty());
    CHECK(f.Writes().empty());
    REQUIRE(f.emulator.GetConnectionStats(&after));
    CHECK(after.connects == before.connects);
}

TEST_CASE("the worker starts up in order, serves clients and tears down everything at a stop") {
    FirmwareFixture f;
    FreshSystemEvent();
    REQUIRE(f.emulator.SetRadio(false));
    REQUIRE(SetWinmgmtRunning(true));
    DWORD subscribers = 0;
    REQUIRE(f.emulator.GetSubscribers(&subscribers));
    win::UniqueHandle worker(CreateThread(nullptr, 0, WorkerThread, &f.service, 0, nullptr));

    // Start-up: the option call, then the settings push, then both watchers, then the listener.
    REQUIRE(Eventually([&] { return Subscribed(f.emulator); }));
    auto calls = f.Calls();
    REQUIRE(calls.size() == 1);
    CHECK(InputTexts(calls[0]) == std::vector<std::string>{"38416", "302", "0", "0"});
    auto writes = f.Writes();
    REQUIRE(writes.size() == 1);
    CHECK(Narrow(writes[0].text) == "4269801451");

    // A client request and a button event go their whole road.
    WriteDword(kStatusControl, "Type2", 0x1);
    CHECK(Eventually([&] { return ReadDword(kNotification, "Type2") == 0x10001; }));
    REQUIRE(f.emulator.InjectEvent(0x40));
    CHECK(Eventually([&] { return ReadDword(kNotification, "") == 0x40; }));

    f.service.Host().RequestStop();
    CHECK(WaitForSingleObject(worker.Get(), Patient(10000)) == WAIT_OBJECT_0);
    DWORD subscribersAfter = 0;
    REQUIRE(f.emulator.GetSubscribers(&subscribersAfter));
    CHECK(subscribersAfter == subscribers);
    // Every apartment entered, the worker's and each helper thread's, has been left.
    CHECK(f.runtime.uninitializeCalls == f.runtime.initializeCalls);
    CHECK(fwemu::LiveObjects() == f.baselineObjects);
    CHECK(f.log.Events().empty());
    // STOPPED is the teardown's last act.
    CHECK(f.scm.LastState() == SERVICE_STOPPED);
    DeleteSystemEventTree();
}

TEST_CASE("a lost connection is made again by the worker, and requests and events are served on the new one") {
    FirmwareFixture f;
    FreshSystemEvent();
    REQUIRE(SetWinmgmtRunning(true));
    win::UniqueHandle worker(CreateThread(nullptr, 0, WorkerThread, &f.service, 0, nullptr));
    REQUIRE(Eventually([&] { return Subscribed(f.emulator); }));
    fwemu::ConnectionStats before;
    REQUIRE(f.emulator.GetConnectionStats(&before));

    REQUIRE(f.emulator.Disconnect());
    // A request at once: whether it finds the connection gone or already back, it is served.
    const DWORD answers = ReadDword(kNotification, "Type2");
    WriteDword(kStatusControl, "Type2", 0x1);
    CHECK(Eventually([&] { return (ReadDword(kNotification, "Type2") ^ answers) & TELVARIN_ACK_0; }));
    fwemu::ConnectionStats after;
    REQUIRE(Eventually([&] { return f.emulator.GetConnectionStats(&after) && after.subscriptions > before.subscriptions; }));
    CHECK(after.connects == before.connects + 1);
    REQUIRE(f.emulator.InjectEvent(0x40));
    CHECK(Eventually([&] { return ReadDword(kNotification, "") == 0x40; }));
    WriteDword(TELVARIN_KEY_CURRENT_SETTING, "", 0x5);
    CHECK(Eventually([&] { return !f.Writes().empty() && Narrow(f.Writes().back().text) == "4294967290"; }));

    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == 2);
    CHECK(StartsWith(texts[0], "WMI connection lost: "));
    CHECK(StartsWith(texts[1], "WMI connection back after "));
    f.service.Host().RequestStop();
    CHECK(WaitForSingleObject(worker.Get(), Patient(10000)) == WAIT_OBJECT_0);
    DeleteSystemEventTree();
}

TEST_CASE("a resume played to the control handler has a poll that began before the sleep answer at once or be given up") {
    FirmwareFixture f;
    FreshSystemEvent();
    REQUIRE(SetWinmgmtRunning(true));
    win::UniqueHandle worker(CreateThread(nullptr, 0, WorkerThread, &f.service, 0, nullptr));
    REQUIRE(Eventually([&] { return Subscribed(f.emulator); }));
    // The subscription died in the sleep: its polls give no answer. Any poll the fault holds
    // will do: one begun before it may answer, and one begun just as it came may hang already
    // (the next poll would then come only after that one's give-up).
    fwemu::ConnectionStats stats;
    REQUIRE(f.emulator.GetConnectionStats(&stats));
    const uint64_t subscriptions = stats.subscriptions, hung = stats.pollsHung;
    REQUIRE(f.emulator.SetFault("event-hang", "on"));
    REQUIRE(Eventually([&] { return f.emulator.GetConnectionStats(&stats) && stats.pollsHung > hung; }));
    CHECK(ControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, nullptr, nullptr) == NO_ERROR);
    // Given up after its own time-out and a second, not after the bound of a call (10.5 s).
    REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }, 20000));
    CHECK(f.log.Texts()[0] == "Next of the button events gave no answer in 1.5 s; while 2 such calls are out, the next fail at once");
    REQUIRE(f.emulator.SetFault("event-hang", "off"));
    // Subscribed again at once, without the growing pause: events come again.
    REQUIRE(Eventually([&] { return f.emulator.GetConnectionStats(&stats) && stats.subscriptions > subscriptions; }));
    REQUIRE(Eventually([&] { return Subscribed(f.emulator); }));
    REQUIRE(f.emulator.InjectEvent(0x40));
    CHECK(Eventually([&] { return ReadDword(kNotification, "") == 0x40; }));
    f.service.Host().RequestStop();
    CHECK(WaitForSingleObject(worker.Get(), Patient(10000)) == WAIT_OBJECT_0);
    DeleteSystemEventTree();
}
