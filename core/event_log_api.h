// The event-log calls behind ServiceLog, as a seam: the service uses the system's,
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

// A registered event source, deregistered through the API that registered it. Register returns
// false, owning nothing, when registration fails (the API's result is null).
class EventSource {
public:
    EventSource() = default;
    ~EventSource() { Reset(); }
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    bool Register(EventLogApi& api, const char* sourceName) {
        Reset();
        m_handle = api.Register(sourceName);
        if (m_handle) m_api = &api;
        return m_handle != nullptr;
    }
    HANDLE Get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }
    void Reset() {
        if (m_handle) m_api->Deregister(m_handle);
        m_handle = nullptr;
        m_api = nullptr;
    }

private:
    EventLogApi* m_api = nullptr;
    HANDLE m_handle = nullptr;
};
