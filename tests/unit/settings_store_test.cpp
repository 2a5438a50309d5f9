// The settings store alone, with a fake bridge: what it asks of the firmware and when.
#include <doctest/doctest.h>

#include <vector>

#include "core/service_log.h"
#include "settings/settings_store.h"
#include "tests/unit/test_support.h"

using namespace testing;

namespace {

class FakeFirmware final : public FirmwareApi {
public:
    std::vector<DWORD> writes;
    int writeResult = 1;
    int outstanding = 0;
    HANDLE stopDuringWrite = nullptr;  // set: the stop comes while the write is out

    int CallFirmware(DWORD&, DWORD&, DWORD&, DWORD&) override { return 0; }
    int WriteFirmwareSetting(DWORD value) override {
        writes.push_back(value);
        if (stopDuringWrite) SetEvent(stopDuringWrite);
        return writeResult;
    }
    bool RequestsReady() override { return true; }
    int SettingsWritesOutstanding() override { return outstanding; }
    DWORD RetryReadiness() override { return INFINITE; }
};

const DWORD kPushedAtStart = ~static_cast<DWORD>(TELVARIN_SETTING_AT_START);

struct StoreFixture {
    RecordingEventLog log;
    ServiceLog serviceLog{log};
    win::UniqueHandle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    ActivityBoard activity;
    FakeFirmware firmware;
    SettingsStore store{firmware, stop.Get(), activity, serviceLog};
    StoreFixture() {
        DeleteSystemEventTree();
        store.WriteStartupValues();
    }
    ~StoreFixture() { DeleteSystemEventTree(); }
};

}  // namespace

TEST_CASE("a push counts only once no given-up write of an earlier word can still land") {
    StoreFixture f;
    f.firmware.outstanding = 1;
    f.store.PushCurrentSetting();
    REQUIRE(f.firmware.writes.size() == 1);
    const DWORD due = f.store.RetrySettingPush();
    CHECK(due != INFINITE);
    CHECK(due <= Backoff::kFirstMs);
    CHECK(f.log.Events().empty());  // written: nothing failed
    f.firmware.outstanding = 0;
    // Made again when due, then settled: no further timed work.
    CHECK(Eventually([&] { return f.store.RetrySettingPush() == INFINITE; }, 5000));
    CHECK(f.firmware.writes == std::vector<DWORD>{kPushedAtStart, kPushedAtStart});
    // The word the firmware has is the one in the registry: the catch-up leaves it alone.
    f.store.CatchUpCurrentSetting();
    CHECK(f.firmware.writes.size() == 2);
}

TEST_CASE("a push given up at the stop is neither reported nor made again") {
    StoreFixture f;
    f.firmware.writeResult = 0;
    f.firmware.stopDuringWrite = f.stop.Get();
    f.store.PushCurrentSetting();
    CHECK(f.firmware.writes.size() == 1);
    CHECK(f.log.Events().empty());
    CHECK(f.store.RetrySettingPush() == INFINITE);
}

TEST_CASE("a push the bridge fails is reported once and made again after a pause") {
    StoreFixture f;
    f.firmware.writeResult = 0;
    f.store.PushCurrentSetting();
    CHECK(f.log.Texts() == std::vector<std::string>{"Fail to WmiSetData"});
    const DWORD due = f.store.RetrySettingPush();
    CHECK(due != INFINITE);
    f.firmware.writeResult = 1;
    CHECK(Eventually([&] { return f.store.RetrySettingPush() == INFINITE; }, 5000));
    CHECK(f.firmware.writes.size() == 2);
    CHECK(f.log.Texts().size() == 2);  // and its success, once
}
