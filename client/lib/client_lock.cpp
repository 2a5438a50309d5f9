// The clients' lock, as a client opens it; see client_lock.h.
#include "client/lib/client_lock.h"

#include "client/lib/telvarin_client.h"
#include "common/client_lock_name.h"

namespace telvarin_client {

ClientLock::~ClientLock() {
    if (m_held) ReleaseMutex(m_mutex.Get());
}

LONG ClientLock::Open() {
    if (m_mutex) return ERROR_SUCCESS;
    char name[telvarin::kLockNameSize];
    if (!telvarin::ReadClientLockName(name)) return ERROR_SUCCESS;
    // Opened, never created: a name the service no longer holds is not made anew by a client.
    m_mutex.Reset(OpenMutexA(telvarin::kLockRights, FALSE, name));
    if (!m_mutex) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<LONG>(error);
    }
    // Made by someone else after the service ended, under the name it had published.
    if (!telvarin::HasTrustedOwner(m_mutex.Get())) m_mutex.Reset();
    return ERROR_SUCCESS;
}

LONG ClientLock::Acquire(DWORD timeoutMs, HANDLE cancel) {
    LONG rc = Open();
    if (rc != ERROR_SUCCESS || !m_mutex) return rc;
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
