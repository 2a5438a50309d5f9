// The two registry watchers: StatusControl requests become register calls, CurrentSetting
// changes are pushed to the firmware. Each waits on its change event and the stop together.
#include "service/fn_service.h"
#include "settings/registry_store.h"

namespace {

constexpr DWORD kRequestBit0 = 0x1;
constexpr DWORD kRequestBit1 = 0x2;
constexpr DWORD kRequestBit17 = 0x20000;
constexpr DWORD kAnswerBit16 = 0x10000;
constexpr DWORD kAnswerBit17 = 0x20000;
constexpr DWORD kFirmwareFunction = 0x9610;

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
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_NOTIFY, key.Receive()) != ERROR_SUCCESS) return 0;
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
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, telvarin::kNotificationKey, key.Receive()) != ERROR_SUCCESS) return;
    RegSetValueExA(key.Get(), "Type2", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

DWORD WINAPI StatusWatcherThread(LPVOID) {
    // A request written before the arming differs from m_prevStatusControl: one handling finds it.
    return WatchKey(telvarin::kStatusControlKey, &CFnService::m_hStatusEvent, &CFnService::OnStatusControlChanged,
                    &CFnService::OnStatusControlChanged);
}

DWORD WINAPI SettingWatcherThread(LPVOID) {
    return WatchKey(telvarin::kCurrentSettingKey, &CFnService::m_hSettingEvent, &CFnService::PushCurrentSetting,
                    &CFnService::CatchUpCurrentSetting);
}

void CFnService::PushCurrentSetting() {
    win::RegKey key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, telvarin::kCurrentSettingKey, key.Receive()) != ERROR_SUCCESS) return;
    DWORD setting = ReadRegistryDword(key.Get(), "");
    key.Reset();
    m_pushedSetting = setting;
    m_settingPushed = true;
    if (!WriteFirmwareSetting(~setting))
        LogServiceEvent(EVENTLOG_INFORMATION_TYPE, telvarin::kMsgText, "Fail to WmiSetData", nullptr, nullptr);
}

void CFnService::CatchUpCurrentSetting() {
    if (m_settingPushed && ReadRegistryDword(telvarin::kCurrentSettingKey, "") == m_pushedSetting) return;
    PushCurrentSetting();
}

void CFnService::OnStatusControlChanged() {
    const DWORD request = ReadRegistryDword(telvarin::kStatusControlKey, "Type2");
    const DWORD answers = ReadRegistryDword(telvarin::kNotificationKey, "Type2");
    m_curStatusControl = request;
    const DWORD changed = m_prevStatusControl ^ request;

    // Only the first changed bit, in this order, is served; the others are absorbed.
    DWORD eax = kFirmwareFunction, ebx = 0, ecx = 0, edx = 0;
    if (changed & kRequestBit0) {
        ebx = 0x5D;
        if (m_wmiReady == 1 && CallFirmware(eax, ebx, ecx, edx) == 1) {
            DWORD next = (answers ^ kRequestBit0) & ~kAnswerBit16;
            if ((eax & 0xFF) == 1) next |= kAnswerBit16;
            WriteNotificationType2(next);
        }
    } else if (changed & kRequestBit1) {
        ebx = 0x234;
        if (m_wmiReady == 1 && CallFirmware(eax, ebx, ecx, edx) == 1) {
            DWORD next = (answers ^ kRequestBit1) & ~kAnswerBit17;
            if ((eax & 0xFF) == 3) next |= kAnswerBit17;
            WriteNotificationType2(next);
        }
    } else if (changed & kRequestBit17) {
        ebx = (answers & kAnswerBit17) ? 0x134 : 0x34;
        if (m_wmiReady == 1) CallFirmware(eax, ebx, ecx, edx);
    }
    m_prevStatusControl = m_curStatusControl;
}
