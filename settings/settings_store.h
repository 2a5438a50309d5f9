// The settings store: the SystemEvent values shared with client programs, their start-up values,
// the one update rule (registry_store.h), the handling of client requests and the settings push,
// and the two key watchers (watchers.h) that run them. This folder uses common/ and core/ only:
// the firmware is reached through core/firmware_api.h, handed in with the stop signal and the
// activity board.
#pragma once

#include <windows.h>

#include "core/activity.h"
#include "core/backoff.h"
#include "core/firmware_api.h"
#include "core/retry_log.h"
#include "core/service_log.h"
#include "core/thread_api.h"
#include "settings/registry_store.h"
#include "settings/watchers.h"

class SettingsStore {
public:
    // `stopEvent`: the service's stop (manual reset), watched by every wait. Not owned.
    // `threads`: the watchers' threads and events.
    SettingsStore(FirmwareApi& firmware, HANDLE stopEvent, ActivityBoard& activity, ServiceLog& log, ThreadApi& threads);
    // The watchers reach this object: they end first, at the latest here (the stop is signalled).
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The six start-up values; the StatusControl history starts again from 0.
    void WriteStartupValues();
    // The complement of the settings word to the firmware. A push that does not reach it is
    // reported (throttled) and made again, with growing pauses, by the CurrentSetting watcher.
    void PushCurrentSetting();
    // Pushes the settings word when it differs from the one the firmware last took, or when
    // that push did not reach the firmware: a client write made before the watcher was armed
    // raised no signal of its own.
    void CatchUpCurrentSetting();
    // The settings push that did not reach the firmware, made again when due; how long the
    // watcher may wait before it is due again (INFINITE: not due).
    DWORD RetrySettingPush();
    // One handling of StatusControl: the first request bit that changed since the last handling
    // becomes a register call and, for bits 0 and 1, an acknowledgement in Notification. A call
    // that cannot be made yet is waited for (FirmwareApi::CallForRequest). An acknowledgement
    // that cannot be written is reported (throttled).
    void OnStatusControlChanged();

    // The StatusControl watcher, then the CurrentSetting watcher; started by the service's worker.
    void StartWatchers();
    // Waits for both watchers, which end by themselves once the stop is signalled.
    void JoinWatchers();

private:
    // What each watcher does with its key.
    class StatusControlHandling final : public KeyHandler {
    public:
        explicit StatusControlHandling(SettingsStore& store) : m_store(store) {}
        // A request written before the arming differs from the last one handled: one handling finds it.
        void OnChanged() override { m_store.OnStatusControlChanged(); }
        void CatchUp() override { m_store.OnStatusControlChanged(); }
        // The bridge's readiness lookup.
        DWORD DueWork() override { return m_store.m_firmware.RetryReadiness(); }
        HANDLE DueEvent() override { return m_store.m_firmware.ReadinessDueEvent(); }

    private:
        SettingsStore& m_store;
    };
    class CurrentSettingHandling final : public KeyHandler {
    public:
        explicit CurrentSettingHandling(SettingsStore& store) : m_store(store) {}
        void OnChanged() override { m_store.PushCurrentSetting(); }
        void CatchUp() override { m_store.CatchUpCurrentSetting(); }
        DWORD DueWork() override { return m_store.RetrySettingPush(); }

    private:
        SettingsStore& m_store;
    };

    FirmwareApi& m_firmware;
    HANDLE m_stop;
    ActivityBoard& m_activity;
    ServiceLog& m_log;
    // The StatusControl word handled last, and the one being handled.
    DWORD m_prevStatusControl = 0;
    DWORD m_curStatusControl = 0;
    // The settings word the last push read (what the firmware was given the complement of).
    DWORD m_pushedSetting = 0;
    bool m_settingPushed = false;
    RetryLog m_pushLog{m_log, "Fail to WmiSetData", "Settings push"};
    RetryLog m_ackLog{m_log, "", "Acknowledgement write"};
    // When the next settings push is due (0: not due), and its pause.
    ULONGLONG m_pushDue = 0;
    Backoff m_pushBackoff;
    StatusControlHandling m_statusHandling{*this};
    CurrentSettingHandling m_settingHandling{*this};
    // Last: they go first.
    KeyWatcher m_statusWatcher;
    KeyWatcher m_settingWatcher;
};
