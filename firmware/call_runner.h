// A helper thread that makes one WMI call at a time, so that the thread that needs the answer
// can wait for it with a bound that also watches the stop. This works against any provider,
// which need only answer the synchronous calls. A call that is given up is abandoned, never
// ended from outside: the helper keeps its own COM references and its own apartment, finishes
// the call whenever the provider answers, and then ends, touching nothing of the service.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "common/win_raii.h"
#include "core/wmi_connection.h"

// One WMI call: what goes in, what comes out. Filled by the waiting thread, made by the helper.
struct WmiRequest {
    enum class Op { GetObject, ExecMethod, ExecQuery, Next, PutInstance, ExecNotificationQuery, ConnectServer };

    Op op = Op::GetObject;
    Microsoft::WRL::ComPtr<IWbemServices> services;
    Microsoft::WRL::ComPtr<IWbemLocator> locator;
    Microsoft::WRL::ComPtr<IEnumWbemClassObject> enumerator;  // Next's
    Microsoft::WRL::ComPtr<IWbemClassObject> object;          // ExecMethod's input, PutInstance's instance
    win::Bstr text1;  // the object path, query language or namespace
    win::Bstr text2;  // the method or query
    LONG flags = 0;   // PutInstance's flags, Next's time-out

    Microsoft::WRL::ComPtr<IWbemClassObject> resultObject;
    Microsoft::WRL::ComPtr<IEnumWbemClassObject> resultEnumerator;
    Microsoft::WRL::ComPtr<IWbemServices> resultServices;

    HRESULT Invoke();
    void Clear();  // gives back every reference and string
};

// Refcounted: its thread holds one reference, whoever uses it another. Allocated from the process
// heap (no C++ allocation: the service is built without exceptions).
class CallRunner {
public:
    // A new helper with its thread running, or null.
    static CallRunner* Create();

    WmiRequest& Request() { return m_request; }
    // Hands the request to the helper and waits up to `boundMs`, or until `stop` is signalled
    // and then `stopGraceMs` more for an answer. CallEnd::Answered with the call's own result in
    // `hr`; CallEnd::TimedOut or CallEnd::Stopped when it was given up, and the caller then never
    // hands this helper another request (Finished tells when the call has answered after all).
    CallEnd Run(HANDLE stop, DWORD boundMs, DWORD stopGraceMs, HRESULT& hr);
    // A given-up call has answered by now, and its thread is ending.
    bool Finished() const { return m_finished != 0; }
    // Tells an idle helper to end, and gives up the caller's reference.
    void Retire();
    void Release();

    static void* operator new(size_t size) noexcept { return HeapAlloc(GetProcessHeap(), 0, size); }
    static void operator delete(void* p) noexcept { HeapFree(GetProcessHeap(), 0, p); }

private:
    enum State : LONG { kIdle, kBusy, kDone, kAbandoned };

    CallRunner() = default;
    ~CallRunner() = default;
    static DWORD WINAPI ThreadProc(void* self);

    volatile LONG m_refs = 2;  // the thread's and the creator's
    volatile LONG m_state = kIdle;
    volatile LONG m_quit = 0;
    volatile LONG m_finished = 0;
    HRESULT m_result = S_OK;
    win::UniqueHandle m_work;  // auto reset: a request (or the quit) is waiting
    win::UniqueHandle m_done;  // auto reset: the request has been made
    WmiRequest m_request;
};
