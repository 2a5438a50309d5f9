#include <doctest/doctest.h>

#include "tests/unit/test_support.h"

using namespace testing;

TEST_CASE("STOPPED is the last status report, and a service without its stop event cannot start") {
    ServiceFixture f;
    f.service.m_status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    CHECK(f.service.StartupError() == 0);
    f.service.HandleControl(SERVICE_CONTROL_STOP);
    // ServiceMain's RUNNING report comes too late: it must neither report nor mark the service running.
    CHECK_FALSE(f.service.ReportRunning());
    CHECK(f.service.m_status.dwCurrentState == SERVICE_STOPPED);
    CHECK(f.service.m_running == 0);

    f.service.m_hStopEvent.Reset();
    CHECK(f.service.StartupError() != 0);
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
