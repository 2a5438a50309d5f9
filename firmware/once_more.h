// Firmware operations that a lost WMI connection lets be made again on the next one.
#pragma once

#include "firmware/firmware_bridge.h"

// Runs `attempt(repeated, &retry)`. While the connection is lost, an operation waits for it to
// come back and is attempted again; one whose call came back undelivered is attempted once more,
// as `repeated`, and that attempt reports its own failure. A call that may have reached the
// firmware, or that gave no answer in time, is never repeated. With `holdUntil` (the connection's
// clock; 0: none), the wait for the connection ends then, and a call refused while given-up
// calls of its kind are out waits, until then, for one of them to answer and is attempted again.
template <typename Attempt>
int OnceMoreAfterLoss(FirmwareBridge& bridge, ULONGLONG holdUntil, Attempt attempt) {
    bool repeated = false;
    for (;;) {
        Retry retry = Retry::No;
        const int result = attempt(repeated, &retry);
        if (retry == Retry::No || !bridge.AwaitCallable(retry, holdUntil)) return result;
        if (retry == Retry::Once) repeated = true;
    }
}

// What a failed call of an attempt allows. `beforeFirmware`: the firmware cannot have acted yet
// (or the operation may be made twice), so any loss of the connection lets it be made once
// more. A call given up or refused is no loss: a provider that gave no answer would hang again.
// A refused call never left this process: it may be made once its kind is served again.
inline Retry RetryAfter(const WmiResult& result, bool beforeFirmware, bool repeated) {
    if (result.End() == CallEnd::NotConnected) return Retry::NotMade;
    if (result.End() == CallEnd::Refused) return Retry::Refused;
    if (repeated || !result.Answered() || !WmiConnection::IsLoss(result.Hr())) return Retry::No;
    return WmiConnection::NeverDelivered(result.Hr()) || beforeFirmware ? Retry::Once : Retry::No;
}
