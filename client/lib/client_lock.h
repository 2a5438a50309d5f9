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

    // Opens the service's lock; Get() stays null when there is none to open: no name published (the service is not running), no object of that name, or an
    // object that is not the service's mutex (another kind of object, one this account may not
    // open, or one whose owner is neither LocalSystem nor Administrators). Nobody serves
    // requests then, or nobody else's object is waited on: the request goes on unlocked.
    void Open();
    // Opens the lock and waits up to `timeoutMs` (INFINITE: for ever) until it is held, or until
    // `cancel` (an event, or null) is set. ERROR_SUCCESS (at once when there is no lock),
    // TELVARIN_E_BUSY or TELVARIN_E_CANCELLED. A lock abandoned by a client that ended while
    // holding it is taken over: the protocol's whole state is in the registry.
    LONG Acquire(DWORD timeoutMs, HANDLE cancel);
    // The lock, or null when there is none.
    HANDLE Get() const { return m_mutex.Get(); }

private:
    win::UniqueHandle m_mutex;
    bool m_held = false;
};

}  // namespace telvarin_client
