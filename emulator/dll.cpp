// fwemu.dll: registered as the InprocServer32 of CLSID_WbemLocator, so that an unmodified
// program's CoCreateInstance(CLSID_WbemLocator) reaches the emulator instead of WMI.
#include <windows.h>
#include <wbemcli.h>

#include "emulator/fwemu.h"
#include "emulator/locator.h"
#include "emulator/store.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // On FreeLibrary (not process exit) drop the mapping so a reload starts clean.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) fwemu::ReleaseCurrentStore();
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_WbemLocator) return CLASS_E_CLASSNOTAVAILABLE;
    return fwemu::CreateLocatorFactory(riid, ppv);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
    return fwemu::LiveObjects() == 0 && fwemu::ServerLocks() == 0 ? S_OK : S_FALSE;
}
