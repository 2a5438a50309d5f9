// Firmware operations that a lost WMI connection lets be made again on the next one.
#pragma once

#include "core/fn_service.h"

// What an attempt's failure allows.
enum class Retry {
    No,        // the failure stands (and was reported)
    NotMade,   // the call never left this process: the connection was lost before it
    Once,      // it came back undelivered: the operation may be made once more
};

// Runs `attempt(repeated, &retry)`. While the connection is lost, an operation waits for it to
// come back and is attempted again; one whose call came back undelivered is attempted once more,
// as `repeated`, and that attempt reports its own failure. A call that may have reached the
// firmware, or that gave no answer in time, is never repeated.
template <typename Attempt>
int OnceMoreAfterLoss(CFnService& service, Attempt attempt) {
    bool repeated = false;
    for (;;) {
        Retry retry = Retry::No;
        const int result = attempt(repeated, &retry);
        if (retry == Retry::No || !service.AwaitWmiReconnection()) return result;
        if (retry == Retry::Once) repeated = true;
    }
}

// What a failed call of an attempt allows. `beforeFirmware`: the firmware cannot have acted yet
// (or the operation may be made twice), so any loss of the connection but a time-out lets it
// be made once more; a provider that gave no answer in time would hang again.
inline Retry RetryAfter(HRESULT hr, bool beforeFirmware, bool repeated) {
    if (hr == telvarin::kNotConnected) return Retry::NotMade;
    if (repeated || !WmiConnection::IsLoss(hr) || hr == telvarin::kCallTimedOut) return Retry::No;
    return WmiConnection::NeverDelivered(hr) || beforeFirmware ? Retry::Once : Retry::No;
}
