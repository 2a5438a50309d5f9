// The two registry watchers: StatusControl requests become register calls, CurrentSetting
// changes are pushed to the firmware. Each waits on its change event and the stop together, and
// survives the deletion of its key: it waits for the key to be created again.
#include <string.h>

#include "common/protocol_key.h"
#include "common/protocol.h"
#include "settings/settings_store.h"

namespace {

LONG ArmNotification(HKEY key, HANDLE event) {
    return RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE);
}

// Wine signals no notification armed on a key when the key is deleted, but one armed on its
// parent for name changes fires on the deletion and on a re-creation: the way to see both.
// `subtree`: keys created or deleted at any depth below count too.
LONG ArmNameNotification(HKEY key, HANDLE event, BOOL subtree = FALSE) {
    return RegNotifyChangeKeyValue(key, subtree, REG_NOTIFY_CHANGE_NAME, event, TRUE);
}

// The last part of a key path, as the reports name the key.
const char* KeyName(const char* path) {
    const char* slash = strrchr(path, '\\');
    return slash ? slash + 1 : path;
}

// The nearest ancestor of `path` that exists, and the key above that one (when there is one),
// opened for notification; false when no ancestor exists.
bool OpenNearestAncestor(const char* path, win::RegKey& ancestor, win::RegKey& above) {
    char parent[MAX_PATH];
    lstrcpynA(parent, path, MAX_PATH);
    for (char* slash = strrchr(parent, '\\'); slash; slash = strrchr(parent, '\\')) {
        *slash = '\0';
        if (telvarin::OpenProtocolKey(parent, KEY_NOTIFY, ancestor) != ERROR_SUCCESS) continue;
        if (char* up = strrchr(parent, '\\')) {
            *up = '\0';
            telvarin::OpenProtocolKey(parent, KEY_NOTIFY, above);
        }
        return true;
    }
    return false;
}

// A handle to a deleted key answers ERROR_KEY_DELETED, even when a new key of the name exists by now.
bool Deleted(HKEY key) {
    return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr) == ERROR_KEY_DELETED;
}

}  // namespace

struct WatchedKey {
    const char* path;
    const char* thread;  // as the stop watchdog names it
    HANDLE volatile SettingsStore::*eventField;
    void (SettingsStore::*handler)();
    void (SettingsStore::*catchUp)();
    DWORD (SettingsStore::*retry)();  // the timed work, run before each wait; answers the wait's bound
};

class KeyWatcher {
public:
    KeyWatcher(const WatchedKey& watched, SettingsStore& store) : m_watched(watched), m_service(store) {}

    DWORD Run() {
        if (!m_changed || !m_nameChanged) return 0;
        m_service.*m_watched.eventField = m_changed.Get();
        m_service.m_activity.Join(m_watched.thread);
        while (Open() && Watch()) ReportMissing();  // deleted: looked for from scratch
        m_service.m_activity.Leave();
        m_service.*m_watched.eventField = nullptr;
        return 0;
    }

private:
    void ReportMissing() {
        if (m_missing) return;
        m_missing = true;
        char text[96];
        wsprintfA(text, "Key %s is missing; waiting for it", KeyName(m_watched.path));
        m_service.m_log.Text(EVENTLOG_WARNING_TYPE, text);
    }

    // Opens the key and arms both notifications, waiting without polling for the key to exist;
    // then the catch-up look for what changed unseen. False at the stop.
    bool Open() {
        for (;;) {
            if (WaitForSingleObject(m_service.m_stop, 0) == WAIT_OBJECT_0) return false;
            // Closing a key signals the notification armed on it: close first, then reset.
            m_key.Reset();
            m_parent.Reset();
            m_aboveParent.Reset();
            ResetEvent(m_changed.Get());
            ResetEvent(m_nameChanged.Get());
            // The nearest key above is armed before the key is opened, so a creation in between
            // signals; for the whole subtree, since the keys between may be created first. So is
            // the key above that one: its own deletion signals nothing armed on it.
            if (!OpenNearestAncestor(m_watched.path, m_parent, m_aboveParent) ||
                ArmNameNotification(m_parent.Get(), m_nameChanged.Get(), TRUE) != ERROR_SUCCESS ||
                (m_aboveParent && ArmNameNotification(m_aboveParent.Get(), m_nameChanged.Get()) != ERROR_SUCCESS)) {
                // Nothing to watch above the key (not even Software): look again in a while.
                if (WaitForSingleObject(m_service.m_stop, telvarin::kRetryPauseMs) == WAIT_OBJECT_0) return false;
                continue;
            }
            if (telvarin::OpenProtocolKey(m_watched.path, KEY_NOTIFY | KEY_QUERY_VALUE, m_key) == ERROR_SUCCESS &&
                ArmNotification(m_key.Get(), m_changed.Get()) == ERROR_SUCCESS) {
                // The key above, and the subtree, are watched only while waiting. The close
                // signals: reset and arm the parent anew for its children only, then make sure
                // the key did not go meanwhile.
                m_aboveParent.Reset();
                ResetEvent(m_nameChanged.Get());
                if (ArmNameNotification(m_parent.Get(), m_nameChanged.Get()) == ERROR_SUCCESS && !Deleted(m_key.Get()))
                    break;
                continue;
            }
            ReportMissing();
            const HANDLE waits[2] = {m_service.m_stop, m_nameChanged.Get()};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return false;
        }
        if (m_missing) {
            m_missing = false;
            char text[96];
            wsprintfA(text, "Key %s is back; watching it again", KeyName(m_watched.path));
            m_service.m_log.Text(EVENTLOG_INFORMATION_TYPE, text);
        }
        (m_service.*m_watched.catchUp)();
        return true;
    }

    // Runs the handler once per change of the key until the stop (false) or the key's deletion
    // (true). The notification is one-shot, so it is reset and re-armed before the handler
    // reads the key: a client write made during the handling signals again and is handled
    // right after.
    bool Watch() {
        // The stop comes first, so that it wins when several are signalled.
        const HANDLE waits[3] = {m_service.m_stop, m_changed.Get(), m_nameChanged.Get()};
        for (;;) {
            const DWORD woke = WaitForMultipleObjects(3, waits, FALSE, (m_service.*m_watched.retry)());
            if (woke == WAIT_TIMEOUT) continue;  // the timed work is due
            if (woke == WAIT_OBJECT_0 + 1) {
                ResetEvent(m_changed.Get());
                if (ArmNotification(m_key.Get(), m_changed.Get()) != ERROR_SUCCESS) return true;
                (m_service.*m_watched.handler)();
                continue;
            }
            if (woke != WAIT_OBJECT_0 + 2) return false;  // the stop, or a failed wait
            // A key beside this one, or this one, was created or deleted.
            ResetEvent(m_nameChanged.Get());
            if (ArmNameNotification(m_parent.Get(), m_nameChanged.Get()) != ERROR_SUCCESS || Deleted(m_key.Get()))
                return true;
        }
    }

    const WatchedKey& m_watched;
    SettingsStore& m_service;
    win::RegKey m_key;
    win::RegKey m_parent;
    win::RegKey m_aboveParent;
    win::UniqueHandle m_changed{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    win::UniqueHandle m_nameChanged{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    bool m_missing = false;
};

namespace {

void WriteNotificationType2(DWORD value) {
    win::RegKey key;
    // Not created when missing: the acknowledgement is then lost.
    if (telvarin::OpenProtocolKey(TELVARIN_KEY_NOTIFICATION, KEY_SET_VALUE, key) != ERROR_SUCCESS) return;
    RegSetValueExA(key.Get(), TELVARIN_VALUE_TYPE2, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

// The readiness lookup is the bridge's; the watcher runs it as its timed work.
DWORD SettingsStore::RetryReadiness() { return m_firmware.RetryReadiness(); }

DWORD WINAPI SettingsStore::StatusWatcherThread(LPVOID store) {
    // A request written before the arming differs from m_prevStatusControl: one handling finds it.
    static const WatchedKey kStatusControl = {TELVARIN_KEY_STATUS_CONTROL, "the StatusControl watcher",
                                              &SettingsStore::m_hStatusEvent, &SettingsStore::OnStatusControlChanged,
                                              &SettingsStore::OnStatusControlChanged, &SettingsStore::RetryReadiness};
    return KeyWatcher(kStatusControl, *static_cast<SettingsStore*>(store)).Run();
}

DWORD WINAPI SettingsStore::SettingWatcherThread(LPVOID store) {
    static const WatchedKey kCurrentSetting = {TELVARIN_KEY_CURRENT_SETTING, "the CurrentSetting watcher",
                                               &SettingsStore::m_hSettingEvent, &SettingsStore::PushCurrentSetting,
                                               &SettingsStore::CatchUpCurrentSetting, &SettingsStore::RetrySettingPush};
    return KeyWatcher(kCurrentSetting, *static_cast<SettingsStore*>(store)).Run();
}

namespace {

void StartWatcher(win::UniqueHandle& handle, LPTHREAD_START_ROUTINE procedure, SettingsStore* store) {
    DWORD id = 0;
    handle.Reset(CreateThread(nullptr, 0, procedure, store, 0, &id));
}

// Watchers end by themselves once the stop is signalled: every wait of theirs watches it, and a
// firmware call they are in is given up. They are never terminated from outside (that could
// leave the call lock held or a registry write half done); the stop watchdog bounds the rest.
void JoinWatcher(win::UniqueHandle& handle) {
    if (!handle) return;
    WaitForSingleObject(handle.Get(), INFINITE);
    handle.Reset();
}

}  // namespace

void SettingsStore::StartWatchers() {
    StartWatcher(m_hStatusWatcher, StatusWatcherThread, this);
    StartWatcher(m_hSettingWatcher, SettingWatcherThread, this);
}

void SettingsStore::JoinWatchers() {
    {
        Doing doing(m_activity, "ending the StatusControl watcher");
        JoinWatcher(m_hStatusWatcher);
    }
    {
        Doing doing(m_activity, "ending the CurrentSetting watcher");
        JoinWatcher(m_hSettingWatcher);
    }
}

void SettingsStore::PushCurrentSetting() {
    m_pushDue = 0;
    win::RegKey key;
    if (telvarin::OpenProtocolKey(TELVARIN_KEY_CURRENT_SETTING, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return;
    DWORD setting = ReadRegistryDword(key.Get(), TELVARIN_VALUE_DEFAULT);
    key.Reset();
    m_pushedSetting = setting;
    m_settingPushed = false;
    const int written = m_firmware.WriteFirmwareSetting(~setting);
    // A write given up because the service is stopping is no failure of the firmware's.
    if (WaitForSingleObject(m_stop, 0) == WAIT_OBJECT_0) return;
    if (written) m_pushLog.Succeeded();
    else m_pushLog.Failed();
    // The push counts once the firmware took the word and no given-up write of an earlier word
    // can still land after it; until then it is made again, with growing pauses. The word is
    // whole, so the firmware taking it twice does no harm.
    if (written && m_firmware.SettingsWritesOutstanding() == 0) {
        m_settingPushed = true;
        m_pushBackoff.Reset();
        return;
    }
    m_pushDue = GetTickCount64() + m_pushBackoff.Next();
}

void SettingsStore::CatchUpCurrentSetting() {
    if (m_settingPushed && ReadRegistryDword(TELVARIN_KEY_CURRENT_SETTING, TELVARIN_VALUE_DEFAULT) == m_pushedSetting) return;
    PushCurrentSetting();
}

DWORD SettingsStore::RetrySettingPush() {
    if (m_pushDue == 0) return INFINITE;
    ULONGLONG now = GetTickCount64();
    if (now < m_pushDue) return static_cast<DWORD>(m_pushDue - now);
    CatchUpCurrentSetting();
    if (m_pushDue == 0) return INFINITE;
    now = GetTickCount64();
    return now < m_pushDue ? static_cast<DWORD>(m_pushDue - now) : 0;
}

void SettingsStore::OnStatusControlChanged() {
    const DWORD request = ReadRegistryDword(TELVARIN_KEY_STATUS_CONTROL, TELVARIN_VALUE_TYPE2);
    const DWORD answers = ReadRegistryDword(TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_TYPE2);
    m_curStatusControl = request;
    const DWORD changed = m_prevStatusControl ^ request;

    // Only the first changed bit, in this order, is served; the others are absorbed.
    DWORD eax = TELVARIN_FW_FUNCTION, ebx = 0, ecx = 0, edx = 0;
    if (changed & TELVARIN_REQUEST_0) {
        ebx = TELVARIN_FW_STATE_A;
        if (m_firmware.RequestsReady() && m_firmware.CallFirmware(eax, ebx, ecx, edx) == 1) {
            DWORD next = (answers ^ TELVARIN_ACK_0) & ~TELVARIN_STATE_A;
            if ((eax & 0xFF) == TELVARIN_FW_STATE_A_ON) next |= TELVARIN_STATE_A;
            WriteNotificationType2(next);
        }
    } else if (changed & TELVARIN_REQUEST_1) {
        ebx = TELVARIN_FW_DEVICE_B_READ;
        if (m_firmware.RequestsReady() && m_firmware.CallFirmware(eax, ebx, ecx, edx) == 1) {
            DWORD next = (answers ^ TELVARIN_ACK_1) & ~TELVARIN_DEVICE_B;
            if ((eax & 0xFF) == TELVARIN_FW_DEVICE_B_IS_ON) next |= TELVARIN_DEVICE_B;
            WriteNotificationType2(next);
        }
    } else if (changed & TELVARIN_REQUEST_17) {
        ebx = (answers & TELVARIN_DEVICE_B) ? TELVARIN_FW_DEVICE_B_ON : TELVARIN_FW_DEVICE_B_OFF;
        if (m_firmware.RequestsReady()) m_firmware.CallFirmware(eax, ebx, ecx, edx);
    }
    m_prevStatusControl = m_curStatusControl;
}
