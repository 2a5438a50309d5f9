// The button event listener: subscribes to OrvButtonEvent and acts on each event code. The
// events are polled, and acted on, on a helper thread: an event goes from the provider to its
// action on one thread, as fast as if the service polled inline, while the listener's own thread
// watches that every poll answers within its bound. The listener's thread is the one that
// connects again when the WMI connection is lost, and then subscribes again.
#include "common/protocol.h"
#include "common/win_raii.h"
#include "firmware/firmware_bridge.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kPollMs = 500;

// Acts on each button event, on the polling helper's thread, and ends the polling at the stop or
// once the connection is lost (whichever call found it).
class ButtonDispatch final : public PollSink {
public:
    ButtonDispatch(HANDLE stop, const WmiConnection& wmi, ButtonActions& actions, ActivityBoard& activity)
        : m_stop(stop), m_wmi(wmi), m_actions(actions), m_activity(activity) {}

    void OnEvent(IWbemClassObject* event) override {
        win::Variant param;
        DWORD value = 0;
        // An event whose code cannot be read, or is no integer (VT_NULL, say), is dropped: junk
        // must never pass for the sleep code.
        if (event->Get(L"" TELVARIN_WMI_PARAM, 0, param.Receive(), nullptr, nullptr) != S_OK || !param.ToUint32(value)) return;
        const LONG code = static_cast<LONG>(value);
        // Only the stop's watchdog bounds an action (a sleep returns after the resume): while it
        // runs, the helper is followed, so that a stop it holds up names the action's call.
        m_activity.Join("the button-event helper");
        if (code == TELVARIN_EVENT_SLEEP_BUTTON) {
            m_actions.SleepPerPolicy();
        } else if (code == TELVARIN_EVENT_HIBERNATE) {
            m_actions.Hibernate();
        } else {
            m_actions.ToggleNotification(static_cast<DWORD>(code));
        }
        m_activity.Leave();
    }
    bool PollAgain() override { return WaitForSingleObject(m_stop, 0) != WAIT_OBJECT_0 && m_wmi.Connected(); }

private:
    HANDLE m_stop;
    const WmiConnection& m_wmi;
    ButtonActions& m_actions;
    ActivityBoard& m_activity;
};

}  // namespace

void FirmwareBridge::RunEventListener(ButtonActions& actions) {
    if (!m_wmi.HasConnected()) {
        WaitForSingleObject(m_stop, INFINITE);
        return;
    }
    ButtonDispatch dispatch(m_stop, m_wmi, actions, m_activity);
    // Only the run's first subscription keeps the call lock across its pauses: the start-up
    // calls wait for it. After a reconnection, requests are served while it is retried.
    DWORD holdLockMs = telvarin::kStartupSubscriptionLockMs;
    // A connection that is lost again and again, or a subscription whose polls fail or give no
    // answer, is subscribed again only after a pause that grows (the connection itself is made
    // again at once, for the requests); the first such after a healthy minute has no pause.
    Backoff backoff(0);
    for (;;) {
        bool refused = false;
        ComPtr<IEnumWbemClassObject> events;
        const WmiResult subscribed = m_wmi.Subscribe(L"SELECT * FROM " TELVARIN_WMI_EVENT_CLASS, events, holdLockMs);
        holdLockMs = 0;
        if (subscribed.End() == CallEnd::Stopped || Stopping()) return;
        bool resumed = false;
        if (events) {
            const ULONGLONG since = m_wmi.Now();
            InterlockedExchange(&m_resumeSeen, 0);
            WmiResult polled;
            {
                Doing doing(m_activity, "IEnumWbemClassObject::Next of the button events");
                polled = m_wmi.Listen(events.Get(), kPollMs, dispatch, m_resumed.Get());
            }
            // The events a given-up poll may still bring are its helper's to drop.
            events.Reset();
            if (polled.End() == CallEnd::Stopped || Stopping()) return;
            refused = polled.End() == CallEnd::Refused;
            resumed = InterlockedExchange(&m_resumeSeen, 0) != 0;
            backoff.HealthySince(since, m_wmi.Now());
        }
        // The subscription's own loss (Subscribe or the polls marked it), or one a watcher's call
        // found, is made good at once, and so is any found during the pause: requests wait for
        // the connection, never for the pause. Polls refused go on once a given-up one answers.
        // A subscription found dead after a resume is made again at once.
        const DWORD pause = backoff.Next();
        if (!PauseConnected(resumed ? 0 : pause, refused)) return;
    }
}
