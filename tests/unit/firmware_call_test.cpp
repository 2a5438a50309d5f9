#include <doctest/doctest.h>

#include "tests/unit/firmware_fixture.h"

using namespace testing;

namespace {
struct Registers {
    DWORD eax = 0x9610, ebx = 0x5D, ecx = 0, edx = 0;
    int Call(FirmwareBridge& bridge) { return bridge.CallFirmware(eax, ebx, ecx, edx); }
    bool Unchanged() const { return eax == 0x9610 && ebx == 0x5D && ecx == 0 && edx == 0; }
};
}  // namespace

TEST_CASE("the start-up register call sends 38416, 302, 0, 0 and sets the option") {
    BridgeFixture f;
    f.Connect();
    CHECK(f.bridge.SetFirmwareOption(1) == 1);
    auto calls = f.Calls();
    REQUIRE(calls.size() == 1);
    CHECK(InputTexts(calls[0]) == std::vector<std::string>{"38416", "302", "0", "0"});
    fwemu::ModelState model;
    REQUIRE(f.emulator.GetModel(&model));
    CHECK(model.option == 1);
    CHECK(f.log.Events().empty());
}

TEST_CASE("a successful call hands back the firmware's registers") {
    BridgeFixture f;
    f.Connect();
    Registers r;
    SUBCASE("the model's answer") {
        REQUIRE(f.emulator.SetRadio(false));
        CHECK(r.Call(f.bridge) == 1);
        CHECK((r.eax & 0xFF) == 1);  // toggled on
        CHECK(r.ebx == 0x5D);
    }
    SUBCASE("OutEAX 0x103 comes back whole") {
        f.Fault("out-eax", "0x103");
        CHECK(r.Call(f.bridge) == 1);
        CHECK(r.eax == 0x103);
    }
    CHECK(f.Wmi().Ready() == 1);
    CHECK(f.log.Events().empty());
}

TEST_CASE("each kind of failed call: its report, the ready flag, the registers untouched") {
    BridgeFixture f;
    f.Connect();
    Registers r;
    std::vector<std::string> reports;
    LONG ready = 1;
    bool firmwareCalled = true;
    SUBCASE("the method class is missing") {
        f.Fault("method-class-missing", "on");
        reports = {"Wmi OrvButtonMethodDW class not existed."};
        ready = 0;
    }
    SUBCASE("the method is missing") {
        f.Fault("method-missing", "on");
        reports = {"Wmi OrvButtonMethodDW class ExecINT method not existed."};
        ready = 0;
    }
    SUBCASE("SpawnInstance fails: no report") {
        f.Fault("spawn-fail", "on");
        ready = 0;
    }
    SUBCASE("ExecMethod fails") {
        f.Fault("exec-fail", "on");
        reports = {"Wmi ExecMethod fail."};
        ready = 0;
    }
    SUBCASE("no output object: the flag stays") {
        f.Fault("no-output", "on");
        reports = {"Wmi OutParams == NULL."};
    }
    SUBCASE("the carry flag set: no report, the flag stays") {
        f.Fault("cflag", "1");
    }
    SUBCASE("GetObject answering S_OK without an object is a missing class") {
        f.Fault("null-object", "on");
        reports = {"Wmi OrvButtonMethodDW class not existed."};
        ready = 0;
    }
    SUBCASE("outputs without a value (VT_NULL over a plausible union): no acknowledgement, the flag stays") {
        f.Fault("null-output", "on");
    }
    SUBCASE("an input register that cannot be set: the firmware is not called") {
        f.Fault("put-fail", "on");
        firmwareCalled = false;
    }
    CHECK(r.Call(f.bridge) == 0);
    CHECK(r.Unchanged());
    CHECK(f.Wmi().Ready() == ready);
    CHECK(f.log.Texts() == reports);
    CHECK(CallsGetThrough(f.bridge));
    if (!firmwareCalled) CHECK(f.Calls().empty());
    // The connection stays usable for the other operations.
    f.Fault("null-object", "off");
    f.Fault("put-fail", "off");
    CHECK(f.bridge.WriteFirmwareSetting(1) == 1);
}

TEST_CASE("without a connection a call fails at once") {
    BridgeFixture f;
    DWORD eax = 1, ebx = 2, ecx = 3, edx = 4;
    CHECK(f.bridge.CallFirmware(eax, ebx, ecx, edx) == 0);
    CHECK(f.bridge.WriteFirmwareSetting(0) == 0);
    CHECK((eax == 1 && ebx == 2 && ecx == 3 && edx == 4));
}

TEST_CASE("10,000 failing and succeeding calls leave no emulator object behind") {
    BridgeFixture f;
    f.Connect();
    const LONG connected = fwemu::LiveObjects();
    const char* faults[][2] = {{"cflag", "1"},          {"no-output", "on"},      {"exec-fail", "on"},
                               {"spawn-fail", "on"},    {"method-missing", "on"}, {"method-class-missing", "on"},
                               {"null-output", "on"},   {"put-fail", "on"},       {"null-object", "on"}};
    for (auto& fault : faults) {
        CAPTURE(fault[0]);
        f.Fault(fault[0], fault[1]);
        for (int i = 0; i < 1000; ++i) {
            Registers r;
            r.Call(f.bridge);
        }
        f.Wmi().ForgetMethodInput();  // the one object kept on purpose
        CHECK(fwemu::LiveObjects() == connected);
        REQUIRE(f.emulator.Reset());
    }
    for (int i = 0; i < 3000; ++i) {
        Registers r;
        CHECK(r.Call(f.bridge) == 1);
    }
    for (int i = 0; i < 1000; ++i) f.bridge.WriteFirmwareSetting(static_cast<DWORD>(i));
    f.Wmi().ForgetMethodInput();
    CHECK(fwemu::LiveObjects() == connected);
    f.Wmi().Close();
    CHECK(fwemu::LiveObjects() == f.baselineObjects);
}

TEST_CASE("the settings word travels as unsigned decimal text") {
    BridgeFixture f;
    f.Connect();
    CHECK(f.bridge.WriteFirmwareSetting(0xFE7FFFEB) == 1);
    CHECK(f.bridge.WriteFirmwareSetting(0) == 1);
    CHECK(f.bridge.WriteFirmwareSetting(0xFFFFFFFF) == 1);
    auto writes = f.Writes();
    REQUIRE(writes.size() == 3);
    CHECK(Narrow(writes[0].text) == "4269801451");
    CHECK(Narrow(writes[1].text) == "0");
    CHECK(Narrow(writes[2].text) == "4294967295");
    fwemu::ModelState model;
    REQUIRE(f.emulator.GetModel(&model));
    CHECK(model.setting == 0xFFFFFFFF);
}

TEST_CASE("the settings write goes to the first instance only, and a rejection is a failure") {
    BridgeFixture f;
    f.Connect();
    constexpr int kAnyWrites = -1;  // the emulator logs a rejected PutInstance; not asserted
    struct {
        const char* fault;
        const char* value;
        int result;
        int writes;
    } const cases[] = {
        {"data-instances", "0", 0, 0},          // no instance
        {"data-instances", "3", 1, 1},          // several instances: the first only
        {"put-reject", "on", 0, kAnyWrites},    // PutInstance rejected
        {"put-fail", "on", 0, 0},               // Put of the word rejected: nothing is sent
        {"null-object", "on", 0, kAnyWrites},   // S_OK without an enumerator
    };
    for (const auto& c : cases) {
        CAPTURE(c.fault);
        REQUIRE(f.emulator.Reset());
        f.Fault(c.fault, c.value);
        CHECK(f.bridge.WriteFirmwareSetting(5) == c.result);
        if (c.writes != kAnyWrites) CHECK(f.Writes().size() == static_cast<size_t>(c.writes));
    }
    CHECK(CallsGetThrough(f.bridge));
    CHECK(f.log.Events().empty());
}

TEST_CASE("another model's method instance is found when the fixed one does not exist, used and named once") {
    BridgeFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    f.Connect();
    const std::string named = "Using the firmware method instance OrvButtonMethodDW.InstanceName=\"ACPI\\\\PNP0C14\\\\1_0\"";
    SUBCASE("published under another unique id") {
        f.Fault("method-instance", "ACPI\\PNP0C14\\1_0");
        Registers first, second;
        CHECK(first.Call(f.bridge) == 1);
        CHECK(second.Call(f.bridge) == 1);
        CHECK(f.Calls().size() == 2);
        CHECK(f.log.Texts() == std::vector<std::string>{named});
        // A new connection looks again (the firmware may have changed with it), and says nothing
        // new when it finds the same one.
        REQUIRE(f.emulator.Disconnect());
        f.log.Clear();
        Registers third;
        CHECK(third.Call(f.bridge) == 1);
        CHECK(f.Calls().size() == 3);
        for (const std::string& text : f.log.Texts()) CHECK(text != named);
        CHECK(f.Wmi().Ready() == 1);
    }
    SUBCASE("none published: the call fails as it always did") {
        f.Fault("method-instance", "none");
        Registers r;
        CHECK(r.Call(f.bridge) == 0);
        CHECK(r.Unchanged());
        CHECK(f.Calls().empty());
        CHECK(f.log.Texts() == std::vector<std::string>{"Wmi ExecMethod fail."});
        CHECK(f.Wmi().Ready() == 0);
    }
    SUBCASE("the fixed one published: used, nothing looked up or said") {
        Registers r;
        CHECK(r.Call(f.bridge) == 1);
        CHECK(f.log.Texts().empty());
    }
}
