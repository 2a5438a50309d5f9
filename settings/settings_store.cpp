// The settings store: its lifetime, the start-up values, the settings push and the handling of
// client requests.
#include "settings/settings_store.h"

#include "common/protocol.h"
#include "common/protocol_key.h"

namespace {

// The requests that are answered in Notification "Type2": the register call's EBX, the
// acknowledgement bit, and the state bit set when the low byte of the answer's EAX says "on".
struct AnsweredRequest {
    DWORD ebx, ack, state, stateOn;
};
constexpr AnsweredRequest kAnsweredRequests[] = {
    {TELVARIN_FW_STATE_A, TELVARIN_ACK_0, TELVARIN_STATE_A, TELVARIN_FW_STATE_A_ON},
    {TELVARIN_FW_DEVICE_B_READ, TELVARIN_ACK_1, TELVARIN_DEVICE_B, TELVARIN_FW_DEVICE_B_IS_ON},
};

}  // namespace

SettingsStore::SettingsStore(FirmwareApi& firmware, HANDLE stopEvent, ActivityBoard& activity, ServiceLog& log,
                             ThreadApi& threads)
    : m_firmware(firmware),
      m_stop(stopEvent),
      m_activity(activity),
      m_log(log),
      m_statusWatcher(TELVARIN_KEY_STATUS_CONTROL, m_statusHandling, stopEvent, activity, log, threads),
      m_settingWatcher(TELVARIN_KEY_CURRENT_SETTING, m_settingHandling, stopEvent, activity, log, threads) {}

SettingsStore::~SettingsStore() {
    // In the service the stop has come by now; a store that stops otherwise (a test's) stops here.
    SetEvent(m_stop);
    JoinWatchers();
}

void SettingsStore::WriteStartupValues() {
    UpdateRegistryDword(TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_DEFAULT, 0, 0, 0);
    UpdateRegistryDword(TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_TYPE2, 0, 0, 0);
    UpdateRegistryDword(TELVARIN_KEY_CAPABILITY, TELVARIN_VALUE_DEFAULT, TELVARIN_CAPABILITY_BITS, 0, 0);
    UpdateRegistryDword(TELVARIN_KEY_CAPABILITY, TELVARIN_VALUE_TYPE2, TELVARIN_CAPABILITY_TYPE2_BITS, 0, 0);
    UpdateRegistryDword(TELVARIN_KEY_CURRENT_SETTING, TELVARIN_VALUE_DEFAULT, TELVARIN_SETTING_AT_START, 1, 0);
    UpdateRegistryDword(TELVARIN_KEY_STATUS_CONTROL, TELVARIN_VALUE_TYPE2, TELVARIN_STATUS_CONTROL_AT_START, 1, 0);
    m_prevStatusControl = 0;
    m_curStatusControl = 0;
}

void SettingsStore::StartWatchers() {
    m_statusWatcher.Start();
    m_settingWatcher.Start();
}

void SettingsStore::JoinWatchers() {
    {
        Doing doing(m_activity, "ending the StatusControl watcher");
        m_statusWatcher.Join();
    }
    {
        Doing doing(m_activity, "ending the CurrentSetting watcher");
        m_settingWatcher.Join();
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
    const AnsweredRequest* answered = (changed & TELVARIN_REQUEST_0)   ? &kAnsweredRequests[0]
                                      : (changed & TELVARIN_REQUEST_1) ? &kAnsweredRequests[1]
                                                                       : nullptr;
    if (answered) {
        ebx = answered->ebx;
        if (m_firmware.CallForRequest(eax, ebx, ecx, edx) == 1) {
            DWORD next = (answers ^ answered->ack) & ~answered->state;
            if ((eax & 0xFF) == answered->stateOn) next |= answered->state;
            // Through the one update rule, which creates Notification when a client deleted it,
            // before or during the write: an acknowledgement is lost only with the registry.
            const LSTATUS written = UpdateRegistryDword(TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_TYPE2, next, 1, 0);
            if (written == ERROR_SUCCESS) {
                m_ackLog.Succeeded();
            } else {
                char text[96];
                wsprintfA(text, "Acknowledgement not written to Notification (error %ld)", written);
                m_ackLog.FailedAt(GetTickCount64(), text);
            }
        }
    } else if (changed & TELVARIN_REQUEST_17) {
        ebx = (answers & TELVARIN_DEVICE_B) ? TELVARIN_FW_DEVICE_B_ON : TELVARIN_FW_DEVICE_B_OFF;
        m_firmware.CallForRequest(eax, ebx, ecx, edx);
    }
    m_prevStatusControl = m_curStatusControl;
}
