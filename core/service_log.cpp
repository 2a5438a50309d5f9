#include "core/service_log.h"

#include "common/protocol.h"
#include "core/retry_log.h"

// Runs at most once successfully per log; a failed run leaves the once open for the next report.
BOOL CALLBACK ServiceLog::RegisterOnce(PINIT_ONCE, PVOID parameter, PVOID*) {
    auto* log = static_cast<ServiceLog*>(parameter);
    return log->m_source.Register(*log->m_api, TELVARIN_SERVICE_NAME) ? TRUE : FALSE;
}

void ServiceLog::Report(WORD type, DWORD eventId, const char* text1, const char* text2, const char* text3) {
    const char* strings[3] = {text1, text2, text3};
    WORD count = static_cast<WORD>((text1 ? 1 : 0) + (text2 ? 1 : 0) + (text3 ? 1 : 0));
    // Two threads reporting first at the same time must register one handle only: the once
    // blocks the second until the first has stored its handle.
    if (!InitOnceExecuteOnce(&m_once, RegisterOnce, this, nullptr)) return;
    if (!m_source) return;
    m_api->Report(m_source.Get(), type, eventId, count, strings);
}

FailureRun::Step FailureRun::Failed(ULONGLONG now) {
    Over(now);
    if (m_failures++ == 0) {
        // A run that opens soon after the last one ended is the same fault coming back: it must
        // hold longer before it counts as over.
        const bool recent = m_lastEnd != 0 && now - m_lastEnd < kReminderMs;
        m_steadyMs = recent ? (m_steadyMs >= kLongestSteadyMs / 4 ? kLongestSteadyMs : m_steadyMs * 4) : kFirstSteadyMs;
        m_firstFailure = m_lastReport = now;
        m_recoveredAt = 0;
        m_successOwed = true;
        return Step::Opened;
    }
    m_recoveredAt = 0;
    if (now - m_lastReport < kReminderMs) return Step::Quiet;
    m_lastReport = now;
    m_successOwed = true;
    return Step::Reminder;
}

bool FailureRun::Succeeded(ULONGLONG now) {
    if (Over(now) || m_failures == 0) return false;
    if (m_recoveredAt == 0) m_recoveredAt = now;
    const bool report = m_successOwed;
    m_successOwed = false;
    return report;
}

bool FailureRun::Over(ULONGLONG now) {
    if (m_failures == 0 || m_recoveredAt == 0 || now - m_recoveredAt < m_steadyMs) return false;
    m_lastEnd = m_recoveredAt + m_steadyMs;
    m_failures = 0;
    m_recoveredAt = 0;
    m_successOwed = false;
    return true;
}

void RetryLog::FailedAt(ULONGLONG now, const char* text) {
    switch (m_run.Failed(now)) {
    case FailureRun::Step::Opened:
        if (text) m_log.Text(EVENTLOG_WARNING_TYPE, text);
        else m_log.Text(EVENTLOG_WARNING_TYPE, m_failureText);
        return;
    case FailureRun::Step::Reminder: {
        char reminder[128];
        wsprintfA(reminder, "%s still failing: %lu attempts in %lu min", m_subject, m_run.Failures(),
                  static_cast<DWORD>((now - m_run.FirstFailure()) / 60000));
        m_log.Text(EVENTLOG_WARNING_TYPE, reminder);
        return;
    }
    case FailureRun::Step::Quiet:
        return;
    }
}

void RetryLog::SucceededAt(ULONGLONG now) {
    if (!m_run.Succeeded(now)) return;
    char text[128];
    wsprintfA(text, "%s succeeded after %lu failed attempts in %lu s", m_subject, m_run.Failures(),
              static_cast<DWORD>((now - m_run.FirstFailure()) / 1000));
    m_log.Text(EVENTLOG_INFORMATION_TYPE, text);
}
