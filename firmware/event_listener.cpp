// The button event listener: subscribes to OrvButtonEvent and acts on each event code.
#include "core/fn_service.h"

namespace {
constexpr DWORD kPollMs = 500;
}  // namespace

void CFnService::RunEventListener() {
    if (!m_pServices) {
        WaitForStop(INFINITE);
        return;
    }
    char query[64];
    wsprintfA(query, "SELECT * FROM %s", TELVARIN_WMI_EVENT_CLASS);
    win::Bstr language(L"WQL");
    win::Bstr queryText = win::Bstr::FromAnsi(query, CP_ACP);

    Microsoft::WRL::ComPtr<IEnumWbemClassObject> events;
    {
        // Held across the attempts and their pauses: the watchers' firmware calls wait until
        // the subscription exists.
        win::Lock lock(m_lock);
        for (;;) {
            m_pServices->ExecNotificationQuery(language.Get(), queryText.Get(),
                                               WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, nullptr,
                                               events.ReleaseAndGetAddressOf());
            if (events) break;
            LogServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_TEXT, "ExecNotificationQuery fail", nullptr,
                            nullptr);
            if (WaitForStop(telvarin::kRetryPauseMs)) return;
        }
    }

    for (;;) {
        Microsoft::WRL::ComPtr<IWbemClassObject> event;
        ULONG returned = 0;
        const DWORD pollStart = GetTickCount();
        events->Next(kPollMs, 1, event.GetAddressOf(), &returned);
        if (m_running == 0) return;  // an event fetched by this poll is released unhandled
        if (returned == 1 && event) {
            win::Variant param;
            DWORD value = 0;
            // An event whose code cannot be read, or is no integer (VT_NULL, say), is dropped:
            // junk must never pass for the sleep code.
            if (event->Get(L"" TELVARIN_WMI_PARAM, 0, param.Receive(), nullptr, nullptr) != S_OK || !param.ToUint32(value)) continue;
            const LONG code = static_cast<LONG>(value);
            if (code == TELVARIN_EVENT_SLEEP_BUTTON) {
                SleepPerPolicy();
            } else if (code == TELVARIN_EVENT_HIBERNATE) {
                Hibernate();
            } else {
                UpdateRegistryDword(TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_DEFAULT, static_cast<DWORD>(code), 0, 1);
            }
            continue;
        }
        // A poll that failed at once (the WMI service went away) must not turn into a busy
        // loop: wait out the rest of the poll, watching the stop.
        const DWORD elapsed = GetTickCount() - pollStart;
        if (elapsed < kPollMs && WaitForStop(kPollMs - elapsed) && m_running == 0) return;
    }
}
