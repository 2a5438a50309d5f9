// The settings store alone, with a fake bridge: the start-up values, and what it pushes to the
// firmware and when, by itself and through its CurrentSetting watcher.
#include <doctest/doctest.h>

#include "common/protocol_key.h"
#include "tests/unit/settings_fixture.h"

using namespace testing;

namespace {
constexpr char kCurrentSetting[] = TELVARIN_KEY_CURRENT_SETTING;
const DWORD kPushedAtStart = 0xFE7FFFEB;  // the complement of the start-up value 0x1800014

// The CurrentSetting watcher is armed once its catch-up push has been made.
void StartWatchersAndAwaitPush(StoreFixture& f, DWORD expectedWrites) {
    f.store.StartWatchers();
    REQUIRE(Eventually([&] { return f.firmware.Writes().size() == expectedWrites; }));
}
}  // namespace

TEST_CASE("the start-up writes reset the request values and only add bits elsewhere") {
    // Notification "" and Type2, Capability "" and Type2, CurrentSetting "", StatusControl Type2.
    const auto values = [] {
        return std::vector<DWORD>{ReadDword(TELVARIN_KEY_NOTIFICATION, ""), ReadDword(TELVARIN_KEY_NOTIFICATION, "Type2"),
                                  ReadDword(TELVARIN_KEY_CAPABILITY, ""),   ReadDword(TELVARIN_KEY_CAPABILITY, "Type2"),
                                  ReadDword(kCurrentSetting, ""),           ReadDword(TELVARIN_KEY_STATUS_CONTROL, "Type2")};
    };
    StoreFixture f;  // on an empty registry: all six values are created
    CHECK(values() == std::vector<DWORD>{0, 0, 0x1800054, 0x30000, 0x1800014, 0});

    // What clients and earlier runs left is kept or reset as each value demands.
    WriteDword(TELVARIN_KEY_NOTIFICATION, "", 0x10);
    WriteDword(TELVARIN_KEY_NOTIFICATION, "Type2", 0x30001);
    WriteDword(TELVARIN_KEY_CAPABILITY, "", 0x80000000);
    WriteDword(TELVARIN_KEY_CAPABILITY, "Type2", 0x1);
    WriteDword(kCurrentSetting, "", 0xFFFFFFFF);
    WriteDword(TELVARIN_KEY_STATUS_CONTROL, "Type2", 0x20003);
    f.store.WriteStartupValues();
    CHECK(values() == std::vector<DWORD>{0x10, 0x30001, 0x81800054, 0x30001, 0x1800014, 0});
    CHECK(f.firmware.Calls().empty());
    CHECK(f.log.Events().empty());
}

TEST_CASE("PushCurrentSetting sends the complement of the settings word") {
    StoreFixture f;
    SUBCASE("the start-up value") {
        f.store.PushCurrentSetting();
        CHECK(f.firmware.Writes() == std::vector<DWORD>{kPushedAtStart});
    }
    SUBCASE("a deleted value reads as 0") {
        win::RegKey key;
        telvarin::OpenProtocolKey(kCurrentSetting, KEY_SET_VALUE, key);
        RegDeleteValueA(key.Get(), "");
        f.store.PushCurrentSetting();
        CHECK(f.firmware.Writes() == std::vector<DWORD>{0xFFFFFFFF});
    }
    SUBCASE("a value of another size reads as 0") {
        const BYTE two[2] = {0x34, 0x12};
        WriteRaw(kCurrentSetting, "", REG_DWORD, two, sizeof two);
        f.store.PushCurrentSetting();
        CHECK(f.firmware.Writes() == std::vector<DWORD>{0xFFFFFFFF});
    }
    SUBCASE("a missing key sends nothing") {
        DeleteKey(kCurrentSetting);
        f.store.PushCurrentSetting();
        CHECK(f.firmware.Writes().empty());
    }
    CHECK(f.log.Events().empty());
    CHECK(f.store.RetrySettingPush() == INFINITE);  // nothing failed: nothing to make again
}

TEST_CASE("a push counts only once no given-up write of an earlier word can still land") {
    StoreFixture f;
    f.firmware.outstanding = 1;
    f.store.PushCurrentSetting();
    REQUIRE(f.firmware.Writes().size() == 1);
    const DWORD due = f.store.RetrySettingPush();
    CHECK(due != INFINITE);
    CHECK(due <= Backoff::kFirstMs);
    CHECK(f.log.Events().empty());  // written: nothing failed
    f.firmware.outstanding = 0;
    // Made again when due, then settled: no further timed work.
    CHECK(Eventually([&] { return f.store.RetrySettingPush() == INFINITE; }, 5000));
    CHECK(f.firmware.Writes() == std::vector<DWORD>{kPushedAtStart, kPushedAtStart});
    // The word the firmware has is the one in the registry: the catch-up leaves it alone.
    f.store.CatchUpCurrentSetting();
    CHECK(f.firmware.Writes().size() == 2);
}

TEST_CASE("a push given up at the stop is neither reported nor made again") {
    StoreFixture f;
    f.firmware.writeResult = 0;
    f.firmware.stopDuringWrite = true;
    f.store.PushCurrentSetting();
    CHECK(f.firmware.Writes().size() == 1);
    CHECK(f.log.Events().empty());
    CHECK(f.store.RetrySettingPush() == INFINITE);
}

TEST_CASE("a push that does not reach the firmware is reported once and made again by the watcher until it does") {
    StoreFixture f;
    f.firmware.writeResult = 0;
    f.store.StartWatchers();
    // The catch-up push at the arming fails, and so does the push made again after 1 s: two
    // writes, one report.
    REQUIRE(Eventually([&] { return f.firmware.Writes().size() >= 2; }));
    CHECK(f.log.Texts() == std::vector<std::string>{"Fail to WmiSetData"});
    CHECK(f.log.Events()[0].type == EVENTLOG_WARNING_TYPE);
    f.firmware.writeResult = 1;
    REQUIRE(Eventually([&] { return f.log.Texts().size() == 2; }, 15000));
    CHECK(StartsWith(f.log.Texts()[1], "Settings push succeeded after "));
    CHECK(f.log.Events()[1].type == EVENTLOG_INFORMATION_TYPE);
    const size_t writes = f.firmware.Writes().size();
    // Pushed until written, then no more: a client's change is pushed once, and that is all.
    WriteDword(kCurrentSetting, "", 0x5);
    REQUIRE(Eventually([&] { return f.firmware.Writes().size() == writes + 1; }));
    f.StopWatchers();
    CHECK(f.firmware.Writes().size() == writes + 1);
    CHECK(f.firmware.Writes().back() == ~0x5u);
}

TEST_CASE("the CurrentSetting watcher pushes on every change of the key") {
    StoreFixture f;
    StartWatchersAndAwaitPush(f, 1);  // nothing was pushed yet: the catch-up pushes
    WriteDword(kCurrentSetting, "", 0x0000FFFF);
    REQUIRE(Eventually([&] { return f.firmware.Writes().size() == 2; }));
    // Another value of the key changes: the default value is sent again.
    WriteDword(kCurrentSetting, "Other", 1);
    REQUIRE(Eventually([&] { return f.firmware.Writes().size() == 3; }));
    CHECK(f.firmware.Writes() == std::vector<DWORD>{kPushedAtStart, 0xFFFF0000, 0xFFFF0000});
}

TEST_CASE("a settings word written before the watcher is armed is pushed once it is; an unchanged one is not") {
    StoreFixture f;
    f.store.PushCurrentSetting();  // the worker's start-up push
    f.store.CatchUpCurrentSetting();
    CHECK(f.firmware.Writes().size() == 1);  // the firmware has the registry's word
    WriteDword(kCurrentSetting, "", 0x5);
    StartWatchersAndAwaitPush(f, 2);
    CHECK(f.firmware.Writes().back() == ~0x5u);
}

TEST_CASE("the CurrentSetting watcher pushes the settings word of a key created again") {
    StoreFixture f;
    StartWatchersAndAwaitPush(f, 1);
    DeleteKey(kCurrentSetting);
    REQUIRE(Eventually([&] { return f.log.Texts() == std::vector<std::string>{"Key CurrentSetting is missing; waiting for it"}; }));
    WriteDword(kCurrentSetting, "", 0x5);
    CHECK(Eventually([&] { return !f.firmware.Writes().empty() && f.firmware.Writes().back() == ~0x5u; }));
    CHECK(Eventually([&] { return f.log.Texts().size() == 2; }));
    CHECK(f.log.Texts()[1] == "Key CurrentSetting is back; watching it again");
}
