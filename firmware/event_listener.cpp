// The button event listener: subscribes to OrvButtonEvent and acts on each event code. Its thread
// is the one that connects again when the WMI connection is lost, and then subscribes again.
#include "core/fn_service.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kPollMs = 500;

enum class PollEnd { Stopped, Lost };

// Polls `events` and acts on each event until the service stops or the connection is lost.
// Each poll is bounded: a provider that hangs in it is given up, and polls that it refuses
// meanwhile fail at once, one per poll period, until it answers.
PollEnd Poll(CFnService& service, IEnumWbemClassObject* events) {
    WmiConnection& wmi = service.Wmi();
    for (;;) {
        ComPtr<IWbemClassObject> event;
        const DWORD pollStart = GetTickCount();
        WmiResult result;
        {
            Doing doing(service.Activity(), "IEnumWbemClassObject::Next of the button events");
            result = wmi.Poll(events, kPollMs, event);
        }
        if (service.m_running == 0 || result.end == CallEnd::Stopped) return PollEnd::Stopped;  // an event fetched by this poll is released unhandled
        if (event) {
            wmi.NoteSteady();
            win::Variant param;
            DWORD value = 0;
            // An event whose code cannot be read, or is no integer (VT_NULL, say), is dropped:
            // junk must never pass for the sleep code.
            if (event->Get(L"" TELVARIN_WMI_PARAM, 0, param.Receive(), nullptr, nullptr) != S_OK || !param.ToUint32(value)) continue;
            const LONG code = static_cast<LONG>(value);
            if (code == TELVARIN_EVENT_SLEEP_BUTTON) {
                service.SleepPerPolicy();
            } else if (code == TELVARIN_EVENT_HIBERNATE) {
                service.Hibernate();
            } else {
                service.UpdateRegistryDword(TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_DEFAULT, static_cast<DWORD>(code), 0, 1);
            }
            continue;
        }
        // The subscription's own loss (Poll marked it), or a loss that a watcher's call found.
        if (!wmi.Connected()) return PollEnd::Lost;
        if (result.Answered() && !WmiConnection::IsLoss(result.hr)) wmi.NoteSteady();
        // A poll that failed or was refused at once must not turn into a busy loop: wait out the
        // rest of the poll, watching the stop.
        const DWORD elapsed = GetTickCount() - pollStart;
        if (elapsed < kPollMs && service.WaitForStop(kPollMs - elapsed) && service.m_running == 0) return PollEnd::Stopped;
    }
}

}  // namespace

void CFnService::RunEventListener() {
    if (!m_wmi.HasConnected()) {
        WaitForStop(INFINITE);
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
        if (result.end == CallEnd::Stopped) return;
        if (events) {
            const ULONGLONG since = GetTickCount64();
            if (Poll(*this, events.Get()) == PollEnd::Stopped) return;
            backoff.HealthySince(since, GetTickCount64());
        }
        events.Reset();
        if (StopRequested()) return;
        if (ReconnectWmi() != 1) return;
        if (WaitForStop(backoff.Next())) return;
    }
}
