// The worker: start-up sequence, the button event listener, and the teardown that ends with
// STOPPED. Every wait of the start-up also watches the stop, so a stop in any phase ends the
// worker within about a second, tearing down only what exists by then.
#include "service/fn_service.h"

void CFnService::Work() {
    m_activity.Join("the worker");

    if (m_firmware.WaitForWinmgmt()) {
        const int connected = m_firmware.Connect();  // 0 only when stopped while connecting
        // A stop seen between two start-up steps ends the start-up there: after the stop the
        // firmware gets no further call from this run.
        if (connected == 1 && !m_host.StopRequested()) m_firmware.SetFirmwareOption(TELVARIN_FW_STARTUP_OPTION);
        if (connected == 1 && !m_host.StopRequested()) m_settings.PushCurrentSetting();
        if (connected == 1 && !m_host.StopRequested()) {
            m_settings.StartWatchers();
            m_firmware.RunEventListener(*this);
        }
    }

    // The listener returns only once the service is stopping; make sure the watchers see it too.
    m_host.RequestStop();
    m_host.ReportStopProgress();
    m_settings.JoinWatchers();
    m_host.ReportStopProgress();
    {
        Doing doing(m_activity, "releasing the WMI connection");
        m_firmware.Wmi().Close();
    }
    m_activity.Leave();
    // The last act: the process may end the moment this is reported.
    m_host.FinishStop(NO_ERROR, 0);
}

DWORD WINAPI WorkerThread(LPVOID service) {
    static_cast<CFnService*>(service)->Work();
    return 0;
}
