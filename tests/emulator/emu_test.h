// Shared helpers for the emulator tests: a private state file, and the calls the service makes.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include <doctest/doctest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/win_raii.h"
#include "emulator/fwemu.h"
#include "emulator/store.h"
#include "tests/patience.h"

using Microsoft::WRL::ComPtr;

namespace emutest {

constexpr wchar_t kMethodPath[] = L"\\\\.\\Root\\Wmi:OrvButtonMethodDW.InstanceName=\"ACPI\\\\pnp0c14\\\\0_0\"";

// A file in %TEMP% unique to this run and `tag`.
std::wstring TempFile(const wchar_t* tag);

// Points the emulator at this run's state file and resets it; restores it on destruction.
class Fixture {
public:
    Fixture();
    ~Fixture();
    fwemu::Controller& Ctl() { return *m_ctl; }
    // Connects through the emulator's own locator; fails the test on error.
    ComPtr<IWbemServices> Connect();

private:
    fwemu::Controller* m_ctl;
};

// An input instance of ExecINT, made the way the service makes it.
HRESULT SpawnInput(IWbemServices* svc, ComPtr<IWbemClassObject>* in);
// Runs ExecINT the way the service does: register texts as VT_BSTR typed CIM_UINT32.
HRESULT ExecInt(IWbemServices* svc, const wchar_t* eax, const wchar_t* ebx, const wchar_t* ecx, const wchar_t* edx,
                ComPtr<IWbemClassObject>* out);
// Same, for the usual EAX 0x9610, ECX = EDX = 0 with EBX as a number.
HRESULT Call9610(IWbemServices* svc, DWORD ebx, ComPtr<IWbemClassObject>* out);

// A property that must be VT_I4, as a CIM uint32 is.
DWORD GetI4(IWbemClassObject* obj, const wchar_t* name);
// A property that must read S_OK and VT_NULL; returns the lVal left behind it.
LONG GetNullHint(IWbemClassObject* obj, const wchar_t* name);

// The settings query's enumerator; fails the test on error.
ComPtr<IEnumWbemClassObject> OpenDataQuery(IWbemServices* svc);
// Every OrvButtonData instance the settings query returns.
std::vector<ComPtr<IWbemClassObject>> QueryData(IWbemServices* svc);
// Puts `text` as Param and writes the instance back, as the service does.
HRESULT PutParam(IWbemServices* svc, IWbemClassObject* inst, const wchar_t* text);

// Runs a call that may block on its own thread, so the test can await it with a bounded wait.
// The work must not assert (doctest runs single-threaded here); the destructor waits for it.
class Background {
public:
    explicit Background(std::function<HRESULT()> work);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    // True when the work has returned within `ms`; Result() is valid from then on.
    bool DoneWithin(DWORD ms);
    HRESULT Result() const { return m_result; }

private:
    static DWORD WINAPI Run(void* self);
    std::function<HRESULT()> m_work;
    HRESULT m_result = E_PENDING;
    win::UniqueHandle m_thread;
};

}  // namespace emutest
