// Running ExecINT on the firmware's method instance. The ACPI-WMI mapper names an instance after
// its device's unique id, so another model of the line may publish the method block as
// ACPI\PNP0C14\1_0 or under another id. The fixed path is tried first; when WMI answers that
// it does not exist, the first instance the class enumerates is used, remembered for the
// connection, and reported once.
#pragma once

#include <windows.h>
#include <wbemidl.h>
#include <wrl/client.h>

#include "common/win_raii.h"
#include "firmware/wmi_connection.h"

// Which OrvButtonMethodDW instance the register calls run on, when it is not the fixed one:
// remembered for the WMI connection it was found on, so that a new connection looks again.
// Fixed buffers, no std::wstring: the service carries no C++ string runtime.
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

// WmiConnection::ExecMethod of `method` on the method instance, with its result; which other
// instance is used is reported to `log`.
WmiResult ExecOnMethodInstance(WmiConnection& wmi, MethodInstanceMemo& memo, ServiceLog& log, BSTR method, IWbemClassObject* inParams,
                               Microsoft::WRL::ComPtr<IWbemClassObject>& outParams);
