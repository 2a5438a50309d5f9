// The button event listener: subscribes to OrvButtonEvent and acts on each event code. Its thread
// is the one that connects again when the WMI connection is lost, and then subscribes again.
#include "common/protocol.h"
#include "common/win_raii.h"
#include "firmware/firmware_bridge.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kPollMs = 500;

}  // namespace

// Each poll is bounded: a provider that hangs in it is given up, and polls that it refuses
// meanwhile fail at once, one per poll period, until it answers.
bool FirmwareBridge::Poll(IEnumWbemClassObject* events, ButtonActions& actions) {
    WmiConnection& wmi = m_wmi;
    for (;;) {
        ComPtr<IWbemClassObject> event;
        const DWORD pollStart = GetTickCount();
        WmiResult result;
        {
            Doing doing(m_activity, "IEnumWbemClassObject::Next of the button events");
            result = wmi.Poll(events, kPollMs, event);
        }
        if (Stopping() || result.End() == CallEnd::Stopped) return true;  // an event fetched by this poll is released unhandled
        if (event) {
            wmi.NoteSteady();
            win::Variant param;
            DWORD value = 0;
            // An event whose code cannot be read, or is no integer (VT_NULL, say), is dropped:
            // junk must never pass for the sleep code.
            if (event->Get(L"" TELVARIN_WMI_PARAM, 0, param.Receive(), nullptr, nullptr) != S_OK || !param.ToUint32(value)) continue;
            const LONG code = static_cast<LONG>(value);
            if (code == TELVARIN_EVENT_SLEEP_BUTTON) {
                actions.SleepPerPolicy();
            } else if (code == TELVARIN_EVENT_HIBERNATE) {
                actions.Hibernate();
            } else {
                actions.ToggleNotification(static_cast<DWORD>(code));
            }
            continue;
        }
        // The subscription's own loss (Poll marked it), or a loss that a watcher's call found.
        if (!wmi.Connected()) return false;
        if (result.Answered() && !WmiConnection::IsLoss(result.Hr())) wmi.NoteSteady();
        // A poll that failed or was refused at once must not turn into a busy loop: wait out the
        // rest of the poll, watching the stop.
        const DWORD elapsed = GetTickCount() - pollStart;
        if (elapsed < kPollMs && WaitForSingleObject(m_stop, kPollMs - elapsed) == WAIT_OBJECT_0) return true;
    }
}

void FirmwareBridge::RunEventListener(ButtonActions& actions) {
    if (!m_wmi.HasConnected()) {
        WaitForSingleObject(m_stop, INFINITE);
        return;
    }
    char query[64];
    wsprintfA(query, "SELECT * FROM %s", TELVARIN_WMI_EVENT_CLASS);
    win::Bstr language(L"WQL");
    win::Bstr queryText = win::Bstr::FromAnsi(query, CP_ACP);

    // Only the run's first subscription keeps the call lock across its pauses: the start-up
    // calls wait for it. After a reconnection, requests are served while it is retried.
    DWORD holdLockMs = telvarin::kStartupSubscriptionLockMs;
    // A connection that is lost again and again (a subscription or poll that fails at once with
    // a connection-level answer) is made again at once for the requests, but subscribed again
    // only after a pause that grows; the first loss after a healthy minute has no pause.
    Backoff backoff(0);
    for (;;) {
        ComPtr<IEnumWbemClassObject> events;
        const WmiResult result = m_wmi.Subscribe(language.Get(), queryText.Get(), events, holdLockMs);
        holdLockMs = 0;
        if (result.End() == CallEnd::Stopped) return;
        if (events) {
            const ULONGLONG since = GetTickCount64();
            if (Poll(events.Get(), actions)) return;
            backoff.HealthySince(since, GetTickCount64());
        }
        events.Reset();
        if (Stopping()) return;
        if (ReconnectWmi() != 1) return;
        if (WaitForSingleObject(m_stop, backoff.Next()) == WAIT_OBJECT_0) return;
    }
}
