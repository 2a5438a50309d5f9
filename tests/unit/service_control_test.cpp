// The service host alone: its status reports as the service control manager sees them, through
// a recorder of the manager's calls.
#include <doctest/doctest.h>

#include "service/service_host.h"
#include "tests/unit/test_support.h"

using namespace testing;

namespace {

struct HostFixture {
    RecordingEventLog log;
    ServiceLog serviceLog{log};
    RecordingServiceControl scm;
    FlakyThreadApi threads;
    ActivityBoard activity;
    ServiceHost host;

    explicit HostFixture(DWORD stopBoundMs = telvarin::kStopBoundMs)
        : host(scm, threads, activity, serviceLog, stopBoundMs) {
        REQUIRE(host.RegisterHandler("Telvarin", nullptr));
    }
    std::vector<DWORD> States() {
        std::vector<DWORD> states;
        for (const SERVICE_STATUS& s : scm.Reports()) states.push_back(s.dwCurrentState);
        return states;
    }
};

// A worker that stays in a named call until released.
struct HeldWorker {
    ActivityBoard* activity;
    win::UniqueHandle inCall{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    win::UniqueHandle release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    static DWORD WINAPI Run(LPVOID parameter) {
        auto* self = static_cast<HeldWorker*>(parameter);
        self->activity->Join("the worker");
        {
            Doing doing(*self->activity, "a call that never returns");
            SetEvent(self->inCall.Get());
            WaitForSingleObject(self->release.Get(), INFINITE);
        }
        self->activity->Leave();
        return 0;
    }
};

// Makes the first `working` events, then fails.
class EventsRunOut final : public ThreadApi {
public:
    explicit EventsRunOut(int working) : m_working(working) {}
    HANDLE StartThread(LPTHREAD_START_ROUTINE procedure, void* parameter) override {
        return SystemThreadApi().StartThread(procedure, parameter);
    }
    HANDLE MakeEvent() override {
        if (m_working-- > 0) return SystemThreadApi().MakeEvent();
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }

private:
    int m_working;
};

}  // namespace

TEST_CASE("a stop is answered with STOP_PENDING; its checkpoints rise, and STOPPED comes once, last") {
    HostFixture f;
    CHECK(f.host.StartupError() == 0);
    CHECK(f.scm.Reports().empty());  // START_PENDING is the manager's own until RUNNING
    HeldWorker worker{&f.activity};
    REQUIRE(f.host.StartWorker(HeldWorker::Run, &worker));
    f.host.HandleControl(SERVICE_CONTROL_SHUTDOWN);  // a shutdown is a stop
    CHECK(f.host.StopRequested());
    f.host.ReportStopProgress();
    f.host.HandleControl(SERVICE_CONTROL_STOP);  // a second stop changes nothing
    f.host.HandleControl(SERVICE_CONTROL_INTERROGATE);
    SetEvent(worker.release.Get());
    CHECK(f.host.WaitForWorker(Patient(10000)));
    f.host.FinishStop(NO_ERROR, 0);
    f.host.ReportStopProgress();
    f.host.FinishStop(ERROR_SERVICE_SPECIFIC_ERROR, 5);
    f.host.HandleControl(SERVICE_CONTROL_STOP);  // after STOPPED: STOPPED again, nothing else

    const auto reports = f.scm.Reports();
    REQUIRE(reports.size() == 7);
    CHECK(reports[0].dwCurrentState == SERVICE_RUNNING);
    CHECK(reports[0].dwControlsAccepted == (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT));
    CHECK(reports[0].dwServiceType == SERVICE_WIN32_OWN_PROCESS);
    for (int i = 1; i <= 4; ++i) {
        CHECK(reports[i].dwCurrentState == SERVICE_STOP_PENDING);
        CHECK(reports[i].dwWaitHint == telvarin::kStopWaitHintMs);
    }
    CHECK(reports[1].dwCheckPoint == 1);
    CHECK(reports[2].dwCheckPoint == 2);
    CHECK(reports[3].dwCheckPoint == 2);  // the repeated stop and the interrogation: the last status
    const SERVICE_STATUS& s = reports[5];
    CHECK((s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode == NO_ERROR && s.dwServiceSpecificExitCode == 0 &&
           s.dwCheckPoint == 0 && s.dwWaitHint == 0));
    CHECK(reports[6].dwCurrentState == SERVICE_STOPPED);
    CHECK(f.log.Events().empty());
}

TEST_CASE("a service that cannot start its worker never runs without one") {
    HostFixture f;
    HeldWorker worker{&f.activity};
    SUBCASE("a stop while ServiceMain is on its way: STOPPED from ServiceMain, never RUNNING") {
        f.host.HandleControl(SERVICE_CONTROL_STOP);
        CHECK(f.States() == std::vector<DWORD>{SERVICE_STOP_PENDING});
        CHECK_FALSE(f.host.StartWorker(HeldWorker::Run, &worker));
        CHECK(f.States() == std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOPPED});
        CHECK(f.log.Events().empty());
    }
    SUBCASE("the RUNNING report failed: no worker, and a stop control reports STOPPED") {
        f.scm.failReports = 1;
        CHECK_FALSE(f.host.StartWorker(HeldWorker::Run, &worker));
        CHECK(f.threads.startAttempts == 0);
        f.host.HandleControl(SERVICE_CONTROL_STOP);
        CHECK(f.States() == std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOPPED});
    }
    SUBCASE("the worker's thread could not be made: reported, and STOPPED with the error") {
        f.threads.failStarts = 1;
        CHECK_FALSE(f.host.StartWorker(HeldWorker::Run, &worker));
        CHECK(f.States() == std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED});
        CHECK(f.scm.Reports().back().dwWin32ExitCode == ERROR_NOT_ENOUGH_MEMORY);
        CHECK(f.log.Texts() == std::vector<std::string>{"Worker not started (error 8): the service stops"});
        CHECK(f.log.Events()[0].type == EVENTLOG_WARNING_TYPE);
        f.host.HandleControl(SERVICE_CONTROL_STOP);  // answered with STOPPED, nothing started
        CHECK(f.scm.LastState() == SERVICE_STOPPED);
    }
    CHECK(f.host.WaitForWorker(0));  // nothing to wait for
}

TEST_CASE("without its stop events the host says why it cannot start") {
    RecordingEventLog log;
    ServiceLog serviceLog{log};
    RecordingServiceControl scm;
    ActivityBoard activity;
    int working = 0;
    SUBCASE("the stop event") { working = 0; }
    SUBCASE("the event of the finished stop") { working = 1; }
    EventsRunOut threads(working);
    ServiceHost host(scm, threads, activity, serviceLog);
    CHECK(host.StartupError() == ERROR_NO_SYSTEM_RESOURCES);
}

TEST_CASE("a stop that overruns its bound: the call that holds it up named, STOPPED with a service error, the process ended") {
    HostFixture f(200);
    HeldWorker worker{&f.activity};
    REQUIRE(f.host.StartWorker(HeldWorker::Run, &worker));
    REQUIRE(WaitForSingleObject(worker.inCall.Get(), Patient(10000)) == WAIT_OBJECT_0);
    f.host.HandleControl(SERVICE_CONTROL_STOP);
    REQUIRE(Eventually([&] { return f.scm.endedWith != -1; }));
    CHECK(f.scm.endedWith == static_cast<LONG>(telvarin::kStopOverranCode));
    CHECK(f.host.StopForced());
    CHECK(f.log.Texts() == std::vector<std::string>{"Stop not finished in 0 s: the worker is in a call that never returns"});
    CHECK(f.log.Events()[0].type == EVENTLOG_WARNING_TYPE);
    SERVICE_STATUS s = f.scm.Reports().back();
    CHECK((s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR &&
           s.dwServiceSpecificExitCode == telvarin::kStopOverranCode));
    CHECK(f.scm.Reports()[1].dwWaitHint == 200 + telvarin::kStopHintMarginMs);  // the watchdog acts within the hint
    // The worker's own STOPPED, should it come after all, changes nothing.
    SetEvent(worker.release.Get());
    CHECK(f.host.WaitForWorker(Patient(10000)));
    f.host.FinishStop(NO_ERROR, 0);
    s = f.scm.Reports().back();
    CHECK((s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR));
}

TEST_CASE("the final wait gives up on a worker stuck in a call, and still waits for one that ends") {
    HostFixture f;
    HeldWorker worker{&f.activity};
    REQUIRE(f.host.StartWorker(HeldWorker::Run, &worker));
    CHECK_FALSE(f.host.WaitForWorker(200));
    SetEvent(worker.release.Get());
    CHECK(f.host.WaitForWorker(Patient(10000)));
    CHECK(f.host.WaitForWorker(0));  // no worker any more: nothing to wait for
}
