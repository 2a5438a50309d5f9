// CFnService: the one object that holds all state of the Telvarin service.
// The platform callbacks and thread procedures reach it through g_pService.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "common/win_raii.h"

class EventLogApi;
class ComRuntime;
class PowerApi;

// Names shared by every part of the service.
namespace telvarin {
constexpr const char kServiceName[] = "Telvarin";
constexpr const char kNotificationKey[] = "Software\\Haskorn\\SystemEvent\\Notification";
constexpr const char kCapabilityKey[] = "Software\\Haskorn\\SystemEvent\\Capability";
constexpr const char kCurrentSettingKey[] = "Software\\Haskorn\\SystemEvent\\CurrentSetting";
constexpr const char kStatusControlKey[] = "Software\\Haskorn\\SystemEvent\\StatusControl";
constexpr const char kEventLogSourceKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// Message ids of the executable's message table.
constexpr DWORD kMsgInstalled = 100;
constexpr DWORD kMsgRemoved = 101;
constexpr DWORD kMsgNotRemoved = 102;
constexpr DWORD kMsgNoControlHandler = 103;
constexpr DWORD kMsgText = 107;

constexpr DWORD kRetryPauseMs = 1000;
// After STOPPED, how long the main thread waits for the worker's teardown before it ends the
// process anyway: a firmware call that never returns must not keep the exe alive and locked.
constexpr DWORD kStopGraceMs = 8000;
}  // namespace telvarin

class CFnService {
public:
    CFnService();
    virtual ~CFnService();
    CFnService(const CFnService&) = delete;
    CFnService& operator=(const CFnService&) = delete;

    // Service life cycle.
    void Run();
    // Waits up to `timeoutMs` for the worker; false when it is still running then.
    bool WaitForWorker(DWORD timeoutMs = INFINITE);
    LONG QueryServiceState(const char* name);
    // Ends the service from any thread: every wait of the worker and the watchers watches this.
    void RequestStop();
    // Waits up to `ms` for a stop; true when the service is stopping.
    bool WaitForStop(DWORD ms) const;
    bool StopRequested() const { return WaitForStop(0); }
    // The error that keeps the service from starting (its stop or start-decided event could not
    // be created), or 0.
    DWORD StartupError() const;
    // ServiceMain's RUNNING report, made only while no stop has been reported; false otherwise.
    bool ReportRunning();
    // ControlHandler's work for one control.
    void HandleControl(DWORD control);

    // Event log.
    static void LogServiceEvent(WORD type, DWORD eventId, const char* text1, const char* text2,
                                const char* text3);

    // Firmware bridge.
    int ConnectWmi();
    int CallFirmware(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx);
    int SetFirmwareOption(int option);
    int WriteFirmwareSetting(DWORD value);
    void RunEventListener();

    // Settings store.
    void UpdateRegistryDword(const char* subkey, const char* valueName, DWORD value, int set, int toggle);
    void WriteStartupValues();
    void PushCurrentSetting();
    // Pushes the settings word when it differs from the one the last push read: a client write
    // made before the watcher was armed raised no signal of its own.
    void CatchUpCurrentSetting();
    void OnStatusControlChanged();

    // Power actions.
    int EnableShutdownPrivilege();
    bool SleepButtonMeansSleep();
    void Hibernate();
    void SleepPerPolicy();

    // Seams: the platform calls that a unit test cannot observe under Wine.
    void SetEventLogApi(EventLogApi* api) { m_pEventLogApi = api; }
    void SetComRuntime(ComRuntime* runtime) { m_pComRuntime = runtime; }
    void SetPowerApi(PowerApi* api) { m_pPowerApi = api; }

    HANDLE m_hSettingEvent;
    HANDLE m_hStatusEvent;
    SERVICE_STATUS m_status;
    SERVICE_STATUS_HANDLE m_hStatus;
    HANDLE m_hEventSource;
    DWORD m_prevStatusControl;
    DWORD m_curStatusControl;
    CRITICAL_SECTION m_lock;
    volatile LONG m_wmiReady;
    volatile LONG m_running;
    win::UniqueHandle m_hWorker;
    win::UniqueHandle m_hStatusWatcher;
    win::UniqueHandle m_hSettingWatcher;
    Microsoft::WRL::ComPtr<IWbemServices> m_pServices;

    // Stop signal (manual reset) that every lasting wait watches besides its own object.
    win::UniqueHandle m_hStopEvent;
    // Set by ServiceMain on each of its exits, once m_hWorker holds whatever it will hold.
    win::UniqueHandle m_hStartDecided;
    volatile LONG m_serviceMainEntered;
    DWORD m_startupError;  // last error of a failed CreateEventA in the constructor
    // Guards m_status and its reports (ServiceMain against ControlHandler), so a RUNNING report
    // can never follow STOPPED. Never held across anything but SetServiceStatus.
    SRWLOCK m_statusLock;
    // The settings word the last push read (what the firmware was given the complement of).
    DWORD m_pushedSetting;
    bool m_settingPushed;
    // Whether ConnectWmi initialised COM on the worker (the teardown uninitialises it).
    bool m_comInitialized;

    EventLogApi* m_pEventLogApi;
    ComRuntime* m_pComRuntime;
    PowerApi* m_pPowerApi;
    INIT_ONCE m_eventSourceOnce;
};

extern CFnService* g_pService;

// Platform entry points and thread procedures; all reach the object through g_pService.
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ControlHandler(DWORD control);
DWORD WINAPI WorkerThread(LPVOID);
DWORD WINAPI StatusWatcherThread(LPVOID);
DWORD WINAPI SettingWatcherThread(LPVOID);
