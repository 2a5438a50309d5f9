// Which OrvButtonMethodDW instance the register calls run on, when it is not the fixed one:
// remembered for the WMI connection it was found on, so that a new connection looks again.
// Fixed buffers, no std::wstring: the service carries no C++ string runtime.
#pragma once

#include <windows.h>

#include "common/win_raii.h"

class MethodInstanceMemo {
public:
    static constexpr int kPathChars = 256;  // a longer path is not taken

    // The path remembered for connection `generation` into `path`; empty: use the fixed path.
    void For(LONG generation, wchar_t (&path)[kPathChars]) const {
        win::ExclusiveLock lock(m_lock);
        lstrcpynW(path, generation == m_generation ? m_path : L"", kPathChars);
    }
    // Remembers `path` for connection `generation`; true when it differs from the last path
    // remembered in this process, so that which instance is used is reported once.
    bool Remember(LONG generation, const wchar_t* path) {
        win::ExclusiveLock lock(m_lock);
        m_generation = generation;
        lstrcpynW(m_path, path, kPathChars);
        if (lstrcmpW(m_path, m_reported) == 0) return false;
        lstrcpynW(m_reported, m_path, kPathChars);
        return true;
    }

private:
    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    LONG m_generation = -1;
    wchar_t m_path[kPathChars] = {};
    wchar_t m_reported[kPathChars] = {};
};
