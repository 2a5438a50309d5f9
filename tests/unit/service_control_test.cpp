#include <doctest/doctest.h>

#include "tests/unit/test_support.h"

using namespace testing;

namespace {
// The status record as ServiceMain fills it before anything is reported.
void StartPending(CFnService& service) {
    service.m_status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING,
                                      SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0, 0, 0};
}

bool StopFinished(CFnService& service) { return WaitForSingleObject(service.m_hStopFinished.Get(), 0) == WAIT_OBJECT_0; }
}  // namespace

TEST_CASE("a stop is answered with STOP_PENDING; its checkpoints rise, and STOPPED comes once, last") {
    ServiceFixture f;
    StartPending(f.service);
    CHECK(f.service.StartupError() == 0);
    f.service.HandleControl(SERVICE_CONTROL_SHUTDOWN);  // a shutdown is a stop
    CHECK(f.service.m_status.dwCurrentState == SERVICE_STOP_PENDING);
    CHECK(f.service.m_status.dwCheckPoint == 1);
    CHECK(f.service.m_status.dwWaitHint == telvarin::kStopWaitHintMs);
    CHECK(f.service.StopRequested());
    CHECK_FALSE(StopFinished(f.service));
    f.service.ReportStopProgress();
    f.service.HandleControl(SERVICE_CONTROL_STOP);  // a second stop changes nothing
    f.service.HandleControl(SERVICE_CONTROL_INTERROGATE);
    CHECK(f.service.m_status.dwCheckPoint == 2);
    f.service.FinishStop(NO_ERROR, 0);
    f.service.ReportStopProgress();
    f.service.FinishStop(ERROR_SERVICE_SPECIFIC_ERROR, 5);
    const SERVICE_STATUS& s = f.service.m_status;
    CHECK((s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode == NO_ERROR && s.dwServiceSpecificExitCode == 0 &&
           s.dwCheckPoint == 0 && s.dwWaitHint == 0));
    CHECK(StopFinished(f.service));
}

TEST_CASE("a stop before the worker has started ends the service without one") {
    ServiceFixture f;
    StartPending(f.service);
    SUBCASE("while ServiceMain is on its way: it reports STOPPED itself, never RUNNING") {
        f.service.HandleControl(SERVICE_CONTROL_STOP);
        CHECK_FALSE(StopFinished(f.service));
        CHECK_FALSE(f.service.StartWorker());
    }
    SUBCASE("after the worker could not be started: the control reports STOPPED") {
        // Outside the service manager the RUNNING report fails, so no worker is started.
        CHECK_FALSE(f.service.StartWorker());
        f.service.HandleControl(SERVICE_CONTROL_STOP);
    }
    CHECK(f.service.m_status.dwCurrentState == SERVICE_STOPPED);
    CHECK(StopFinished(f.service));
    CHECK(f.service.m_running == 0);
    CHECK_FALSE(f.service.m_hWorker);

    f.service.m_hStopEvent.Reset();
    CHECK(f.service.StartupError() != 0);
}

TEST_CASE("a stop that overruns its bound names the call that holds it up and reports a service error") {
    ServiceFixture f;
    StartPending(f.service);
    f.service.HandleControl(SERVICE_CONTROL_STOP);
    f.service.Activity().Join("the test");
    {
        Doing doing(f.service.Activity(), "a call that never returns");
        CHECK_FALSE(f.service.AwaitStopFinished(100));
    }
    f.service.Activity().Leave();
    CHECK(f.log.Texts() == std::vector<std::string>{"Stop not finished in 0 s: the test is in a call that never returns"});
    const SERVICE_STATUS& s = f.service.m_status;
    CHECK((s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR &&
           s.dwServiceSpecificExitCode == telvarin::kStopOverranCode));
    // A stop that has finished is not forced.
    CHECK(f.service.AwaitStopFinished(100));
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
    f.service.m_hWorker.Reset(CreateThread(nullptr, 0, WaitForever, release.Get(), 0, nullptr));
    CHECK_FALSE(f.service.WaitForWorker(200));
    CHECK(f.service.m_hWorker);  // still owned: the caller decides what to do
    SetEvent(release.Get());
    CHECK(f.service.WaitForWorker(10000));
    CHECK_FALSE(f.service.m_hWorker);
    CHECK(f.service.WaitForWorker(0));  // no worker: nothing to wait for
}
