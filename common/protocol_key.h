// Opening a SystemEvent key. The service is a 32-bit program, so on 64-bit Windows its keys live
// in the 32-bit registry view (Software\Wow6432Node). Every program of the project, of either
// bitness, names that view, so that all of them meet where the 32-bit service is; an x64 build
// of the service lands there too, and existing 32-bit clients keep working against it.
#pragma once

#include <windows.h>

#include "common/win_raii.h"

namespace telvarin {

constexpr REGSAM kProtocolView = KEY_WOW64_32KEY;

// A registry call returns its error; `key` owns the new handle only on ERROR_SUCCESS.
inline LSTATUS OpenProtocolKey(const char* path, REGSAM access, win::RegKey& key) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access | kProtocolView, key.Receive());
}

// Creates every missing key on the path with default security, or opens the key as it is: its
// security is never touched.
inline LSTATUS CreateProtocolKey(const char* path, REGSAM access, win::RegKey& key) {
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access | kProtocolView,
                           nullptr, key.Receive(), nullptr);
}

}  // namespace telvarin
