// The settings store built alone: a fake firmware bridge, the test's own stop, activity board,
// recorded log and thread calls.
#pragma once

#include <windows.h>

#include <vector>

#include "core/firmware_api.h"
#include "settings/settings_store.h"
#include "tests/unit/test_support.h"

namespace testing {

struct RegisterCall {
    DWORD eax, ebx, ecx, edx;
    bool operator==(const RegisterCall& other) const {
        return eax == other.eax && ebx == other.ebx && ecx == other.ecx && edx == other.edx;
    }
};

// Records register calls and settings writes, answers as told; called from the watchers' threads.
class FakeFirmware final : public FirmwareApi {
public:
    explicit FakeFirmware(HANDLE stop) : m_stop(stop) {}

    int CallFirmware(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx) override {
        {
            win::Lock lock(m_lock);
            m_calls.push_back({eax, ebx, ecx, edx});
        }
        // As the bridge does with a call that never answers: given up at the stop.
        if (hangCalls) {
            WaitForSingleObject(m_stop, INFINITE);
            return 0;
        }
        if (callResult != 1) return callResult;
        eax = answerEax;
        return 1;
    }
    int WriteFirmwareSetting(DWORD value) override {
        {
            win::Lock lock(m_lock);
            m_writes.push_back(value);
        }
        if (stopDuringWrite) SetEvent(m_stop);
        return writeResult;
    }
    // Requests not ready are dropped at once: the bridge's hold is the bridge's tests' to show.
    int CallForRequest(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx) override {
        return ready ? CallFirmware(eax, ebx, ecx, edx) : 0;
    }
    int SettingsWritesOutstanding() override { return outstanding; }
    DWORD RetryReadiness() override { return INFINITE; }
    HANDLE ReadinessDueEvent() override { return nullptr; }

    std::vector<RegisterCall> Calls() {
        win::Lock lock(m_lock);
        return m_calls;
    }
    std::vector<DWORD> Writes() {
        win::Lock lock(m_lock);
        return m_writes;
    }
    // The EBX of each register call, in order.
    std::vector<DWORD> Ebx() {
        std::vector<DWORD> ebx;
        for (const RegisterCall& call : Calls()) ebx.push_back(call.ebx);
        return ebx;
    }

    volatile bool ready = true;
    volatile int callResult = 1;
    volatile DWORD answerEax = 0;  // the firmware's EAX of a call that succeeds
    volatile bool hangCalls = false;
    volatile int writeResult = 1;
    volatile int outstanding = 0;
    volatile bool stopDuringWrite = false;  // the stop comes while the write is out

private:
    HANDLE m_stop;
    win::CriticalSection m_lock;
    std::vector<RegisterCall> m_calls;
    std::vector<DWORD> m_writes;
};

// A store on a fresh SystemEvent tree with its start-up values written.
struct StoreFixture {
    RecordingEventLog log;
    ServiceLog serviceLog{log};
    win::UniqueHandle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    ActivityBoard activity;
    FakeFirmware firmware{stop.Get()};
    FlakyThreadApi threads;
    SettingsStore store{firmware, stop.Get(), activity, serviceLog, threads};

    StoreFixture() {
        DeleteSystemEventTree();
        store.WriteStartupValues();
    }
    ~StoreFixture() {
        StopWatchers();
        DeleteSystemEventTree();
    }
    // Ends the watchers through the stop signal.
    void StopWatchers() {
        SetEvent(stop.Get());
        store.JoinWatchers();
    }
};

}  // namespace testing
