// Telvarin firmware emulator: an in-process stand-in for the ACPI-WMI classes in ROOT\WMI
// (OrvButtonMethodDW, OrvButtonData, OrvButtonEvent) plus a controller that drives it from
// outside. State lives in a file-backed shared block so that every process sees the same firmware.
#pragma once

#include <windows.h>
#include <wbemcli.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/protocol.h"

namespace fwemu {

// ---- COM side -------------------------------------------------------------------------------

// Creates the locator object that fwemu.dll's class factory hands out for CLSID_WbemLocator.
HRESULT CreateLocator(IWbemLocator** out);

// Emulator COM objects alive in this process (locators, services, class objects, instances,
// enumerators, out-params, events, class factories).
LONG LiveObjects();

// ---- State location -------------------------------------------------------------------------

// Points this process at another state file; nullptr restores the default, which is
// %TELVARIN_FWEMU_STATE% when set, else %ProgramData%\TelvarinEmulator\firmware-state.bin.
// Call before creating objects: objects keep the state they were created with.
void SetStatePath(const wchar_t* path);
std::wstring StatePath();

// ---- Controller -----------------------------------------------------------------------------

constexpr int kMaxDataInstances = 8;
constexpr DWORD kMaxCallDelayMs = 60000;
constexpr DWORD kCallLogSize = 4096;
constexpr DWORD kWriteLogSize = 1024;
constexpr DWORD kEventQueueSize = 4096;

struct ModelState {
    bool radio = true;         // device state A, toggled by sub-function 0x5D
    bool deviceB = false;      // device state B, sub-function 0x34
    DWORD option = 0;          // firmware option byte, sub-function 0x2E
    DWORD setting = 0;         // last accepted OrvButtonData.Param
    DWORD settingWrites = 0;   // accepted settings writes since reset
};

struct Faults {
    LONG connectFail = 0;          // ConnectServer fails this many more times
    bool methodClassMissing = false;
    bool methodMissing = false;
    bool spawnFail = false;
    bool execFail = false;
    bool noOutput = false;
    DWORD cflag = 0;               // nonzero: forced CFlag value
    bool outEaxForced = false;
    DWORD outEax = 0;
    DWORD dataInstances = 1;       // 0..kMaxDataInstances
    bool putReject = false;
    LONG notifyFail = 0;           // ExecNotificationQuery fails this many more times; -1 forever
    DWORD callDelayMs = 0;         // ExecMethod and PutInstance sleep this long first; 0..kMaxCallDelayMs
    bool nullParam = false;        // events carry Param as VT_NULL
    bool nullOutput = false;       // ExecMethod's outputs read as VT_NULL
    bool nullObject = false;       // GetObject and the queries answer S_OK with a null object
    bool putFail = false;          // Put on input and data instances fails
    bool dataHang = false;         // Next on an OrvButtonData query never answers while on
    bool methodHang = false;       // ExecMethod never answers while on
    bool putHang = false;          // PutInstance never answers while on
    bool eventHang = false;        // Next on a subscription never answers while on
    bool notifyHang = false;       // ExecNotificationQuery never answers while on
    LONG eventFail = 0;            // Next on a subscription fails this many more times; -1 forever
    bool dataTimeout = false;      // Next on an OrvButtonData query waits out its time-out, answers "timed out"
    HRESULT failCode = 0;          // nonzero: what connect-fail, notify-fail, event-fail and exec-fail answer
    DWORD wmiDownMs = 0;           // ConnectServer fails with RPC_S_SERVER_UNAVAILABLE this much longer
    // The InstanceName of the one OrvButtonMethodDW instance published ("" publishes none). Another
    // model's ACPI-WMI device may carry another unique id, e.g. ACPI\PNP0C14\1_0.
    std::wstring methodInstance = L"" TELVARIN_WMI_METHOD_INSTANCE;
};

// How the connections to the emulator have gone, for telling a reconnection from outside.
struct ConnectionStats {
    uint64_t connects = 0;         // successful ConnectServer calls
    uint64_t subscriptions = 0;    // successful ExecNotificationQuery calls
    uint64_t callsStarted = 0;     // ExecMethod calls that reached the firmware (before any delay or hang)
    uint64_t pollsStarted = 0;     // Next calls on button-event subscriptions (before any fault)
    uint64_t pollsHung = 0;        // of them, those the event-hang fault held (counted as it takes hold)
    LONG generation = 0;           // raised by each disconnect
};

struct CallRecord {
    uint64_t seq = 0;              // 1-based position in all calls since reset
    DWORD pid = 0;
    std::wstring in[4];            // InEAX..InEDX exactly as received ("" when not set)
    bool inSet[4] = {};
    HRESULT hr = S_OK;             // what ExecMethod returned
    bool hasOutput = false;
    DWORD out[4] = {};             // OutEAX..OutEDX
    DWORD cflag = 0;
};

struct WriteRecord {
    uint64_t seq = 0;
    DWORD pid = 0;
    std::wstring text;             // Param exactly as received
    DWORD value = 0;               // parsed value when hr succeeded
    HRESULT hr = S_OK;
};

struct LiveEntry {
    DWORD pid = 0;
    LONG count = 0;
    bool alive = false;            // false: the process has exited; count is what it left behind
};

class Store;

// Reads and changes the shared state. Every method returns false and sets Error() when the
// state cannot be opened or is not a valid emulator block.
class Controller {
public:
    Controller();  // opens the state at StatePath(), creating it when absent
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    bool Ok() const { return m_store != nullptr; }
    const std::string& Error() const { return m_error; }

    // Rewrites a corrupt, foreign or old-version file as a fresh block (plain Controller refuses).
    static bool ForceReset(std::string* error);

    // Model, faults and logs back to defaults; live counts and subscriptions stay.
    bool Reset();
    bool InjectEvent(DWORD code, DWORD count = 1);
    bool GetModel(ModelState* out);
    bool SetRadio(bool on);
    bool SetDeviceB(bool on);
    bool GetFaults(Faults* out);
    bool SetFaults(const Faults& faults);
    // name/value as the controller's `fault` command takes them, e.g. ("connect-fail", "3").
    bool SetFault(const std::string& name, const std::string& value);
    // Entries oldest first; total counts every record since reset, including overwritten ones.
    bool GetCalls(std::vector<CallRecord>* out, uint64_t* total);
    bool GetWrites(std::vector<WriteRecord>* out, uint64_t* total);
    bool GetEventTotal(uint64_t* total);
    bool GetLive(std::vector<LiveEntry>* out);
    // Events that subscriptions have handed out so far (all subscribers together).
    bool GetEventsDelivered(uint64_t* delivered);
    // Button-event subscriptions held by live processes.
    bool GetSubscribers(DWORD* count);
    bool GetConnectionStats(ConnectionStats* out);
    // Ends the current connection: every object obtained through it answers RPC_E_DISCONNECTED
    // from now on, and waiting subscriptions wake to say so. A new ConnectServer works as before.
    bool Disconnect();

private:
    bool Fail(const std::string& text);
    // SetFault's work under the state lock; `disconnect` tells whether subscribers must wake.
    bool ApplyFault(const std::string& name, const std::string& value, bool* disconnect);
    std::shared_ptr<Store> m_store;
    std::string m_error;
};

// Strict decimal text as a CIM uint32: digits only, or '-' and digits for the signed form
// (range -2147483648..4294967295; negatives wrap). Exposed for the tests.
bool ParseUint32Text(const wchar_t* text, DWORD* value);

}  // namespace fwemu
