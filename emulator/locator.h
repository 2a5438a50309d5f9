// The emulator's entry: the class factory, the locator and the services it connects to.
// fwemu.h has CreateLocator; only the DLL needs more.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace fwemu {

// The class factory fwemu.dll hands out for CLSID_WbemLocator.
HRESULT CreateLocatorFactory(REFIID riid, void** out);
// Outstanding IClassFactory::LockServer(TRUE) calls.
LONG ServerLocks();

}  // namespace fwemu
