// The system's event-log calls behind ServiceLog.
#include "core/event_log_api.h"

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
