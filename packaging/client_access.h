// The change client access makes to a key's security descriptor, on whole descriptors so that it
// can be checked without a registry: one ACE for the group (query, set, notify), added or taken
// away, and everything else as it was: the other ACEs in their order, the DACL's control flags,
// and a missing DACL read for what it means (everyone may do everything).
#pragma once

#include <windows.h>

#include "common/win_raii.h"

namespace client_access {

// What a client needs to send requests and settings words. Nothing else: no key creation,
// deletion or security changes.
constexpr ACCESS_MASK kClientRights = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_NOTIFY;

enum class Edit { Grant, Revoke };

// `current`: a key's security descriptor with its DACL (self-relative or absolute). On
// ERROR_SUCCESS `updated` holds a self-relative descriptor to set with DACL_SECURITY_INFORMATION,
// or nothing when there is nothing to change: for Grant, an explicit ACE identical to the group's
// is there already (someone else's: it is left to them); for Revoke, none is. Grant puts the ACE
// after the explicit denies, before every other ACE; a missing DACL becomes Everyone's full
// access plus the ACE, so SYSTEM and Administrators keep full control. Revoke takes away the first
// explicit identical ACE only. A Windows error otherwise.
LONG EditDescriptor(PSECURITY_DESCRIPTOR current, PSID group, Edit edit, win::LocalMemory& updated);

}  // namespace client_access
