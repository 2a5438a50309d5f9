// The clients' named lock and its security; see client_lock.h.
#include "client/lib/client_lock.h"

#include <utility>

#include "client/lib/telvarin_client.h"
#include "common/key_security.h"
#include "common/protocol_key.h"

namespace telvarin_client {

namespace {

// A well-known SID in a buffer of its own.
class WellKnownSid {
public:
    explicit WellKnownSid(WELL_KNOWN_SID_TYPE type) {
        DWORD size = sizeof m_sid;
        m_ok = CreateWellKnownSid(type, nullptr, m_sid, &size) != FALSE;
    }
    PSID Get() { return m_ok ? static_cast<PSID>(m_sid) : nullptr; }

private:
    BYTE m_sid[SECURITY_MAX_SID_SIZE];
    bool m_ok;
};

// Whether an ACE of the key is about writing its values.
bool CoversSetValue(const ACE_HEADER* header, DWORD mask) {
    GENERIC_MAPPING keyMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
    MapGenericMask(&mask, &keyMapping);
    // An inherit-only ACE is for the key's subkeys, not for the key.
    return (mask & KEY_SET_VALUE) && !(header->AceFlags & INHERIT_ONLY_ACE);
}

// The ACL under construction: a LocalAlloc block that holds the descriptor and, behind it, its DACL.
class LockAcl {
public:
    LONG Allocate(DWORD aclBytes) {
        m_block.Reset(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, sizeof(SECURITY_DESCRIPTOR) + aclBytes));
        if (!m_block) return static_cast<LONG>(GetLastError());
        m_acl = reinterpret_cast<ACL*>(static_cast<BYTE*>(m_block.Get()) + sizeof(SECURITY_DESCRIPTOR));
        return InitializeAcl(m_acl, aclBytes, ACL_REVISION) ? ERROR_SUCCESS : static_cast<LONG>(GetLastError());
    }
    LONG Add(BYTE type, PSID sid) {
        if (!sid) return ERROR_INVALID_SID;
        // Each SID is allowed once; a denial stays in place, wherever the key put it.
        if (type == ACCESS_ALLOWED_ACE_TYPE && Allows(sid)) return ERROR_SUCCESS;
        const BOOL added = type == ACCESS_ALLOWED_ACE_TYPE ? AddAccessAllowedAce(m_acl, ACL_REVISION, kLockRights, sid)
                                                           : AddAccessDeniedAce(m_acl, ACL_REVISION, kLockRights, sid);
        return added ? ERROR_SUCCESS : static_cast<LONG>(GetLastError());
    }
    // Hands over the finished descriptor (absolute, its DACL in the same block).
    LONG Finish(win::LocalMemory& descriptor) {
        auto* sd = static_cast<PSECURITY_DESCRIPTOR>(m_block.Get());
        if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION) || !SetSecurityDescriptorDacl(sd, TRUE, m_acl, FALSE))
            return static_cast<LONG>(GetLastError());
        descriptor = std::move(m_block);
        return ERROR_SUCCESS;
    }

private:
    bool Allows(PSID sid) const {
        for (DWORD i = 0; i < m_acl->AceCount; ++i) {
            void* ace = nullptr;
            if (GetAce(m_acl, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
                EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, sid))
                return true;
        }
        return false;
    }

    win::LocalMemory m_block;
    ACL* m_acl = nullptr;
};

}  // namespace

LONG BuildLockSecurity(HKEY key, win::LocalMemory& descriptor) {
    win::LocalMemory keySecurity;
    ACL* keyDacl = nullptr;
    // Unreadable: only the accounts that may always write. Readable without a DACL: everyone.
    const bool readable = key && win::ReadKeyDacl(key, keySecurity, keyDacl) == ERROR_SUCCESS;
    const bool everyoneMayWrite = readable && !keyDacl;

    // Each ACE of the lock is at most as long as the key's ACE for the same SID; three more at most.
    const DWORD extra = 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE);
    LockAcl acl;
    LONG rc = acl.Allocate(sizeof(ACL) + (keyDacl ? keyDacl->AclSize : 0) + extra);
    WellKnownSid system(WinLocalSystemSid), administrators(WinBuiltinAdministratorsSid), everyone(WinWorldSid);
    if (rc == ERROR_SUCCESS) rc = acl.Add(ACCESS_ALLOWED_ACE_TYPE, system.Get());
    if (rc == ERROR_SUCCESS) rc = acl.Add(ACCESS_ALLOWED_ACE_TYPE, administrators.Get());
    if (rc == ERROR_SUCCESS && everyoneMayWrite) rc = acl.Add(ACCESS_ALLOWED_ACE_TYPE, everyone.Get());
    for (DWORD i = 0; rc == ERROR_SUCCESS && keyDacl && i < keyDacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(keyDacl, i, &ace)) return static_cast<LONG>(GetLastError());
        const auto* header = static_cast<ACE_HEADER*>(ace);
        // Allowed and denied ACEs share their layout; other kinds do not occur on keys.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (CoversSetValue(header, entry->Mask)) rc = acl.Add(header->AceType, &entry->SidStart);
    }
    return rc == ERROR_SUCCESS ? acl.Finish(descriptor) : rc;
}

ClientLock::~ClientLock() {
    if (m_held) ReleaseMutex(m_mutex.Get());
}

LONG ClientLock::Open() {
    if (m_mutex) return ERROR_SUCCESS;
    m_mutex.Reset(OpenMutexA(kLockRights, FALSE, TELVARIN_CLIENT_LOCK));
    if (m_mutex) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) return static_cast<LONG>(error);

    // Nobody has it open. The security comes from the key at creation; another client that
    // creates it meanwhile wins, and CreateMutexEx then opens that one.
    win::RegKey control;
    telvarin::OpenProtocolKey(TELVARIN_KEY_STATUS_CONTROL, READ_CONTROL, control);
    win::LocalMemory descriptor;
    LONG rc = BuildLockSecurity(control.Get(), descriptor);
    if (rc != ERROR_SUCCESS) return rc;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.Get(), FALSE};
    m_mutex.Reset(CreateMutexExA(&attributes, TELVARIN_CLIENT_LOCK, 0, kLockRights));
    return m_mutex ? ERROR_SUCCESS : static_cast<LONG>(GetLastError());
}

LONG ClientLock::Acquire(DWORD timeoutMs, HANDLE cancel) {
    LONG rc = Open();
    if (rc != ERROR_SUCCESS) return rc;
    // The lock comes first: when both are signalled, the caller holds it and sees the cancel later.
    HANDLE handles[2] = {m_mutex.Get(), cancel};
    switch (WaitForMultipleObjects(cancel ? 2 : 1, handles, FALSE, timeoutMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED_0:
        m_held = true;
        return ERROR_SUCCESS;
    case WAIT_OBJECT_0 + 1: return TELVARIN_E_CANCELLED;
    case WAIT_TIMEOUT: return TELVARIN_E_BUSY;
    default: return static_cast<LONG>(GetLastError());
    }
}

}  // namespace telvarin_client
