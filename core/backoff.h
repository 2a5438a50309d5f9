// The pause before the next attempt of something that keeps failing: 1 s, doubling up to 60 s,
// and back to the start once things have gone well for a minute.
#pragma once

#include <windows.h>

namespace telvarin {
// The pause between the attempts of infrastructure that is not ready yet (winmgmt, a connect
// stage, a key to watch).
constexpr DWORD kRetryPauseMs = 1000;
}  // namespace telvarin

class Backoff {
public:
    static constexpr DWORD kFirstMs = 1000;
    static constexpr DWORD kLongestMs = 60000;
    // How long things must go well before the pauses start again from the first.
    static constexpr ULONGLONG kHealthyMs = 60000;

    // `firstMs`: the first pause (0: the first attempt after a healthy spell is made at once).
    explicit Backoff(DWORD firstMs = kFirstMs) : m_firstMs(firstMs) {}

    // The pause before the next attempt; each call doubles the one after it.
    DWORD Next() {
        const DWORD pause = m_nextMs;
        m_nextMs = m_nextMs == 0 ? kFirstMs : (m_nextMs >= kLongestMs / 2 ? kLongestMs : m_nextMs * 2);
        return pause;
    }
    void Reset() { m_nextMs = m_firstMs; }
    // Things have gone well since `since` (GetTickCount64's clock): a minute of it resets.
    void HealthySince(ULONGLONG since, ULONGLONG now) {
        if (now - since >= kHealthyMs) Reset();
    }

private:
    DWORD m_firstMs;
    DWORD m_nextMs = m_firstMs;
};
