// Firmware operations that a lost WMI connection may let be made once more on the next one.
#pragma once

#include "core/fn_service.h"

// Runs `attempt(last, &repeat)`. An attempt sets `repeat` (and reports nothing) when it failed
// only because the connection was lost at a point where repeating cannot make the firmware act
// twice; the operation then waits for the connection to come back and is attempted once more,
// as the last attempt, which reports its own failure.
template <typename Attempt>
int OnceMoreAfterLoss(CFnService& service, Attempt attempt) {
    bool repeat = false;
    const int result = attempt(false, &repeat);
    if (!repeat || !service.AwaitWmiReconnection()) return result;
    return attempt(true, &repeat);
}
