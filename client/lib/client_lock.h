// The lock by which the library's clients take turns, across processes and sessions: the named
// mutex TELVARIN_CLIENT_LOCK. A request is a read-modify-write of one shared DWORD and its answer
// one bit flip per kind, so two clients at once can lose, double or swap requests; one that holds
// this from its read of StatusControl to the answer has the protocol to itself.
#pragma once

#include <windows.h>

#include "common/win_raii.h"

namespace telvarin_client {

// What a user of the lock needs: wait for it and release it.
constexpr DWORD kLockRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// The security of a new lock, derived from the DACL of `key` (opened with READ_CONTROL, or null
// when it cannot be read): kLockRights for SYSTEM and Administrators always, then for every SID
// that an ACE of the key denies or grants KEY_SET_VALUE (generic rights mapped, inherit-only ACEs
// left out), in the key's order. A key without a DACL lets everyone write: so may everyone lock.
// Returns a Windows error; `descriptor` owns the descriptor only on ERROR_SUCCESS.
LONG BuildLockSecurity(HKEY key, win::LocalMemory& descriptor);

// One hold of the lock, released when the object goes.
class ClientLock {
public:
    ClientLock() = default;
    ~ClientLock();
    ClientLock(const ClientLock&) = delete;
    ClientLock& operator=(const ClientLock&) = delete;

    // Opens the lock, or creates it when no process has it open, with the security derived
    // from the StatusControl key. A Windows error (ERROR_ACCESS_DENIED: not for this account).
    LONG Open();
    // Opens the lock and waits up to `timeoutMs` (INFINITE: for ever) until it is held, or until
    // `cancel` (an event, or null) is set. ERROR_SUCCESS, TELVARIN_E_BUSY, TELVARIN_E_CANCELLED,
    // or the error of opening it. A lock abandoned by a client that ended while holding it is
    // taken over: the protocol's whole state is in the registry.
    LONG Acquire(DWORD timeoutMs, HANDLE cancel);
    HANDLE Get() const { return m_mutex.Get(); }

private:
    win::UniqueHandle m_mutex;
    bool m_held = false;
};

}  // namespace telvarin_client
