// The registry rule's free functions alone, and the one whole-service case of the start-up values.
#include <doctest/doctest.h>

#include "common/protocol_key.h"
#include "settings/registry_store.h"
#include "tests/unit/test_support.h"

using namespace testing;

namespace {
constexpr char kKey[] = TELVARIN_KEY_NOTIFICATION;
constexpr char kDeepKey[] = TELVARIN_KEY_ROOT "\\Deep\\Er";

DWORD Update(DWORD current, DWORD operand, int set, int toggle) {
    WriteDword(kKey, "", current);
    UpdateRegistryDword(kKey, "", operand, set, toggle);
    return ReadDword(kKey, "");
}
}  // namespace

TEST_CASE("UpdateRegistryDword merges, toggles or sets by the exact flag values") {
    DeleteSystemEventTree();

    SUBCASE("toggle mode clears the operand's bits only when all of them are set") {
        CHECK(Update(1, 3, 0, 1) == 3);
        CHECK(Update(3, 3, 0, 1) == 0);
        CHECK(Update(7, 3, 0, 1) == 4);
        CHECK(Update(0x10, 0x30, 0, 1) == 0x30);
        CHECK(Update(0x1234, 0, 0, 1) == 0x1234);
    }
    SUBCASE("OR mode keeps every bit already set") {
        CHECK(Update(0x80000001, 0x1800054, 0, 0) == 0x81800055);
        CHECK(Update(5, 0, 0, 0) == 5);
    }
    SUBCASE("set wins over toggle, and a flag counts only when it is exactly 1") {
        CHECK(Update(0xFF, 3, 1, 1) == 3);
        CHECK(Update(1, 3, 2, 1) == 3);   // set 2 is off: toggle
        CHECK(Update(1, 2, 0, 2) == 3);   // toggle 2 is off: OR
        CHECK(Update(3, 3, -1, 2) == 3);  // both off: OR, not toggle
    }
    // That an unchanged value is still rewritten cannot be seen under Wine: its registry drops
    // a write of identical data without a change notification.
}

TEST_CASE("UpdateRegistryDword creates missing keys and values from 0") {
    DeleteSystemEventTree();

    SUBCASE("every missing parent is created and the operand stored unchanged in every mode") {
        UpdateRegistryDword(kDeepKey, "V", 5, 0, 1);
        CHECK(ReadDword(kDeepKey, "V") == 5);
        DeleteSystemEventTree();
        UpdateRegistryDword(kDeepKey, "V", 6, 1, 0);
        CHECK(ReadDword(kDeepKey, "V") == 6);
        DeleteSystemEventTree();
        UpdateRegistryDword(kDeepKey, "", 7, 0, 0);
        CHECK(ReadDword(kDeepKey, "") == 7);
    }
    SUBCASE("a present key without the value reads 0 and creates it") {
        WriteDword(kKey, "Other", 1);
        UpdateRegistryDword(kKey, "Type2", 0x20, 0, 1);
        CHECK(ReadDword(kKey, "Type2") == 0x20);
        CHECK(ReadDword(kKey, "Other") == 1);
    }
}

TEST_CASE("an update whose key is deleted between its open and its write goes into the key made again") {
    WriteDword(kKey, "Type2", 0x3);
    win::RegKey key;
    REQUIRE(telvarin::OpenProtocolKey(kKey, KEY_QUERY_VALUE | KEY_SET_VALUE, key) == ERROR_SUCCESS);
    DeleteSystemEventTree();
    CHECK(UpdateOpenedRegistryDword(key.Get(), kKey, "Type2", 0x10001, 1, 0) == ERROR_SUCCESS);
    CHECK(ReadDword(kKey, "Type2") == 0x10001);
}

TEST_CASE("values a client wrote with another type or size read as 0") {
    DeleteSystemEventTree();
    const BYTE eight[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02, 0x03, 0x04};
    const BYTE two[2] = {0x34, 0x12};
    const char text[] = "12345";

    SUBCASE("an 8-byte REG_DWORD") { WriteRaw(kKey, "", REG_DWORD, eight, sizeof eight); }
    SUBCASE("a 2-byte REG_DWORD") { WriteRaw(kKey, "", REG_DWORD, two, sizeof two); }
    SUBCASE("a string") { WriteRaw(kKey, "", REG_SZ, text, sizeof text); }
    SUBCASE("4 bytes of REG_BINARY") { WriteRaw(kKey, "", REG_BINARY, eight, 4); }

    CHECK(ReadRegistryDword(kKey, "") == 0);
    UpdateRegistryDword(kKey, "", 0x10, 0, 1);
    CHECK(ReadDword(kKey, "") == 0x10);
}

TEST_CASE("outside the service manager Run changes nothing, says so and returns the dispatcher's error") {
    ServiceFixture f;
    DeleteSystemEventTree();
    // Its line goes to standard error: into a pipe here, so that it can be read back.
    HANDLE read = nullptr, write = nullptr;
    REQUIRE(CreatePipe(&read, &write, nullptr, 4096));
    win::UniqueHandle reader(read), writer(write);
    const HANDLE stderrBefore = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, writer.Get());
    const int exitCode = f.service.Run();
    SetStdHandle(STD_ERROR_HANDLE, stderrBefore);
    writer.Reset();
    char line[512] = {};
    DWORD got = 0;
    ReadFile(reader.Get(), line, sizeof line - 1, &got, nullptr);
    CHECK(exitCode == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    CHECK(std::string(line).rfind("telvarin.exe is the Telvarin service: ", 0) == 0);
    CHECK_FALSE(KeyExists(TELVARIN_KEY_ROOT));
    CHECK(f.scm.Reports().empty());
    CHECK(f.log.Events().empty());
}
