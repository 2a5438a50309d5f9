// A registry key watcher: one thread that waits on the key's change notification and the stop
// together and hands each change to its handler. It survives the deletion of its key: it waits
// for the key to be created again. It knows nothing of what the key means; the settings store
// hands it a KeyHandler.
#pragma once

#include <windows.h>

#include "common/win_raii.h"
#include "core/activity.h"
#include "core/backoff.h"
#include "core/retry_log.h"
#include "core/service_log.h"
#include "core/thread_api.h"

// What a watcher does with its key; called on the watcher's thread only.
class KeyHandler {
public:
    virtual ~KeyHandler() = default;
    // The key changed. The notification has been armed again before: a change made during the
    // handling signals again and is handled right after.
    virtual void OnChanged() = 0;
    // The key is watched (again): look for what changed while it was not.
    virtual void CatchUp() = 0;
    // The timed work, run before each wait: how long the wait may last (INFINITE: none due).
    virtual DWORD DueWork() = 0;
    // Signalled (auto reset) when the timed work is due before its time; may be null.
    virtual HANDLE DueEvent() { return nullptr; }
};

// Arming a key's change notification, as a seam: the watcher uses the system's call; a unit test
// writes to the registry right after a chosen arming, to put a client's write exactly between two
// steps of the watcher instead of hoping a busy machine does.
class KeyNotifier {
public:
    virtual ~KeyNotifier() = default;
    // RegNotifyChangeKeyValue, asynchronous: its error. The arming resets `event` (Windows and Wine
    // alike), so one event serves one armed key only.
    virtual LSTATUS Arm(HKEY key, BOOL subtree, DWORD filter, HANDLE event) = 0;
};

KeyNotifier& SystemKeyNotifier();

class KeyWatcher {
public:
    // `path`: the watched key under HKEY_LOCAL_MACHINE (the protocol's view), kept as given.
    // `stopEvent`: the service's stop (manual reset), watched by every wait. Not owned.
    KeyWatcher(const char* path, KeyHandler& handler, HANDLE stopEvent, ActivityBoard& activity, ServiceLog& log,
               ThreadApi& threads, KeyNotifier& notifier = SystemKeyNotifier());
    // Joins the thread: the stop must have been signalled.
    ~KeyWatcher() { Join(); }
    KeyWatcher(const KeyWatcher&) = delete;
    KeyWatcher& operator=(const KeyWatcher&) = delete;

    // Makes the watcher's events and starts its thread. A start that fails is reported (throttled)
    // and made again after pauses from 1 s to 60 s until it succeeds or the service stops.
    void Start();
    // Ends the start's retries, then waits for the thread, which ends by itself once the stop is
    // signalled: every wait of its watches the stop, and a firmware call it is in is given up.
    // It is never terminated from outside (that could leave the call lock held or a registry
    // write half done); the stop watchdog bounds the rest.
    void Join();

private:
    static DWORD WINAPI Thread(LPVOID watcher);
    static VOID CALLBACK RetryStart(PTP_CALLBACK_INSTANCE, PVOID watcher, PTP_TIMER);
    bool TryStart();
    void ScheduleRetry();
    DWORD Run();
    bool Open();
    bool Watch();
    void ReportMissing();
    bool Stopping() const { return WaitForSingleObject(m_stop, 0) == WAIT_OBJECT_0; }

    const char* m_path;
    const char* m_keyName;  // the last part of m_path, as the reports name the key
    KeyHandler& m_handler;
    HANDLE m_stop;
    ActivityBoard& m_activity;
    ServiceLog& m_log;
    ThreadApi& m_threads;
    KeyNotifier& m_notifier;
    char m_threadName[48];   // "the StatusControl watcher", as the stop watchdog names it
    char m_startSubject[48]; // "StatusControl watcher start", as the retry reports name it
    RetryLog m_startLog{m_log, "", m_startSubject};
    Backoff m_startBackoff;
    // Starts made again from the thread pool; m_joining (under m_retryLock) ends them.
    PTP_TIMER m_retryTimer = nullptr;
    SRWLOCK m_retryLock = SRWLOCK_INIT;
    bool m_joining = false;
    win::UniqueHandle m_thread;
    // Signalled by a change of the key's values, and by a creation or deletion below the
    // nearest key above it, and below the key above that one: one event for each armed key.
    win::UniqueHandle m_changed;
    win::UniqueHandle m_parentChanged;
    win::UniqueHandle m_aboveChanged;
    // Used by the thread alone.
    win::RegKey m_key;
    win::RegKey m_parent;
    win::RegKey m_aboveParent;
    bool m_missing = false;
};
