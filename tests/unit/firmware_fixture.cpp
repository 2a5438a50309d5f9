#include "tests/unit/firmware_fixture.h"

#include <doctest/doctest.h>

namespace testing {

RecordedButtons::RecordedButtons() { InitializeCriticalSection(&m_cs); }
RecordedButtons::~RecordedButtons() { DeleteCriticalSection(&m_cs); }

void RecordedButtons::Record(DWORD action) {
    win::Lock lock(m_cs);
    m_actions.push_back(action);
}

std::vector<DWORD> RecordedButtons::Actions() {
    win::Lock lock(m_cs);
    return m_actions;
}

BridgeFixture::BridgeFixture(DWORD callBoundMs)
    : baselineObjects(fwemu::LiveObjects()),
      bridge(stop.Get(), activity, serviceLog, WmiSetup{runtime, clock, callBoundMs}) {
    REQUIRE(stop);
    REQUIRE(emulator.Ok());
    REQUIRE(emulator.Reset());
}

BridgeFixture::~BridgeFixture() {
    // A call given up and still in the provider would end on a helper that uses this fixture's
    // runtime and clock: the emulator lets it go, and it is waited for.
    emulator.Reset();
    for (int op = 0; op < static_cast<int>(WmiOp::Count); ++op)
        Eventually([&] { return bridge.Wmi().Outstanding(static_cast<WmiOp>(op)) == 0; });
    bridge.Wmi().Close();
}

void BridgeFixture::Connect() {
    REQUIRE(bridge.Connect() == 1);
    REQUIRE(bridge.Wmi().Ready() == 1);
}


fwemu::ConnectionStats BridgeFixture::Stats() {
    fwemu::ConnectionStats stats;
    REQUIRE(emulator.GetConnectionStats(&stats));
    return stats;
}

void BridgeFixture::Fault(const char* name, const char* value) { REQUIRE(emulator.SetFault(name, value)); }

namespace {
DWORD WINAPI WriteSetting(LPVOID bridge) {
    static_cast<FirmwareBridge*>(bridge)->WriteFirmwareSetting(1);
    return 0;
}
}  // namespace

bool CallsGetThrough(FirmwareBridge& bridge, DWORD ms) {
    // Left to itself when it does not get through: it waits on a lock that nothing will free.
    win::UniqueHandle thread(CreateThread(nullptr, 0, WriteSetting, &bridge, 0, nullptr));
    return thread && WaitForSingleObject(thread.Get(), testing::Patient(ms)) == WAIT_OBJECT_0;
}

int NotifyFailures(BridgeFixture& f, LONG start) {
    fwemu::Faults faults;
    REQUIRE(f.emulator.GetFaults(&faults));
    return static_cast<int>(start - faults.notifyFail);
}

BridgeThread::BridgeThread(BridgeFixture& f, LPTHREAD_START_ROUTINE proc, void* parameter)
    : m_f(f), m_thread(CreateThread(nullptr, 0, proc, parameter, 0, nullptr)) {
    REQUIRE(m_thread);
}

BridgeThread::~BridgeThread() {
    if (WaitForSingleObject(m_thread.Get(), 0) == WAIT_OBJECT_0) return;
    m_f.Stop();
    WaitForSingleObject(m_thread.Get(), INFINITE);
}

bool BridgeThread::Ended(DWORD ms, DWORD* code) {
    if (WaitForSingleObject(m_thread.Get(), ms) != WAIT_OBJECT_0) return false;
    if (code) GetExitCodeThread(m_thread.Get(), code);
    return true;
}

DWORD WINAPI ListenerThread::Run(LPVOID self) {
    auto* me = static_cast<ListenerThread*>(self);
    me->m_f.bridge.RunEventListener(me->buttons);
    return 0;
}

void ListenerThread::Start(bool subscribed) {
    const uint64_t subscriptions = m_f.Stats().subscriptions;
    m_thread.Reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
    REQUIRE(m_thread);
    if (subscribed) REQUIRE(Eventually([&] { return m_f.Stats().subscriptions > subscriptions && Subscribed(m_f.emulator); }));
}

void ListenerThread::Stop() {
    if (!m_thread) return;
    m_f.Stop();
    CHECK(WaitForSingleObject(m_thread.Get(), testing::Patient(10000)) == WAIT_OBJECT_0);
    m_thread.Reset();
}

}  // namespace testing
