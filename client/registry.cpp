#include "client/registry.h"

#include "client/cli.h"

namespace client {

namespace {
constexpr char kRoot[] = "Software\\Haskorn\\SystemEvent\\";

const ValueInfo kValues[kValueCount] = {
    {ValueId::Notification, kNotification, "", "Notification"},
    {ValueId::NotificationType2, kNotification, "Type2", "Notification.Type2"},
    {ValueId::Capability, kCapability, "", "Capability"},
    {ValueId::CapabilityType2, kCapability, "Type2", "Capability.Type2"},
    {ValueId::CurrentSetting, kCurrentSetting, "", "CurrentSetting"},
    {ValueId::StatusControl, kStatusControl, "Type2", "StatusControl.Type2"},
};
}  // namespace

const ValueInfo& Info(ValueId id) { return kValues[static_cast<int>(id)]; }

const char* StateName(ReadState state) {
    switch (state) {
    case ReadState::Ok: return "ok";
    case ReadState::Absent: return "absent";
    case ReadState::NotDword: return "not a DWORD";
    case ReadState::KeyMissing: return "key missing";
    case ReadState::Failed: break;
    }
    return "unreadable";
}

std::string DisplayPath(const char* key) { return std::string("HKLM\\") + kRoot + key; }

LONG OpenKey(const char* key, REGSAM access, win::RegKey& out) {
    std::string path = std::string(kRoot) + key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | KEY_WOW64_32KEY, out.Receive());
}

std::string OpenFailure(const char* key, LONG code) {
    if (code == ERROR_FILE_NOT_FOUND)
        return "key " + DisplayPath(key) + " is missing (the service creates it when it starts)";
    if (code == ERROR_ACCESS_DENIED) return "access denied to " + DisplayPath(key) + " (run as administrator)";
    return "cannot open " + DisplayPath(key) + ": " + ErrorText(code);
}

Reading ReadDword(HKEY key, const char* name) {
    Reading reading;
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof data;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
        reading.state = ReadState::Absent;
    } else if (rc == ERROR_MORE_DATA || (rc == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof data))) {
        reading.state = ReadState::NotDword;
    } else if (rc != ERROR_SUCCESS) {
        reading.error = rc;
    } else {
        reading.state = ReadState::Ok;
        reading.value = data;
    }
    return reading;
}

Reading ReadValue(ValueId id) {
    const ValueInfo& info = Info(id);
    win::RegKey key;
    LONG rc = OpenKey(info.key, KEY_QUERY_VALUE, key);
    if (rc != ERROR_SUCCESS) {
        Reading reading;
        reading.state = rc == ERROR_FILE_NOT_FOUND ? ReadState::KeyMissing : ReadState::Failed;
        reading.error = rc;
        return reading;
    }
    return ReadDword(key.Get(), info.name);
}

LONG WriteDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG KeyWatch::Open(const char* key, REGSAM extraAccess) {
    LONG rc = OpenKey(key, KEY_NOTIFY | KEY_QUERY_VALUE | extraAccess, m_key);
    if (rc != ERROR_SUCCESS) return rc;
    m_event.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!m_event) return static_cast<LONG>(GetLastError());
    return Arm();
}

LONG KeyWatch::Arm() {
    return RegNotifyChangeKeyValue(m_key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, m_event.Get(), TRUE);
}

LONG KeyWatch::Rearm() {
    ResetEvent(m_event.Get());
    return Arm();
}

}  // namespace client
