// The registry key watchers: each waits on its change event and the stop together, and survives
// the deletion of its key: it waits for the key to be created again.
#include "settings/watchers.h"

#include <string.h>

#include "common/protocol_key.h"

namespace {

class SystemNotifier final : public KeyNotifier {
public:
    LSTATUS Arm(HKEY key, BOOL subtree, DWORD filter, HANDLE event) override {
        return RegNotifyChangeKeyValue(key, subtree, filter, event, TRUE);
    }
};

// The nearest ancestor of `path` that exists, and the key above that one (when there is one),
// opened for notification; false when no ancestor exists.
bool OpenNearestAncestor(const char* path, win::RegKey& ancestor, win::RegKey& above) {
    char parent[MAX_PATH];
    lstrcpynA(parent, path, MAX_PATH);
    for (char* slash = strrchr(parent, '\\'); slash; slash = strrchr(parent, '\\')) {
        *slash = '\0';
        if (telvarin::OpenProtocolKey(parent, KEY_NOTIFY, ancestor) != ERROR_SUCCESS) continue;
        if (char* up = strrchr(parent, '\\')) {
            *up = '\0';
            telvarin::OpenProtocolKey(parent, KEY_NOTIFY, above);
        }
        return true;
    }
    return false;
}

// A handle to a deleted key answers ERROR_KEY_DELETED, even when a new key of the name exists by now.
bool Deleted(HKEY key) {
    return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr) == ERROR_KEY_DELETED;
}

const char* LastPart(const char* path) {
    const char* slash = strrchr(path, '\\');
    return slash ? slash + 1 : path;
}

}  // namespace

KeyNotifier& SystemKeyNotifier() {
    static SystemNotifier notifier;
    return notifier;
}

KeyWatcher::KeyWatcher(const char* path, KeyHandler& handler, HANDLE stopEvent, ActivityBoard& activity,
                       ServiceLog& log, ThreadApi& threads, KeyNotifier& notifier)
    : m_path(path),
      m_keyName(LastPart(path)),
      m_handler(handler),
      m_stop(stopEvent),
      m_activity(activity),
      m_log(log),
      m_threads(threads),
      m_notifier(notifier) {
    wsprintfA(m_threadName, "the %.24s watcher", m_keyName);
    wsprintfA(m_startSubject, "%.24s watcher start", m_keyName);
}

void KeyWatcher::Start() {
    if (!TryStart()) ScheduleRetry();
}

bool KeyWatcher::TryStart() {
    const char* failed = nullptr;
    for (win::UniqueHandle* event : {&m_changed, &m_parentChanged, &m_aboveChanged}) {
        if (!*event) event->Reset(m_threads.MakeEvent());
        if (!*event) break;
    }
    if (!m_changed || !m_parentChanged || !m_aboveChanged) {
        failed = "CreateEventA";
    } else {
        m_thread.Reset(m_threads.StartThread(Thread, this));
        if (!m_thread) failed = "CreateThread";
    }
    if (!failed) {
        m_startLog.Succeeded();
        return true;
    }
    const DWORD error = GetLastError();
    char text[96];
    wsprintfA(text, "%s watcher not started (%s error %lu)", m_keyName, failed, error);
    m_startLog.FailedAt(GetTickCount64(), text);
    return false;
}

void KeyWatcher::ScheduleRetry() {
    win::ExclusiveLock lock(m_retryLock);
    if (m_joining) return;
    // Made on the first failure only. Without it nothing can try again: the report stands.
    if (!m_retryTimer) m_retryTimer = CreateThreadpoolTimer(RetryStart, this, nullptr);
    if (!m_retryTimer) return;
    // Relative due times are negative, in 100 ns units.
    const LONGLONG due = -10000LL * static_cast<LONGLONG>(m_startBackoff.Next());
    FILETIME dueTime;
    dueTime.dwLowDateTime = static_cast<DWORD>(due);
    dueTime.dwHighDateTime = static_cast<DWORD>(due >> 32);
    SetThreadpoolTimer(m_retryTimer, &dueTime, 0, 0);
}

VOID CALLBACK KeyWatcher::RetryStart(PTP_CALLBACK_INSTANCE, PVOID parameter, PTP_TIMER) {
    auto* watcher = static_cast<KeyWatcher*>(parameter);
    if (watcher->Stopping()) return;
    if (!watcher->TryStart()) watcher->ScheduleRetry();
}

void KeyWatcher::Join() {
    PTP_TIMER timer;
    {
        win::ExclusiveLock lock(m_retryLock);
        m_joining = true;
        timer = m_retryTimer;
        m_retryTimer = nullptr;
    }
    if (timer) {
        // A retry under way finishes first (it may still start the thread); none comes after.
        SetThreadpoolTimer(timer, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(timer, TRUE);
        CloseThreadpoolTimer(timer);
    }
    if (!m_thread) return;
    WaitForSingleObject(m_thread.Get(), INFINITE);
    m_thread.Reset();
}

DWORD WINAPI KeyWatcher::Thread(LPVOID watcher) { return static_cast<KeyWatcher*>(watcher)->Run(); }

DWORD KeyWatcher::Run() {
    m_activity.Join(m_threadName);
    while (Open() && Watch()) ReportMissing();  // deleted: looked for from scratch
    m_activity.Leave();
    return 0;
}

void KeyWatcher::ReportMissing() {
    if (m_missing) return;
    m_missing = true;
    char text[96];
    wsprintfA(text, "Key %s is missing; waiting for it", m_keyName);
    m_log.Text(EVENTLOG_WARNING_TYPE, text);
}

// Opens the key and arms its notifications, waiting without polling for the key to exist; then
// the catch-up look for what changed unseen. False at the stop.
bool KeyWatcher::Open() {
    for (;;) {
        if (Stopping()) return false;
        // Closing a key signals the notification armed on it: close first, then reset.
        m_key.Reset();
        m_parent.Reset();
        m_aboveParent.Reset();
        ResetEvent(m_changed.Get());
        ResetEvent(m_parentChanged.Get());
        ResetEvent(m_aboveChanged.Get());
        // The nearest key above is armed before the key is opened, so a creation in between
        // signals; for the whole subtree, since the keys between may be created first. So is
        // the key above that one: its own deletion signals nothing armed on it. Each has an
        // event of its own: arming resets its event, and would silence what the other signalled.
        if (!OpenNearestAncestor(m_path, m_parent, m_aboveParent) ||
            m_notifier.Arm(m_parent.Get(), TRUE, REG_NOTIFY_CHANGE_NAME, m_parentChanged.Get()) != ERROR_SUCCESS ||
            (m_aboveParent &&
             m_notifier.Arm(m_aboveParent.Get(), FALSE, REG_NOTIFY_CHANGE_NAME, m_aboveChanged.Get()) != ERROR_SUCCESS)) {
            // Nothing to watch above the key (not even Software), or it went meanwhile: look again in a while.
            if (WaitForSingleObject(m_stop, telvarin::kRetryPauseMs) == WAIT_OBJECT_0) return false;
            continue;
        }
        // Deleted before the key above it was armed, it may be back by now under a new key that
        // nothing here watches: look again from the top.
        if (Deleted(m_parent.Get())) continue;
        if (telvarin::OpenProtocolKey(m_path, KEY_NOTIFY | KEY_QUERY_VALUE, m_key) == ERROR_SUCCESS &&
            m_notifier.Arm(m_key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, m_changed.Get()) == ERROR_SUCCESS) {
            // The key above, and the subtree, are watched only while waiting: arm the parent
            // anew for its children only, then make sure the key did not go meanwhile.
            m_aboveParent.Reset();
            ResetEvent(m_parentChanged.Get());
            if (m_notifier.Arm(m_parent.Get(), FALSE, REG_NOTIFY_CHANGE_NAME, m_parentChanged.Get()) == ERROR_SUCCESS &&
                !Deleted(m_key.Get()))
                break;
            continue;
        }
        ReportMissing();
        const HANDLE waits[3] = {m_stop, m_parentChanged.Get(), m_aboveChanged.Get()};
        const DWORD woke = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (woke != WAIT_OBJECT_0 + 1 && woke != WAIT_OBJECT_0 + 2) return false;
    }
    if (m_missing) {
        m_missing = false;
        char text[96];
        wsprintfA(text, "Key %s is back; watching it again", m_keyName);
        m_log.Text(EVENTLOG_INFORMATION_TYPE, text);
    }
    m_handler.CatchUp();
    return true;
}

// Runs the handler once per change of the key until the stop (false) or the key's deletion
// (true). The notification is one-shot, so it is reset and re-armed before the handler reads
// the key: a client write made during the handling signals again and is handled right after.
bool KeyWatcher::Watch() {
    // The stop comes first, so that it wins when several are signalled.
    const HANDLE due = m_handler.DueEvent();
    const HANDLE waits[4] = {m_stop, m_changed.Get(), m_parentChanged.Get(), due};
    for (;;) {
        const DWORD woke = WaitForMultipleObjects(due ? 4 : 3, waits, FALSE, m_handler.DueWork());
        if (woke == WAIT_TIMEOUT || woke == WAIT_OBJECT_0 + 3) continue;  // the timed work is due
        if (woke == WAIT_OBJECT_0 + 1) {
            ResetEvent(m_changed.Get());
            if (m_notifier.Arm(m_key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, m_changed.Get()) != ERROR_SUCCESS)
                return true;
            m_handler.OnChanged();
            continue;
        }
        if (woke != WAIT_OBJECT_0 + 2) return false;  // the stop, or a failed wait
        // A key beside this one, or this one, was created or deleted.
        ResetEvent(m_parentChanged.Get());
        if (m_notifier.Arm(m_parent.Get(), FALSE, REG_NOTIFY_CHANGE_NAME, m_parentChanged.Get()) != ERROR_SUCCESS ||
            Deleted(m_key.Get()))
            return true;
    }
}
