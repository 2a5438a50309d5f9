// COM objects of the emulator; only the DLL's class factory needs more than fwemu.h.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace fwemu {

// The class factory fwemu.dll hands out for CLSID_WbemLocator.
HRESULT CreateLocatorFactory(REFIID riid, void** out);
// Outstanding IClassFactory::LockServer(TRUE) calls.
LONG ServerLocks();

}  // namespace fwemu
