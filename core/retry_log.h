// The reports of one retry loop or one kind of call (the winmgmt wait, each connection stage, the
// subscription, the register call): a fault that lasts for weeks, or comes and goes all day, must
// not push other programs' entries out of the Application log.
//
// Failures come in runs. A run opens with a failure, reported with the loop's own text; later
// failures of the run are counted and reminded of at most once an hour. The run's first success
// is reported at once ("... succeeded after N failed attempts"), and so is the first success after
// each reminder; other successes say nothing. A run is over only once successes have held for its
// steady period with no failure between: a failure before that belongs to the same run and writes
// nothing new. The steady period is a minute, and four times the last one (up to two hours) for a
// run that opens within an hour of the last one's end, so a fault that comes and goes is soon one
// run, not one per alternation. Failures are warnings, successes information. Not thread-safe: one
// loop, one thread at a time.
#pragma once

#include <windows.h>

#include "core/service_log.h"

// When a run of failures opens and is over, as described above; no reports, only the decisions.
class FailureRun {
public:
    static constexpr ULONGLONG kReminderMs = 60 * 60 * 1000;
    static constexpr ULONGLONG kFirstSteadyMs = 60 * 1000;
    static constexpr ULONGLONG kLongestSteadyMs = 2 * kReminderMs;

    enum class Step { Quiet, Opened, Reminder };
    // A failure at `now` (GetTickCount64's clock or a test's): Opened when it opens a run,
    // Reminder when an hour has passed since the run's last report, else Quiet.
    Step Failed(ULONGLONG now);
    // A success at `now`; true when it is one to report (the run's first, or the first after a
    // reminder).
    bool Succeeded(ULONGLONG now);
    // True once the run is over at `now`: its successes have held for the steady period. Ends
    // the run; the next failure opens a new one.
    bool Over(ULONGLONG now);

    bool Open() const { return m_failures != 0; }
    DWORD Failures() const { return m_failures; }
    ULONGLONG FirstFailure() const { return m_firstFailure; }
    // The first success of the steady stretch now under way (0 while failing).
    ULONGLONG RecoveredAt() const { return m_recoveredAt; }

private:
    DWORD m_failures = 0;
    ULONGLONG m_firstFailure = 0;
    ULONGLONG m_lastReport = 0;
    ULONGLONG m_recoveredAt = 0;
    bool m_successOwed = false;
    ULONGLONG m_steadyMs = kFirstSteadyMs;
    ULONGLONG m_lastEnd = 0;  // when the last run was over (0: none yet)
};

class RetryLog {
public:
    static constexpr ULONGLONG kReminderMs = FailureRun::kReminderMs;

    // `log`: where the reports go; `failureText`: the report of a run's first failure
    // ("ConnectServer fail"), copied; `subject`: what is retried, as the later reports name it
    // ("ConnectServer"), kept as given.
    RetryLog(ServiceLog& log, const char* failureText, const char* subject);

    void Failed() { FailedAt(GetTickCount64()); }
    void Succeeded() { SucceededAt(GetTickCount64()); }
    // The same, at a given time (GetTickCount64's clock or a test's). `text`, when given, is the
    // report should this failure open a run (a cause that only the failure knows).
    void FailedAt(ULONGLONG now, const char* text = nullptr);
    void SucceededAt(ULONGLONG now);
    // True while a run of failures is open.
    bool Failing() const { return m_run.Open(); }

private:
    ServiceLog& m_log;
    char m_failureText[160] = {};
    const char* m_subject;
    FailureRun m_run;
};
