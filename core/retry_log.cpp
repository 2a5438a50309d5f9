#include "core/retry_log.h"

RetryLog::RetryLog(ServiceLog& log, const char* failureText, const char* subject) : m_log(log), m_subject(subject) {
    lstrcpynA(m_failureText, failureText, sizeof m_failureText);
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
