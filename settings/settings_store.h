// The settings store: the SystemEvent values shared with client programs, their start-up values,
// the one update rule (registry_store.h), and the two watchers that turn client requests into
// register calls and push the settings word. This folder uses common/ and core/ only: the
// firmware is reached through core/firmware_api.h, handed in with the stop signal and the
// activity board.
#pragma once

#include <windows.h>

#include "common/win_raii.h"
#include "core/activity.h"
#include "core/backoff.h"
#include "core/firmware_api.h"
#include "core/retry_log.h"
#include "core/service_log.h"
#include "settings/registry_store.h"

class KeyWatcher;  // settings/watchers.cpp

class SettingsStore {
public:
    // `stopEvent`: the service's stop (manual reset), watched by every wait. Not owned.
    SettingsStore(FirmwareApi& firmware, HANDLE stopEvent, ActivityBoard& activity, ServiceLog& log);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The six start-up values; the StatusControl history starts again from 0.
    void WriteStartupValues();
    void PushCurrentSetting();
    // Pushes the settings word when it differs from the one the firmware last took, or when
    // that push did not reach the firmware: a client write made before the watcher was armed
    // raised no signal of its own.
    void CatchUpCurrentSetting();
    void OnStatusControlChanged();
    // The settings push that did not reach the firmware, made again after a pause from 1 s to
    // 60 s; how long the watcher may wait before it is due again (INFINITE: not due).
    DWORD RetrySettingPush();
    // The bridge's readiness lookup, the StatusControl watcher's timed work.
    DWORD RetryReadiness();

    // The watcher threads (parameter: the store). Started and joined by the service's worker.
    static DWORD WINAPI StatusWatcherThread(LPVOID store);
    static DWORD WINAPI SettingWatcherThread(LPVOID store);
    void StartWatchers();
    // Waits for both watchers, which end by themselves once the stop is signalled.
    void JoinWatchers();
    bool WatchersRunning() const { return m_hStatusWatcher || m_hSettingWatcher; }

    // The change events of the watchers while they watch their keys (null otherwise).
    HANDLE StatusEvent() const { return m_hStatusEvent; }
    HANDLE SettingEvent() const { return m_hSettingEvent; }
    // The StatusControl word handled last, and the one being handled.
    DWORD PreviousStatusControl() const { return m_prevStatusControl; }
    DWORD CurrentStatusControl() const { return m_curStatusControl; }
    void SetPreviousStatusControl(DWORD value) { m_prevStatusControl = value; }

private:
    friend class KeyWatcher;

    FirmwareApi& m_firmware;
    HANDLE m_stop;
    ActivityBoard& m_activity;
    ServiceLog& m_log;
    HANDLE volatile m_hStatusEvent = nullptr;
    HANDLE volatile m_hSettingEvent = nullptr;
    DWORD m_prevStatusControl = 0;
    DWORD m_curStatusControl = 0;
    // The settings word the last push read (what the firmware was given the complement of).
    DWORD m_pushedSetting = 0;
    bool m_settingPushed = false;
    RetryLog m_pushLog{m_log, "Fail to WmiSetData", "Settings push"};
    // When the next settings push is due (0: not due), and its pause.
    ULONGLONG m_pushDue = 0;
    Backoff m_pushBackoff;
    win::UniqueHandle m_hStatusWatcher;
    win::UniqueHandle m_hSettingWatcher;
};
