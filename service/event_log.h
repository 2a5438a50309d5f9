// The event-log calls behind LogServiceEvent, as a seam: the service uses the system's,
// unit tests put a recorder in its place (Wine writes no real event log).
#pragma once

#include <windows.h>

class EventLogApi {
public:
    virtual ~EventLogApi() = default;
    // Returns the source handle, or null when registration fails.
    virtual HANDLE Register(const char* sourceName) = 0;
    virtual void Report(HANDLE source, WORD type, DWORD eventId, WORD stringCount, const char** strings) = 0;
    virtual void Deregister(HANDLE source) = 0;
};

// RegisterEventSourceA / ReportEventA / DeregisterEventSource.
EventLogApi& SystemEventLog();
