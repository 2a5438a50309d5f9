// The clients' lock, as a client opens it; see client_lock.h.
#include "client/lib/client_lock.h"

#include "client/lib/telvarin_client.h"
#include "common/client_lock_name.h"

namespace telvarin_client {

ClientLock::~ClientLock() {
    if (m_held) ReleaseMutex(m_mutex.Get());
}

void ClientLock::Open() {
    if (m_mutex) return;
    char name[telvarin::kLockNameSize];
    if (!telvarin::ReadClientLockName(name)) return;
    // Opened, never created: a name the service no longer holds is not made anew by a client.
    // Whatever else stands under the name is not the service's lock: no object (the service
    // has ended), another kind of object (ERROR_INVALID_HANDLE), or one this account may not
    // open. Waiting for none of them, the request goes on and meets the keys' own rights.
    m_mutex.Reset(OpenMutexA(telvarin::kLockRights, FALSE, name));
    // Made by someone else after the service ended, under the name it had published.
    if (m_mutex && !telvarin::HasTrustedOwner(m_mutex.Get())) m_mutex.Reset();
}

LONG ClientLock::Acquire(DWORD timeoutMs, HANDLE cancel) {
    Open();
    if (!m_mutex) return ERROR_SUCCESS;
    // The lock comes first: when both are signalled, the caller holds it and sees the cancel later.
    HANDLE handles[2] = {m_mutex.Get(), cancel};
    switch (WaitForMultipleObjects(cancel ? 2 : 1, handles, FALSE, timeoutMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED_0:
        m_held = true;
        return ERROR_SUCCESS;
    case WAIT_OBJECT_0 + 1: return TELVARIN_E_CANCELLED;
    case WAIT_TIMEOUT: return TELVARIN_E_BUSY;
    default: return static_cast<LONG>(GetLastError());
    }
}

}  // namespace telvarin_client
