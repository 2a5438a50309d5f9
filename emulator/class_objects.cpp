#include "emulator/class_objects.h"

#include <cwchar>

#include "emulator/text.h"

using Microsoft::WRL::ComPtr;

namespace fwemu {
namespace {

// What a null Param holds behind its VT_NULL: the sleep button's code, so a reader that skips the
// vt check acts on an event that never came.
constexpr LONG kNullParamHint = TELVARIN_EVENT_SLEEP_BUTTON;

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

bool VariantText(const VARIANT& v, std::wstring* text) {
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

bool IsSystemProperty(const std::wstring& name) { return name.compare(0, 2, L"__") == 0; }

}  // namespace

EmuObject::EmuObject(Kind kind, std::shared_ptr<Store> store, LONG generation)
    : m_kind(kind), m_store(std::move(store)), m_generation(generation) {}

EmuObject::~EmuObject() = default;

ComPtr<EmuObject> EmuObject::Make(Kind kind, std::shared_ptr<Store> store, LONG generation) {
    return Adopt(new EmuObject(kind, std::move(store), generation));
}

ComPtr<EmuObject> EmuObject::Signature(Kind kind, std::shared_ptr<Store> store, LONG generation) {
    ComPtr<EmuObject> obj = Make(kind, std::move(store), generation);
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

void EmuObject::Add(const wchar_t* name, CIMTYPE type) {
    auto p = std::make_unique<Property>();
    p->name = name;
    p->type = type;
    StoreNull(p->value.Get(), 0);
    m_props.push_back(std::move(p));
}

void EmuObject::SetInt(const wchar_t* name, DWORD value) {
    if (Property* p = Find(name)) StoreI4(p->value.Receive(), static_cast<LONG>(value));
}

void EmuObject::SetNull(const wchar_t* name, DWORD hint) {
    if (Property* p = Find(name)) StoreNull(p->value.Receive(), static_cast<LONG>(hint));
}

void EmuObject::SetText(const wchar_t* name, const wchar_t* text) {
    if (Property* p = Find(name)) p->value.SetBstr(win::Bstr(text));
}

bool EmuObject::RawText(const wchar_t* name, std::wstring* text) {
    win::Lock lock(m_cs);
    Property* p = Find(name);
    return p && VariantText(*p->value.Get(), text);
}

HRESULT EmuObject::Get(LPCWSTR name, LONG, VARIANT* val, CIMTYPE* type, LONG* flavor) {
    if (Ended()) {
        if (val) VariantInit(val);
        return ConnectionEnded();
    }
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
    if (flavor) *flavor = IsSystemProperty(p->name) ? WBEM_FLAVOR_ORIGIN_SYSTEM : 0;
    return WBEM_S_NO_ERROR;
}

HRESULT EmuObject::Put(LPCWSTR name, LONG, VARIANT* val, CIMTYPE type) {
    if (Ended()) return ConnectionEnded();
    if (!name) return WBEM_E_INVALID_PARAMETER;
    if (m_kind == Kind::MethodClass || m_kind == Kind::Event) return WBEM_E_NOT_SUPPORTED;
    // Read before taking our own lock: the state lock is never taken inside it.
    Faults f;
    bool faultable = m_kind == Kind::InParams || m_kind == Kind::DataInstance;
    if (faultable && !ReadFaults(&f)) return WBEM_E_INITIALIZATION_FAILURE;
    win::Lock lock(m_cs);
    Property* p = Find(name);
    if (!p) return WBEM_E_NOT_FOUND;
    if (IsSystemProperty(p->name)) return WBEM_E_SYSTEM_PROPERTY;
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

HRESULT EmuObject::GetMethod(LPCWSTR name, LONG, IWbemClassObject** in, IWbemClassObject** out) {
    if (Ended()) return ConnectionEnded(in, out);
    if (in) *in = nullptr;
    if (out) *out = nullptr;
    if (!name) return WBEM_E_INVALID_PARAMETER;
    if (m_kind != Kind::MethodClass) return WBEM_E_NOT_FOUND;
    if (!EqualsNoCase(name, kMethodName)) return WBEM_E_NOT_FOUND;
    Faults f;
    if (!ReadFaults(&f)) return WBEM_E_INITIALIZATION_FAILURE;
    if (f.methodMissing) return WBEM_E_NOT_FOUND;
    if (in) *in = Signature(Kind::InSignature, m_store, m_generation).Detach();
    if (out) *out = Signature(Kind::OutSignature, m_store, m_generation).Detach();
    return WBEM_S_NO_ERROR;
}

HRESULT EmuObject::SpawnInstance(LONG, IWbemClassObject** inst) {
    if (Ended()) return ConnectionEnded(inst);
    if (!inst) return WBEM_E_INVALID_PARAMETER;
    *inst = nullptr;
    if (m_kind != Kind::InSignature && m_kind != Kind::OutSignature) return WBEM_E_INVALID_OPERATION;
    Faults f;
    if (!ReadFaults(&f)) return WBEM_E_INITIALIZATION_FAILURE;
    if (f.spawnFail) return WBEM_E_OUT_OF_MEMORY;
    *inst = Signature(m_kind == Kind::InSignature ? Kind::InParams : Kind::OutParams, m_store, m_generation).Detach();
    return WBEM_S_NO_ERROR;
}

EmuObject::Property* EmuObject::Find(const wchar_t* name) {
    for (auto& p : m_props)
        if (EqualsNoCase(p->name, name)) return p.get();
    return nullptr;
}

bool EmuObject::ReadFaults(Faults* f) {
    if (!m_store) return false;
    Store::Guard g(*m_store);
    if (!g.Block()) return false;
    *f = ToFaults(g.Block()->faults);
    return true;
}

ComPtr<EmuObject> MakeMethodClass(const std::shared_ptr<Store>& store, LONG generation) {
    ComPtr<EmuObject> cls = EmuObject::Make(Kind::MethodClass, store, generation);
    cls->Add(L"__CLASS", CIM_STRING);
    cls->SetText(L"__CLASS", kMethodClass);
    return cls;
}

std::wstring DataInstanceName(DWORD index) { return L"ACPI\\PNP0C14\\0_" + std::to_wstring(index); }

ComPtr<EmuObject> MakeMethodInstance(const std::shared_ptr<Store>& store, LONG generation, const std::wstring& name) {
    ComPtr<EmuObject> obj = EmuObject::Make(Kind::MethodClass, store, generation);
    obj->Add(L"__CLASS", CIM_STRING);
    obj->SetText(L"__CLASS", kMethodClass);
    obj->Add(L"InstanceName", CIM_STRING);
    obj->SetText(L"InstanceName", name.c_str());
    // Inside the quotes of an object path a backslash or a quote is escaped by a backslash.
    std::wstring path = std::wstring(kMethodClass) + L".InstanceName=\"";
    for (wchar_t c : name) {
        if (c == L'\\' || c == L'"') path += L'\\';
        path += c;
    }
    path += L'"';
    obj->Add(L"__RELPATH", CIM_STRING);
    obj->SetText(L"__RELPATH", path.c_str());
    return obj;
}

namespace {

// The shape OrvButtonData and OrvButtonEvent share.
ComPtr<EmuObject> MakeInstance(const std::shared_ptr<Store>& store, LONG generation, Kind kind, const wchar_t* cls,
                               DWORD index) {
    ComPtr<EmuObject> obj = EmuObject::Make(kind, store, generation);
    obj->Add(L"__CLASS", CIM_STRING);
    obj->SetText(L"__CLASS", cls);
    obj->Add(L"InstanceName", CIM_STRING);
    obj->SetText(L"InstanceName", DataInstanceName(index).c_str());
    obj->Add(kParam, CIM_UINT32);
    return obj;
}

}  // namespace

ComPtr<EmuObject> MakeDataInstance(const std::shared_ptr<Store>& store, LONG generation, DWORD index, DWORD setting) {
    ComPtr<EmuObject> obj = MakeInstance(store, generation, Kind::DataInstance, kDataClass, index);
    obj->SetInt(kParam, setting);
    return obj;
}

ComPtr<EmuObject> MakeEvent(const std::shared_ptr<Store>& store, LONG generation, DWORD code, bool nullParam) {
    ComPtr<EmuObject> obj = MakeInstance(store, generation, Kind::Event, kEventClass, 0);
    if (nullParam)
        obj->SetNull(kParam, kNullParamHint);
    else
        obj->SetInt(kParam, code);
    return obj;
}

bool PropertyText(IWbemClassObject* obj, const wchar_t* name, std::wstring* text) {
    ComPtr<IEmuObject> own;
    if (SUCCEEDED(obj->QueryInterface(__uuidof(IEmuObject), reinterpret_cast<void**>(own.GetAddressOf()))))
        return static_cast<EmuObject*>(own.Get())->RawText(name, text);
    win::Variant v;
    if (FAILED(obj->Get(name, 0, v.Get(), nullptr, nullptr))) return false;
    return VariantText(*v.Get(), text);
}

void CopyText(wchar_t (&dst)[kTextChars], const std::wstring& src) {
    size_t n = src.size() < kTextChars - 1 ? src.size() : kTextChars - 1;
    wmemcpy(dst, src.data(), n);
    dst[n] = 0;
}

}  // namespace fwemu
