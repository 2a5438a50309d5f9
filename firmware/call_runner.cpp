#include "firmware/call_runner.h"

#include "core/wmi_connection.h"

HRESULT WmiRequest::Invoke() {
    switch (op) {
    case Op::GetObject:
        return services->GetObject(text1.Get(), 0, nullptr, resultObject.ReleaseAndGetAddressOf(), nullptr);
    case Op::ExecMethod:
        return services->ExecMethod(text1.Get(), text2.Get(), 0, nullptr, object.Get(),
                                    resultObject.ReleaseAndGetAddressOf(), nullptr);
    case Op::ExecQuery:
        return services->ExecQuery(text1.Get(), text2.Get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                   nullptr, resultEnumerator.ReleaseAndGetAddressOf());
    case Op::Next: {
        ULONG returned = 0;
        const HRESULT hr = enumerator->Next(flags, 1, resultObject.ReleaseAndGetAddressOf(), &returned);
        if (returned != 1) resultObject.Reset();
        return hr;
    }
    case Op::PutInstance:
        return services->PutInstance(object.Get(), flags, nullptr, nullptr);
    case Op::ExecNotificationQuery:
        return services->ExecNotificationQuery(text1.Get(), text2.Get(),
                                               WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, nullptr,
                                               resultEnumerator.ReleaseAndGetAddressOf());
    case Op::ConnectServer:
        return locator->ConnectServer(text1.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                      resultServices.ReleaseAndGetAddressOf());
    }
    return E_UNEXPECTED;
}

void WmiRequest::Clear() {
    services.Reset();
    locator.Reset();
    enumerator.Reset();
    object.Reset();
    text1 = win::Bstr();
    text2 = win::Bstr();
    flags = 0;
    resultObject.Reset();
    resultEnumerator.Reset();
    resultServices.Reset();
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

HRESULT CallRunner::Run(HANDLE stop, DWORD boundMs) {
    m_state = kBusy;
    SetEvent(m_work.Get());
    const ULONGLONG deadline = GetTickCount64() + boundMs;
    const HANDLE waits[2] = {m_done.Get(), stop};
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, left);
        if (InterlockedCompareExchange(&m_state, kIdle, kDone) == kDone) return m_result;
        // A done signal left over from a call that answered just as it was given up: wait on.
        if (woke == WAIT_OBJECT_0) continue;
        const HRESULT reason = woke == WAIT_OBJECT_0 + 1 ? telvarin::kCallStopped : telvarin::kCallTimedOut;
        // The call may answer right now; then it counts as answered.
        if (InterlockedCompareExchange(&m_state, kAbandoned, kBusy) == kDone) {
            m_state = kIdle;
            return m_result;
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
        if (InterlockedCompareExchange(&self->m_state, kDone, kBusy) == kAbandoned) break;
        SetEvent(self->m_done.Get());
    }
    self->m_request.Clear();
    if (SUCCEEDED(apartment)) CoUninitialize();
    self->Release();
    return 0;
}
