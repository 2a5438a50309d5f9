// The service's log alone, over a recorder of the event-log calls; and the one report the
// service entry makes itself.
#include <doctest/doctest.h>

#include "tests/unit/test_support.h"

using namespace testing;

namespace {
struct LogFixture {
    RecordingEventLog api;
    ServiceLog log{api};
};
}  // namespace

TEST_CASE("a report hands over exactly the non-null strings") {
    LogFixture f;
    f.log.Report(EVENTLOG_INFORMATION_TYPE, 103, nullptr, nullptr, nullptr);
    f.log.Report(EVENTLOG_INFORMATION_TYPE, 107, "winmgmt not ready", nullptr, nullptr);
    f.log.Report(EVENTLOG_ERROR_TYPE, 102, "Telvarin", nullptr, nullptr);
    f.log.Report(EVENTLOG_INFORMATION_TYPE, 100, "a", "b", "c");
    auto events = f.api.Events();
    REQUIRE(events.size() == 4);
    CHECK(events[0].strings.empty());
    CHECK(events[0].id == 103);
    CHECK(events[1].strings == std::vector<std::string>{"winmgmt not ready"});
    CHECK(events[2].type == EVENTLOG_ERROR_TYPE);
    CHECK(events[3].strings == std::vector<std::string>{"a", "b", "c"});
    CHECK(f.api.registrations == 1);
    CHECK(f.api.lastSourceName == "Telvarin");
}

TEST_CASE("the event source is registered on the first report and kept") {
    LogFixture f;
    CHECK(f.api.registrations == 0);  // a process that reports nothing never registers
    SUBCASE("later reports register nothing further") {
        for (int i = 0; i < 5; ++i) f.log.Report(4, 107, "x", nullptr, nullptr);
        CHECK(f.api.registrations == 1);
        CHECK(f.api.Events().size() == 5);
    }
    SUBCASE("a failed registration drops the entry and the next report tries again") {
        f.api.failRegistrations = 2;
        f.log.Report(4, 107, "lost 1", nullptr, nullptr);
        f.log.Report(4, 107, "lost 2", nullptr, nullptr);
        CHECK(f.api.registrations == 0);
        f.log.Report(4, 107, "kept", nullptr, nullptr);
        f.log.Report(4, 107, "kept too", nullptr, nullptr);
        CHECK(f.api.Texts() == std::vector<std::string>{"kept", "kept too"});
        CHECK(f.api.registrations == 1);
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
    LogFixture f;
    f.api.registerDelayMs = 50;  // keep the first registration open while the others arrive
    win::UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    g_go = go.Get();
    std::vector<win::UniqueHandle> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back(CreateThread(nullptr, 0, ReportOnGo, &f.log, 0, nullptr));
    SetEvent(go.Get());
    for (auto& t : threads) WaitForSingleObject(t.Get(), Patient(10000));
    CHECK(f.api.registrations == 1);
    CHECK(f.api.Events().size() == 8);
}

// The wiring of the service entry: its host, its log.
TEST_CASE("a service entry that cannot register its control handler reports 103 and starts nothing") {
    ServiceFixture f;
    f.scm.refuseHandler = true;
    ServiceMain(0, nullptr);
    auto events = f.log.Events();
    REQUIRE(events.size() == 1);
    CHECK(events[0].id == 103);
    CHECK(events[0].type == EVENTLOG_WARNING_TYPE);
    CHECK(events[0].strings.empty());
    CHECK(f.scm.Reports().empty());  // no status at all: the manager has no handle to take one
}
