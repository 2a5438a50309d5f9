// Which OrvButtonMethodDW instance the register calls run on, when it is not the fixed one:
// remembered for the WMI connection it was found on, so that a new connection looks again.
#pragma once

#include <windows.h>

#include <string>

#include "common/win_raii.h"

class MethodInstanceMemo {
public:
    // The path remembered for connection `generation`, or empty: use the fixed path.
    std::wstring For(LONG generation) const {
        win::ExclusiveLock lock(m_lock);
        return generation == m_generation ? m_path : std::wstring();
    }
    // Remembers `path` for connection `generation`; true when it differs from the last path
    // remembered in this process, so that which instance is used is reported once.
    bool Remember(LONG generation, const std::wstring& path) {
        win::ExclusiveLock lock(m_lock);
        m_generation = generation;
        m_path = path;
        if (path == m_reported) return false;
        m_reported = path;
        return true;
    }

private:
    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    LONG m_generation = -1;
    std::wstring m_path;
    std::wstring m_reported;
};
