#include <doctest/doctest.h>

#include "tests/unit/test_support.h"

using namespace testing;

namespace {
constexpr char kStatusControl[] = TELVARIN_KEY_STATUS_CONTROL;
constexpr char kNotification[] = TELVARIN_KEY_NOTIFICATION;

struct StatusFixture : FirmwareFixture {
    StatusFixture() {
        DeleteSystemEventTree();
        Connect();
        service.Settings().WriteStartupValues();
    }
    ~StatusFixture() { DeleteSystemEventTree(); }
    // A client writes StatusControl "Type2"; the watcher's handling runs once.
    void Request(DWORD statusControl) {
        WriteDword(kStatusControl, "Type2", statusControl);
        service.Settings().OnStatusControlChanged();
        CHECK(service.Settings().PreviousStatusControl() == statusControl);
        CHECK(service.Settings().CurrentStatusControl() == statusControl);
    }
    DWORD Answers() { return ReadDword(kNotification, "Type2"); }
    std::vector<std::string> Ebx() {
        std::vector<std::string> ebx;
        for (const auto& call : Calls()) ebx.push_back(Narrow(call.in[1]));
        return ebx;
    }
};
}  // namespace

TEST_CASE("a bit-0 request toggles device A and is acknowledged with its state in bit 16") {
    StatusFixture f;
    REQUIRE(f.emulator.SetRadio(false));
    WriteDword(kNotification, "Type2", 0x80000000);
    f.Request(0x1);
    CHECK(f.Answers() == 0x80010001);  // acknowledged, now on; other bits kept
    f.Request(0x0);                     // 1 back to 0 is a request just the same
    CHECK(f.Answers() == 0x80000000);  // acknowledged again, now off
    auto calls = f.Calls();
    REQUIRE(calls.size() == 2);
    CHECK(InputTexts(calls[0]) == std::vector<std::string>{"38416", "93", "0", "0"});
}

TEST_CASE("a bit-1 request reads device B and reports it in bit 17") {
    StatusFixture f;
    SUBCASE("on: low byte 3 sets bit 17") {
        REQUIRE(f.emulator.SetDeviceB(true));
        f.Request(0x2);
        CHECK(f.Answers() == 0x20002);
    }
    SUBCASE("off: bit 17 cleared") {
        WriteDword(kNotification, "Type2", 0x20000);
        f.Request(0x2);
        CHECK(f.Answers() == 0x2);
    }
    CHECK(f.Ebx() == std::vector<std::string>{"564"});
}

TEST_CASE("only the low byte of EAX counts for the answer bit") {
    StatusFixture f;
    SUBCASE("0x101 sets bit 16") {
        f.Fault("out-eax", "0x101");
        f.Request(0x1);
        CHECK(f.Answers() == 0x10001);
    }
    SUBCASE("low byte 0 clears it") {
        WriteDword(kNotification, "Type2", 0x10000);
        f.Fault("out-eax", "0x100");
        f.Request(0x1);
        CHECK(f.Answers() == 0x1);
    }
    SUBCASE("low byte 2 clears it") {
        WriteDword(kNotification, "Type2", 0x10000);
        f.Fault("out-eax", "2");
        f.Request(0x1);
        CHECK(f.Answers() == 0x1);
    }
    SUBCASE("0x103 after a bit-1 request sets bit 17") {
        f.Fault("out-eax", "0x103");
        f.Request(0x2);
        CHECK(f.Answers() == 0x20002);
    }
}

TEST_CASE("a bit-17 request picks its argument from bit 17 of the answers and writes nothing") {
    StatusFixture f;
    SUBCASE("answer bit 17 set: EBX 308") {
        WriteDword(kNotification, "Type2", 0x20000);
        f.Request(0x20000);
        CHECK(f.Ebx() == std::vector<std::string>{"308"});
        CHECK(f.Answers() == 0x20000);
    }
    SUBCASE("answer bit 17 clear: EBX 52") {
        f.Request(0x20000);
        CHECK(f.Ebx() == std::vector<std::string>{"52"});
        CHECK(f.Answers() == 0);
    }
}

TEST_CASE("only the first changed request bit is served; the others are absorbed") {
    StatusFixture f;
    f.Request(0x3);  // bits 0 and 1 together: bit 0 only
    CHECK(f.Ebx() == std::vector<std::string>{"93"});
    CHECK((f.Answers() & 0x3) == 0x1);
    f.Request(0x3);  // no change: nothing
    f.Request(0x1);  // bit 1 inverted again: now served
    CHECK(f.Ebx() == std::vector<std::string>{"93", "564"});
    f.Request(0x20001);  // bit 17 alone changed
    CHECK(f.Ebx() == std::vector<std::string>{"93", "564", "52"});
}

TEST_CASE("requests consumed without effect") {
    StatusFixture f;
    WriteDword(kNotification, "Type2", 0x5);
    SUBCASE("another bit changed: no call") {
        f.Request(0x100);
        CHECK(f.Calls().empty());
    }
    SUBCASE("the service is not ready: no call, and no other bit served instead") {
        f.service.Firmware().Wmi().ClearReady();
        f.Request(0x3);
        CHECK(f.Calls().empty());
    }
    SUBCASE("the firmware refuses (carry flag)") {
        f.Fault("cflag", "1");
        f.Request(0x1);
        CHECK(f.Calls().size() == 1);
        CHECK(f.service.Firmware().Wmi().Ready() == 1);
    }
    SUBCASE("a call that fails inside WMI disables every later request") {
        f.Fault("exec-fail", "on");
        f.Request(0x1);
        CHECK(f.service.Firmware().Wmi().Ready() == 0);
        REQUIRE(f.emulator.Reset());
        f.Request(0x0);
        f.Request(0x2);
        CHECK(f.Calls().empty());
        // Settings pushes go on.
        CHECK(f.service.Firmware().WriteFirmwareSetting(7) == 1);
    }
    CHECK(f.Answers() == 0x5);
}

TEST_CASE("an acknowledgement is lost, not created, when the Notification key is missing") {
    StatusFixture f;
    DeleteKey(kNotification);
    f.Request(0x1);
    CHECK(f.Calls().size() == 1);
    CHECK_FALSE(KeyExists(kNotification));
}

TEST_CASE("a missing StatusControl key reads as 0") {
    StatusFixture f;
    f.service.Settings().SetPreviousStatusControl(0x1);
    DeleteKey(kStatusControl);
    f.service.Settings().OnStatusControlChanged();
    CHECK(f.service.Settings().PreviousStatusControl() == 0);
    CHECK(f.Ebx() == std::vector<std::string>{"93"});
}
