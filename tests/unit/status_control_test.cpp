// The settings store's handling of client requests, alone with a fake bridge: which register
// call a request makes and what is acknowledged in Notification.
#include <doctest/doctest.h>

#include "tests/unit/settings_fixture.h"

using namespace testing;

namespace {
constexpr char kStatusControl[] = TELVARIN_KEY_STATUS_CONTROL;
constexpr char kNotification[] = TELVARIN_KEY_NOTIFICATION;

struct StatusFixture : StoreFixture {
    // A client writes StatusControl "Type2"; the watcher's handling runs once.
    void Request(DWORD statusControl) {
        WriteDword(kStatusControl, "Type2", statusControl);
        store.OnStatusControlChanged();
    }
    DWORD Answers() { return ReadDword(kNotification, "Type2"); }
};
}  // namespace

TEST_CASE("a bit-0 request toggles device A and is acknowledged with its state in bit 16") {
    StatusFixture f;
    WriteDword(kNotification, "Type2", 0x80000000);
    f.firmware.answerEax = 1;
    f.Request(0x1);
    CHECK(f.Answers() == 0x80010001);  // acknowledged, now on; other bits kept
    f.firmware.answerEax = 0;
    f.Request(0x0);                     // 1 back to 0 is a request just the same
    CHECK(f.Answers() == 0x80000000);  // acknowledged again, now off
    CHECK(f.firmware.Calls() == std::vector<RegisterCall>{{0x9610, 0x5D, 0, 0}, {0x9610, 0x5D, 0, 0}});
}

TEST_CASE("a bit-1 request reads device B and reports it in bit 17") {
    StatusFixture f;
    SUBCASE("on: low byte 3 sets bit 17") {
        f.firmware.answerEax = 3;
        f.Request(0x2);
        CHECK(f.Answers() == 0x20002);
    }
    SUBCASE("off: bit 17 cleared") {
        WriteDword(kNotification, "Type2", 0x20000);
        f.Request(0x2);
        CHECK(f.Answers() == 0x2);
    }
    CHECK(f.firmware.Calls() == std::vector<RegisterCall>{{0x9610, 0x234, 0, 0}});
}

TEST_CASE("only the low byte of EAX counts for the answer bit") {
    StatusFixture f;
    SUBCASE("0x101 sets bit 16") {
        f.firmware.answerEax = 0x101;
        f.Request(0x1);
        CHECK(f.Answers() == 0x10001);
    }
    SUBCASE("low byte 0 clears it") {
        WriteDword(kNotification, "Type2", 0x10000);
        f.firmware.answerEax = 0x100;
        f.Request(0x1);
        CHECK(f.Answers() == 0x1);
    }
    SUBCASE("low byte 2 clears it") {
        WriteDword(kNotification, "Type2", 0x10000);
        f.firmware.answerEax = 2;
        f.Request(0x1);
        CHECK(f.Answers() == 0x1);
    }
    SUBCASE("0x103 after a bit-1 request sets bit 17") {
        f.firmware.answerEax = 0x103;
        f.Request(0x2);
        CHECK(f.Answers() == 0x20002);
    }
}

TEST_CASE("a bit-17 request picks its argument from bit 17 of the answers and writes nothing") {
    StatusFixture f;
    f.firmware.answerEax = 3;
    SUBCASE("answer bit 17 set: EBX 0x134") {
        WriteDword(kNotification, "Type2", 0x20000);
        f.Request(0x20000);
        CHECK(f.firmware.Calls() == std::vector<RegisterCall>{{0x9610, 0x134, 0, 0}});
        CHECK(f.Answers() == 0x20000);
    }
    SUBCASE("answer bit 17 clear: EBX 0x34") {
        f.Request(0x20000);
        CHECK(f.firmware.Calls() == std::vector<RegisterCall>{{0x9610, 0x34, 0, 0}});
        CHECK(f.Answers() == 0);
    }
}

TEST_CASE("only the first changed request bit is served; the others are absorbed") {
    StatusFixture f;
    f.Request(0x3);  // bits 0 and 1 together: bit 0 only
    CHECK(f.firmware.Ebx() == std::vector<DWORD>{0x5D});
    CHECK((f.Answers() & 0x3) == 0x1);
    f.Request(0x3);  // no change: nothing
    f.Request(0x1);  // bit 1 inverted again: now served
    CHECK(f.firmware.Ebx() == std::vector<DWORD>{0x5D, 0x234});
    f.Request(0x20001);  // bit 17 alone changed
    CHECK(f.firmware.Ebx() == std::vector<DWORD>{0x5D, 0x234, 0x34});
}

TEST_CASE("requests consumed without effect") {
    StatusFixture f;
    WriteDword(kNotification, "Type2", 0x5);
    SUBCASE("another bit changed: no call") {
        f.Request(0x100);
        CHECK(f.firmware.Calls().empty());
    }
    SUBCASE("the bridge is not ready: no call, and no other bit served instead") {
        f.firmware.ready = false;
        f.Request(0x3);
        CHECK(f.firmware.Calls().empty());
        f.firmware.ready = true;
        f.Request(0x3);  // consumed: the same word again is no request
        CHECK(f.firmware.Calls().empty());
    }
    SUBCASE("the call fails: nothing acknowledged, and it is not made again") {
        f.firmware.callResult = 0;
        f.Request(0x1);
        f.firmware.callResult = 1;
        f.Request(0x1);
        CHECK(f.firmware.Calls().size() == 1);
    }
    CHECK(f.Answers() == 0x5);
}

TEST_CASE("an acknowledgement creates Notification again when a client deleted it") {
    StatusFixture f;
    f.firmware.answerEax = 1;
    SUBCASE("the key") { DeleteKey(kNotification); }
    SUBCASE("the whole SystemEvent tree") { DeleteSystemEventTree(); }
    f.Request(0x1);  // written after the deletion: the request is the inversion of the 0 it was
    CHECK(f.firmware.Calls().size() == 1);
    CHECK(f.Answers() == 0x10001);  // the deleted answers count as 0
}

TEST_CASE("the StatusControl history: a missing key reads as 0, and the start-up values start it again") {
    StatusFixture f;
    f.Request(0x1);
    SUBCASE("the key deleted: 1 to 0 is a request") {
        DeleteKey(kStatusControl);
        f.store.OnStatusControlChanged();
        CHECK(f.firmware.Ebx() == std::vector<DWORD>{0x5D, 0x5D});
    }
    SUBCASE("the start-up values: StatusControl and the history both 0, so no request") {
        f.store.WriteStartupValues();
        f.store.OnStatusControlChanged();
        CHECK(f.firmware.Ebx() == std::vector<DWORD>{0x5D});
    }
}

TEST_CASE("the StatusControl watcher turns a client's inversion into an acknowledgement") {
    StatusFixture f;
    f.firmware.answerEax = 1;
    WriteDword(kStatusControl, "Type2", 0x1);  // before the arming: found by the catch-up
    f.store.StartWatchers();
    CHECK(Eventually([&] { return f.Answers() == 0x10001; }));
    f.firmware.answerEax = 0;
    WriteDword(kStatusControl, "Type2", 0x0);  // after it: signalled
    CHECK(Eventually([&] { return f.Answers() == 0x0; }));
    CHECK(f.firmware.Calls().size() == 2);
}

TEST_CASE("a stop ends the StatusControl watcher inside a firmware call that does not answer") {
    StatusFixture f;
    f.firmware.hangCalls = true;
    f.store.StartWatchers();
    WriteDword(kStatusControl, "Type2", 0x1);
    REQUIRE(Eventually([&] { return !f.firmware.Calls().empty(); }));
    f.StopWatchers();  // returns once both watchers have ended
    CHECK(f.Answers() == 0);  // nothing to acknowledge
    CHECK(f.log.Events().empty());  // a stop is no failure
}
