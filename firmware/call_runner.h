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
#include "core/com_runtime.h"
#include "core/retry_log.h"
#include "firmware/clock.h"
#include "firmware/wmi_call.h"

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
// heap (no C++ allocation: the service is built without exceptions). Its thread enters the
// multithreaded apartment through `com`, and its bounds go by `clock`: both must outlive it.
class CallRunner {
public:
    // A new helper with its thread running, or null.
    static CallRunner* Create(ComRuntime& com, const Clock& clock);

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
    // `graceMs`. The helper is then handed nothing again; an event its given-up poll brings
    // is dropped. False while it polls on. `resumed` (auto reset, may be null) signalled: the
    // poll under way, begun before a sleep (or the next one, when the helper is acting on an
    // event), has its time-out and `graceMs` from then on, so that a subscription that died in
    // the sleep is found at once (GivenUpAtResume then tells).
    bool WatchListening(HANDLE stop, HANDLE resumed, DWORD boundMs, DWORD graceMs, DWORD waitMs, CallEnd& end,
                        HRESULT& hr);
    bool GivenUpAtResume() const { return m_givenUpAtResume; }
    // Polls the helper started by Listen has had answered so far, kept when it is done, and
    // whether it ended because its last poll failed (neither an event nor "timed out").
    ULONG PollsAnswered() const { return static_cast<ULONG>(m_pollsAnswered); }
    bool PollFailed() const { return m_pollFailed; }
    // Its thread could not enter the apartment: it answered its call with that error, and
    // serves no other.
    bool Broken() const { return m_broken; }

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

    CallRunner(ComRuntime& com, const Clock& clock) : m_com(com), m_clock(clock) {}
    ~CallRunner() = default;
    static DWORD WINAPI ThreadProc(void* self);
    void HandOver(bool listening);
    // Gives up the call or poll in the state `word`; false when the helper moved on first.
    bool TryAbandon(LONG word);
    bool CallOnce(HRESULT apartment);  // false when given up meanwhile
    bool PollOn(HRESULT apartment);    // false when given up meanwhile

    DWORD Tick() const { return static_cast<DWORD>(m_clock.Now()); }

    ComRuntime& m_com;
    const Clock& m_clock;
    volatile LONG m_refs = 2;  // the thread's and the creator's
    volatile LONG m_state = kIdle;
    volatile LONG m_quit = 0;
    volatile LONG m_finished = 0;
    volatile DWORD m_pollStart = 0;  // Tick() when the poll under way began
    volatile LONG m_pollsAnswered = 0;
    // The state word of the poll that was under way at a resume, and Tick() then.
    volatile LONG m_checkWord = -1;
    DWORD m_checkedAt = 0;
    bool m_listening = false;
    bool m_pollFailed = false;
    bool m_broken = false;
    bool m_givenUpAtResume = false;
    bool m_taken = true;
    PollSink* m_sink = nullptr;
    HRESULT m_result = S_OK;
    win::UniqueHandle m_work;    // auto reset: a request (or the quit) is waiting
    win::UniqueHandle m_done;    // auto reset: the request has been made
    win::UniqueHandle m_thread;  // waited for only by the teardown
    WmiRequest m_request;
};

// One kind of call: the helper thread its calls run on (kept while they answer), and those of its
// calls that were given up and have not answered yet, with the kind's reports. Thread-safe.
class CallLane {
public:
    // `subject`: the kind as the reports to `log` name it ("Register call"), dated by `clock`;
    // its helpers enter the apartment through `com`.
    CallLane(ServiceLog& log, ComRuntime& com, const Clock& clock, const char* subject);
    ~CallLane();
    CallLane(const CallLane&) = delete;
    CallLane& operator=(const CallLane&) = delete;

    // A helper for the next call; null when none can be had: `refused` when that is because
    // telvarin::kMaxAbandonedCalls given-up calls are still out, else for want of memory or a
    // thread (both reported, throttled).
    CallRunner* Take(bool& refused);
    // The call answered: the helper serves the next one, unless its apartment failed (it is
    // then retired, and the next call gets a new one).
    void Answered(CallRunner* runner);
    // The call was given up (`timedOut`: after its bound, reported and throttled; else at the
    // stop). One that the helper had not taken yet was never made and is not out.
    void Abandon(CallRunner* runner, bool timedOut, const char* call, DWORD boundMs);
    // Calls of the kind answer again: a run of failures may end (reported once it holds).
    void Serving();
    // A call of the kind was answered with a failure that its reports name (`text` opens a run).
    void ReportFailure(const char* text);
    // Given-up calls that have not answered yet.
    int Outstanding();
    // Into `threads`, duplicates of the threads of those calls, each signalled once its call has
    // answered and let go; their count. The caller closes them.
    int OutThreads(HANDLE (&threads)[telvarin::kMaxAbandonedCalls]);
    // Ends the idle helper, and waits until `deadline` (GetTickCount64) for it and for the calls
    // given up at the stop to let go of everything; those that do not are left to end by themselves.
    void Close(ULONGLONG deadline);

private:
    struct OutCall {
        CallRunner* runner;
        bool atStop;  // given up at the stop: expected to answer soon
    };
    int PruneLocked();  // drops the given-up calls that have answered by now; the rest's count

    const char* m_subject;
    ComRuntime& m_com;
    const Clock& m_clock;
    SRWLOCK m_lock = SRWLOCK_INIT;
    CallRunner* m_idle = nullptr;
    OutCall m_out[telvarin::kMaxAbandonedCalls] = {};
    RetryLog m_log;
};
