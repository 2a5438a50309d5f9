// The firmware bridge built alone, as the service builds it, with fakes for what it is handed: a
// stop event of its own, an activity board, a recorded log, COM start-up that hands out the
// emulator's locator (and can fail on purpose), a clock the test moves on, and a call bound. No
// other part of the service exists in these tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "core/activity.h"
#include "core/service_log.h"
#include "firmware/clock.h"
#include "firmware/firmware_bridge.h"
#include "tests/unit/test_support.h"

namespace testing {

// A clock that runs with GetTickCount64 plus whatever the test has moved it on by. Held, it stands
// still while real time goes on, as the service's clock of time awake does while the machine
// sleeps (and a wait's time-out may run on, as on Windows 7); released, it runs on from there.
class ManualClock final : public Clock {
public:
    ULONGLONG Now() const override {
        const LONGLONG held = Read(m_heldAt);
        return held ? static_cast<ULONGLONG>(held) : GetTickCount64() + static_cast<ULONGLONG>(Read(m_offset));
    }
    void Advance(ULONGLONG ms) { InterlockedExchangeAdd64(&m_offset, static_cast<LONGLONG>(ms)); }
    void Hold() { InterlockedExchange64(&m_heldAt, static_cast<LONGLONG>(Now())); }
    void Release() {
        InterlockedExchange64(&m_offset, Read(m_heldAt) - static_cast<LONGLONG>(GetTickCount64()));
        InterlockedExchange64(&m_heldAt, 0);
    }

private:
    static LONGLONG Read(const volatile LONGLONG& value) {
        return InterlockedCompareExchange64(const_cast<volatile LONGLONG*>(&value), 0, 0);
    }
    volatile LONGLONG m_offset = 0;
    volatile LONGLONG m_heldAt = 0;  // 0: running
};

// The actions of the button events, recorded in the order the listener asked for them.
class RecordedButtons final : public ButtonActions {
public:
    RecordedButtons();
    ~RecordedButtons() override;
    void SleepPerPolicy() override { Record(kSleep); }
    void Hibernate() override { Record(kHibernate); }
    void ToggleNotification(DWORD code) override { Record(code); }
    // Each toggle's code; kSleep and kHibernate stand for the power actions.
    std::vector<DWORD> Actions();
    static constexpr DWORD kSleep = 0xFFFFFFF0, kHibernate = 0xFFFFFFF1;

private:
    void Record(DWORD action);
    CRITICAL_SECTION m_cs;
    std::vector<DWORD> m_actions;
};

struct BridgeFixture {
    // `callBoundMs`: how long a WMI call may take before it is given up.
    explicit BridgeFixture(DWORD callBoundMs = telvarin::kCallBoundMs);
    ~BridgeFixture();
    BridgeFixture(const BridgeFixture&) = delete;
    BridgeFixture& operator=(const BridgeFixture&) = delete;

    RecordingEventLog log;  // what the bridge reported: log.Texts()
    ServiceLog serviceLog{log};
    EmulatorComRuntime runtime;
    ManualClock clock;
    win::UniqueHandle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    ActivityBoard activity;
    fwemu::Controller emulator;
    LONG baselineObjects;
    FirmwareBridge bridge;

    WmiConnection& Wmi() { return bridge.Wmi(); }
    // The first connection, as the worker makes it; the calling thread then connects again.
    void Connect();
    void Stop() { SetEvent(stop.Get()); }
    std::vector<fwemu::CallRecord> Calls() { return EmulatorCalls(emulator); }
    std::vector<fwemu::WriteRecord> Writes() { return EmulatorWrites(emulator); }
    fwemu::ConnectionStats Stats();
    void Fault(const char* name, const char* value);
};

// A thread of the test that uses the bridge: when it goes out of scope (a failed check
// included), the bridge is told to stop and the thread waited for, so that it never runs on
// into a fixture that is gone.
class BridgeThread {
public:
    BridgeThread(BridgeFixture& f, LPTHREAD_START_ROUTINE proc, void* parameter);
    ~BridgeThread();
    BridgeThread(const BridgeThread&) = delete;
    BridgeThread& operator=(const BridgeThread&) = delete;
    // Whether it ended within `ms`; its exit code then in `code`.
    bool Ended(DWORD ms, DWORD* code = nullptr);

private:
    BridgeFixture& m_f;
    win::UniqueHandle m_thread;
};

// True when a call from another thread gets past the connection's call lock within `ms`: no
// path of this thread left it held. The call's own result does not matter.
bool CallsGetThrough(FirmwareBridge& bridge, DWORD ms = 10000);
// The subscriptions the emulator has refused so far under notify-fail N, from `start` (its N).
int NotifyFailures(BridgeFixture& f, LONG start);

// The bridge's button-event listener on a thread of its own, acting through recorded buttons.
class ListenerThread {
public:
    explicit ListenerThread(BridgeFixture& f) : m_f(f) {}
    ~ListenerThread() { Stop(); }
    // Starts it; with `subscribed`, waits until it holds a subscription at the emulator.
    void Start(bool subscribed = true);
    // Stops the bridge and waits for the listener to end.
    void Stop();
    bool Running() const { return m_thread && WaitForSingleObject(m_thread.Get(), 0) == WAIT_TIMEOUT; }
    RecordedButtons buttons;

private:
    static DWORD WINAPI Run(LPVOID self);
    BridgeFixture& m_f;
    win::UniqueHandle m_thread;
};

}  // namespace testing
