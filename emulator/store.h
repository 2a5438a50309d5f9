// The shared firmware state: one file-backed block mapped by every process that uses the
// emulator, locked by a named mutex whose name is derived from the file's full path.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/win_raii.h"
#include "emulator/fwemu.h"

namespace fwemu {

constexpr uint32_t kMagic = 0x45574654;  // "TFWE"
constexpr uint32_t kVersion = 8;
constexpr int kTextChars = 32;           // recorded input text, longer text is cut (and rejected)
constexpr int kLiveSlots = 64;
constexpr int kSubscriberSlots = 64;

struct BlockHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t size;          // sizeof(Block)
    uint32_t abandoned;     // times a holder died with the lock
};

struct SharedModel {
    uint32_t radio, deviceB, option, setting, settingWrites;
};

struct SharedFaults {
    int32_t connectFail;
    uint32_t methodClassMissing, methodMissing, spawnFail, execFail, noOutput;
    uint32_t cflag, outEaxForced, outEax, dataInstances, putReject;
    int32_t notifyFail;
    uint32_t callDelayMs, nullParam, nullOutput, nullObject, putFail, dataHang;
    uint32_t methodHang, putHang, eventHang, notifyHang;
    int32_t failCode;  // 0: each fault's own code
    int32_t eventFail;
    uint32_t dataTimeout;
    // A WMI outage: while wmiDown is set and GetTickCount() is before wmiDownUntil, ConnectServer
    // fails. A 32-bit tick compared by difference, so the layout is the same in both flavours.
    uint32_t wmiDown, wmiDownUntil;
    // 0: the method instance has its usual name; 1: methodInstance names it ("" = none published).
    uint32_t methodInstanceSet;
    wchar_t methodInstance[kTextChars];
};

// The faults as the emulator and the controller use them, with every value kept in range.
Faults ToFaults(const SharedFaults& shared);

// A fault that fails the next `left` calls (-1: every call): true when this call fails, counting it.
inline bool FailsNext(int32_t& left) {
    if (left == 0) return false;
    if (left > 0) --left;
    return true;
}

// The code a failing fault answers: the fail-code fault's when set, else the fault's own.
inline HRESULT FailCode(const SharedFaults& faults, HRESULT own) { return faults.failCode ? faults.failCode : own; }

// True while the wmi-down fault keeps ConnectServer failing.
bool WmiDown(const SharedFaults& shared);
constexpr DWORD kMaxWmiDownMs = 600000;

struct SharedCall {
    uint64_t seq;
    uint32_t pid;
    uint32_t inSet;  // bit i: register i was Put
    wchar_t in[4][kTextChars];
    int32_t hr;
    uint32_t hasOutput;
    uint32_t out[4];
    uint32_t cflag;
};

struct SharedWrite {
    uint64_t seq;
    uint32_t pid;
    wchar_t text[kTextChars];
    uint32_t value;
    int32_t hr;
};

struct LiveSlot {
    volatile LONG pid;   // claimed with a compare-exchange, no lock needed
    uint32_t startLow, startHigh;
    volatile LONG count;
};

struct SubscriberSlot {
    volatile LONG pid;
    uint32_t id;
    // With the pid, tells a live subscriber from a dead one whose pid was reused (Wine numbers
    // processes anew in every session).
    uint32_t startLow, startHigh;
};

struct Block {
    BlockHeader header;
    SharedModel model;
    SharedFaults faults;
    uint64_t callTotal;
    uint64_t writeTotal;
    uint64_t eventTotal;  // never reset: subscriptions hold positions in it
    uint64_t eventsDelivered;  // events handed out by subscriptions' Next, never reset
    uint64_t connectTotal;     // successful ConnectServer calls, never reset
    uint64_t subscribeTotal;   // successful ExecNotificationQuery calls, never reset
    uint64_t callsStarted;     // ExecMethod calls that reached the firmware, never reset
    uint64_t pollsStarted;     // Next calls on button-event subscriptions, never reset
    uint64_t pollsHung;        // of them, those the event-hang fault held, never reset
    SharedCall calls[kCallLogSize];
    SharedWrite writes[kWriteLogSize];
    uint32_t events[kEventQueueSize];
    LiveSlot live[kLiveSlots];
    SubscriberSlot subscribers[kSubscriberSlots];
    volatile LONG nextSubscriberId;
    // The connection of the moment: objects made under an older one answer RPC_E_DISCONNECTED.
    // Raised by the disconnect and wmi-down faults, never reset.
    volatile LONG generation;
};

std::string Narrow(const std::wstring& text);

// Security attributes built from SDDL text; the descriptor lives as long as this owner.
class SddlSecurity {
public:
    explicit SddlSecurity(const wchar_t* sddl);
    // Null when the text could not be converted; Error() then has the Win32 error.
    SECURITY_ATTRIBUTES* Get() { return m_descriptor ? &m_attributes : nullptr; }
    DWORD Error() const { return m_error; }

private:
    struct LocalTraits {
        using Value = PSECURITY_DESCRIPTOR;
        static Value Invalid() { return nullptr; }
        static void Close(Value v) { LocalFree(v); }
    };
    win::Unique<LocalTraits> m_descriptor;
    SECURITY_ATTRIBUTES m_attributes{};
    DWORD m_error = ERROR_SUCCESS;
};

// Who may use the state file and the named objects of a state: SYSTEM and Administrators
// everything, interactive users read and write but never the security or the deletion, nobody
// else. Protected, so nothing is inherited from the folder. The service (LocalSystem) and a
// user's controller meet through them.
constexpr wchar_t kStateFileSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFW;;;IU)";
// The lock and the subscribers' events: waiting needs SYNCHRONIZE, which for these objects only
// generic execute maps to; setting an event needs generic write.
constexpr wchar_t kStateSyncSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGWGX;;;IU)";

class Store {
public:
    // forceInit rewrites an invalid file instead of refusing it.
    static std::shared_ptr<Store> Open(const std::wstring& path, bool forceInit, std::string* error);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::wstring& Path() const { return m_path; }
    // Name of subscriber (pid, id)'s wake-up event.
    std::wstring SubscriberEventName(DWORD pid, DWORD id) const;
    // Name of the mutex that guards the block.
    std::wstring LockName() const { return m_baseName + L"-lock"; }
    // Creates subscriber (pid, id)'s auto-reset wake-up event; null on failure (GetLastError).
    win::UniqueHandle CreateSubscriberEvent(DWORD pid, DWORD id);
    // Unlocked access for the slot tables, which are claimed with interlocked operations.
    Block* Raw() { return m_block; }

    // Holds the named mutex and checks the header; Block() is null when either failed.
    class Guard {
    public:
        explicit Guard(Store& store);
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        fwemu::Block* Block() const { return m_block; }
        const std::string& Error() const { return m_error; }

    private:
        Store& m_store;
        bool m_locked = false;
        fwemu::Block* m_block = nullptr;
        std::string m_error;
    };

    // Signals every registered subscriber; call without holding a Guard.
    void WakeSubscribers();
    // Registers this process in the live table with `count`; returns the slot or -1.
    int ClaimLiveSlot(LONG count);

private:
    Store() = default;
    SddlSecurity m_syncSecurity{kStateSyncSddl};
    std::wstring m_path;
    std::wstring m_baseName;
    win::UniqueHandle m_mutex;
    win::FileHandle m_file;
    win::UniqueHandle m_mapping;
    win::MappedView m_view;
    fwemu::Block* m_block = nullptr;
};

void InitBlock(Block* block);
void ResetBlock(Block* block);  // defaults, keeping live slots, subscriptions and eventTotal
// Checks a mapped header; empty text when valid.
std::string CheckHeader(const BlockHeader& header, const std::wstring& path);

// The state this process uses now (opened on first use); null with `error` set on failure.
// Never call while holding a Guard.
std::shared_ptr<Store> CurrentStore(std::string* error);

// Adds `delta` to this process's live-object count (ours and the published one).
void LiveDelta(LONG delta);
void ReleaseCurrentStore();

bool ProcessAlive(DWORD pid, uint32_t startLow, uint32_t startHigh);

// Whether the connection an object was made under (its generation) has ended since. The
// generation is a single aligned 32-bit value, read without the lock.
inline bool Ended(Store& store, LONG generation) { return store.Raw()->generation != generation; }
bool ProcessStart(HANDLE process, uint32_t* low, uint32_t* high);

}  // namespace fwemu
