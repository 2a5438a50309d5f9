// The two registry watchers: StatusControl requests become register calls, CurrentSetting
// changes are pushed to the firmware. Each waits on its change event and the stop together.
#include "common/protocol_key.h"
#include "core/fn_service.h"
#include "settings/registry_store.h"

namespace {


LONG ArmNotification(HKEY key, HANDLE event) {
    return RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE);
}

// Runs `handler` once per change notification of `path` until the service stops. The
// notification is one-shot, so it is reset and re-armed before the handler reads the key: a
// client write made during the handling signals again and is handled right after. `catchUp`
// runs once right after the first arming, for writes made before the watch existed.
DWORD WatchKey(const char* path, HANDLE CFnService::*eventField, void (CFnService::*handler)(),
               void (CFnService::*catchUp)()) {
    CFnService* service = g_pService;
    win::RegKey key;
    if (telvarin::OpenProtocolKey(path, KEY_NOTIFY, key) != ERROR_SUCCESS) return 0;
    win::UniqueHandle changed(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!changed) return 0;
    // A watch that cannot be armed is ended like a key that cannot be opened.
    if (ArmNotification(key.Get(), changed.Get()) != ERROR_SUCCESS) return 0;
    service->*eventField = changed.Get();
    (service->*catchUp)();

    // The stop comes first, so that it wins when both are signalled.
    const HANDLE waits[2] = {service->m_hStopEvent.Get(), changed.Get()};
    for (;;) {
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;  // stop, or a failed wait
        ResetEvent(changed.Get());
        // If the re-arm fails (the key was deleted), this change is still handled, but the
        // event stays reset and the key is no longer watched.
        ArmNotification(key.Get(), changed.Get());
        (service->*handler)();
    }
    service->*eventField = nullptr;
    return 0;
}

void WriteNotificationType2(DWORD value) {
    win::RegKey key;
    // Not created when missing: the acknowledgement is then lost.
    if (telvarin::OpenProtocolKey(TELVARIN_KEY_NOTIFICATION, KEY_SET_VALUE, key) != ERROR_SUCCESS) return;
    RegSetValueExA(key.Get(), TELVARIN_VALUE_TYPE2, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

DWORD WINAPI StatusWatcherThread(LPVOID) {
    // A request written before the arming differs from m_prevStatusControl: one handling finds it.
    return WatchKey(TELVARIN_KEY_STATUS_CONTROL, &CFnService::m_hStatusEvent, &CFnService::OnStatusControlChanged,
                    &CFnService::OnStatusControlChanged);
}

DWORD WINAPI SettingWatcherThread(LPVOID) {
    return WatchKey(TELVARIN_KEY_CURRENT_SETTING, &CFnService::m_hSettingEvent, &CFnService::PushCurrentSetting,
                    &CFnService::CatchUpCurrentSetting);
}

void CFnService::PushCurrentSetting() {
    win::RegKey key;
    if (telvarin::OpenProtocolKey(TELVARIN_KEY_CURRENT_SETTING, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return;
    DWORD setting = ReadRegistryDword(key.Get(), TELVARIN_VALUE_DEFAULT);
    key.Reset();
    m_pushedSetting = setting;
    m_settingPushed = true;
    if (!WriteFirmwareSetting(~setting))
        LogServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_TEXT, "Fail to WmiSetData", nullptr, nullptr);
}

void CFnService::CatchUpCurrentSetting() {
    if (m_settingPushed && ReadRegistryDword(TELVARIN_KEY_CURRENT_SETTING, TELVARIN_VALUE_DEFAULT) == m_pushedSetting) return;
    PushCurrentSetting();
}

void CFnService::OnStatusControlChanged() {
    const DWORD request = ReadRegistryDword(TELVARIN_KEY_STATUS_CONTROL, TELVARIN_VALUE_TYPE2);
    const DWORD answers = ReadRegistryDword(TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_TYPE2);
    m_curStatusControl = request;
    const DWORD changed = m_prevStatusControl ^ request;

    // Only the first changed bit, in this order, is served; the others are absorbed.
    DWORD eax = TELVARIN_FW_FUNCTION, ebx = 0, ecx = 0, edx = 0;
    if (changed & TELVARIN_REQUEST_0) {
        ebx = TELVARIN_FW_STATE_A;
        if (m_wmiReady == 1 && CallFirmware(eax, ebx, ecx, edx) == 1) {
            DWORD next = (answers ^ TELVARIN_ACK_0) & ~TELVARIN_STATE_A;
            if ((eax & 0xFF) == TELVARIN_FW_STATE_A_ON) next |= TELVARIN_STATE_A;
            WriteNotificationType2(next);
        }
    } else if (changed & TELVARIN_REQUEST_1) {
        ebx = TELVARIN_FW_DEVICE_B_READ;
        if (m_wmiReady == 1 && CallFirmware(eax, ebx, ecx, edx) == 1) {
            DWORD next = (answers ^ TELVARIN_ACK_1) & ~TELVARIN_DEVICE_B;
            if ((eax & 0xFF) == TELVARIN_FW_DEVICE_B_IS_ON) next |= TELVARIN_DEVICE_B;
            WriteNotificationType2(next);
        }
    } else if (changed & TELVARIN_REQUEST_17) {
        ebx = (answers & TELVARIN_DEVICE_B) ? TELVARIN_FW_DEVICE_B_ON : TELVARIN_FW_DEVICE_B_OFF;
        if (m_wmiReady == 1) CallFirmware(eax, ebx, ecx, edx);
    }
    m_prevStatusControl = m_curStatusControl;
}
