#include <doctest/doctest.h>

#include "tests/unit/test_support.h"

using namespace testing;

namespace {
constexpr char kStatusControl[] = TELVARIN_KEY_STATUS_CONTROL;
constexpr char kNotification[] = TELVARIN_KEY_NOTIFICATION;

// Brings winmgmt into the wanted state in this prefix; false when the manager refuses.
bool SetWinmgmtRunning(bool running) {
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(OpenServiceA(manager.Get(), "winmgmt", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return false;
    SERVICE_STATUS status{};
    if (running) StartServiceA(service.Get(), 0, nullptr);
    else ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    const DWORD wanted = running ? SERVICE_RUNNING : SERVICE_STOPPED;
    for (int i = 0; i < 300; ++i) {
        if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == wanted) return true;
        Sleep(50);
    }
    return false;
}
}  // namespace

TEST_CASE("QueryServiceState answers the state of a running service and -1 otherwise") {
    ServiceFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    CHECK(f.service.QueryServiceState("winmgmt") == SERVICE_RUNNING);
    CHECK(f.service.QueryServiceState("NoSuchServiceHere") == -1);
    REQUIRE(SetWinmgmtRunning(false));
    CHECK(f.service.QueryServiceState("winmgmt") == -1);  // a stopped service does not answer
}

TEST_CASE("a stop while winmgmt is not running ends the worker, touching nothing else") {
    FirmwareFixture f;
    REQUIRE(SetWinmgmtRunning(false));
    f.service.m_running = 1;
    win::UniqueHandle worker(CreateThread(nullptr, 0, WorkerThread, nullptr, 0, nullptr));
    REQUIRE(Eventually([&] { return f.log.Texts().size() >= 2; }));
    f.service.RequestStop();
    CHECK(WaitForSingleObject(worker.Get(), 5000) == WAIT_OBJECT_0);
    for (const auto& text : f.log.Texts()) CHECK(text == "winmgmt not ready");
    CHECK(f.runtime.initializeCalls == 0);
}

TEST_CASE("a stop seen before the connection ends the start-up there: the firmware hears nothing") {
    FirmwareFixture f;
    REQUIRE(SetWinmgmtRunning(true));
    f.service.RequestStop();
    win::UniqueHandle worker(CreateThread(nullptr, 0, WorkerThread, nullptr, 0, nullptr));
    CHECK(WaitForSingleObject(worker.Get(), 10000) == WAIT_OBJECT_0);
    CHECK(f.Calls().empty());
    CHECK(f.Writes().empty());
    CHECK_FALSE(f.service.m_hStatusWatcher);
    CHECK(f.service.m_pServices == nullptr);
}

TEST_CASE("the worker starts up in order, serves clients and tears down everything at a stop") {
    FirmwareFixture f;
    DeleteSystemEventTree();
    f.service.WriteStartupValues();
    REQUIRE(f.emulator.SetRadio(false));
    REQUIRE(SetWinmgmtRunning(true));
    f.service.m_running = 1;
    win::UniqueHandle worker(CreateThread(nullptr, 0, WorkerThread, nullptr, 0, nullptr));

    // Start-up: the option call, then the settings push, then both watchers.
    REQUIRE(Eventually([&] { return f.service.m_hStatusEvent && f.service.m_hSettingEvent; }));
    auto calls = f.Calls();
    REQUIRE(calls.size() == 1);
    CHECK(InputTexts(calls[0]) == std::vector<std::string>{"38416", "302", "0", "0"});
    auto writes = f.Writes();
    REQUIRE(writes.size() == 1);
    CHECK(Narrow(writes[0].text) == "4269801451");

    // A client request and a button event go their whole road.
    WriteDword(kStatusControl, "Type2", 0x1);
    CHECK(Eventually([&] { return ReadDword(kNotification, "Type2") == 0x10001; }));
    REQUIRE(Eventually([&] { return Subscribed(f.emulator); }));  // after the watchers have started
    REQUIRE(f.emulator.InjectEvent(0x40));
    CHECK(Eventually([&] { return ReadDword(kNotification, "") == 0x40; }));

    f.service.RequestStop();
    CHECK(WaitForSingleObject(worker.Get(), 10000) == WAIT_OBJECT_0);
    CHECK_FALSE(f.service.m_hStatusWatcher);
    CHECK_FALSE(f.service.m_hSettingWatcher);
    CHECK(f.service.m_pServices == nullptr);
    CHECK(f.runtime.uninitializeCalls == 1);
    CHECK(fwemu::LiveObjects() == f.baselineObjects);
    CHECK(f.log.Events().empty());
    DeleteSystemEventTree();
}
