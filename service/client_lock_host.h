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

// One published lock; the object lives as long as this does, its name is published until
// Withdraw.
class ClientLockHost {
public:
    ClientLockHost() = default;
    ~ClientLockHost();
    ClientLockHost(const ClientLockHost&) = delete;
    ClientLockHost& operator=(const ClientLockHost&) = delete;

    // Makes a lock of a fresh name and publishes that name. Any name published before (a run
    // that ended without withdrawing it) is removed first. A Windows error; nothing is
    // published on failure.
    LONG Publish();
    // Removes the published name when it is still this lock's (the one lock a later run may
    // have published meanwhile stays). Safe from any thread, at any time, and more than once.
    void Withdraw();
    HANDLE Get() const { return m_mutex.Get(); }
    const char* Name() const { return m_name; }

private:
    LONG PublishLocked();

    SRWLOCK m_lock = SRWLOCK_INIT;  // Publish and Withdraw may run on two threads at once
    win::UniqueHandle m_mutex;
    char m_name[80] = {};
};

// The running service's lock, published once before it reports RUNNING and withdrawn at its
// stop; the object itself is held until the process ends. A Windows error.
LONG PublishServiceClientLock();
void WithdrawServiceClientLock();

}  // namespace telvarin
