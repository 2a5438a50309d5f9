#include "core/service_log.h"

#include "common/protocol.h"

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
