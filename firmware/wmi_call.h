// What every bounded WMI call of the firmware bridge shares, below both the helper threads that
// make the calls (firmware/call_runner.h) and the connection that hands the calls out
// (firmware/wmi_connection.h): the bounds, how a call ended, and what a polling helper does with
// the button events it brings.
#pragma once

#include <windows.h>
#include <wbemcli.h>

namespace telvarin {
// How long any WMI call may take before the service gives up on it.
constexpr DWORD kCallBoundMs = 10000;
// Calls of one kind that were given up and may still be waiting inside the provider: each keeps
// a thread. While this many are out, the next call of the kind fails at once.
constexpr int kMaxAbandonedCalls = 2;
// How long the teardown waits for the calls given up at the stop to answer and for the helper
// threads to end, so that nothing of the connection is left when it returns; and how long a
// poll under way at a resume may take beyond its own time-out before its subscription counts as dead.
constexpr DWORD kTeardownGraceMs = 1000;
}  // namespace telvarin

// How a call on the connection ended. Whether an answer came at all is told here, beside the
// provider's HRESULT and never inside it: no code a provider returns can pass for a give-up.
enum class CallEnd {
    Answered,      // the provider answered `hr`
    TimedOut,      // no answer within the bound: left to its helper thread, which ends once it answers
    Stopped,       // the service is stopping: not made, or left as above
    Refused,       // telvarin::kMaxAbandonedCalls calls of its kind are still out: not made
    NotConnected,  // the connection is lost and not back yet: not made
    NotMade,       // this process could not set the call up (no memory or thread): not made
};

// What the helper that polls the button events does between its polls, on its own thread. Never
// called once that helper has been given up.
class PollSink {
public:
    virtual ~PollSink() = default;
    // A poll brought `event`.
    virtual void OnEvent(IWbemClassObject* event) = 0;
    // After each poll that did not fail: false ends the polling (the stop, a lost connection).
    virtual bool PollAgain() = 0;
};
