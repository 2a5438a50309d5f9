// The client side of the registry protocol; see telvarin_client.h and docs/protocol.md.
// Built without exceptions, RTTI or operator new, so that it needs no C++ runtime: a C program
// links the static library with gcc, and the DLL imports only Windows system DLLs.
#include "client/lib/telvarin_client.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "client/lib/client_lock.h"
#include "common/protocol_key.h"
#include "common/registry_dword.h"
#include "common/win_raii.h"

namespace {

using telvarin_client::ClientLock;

const telvarin_value_info kValues[TELVARIN_VAL_COUNT] = {
    {TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_DEFAULT, "Notification"},
    {TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_TYPE2, "Notification.Type2"},
    {TELVARIN_KEY_CAPABILITY, TELVARIN_VALUE_DEFAULT, "Capability"},
    {TELVARIN_KEY_CAPABILITY, TELVARIN_VALUE_TYPE2, "Capability.Type2"},
    {TELVARIN_KEY_CURRENT_SETTING, TELVARIN_VALUE_DEFAULT, "CurrentSetting"},
    {TELVARIN_KEY_STATUS_CONTROL, TELVARIN_VALUE_TYPE2, "StatusControl.Type2"},
};

LONG OpenKey(const char* path, REGSAM access, win::RegKey& key) { return telvarin::OpenProtocolKey(path, access, key); }

LONG WriteDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// Notification opened for reading and change notification, with the event it signals.
class NotificationWatch {
public:
    LONG Open() {
        LONG rc = OpenKey(TELVARIN_KEY_NOTIFICATION, KEY_NOTIFY | KEY_QUERY_VALUE, m_key);
        if (rc != ERROR_SUCCESS) return rc;
        m_event.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        return m_event ? ERROR_SUCCESS : static_cast<LONG>(GetLastError());
    }
    // Resets the event and arms again; called before each read, so no change slips between.
    LONG Arm() {
        ResetEvent(m_event.Get());
        return RegNotifyChangeKeyValue(m_key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, m_event.Get(), TRUE);
    }
    LONG Read(telvarin_notification& now) const {
        telvarin_reading events, answers;
        LONG rc = telvarin_read_dword(m_key.Get(), TELVARIN_VALUE_DEFAULT, &events);
        if (rc == ERROR_SUCCESS) rc = telvarin_read_dword(m_key.Get(), TELVARIN_VALUE_TYPE2, &answers);
        if (rc != ERROR_SUCCESS) return rc;
        now.events = events.value;
        now.answers = answers.value;
        return ERROR_SUCCESS;
    }
    // ERROR_SUCCESS on a change, else the reason the wait ended.
    LONG Wait(ULONGLONG deadline, bool timed, HANDLE cancel) const {
        DWORD wait = INFINITE;
        if (timed) {
            ULONGLONG now = GetTickCount64();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        HANDLE handles[2] = {m_event.Get(), cancel};
        switch (WaitForMultipleObjects(cancel ? 2 : 1, handles, FALSE, wait)) {
        case WAIT_OBJECT_0: return ERROR_SUCCESS;
        case WAIT_OBJECT_0 + 1: return TELVARIN_E_CANCELLED;
        case WAIT_TIMEOUT: return TELVARIN_E_NO_ANSWER;
        default: return static_cast<LONG>(GetLastError());
        }
    }

private:
    win::RegKey m_key;
    win::UniqueHandle m_event;
};

ULONGLONG DeadlineAfter(DWORD timeoutMs) { return GetTickCount64() + timeoutMs; }

// How long a request waits for the lock: as long as it would wait for its answers.
DWORD LockWait(DWORD timeoutMs, int attempts) {
    if (timeoutMs == INFINITE) return INFINITE;
    const ULONGLONG total = static_cast<ULONGLONG>(timeoutMs) * static_cast<ULONGLONG>(attempts);
    return total >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(total);
}

// Inverts `mask` in the current StatusControl "Type2", never in a value read before: that
// would undo requests written meanwhile.
LONG WriteRequest(HKEY control, DWORD mask, telvarin_answer& out) {
    telvarin_reading requests;
    LONG rc = telvarin_read_dword(control, TELVARIN_VALUE_TYPE2, &requests);
    if (rc == ERROR_SUCCESS) rc = WriteDword(control, TELVARIN_VALUE_TYPE2, requests.value ^ mask);
    if (rc != ERROR_SUCCESS) {
        out.key = TELVARIN_KEY_STATUS_CONTROL;
        return rc;
    }
    out.requests = requests.value ^ mask;
    ++out.writes;
    return ERROR_SUCCESS;
}

// Request 17 has no acknowledgement: all there is to know is what was written and which way
// the service switches device B when it serves it, by bit 17 of Notification "Type2" (read as
// the service reads it: a missing key or value is 0). Held under the caller's lock.
LONG SendRequest17(HKEY control, HANDLE cancel, telvarin_answer& out) {
    telvarin_reading answers;
    telvarin_read(TELVARIN_VAL_NOTIFICATION_TYPE2, &answers);
    LONG rc = WriteRequest(control, TELVARIN_REQUEST_17, out);
    if (rc != ERROR_SUCCESS) return rc;
    out.answers = answers.value;
    out.on = (answers.value & TELVARIN_DEVICE_B) ? 1 : 0;
    // The service reads the key a moment after the write; a request written before that would
    // be read with this one and served in its place. Nothing shows that moment: wait it out.
    if (cancel) WaitForSingleObject(cancel, TELVARIN_REQUEST_17_SETTLE_MS);
    else Sleep(TELVARIN_REQUEST_17_SETTLE_MS);
    return TELVARIN_OK;
}

// Request 0 or 1: write, wait for the acknowledgement, write again after a time-out.
LONG SendAnswered(HKEY control, NotificationWatch& watch, int request, DWORD timeoutMs, int attempts, HANDLE cancel,
                  telvarin_answer& out) {
    const DWORD mask = request == 0 ? TELVARIN_REQUEST_0 : TELVARIN_REQUEST_1;
    const DWORD ack = request == 0 ? TELVARIN_ACK_0 : TELVARIN_ACK_1;
    const DWORD answerBit = request == 0 ? TELVARIN_STATE_A : TELVARIN_DEVICE_B;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        // Armed before the write, so a fast answer is not missed.
        telvarin_notification before = {};
        LONG rc = watch.Arm();
        if (rc == ERROR_SUCCESS) rc = watch.Read(before);
        if (rc != ERROR_SUCCESS) {
            out.key = TELVARIN_KEY_NOTIFICATION;
            return rc;
        }
        rc = WriteRequest(control, mask, out);
        if (rc != ERROR_SUCCESS) return rc;

        const ULONGLONG deadline = DeadlineAfter(timeoutMs);
        for (;;) {
            LONG woken = watch.Wait(deadline, true, cancel);
            if (woken != ERROR_SUCCESS && woken != TELVARIN_E_NO_ANSWER) return woken;
            // Re-armed before the read, so the next change signals again.
            rc = woken == ERROR_SUCCESS ? watch.Arm() : ERROR_SUCCESS;
            telvarin_notification now = {};
            if (rc == ERROR_SUCCESS) rc = watch.Read(now);
            if (rc != ERROR_SUCCESS) {
                out.key = TELVARIN_KEY_NOTIFICATION;
                return rc;
            }
            if ((now.answers ^ before.answers) & ack) {
                out.answers = now.answers;
                out.on = (now.answers & answerBit) ? 1 : 0;
                return TELVARIN_OK;
            }
            if (woken == TELVARIN_E_NO_ANSWER) break;  // not even late: write it again
        }
    }
    return TELVARIN_E_NO_ANSWER;
}

// What an error is about: "HKLM\<path>" for a key, the lock by its name.
const char* Place(const char* key, char* buffer, size_t size) {
    if (!key) return "a SystemEvent key";
    if (std::strcmp(key, TELVARIN_CLIENT_LOCK) == 0)
        std::snprintf(buffer, size, "the client lock %s", key);
    else
        std::snprintf(buffer, size, "HKLM\\%s", key);
    return buffer;
}

}  // namespace

struct telvarin_watch {
    NotificationWatch watch;
    telvarin_notification last;
};

extern "C" {

const char* TELVARIN_CALL telvarin_error_text(long status, const char* key, char* buffer, size_t size) {
    if (!buffer || size == 0) return "";
    char place[320];
    switch (status) {
    case TELVARIN_OK: std::snprintf(buffer, size, "done"); return buffer;
    case TELVARIN_E_KEY_MISSING:
        std::snprintf(buffer, size, "%s%s is missing (the service creates it when it starts)", key ? "key " : "",
                      Place(key, place, sizeof place));
        return buffer;
    case TELVARIN_E_ACCESS_DENIED:
        std::snprintf(buffer, size,
                      "access denied to %s (run elevated, or ask the administrator to install Telvarin "
                      "with CLIENTACCESS=1)",
                      Place(key, place, sizeof place));
        return buffer;
    case TELVARIN_E_NO_ANSWER:
        std::snprintf(buffer, size, "timed out waiting for the service's answer");
        return buffer;
    case TELVARIN_E_BUSY:
        std::snprintf(buffer, size,
                      "timed out waiting for the client lock %s (another program's request or settings "
                      "write held it)",
                      TELVARIN_CLIENT_LOCK);
        return buffer;
    case TELVARIN_E_CANCELLED: std::snprintf(buffer, size, "cancelled"); return buffer;
    default: break;
    }
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(status), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        text[--length] = '\0';
    if (key)
        std::snprintf(buffer, size, "%s: %s (%ld)", Place(key, place, sizeof place), length ? text : "error", status);
    else
        std::snprintf(buffer, size, "%s (%ld)", length ? text : "error", status);
    return buffer;
}

const telvarin_value_info* TELVARIN_CALL telvarin_value(telvarin_value_id id) {
    return id >= 0 && id < TELVARIN_VAL_COUNT ? &kValues[id] : nullptr;
}

long TELVARIN_CALL telvarin_read_dword(HKEY key, const char* name, telvarin_reading* out) {
    if (!out) return TELVARIN_E_ARGUMENT;
    LSTATUS rc = ERROR_SUCCESS;
    switch (telvarin::ReadDwordValue(key, name, out->value, &rc)) {
    case telvarin::DwordRead::Ok: out->state = TELVARIN_READ_OK; break;
    case telvarin::DwordRead::Absent: out->state = TELVARIN_READ_ABSENT; break;
    case telvarin::DwordRead::NotDword: out->state = TELVARIN_READ_NOT_DWORD; break;
    case telvarin::DwordRead::Failed: out->state = TELVARIN_READ_FAILED; return rc;
    }
    return TELVARIN_OK;
}

long TELVARIN_CALL telvarin_read(telvarin_value_id id, telvarin_reading* out) {
    if (!out) return TELVARIN_E_ARGUMENT;
    out->value = 0;
    out->state = TELVARIN_READ_FAILED;
    const telvarin_value_info* info = telvarin_value(id);
    if (!info) return TELVARIN_E_ARGUMENT;
    win::RegKey key;
    LONG rc = OpenKey(info->key, KEY_QUERY_VALUE, key);
    if (rc != ERROR_SUCCESS) {
        if (rc == ERROR_FILE_NOT_FOUND) out->state = TELVARIN_READ_KEY_MISSING;
        return rc;
    }
    return telvarin_read_dword(key.Get(), info->name, out);
}

long TELVARIN_CALL telvarin_change_setting(DWORD clear_bits, DWORD set_bits, DWORD* written) {
    if (written) *written = 0;
    win::RegKey key;
    LONG rc = OpenKey(TELVARIN_KEY_CURRENT_SETTING, KEY_QUERY_VALUE | KEY_SET_VALUE, key);
    if (rc != ERROR_SUCCESS) return rc;
    // Held from the read to the write: a change by another client never comes between them.
    ClientLock lock;
    rc = lock.Acquire(TELVARIN_SETTING_LOCK_WAIT_MS, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    telvarin_reading current;
    rc = telvarin_read_dword(key.Get(), TELVARIN_VALUE_DEFAULT, &current);
    if (rc != ERROR_SUCCESS) return rc;
    const DWORD value = (current.value & ~clear_bits) | set_bits;
    rc = WriteDword(key.Get(), TELVARIN_VALUE_DEFAULT, value);
    if (rc == ERROR_SUCCESS && written) *written = value;
    return rc;
}

long TELVARIN_CALL telvarin_write_setting(DWORD value) { return telvarin_change_setting(0xFFFFFFFF, value, nullptr); }

long TELVARIN_CALL telvarin_watch_open(telvarin_watch** watch, telvarin_notification* now) {
    if (now) *now = telvarin_notification();
    if (watch) *watch = nullptr;
    if (!watch || !now) return TELVARIN_E_ARGUMENT;
    // HeapAlloc and placement new: no C++ runtime behind the DLL.
    void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(telvarin_watch));
    if (!memory) return ERROR_NOT_ENOUGH_MEMORY;
    telvarin_watch* w = new (memory) telvarin_watch();
    LONG rc = w->watch.Open();
    if (rc == ERROR_SUCCESS) rc = w->watch.Arm();
    if (rc == ERROR_SUCCESS) rc = w->watch.Read(w->last);
    if (rc != ERROR_SUCCESS) {
        telvarin_watch_close(w);
        return rc;
    }
    *now = w->last;
    *watch = w;
    return TELVARIN_OK;
}

long TELVARIN_CALL telvarin_watch_next(telvarin_watch* watch, DWORD timeout_ms, HANDLE cancel,
                                       telvarin_notification* now) {
    if (now) *now = telvarin_notification();
    if (!watch || !now) return TELVARIN_E_ARGUMENT;
    const bool timed = timeout_ms != INFINITE;
    const ULONGLONG deadline = DeadlineAfter(timed ? timeout_ms : 0);
    for (;;) {
        LONG rc = watch->watch.Wait(deadline, timed, cancel);
        if (rc == ERROR_SUCCESS) rc = watch->watch.Arm();
        telvarin_notification read = {};
        // A deleted key fails here rather than reading as zeros.
        if (rc == ERROR_SUCCESS) rc = watch->watch.Read(read);
        if (rc != ERROR_SUCCESS) return rc;
        if (read.events == watch->last.events && read.answers == watch->last.answers) continue;
        watch->last = read;
        *now = read;
        return TELVARIN_OK;
    }
}

void TELVARIN_CALL telvarin_watch_close(telvarin_watch* watch) {
    if (!watch) return;
    watch->~telvarin_watch();
    HeapFree(GetProcessHeap(), 0, watch);
}

long TELVARIN_CALL telvarin_request(int request, DWORD timeout_ms, int attempts, HANDLE cancel, telvarin_answer* out) {
    if (!out) return TELVARIN_E_ARGUMENT;
    *out = telvarin_answer();
    if ((request != 0 && request != 1 && request != 17) || attempts < 1) return TELVARIN_E_ARGUMENT;

    win::RegKey control;
    LONG rc = OpenKey(TELVARIN_KEY_STATUS_CONTROL, KEY_QUERY_VALUE | KEY_SET_VALUE, control);
    if (rc != ERROR_SUCCESS) {
        out->key = TELVARIN_KEY_STATUS_CONTROL;
        return rc;
    }
    NotificationWatch watch;
    // Checked before anything is written: a request nobody can see answered is not sent.
    if (request != 17 && (rc = watch.Open()) != ERROR_SUCCESS) {
        out->key = TELVARIN_KEY_NOTIFICATION;
        return rc;
    }
    // Taken before the watch is armed and N0 read: an answer to the previous holder's request
    // must already be in N0, or it would pass for this one's.
    ClientLock lock;
    rc = lock.Acquire(LockWait(timeout_ms, attempts), cancel);
    if (rc != ERROR_SUCCESS) {
        out->key = TELVARIN_CLIENT_LOCK;
        return rc;
    }
    if (request == 17) return SendRequest17(control.Get(), cancel, *out);
    return SendAnswered(control.Get(), watch, request, timeout_ms, attempts, cancel, *out);
}

long TELVARIN_CALL telvarin_service_state(DWORD* state) {
    if (!state) return TELVARIN_E_ARGUMENT;
    *state = 0;
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return static_cast<LONG>(GetLastError());
    win::ServiceHandle service(OpenServiceA(manager.Get(), TELVARIN_SERVICE_NAME, SERVICE_QUERY_STATUS));
    if (!service) return static_cast<LONG>(GetLastError());
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.Get(), &status)) return static_cast<LONG>(GetLastError());
    *state = status.dwCurrentState;
    return TELVARIN_OK;
}

}  // extern "C"
