// The six SystemEvent values as a client sees them: 32-bit view, REG_DWORD or nothing.
#pragma once

#include <windows.h>

#include <string>

#include "common/win_raii.h"

namespace client {

constexpr char kNotification[] = "Notification";
constexpr char kCapability[] = "Capability";
constexpr char kCurrentSetting[] = "CurrentSetting";
constexpr char kStatusControl[] = "StatusControl";

enum class ValueId { Notification, NotificationType2, Capability, CapabilityType2, CurrentSetting, StatusControl };
constexpr int kValueCount = 6;

struct ValueInfo {
    ValueId id;
    const char* key;   // last path element under SystemEvent
    const char* name;  // "" is the key's default value
    const char* label; // stable name in JSON output
};
const ValueInfo& Info(ValueId id);

enum class ReadState { Ok, Absent, NotDword, KeyMissing, Failed };
const char* StateName(ReadState state);  // "ok", "absent", "not a DWORD", ...

// Anything but a 4-byte REG_DWORD reads as 0, the way the service reads it.
struct Reading {
    ReadState state = ReadState::Failed;
    DWORD value = 0;
    LONG error = ERROR_SUCCESS;
};

// "HKLM\Software\Haskorn\SystemEvent\<key>" for messages.
std::string DisplayPath(const char* key);

// Opens an existing key (never creates one) in the 32-bit view.
LONG OpenKey(const char* key, REGSAM access, win::RegKey& out);
// One line saying why a key could not be opened.
std::string OpenFailure(const char* key, LONG code);

Reading ReadDword(HKEY key, const char* name);
Reading ReadValue(ValueId id);
LONG WriteDword(HKEY key, const char* name, DWORD value);

// Change notification on one key's values, signalled through a manual-reset event.
class KeyWatch {
public:
    // Opens `key` for notification and reading and arms the first notification.
    LONG Open(const char* key, REGSAM extraAccess = 0);
    HKEY Key() const { return m_key.Get(); }
    HANDLE Event() const { return m_event.Get(); }
    // Resets the event and arms again; call before reading, so no change slips between.
    LONG Rearm();

private:
    LONG Arm();
    win::RegKey m_key;
    win::UniqueHandle m_event;
};

}  // namespace client
