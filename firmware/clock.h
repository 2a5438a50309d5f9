// The clock the firmware bridge's bounds, pauses and reports go by, as a seam: the service reads
// the unbiased interrupt time, which stands still while the machine sleeps, so that a call or a
// poll under way across a sleep is not given up for time the machine spent asleep; a test moves
// its own clock on by hours in a moment, or holds it still as a sleeping machine's.
#pragma once

#include <windows.h>

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds of time awake, on a clock that never goes back.
    virtual ULONGLONG Now() const = 0;
};

Clock& SystemClock();
