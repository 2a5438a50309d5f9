// The installer's client-access edit of a key's security descriptor. Whole descriptors in and
// out, as SDDL: the cases Wine's registry cannot hold (a missing DACL) included.
#include <doctest/doctest.h>

#include <windows.h>
#include <sddl.h>

#include <string>

#include "common/win_raii.h"
#include "packaging/client_access.h"

using client_access::Edit;

namespace {

// The group of the tests: Interactive Users.
struct Group {
    Group() { CreateWellKnownSid(WinInteractiveSid, nullptr, sid, &size); }
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
};

std::string Sddl(PSECURITY_DESCRIPTOR descriptor) {
    win::LocalMemory text;
    REQUIRE(ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                 reinterpret_cast<LPSTR*>(text.Receive()), nullptr));
    return static_cast<const char*>(text.Get());
}

// The edit of the descriptor `sddl` (null: one without a DACL): its SDDL, or "unchanged".
std::string Edited(const char* sddl, Edit edit) {
    Group group;
    win::LocalMemory parsed, updated;
    SECURITY_DESCRIPTOR noDacl;
    PSECURITY_DESCRIPTOR current = &noDacl;
    if (sddl) {
        REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, parsed.Receive(), nullptr));
        current = parsed.Get();
    } else {
        REQUIRE(InitializeSecurityDescriptor(&noDacl, SECURITY_DESCRIPTOR_REVISION));
        REQUIRE(SetSecurityDescriptorDacl(&noDacl, TRUE, nullptr, FALSE));
    }
    REQUIRE(client_access::EditDescriptor(current, group.sid, edit, updated) == ERROR_SUCCESS);
    return updated ? Sddl(updated.Get()) : "unchanged";
}

}  // namespace

TEST_CASE("a grant adds one ACE and keeps the rest; a revoke takes exactly that one away") {
    struct Case {
        const char* before;
        const char* granted;
    } cases[] = {
        // As the service creates the keys.
        {"D:(A;CIIO;GR;;;BU)(A;;KA;;;BA)", "D:(A;;CCDCRP;;;IU)(A;CIIO;GR;;;BU)(A;;KA;;;BA)"},
        // An explicit denial stays first, so it still wins.
        {"D:(D;;KW;;;BG)(A;;KA;;;SY)", "D:(D;;KW;;;BG)(A;;CCDCRP;;;IU)(A;;KA;;;SY)"},
        // An inherited ACE for the group, even an identical one, is not ours: ours goes before it.
        {"D:AI(A;;KA;;;SY)(A;ID;CCDCRP;;;IU)", "D:AI(A;;CCDCRP;;;IU)(A;;KA;;;SY)(A;ID;CCDCRP;;;IU)"},
        // The protected and auto-inherited flags stay.
        {"D:PAI(A;;KA;;;BA)", "D:PAI(A;;CCDCRP;;;IU)(A;;KA;;;BA)"},
        // An empty DACL (nobody may) gains the group only.
        {"D:", "D:(A;;CCDCRP;;;IU)"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.before);
        CHECK(Edited(c.before, Edit::Grant) == c.granted);
        CHECK(Edited(c.granted, Edit::Revoke) == c.before);
        CHECK(Edited(c.before, Edit::Revoke) == "unchanged");
    }
}

TEST_CASE("a missing DACL keeps meaning everyone: SYSTEM and Administrators keep full control") {
    CHECK(Edited(nullptr, Edit::Grant) == "D:(A;;KA;;;WD)(A;;CCDCRP;;;IU)");
    CHECK(Edited(nullptr, Edit::Revoke) == "unchanged");
    CHECK(Edited("D:(A;;KA;;;WD)(A;;CCDCRP;;;IU)", Edit::Revoke) == "D:(A;;KA;;;WD)");
}

TEST_CASE("an identical explicit ACE already there is left alone, and only one of two is revoked") {
    CHECK(Edited("D:(A;;KA;;;SY)(A;;CCDCRP;;;IU)", Edit::Grant) == "unchanged");
    // Another group's ACE, or the group's with other rights, is not the same.
    CHECK(Edited("D:(A;;CCDCRP;;;BU)(A;;KR;;;IU)", Edit::Grant) == "D:(A;;CCDCRP;;;IU)(A;;CCDCRP;;;BU)(A;;KR;;;IU)");
    CHECK(Edited("D:(A;;CCDCRP;;;IU)(A;;KA;;;SY)(A;;CCDCRP;;;IU)", Edit::Revoke) == "D:(A;;KA;;;SY)(A;;CCDCRP;;;IU)");
}
