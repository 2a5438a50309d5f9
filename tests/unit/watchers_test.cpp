#include <doctest/doctest.h>

#include "common/protocol_key.h"
#include "tests/unit/test_support.h"

using namespace testing;

namespace {
constexpr char kStatusControl[] = TELVARIN_KEY_STATUS_CONTROL;
constexpr char kCurrentSetting[] = TELVARIN_KEY_CURRENT_SETTING;
constexpr char kNotification[] = TELVARIN_KEY_NOTIFICATION;

struct WatcherFixture : FirmwareFixture {
    WatcherFixture() {
        DeleteSystemEventTree();
        Connect();
        service.Settings().WriteStartupValues();
    }
    ~WatcherFixture() { DeleteSystemEventTree(); }

    DWORD SettingWord() {
        fwemu::ModelState model;
        REQUIRE(emulator.GetModel(&model));
        return model.setting;
    }
    DWORD SettingWrites() { return static_cast<DWORD>(Writes().size()); }
};

// Ends a watcher through the stop signal and checks that it returns.
void StopAndJoin(CFnService& service, win::UniqueHandle& thread) {
    service.Host().RequestStop();
    CHECK(WaitForSingleObject(thread.Get(), 10000) == WAIT_OBJECT_0);
}
}  // namespace

TEST_CASE("PushCurrentSetting sends the complement of the settings word") {
    WatcherFixture f;
    SUBCASE("the start-up value") {
        f.service.Settings().PushCurrentSetting();
        CHECK(f.SettingWord() == 0xFE7FFFEB);
    }
    SUBCASE("a deleted value reads as 0") {
        win::RegKey key;
        telvarin::OpenProtocolKey(kCurrentSetting, KEY_SET_VALUE, key);
        RegDeleteValueA(key.Get(), "");
        f.service.Settings().PushCurrentSetting();
        CHECK(Narrow(f.Writes().at(0).text) == "4294967295");
    }
    SUBCASE("a missing key sends nothing and reports nothing") {
        DeleteKey(kCurrentSetting);
        f.service.Settings().PushCurrentSetting();
        CHECK(f.Writes().empty());
    }
    CHECK(f.log.Events().empty());
}

TEST_CASE("a settings push that does not reach the firmware is reported once and made again until it does") {
    WatcherFixture f;
    f.Fault("data-instances", "0");
    win::UniqueHandle thread(CreateThread(nullptr, 0, SettingsStore::SettingWatcherThread, &f.service.Settings(), 0, nullptr));
    // The catch-up push at the arming fails, and so do the pushes made again after 1 s and 2 s.
    REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    Sleep(3500);  // the pauses are what is tested: nothing outside shows a retry that fails
    CHECK(f.log.Texts() == std::vector<std::string>{"Fail to WmiSetData"});
    CHECK(f.log.Events()[0].type == EVENTLOG_WARNING_TYPE);
    f.Fault("data-instances", "1");
    CHECK(Eventually([&] { return f.SettingWord() == 0xFE7FFFEB; }, 15000));
    // Reported once the write has returned, a moment after the firmware took the word.
    CHECK(Eventually([&] { return f.log.Texts().size() == 2; }));
    const DWORD writes = f.SettingWrites();
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == 2);
    CHECK(StartsWith(texts[1], "Settings push succeeded after "));
    StopAndJoin(f.service, thread);
    CHECK(f.SettingWrites() == writes);  // pushed until written, then no more
}

TEST_CASE("the CurrentSetting watcher pushes on every change of the key") {
    WatcherFixture f;
    win::UniqueHandle thread(CreateThread(nullptr, 0, SettingsStore::SettingWatcherThread, &f.service.Settings(), 0, nullptr));
    REQUIRE(Eventually([&] { return f.service.Settings().SettingEvent() != nullptr; }));
    WriteDword(kCurrentSetting, "", 0x0000FFFF);
    CHECK(Eventually([&] { return f.SettingWord() == 0xFFFF0000; }));
    const DWORD writes = f.SettingWrites();
    // Another value of the key changes: the default value is sent again.
    WriteDword(kCurrentSetting, "Other", 1);
    CHECK(Eventually([&] { return f.SettingWrites() == writes + 1; }));
    CHECK(f.SettingWord() == 0xFFFF0000);
    StopAndJoin(f.service, thread);
    CHECK(f.service.Settings().SettingEvent() == nullptr);
}

TEST_CASE("writes made before a watcher is armed are acted on once it is") {
    WatcherFixture f;
    SUBCASE("a request written after the start-up values is served without another write") {
        REQUIRE(f.emulator.SetRadio(false));
        WriteDword(kStatusControl, "Type2", 0x1);
        win::UniqueHandle thread(CreateThread(nullptr, 0, SettingsStore::StatusWatcherThread, &f.service.Settings(), 0, nullptr));
        CHECK(Eventually([&] { return ReadDword(kNotification, "Type2") == 0x10001; }));
        StopAndJoin(f.service, thread);
    }
    SUBCASE("a settings word written after the start-up push is pushed; an unchanged one is not") {
        f.service.Settings().PushCurrentSetting();
        DWORD expectedWrites = 1;
        SUBCASE("changed") {
            WriteDword(kCurrentSetting, "", 0x5);
            expectedWrites = 2;
        }
        SUBCASE("unchanged") {}
        win::UniqueHandle thread(CreateThread(nullptr, 0, SettingsStore::SettingWatcherThread, &f.service.Settings(), 0, nullptr));
        REQUIRE(Eventually([&] { return f.service.Settings().SettingEvent() != nullptr; }));
        CHECK(Eventually([&] { return f.SettingWrites() == expectedWrites; }));
        StopAndJoin(f.service, thread);
        CHECK(f.SettingWrites() == expectedWrites);
        CHECK(f.SettingWord() == ~ReadDword(kCurrentSetting, ""));
    }
}

TEST_CASE("the StatusControl watcher turns a client's inversion into an acknowledgement") {
    WatcherFixture f;
    REQUIRE(f.emulator.SetRadio(false));
    win::UniqueHandle thread(CreateThread(nullptr, 0, SettingsStore::StatusWatcherThread, &f.service.Settings(), 0, nullptr));
    REQUIRE(Eventually([&] { return f.service.Settings().StatusEvent() != nullptr; }));
    WriteDword(kStatusControl, "Type2", 0x1);
    CHECK(Eventually([&] { return ReadDword(kNotification, "Type2") == 0x10001; }));
    WriteDword(kStatusControl, "Type2", 0x0);
    CHECK(Eventually([&] { return ReadDword(kNotification, "Type2") == 0x0; }));
    StopAndJoin(f.service, thread);
}

TEST_CASE("a watcher waits for its deleted key to be created again, and catches up then") {
    WatcherFixture f;
    REQUIRE(f.emulator.SetRadio(false));
    const std::vector<std::string> reports = {"Key StatusControl is missing; waiting for it",
                                              "Key StatusControl is back; watching it again"};
    auto waitForReport = [&](size_t count) { return Eventually([&] { return f.log.Texts().size() >= count; }); };
    win::UniqueHandle thread;
    SUBCASE("missing when the watcher starts") {
        DeleteKey(kStatusControl);
        thread.Reset(CreateThread(nullptr, 0, SettingsStore::StatusWatcherThread, &f.service.Settings(), 0, nullptr));
    }
    SUBCASE("deleted while watched") {
        thread.Reset(CreateThread(nullptr, 0, SettingsStore::StatusWatcherThread, &f.service.Settings(), 0, nullptr));
        REQUIRE(Eventually([&] { return f.service.Settings().StatusEvent() != nullptr; }));
        DeleteKey(kStatusControl);
    }
    SUBCASE("the whole SystemEvent tree deleted while watched: the nearest key above is watched") {
        thread.Reset(CreateThread(nullptr, 0, SettingsStore::StatusWatcherThread, &f.service.Settings(), 0, nullptr));
        REQUIRE(Eventually([&] { return f.service.Settings().StatusEvent() != nullptr; }));
        DeleteSystemEventTree();
        REQUIRE(waitForReport(1));
        WriteDword(kNotification, "Type2", 0);  // SystemEvent again, but not StatusControl yet
    }
    REQUIRE(waitForReport(1));
    // The request written with the key is found by the catch-up look.
    WriteDword(kStatusControl, "Type2", 0x1);
    CHECK(Eventually([&] { return ReadDword(kNotification, "Type2") == 0x10001; }));
    CHECK(f.log.Texts() == reports);
    // And it is watched again.
    WriteDword(kStatusControl, "Type2", 0x0);
    CHECK(Eventually([&] { return ReadDword(kNotification, "Type2") == 0x0; }));
    StopAndJoin(f.service, thread);
    CHECK(f.service.Settings().StatusEvent() == nullptr);
}

TEST_CASE("the CurrentSetting watcher pushes the settings word of a key created again") {
    WatcherFixture f;
    f.service.Settings().PushCurrentSetting();
    win::UniqueHandle thread(CreateThread(nullptr, 0, SettingsStore::SettingWatcherThread, &f.service.Settings(), 0, nullptr));
    REQUIRE(Eventually([&] { return f.service.Settings().SettingEvent() != nullptr; }));
    DeleteKey(kCurrentSetting);
    REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    WriteDword(kCurrentSetting, "", 0x5);
    CHECK(Eventually([&] { return f.SettingWord() == ~0x5u; }));
    StopAndJoin(f.service, thread);
}

TEST_CASE("a stop gives up a watcher's firmware call at once, leaving the lock free") {
    WatcherFixture f;
    win::UniqueHandle thread(CreateThread(nullptr, 0, SettingsStore::StatusWatcherThread, &f.service.Settings(), 0, nullptr));
    REQUIRE(Eventually([&] { return f.service.Settings().StatusEvent() != nullptr; }));
    f.Fault("method-hang", "on");
    fwemu::ConnectionStats before;
    REQUIRE(f.emulator.GetConnectionStats(&before));
    WriteDword(kStatusControl, "Type2", 0x1);
    fwemu::ConnectionStats now;
    REQUIRE(Eventually([&] { return f.emulator.GetConnectionStats(&now) && now.callsStarted > before.callsStarted; }));
    f.service.Host().RequestStop();
    CHECK(WaitForSingleObject(thread.Get(), 5000) == WAIT_OBJECT_0);
    CHECK(LockIsFree(f.service.Firmware().Wmi().CallLock()));
    CHECK(ReadDword(kNotification, "Type2") == 0);  // nothing to acknowledge
    CHECK(f.log.Events().empty());  // a stop is no failure
    f.Fault("method-hang", "off");  // lets the abandoned call go
}
