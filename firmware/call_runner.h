// A helper thread that makes WMI calls, so that the thread that needs the answer can wait for it
// with a bound that also watches the stop. This works against any provider, which need only
// answer the synchronous calls. A call that is given up is abandoned, never ended from outside:
// the helper keeps its own COM references and its own apartment, finishes the call whenever the
// provider answers, and then ends, touching nothing of the service. A call given up before the
// helper took it is never made.
//
// A helper can also poll a subscription's button events for as long as they come: it then acts
// on each event on its own thread (no hand-over per event or per empty poll), while the thread
// that started it watches that every poll answers within its bound.
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
    // False when a copy could not be made: the request must then not be made.
    void On(IWbemServices* services) { m_services = services; }
    bool GetObject(BSTR path) { return Describe(Op::GetObject, path, nullptr); }
    bool ExecMethod(BSTR path, BSTR method, IWbemClassObject* inParams) {
        m_object = inParams;
        return Describe(Op::ExecMethod, path, method);
    }
    bool ExecQuery(BSTR language, BSTR query) { return Describe(Op::ExecQuery, language, query); }
    bool ExecNotificationQuery(BSTR language, BSTR query) {
        return Describe(Op::ExecNotificationQuery, language, query);
    }
    // The next object of `enumerator`, waiting up to `timeoutMs` for it.
    bool Next(IEnumWbemClassObject* enumerator, LONG timeoutMs) {
        m_enumerator = enumerator;
        m_flags = timeoutMs;
        return Describe(Op::Next, nullptr, nullptr);
    }
    bool PutInstance(IWbemClassObject* instance, LONG flags) {
        m_object = instance;
        m_flags = flags;
        return Describe(Op::PutInstance, nullptr, nullptr);
    }
    bool ConnectServer(IWbemLocator* locator, BSTR wmiNamespace) {
        m_locator = locator;
        return Describe(Op::ConnectServer, wmiNamespace, nullptr);
    }

    // What the call gave back.
    const Microsoft::WRL::ComPtr<IWbemClassObject>& ResultObject() const { return m_resultObject; }
    const Microsoft::WRL::ComPtr<IEnumWbemClassObject>& ResultEnumerator() const { return m_resultEnumerator; }
    const Microsoft::WRL::ComPtr<IWbemServices>& ResultServices() const { return m_resultServices; }

    HRESULT Invoke();
    // Next's enumerator and time-out, for a helper that polls.
    IEnumWbemClassObject* Enumerator() const { return m_enumerator.Get(); }
    LONG TimeoutMs() const { return m_flags; }
    void Clear();  // gives back every reference and string

private:
    enum class Op { GetObject, ExecMethod, ExecQuery, Next, PutInstance, ExecNotificationQuery, ConnectServer };
    bool Describe(Op op, BSTR text1, BSTR text2) {
        m_op = op;
        m_text1 = win::Bstr(text1);
        m_text2 = win::Bstr(text2);
        return (!text1 || m_text1) && (!text2 || m_text2);
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

    // Hands the helper the request, a Next of button events: it makes it again and again, giving
    // each event to `sink` on its own thread, until a poll fails or the sink says no more. The
    // request's time-out is each poll's own.
    void Listen(PollSink& sink);
    // Waits up to `waitMs` on the helper started by Listen. True once that is over: `end` is
    // CallEnd::Answered when the helper ended by itself (`hr`: its last poll's answer),
    // CallEnd::TimedOut when a poll gave no answer within its time-out and `boundMs`,
    // CallEnd::Stopped when, with `stop` signalled, it gave none within its time-out and
    // `stopGraceMs`. The helper is then handed nothing again; an event its given-up poll brings
    // is dropped. False while it polls on.
    bool WatchListening(HANDLE stop, DWORD boundMs, DWORD stopGraceMs, DWORD waitMs, CallEnd& end, HRESULT& hr);
    // Polls the helper started by Listen has had answered so far, and whether it ended because
    // its last poll failed (neither an event nor "timed out").
    ULONG PollsAnswered() const { return Sequence(m_state); }
    bool PollFailed() const { return m_pollFailed; }

    // When given up: whether the helper had taken the request (the call is made or under way).
    // One it had not taken is never made, and its request is the caller's to clear.
    bool Taken() const { return m_taken; }
    // A given-up call has answered by now and let go of its objects, and its thread is ending.
    bool Finished() const { return m_finished != 0; }
    // Waits up to `ms` for the helper's thread to end: it has then let go of everything.
    bool AwaitEnd(DWORD ms) const { return WaitForSingleObject(m_thread.Get(), ms) == WAIT_OBJECT_0; }
    // The helper's thread, signalled once it has ended.
    HANDLE Thread() const { return m_thread.Get(); }
    // Tells an idle helper to end.
    void Retire();
    void AddRef() { InterlockedIncrement(&m_refs); }
    void Release();

    static void* operator new(size_t size) noexcept { return HeapAlloc(GetProcessHeap(), 0, size); }
    static void operator delete(void* p) noexcept { HeapFree(GetProcessHeap(), 0, p); }

private:
    // The helper's state in the low bits of m_state; above them, while it polls, the polls
    // answered so far, so that a give-up can only take the very poll it looked at.
    enum State : ULONG { kIdle, kHandedOver, kInProvider, kActing, kDone, kAbandoned };
    static constexpr ULONG kStateBits = 3;
    static LONG Word(State state, ULONG polls) { return static_cast<LONG>((polls << kStateBits) | state); }
    static State StateOf(LONG word) { return static_cast<State>(static_cast<ULONG>(word) & ((1u << kStateBits) - 1)); }
    static ULONG Sequence(LONG word) { return static_cast<ULONG>(word) >> kStateBits; }

    CallRunner() = default;
    ~CallRunner() = default;
    static DWORD WINAPI ThreadProc(void* self);
    void HandOver(bool listening);
    // Gives up the call or poll in the state `word`; false when the helper moved on first.
    bool TryAbandon(LONG word);
    bool CallOnce(HRESULT apartment);  // false when given up meanwhile
    bool PollOn(HRESULT apartment);    // false when given up meanwhile

    volatile LONG m_refs = 2;  // the thread's and the creator's
    volatile LONG m_state = kIdle;
    volatile LONG m_quit = 0;
    volatile LONG m_finished = 0;
    volatile DWORD m_pollStart = 0;  // GetTickCount when the poll under way began
    bool m_listening = false;
    bool m_pollFailed = false;
    bool m_taken = true;
    PollSink* m_sink = nullptr;
    HRESULT m_result = S_OK;
    win::UniqueHandle m_work;    // auto reset: a request (or the quit) is waiting
    win::UniqueHandle m_done;    // auto reset: the request has been made
    win::UniqueHandle m_thread;  // waited for only by the teardown
    WmiRequest m_request;
};
