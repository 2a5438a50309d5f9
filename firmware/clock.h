// The clock the firmware bridge's reports and pauses are dated by, as a seam: the service reads
// GetTickCount64; a test moves its own clock on by hours in a moment.
#pragma once

#include <windows.h>

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a clock that never goes back.
    virtual ULONGLONG Now() const = 0;
};

Clock& SystemClock();
