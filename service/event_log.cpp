#include "core/event_log_api.h"

#include "core/fn_service.h"
#include "core/retry_log.h"

namespace {

class Win32EventLog final : public EventLogApi {
public:
    HANDLE Register(const char* sourceName) override { return RegisterEventSourceA(nullptr, sourceName); }
    void Report(HANDLE source, WORD type, DWORD eventId, WORD stringCount, const char** strings) override {
        ReportEventA(source, type, 0, eventId, nullptr, stringCount, 0, strings, nullptr);
    }
    void Deregister(HANDLE source) override { DeregisterEventSource(source); }
};

}  // namespace

EventLogApi& SystemEventLog() {
    static Win32EventLog log;
    return log;
}

// Runs at most once successfully per process; a failed run leaves the once open for the next report.
BOOL CALLBACK RegisterEventSourceOnce(PINIT_ONCE, PVOID parameter, PVOID*) {
    auto* service = static_cast<CFnService*>(parameter);
    return service->m_hEventSource.Register(*service->m_pEventLogApi, TELVARIN_SERVICE_NAME) ? TRUE : FALSE;
}

void CFnService::LogServiceEvent(WORD type, DWORD eventId, const char* text1, const char* text2,
                                 const char* text3) {
    CFnService* service = g_pService;
    if (!service) return;

    const char* strings[3] = {text1, text2, text3};
    WORD count = static_cast<WORD>((text1 ? 1 : 0) + (text2 ? 1 : 0) + (text3 ? 1 : 0));

    // Two threads reporting first at the same time must register one handle only: the once
    // blocks the second until the first has stored its handle.
    if (!InitOnceExecuteOnce(&service->m_eventSourceOnce, RegisterEventSourceOnce, service, nullptr)) return;
    if (!service->m_hEventSource) return;
    service->m_pEventLogApi->Report(service->m_hEventSource.Get(), type, eventId, count, strings);
}

namespace {
void ReportText(WORD type, const char* text) { CFnService::LogServiceEvent(type, MSG_TEXT, text, nullptr, nullptr); }
}  // namespace

void RetryLog::FailedAt(ULONGLONG now) {
    if (m_failures++ == 0) {
        m_firstFailure = m_lastReport = now;
        ReportText(EVENTLOG_WARNING_TYPE, m_failureText);
        return;
    }
    if (now - m_lastReport < kReminderMs) return;
    m_lastReport = now;
    char text[128];
    wsprintfA(text, "%s still failing: %lu attempts in %lu min", m_subject, m_failures,
              static_cast<DWORD>((now - m_firstFailure) / 60000));
    ReportText(EVENTLOG_WARNING_TYPE, text);
}

void RetryLog::SucceededAt(ULONGLONG now) {
    if (m_failures == 0) return;
    char text[128];
    wsprintfA(text, "%s succeeded after %lu failed attempts in %lu s", m_subject, m_failures,
              static_cast<DWORD>((now - m_firstFailure) / 1000));
    ReportText(EVENTLOG_INFORMATION_TYPE, text);
    m_failures = 0;
}
