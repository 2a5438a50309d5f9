// Client access on a whole security descriptor; see client_access.h.
#include "packaging/client_access.h"

#include <utility>
#include <vector>

namespace client_access {

namespace {

bool IsIdentical(const ACE_HEADER* header, PSID group) {
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || header->AceFlags != 0) return false;
    const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    return ace->Mask == kClientRights && EqualSid(const_cast<DWORD*>(&ace->SidStart), group);
}

bool IsExplicitDeny(const ACE_HEADER* header) {
    return header->AceType == ACCESS_DENIED_ACE_TYPE && !(header->AceFlags & INHERITED_ACE);
}

LONG LastError() { return static_cast<LONG>(GetLastError()); }

}  // namespace

LONG EditDescriptor(PSECURITY_DESCRIPTOR current, PSID group, Edit edit, win::LocalMemory& updated) {
    updated.Reset();
    BOOL present = FALSE, defaulted = FALSE;
    ACL* dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorDacl(current, &present, &dacl, &defaulted) ||
        !GetSecurityDescriptorControl(current, &control, &revision))
        return LastError();
    if (!present) dacl = nullptr;

    // The ACEs as they are; a missing DACL as the one ACE that means the same.
    std::vector<const ACE_HEADER*> aces;
    for (WORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return LastError();
        aces.push_back(static_cast<const ACE_HEADER*>(ace));
    }
    BYTE everyoneSid[SECURITY_MAX_SID_SIZE];
    DWORD everyoneSize = sizeof everyoneSid;
    if (!dacl && !CreateWellKnownSid(WinWorldSid, nullptr, everyoneSid, &everyoneSize)) return LastError();

    size_t ours = aces.size();
    for (size_t i = 0; i < aces.size() && ours == aces.size(); ++i)
        if (IsIdentical(aces[i], group)) ours = i;
    if (edit == Edit::Grant ? ours != aces.size() : ours == aces.size()) return ERROR_SUCCESS;

    DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(group);
    if (!dacl) aclSize += sizeof(ACCESS_ALLOWED_ACE) + everyoneSize;
    for (const ACE_HEADER* header : aces) aclSize += header->AceSize;
    std::vector<BYTE> aclBytes(aclSize);
    PACL acl = reinterpret_cast<PACL>(aclBytes.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION)) return LastError();
    bool added = edit == Edit::Revoke;
    if (!dacl && !AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, everyoneSid)) return LastError();
    for (size_t i = 0; i < aces.size(); ++i) {
        const ACE_HEADER* header = aces[i];
        if (edit == Edit::Revoke && i == ours) continue;
        if (!added && !IsExplicitDeny(header)) {
            if (!AddAccessAllowedAce(acl, ACL_REVISION, kClientRights, group)) return LastError();
            added = true;
        }
        if (!AddAce(acl, ACL_REVISION, MAXDWORD, const_cast<ACE_HEADER*>(header), header->AceSize)) return LastError();
    }
    if (!added && !AddAccessAllowedAce(acl, ACL_REVISION, kClientRights, group)) return LastError();

    SECURITY_DESCRIPTOR absolute;
    const SECURITY_DESCRIPTOR_CONTROL kept = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ;
    if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&absolute, kept, control & kept))
        return LastError();
    DWORD size = 0;
    MakeSelfRelativeSD(&absolute, nullptr, &size);
    win::LocalMemory relative(LocalAlloc(LMEM_FIXED, size));
    if (!relative) return LastError();
    if (!MakeSelfRelativeSD(&absolute, relative.Get(), &size)) return LastError();
    updated = std::move(relative);
    return ERROR_SUCCESS;
}

}  // namespace client_access
