// Helpers shared by the unit tests: a clean SystemEvent tree and a recording event log.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "core/event_log_api.h"
#include "tests/patience.h"
#include "service/fn_service.h"

namespace testing {

constexpr char kSystemEventKey[] = TELVARIN_KEY_ROOT;

// Deletes the vendor key (TELVARIN_KEY_VENDOR) with everything below it.
void DeleteSystemEventTree();
// Deletes one SystemEvent key that has no subkeys (in the protocol's registry view).
void DeleteKey(const char* subkey);
// Writes raw registry data under HKLM (creating the key), for values of any type and size.
void WriteRaw(const char* subkey, const char* name, DWORD type, const void* data, DWORD size);
void WriteDword(const char* subkey, const char* name, DWORD value);
// The stored value, or `missing` when the value is absent or not a 4-byte REG_DWORD.
DWORD ReadDword(const char* subkey, const char* name, DWORD missing = 0xDEADBEEF);
bool KeyExists(const char* subkey);

struct LoggedEvent {
    WORD type;
    DWORD id;
    std::vector<std::string> strings;
};

// Records reports instead of writing them; thread-safe, with a switch to fail registration.
class RecordingEventLog final : public EventLogApi {
public:
    RecordingEventLog();
    ~RecordingEventLog() override;
    HANDLE Register(const char* sourceName) override;
    void Report(HANDLE source, WORD type, DWORD eventId, WORD stringCount, const char** strings) override;
    void Deregister(HANDLE source) override;

    std::vector<LoggedEvent> Events();
    std::vector<std::string> Texts();  // strings of the id-107 reports, in order
    void Clear();

    volatile LONG failRegistrations = 0;  // number of registrations still to fail
    volatile LONG registrations = 0;
    volatile LONG deregistrations = 0;
    std::string lastSourceName;
    DWORD registerDelayMs = 0;  // widens the window in which two first reports race

private:
    CRITICAL_SECTION m_cs;
    std::vector<LoggedEvent> m_events;
};

// Records the status reports and the end of the process instead of making them; thread-safe,
// with switches to refuse the handler and to fail reports.
class RecordingServiceControl final : public ServiceControlApi {
public:
    RecordingServiceControl();
    ~RecordingServiceControl() override;
    SERVICE_STATUS_HANDLE RegisterHandler(const char* serviceName, LPHANDLER_FUNCTION_EX handler) override;
    BOOL ReportStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override;
    void EndProcess(UINT exitCode) override;

    std::vector<SERVICE_STATUS> Reports();
    // The state last reported (0: none yet).
    DWORD LastState();

    bool refuseHandler = false;
    volatile LONG failReports = 0;  // number of reports still to fail
    volatile LONG endedWith = -1;   // the exit code EndProcess was asked for

private:
    CRITICAL_SECTION m_cs;
    std::vector<SERVICE_STATUS> m_reports;
};

// The system's thread calls, with switches to fail the next thread starts or events.
class FlakyThreadApi final : public ThreadApi {
public:
    HANDLE StartThread(LPTHREAD_START_ROUTINE procedure, void* parameter) override;
    HANDLE MakeEvent() override;

    volatile LONG failStarts = 0, failEvents = 0;  // attempts still to fail
    volatile LONG startAttempts = 0;
};

}  // namespace testing

#include "emulator/fwemu.h"
#include "emulator/store.h"  // fwemu::Narrow
#include "core/com_runtime.h"

namespace testing {

// COM start-up that can fail on purpose and hands out the emulator's in-process locator.
class EmulatorComRuntime final : public ComRuntime {
public:
    HRESULT InitializeMultithreaded() override;
    void Uninitialize() override { InterlockedIncrement(&uninitializeCalls); }
    HRESULT InitializeSecurity() override;
    HRESULT CreateLocator(IWbemLocator** locator) override;

    volatile LONG failInitialize = 0;     // apartments still to fail, the helpers' included
    int failSecurity = 0, failCreate = 0;  // attempts still to fail
    int nullLocator = 0;  // attempts still to answer S_OK without a locator
    HRESULT initializeFailure = E_FAIL;
    volatile LONG initializeCalls = 0, uninitializeCalls = 0;
    int securityCalls = 0, createCalls = 0;
};

// A service object whose event log and status reports are recorded, and whose WMI connection
// would reach the emulator; the object g_pService points at during a test.
struct ServiceFixture {
    RecordingEventLog log;
    RecordingServiceControl scm;
    EmulatorComRuntime runtime;
    CFnService service{log, scm, runtime};
};

// The register calls and settings writes the emulated firmware has recorded.
std::vector<fwemu::CallRecord> EmulatorCalls(fwemu::Controller& emulator);
std::vector<fwemu::WriteRecord> EmulatorWrites(fwemu::Controller& emulator);

// A service object beside a freshly reset emulator, with a recorded event log: its worker
// connects as the service's does.
struct FirmwareFixture : ServiceFixture {
    fwemu::Controller emulator;
    LONG baselineObjects;

    FirmwareFixture();
    std::vector<fwemu::CallRecord> Calls() { return EmulatorCalls(emulator); }
    std::vector<fwemu::WriteRecord> Writes() { return EmulatorWrites(emulator); }
    void Fault(const char* name, const char* value);
};

// Calls `register texts` of a record as narrow strings, for comparisons.
std::vector<std::string> InputTexts(const fwemu::CallRecord& call);
using fwemu::Narrow;

// Polls `predicate` until it holds or `timeoutMs` (made patient) has passed on the clock; the
// result of the last look. The default is generous: it only says when to give up.
template <typename Predicate>
bool Eventually(Predicate predicate, DWORD timeoutMs = 30000) {
    const ULONGLONG deadline = GetTickCount64() + Patient(timeoutMs);
    while (GetTickCount64() < deadline) {
        if (predicate()) return true;
        Sleep(20);
    }
    return predicate();
}

// True once some live process holds a button-event subscription at the emulator.
bool Subscribed(fwemu::Controller& emulator);
// Events that subscriptions have taken from the emulator so far.
uint64_t EventsDelivered(fwemu::Controller& emulator);

inline bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// Brings winmgmt into the wanted state in this prefix; false when the manager refuses.
bool SetWinmgmtRunning(bool running);

// True when another thread can take the lock right now (so no path left it held).
bool LockIsFree(win::CriticalSection& lock);

}  // namespace testing
