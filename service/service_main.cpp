// The service object's life cycle: construction, Run, ServiceMain, ControlHandler, the final wait.
#include "service/fn_service.h"
#include "firmware/com_runtime.h"
#include "power/power_api.h"
#include "service/event_log.h"

CFnService* g_pService = nullptr;

CFnService::CFnService()
    : m_hSettingEvent(nullptr),
      m_hStatusEvent(nullptr),
      m_status{},
      m_hStatus(nullptr),
      m_hEventSource(nullptr),
      m_prevStatusControl(0),
      m_curStatusControl(0),
      m_lock{},
      m_wmiReady(0),
      m_running(0),
      m_hStopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_hStartDecided(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_serviceMainEntered(0),
      m_comInitialized(false),
      m_pEventLogApi(&SystemEventLog()),
      m_pComRuntime(&SystemComRuntime()),
      m_pPowerApi(&SystemPowerApi()),
      m_eventSourceOnce{} {
    InitOnceInitialize(&m_eventSourceOnce);
    g_pService = this;
}

CFnService::~CFnService() {
    if (m_hEventSource) m_pEventLogApi->Deregister(m_hEventSource);
    if (g_pService == this) g_pService = nullptr;
}

void CFnService::RequestStop() {
    // The event first: ServiceMain re-checks it after its own write of m_running (see there).
    SetEvent(m_hStopEvent.Get());
    InterlockedExchange(&m_running, 0);
}

bool CFnService::WaitForStop(DWORD ms) const {
    return WaitForSingleObject(m_hStopEvent.Get(), ms) == WAIT_OBJECT_0;
}

void CFnService::Run() {
    m_wmiReady = 0;
    WriteStartupValues();
    m_prevStatusControl = 0;
    m_curStatusControl = 0;

    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<char*>(telvarin::kServiceName), ServiceMain},
        {nullptr, nullptr},
    };
    // Fails at once when not started by the service control manager (a console start).
    if (!StartServiceCtrlDispatcherA(table)) return;

    // A stop can be handled while ServiceMain is still on its way to storing m_hWorker;
    // wait until it has decided, so that a late worker is still waited for.
    if (m_serviceMainEntered) WaitForSingleObject(m_hStartDecided.Get(), INFINITE);
    WaitForWorker();
}

void CFnService::WaitForWorker() {
    if (!m_hWorker) return;
    WaitForSingleObject(m_hWorker.Get(), INFINITE);
    m_hWorker.Reset();
}

namespace {
// Signals "ServiceMain has decided about the worker" on every way out of it.
class StartDecidedSignal {
public:
    explicit StartDecidedSignal(HANDLE event) : m_event(event) {}
    ~StartDecidedSignal() { SetEvent(m_event); }
    StartDecidedSignal(const StartDecidedSignal&) = delete;
    StartDecidedSignal& operator=(const StartDecidedSignal&) = delete;

private:
    HANDLE m_event;
};
}  // namespace

void WINAPI ServiceMain(DWORD, LPSTR*) {
    CFnService* service = g_pService;
    InterlockedExchange(&service->m_serviceMainEntered, 1);
    StartDecidedSignal decided(service->m_hStartDecided.Get());

    service->m_status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    service->m_hStatus = RegisterServiceCtrlHandlerA(telvarin::kServiceName, ControlHandler);
    if (!service->m_hStatus) {
        CFnService::LogServiceEvent(EVENTLOG_INFORMATION_TYPE, telvarin::kMsgNoControlHandler, nullptr, nullptr, nullptr);
        return;
    }
    // A stop answered before our first report must not be followed by a RUNNING report.
    if (service->WaitForStop(0)) return;

    service->m_status.dwCurrentState = SERVICE_RUNNING;
    service->m_status.dwCheckPoint = 0;
    service->m_status.dwWaitHint = 0;
    if (!SetServiceStatus(service->m_hStatus, &service->m_status)) return;

    // A stop can be handled from the RUNNING report on. It sets the stop event before it clears
    // m_running, so either we see the event here, or its clearing comes after our write.
    InterlockedExchange(&service->m_running, 1);
    if (service->WaitForStop(0)) {
        InterlockedExchange(&service->m_running, 0);
        return;
    }
    DWORD id = 0;
    service->m_hWorker.Reset(CreateThread(nullptr, 0, WorkerThread, nullptr, 0, &id));
}

void WINAPI ControlHandler(DWORD control) {
    CFnService* service = g_pService;
    if (control == SERVICE_CONTROL_STOP) {
        service->m_status.dwWin32ExitCode = NO_ERROR;
        service->m_status.dwCurrentState = SERVICE_STOPPED;
        service->m_status.dwCheckPoint = 0;
        service->m_status.dwWaitHint = 0;
        SetServiceStatus(service->m_hStatus, &service->m_status);
        service->RequestStop();
        return;
    }
    SetServiceStatus(service->m_hStatus, &service->m_status);
}
