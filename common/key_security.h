// Reading a registry key's security descriptor. LocalAlloc memory rather than a container: the
// client library's static flavour links no C++ runtime.
#pragma once

#include <windows.h>

#include "common/win_raii.h"

namespace win {

// The parts `what` names of the key's security descriptor (self-relative) into `descriptor`.
// A registry call returns its error.
inline LSTATUS ReadKeySecurity(HKEY key, SECURITY_INFORMATION what, LocalMemory& descriptor) {
    DWORD size = 0;
    LSTATUS status = RegGetKeySecurity(key, what, nullptr, &size);
    if (status != ERROR_INSUFFICIENT_BUFFER) return status == ERROR_SUCCESS ? ERROR_INVALID_SECURITY_DESCR : status;
    // The descriptor may grow between the two calls; then the second one says so again.
    descriptor.Reset(LocalAlloc(LMEM_FIXED, size));
    if (!descriptor) return static_cast<LSTATUS>(GetLastError());
    return RegGetKeySecurity(key, what, descriptor.Get(), &size);
}

// The key's DACL (pointing into `descriptor`), or null when it has none, which lets everyone in.
inline LSTATUS ReadKeyDacl(HKEY key, LocalMemory& descriptor, ACL*& dacl) {
    dacl = nullptr;
    LSTATUS status = ReadKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    if (status != ERROR_SUCCESS) return status;
    BOOL present = FALSE, defaulted = FALSE;
    if (!GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted)) return static_cast<LSTATUS>(GetLastError());
    if (!present) dacl = nullptr;
    return ERROR_SUCCESS;
}

}  // namespace win
