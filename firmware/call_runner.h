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
#include "firmware/wmi_connection.h"

// One WMI call: what goes in, what comes out. Described by the waiting thread, made by the helper.
class WmiRequest {
public:
    // The call to make; each names its inputs (the strings are copied, the objects referenced).
    void On(IWbemServices* services) { m_services = services; }
    void GetObject(BSTR path) { Describe(Op::GetObject, path, nullptr); }
    void ExecMethod(BSTR path, BSTR method, IWbemClassObject* inParams) {
        Describe(Op::ExecMethod, path, method);
        m_object = inParams;
    }
    void ExecQuery(BSTR language, BSTR query) { Describe(Op::ExecQuery, language, query); }
    void ExecNotificationQuery(BSTR language, BSTR query) { Describe(Op::ExecNotificationQuery, language, query); }
    // The next object of `enumerator`, waiting up to `timeoutMs` for it.
    void Next(IEnumWbemClassObject* enumerator, LONG timeoutMs) {
        Describe(Op::Next, nullptr, nullptr);
        m_enumerator = enumerator;
        m_flags = timeoutMs;
    }
    void PutInstance(IWbemClassObject* instance, LONG flags) {
        Describe(Op::PutInstance, nullptr, nullptr);
        m_object = instance;
        m_flags = flags;
    }
    void ConnectServer(IWbemLocator* locator, BSTR wmiNamespace) {
        Describe(Op::ConnectServer, wmiNamespace, nullptr);
        m_locator = locator;
    }

    // What the call gave back.
    const Microsoft::WRL::ComPtr<IWbemClassObject>& ResultObject() const { return m_resultObject; }
    const Microsoft::WRL::ComPtr<IEnumWbemClassObject>& ResultEnumerator() const { return m_resultEnumerator; }
    const Microsoft::WRL::ComPtr<IWbemServices>& ResultServices() const { return m_resultServices; }

    HRESULT Invoke();
    void Clear();  // gives back every reference and string

private:
    enum class Op { GetObject, ExecMethod, ExecQuery, Next, PutInstance, ExecNotificationQuery, ConnectServer };
    void Describe(Op op, BSTR text1, BSTR text2) {
        m_op = op;
        m_text1 = win::Bstr(text1);
        m_text2 = win::Bstr(text2);
    }

    Op m_op = Op::GetObject;
    Microsoft::WRL::ComPtr<IWbemServices> m_services;
    Microsoft::WRL::ComPtr<IWbemLocator> m_locator;
    Microsoft::WRL::ComPtr<IEnumWbemClassObject> m_enumerator;  // Next's
    Microsoft::WRL::ComPtr<IWbemClassObject> m_object;          // ExecMethod's input, PutInstance's instance
    win::Bstr m_text1;  // the object path, query language or namespace
    win::Bstr m_text2;  // the method or query
    LONG m_flags = 0;   // PutInstance's flags, Next's time-out

    Microsoft::WRL::ComPtr<IWbemClassObject> m_resultObject;
    Microsoft::WRL::ComPtr<IEnumWbemClassObject> m_resultEnumerator;
    Microsoft::WRL::ComPtr<IWbemServices> m_resultServices;
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
