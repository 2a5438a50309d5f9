// The client side of the registry protocol; see telvarin_client.h and docs/protocol.md.
#include "client/lib/telvarin_client.h"

#include <cstdio>
#include <new>

#include "common/protocol_key.h"
#include "common/registry_dword.h"
#include "common/win_raii.h"

namespace {

const telvarin_value_info kValues[TELVARIN_VAL_COUNT] = {
    {TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_DEFAULT, "Notification"},
    {TELVARIN_KEY_NOTIFICATION, TELVARIN_VALUE_TYPE2, "Notification.Type2"},
    {TELVARIN_KEY_CAPABILITY, TELVARIN_VALUE_DEFAULT, "Capability"},
    {TELVARIN_KEY_CAPABILITY, TELVARIN_VALUE_TYPE2, "Capability.Type2"},
    {TELVARIN_KEY_CURRENT_SETTING, TELVARIN_VALUE_DEFAULT, "CurrentSetting"},
    {TELVARIN_KEY_STATUS_CONTROL, TELVARIN_VALUE_TYPE2, "StatusControl.Type2"},
};

LONG OpenKey(const char* path, REGSAM access, win::RegKey& key) { return telvarin::OpenProtocolKey(path, access, key); }

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

}  // namespace

struct telvarin_watch {
    NotificationWatch watch;
    telvarin_notification last;
};

extern "C" {

const char* telvarin_error_text(long status, const char* key, char* buffer, size_t size) {
    if (!buffer || size == 0) return "";
    const char* about = key ? key : "a SystemEvent key";
    switch (status) {
    case TELVARIN_OK: std::snprintf(buffer, size, "done"); return buffer;
    case TELVARIN_E_KEY_MISSING:
        std::snprintf(buffer, size, "key HKLM\\%s is missing (the service creates it when it starts)", about);
        return buffer;
    case TELVARIN_E_ACCESS_DENIED:
        std::snprintf(buffer, size, "access denied to HKLM\\%s (run as administrator)", about);
        return buffer;
    case TELVARIN_E_NO_ANSWER: std::snprintf(buffer, size, "no acknowledgement in time"); return buffer;
    case TELVARIN_E_CANCELLED: std::snprintf(buffer, size, "cancelled"); return buffer;
    default: break;
    }
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(status), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        text[--length] = '\0';
    if (key)
        std::snprintf(buffer, size, "HKLM\\%s: %s (%ld)", key, length ? text : "error", status);
    else
        std::snprintf(buffer, size, "%s (%ld)", length ? text : "error", status);
    return buffer;
}

const telvarin_value_info* telvarin_value(telvarin_value_id id) {
    return id >= 0 && id < TELVARIN_VAL_COUNT ? &kValues[id] : nullptr;
}

long telvarin_read_dword(HKEY key, const char* name, telvarin_reading* out) {
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

long telvarin_read(telvarin_value_id id, telvarin_reading* out) {
    const telvarin_value_info* info = telvarin_value(id);
    if (!info || !out) return TELVARIN_E_ARGUMENT;
    win::RegKey key;
    LONG rc = OpenKey(info->key, KEY_QUERY_VALUE, key);
    if (rc != ERROR_SUCCESS) {
        out->value = 0;
        out->state = rc == ERROR_FILE_NOT_FOUND ? TELVARIN_READ_KEY_MISSING : TELVARIN_READ_FAILED;
        return rc;
    }
    return telvarin_read_dword(key.Get(), info->name, out);
}

long telvarin_write_setting(DWORD value) {
    win::RegKey key;
    LONG rc = OpenKey(TELVARIN_KEY_CURRENT_SETTING, KEY_SET_VALUE, key);
    if (rc != ERROR_SUCCESS) return rc;
    return RegSetValueExA(key.Get(), TELVARIN_VALUE_DEFAULT, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

long telvarin_watch_open(telvarin_watch** watch, telvarin_notification* now) {
    if (!watch || !now) return TELVARIN_E_ARGUMENT;
    *watch = nullptr;
    telvarin_watch* w = new (std::nothrow) telvarin_watch();
    if (!w) return ERROR_NOT_ENOUGH_MEMORY;
    LONG rc = w->watch.Open();
    if (rc == ERROR_SUCCESS) rc = w->watch.Arm();
    if (rc == ERROR_SUCCESS) rc = w->watch.Read(w->last);
    if (rc != ERROR_SUCCESS) {
        delete w;
        return rc;
    }
    *now = w->last;
    *watch = w;
    return TELVARIN_OK;
}

long telvarin_watch_next(telvarin_watch* watch, DWORD timeout_ms, HANDLE cancel, telvarin_notification* now) {
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

void telvarin_watch_close(telvarin_watch* watch) { delete watch; }

long telvarin_request(int request, DWORD timeout_ms, int attempts, HANDLE cancel, telvarin_answer* out) {
    if (!out || (request != 0 && request != 1 && request != 17) || attempts < 1) return TELVARIN_E_ARGUMENT;
    *out = telvarin_answer();
    const DWORD mask = request == 0 ? TELVARIN_REQUEST_0 : request == 1 ? TELVARIN_REQUEST_1 : TELVARIN_REQUEST_17;
    const DWORD ack = request == 0 ? TELVARIN_ACK_0 : TELVARIN_ACK_1;
    const DWORD answerBit = request == 0 ? TELVARIN_STATE_A : TELVARIN_DEVICE_B;

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

    for (int attempt = 0; attempt < (request == 17 ? 1 : attempts); ++attempt) {
        // Armed before the write, so a fast answer is not missed.
        telvarin_notification before = {};
        if (request != 17) {
            rc = watch.Arm();
            if (rc == ERROR_SUCCESS) rc = watch.Read(before);
            if (rc != ERROR_SUCCESS) {
                out->key = TELVARIN_KEY_NOTIFICATION;
                return rc;
            }
        }
        // Always the current value with one bit inverted: a saved value would undo others' requests.
        telvarin_reading requests;
        rc = telvarin_read_dword(control.Get(), TELVARIN_VALUE_TYPE2, &requests);
        if (rc != ERROR_SUCCESS) {
            out->key = TELVARIN_KEY_STATUS_CONTROL;
            return rc;
        }
        out->requests = requests.value ^ mask;
        rc = RegSetValueExA(control.Get(), TELVARIN_VALUE_TYPE2, 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&out->requests), sizeof out->requests);
        if (rc != ERROR_SUCCESS) {
            out->key = TELVARIN_KEY_STATUS_CONTROL;
            return rc;
        }
        out->writes = attempt + 1;
        if (request == 17) return TELVARIN_OK;

        const ULONGLONG deadline = DeadlineAfter(timeout_ms);
        for (;;) {
            LONG woken = watch.Wait(deadline, true, cancel);
            if (woken == TELVARIN_E_CANCELLED) return woken;
            if (woken != ERROR_SUCCESS && woken != TELVARIN_E_NO_ANSWER) return woken;
            // Re-armed before the read, so the next change signals again.
            rc = woken == ERROR_SUCCESS ? watch.Arm() : ERROR_SUCCESS;
            telvarin_notification now = {};
            if (rc == ERROR_SUCCESS) rc = watch.Read(now);
            if (rc != ERROR_SUCCESS) {
                out->key = TELVARIN_KEY_NOTIFICATION;
                return rc;
            }
            if ((now.answers ^ before.answers) & ack) {
                out->answers = now.answers;
                out->on = (now.answers & answerBit) ? 1 : 0;
                return TELVARIN_OK;
            }
            if (woken == TELVARIN_E_NO_ANSWER) break;  // not even late: write it again
        }
    }
    return TELVARIN_E_NO_ANSWER;
}

long telvarin_service_state(DWORD* state) {
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
