#define DOCTEST_CONFIG_IMPLEMENT
#include "emu_test.h"

#include <objbase.h>

namespace emutest {

std::wstring TempFile(const wchar_t* tag) {
    wchar_t dir[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, dir);
    std::wstring base = (n > 0 && n < MAX_PATH) ? dir : L".\\";
    return base + L"fwemu-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + tag + L".bin";
}

Fixture::Fixture() {
    fwemu::SetStatePath(TempFile(L"state").c_str());
    m_ctl = new fwemu::Controller();
    REQUIRE_MESSAGE(m_ctl->Ok(), m_ctl->Error());
    REQUIRE(m_ctl->Reset());
}

Fixture::~Fixture() { delete m_ctl; }

ComPtr<IWbemServices> Fixture::Connect() {
    ComPtr<IWbemLocator> locator;
    REQUIRE(fwemu::CreateLocator(locator.GetAddressOf()) == S_OK);
    ComPtr<IWbemServices> svc;
    win::Bstr ns(L"\\\\.\\ROOT\\WMI");
    REQUIRE(locator->ConnectServer(ns.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, svc.GetAddressOf()) ==
            WBEM_S_NO_ERROR);
    return svc;
}

HRESULT SpawnInput(IWbemServices* svc, ComPtr<IWbemClassObject>* in) {
    ComPtr<IWbemClassObject> cls, sig;
    win::Bstr clsPath(L"\\\\.\\Root\\Wmi:OrvButtonMethodDW");
    HRESULT hr = svc->GetObject(clsPath.Get(), 0, nullptr, cls.GetAddressOf(), nullptr);
    if (FAILED(hr)) return hr;
    if (!cls) return E_POINTER;  // S_OK with no object, as the null-object fault answers
    hr = cls->GetMethod(L"ExecINT", 0, sig.GetAddressOf(), nullptr);
    if (FAILED(hr)) return hr;
    return sig->SpawnInstance(0, in->ReleaseAndGetAddressOf());
}

HRESULT ExecInt(IWbemServices* svc, const wchar_t* eax, const wchar_t* ebx, const wchar_t* ecx, const wchar_t* edx,
                ComPtr<IWbemClassObject>* out) {
    ComPtr<IWbemClassObject> in;
    HRESULT hr = SpawnInput(svc, &in);
    if (FAILED(hr)) return hr;
    const wchar_t* names[4] = {L"InEAX", L"InEBX", L"InECX", L"InEDX"};
    const wchar_t* texts[4] = {eax, ebx, ecx, edx};
    for (int i = 0; i < 4; ++i) {
        if (!texts[i]) continue;
        win::Variant v;
        v.SetBstr(win::Bstr(texts[i]));
        hr = in->Put(names[i], 0, v.Get(), CIM_UINT32);
        if (FAILED(hr)) return hr;
    }
    win::Bstr path(kMethodPath), method(L"ExecINT");
    return svc->ExecMethod(path.Get(), method.Get(), 0, nullptr, in.Get(), out ? out->ReleaseAndGetAddressOf() : nullptr,
                           nullptr);
}

HRESULT Call9610(IWbemServices* svc, DWORD ebx, ComPtr<IWbemClassObject>* out) {
    return ExecInt(svc, L"38416", std::to_wstring(static_cast<int>(ebx)).c_str(), L"0", L"0", out);
}

DWORD GetI4(IWbemClassObject* obj, const wchar_t* name) {
    win::Variant v;
    CIMTYPE type = 0;
    REQUIRE(obj->Get(name, 0, v.Get(), &type, nullptr) == WBEM_S_NO_ERROR);
    REQUIRE(v.Get()->vt == VT_I4);
    CHECK(type == CIM_UINT32);
    return static_cast<DWORD>(v.Get()->lVal);
}

LONG GetNullHint(IWbemClassObject* obj, const wchar_t* name) {
    win::Variant v;
    REQUIRE(obj->Get(name, 0, v.Get(), nullptr, nullptr) == WBEM_S_NO_ERROR);
    CHECK(v.Get()->vt == VT_NULL);
    return v.Get()->lVal;
}

ComPtr<IEnumWbemClassObject> OpenDataQuery(IWbemServices* svc) {
    ComPtr<IEnumWbemClassObject> e;
    win::Bstr wql(L"WQL"), query(L"SELECT * FROM OrvButtonData");
    REQUIRE(svc->ExecQuery(wql.Get(), query.Get(), 0x30, nullptr, e.GetAddressOf()) == WBEM_S_NO_ERROR);
    REQUIRE(e);
    return e;
}

std::vector<ComPtr<IWbemClassObject>> QueryData(IWbemServices* svc) {
    ComPtr<IEnumWbemClassObject> e = OpenDataQuery(svc);
    std::vector<ComPtr<IWbemClassObject>> items;
    for (;;) {
        ComPtr<IWbemClassObject> obj;
        ULONG got = 0;
        HRESULT hr = e->Next(WBEM_INFINITE, 1, obj.GetAddressOf(), &got);
        if (hr != WBEM_S_NO_ERROR || got == 0) break;
        items.push_back(obj);
    }
    return items;
}

HRESULT PutParam(IWbemServices* svc, IWbemClassObject* inst, const wchar_t* text) {
    win::Variant v;
    v.SetBstr(win::Bstr(text));
    HRESULT hr = inst->Put(L"Param", 0, v.Get(), CIM_UINT32);
    if (FAILED(hr)) return hr;
    return svc->PutInstance(inst, WBEM_FLAG_UPDATE_ONLY, nullptr, nullptr);
}

Background::Background(std::function<HRESULT()> work) : m_work(std::move(work)) {
    m_thread.Reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
    REQUIRE(m_thread);
}

Background::~Background() {
    if (m_thread) WaitForSingleObject(m_thread.Get(), INFINITE);
}

bool Background::DoneWithin(DWORD ms) { return WaitForSingleObject(m_thread.Get(), ms) == WAIT_OBJECT_0; }

DWORD WINAPI Background::Run(void* self) {
    auto* me = static_cast<Background*>(self);
    me->m_result = me->m_work();
    return 0;
}

}  // namespace emutest

int main(int argc, char** argv) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int rc;
    {
        doctest::Context context(argc, argv);
        rc = context.run();
    }
    fwemu::ReleaseCurrentStore();
    for (const wchar_t* tag : {L"state", L"foreign", L"version", L"short", L"tiny"})
        DeleteFileW(emutest::TempFile(tag).c_str());
    CoUninitialize();
    return rc;
}
