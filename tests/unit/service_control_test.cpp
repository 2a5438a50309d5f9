#include <doctest/doctest.h>

#include "tests/unit/test_support.h"

using namespace testing;

namespace {
// The status record as ServiceMain fills it before anything is reported.
void StartPending(CFnService& service) {
    service.Host().SetStartPending();
}

bool StopFinished(CFnService& service) { return service.Host().StopFinished(); }
}  // namespace

TEST_CASE("a stop is answered with STOP_PENDING; its checkpoints rise, and STOPPED comes once, last") {
    ServiceFixture f;
    StartPending(f.service);
    CHECK(f.service.Host().StartupError() == 0);
    f.service.Host().HandleControl(SERVICE_CONTROL_SHUTDOWN);  // a shutdown is a stop
    CHECK(f.service.Host().Status().dwCurrentState == SERVICE_STOP_PENDING);
    CHECK(f.service.Host().Status().dwCheckPoint == 1);
    CHECK(f.service.Host().Status().dwWaitHint == telvarin::kStopWaitHintMs);
    CHECK(f.service.Host().StopRequested());
    CHECK_FALSE(StopFinished(f.service));
    f.service.Host().ReportStopProgress();
    f.service.Host().HandleControl(SERVICE_CONTROL_STOP);  // a second stop changes nothing
    f.service.Host().HandleControl(SERVICE_CONTROL_INTERROGATE);
    CHECK(f.service.Host().Status().dwCheckPoint == 2);
    f.service.Host().FinishStop(NO_ERROR, 0);
    f.service.Host().ReportStopProgress();
    f.service.Host().FinishStop(ERROR_SERVICE_SPECIFIC_ERROR, 5);
    const SERVICE_STATUS& s = f.service.Host().Status();
    CHECK((s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode == NO_ERROR && s.dwServiceSpecificExitCode == 0 &&
           s.dwCheckPoint == 0 && s.dwWaitHint == 0));
    CHECK(StopFinished(f.service));
}

TEST_CASE("a stop before the worker has started ends the service without one") {
    ServiceFixture f;
    StartPending(f.service);
    SUBCASE("while ServiceMain is on its way: it reports STOPPED itself, never RUNNING") {
        f.service.Host().HandleControl(SERVICE_CONTROL_STOP);
        CHECK_FALSE(StopFinished(f.service));
        CHECK_FALSE(f.service.Host().StartWorker(WorkerThread, &f.service));
    }
    SUBCASE("after the worker could not be started: the control reports STOPPED") {
        // Outside the service manager the RUNNING report fails, so no worker is started.
        CHECK_FALSE(f.service.Host().StartWorker(WorkerThread, &f.service));
        f.service.Host().HandleControl(SERVICE_CONTROL_STOP);
    }
    CHECK(f.service.Host().Status().dwCurrentState == SERVICE_STOPPED);
    CHECK(StopFinished(f.service));
    CHECK(f.service.Host().Running() == 0);
    CHECK_FALSE(f.service.Host().HasWorker());

    f.service.Host().DropStopEventForTest();
    CHECK(f.service.Host().StartupError() != 0);
}

TEST_CASE("a stop that overruns its bound names the call that holds it up and reports a service error") {
    ServiceFixture f;
    StartPending(f.service);
    f.service.Host().HandleControl(SERVICE_CONTROL_STOP);
    f.service.Activity().Join("the test");
    {
        Doing doing(f.service.Activity(), "a call that never returns");
        CHECK_FALSE(f.service.Host().AwaitStopFinished(100));
    }
    f.service.Activity().Leave();
    CHECK(f.log.Texts() == std::vector<std::string>{"Stop not finished in 0 s: the test is in a call that never returns"});
    const SERVICE_STATUS& s = f.service.Host().Status();
    CHECK((s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR &&
           s.dwServiceSpecificExitCode == telvarin::kStopOverranCode));
    // A stop that has finished is not forced.
    CHECK(f.service.Host().AwaitStopFinished(100));
    CHECK(f.log.Texts().size() == 1);
}

namespace {
DWORD WINAPI WaitForever(LPVOID release) {
    WaitForSingleObject(static_cast<HANDLE>(release), INFINITE);
    return 0;
}
}  // namespace

TEST_CASE("the final wait gives up on a worker stuck in a call, and still waits for one that ends") {
    ServiceFixture f;
    win::UniqueHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    f.service.Host().AdoptWorker(CreateThread(nullptr, 0, WaitForever, release.Get(), 0, nullptr));
    CHECK_FALSE(f.service.Host().WaitForWorker(200));
    CHECK(f.service.Host().HasWorker());  // still owned: the caller decides what to do
    SetEvent(release.Get());
    CHECK(f.service.Host().WaitForWorker(10000));
    CHECK_FALSE(f.service.Host().HasWorker());
    CHECK(f.service.Host().WaitForWorker(0));  // no worker: nothing to wait for
}
