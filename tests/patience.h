// How long the tests wait before they give up. Every bound a unit test waits with goes through
// Patient(): a bound only says when to give up, never what passed. On a slow machine
// TELVARIN_TEST_PATIENCE=N (a number from 1 to 100, 1 by default) makes every bound N times as
// long; the system tests read the same setting (scripts/patience.py).
#pragma once

#include <windows.h>

#include <stdlib.h>

namespace testing {

inline double PatienceFactor() {
    static const double factor = [] {
        char text[32] = "";
        const DWORD length = GetEnvironmentVariableA("TELVARIN_TEST_PATIENCE", text, sizeof text);
        const double read = length > 0 && length < sizeof text ? atof(text) : 1.0;
        return read >= 1.0 && read <= 100.0 ? read : 1.0;
    }();
    return factor;
}

// A bound of `ms` on a machine of ordinary speed, as long as this machine needs.
inline DWORD Patient(DWORD ms) {
    const double scaled = ms * PatienceFactor();
    return scaled >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(scaled);
}

}  // namespace testing
