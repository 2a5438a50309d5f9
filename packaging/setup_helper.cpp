// telvarin-setup: the MSI's own helper, run by its custom actions as LocalSystem from the
// package's Binary table (it is never installed). It opens the two keys that client programs
// write to a group of the deployer's choice, and closes them again.
//
//   telvarin-setup grant GROUP    GROUP (a SID such as S-1-5-4, or an account name) may query,
//                                 set and watch StatusControl and CurrentSetting; a key that does
//                                 not exist yet is created with default security first
//   telvarin-setup revoke GROUP   removes exactly what grant added; the keys stay
//
// Exit code 0 when done, 1 when it failed (the MSI then rolls back), 2 on a bad command line.
#include <windows.h>
#include <sddl.h>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "common/key_security.h"
#include "common/protocol.h"
#include "common/protocol_key.h"
#include "common/win_raii.h"

namespace {

// Query, set and watch: what a client needs to send requests and settings words. Nothing else:
// no key creation, deletion or security changes.
constexpr ACCESS_MASK kClientRights = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_NOTIFY;
const char* const kClientKeys[] = {TELVARIN_KEY_STATUS_CONTROL, TELVARIN_KEY_CURRENT_SETTING};

// The group's SID, from SID text or an account name; empty when it names nothing.
std::vector<BYTE> ResolveGroup(const char* group) {
    if (strncmp(group, "S-", 2) == 0 || strncmp(group, "s-", 2) == 0) {
        win::LocalMemory sid;
        if (!ConvertStringSidToSidA(group, reinterpret_cast<PSID*>(sid.Receive()))) return {};
        const BYTE* bytes = static_cast<const BYTE*>(sid.Get());
        return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid.Get()));
    }
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    LookupAccountNameA(nullptr, group, nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0) return {};
    std::vector<BYTE> sid(sidSize);
    std::vector<char> domain(domainSize ? domainSize : 1);
    if (!LookupAccountNameA(nullptr, group, sid.data(), &sidSize, domain.data(), &domainSize, &use)) return {};
    return sid;
}

bool IsOurAce(const ACE_HEADER* header, PSID group) {
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERITED_ACE)) return false;
    const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    return ace->Mask == kClientRights && EqualSid(const_cast<DWORD*>(&ace->SidStart), group);
}

// Rewrites the key's DACL: without our ACE (revoke), or with it once, after the explicit denies
// (grant), every other ACE kept in its order. Registry calls return their error.
LSTATUS EditDacl(HKEY key, PSID group, bool grant) {
    win::LocalMemory descriptor;
    ACL* dacl = nullptr;
    LSTATUS status = win::ReadKeyDacl(key, descriptor, dacl);
    if (status != ERROR_SUCCESS) return status;
    const WORD count = dacl ? dacl->AceCount : 0;

    std::vector<const ACE_HEADER*> kept;
    for (WORD i = 0; i < count; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return GetLastError();
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (!IsOurAce(header, group)) kept.push_back(header);
    }
    if (!grant && kept.size() == count) return ERROR_SUCCESS;  // nothing of ours there

    DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(group);
    for (const ACE_HEADER* header : kept) aclSize += header->AceSize;
    std::vector<BYTE> aclBytes(aclSize);
    PACL acl = reinterpret_cast<PACL>(aclBytes.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION)) return GetLastError();
    bool added = !grant;
    for (const ACE_HEADER* header : kept) {
        const bool explicitDeny = header->AceType == ACCESS_DENIED_ACE_TYPE && !(header->AceFlags & INHERITED_ACE);
        if (!added && !explicitDeny) {
            if (!AddAccessAllowedAceEx(acl, ACL_REVISION, 0, kClientRights, group)) return GetLastError();
            added = true;
        }
        if (!AddAce(acl, ACL_REVISION, MAXDWORD, const_cast<ACE_HEADER*>(header), header->AceSize)) return GetLastError();
    }
    if (!added && !AddAccessAllowedAceEx(acl, ACL_REVISION, 0, kClientRights, group)) return GetLastError();

    SECURITY_DESCRIPTOR updated;
    if (!InitializeSecurityDescriptor(&updated, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&updated, TRUE, acl, FALSE))
        return GetLastError();
    return RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &updated);
}

int Run(const char* command, const char* group) {
    const bool grant = strcmp(command, "grant") == 0;
    std::vector<BYTE> sid = ResolveGroup(group);
    if (sid.empty()) {
        fprintf(stderr, "telvarin-setup: '%s' names no account or SID\n", group);
        return 1;
    }
    const REGSAM access = READ_CONTROL | WRITE_DAC;
    for (const char* path : kClientKeys) {
        win::RegKey key;
        // Created here only to carry the grant before the service first runs; the service then
        // writes its start-up values into it without touching its security.
        LSTATUS status = grant ? telvarin::CreateProtocolKey(path, access, key) : telvarin::OpenProtocolKey(path, access, key);
        if (!grant && status == ERROR_FILE_NOT_FOUND) continue;
        if (status == ERROR_SUCCESS) status = EditDacl(key.Get(), sid.data(), grant);
        if (status != ERROR_SUCCESS) {
            fprintf(stderr, "telvarin-setup: %s HKLM\\%s: error %ld\n", command, path, static_cast<long>(status));
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (strcmp(argv[1], "grant") != 0 && strcmp(argv[1], "revoke") != 0)) {
        fprintf(stderr, "usage: telvarin-setup grant|revoke GROUP\n");
        return 2;
    }
    return Run(argv[1], argv[2]);
}
