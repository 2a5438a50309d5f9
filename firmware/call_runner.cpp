#include "firmware/call_runner.h"

#include "firmware/wmi_connection.h"

HRESULT WmiRequest::Invoke() {
    switch (m_op) {
    case Op::GetObject:
        return m_services->GetObject(m_text1.Get(), 0, nullptr, m_resultObject.ReleaseAndGetAddressOf(), nullptr);
    case Op::ExecMethod:
        return m_services->ExecMethod(m_text1.Get(), m_text2.Get(), 0, nullptr, m_object.Get(),
                                    m_resultObject.ReleaseAndGetAddressOf(), nullptr);
    case Op::ExecQuery:
        return m_services->ExecQuery(m_text1.Get(), m_text2.Get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                   nullptr, m_resultEnumerator.ReleaseAndGetAddressOf());
    case Op::Next: {
        ULONG returned = 0;
        const HRESULT hr = m_enumerator->Next(m_flags, 1, m_resultObject.ReleaseAndGetAddressOf(), &returned);
        if (returned != 1) m_resultObject.Reset();
        return hr;
    }
    case Op::PutInstance:
        return m_services->PutInstance(m_object.Get(), m_flags, nullptr, nullptr);
    case Op::ExecNotificationQuery:
        return m_services->ExecNotificationQuery(m_text1.Get(), m_text2.Get(),
                                               WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, nullptr,
                                               m_resultEnumerator.ReleaseAndGetAddressOf());
    case Op::ConnectServer:
        return m_locator->ConnectServer(m_text1.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                      m_resultServices.ReleaseAndGetAddressOf());
    }
    return E_UNEXPECTED;
}

void WmiRequest::Clear() {
    m_services.Reset();
    m_locator.Reset();
    m_enumerator.Reset();
    m_object.Reset();
    m_text1 = win::Bstr();
    m_text2 = win::Bstr();
    m_flags = 0;
    m_resultObject.Reset();
    m_resultEnumerator.Reset();
    m_resultServices.Reset();
}

CallRunner* CallRunner::Create() {
    CallRunner* runner = new CallRunner();
    if (!runner) return nullptr;
    runner->m_work.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    runner->m_done.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    win::UniqueHandle thread;
    if (runner->m_work && runner->m_done) thread.Reset(CreateThread(nullptr, 0, ThreadProc, runner, 0, nullptr));
    if (!thread) {
        delete runner;
        return nullptr;
    }
    return runner;  // the thread is never waited for: it ends by itself
}

CallEnd CallRunner::Run(HANDLE stop, DWORD boundMs, DWORD stopGraceMs, HRESULT& hr) {
    hr = S_OK;
    m_state = kBusy;
    SetEvent(m_work.Get());
    ULONGLONG deadline = GetTickCount64() + boundMs;
    CallEnd reason = CallEnd::TimedOut;
    const HANDLE waits[2] = {m_done.Get(), stop};
    DWORD count = 2;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, left);
        if (InterlockedCompareExchange(&m_state, kIdle, kDone) == kDone) {
            hr = m_result;
            return CallEnd::Answered;
        }
        // A done signal left over from a call that answered just as it was given up: wait on.
        if (woke == WAIT_OBJECT_0) continue;
        if (woke == WAIT_OBJECT_0 + 1) {
            // The stop: a call about to answer (a poll's own time-out) is waited for a moment,
            // so that it lets go of its objects now rather than later.
            reason = CallEnd::Stopped;
            count = 1;
            if (now + stopGraceMs < deadline) deadline = now + stopGraceMs;
            if (stopGraceMs) continue;
        }
        // The call may answer right now; then it counts as answered.
        if (InterlockedCompareExchange(&m_state, kAbandoned, kBusy) == kDone) {
            m_state = kIdle;
            hr = m_result;
            return CallEnd::Answered;
        }
        return reason;
    }
}

void CallRunner::Retire() {
    InterlockedExchange(&m_quit, 1);
    SetEvent(m_work.Get());
    Release();
}

void CallRunner::Release() {
    if (InterlockedDecrement(&m_refs) == 0) delete this;
}

DWORD WINAPI CallRunner::ThreadProc(void* parameter) {
    auto* self = static_cast<CallRunner*>(parameter);
    // Its own membership of the multithreaded apartment: the apartment outlives the worker's, so
    // an abandoned call still has it when the service has already let go of COM.
    const HRESULT apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (;;) {
        WaitForSingleObject(self->m_work.Get(), INFINITE);
        if (self->m_quit) break;
        self->m_result = SUCCEEDED(apartment) ? self->m_request.Invoke() : apartment;
        if (InterlockedCompareExchange(&self->m_state, kDone, kBusy) == kAbandoned) {
            InterlockedExchange(&self->m_finished, 1);
            break;
        }
        SetEvent(self->m_done.Get());
    }
    self->m_request.Clear();
    if (SUCCEEDED(apartment)) CoUninitialize();
    self->Release();
    return 0;
}

// ---- CallLane -----------------------------------------------------------------------------------

CallLane::CallLane(ServiceLog& log, const char* subject) : m_subject(subject), m_log(log, "", subject) {}

CallLane::~CallLane() {
    RetireIdle();
    // A given-up call's thread holds its own reference and ends by itself.
    for (CallRunner*& runner : m_abandoned) {
        if (runner) runner->Release();
        runner = nullptr;
    }
}

int CallLane::PruneLocked() {
    int out = 0;
    for (CallRunner*& runner : m_abandoned) {
        if (runner && runner->Finished()) {
            runner->Release();
            runner = nullptr;
        }
        if (runner) ++out;
    }
    return out;
}

CallRunner* CallLane::Take(bool& refused) {
    refused = false;
    CallRunner* runner = nullptr;
    {
        win::ExclusiveLock lock(m_lock);
        if (PruneLocked() >= telvarin::kMaxAbandonedCalls) {
            // Another thread would only join the ones already waiting in the provider.
            refused = true;
            if (m_log.Failures() == 0) {  // the calls out were given up at a stop: nothing said yet
                char text[160];
                wsprintfA(text, "%s: %d calls given up are still out; the next fail at once until one answers",
                          m_subject, telvarin::kMaxAbandonedCalls);
                m_log.SetFailureText(text);
            }
            m_log.Failed();
            return nullptr;
        }
        runner = m_idle;
        m_idle = nullptr;
    }
    return runner ? runner : CallRunner::Create();
}

void CallLane::Answered(CallRunner* runner) {
    win::ExclusiveLock lock(m_lock);
    m_log.Succeeded();
    if (m_idle) {
        runner->Retire();  // two threads used the lane at once: one helper is enough
        return;
    }
    m_idle = runner;
}

void CallLane::Abandon(CallRunner* runner, bool timedOut, const char* call, DWORD boundMs) {
    win::ExclusiveLock lock(m_lock);
    PruneLocked();
    for (CallRunner*& slot : m_abandoned) {
        if (slot) continue;
        slot = runner;
        runner = nullptr;
        break;
    }
    // More out than the limit (several threads at once): this one is not followed.
    if (runner) runner->Release();
    if (!timedOut) return;
    if (m_log.Failures() == 0) {
        char text[160];
        wsprintfA(text, "%s gave no answer in %lu.%lu s; while %d such calls are out, the next fail at once",
                  call, boundMs / 1000, boundMs / 100 % 10, telvarin::kMaxAbandonedCalls);
        m_log.SetFailureText(text);
    }
    m_log.Failed();
}

int CallLane::Outstanding() {
    win::ExclusiveLock lock(m_lock);
    return PruneLocked();
}

void CallLane::RetireIdle() {
    win::ExclusiveLock lock(m_lock);
    if (m_idle) m_idle->Retire();
    m_idle = nullptr;
}
