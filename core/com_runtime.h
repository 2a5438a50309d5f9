// The COM start-up calls of the WMI connection and of its helper threads' apartments, as a seam:
// the service uses the system's, unit tests fail them on purpose (a helper's apartment included)
// and hand out the firmware emulator's locator.
#pragma once

#include <windows.h>
#include <wbemcli.h>

class ComRuntime {
public:
    virtual ~ComRuntime() = default;
    virtual HRESULT InitializeMultithreaded() = 0;  // CoInitializeEx(nullptr, COINIT_MULTITHREADED)
    virtual void Uninitialize() = 0;                // CoUninitialize
    virtual HRESULT InitializeSecurity() = 0;       // process-wide, default authentication, impersonate
    virtual HRESULT CreateLocator(IWbemLocator** locator) = 0;  // CLSID_WbemLocator, in-process
};

ComRuntime& SystemComRuntime();

// The calling thread's membership of the multithreaded apartment, entered through a ComRuntime.
// Enter returns the runtime's HRESULT and owns the apartment only on S_OK; S_FALSE (the thread
// was in it already) took a reference too, which is given back at once. Reset and the destructor
// leave the apartment on the thread that entered it.
class ComApartment {
public:
    ComApartment() = default;
    ~ComApartment() { Reset(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    HRESULT Enter(ComRuntime& runtime) {
        Reset();
        const HRESULT hr = runtime.InitializeMultithreaded();
        if (hr == S_FALSE) runtime.Uninitialize();
        if (hr == S_OK) m_runtime = &runtime;
        return hr;
    }
    bool Entered() const noexcept { return m_runtime != nullptr; }
    void Reset() {
        if (!m_runtime) return;
        m_runtime->Uninitialize();
        m_runtime = nullptr;
    }

private:
    ComRuntime* m_runtime = nullptr;
};
