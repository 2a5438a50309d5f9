// The service's side of the clients' lock: at each start it makes the lock under a name nobody
// can guess, owned by Administrators, and publishes the name where only administrators may write.
// A process that cannot write the protocol's keys can neither hold this lock nor put another
// object in its place (docs/protocol.md, "Several clients at once").
#pragma once

#include <windows.h>

#include "common/win_raii.h"

namespace telvarin {

// The security of the lock, derived from the DACL of `key` (opened with READ_CONTROL, or null
// when it cannot be read): telvarin::kLockRights for SYSTEM and Administrators always, then for
// every SID that an ACE of the key denies or grants KEY_SET_VALUE (generic rights mapped,
// inherit-only ACEs left out), in the key's order. A key without a DACL lets everyone write: so
// may everyone lock. Owner: Administrators, when `withOwner`. Returns a Windows error;
// `descriptor` owns the (absolute) descriptor only on ERROR_SUCCESS.
LONG BuildLockSecurity(HKEY key, bool withOwner, win::LocalMemory& descriptor);

// One published lock; the object lives as long as this does.
class ClientLockHost {
public:
    // Makes a lock of a fresh name and publishes that name. A Windows error; nothing is
    // published on failure.
    LONG Publish();
    HANDLE Get() const { return m_mutex.Get(); }
    const char* Name() const { return m_name; }

private:
    win::UniqueHandle m_mutex;
    char m_name[80] = {};
};

// The running service's lock, published once before it reports RUNNING and held until the
// process ends. A Windows error.
LONG PublishServiceClientLock();

}  // namespace telvarin
