// The firmware bridge: the WMI connection, the register call on the firmware's method, the
// settings write, and the button event listener with its dispatch by event code. This folder
// uses common/ and core/ only: the stop signal, the activity board, the log and what the WMI
// connection is made with (the COM start-up calls, the clock, the bound of a call) come in
// through the constructor, the actions of the button events through RunEventListener's
// ButtonActions.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "core/activity.h"
#include "core/backoff.h"
#include "core/firmware_api.h"
#include "core/retry_log.h"
#include "core/service_log.h"
#include "firmware/method_instance.h"
#include "firmware/wmi_connection.h"

// What the button events ask for; the service wires it to the power actions and the store.
class ButtonActions {
public:
    virtual ~ButtonActions() = default;
    virtual void SleepPerPolicy() = 0;
    virtual void Hibernate() = 0;
    // Any other code: toggled into Notification's default value.
    virtual void ToggleNotification(DWORD code) = 0;
};

class FirmwareBridge final : public FirmwareApi {
public:
    // `stopEvent`: the service's stop (manual reset), watched by every lasting wait. Not owned.
    // Reports go to `log`. `wmi`: what the WMI connection is made with (SystemWmiSetup() in the
    // service).
    FirmwareBridge(HANDLE stopEvent, ActivityBoard& activity, ServiceLog& log, const WmiSetup& wmi);
    FirmwareBridge(const FirmwareBridge&) = delete;
    FirmwareBridge& operator=(const FirmwareBridge&) = delete;

    // State of the service `name` (SERVICE_RUNNING, ...), or -1 when it does not answer.
    static LONG QueryServiceState(const char* name);
    // Waits until winmgmt runs, retrying once a second (reported on its own at start-up, as part
    // of the loss when connecting again); false when the service stops first.
    bool WaitForWinmgmt();
    // The first connection; the calling thread becomes the one that reconnects. 1 once
    // connected, 0 when the service stopped first.
    int Connect();
    int SetFirmwareOption(int option);
    // Subscribes to the button events and acts on each through `actions` until the stop, on
    // the helper thread that polls them (the calling thread watches it); connects again whenever
    // the connection is lost, and subscribes again, after a pause that grows, when polls fail
    // or give no answer.
    void RunEventListener(ButtonActions& actions);
    // After a failed attempt that allows `retry` (not Retry::No): true once the call may be made
    // again. A lost connection: the connecting thread connects again itself (waiting for winmgmt
    // first); others wait for it, until `holdUntil` when one is given (the connection's clock).
    // A refused register call: with `holdUntil`, waits until then for a given-up call of its kind
    // to answer; without, false at once. False at the stop.
    bool AwaitCallable(Retry retry, ULONGLONG holdUntil);
    // The machine has resumed from a sleep (called by the service's control handler, at once):
    // the listener checks its subscription, and a lost readiness is looked for, without waiting
    // for their bounds and pauses.
    void OnResume();
    WmiConnection& Wmi() { return m_wmi; }

    int CallFirmware(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx) override { return Call(eax, ebx, ecx, edx, 0); }
    int CallForRequest(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx) override;
    int WriteFirmwareSetting(DWORD value) override;
    int SettingsWritesOutstanding() override { return m_wmi.Outstanding(WmiOp::SettingsWrite); }
    // A lookup of the firmware method when readiness was lost, after a pause from 1 s to 60 s
    // (at once after a resume).
    DWORD RetryReadiness() override;
    HANDLE ReadinessDueEvent() override { return m_readinessDue.Get(); }

private:
    int ReconnectWmi();
    // A register call, held until `holdUntil` (0: not held) as OnceMoreAfterLoss says.
    int Call(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx, ULONGLONG holdUntil);
    // Waits `ms`, connecting again at once whenever a call finds the connection lost meanwhile;
    // with `untilPollAnswers`, only until a given-up poll has answered; ended early by a resume.
    // False at the stop.
    bool PauseConnected(DWORD ms, bool untilPollAnswers);
    bool Stopping() const { return WaitForSingleObject(m_stop, 0) == WAIT_OBJECT_0; }
    // One attempt of a register call, and of a settings write; see OnceMoreAfterLoss.
    int CallOnce(DWORD (&regs)[4], bool repeated, Retry* retry);
    int WriteOnce(DWORD value, bool repeated, Retry* retry);
    // The firmware method's input signature: the one kept for this connection, or looked up
    // now and kept. A lookup that the firmware side fails is reported (throttled).
    WmiResult MethodInput(Microsoft::WRL::ComPtr<IWbemClassObject>& signature);

    HANDLE m_stop;
    ActivityBoard& m_activity;
    ServiceLog& m_log;
    WmiConnection m_wmi;
    // Reports of failures that a lasting fault would repeat with every request.
    RetryLog m_lookupLog{m_log, "", "Firmware method lookup"};
    RetryLog m_execLog{m_log, "Wmi ExecMethod fail.", "ExecMethod"};
    RetryLog m_outputLog{m_log, "Wmi OutParams == NULL.", "ExecMethod output"};
    // When the next readiness lookup is due (0: not due), and its pause; on the connection's clock.
    ULONGLONG m_readinessAt = 0;
    Backoff m_readinessBackoff;
    MethodInstanceMemo m_methodInstance;
    // A resume: for the listener (its poll under way, and its pause), and for the readiness lookup.
    win::UniqueHandle m_resumed{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    win::UniqueHandle m_readinessDue{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    volatile LONG m_resumeSeen = 0;        // by the listener, since its subscription's polling began
    volatile LONG m_readinessCheckOwed = 0;
};
