#include "firmware/call_runner.h"

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

CallRunner* CallRunner::Create(ComRuntime& com, const Clock& clock) {
    CallRunner* runner = new CallRunner(com, clock);
    if (!runner) return nullptr;
    runner->m_work.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    runner->m_done.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (runner->m_work && runner->m_done)
        runner->m_thread.Reset(CreateThread(nullptr, 0, ThreadProc, runner, 0, nullptr));
    if (!runner->m_thread) {
        delete runner;
        return nullptr;
    }
    return runner;  // the thread ends by itself; only the teardown waits for it
}

void CallRunner::HandOver(bool listening) {
    m_listening = listening;
    m_taken = true;
    m_pollStart = Tick();
    InterlockedExchange(&m_state, Word(kHandedOver, 0));
    SetEvent(m_work.Get());
}

bool CallRunner::TryAbandon(LONG word) {
    if (InterlockedCompareExchange(&m_state, Word(kAbandoned, Sequence(word)), word) != word) return false;
    m_taken = StateOf(word) != kHandedOver;
    return true;
}

CallEnd CallRunner::Run(HANDLE stop, DWORD boundMs, DWORD stopGraceMs, HRESULT& hr) {
    hr = S_OK;
    HandOver(false);
    ULONGLONG deadline = m_clock.Now() + boundMs;
    CallEnd reason = CallEnd::TimedOut;
    const HANDLE waits[2] = {m_done.Get(), stop};
    DWORD count = 2;
    for (;;) {
        ULONGLONG now = m_clock.Now();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, left);
        if (InterlockedCompareExchange(&m_state, Word(kIdle, 0), Word(kDone, 0)) == Word(kDone, 0)) {
            hr = m_result;
            return CallEnd::Answered;
        }
        // A done signal left over from a call that answered just as it was given up: wait on.
        if (woke == WAIT_OBJECT_0) continue;
        // A wait's time-out may count time asleep (Windows 7 does); the bound does not.
        now = m_clock.Now();
        if (woke == WAIT_TIMEOUT && now < deadline) continue;
        if (woke == WAIT_OBJECT_0 + 1) {
            reason = CallEnd::Stopped;
            count = 1;
            if (now + stopGraceMs < deadline) deadline = now + stopGraceMs;
            if (stopGraceMs) continue;
        }
        // Given up whether or not the helper has taken it yet; the call may answer right now,
        // and then it counts as answered.
        for (;;) {
            const LONG word = m_state;
            if (StateOf(word) == kDone) {
                m_state = Word(kIdle, 0);
                hr = m_result;
                return CallEnd::Answered;
            }
            if (TryAbandon(word)) return reason;
        }
    }
}

void CallRunner::Listen(PollSink& sink) {
    m_sink = &sink;
    m_pollFailed = false;
    m_pollsAnswered = 0;
    m_checkWord = -1;
    m_givenUpAtResume = false;
    HandOver(true);
}

bool CallRunner::WatchListening(HANDLE stop, HANDLE resumed, DWORD boundMs, DWORD graceMs, DWORD waitMs, CallEnd& end,
                                HRESULT& hr) {
    hr = S_OK;
    const ULONGLONG until = m_clock.Now() + waitMs;
    const HANDLE waits[3] = {m_done.Get(), stop, resumed};
    for (;;) {
        const bool stopping = WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
        const LONG word = m_state;
        if (StateOf(word) == kDone) {
            m_state = Word(kIdle, 0);
            hr = m_result;
            end = CallEnd::Answered;
            return true;
        }
        // How much longer the poll under way may take; while the helper acts on an event, it
        // is waited for, looking again after about a poll.
        DWORD left = static_cast<DWORD>(m_request.TimeoutMs());
        if (StateOf(word) == kHandedOver || StateOf(word) == kInProvider) {
            DWORD started = m_pollStart;
            if (m_state != word) continue;  // a new poll began meanwhile: its start is the one to read
            DWORD allowed = static_cast<DWORD>(m_request.TimeoutMs()) + (stopping ? graceMs : boundMs);
            DWORD ran = Tick() - started;
            if (word == m_checkWord) {
                // From the resume, or from its own start when it began later.
                const DWORD sinceResume = Tick() - m_checkedAt;
                if (sinceResume < ran) ran = sinceResume;
                allowed = static_cast<DWORD>(m_request.TimeoutMs()) + graceMs;
            }
            if (ran >= allowed) {
                if (TryAbandon(word)) {
                    m_givenUpAtResume = !stopping && word == m_checkWord;
                    end = stopping ? CallEnd::Stopped : CallEnd::TimedOut;
                    return true;
                }
                continue;  // it moved on first: look again
            }
            left = allowed - ran;
        }
        const ULONGLONG now = m_clock.Now();
        if (now >= until) return false;
        const DWORD wait = static_cast<DWORD>(until - now) < left ? static_cast<DWORD>(until - now) : left;
        // Past the stop only the helper is waited for; the resume is looked at while there is one.
        const DWORD count = stopping ? 1 : resumed ? 3 : 2;
        if (WaitForMultipleObjects(count, waits, FALSE, wait) == WAIT_OBJECT_0 + 2) {
            // The poll under way; while the helper acts (the sleep call itself returns only
            // after the resume), the one it makes next.
            const LONG at = m_state;
            m_checkedAt = Tick();
            m_checkWord = StateOf(at) == kActing ? Word(kInProvider, Sequence(at) + 1) : at;
        }
    }
}

void CallRunner::Retire() {
    InterlockedExchange(&m_quit, 1);
    SetEvent(m_work.Get());
}

void CallRunner::Release() {
    if (InterlockedDecrement(&m_refs) == 0) delete this;
}

bool CallRunner::CallOnce(HRESULT apartment) {
    // A helper without its apartment answers with that error once, then ends (CallLane::Answered).
    m_broken = FAILED(apartment);
    m_result = SUCCEEDED(apartment) ? m_request.Invoke() : apartment;
    return InterlockedCompareExchange(&m_state, Word(kDone, 0), Word(kInProvider, 0)) == Word(kInProvider, 0);
}

bool CallRunner::PollOn(HRESULT apartment) {
    ULONG polls = 0;
    for (;;) {
        Microsoft::WRL::ComPtr<IWbemClassObject> event;
        HRESULT hr = apartment;
        if (SUCCEEDED(apartment)) {
            ULONG returned = 0;
            hr = m_request.Enumerator()->Next(m_request.TimeoutMs(), 1, event.GetAddressOf(), &returned);
            if (returned != 1) event.Reset();
        }
        // Out of the provider: from here on the watching side waits for this thread.
        if (InterlockedCompareExchange(&m_state, Word(kActing, polls), Word(kInProvider, polls)) != Word(kInProvider, polls))
            return false;
        const bool failed = !event && hr != WBEM_S_TIMEDOUT;
        m_broken = FAILED(apartment);
        if (!failed) InterlockedExchange(&m_pollsAnswered, static_cast<LONG>(++polls));
        if (event) m_sink->OnEvent(event.Get());
        if (failed || !m_sink->PollAgain()) {
            m_result = hr;
            m_pollFailed = failed;
            InterlockedExchange(&m_state, Word(kDone, polls));
            return true;
        }
        m_pollStart = Tick();
        InterlockedExchange(&m_state, Word(kInProvider, polls));
    }
}

DWORD WINAPI CallRunner::ThreadProc(void* parameter) {
    auto* self = static_cast<CallRunner*>(parameter);
    // Its own membership of the multithreaded apartment: the apartment outlives the worker's, so
    // an abandoned call still has it when the service has already let go of COM.
    const HRESULT apartment = self->m_com.InitializeMultithreaded();
    bool holding = false;  // whether this thread took the request it ends with
    for (;;) {
        WaitForSingleObject(self->m_work.Get(), INFINITE);
        if (self->m_quit) break;
        // A request given up before it was taken is never made, and stays the caller's.
        if (InterlockedCompareExchange(&self->m_state, Word(kInProvider, 0), Word(kHandedOver, 0)) != Word(kHandedOver, 0))
            break;
        holding = true;
        if (!(self->m_listening ? self->PollOn(apartment) : self->CallOnce(apartment))) break;  // given up meanwhile
        holding = false;  // the waiting side takes the results and clears the request
        SetEvent(self->m_done.Get());
    }
    if (holding) self->m_request.Clear();
    if (SUCCEEDED(apartment)) self->m_com.Uninitialize();
    InterlockedExchange(&self->m_finished, 1);  // it has let go of the call's objects, and of COM
    self->Release();
    return 0;
}

// ---- CallLane -----------------------------------------------------------------------------------

CallLane::CallLane(ServiceLog& log, ComRuntime& com, const Clock& clock, const char* subject)
    : m_subject(subject), m_com(com), m_clock(clock), m_log(log, "", subject) {}

CallLane::~CallLane() {
    win::ExclusiveLock lock(m_lock);
    if (m_idle) {
        m_idle->Retire();
        m_idle->Release();
    }
    // A given-up call's thread holds its own reference and ends by itself.
    for (OutCall& out : m_out) {
        if (out.runner) out.runner->Release();
        out.runner = nullptr;
    }
}

int CallLane::PruneLocked() {
    int count = 0;
    for (OutCall& out : m_out) {
        if (out.runner && out.runner->Finished()) {
            out.runner->Release();
            out.runner = nullptr;
        }
        if (out.runner) ++count;
    }
    return count;
}

CallRunner* CallLane::Take(bool& refused) {
    refused = false;
    CallRunner* runner = nullptr;
    {
        win::ExclusiveLock lock(m_lock);
        if (PruneLocked() >= telvarin::kMaxAbandonedCalls) {
            // Another thread would only join the ones already waiting in the provider.
            refused = true;
            char text[160];
            wsprintfA(text, "%s: %d calls given up are still out; the next fail at once until one answers", m_subject,
                      telvarin::kMaxAbandonedCalls);
            m_log.FailedAt(m_clock.Now(), text);
            return nullptr;
        }
        runner = m_idle;
        m_idle = nullptr;
    }
    if (!runner) runner = CallRunner::Create(m_com, m_clock);
    if (!runner) {
        char text[160];
        wsprintfA(text, "%s not made: no memory or thread for it", m_subject);
        win::ExclusiveLock lock(m_lock);
        m_log.FailedAt(m_clock.Now(), text);
    }
    return runner;
}

void CallLane::Answered(CallRunner* runner) {
    win::ExclusiveLock lock(m_lock);
    // Two threads used the lane at once: one helper is enough. One without its apartment would
    // answer every later call with the same error: the next call gets a new one.
    if (m_idle || runner->Broken()) {
        runner->Retire();
        runner->Release();
        return;
    }
    m_idle = runner;
}

void CallLane::Abandon(CallRunner* runner, bool timedOut, const char* call, DWORD boundMs) {
    win::ExclusiveLock lock(m_lock);
    PruneLocked();
    if (runner->Taken()) {
        for (OutCall& out : m_out) {
            if (out.runner) continue;
            out = {runner, !timedOut};
            runner = nullptr;
            break;
        }
    }
    // Not taken, so never made; or more out than the limit (several threads at once): not followed.
    if (runner) runner->Release();
    if (!timedOut) return;
    char text[160];
    wsprintfA(text, "%s gave no answer in %lu.%lu s; while %d such calls are out, the next fail at once", call,
              boundMs / 1000, boundMs / 100 % 10, telvarin::kMaxAbandonedCalls);
    m_log.FailedAt(m_clock.Now(), text);
}

void CallLane::Serving() {
    win::ExclusiveLock lock(m_lock);
    m_log.SucceededAt(m_clock.Now());
}

void CallLane::ReportFailure(const char* text) {
    win::ExclusiveLock lock(m_lock);
    m_log.FailedAt(m_clock.Now(), text);
}

int CallLane::Outstanding() {
    win::ExclusiveLock lock(m_lock);
    return PruneLocked();
}

int CallLane::OutThreads(HANDLE (&threads)[telvarin::kMaxAbandonedCalls]) {
    win::ExclusiveLock lock(m_lock);
    PruneLocked();
    int count = 0;
    for (OutCall& out : m_out) {
        if (out.runner && DuplicateHandle(GetCurrentProcess(), out.runner->Thread(), GetCurrentProcess(),
                                          &threads[count], SYNCHRONIZE, FALSE, 0))
            ++count;
    }
    return count;
}

void CallLane::Close(ULONGLONG deadline) {
    CallRunner* ending[1 + telvarin::kMaxAbandonedCalls] = {};
    int count = 0;
    {
        win::ExclusiveLock lock(m_lock);
        if (m_idle) {
            m_idle->Retire();
            ending[count++] = m_idle;
            m_idle = nullptr;
        }
        for (OutCall& out : m_out) {
            if (!out.runner || !out.atStop) continue;
            out.runner->AddRef();
            ending[count++] = out.runner;
        }
    }
    for (int i = 0; i < count; ++i) {
        const ULONGLONG now = GetTickCount64();
        ending[i]->AwaitEnd(now < deadline ? static_cast<DWORD>(deadline - now) : 0);
        ending[i]->Release();
    }
}
