// The emulator's IWbemClassObject: the method class, its signatures and parameters, the
// OrvButtonData instances and the OrvButtonEvent events.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "common/win_raii.h"
#include "emulator/com_object.h"
#include "emulator/store.h"

namespace fwemu {

// Marks the emulator's own objects behind an IWbemClassObject pointer, so that it sees property
// text exactly as Put, not as converted by Get.
struct IEmuObject : IUnknown {};

}  // namespace fwemu

// {6A1E4C52-9B0F-4E0B-8D1E-2B7C1F3A9E61}
__CRT_UUID_DECL(fwemu::IEmuObject, 0x6a1e4c52, 0x9b0f, 0x4e0b, 0x8d, 0x1e, 0x2b, 0x7c, 0x1f, 0x3a, 0x9e, 0x61)

namespace fwemu {

constexpr wchar_t kMethodClass[] = L"" TELVARIN_WMI_METHOD_CLASS;
constexpr wchar_t kDataClass[] = L"" TELVARIN_WMI_DATA_CLASS;
constexpr wchar_t kEventClass[] = L"" TELVARIN_WMI_EVENT_CLASS;
constexpr wchar_t kMethodName[] = L"" TELVARIN_WMI_METHOD;
constexpr wchar_t kMethodInstance[] = L"" TELVARIN_WMI_METHOD_INSTANCE;
constexpr wchar_t kParam[] = L"" TELVARIN_WMI_PARAM;
constexpr const wchar_t* kInNames[4] = {L"InEAX", L"InEBX", L"InECX", L"InEDX"};
constexpr const wchar_t* kOutNames[5] = {L"OutEAX", L"OutEBX", L"OutECX", L"OutEDX", L"CFlag"};

enum class Kind { MethodClass, InSignature, OutSignature, InParams, OutParams, DataInstance, Event };

class EmuObject : public ComObject<IWbemClassObject, IEmuObject> {
public:
    // `generation`: the connection the object is obtained through (Block::generation).
    static Microsoft::WRL::ComPtr<EmuObject> Make(Kind kind, std::shared_ptr<Store> store, LONG generation);
    // A __PARAMETERS object of ExecINT: the in or out signature, or an instance of one.
    static Microsoft::WRL::ComPtr<EmuObject> Signature(Kind kind, std::shared_ptr<Store> store, LONG generation);

    void Add(const wchar_t* name, CIMTYPE type);
    void SetInt(const wchar_t* name, DWORD value);
    // VT_NULL with `hint` left in the union, as a careless firmware answers.
    void SetNull(const wchar_t* name, DWORD hint);
    void SetText(const wchar_t* name, const wchar_t* text);
    // The value as Put: exact text for VT_BSTR, decimal for integers; false when unset.
    bool RawText(const wchar_t* name, std::wstring* text);

    // Properties
    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* val, CIMTYPE* type, LONG* flavor) override;
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG, VARIANT* val, CIMTYPE type) override;
    // Methods and instances
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG, IWbemClassObject** in, IWbemClassObject** out) override;
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject** inst) override;
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_S_FALSE; }

    // Not offered.
    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** q) override { return NotSupported(q); }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return NotSupported(); }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY** names) override {
        return NotSupported(names);
    }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return NotSupported(); }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR* name, VARIANT*, CIMTYPE*, LONG*) override { return NotSupported(name); }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return NotSupported(); }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet** q) override {
        return NotSupported(q);
    }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** copy) override { return NotSupported(copy); }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR* text) override { return NotSupported(text); }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject** cls) override { return NotSupported(cls); }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return NotSupported(); }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR* cls) override { return NotSupported(cls); }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override {
        return NotSupported();
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return NotSupported(); }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return NotSupported(); }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR* name, IWbemClassObject** in, IWbemClassObject** out) override {
        return NotSupported(name, in, out);
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return NotSupported(); }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet** q) override {
        return NotSupported(q);
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR* cls) override { return NotSupported(cls); }

private:
    struct Property {
        std::wstring name;
        CIMTYPE type;
        win::Variant value;
    };

    EmuObject(Kind kind, std::shared_ptr<Store> store, LONG generation);
    ~EmuObject() override;
    Property* Find(const wchar_t* name);
    bool ReadFaults(Faults* f);
    bool Ended() const { return m_store && fwemu::Ended(*m_store, m_generation); }

    Kind m_kind;
    std::shared_ptr<Store> m_store;
    LONG m_generation;
    win::CriticalSection m_cs;
    std::vector<std::unique_ptr<Property>> m_props;
};

// The method class as GetObject hands it out.
Microsoft::WRL::ComPtr<EmuObject> MakeMethodClass(const std::shared_ptr<Store>& store, LONG generation);
// OrvButtonData instance `index` (named ACPI\PNP0C14\0_<index>) holding the settings word.
Microsoft::WRL::ComPtr<EmuObject> MakeDataInstance(const std::shared_ptr<Store>& store, LONG generation, DWORD index,
                                                   DWORD setting);
std::wstring DataInstanceName(DWORD index);
// The OrvButtonMethodDW instance named `name`, with its InstanceName and __RELPATH (the path
// ExecMethod takes).
Microsoft::WRL::ComPtr<EmuObject> MakeMethodInstance(const std::shared_ptr<Store>& store, LONG generation,
                                                     const std::wstring& name);
// An OrvButtonEvent carrying `code`, or a VT_NULL Param under the null-param fault.
Microsoft::WRL::ComPtr<EmuObject> MakeEvent(const std::shared_ptr<Store>& store, LONG generation, DWORD code,
                                            bool nullParam);

// Text of a property of any IWbemClassObject, exact for the emulator's own objects.
bool PropertyText(IWbemClassObject* obj, const wchar_t* name, std::wstring* text);
// Copies text into a record of the state, cut to fit.
void CopyText(wchar_t (&dst)[kTextChars], const std::wstring& src);

}  // namespace fwemu
