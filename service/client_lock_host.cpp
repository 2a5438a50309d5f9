// The service's side of the clients' lock; see client_lock_host.h.
#include "service/client_lock_host.h"

#include <objbase.h>

#include <utility>

#include "common/client_lock_name.h"
#include "common/key_security.h"
#include "common/protocol.h"
#include "common/protocol_key.h"

namespace telvarin {

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

// The descriptor under construction: one LocalAlloc block with the descriptor, the owner SID and
// the DACL behind it.
class LockDescriptor {
public:
    LONG Allocate(DWORD aclBytes) {
        m_block.Reset(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, sizeof(SECURITY_DESCRIPTOR) + SECURITY_MAX_SID_SIZE + aclBytes));
        if (!m_block) return static_cast<LONG>(GetLastError());
        BYTE* base = static_cast<BYTE*>(m_block.Get());
        m_owner = base + sizeof(SECURITY_DESCRIPTOR);
        m_acl = reinterpret_cast<ACL*>(base + sizeof(SECURITY_DESCRIPTOR) + SECURITY_MAX_SID_SIZE);
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
    // Hands over the finished descriptor (absolute, its parts in the same block).
    LONG Finish(bool withOwner, win::LocalMemory& descriptor) {
        auto* sd = static_cast<PSECURITY_DESCRIPTOR>(m_block.Get());
        DWORD ownerSize = SECURITY_MAX_SID_SIZE;
        if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION) || !SetSecurityDescriptorDacl(sd, TRUE, m_acl, FALSE))
            return static_cast<LONG>(GetLastError());
        if (withOwner && (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, m_owner, &ownerSize) ||
                          !SetSecurityDescriptorOwner(sd, m_owner, FALSE)))
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
    void* m_owner = nullptr;
    ACL* m_acl = nullptr;
};

// "Global\Haskorn.Telvarin.ClientLock." and 32 hex digits of a fresh random GUID. A Windows
// error: without a GUID there is no name nobody can guess.
LONG MakeName(char* name, size_t size) {
    GUID guid = {};
    const HRESULT hr = CoCreateGuid(&guid);
    if (FAILED(hr)) return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : hr;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&guid);
    wsprintfA(name, "%s.", TELVARIN_CLIENT_LOCK);
    char* hex = name + lstrlenA(name);
    for (size_t i = 0; i < sizeof guid && hex + 2 < name + size; ++i, hex += 2) wsprintfA(hex, "%02x", bytes[i]);
    return ERROR_SUCCESS;
}

// Deletes the published name; with `onlyIfNamed`, only while it names exactly that.
LONG RemovePublishedName(const char* onlyIfNamed) {
    char published[kLockNameSize];
    if (onlyIfNamed && (!ReadClientLockName(published) || lstrcmpA(published, onlyIfNamed) != 0)) return ERROR_SUCCESS;
    win::RegKey product;
    LONG rc = OpenProtocolKey(TELVARIN_KEY_PRODUCT, KEY_SET_VALUE, product);
    if (rc == ERROR_SUCCESS) rc = RegDeleteValueA(product.Get(), TELVARIN_VALUE_CLIENT_LOCK);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

}  // namespace

LONG BuildLockSecurity(HKEY key, bool withOwner, win::LocalMemory& descriptor) {
    win::LocalMemory keySecurity;
    ACL* keyDacl = nullptr;
    // Unreadable: only the accounts that may always write. Readable without a DACL: everyone.
    const bool readable = key && win::ReadKeyDacl(key, keySecurity, keyDacl) == ERROR_SUCCESS;
    const bool everyoneMayWrite = readable && !keyDacl;

    // Each ACE of the lock is at most as long as the key's ACE for the same SID; three more at most.
    const DWORD extra = 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE);
    LockDescriptor lock;
    LONG rc = lock.Allocate(sizeof(ACL) + (keyDacl ? keyDacl->AclSize : 0) + extra);
    WellKnownSid system(WinLocalSystemSid), administrators(WinBuiltinAdministratorsSid), everyone(WinWorldSid);
    if (rc == ERROR_SUCCESS) rc = lock.Add(ACCESS_ALLOWED_ACE_TYPE, system.Get());
    if (rc == ERROR_SUCCESS) rc = lock.Add(ACCESS_ALLOWED_ACE_TYPE, administrators.Get());
    if (rc == ERROR_SUCCESS && everyoneMayWrite) rc = lock.Add(ACCESS_ALLOWED_ACE_TYPE, everyone.Get());
    for (DWORD i = 0; rc == ERROR_SUCCESS && keyDacl && i < keyDacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(keyDacl, i, &ace)) return static_cast<LONG>(GetLastError());
        const auto* header = static_cast<ACE_HEADER*>(ace);
        // Allowed and denied ACEs share their layout; other kinds do not occur on keys.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (CoversSetValue(header, entry->Mask)) rc = lock.Add(header->AceType, &entry->SidStart);
    }
    return rc == ERROR_SUCCESS ? lock.Finish(withOwner, descriptor) : rc;
}

ClientLockHost::~ClientLockHost() { Withdraw(); }

LONG ClientLockHost::Publish() {
    win::ExclusiveLock lock(m_lock);
    const LONG rc = PublishLocked();
    if (rc != ERROR_SUCCESS) {
        m_mutex.Reset();
        m_name[0] = '\0';
    }
    return rc;
}

LONG ClientLockHost::PublishLocked() {
    // A name left by a run that ended without withdrawing it (a crash, a forced end) names no
    // lock any more, or an object someone else has made since: gone before anything else.
    LONG rc = RemovePublishedName(nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    m_mutex.Reset();
    m_name[0] = '\0';

    win::RegKey control;
    OpenProtocolKey(TELVARIN_KEY_STATUS_CONTROL, READ_CONTROL, control);
    rc = ERROR_ALREADY_EXISTS;
    // Owned by Administrators, which LocalSystem may name; a token that may not gets its own
    // default owner (LocalSystem's is trusted as well).
    for (bool withOwner : {true, false}) {
        win::LocalMemory descriptor;
        rc = BuildLockSecurity(control.Get(), withOwner, descriptor);
        if (rc != ERROR_SUCCESS) return rc;
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.Get(), FALSE};
        // A name that exists already is someone else's object: never use it, draw again.
        for (int attempt = 0; attempt < 4 && !m_mutex; ++attempt) {
            rc = MakeName(m_name, sizeof m_name);
            if (rc != ERROR_SUCCESS) return rc;
            SetLastError(ERROR_SUCCESS);
            m_mutex.Reset(CreateMutexExA(&attributes, m_name, 0, kLockRights));
            rc = static_cast<LONG>(GetLastError());
            if (m_mutex && rc != ERROR_ALREADY_EXISTS) rc = ERROR_SUCCESS;
            else m_mutex.Reset();
            if (rc == ERROR_INVALID_OWNER) break;
        }
        if (m_mutex || rc != ERROR_INVALID_OWNER) break;
    }
    if (!m_mutex) return rc;

    win::RegKey product;
    rc = CreateProtocolKey(TELVARIN_KEY_PRODUCT, KEY_SET_VALUE, product);
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExA(product.Get(), TELVARIN_VALUE_CLIENT_LOCK, 0, REG_SZ, reinterpret_cast<const BYTE*>(m_name),
                            static_cast<DWORD>(lstrlenA(m_name) + 1));
    return rc;
}

void ClientLockHost::Withdraw() {
    win::ExclusiveLock lock(m_lock);
    if (m_name[0]) RemovePublishedName(m_name);
}

namespace {
// Lives until the process ends: a client that holds the lock at the stop keeps its handle. At
// namespace scope, made before WinMain: ServiceMain and the control handler reach it from two
// threads, and function-local statics have no guards in the service (-fno-threadsafe-statics).
ClientLockHost g_serviceLock;
}  // namespace

LONG PublishServiceClientLock() { return g_serviceLock.Publish(); }

void WithdrawServiceClientLock() { g_serviceLock.Withdraw(); }

}  // namespace telvarin
