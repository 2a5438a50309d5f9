#include <doctest/doctest.h>

#include "tests/unit/test_support.h"

using namespace testing;

TEST_CASE("a report hands over exactly the non-null strings") {
    ServiceFixture f;
    f.service.Log().Report(EVENTLOG_INFORMATION_TYPE, 103, nullptr, nullptr, nullptr);
    f.service.Log().Report(EVENTLOG_INFORMATION_TYPE, 107, "winmgmt not ready", nullptr, nullptr);
    f.service.Log().Report(EVENTLOG_ERROR_TYPE, 102, "Telvarin", nullptr, nullptr);
    f.service.Log().Report(EVENTLOG_INFORMATION_TYPE, 100, "a", "b", "c");
    auto events = f.log.Events();
    REQUIRE(events.size() == 4);
    CHECK(events[0].strings.empty());
    CHECK(events[0].id == 103);
    CHECK(events[1].strings == std::vector<std::string>{"winmgmt not ready"});
    CHECK(events[2].type == EVENTLOG_ERROR_TYPE);
    CHECK(events[3].strings == std::vector<std::string>{"a", "b", "c"});
    CHECK(f.log.registrations == 1);
    CHECK(f.log.lastSourceName == "Telvarin");
}

TEST_CASE("the event source is registered on the first report and kept") {
    ServiceFixture f;
    CHECK(f.log.registrations == 0);  // a process that reports nothing never registers
    SUBCASE("later reports register nothing further") {
        for (int i = 0; i < 5; ++i) f.service.Log().Report(4, 107, "x", nullptr, nullptr);
        CHECK(f.log.registrations == 1);
        CHECK(f.log.Events().size() == 5);
    }
    SUBCASE("a failed registration drops the entry and the next report tries again") {
        f.log.failRegistrations = 2;
        f.service.Log().Report(4, 107, "lost 1", nullptr, nullptr);
        f.service.Log().Report(4, 107, "lost 2", nullptr, nullptr);
        CHECK_FALSE(f.service.Log().SourceRegistered());
        f.service.Log().Report(4, 107, "kept", nullptr, nullptr);
        CHECK(f.log.Texts() == std::vector<std::string>{"kept"});
        CHECK(f.log.registrations == 1);
        CHECK(f.service.Log().SourceRegistered());
    }
}

TEST_CASE("the destructor deregisters the source it registered, and only that") {
    RecordingEventLog log;
    { ServiceLog unused{log}; }
    CHECK(log.deregistrations == 0);
    {
        ServiceLog used{log};
        used.Report(4, 107, "x", nullptr, nullptr);
    }
    CHECK(log.deregistrations == 1);
}

namespace {
HANDLE g_go = nullptr;
DWORD WINAPI ReportOnGo(LPVOID log) {
    WaitForSingleObject(g_go, INFINITE);
    static_cast<ServiceLog*>(log)->Report(4, 107, "concurrent", nullptr, nullptr);
    return 0;
}
}  // namespace

TEST_CASE("first reports from many threads at once register exactly one source") {
    ServiceFixture f;
    f.log.registerDelayMs = 50;  // keep the first registration open while the others arrive
    win::UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    g_go = go.Get();
    std::vector<win::UniqueHandle> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back(CreateThread(nullptr, 0, ReportOnGo, &f.service.Log(), 0, nullptr));
    SetEvent(go.Get());
    for (auto& t : threads) WaitForSingleObject(t.Get(), 10000);
    CHECK(f.log.registrations == 1);
    CHECK(f.log.Events().size() == 8);
}

TEST_CASE("a service entry that cannot register its control handler reports 103 and starts nothing") {
    ServiceFixture f;
    // Outside the service manager's dispatcher there is no service to register a handler for.
    ServiceMain(0, nullptr);
    auto events = f.log.Events();
    REQUIRE(events.size() == 1);
    CHECK(events[0].id == 103);
    CHECK(events[0].type == EVENTLOG_WARNING_TYPE);
    CHECK(events[0].strings.empty());
    CHECK(f.service.Host().Running() == 0);
    CHECK_FALSE(f.service.Host().HasWorker());
}
