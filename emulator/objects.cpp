#include "emulator/objects.h"

#include <wbemcli.h>
#include <wrl/client.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "common/win_raii.h"
#include "emulator/fwemu.h"
#include "emulator/model.h"
#include "emulator/store.h"
#include "emulator/text.h"

using Microsoft::WRL::ComPtr;

namespace fwemu {
namespace {

// Lets the emulator reach its own objects behind an IWbemClassObject pointer, so that it sees
// property text exactly as Put, not as converted by Get.
// {6A1E4C52-9B0F-4E0B-8D1E-2B7C1F3A9E61}
const IID IID_EmuObject = {0x6a1e4c52, 0x9b0f, 0x4e0b, {0x8d, 0x1e, 0x2b, 0x7c, 0x1f, 0x3a, 0x9e, 0x61}};

constexpr wchar_t kMethodClass[] = L"OrvButtonMethodDW";
constexpr wchar_t kDataClass[] = L"OrvButtonData";
constexpr wchar_t kEventClass[] = L"OrvButtonEvent";
constexpr wchar_t kMethodName[] = L"ExecINT";
constexpr wchar_t kMethodInstance[] = L"ACPI\\pnp0c14\\0_0";
const wchar_t* const kInNames[4] = {L"InEAX", L"InEBX", L"InECX", L"InEDX"};
const wchar_t* const kOutNames[5] = {L"OutEAX", L"OutEBX", L"OutECX", L"OutEDX", L"CFlag"};

volatile LONG g_serverLocks = 0;

// What a null Param holds behind its VT_NULL: the sleep button's code, so a reader that skips the
// vt check acts on an event that never came.
constexpr LONG kNullParamHint = 8;
// How often a hanging settings read looks whether it may answer.
constexpr DWORD kHangPollMs = 50;

// Values are written whole, union included, so that no reader ever sees stale or uninitialised
// bytes behind a vt.
void StoreI4(VARIANT* v, LONG value) {
    ZeroMemory(v, sizeof(*v));
    v->vt = VT_I4;  // a CIM uint32 travels as VT_I4
    v->lVal = value;
}
void StoreNull(VARIANT* v, LONG hint) {
    ZeroMemory(v, sizeof(*v));
    v->vt = VT_NULL;
    v->lVal = hint;
}

// Takes over the reference a new object starts with (mingw's ComPtr::Attach adds another).
template <typename T>
ComPtr<T> Adopt(T* fresh) {
    ComPtr<T> p;
    *p.ReleaseAndGetAddressOf() = fresh;
    return p;
}

// Every object handed out is counted for LiveObjects() from construction to destruction.
class Counted {
protected:
    Counted() { LiveDelta(1); }
    virtual ~Counted() { LiveDelta(-1); }
    ULONG AddRefImpl() { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    ULONG ReleaseImpl() {
        LONG n = InterlockedDecrement(&m_refs);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

private:
    volatile LONG m_refs = 1;
};

// In-process objects have no proxy; CoSetProxyBlanket on them must still succeed.
class NoProxySecurity : public IClientSecurity {
public:
    HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD* authn, DWORD* authz, OLECHAR** principal,
                                           DWORD* level, DWORD* imp, void** info, DWORD* caps) override {
        if (authn) *authn = RPC_C_AUTHN_WINNT;
        if (authz) *authz = RPC_C_AUTHZ_NONE;
        if (principal) *principal = nullptr;
        if (level) *level = RPC_C_AUTHN_LEVEL_CALL;
        if (imp) *imp = RPC_C_IMP_LEVEL_IMPERSONATE;
        if (info) *info = nullptr;
        if (caps) *caps = EOAC_NONE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, void*, DWORD) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown* proxy, IUnknown** copy) override {
        if (!copy) return E_INVALIDARG;
        *copy = nullptr;
        if (!proxy) return E_INVALIDARG;
        return proxy->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(copy));
    }

protected:
    virtual ~NoProxySecurity() = default;
};

// ---- class objects, instances, parameters and events ----------------------------------------

enum class Kind { MethodClass, InSignature, OutSignature, InParams, OutParams, DataInstance, Event };

struct Property {
    std::wstring name;
    CIMTYPE type;
    win::Variant value;
};

class EmuObject : public IWbemClassObject, private Counted {
public:
    static ComPtr<EmuObject> Make(Kind kind, std::shared_ptr<Store> store) {
        return Adopt(new EmuObject(kind, std::move(store)));
    }

    void Add(const wchar_t* name, CIMTYPE type) {
        auto p = std::make_unique<Property>();
        p->name = name;
        p->type = type;
        StoreNull(p->value.Get(), 0);
        m_props.push_back(std::move(p));
    }
    void SetInt(const wchar_t* name, DWORD value) {
        if (Property* p = Find(name)) StoreI4(p->value.Receive(), static_cast<LONG>(value));
    }
    // VT_NULL with `hint` left in the union, as a careless firmware answers.
    void SetNull(const wchar_t* name, DWORD hint) {
        if (Property* p = Find(name)) StoreNull(p->value.Receive(), static_cast<LONG>(hint));
    }
    void SetText(const wchar_t* name, const wchar_t* text) {
        if (Property* p = Find(name)) p->value.SetBstr(win::Bstr(text));
    }
    // The value as Put: exact text for VT_BSTR, decimal for integers; false when unset.
    bool RawText(const wchar_t* name, std::wstring* text) {
        win::Lock lock(m_cs);
        Property* p = Find(name);
        return p && VariantText(*p->value.Get(), text);
    }
    Kind GetKind() const { return m_kind; }

    static bool VariantText(const VARIANT& v, std::wstring* text) {
        switch (v.vt) {
        case VT_BSTR:
            *text = v.bstrVal ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal)) : std::wstring();
            return true;
        case VT_I4: *text = DecimalText(v.lVal); return true;
        case VT_UI4: *text = DecimalText(v.ulVal); return true;
        case VT_I2: *text = DecimalText(v.iVal); return true;
        case VT_UI2: *text = DecimalText(v.uiVal); return true;
        case VT_UI1: *text = DecimalText(v.bVal); return true;
        default: return false;
        }
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IWbemClassObject || riid == IID_EmuObject) {
            *ppv = static_cast<IWbemClassObject*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    // IWbemClassObject: properties
    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* val, CIMTYPE* type, LONG* flavor) override {
        if (!name) return WBEM_E_INVALID_PARAMETER;
        win::Lock lock(m_cs);
        Property* p = Find(name);
        if (!p) return WBEM_E_NOT_FOUND;
        if (val) {
            VariantInit(val);
            const VARIANT& stored = *p->value.Get();
            std::wstring text;
            DWORD number = 0;
            // Numbers Put as text read back as numbers, as WMI converts them on Put.
            if (stored.vt == VT_NULL) {
                *val = stored;  // owns nothing; the copy keeps the union as stored
            } else if (p->type == CIM_UINT32 && VariantText(stored, &text) && ParseUint32Text(text.c_str(), &number)) {
                StoreI4(val, static_cast<LONG>(number));
            } else {
                HRESULT hr = VariantCopy(val, const_cast<VARIANT*>(&stored));
                if (FAILED(hr)) return WBEM_E_OUT_OF_MEMORY;
            }
        }
        if (type) *type = p->type;
        if (flavor) *flavor = p->name.compare(0, 2, L"__") == 0 ? WBEM_FLAVOR_ORIGIN_SYSTEM : 0;
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG, VARIANT* val, CIMTYPE type) override {
        if (!name) return WBEM_E_INVALID_PARAMETER;
        if (m_kind == Kind::MethodClass || m_kind == Kind::Event) return WBEM_E_NOT_SUPPORTED;
        // Read before taking our own lock: the state lock is never taken inside it.
        Faults f;
        bool faultable = m_kind == Kind::InParams || m_kind == Kind::DataInstance;
        if (faultable && !ReadFaults(&f)) return WBEM_E_INITIALIZATION_FAILURE;
        win::Lock lock(m_cs);
        Property* p = Find(name);
        if (!p) return WBEM_E_NOT_FOUND;
        if (p->name.compare(0, 2, L"__") == 0) return WBEM_E_SYSTEM_PROPERTY;
        if (type != 0 && type != p->type && !(p->type == CIM_UINT32 && type == CIM_SINT32))
            return WBEM_E_TYPE_MISMATCH;
        std::wstring text;
        bool acceptable = !val || val->vt == VT_NULL || val->vt == VT_EMPTY ||
                          (p->type == CIM_UINT32 ? VariantText(*val, &text) : val->vt == VT_BSTR);
        if (!acceptable) return WBEM_E_TYPE_MISMATCH;
        if (faultable && f.putFail) return WBEM_E_FAILED;
        if (!val) {
            StoreNull(p->value.Receive(), 0);
            return WBEM_S_NO_ERROR;
        }
        HRESULT hr = VariantCopy(p->value.Receive(), val);
        return FAILED(hr) ? WBEM_E_OUT_OF_MEMORY : WBEM_S_NO_ERROR;
    }

    // IWbemClassObject: methods and instances
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG, IWbemClassObject** in, IWbemClassObject** out) override {
        if (in) *in = nullptr;
        if (out) *out = nullptr;
        if (!name) return WBEM_E_INVALID_PARAMETER;
        if (m_kind != Kind::MethodClass) return WBEM_E_NOT_FOUND;
        if (!EqualsNoCase(name, kMethodName)) return WBEM_E_NOT_FOUND;
        Faults f;
        if (!ReadFaults(&f)) return WBEM_E_INITIALIZATION_FAILURE;
        if (f.methodMissing) return WBEM_E_NOT_FOUND;
        if (in) *in = Signature(Kind::InSignature, m_store).Detach();
        if (out) *out = Signature(Kind::OutSignature, m_store).Detach();
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject** inst) override {
        if (!inst) return WBEM_E_INVALID_PARAMETER;
        *inst = nullptr;
        if (m_kind != Kind::InSignature && m_kind != Kind::OutSignature) return WBEM_E_INVALID_OPERATION;
        Faults f;
        if (!ReadFaults(&f)) return WBEM_E_INITIALIZATION_FAILURE;
        if (f.spawnFail) return WBEM_E_OUT_OF_MEMORY;
        ComPtr<EmuObject> obj =
            Signature(m_kind == Kind::InSignature ? Kind::InParams : Kind::OutParams, m_store);
        *inst = obj.Detach();
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_S_FALSE; }

    // Not offered.
    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** q) override { return NotOffered(q); }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY** names) override {
        return NotOffered(names);
    }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR* name, VARIANT*, CIMTYPE*, LONG*) override { return NotOffered(name); }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet** q) override {
        return NotOffered(q);
    }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** copy) override { return NotOffered(copy); }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR* text) override { return NotOffered(text); }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject** cls) override { return NotOffered(cls); }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR* cls) override { return NotOffered(cls); }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR* name, IWbemClassObject** in, IWbemClassObject** out) override {
        if (in) *in = nullptr;
        if (out) *out = nullptr;
        return NotOffered(name);
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet** q) override { return NotOffered(q); }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR* cls) override { return NotOffered(cls); }

    static ComPtr<EmuObject> Signature(Kind kind, std::shared_ptr<Store> store) {
        ComPtr<EmuObject> obj = Make(kind, std::move(store));
        obj->Add(L"__CLASS", CIM_STRING);
        obj->SetText(L"__CLASS", L"__PARAMETERS");
        bool in = kind == Kind::InSignature || kind == Kind::InParams;
        if (in) {
            for (const wchar_t* n : kInNames) obj->Add(n, CIM_UINT32);
        } else {
            for (const wchar_t* n : kOutNames) obj->Add(n, CIM_UINT32);
        }
        return obj;
    }

private:
    EmuObject(Kind kind, std::shared_ptr<Store> store) : m_kind(kind), m_store(std::move(store)) {
        InitializeCriticalSection(&m_cs);
    }
    ~EmuObject() override { DeleteCriticalSection(&m_cs); }

    template <typename T>
    static HRESULT NotOffered(T** out) {
        if (out) *out = nullptr;
        return WBEM_E_NOT_SUPPORTED;
    }
    Property* Find(const wchar_t* name) {
        for (auto& p : m_props)
            if (EqualsNoCase(p->name, name)) return p.get();
        return nullptr;
    }
    bool ReadFaults(Faults* f);

    Kind m_kind;
    std::shared_ptr<Store> m_store;
    CRITICAL_SECTION m_cs;
    std::vector<std::unique_ptr<Property>> m_props;
};

bool EmuObject::ReadFaults(Faults* f) {
    if (!m_store) return false;
    Store::Guard g(*m_store);
    if (!g.Block()) return false;
    *f = ToFaults(g.Block()->faults);
    return true;
}

std::wstring DataInstanceName(DWORD index) { return L"ACPI\\PNP0C14\\0_" + std::to_wstring(index); }

ComPtr<EmuObject> MakeDataInstance(const std::shared_ptr<Store>& store, DWORD index, DWORD setting) {
    ComPtr<EmuObject> obj = EmuObject::Make(Kind::DataInstance, store);
    obj->Add(L"__CLASS", CIM_STRING);
    obj->SetText(L"__CLASS", kDataClass);
    obj->Add(L"InstanceName", CIM_STRING);
    obj->SetText(L"InstanceName", DataInstanceName(index).c_str());
    obj->Add(L"Param", CIM_UINT32);
    obj->SetInt(L"Param", setting);
    return obj;
}

ComPtr<EmuObject> MakeEvent(const std::shared_ptr<Store>& store, DWORD code, bool nullParam) {
    ComPtr<EmuObject> obj = EmuObject::Make(Kind::Event, store);
    obj->Add(L"__CLASS", CIM_STRING);
    obj->SetText(L"__CLASS", kEventClass);
    obj->Add(L"InstanceName", CIM_STRING);
    obj->SetText(L"InstanceName", DataInstanceName(0).c_str());
    obj->Add(L"Param", CIM_UINT32);
    if (nullParam)
        obj->SetNull(L"Param", kNullParamHint);
    else
        obj->SetInt(L"Param", code);
    return obj;
}

// Text of a property of any IWbemClassObject, exact for the emulator's own objects.
bool PropertyText(IWbemClassObject* obj, const wchar_t* name, std::wstring* text) {
    ComPtr<IWbemClassObject> own;
    if (SUCCEEDED(obj->QueryInterface(IID_EmuObject, reinterpret_cast<void**>(own.GetAddressOf()))))
        return static_cast<EmuObject*>(own.Get())->RawText(name, text);
    win::Variant v;
    if (FAILED(obj->Get(name, 0, v.Get(), nullptr, nullptr))) return false;
    return EmuObject::VariantText(*v.Get(), text);
}

void CopyText(wchar_t (&dst)[kTextChars], const std::wstring& src) {
    size_t n = src.size() < kTextChars - 1 ? src.size() : kTextChars - 1;
    wmemcpy(dst, src.data(), n);
    dst[n] = 0;
}

// ---- enumerators ------------------------------------------------------------------------------

// QueryInterface of an object that offers one WMI interface (with IUnknown) and IClientSecurity,
// which clients query to set a proxy blanket.
template <typename Main, typename Object>
HRESULT QueryWithSecurity(Object* self, REFIID mainIid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == mainIid)
        *ppv = static_cast<Main*>(self);
    else if (riid == IID_IClientSecurity)
        *ppv = static_cast<IClientSecurity*>(self);
    else
        return E_NOINTERFACE;
    self->AddRef();
    return S_OK;
}

class DataEnum : public IEnumWbemClassObject, public NoProxySecurity, private Counted {
public:
    DataEnum(std::shared_ptr<Store> store, std::vector<ComPtr<EmuObject>> items)
        : m_store(std::move(store)), m_items(std::move(items)) {
        InitializeCriticalSection(&m_cs);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return QueryWithSecurity<IEnumWbemClassObject>(this, IID_IEnumWbemClassObject, riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE Reset() override {
        win::Lock lock(m_cs);
        m_pos = 0;
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objs, ULONG* returned) override {
        if (!objs || !returned) return WBEM_E_INVALID_PARAMETER;
        *returned = 0;
        if (timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE)) return WBEM_E_INVALID_PARAMETER;
        // A firmware that never answers the settings read: the caller's timeout does not help.
        while (Hanging()) Sleep(kHangPollMs);
        win::Lock lock(m_cs);
        while (*returned < count && m_pos < m_items.size()) {
            ComPtr<EmuObject> item = m_items[m_pos++];
            objs[(*returned)++] = item.Detach();
        }
        return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** e) override {
        if (e) *e = nullptr;
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG count) override {
        win::Lock lock(m_cs);
        size_t left = m_items.size() - m_pos;
        m_pos += count < left ? count : left;
        return count <= left ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

private:
    ~DataEnum() override { DeleteCriticalSection(&m_cs); }
    bool Hanging() {
        Store::Guard g(*m_store);
        return g.Block() && g.Block()->faults.dataHang;
    }
    std::shared_ptr<Store> m_store;
    std::vector<ComPtr<EmuObject>> m_items;
    size_t m_pos = 0;
    CRITICAL_SECTION m_cs;
};

// One subscription to OrvButtonEvent: sees every event injected after it was made, in order.
class EventEnum : public IEnumWbemClassObject, public NoProxySecurity, private Counted {
public:
    static HRESULT Subscribe(const std::shared_ptr<Store>& store, IEnumWbemClassObject** out) {
        ComPtr<EventEnum> e = Adopt(new EventEnum(store));
        DWORD pid = GetCurrentProcessId();
        {
            Store::Guard g(*store);
            Block* b = g.Block();
            if (!b) return WBEM_E_INITIALIZATION_FAILURE;
            DWORD id = static_cast<DWORD>(++b->nextSubscriberId);
            int slot = -1;
            for (int i = 0; i < kSubscriberSlots && slot < 0; ++i) {
                LONG owner = b->subscribers[i].pid;
                if (owner == 0) slot = i;
            }
            for (int i = 0; i < kSubscriberSlots && slot < 0; ++i) {
                // Reclaim slots of processes that ended without unsubscribing.
                const SubscriberSlot& owner = b->subscribers[i];
                if (!ProcessAlive(static_cast<DWORD>(owner.pid), owner.startLow, owner.startHigh)) slot = i;
            }
            if (slot < 0) return WBEM_E_QUOTA_VIOLATION;
            ProcessStart(GetCurrentProcess(), &b->subscribers[slot].startLow, &b->subscribers[slot].startHigh);
            e->m_event.Reset(CreateEventW(OpenSecurity(), FALSE, FALSE, store->SubscriberEventName(pid, id).c_str()));
            if (!e->m_event) return WBEM_E_OUT_OF_MEMORY;
            b->subscribers[slot].id = id;
            b->subscribers[slot].pid = static_cast<LONG>(pid);
            e->m_slot = slot;
            e->m_id = id;
            e->m_next = b->eventTotal;
        }
        *out = e.Detach();
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return QueryWithSecurity<IEnumWbemClassObject>(this, IID_IEnumWbemClassObject, riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objs, ULONG* returned) override {
        if (!objs || !returned) return WBEM_E_INVALID_PARAMETER;
        *returned = 0;
        if (timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE)) return WBEM_E_INVALID_PARAMETER;
        const bool infinite = timeout == static_cast<LONG>(WBEM_INFINITE);
        const ULONGLONG deadline = GetTickCount64() + (infinite ? 0 : static_cast<ULONGLONG>(timeout));
        win::Lock lock(m_cs);
        while (*returned < count) {
            std::vector<DWORD> codes;
            bool nullParam = false;
            {
                Store::Guard g(*m_store);
                Block* b = g.Block();
                if (!b) return *returned ? WBEM_S_FALSE : WBEM_E_INITIALIZATION_FAILURE;
                // A forced reset rewinds the total; follow it rather than wait for a past position.
                if (m_next > b->eventTotal) m_next = b->eventTotal;
                // A subscriber more than a queue behind has lost the oldest; resume at the oldest kept.
                if (b->eventTotal - m_next > kEventQueueSize) m_next = b->eventTotal - kEventQueueSize;
                nullParam = b->faults.nullParam != 0;
                while (*returned + codes.size() < count && m_next < b->eventTotal)
                    codes.push_back(b->events[m_next++ % kEventQueueSize]);
            }
            for (DWORD code : codes) objs[(*returned)++] = MakeEvent(m_store, code, nullParam).Detach();
            if (*returned == count) break;
            DWORD wait = INFINITE;
            if (!infinite) {
                ULONGLONG now = GetTickCount64();
                if (now >= deadline) return WBEM_S_TIMEDOUT;
                wait = static_cast<DWORD>(deadline - now);
            }
            // Injection sets this event after appending, so a check followed by a wait loses nothing.
            WaitForSingleObject(m_event.Get(), wait);
        }
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return WBEM_E_INVALID_OPERATION; }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** e) override {
        if (e) *e = nullptr;
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return WBEM_E_NOT_SUPPORTED; }

private:
    explicit EventEnum(std::shared_ptr<Store> store) : m_store(std::move(store)) { InitializeCriticalSection(&m_cs); }
    ~EventEnum() override {
        if (m_slot >= 0) {
            Store::Guard g(*m_store);
            if (Block* b = g.Block()) {
                SubscriberSlot& s = b->subscribers[m_slot];
                if (s.pid == static_cast<LONG>(GetCurrentProcessId()) && s.id == m_id) s.pid = 0;
            }
        }
        DeleteCriticalSection(&m_cs);
    }

    std::shared_ptr<Store> m_store;
    CRITICAL_SECTION m_cs;
    win::UniqueHandle m_event;
    int m_slot = -1;
    DWORD m_id = 0;
    uint64_t m_next = 0;
};

// ---- services and locator ---------------------------------------------------------------------

class Services : public IWbemServices, public NoProxySecurity, private Counted {
public:
    explicit Services(std::shared_ptr<Store> store) : m_store(std::move(store)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return QueryWithSecurity<IWbemServices>(this, IID_IWbemServices, riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG, IWbemContext*, IWbemClassObject** obj,
                                        IWbemCallResult** result) override {
        if (result) *result = nullptr;
        if (!obj) return WBEM_E_INVALID_PARAMETER;
        *obj = nullptr;
        ObjectPath p;
        if (!path || !ParseObjectPath(path, &p)) return WBEM_E_INVALID_OBJECT_PATH;
        if (!p.nameSpace.empty() && !IsWmiNamespace(p.nameSpace)) return WBEM_E_INVALID_NAMESPACE;
        if (!EqualsNoCase(p.className, kMethodClass) || p.hasKey) return WBEM_E_NOT_FOUND;
        Faults f;
        if (!ReadFaults(&f)) return WBEM_E_INITIALIZATION_FAILURE;
        if (f.methodClassMissing) return WBEM_E_NOT_FOUND;
        if (f.nullObject) return WBEM_S_NO_ERROR;
        ComPtr<EmuObject> cls = EmuObject::Make(Kind::MethodClass, m_store);
        cls->Add(L"__CLASS", CIM_STRING);
        cls->SetText(L"__CLASS", kMethodClass);
        *obj = cls.Detach();
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR method, LONG, IWbemContext*,
                                         IWbemClassObject* inParams, IWbemClassObject** outParams,
                                         IWbemCallResult** result) override {
        if (outParams) *outParams = nullptr;
        if (result) *result = nullptr;
        ObjectPath p;
        if (!path || !ParseObjectPath(path, &p) || !p.hasKey) return WBEM_E_INVALID_OBJECT_PATH;
        if (!p.nameSpace.empty() && !IsWmiNamespace(p.nameSpace)) return WBEM_E_INVALID_NAMESPACE;
        if (!EqualsNoCase(p.className, kMethodClass)) return WBEM_E_INVALID_CLASS;
        if (!EqualsNoCase(p.keyName, L"InstanceName")) return WBEM_E_INVALID_OBJECT_PATH;
        if (!EqualsNoCase(p.keyValue, kMethodInstance)) return WBEM_E_NOT_FOUND;
        if (!method || !EqualsNoCase(method, kMethodName)) return WBEM_E_INVALID_METHOD;

        SharedCall rec{};
        rec.pid = GetCurrentProcessId();
        std::wstring text[4];
        DWORD in[4] = {};
        HRESULT hr = WBEM_S_NO_ERROR;
        for (int i = 0; i < 4; ++i) {
            if (inParams && PropertyText(inParams, kInNames[i], &text[i])) {
                rec.inSet |= 1u << i;
                CopyText(rec.in[i], text[i]);
                if (hr == WBEM_S_NO_ERROR && !ParseUint32Text(text[i].c_str(), &in[i])) hr = WBEM_E_TYPE_MISMATCH;
            } else if (hr == WBEM_S_NO_ERROR) {
                hr = WBEM_E_INVALID_PARAMETER;
            }
        }
        HRESULT slow = SlowFirmware();
        if (FAILED(slow)) return slow;
        ModelOutput out{};
        bool nullOutput = false;
        {
            Store::Guard g(*m_store);
            Block* b = g.Block();
            if (!b) return WBEM_E_INITIALIZATION_FAILURE;
            const SharedFaults& f = b->faults;
            if (f.methodClassMissing) hr = WBEM_E_NOT_FOUND;
            else if (f.methodMissing) hr = WBEM_E_INVALID_METHOD;
            else if (f.execFail) hr = WBEM_E_FAILED;
            if (hr == WBEM_S_NO_ERROR) {
                if (f.cflag) {
                    // A failing firmware call changes nothing.
                    out = ModelOutput{{0, in[1], 0, 0}, f.cflag};
                } else {
                    out = RunModel(b->model, in);
                }
                if (f.outEaxForced) out.out[0] = f.outEax;
                rec.hasOutput = f.noOutput ? 0 : 1;
                nullOutput = f.nullOutput != 0;
                for (int i = 0; i < 4; ++i) rec.out[i] = out.out[i];
                rec.cflag = out.cflag;
            }
            rec.hr = hr;
            rec.seq = ++b->callTotal;
            b->calls[(rec.seq - 1) % kCallLogSize] = rec;
        }
        if (FAILED(hr)) return hr;
        if (rec.hasOutput && outParams) {
            ComPtr<EmuObject> o = EmuObject::Signature(Kind::OutParams, m_store);
            if (nullOutput) {
                // What a reader that skips the vt check takes for a plain success.
                const DWORD hints[5] = {1, in[1], 0, 0, 0};
                for (int i = 0; i < 5; ++i) o->SetNull(kOutNames[i], hints[i]);
            } else {
                for (int i = 0; i < 4; ++i) o->SetInt(kOutNames[i], out.out[i]);
                o->SetInt(kOutNames[4], out.cflag);
            }
            *outParams = o.Detach();
        }
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG, IWbemContext*,
                                        IEnumWbemClassObject** e) override {
        if (!e) return WBEM_E_INVALID_PARAMETER;
        *e = nullptr;
        HRESULT hr = CheckQuery(language, query, kDataClass);
        if (FAILED(hr)) return hr;
        DWORD count = 0, setting = 0;
        {
            Store::Guard g(*m_store);
            Block* b = g.Block();
            if (!b) return WBEM_E_INITIALIZATION_FAILURE;
            if (b->faults.nullObject) return WBEM_S_NO_ERROR;
            count = ToFaults(b->faults).dataInstances;
            setting = b->model.setting;
        }
        std::vector<ComPtr<EmuObject>> items;
        for (DWORD i = 0; i < count; ++i) items.push_back(MakeDataInstance(m_store, i, setting));
        *e = new DataEnum(m_store, std::move(items));
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* inst, LONG flags, IWbemContext*,
                                          IWbemCallResult** result) override {
        if (result) *result = nullptr;
        if (!inst) return WBEM_E_INVALID_PARAMETER;
        std::wstring cls, name, text;
        if (!PropertyText(inst, L"__CLASS", &cls) || !EqualsNoCase(cls, kDataClass)) return WBEM_E_INVALID_CLASS;
        if (flags & WBEM_FLAG_CREATE_ONLY) return WBEM_E_ALREADY_EXISTS;
        PropertyText(inst, L"InstanceName", &name);
        bool hasText = PropertyText(inst, L"Param", &text);
        HRESULT slow = SlowFirmware();
        if (FAILED(slow)) return slow;
        SharedWrite rec{};
        rec.pid = GetCurrentProcessId();
        CopyText(rec.text, text);
        Store::Guard g(*m_store);
        Block* b = g.Block();
        if (!b) return WBEM_E_INITIALIZATION_FAILURE;
        HRESULT hr = WBEM_S_NO_ERROR;
        DWORD instances = ToFaults(b->faults).dataInstances;
        bool known = false;
        for (DWORD i = 0; i < instances && !known; ++i) known = EqualsNoCase(name, DataInstanceName(i).c_str());
        if (!known) hr = WBEM_E_NOT_FOUND;
        else if (b->faults.putReject) hr = WBEM_E_ACCESS_DENIED;
        else if (!hasText) hr = WBEM_E_INVALID_PARAMETER;
        DWORD value = 0;
        if (hr == WBEM_S_NO_ERROR && !ParseUint32Text(text.c_str(), &value)) hr = WBEM_E_TYPE_MISMATCH;
        rec.value = value;
        if (hr == WBEM_S_NO_ERROR) {
            b->model.setting = rec.value;
            ++b->model.settingWrites;
        }
        rec.hr = hr;
        rec.seq = ++b->writeTotal;
        b->writes[(rec.seq - 1) % kWriteLogSize] = rec;
        return hr;
    }

    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR language, const BSTR query, LONG, IWbemContext*,
                                                    IEnumWbemClassObject** e) override {
        if (!e) return WBEM_E_INVALID_PARAMETER;
        *e = nullptr;
        HRESULT hr = CheckQuery(language, query, kEventClass);
        if (FAILED(hr)) return hr;
        {
            Store::Guard g(*m_store);
            Block* b = g.Block();
            if (!b) return WBEM_E_INITIALIZATION_FAILURE;
            if (b->faults.notifyFail < 0) return WBEM_E_INVALID_CLASS;
            if (b->faults.notifyFail > 0) {
                --b->faults.notifyFail;
                return WBEM_E_INVALID_CLASS;
            }
            if (b->faults.nullObject) return WBEM_S_NO_ERROR;
        }
        return EventEnum::Subscribe(m_store, e);
    }

    // Not offered.
    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices** s,
                                            IWbemCallResult** r) override {
        if (s) *s = nullptr;
        if (r) *r = nullptr;
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink** s) override {
        if (s) *s = nullptr;
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** r) override {
        return NotOffered(r);
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult** r) override {
        return NotOffered(r);
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** e) override {
        return NotOffered(e);
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult** r) override {
        return NotOffered(r);
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** e) override {
        return NotOffered(e);
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                         IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                              IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

private:
    ~Services() override = default;

    template <typename T>
    static HRESULT NotOffered(T** out) {
        if (out) *out = nullptr;
        return WBEM_E_NOT_SUPPORTED;
    }
    static HRESULT CheckQuery(const BSTR language, const BSTR query, const wchar_t* expectedClass) {
        if (!language || !query) return WBEM_E_INVALID_PARAMETER;
        if (!EqualsNoCase(language, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
        std::wstring cls;
        if (!ParseSelectAll(query, &cls)) return WBEM_E_INVALID_QUERY;
        if (!EqualsNoCase(cls, expectedClass)) return WBEM_E_INVALID_CLASS;
        return WBEM_S_NO_ERROR;
    }
    bool ReadFaults(Faults* f) {
        Store::Guard g(*m_store);
        if (!g.Block()) return false;
        *f = ToFaults(g.Block()->faults);
        return true;
    }
    // A slow ACPI method. The state lock is not held while it sleeps, so other processes still
    // read the state and inject events meanwhile.
    HRESULT SlowFirmware() {
        Faults f;
        if (!ReadFaults(&f)) return WBEM_E_INITIALIZATION_FAILURE;
        if (f.callDelayMs) Sleep(f.callDelayMs);
        return WBEM_S_NO_ERROR;
    }

    std::shared_ptr<Store> m_store;
};

class Locator : public IWbemLocator, private Counted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IWbemLocator) return E_NOINTERFACE;
        *ppv = static_cast<IWbemLocator*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR, const BSTR, const BSTR, LONG,
                                            const BSTR, IWbemContext*, IWbemServices** ns) override {
        if (!ns) return WBEM_E_INVALID_PARAMETER;
        *ns = nullptr;
        if (!resource) return WBEM_E_INVALID_PARAMETER;
        if (!IsWmiNamespace(resource)) return WBEM_E_INVALID_NAMESPACE;
        std::string error;
        std::shared_ptr<Store> store = CurrentStore(&error);
        if (!store) return WBEM_E_INITIALIZATION_FAILURE;
        {
            Store::Guard g(*store);
            Block* b = g.Block();
            if (!b) return WBEM_E_INITIALIZATION_FAILURE;
            if (b->faults.connectFail > 0) {
                --b->faults.connectFail;
                return WBEM_E_FAILED;
            }
        }
        *ns = new Services(store);
        return WBEM_S_NO_ERROR;
    }

private:
    ~Locator() override = default;
};

class LocatorFactory : public IClassFactory, private Counted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        ComPtr<IWbemLocator> locator;
        HRESULT hr = CreateLocator(locator.GetAddressOf());
        if (FAILED(hr)) return hr;
        return locator->QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            InterlockedIncrement(&g_serverLocks);
        else
            InterlockedDecrement(&g_serverLocks);
        return S_OK;
    }

private:
    ~LocatorFactory() override = default;
};

}  // namespace

HRESULT CreateLocator(IWbemLocator** out) {
    if (!out) return E_POINTER;
    *out = new Locator();
    return S_OK;
}

HRESULT CreateLocatorFactory(REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<LocatorFactory> f = Adopt(new LocatorFactory());
    return f->QueryInterface(riid, out);
}

LONG ServerLocks() { return g_serverLocks; }

}  // namespace fwemu
