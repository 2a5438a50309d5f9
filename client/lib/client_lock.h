// The lock by which the library's clients take turns, across processes and sessions: the named
// mutex that the running service makes and publishes (common/client_lock_name.h). A request is a
// read-modify-write of one shared DWORD and its answer one bit flip per kind, so two clients at
// once can lose, double or swap requests; one that holds this from its read of StatusControl to
// the answer has the protocol to itself.
#pragma once

#include <windows.h>

#include "common/win_raii.h"

namespace telvarin_client {

// One hold of the lock, released when the object goes.
class ClientLock {
public:
    ClientLock() = default;
    ~ClientLock();
    ClientLock(const ClientLock&) = delete;
    ClientLock& operator=(const ClientLock&) = delete;

    // Opens the service's lock. ERROR_SUCCESS also when there is none to open: the service is
    // not running (no name published, or no object of that name), or the object of that name is
    // not the service's (its owner is neither LocalSystem nor Administrators). Nobody serves
    // requests then, so nothing is worth waiting for, and nobody else's object is waited on.
    // Else a Windows error (ERROR_ACCESS_DENIED: not for this account).
    LONG Open();
    // Opens the lock and waits up to `timeoutMs` (INFINITE: for ever) until it is held, or until
    // `cancel` (an event, or null) is set. ERROR_SUCCESS (at once when there is no lock),
    // TELVARIN_E_BUSY, TELVARIN_E_CANCELLED, or the error of opening it. A lock abandoned by a
    // client that ended while holding it is taken over: the protocol's whole state is in the
    // registry.
    LONG Acquire(DWORD timeoutMs, HANDLE cancel);
    // The lock, or null when there is none.
    HANDLE Get() const { return m_mutex.Get(); }

private:
    win::UniqueHandle m_mutex;
    bool m_held = false;
};

}  // namespace telvarin_client
