// Where the clients' lock is found: the service makes it at each start and publishes its name
// (common/protocol.h); the client library opens it by that name. Shared by both, so that the
// rights one grants are the rights the other asks for.
#pragma once

#include <windows.h>

#include <string.h>

#include "common/protocol.h"
#include "common/protocol_key.h"
#include "common/win_raii.h"

namespace telvarin {

// What a user of the lock needs: wait for it, release it, and read its owner to trust it.
constexpr DWORD kLockRights = SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL;
// The prefix, a dot and 32 hex digits, with its NUL.
constexpr DWORD kLockNameSize = sizeof(TELVARIN_CLIENT_LOCK) + 1 + 32;

// The published name into `name`; false when there is none of the lock's form (never published,
// or not by the service).
inline bool ReadClientLockName(char (&name)[kLockNameSize]) {
    win::RegKey key;
    if (OpenProtocolKey(TELVARIN_KEY_PRODUCT, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = sizeof name;
    if (RegQueryValueExA(key.Get(), TELVARIN_VALUE_CLIENT_LOCK, nullptr, &type, reinterpret_cast<BYTE*>(name), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ || size != sizeof name || name[sizeof name - 1] != '\0')
        return false;
    return strncmp(name, TELVARIN_CLIENT_LOCK ".", sizeof(TELVARIN_CLIENT_LOCK)) == 0;
}

// Whether a lock's owner is one a standard user cannot make an object's owner: LocalSystem or
// Administrators. Anything else was made by someone else, whatever its name.
inline bool HasTrustedOwner(HANDLE object) {
    DWORD size = 0;
    GetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
    if (size == 0) return false;
    win::LocalMemory descriptor(LocalAlloc(LMEM_FIXED, size));
    if (!descriptor || !GetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION, descriptor.Get(), size, &size))
        return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor.Get(), &owner, &defaulted) || !owner) return false;
    return IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
}

}  // namespace telvarin
