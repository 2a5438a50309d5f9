// The reports of one retry loop (the winmgmt wait, each connection stage, the subscription, a
// kind of WMI call that gives no answer): a loop that fails for weeks must not push other
// programs' entries out of the Application log. The first failure is reported with the loop's
// own text, then at most one entry an hour with the count, and one entry when it succeeds at
// last; a loop that succeeds at once reports nothing. Failures are warnings, the success is
// information. Not thread-safe: one loop, one thread at a time.
#pragma once

#include <windows.h>

class ServiceLog;

class RetryLog {
public:
    static constexpr ULONGLONG kReminderMs = 60 * 60 * 1000;

    // `log`: where the reports go; `failureText`: the first failure's report ("ConnectServer
    // fail"), copied; `subject`: what is retried, as the later reports name it ("ConnectServer"),
    // kept as given.
    RetryLog(ServiceLog& log, const char* failureText, const char* subject) : m_log(log), m_subject(subject) {
        SetFailureText(failureText);
    }

    // The first failure's report of the next run of failures.
    void SetFailureText(const char* text) { lstrcpynA(m_failureText, text, sizeof m_failureText); }
    void Failed() { FailedAt(GetTickCount64()); }
    void Succeeded() { SucceededAt(GetTickCount64()); }
    // The same, at a given time (GetTickCount64's clock).
    void FailedAt(ULONGLONG now);
    void SucceededAt(ULONGLONG now);
    DWORD Failures() const { return m_failures; }

private:
    ServiceLog& m_log;
    char m_failureText[160] = {};
    const char* m_subject;
    DWORD m_failures = 0;
    ULONGLONG m_firstFailure = 0;
    ULONGLONG m_lastReport = 0;
};
