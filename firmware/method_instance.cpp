#include "firmware/method_instance.h"

#include <string>

#include "core/fn_service.h"

using Microsoft::WRL::ComPtr;

namespace {

// The relative path of the first instance the class enumerates (its __RELPATH), or empty when
// there is none or it cannot be read. Bounded like every call on the connection.
std::wstring FirstInstancePath(WmiConnection& wmi) {
    win::Bstr language(L"WQL");
    win::Bstr query(L"SELECT * FROM " TELVARIN_WMI_METHOD_CLASS);
    if (!language || !query) return std::wstring();
    ComPtr<IEnumWbemClassObject> instances;
    if (wmi.ExecQuery(language.Get(), query.Get(), instances) != S_OK || !instances) return std::wstring();
    ComPtr<IWbemClassObject> instance;
    if (wmi.Next(instances.Get(), instance) != S_OK || !instance) return std::wstring();
    win::Variant path;
    if (instance->Get(L"__RELPATH", 0, path.Receive(), nullptr, nullptr) != S_OK || path.Get()->vt != VT_BSTR ||
        !path.Get()->bstrVal)
        return std::wstring();
    return path.Get()->bstrVal;
}

void ReportInstance(const std::wstring& path) {
    char text[320];
    wsprintfA(text, "Using the firmware method instance %.280ls", path.c_str());
    CFnService::LogServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_TEXT, text, nullptr, nullptr);
}

}  // namespace

HRESULT ExecOnMethodInstance(CFnService& service, BSTR method, IWbemClassObject* inParams,
                             ComPtr<IWbemClassObject>& outParams) {
    WmiConnection& wmi = service.Wmi();
    const LONG generation = wmi.Generation();
    std::wstring found = service.MethodInstance().For(generation);
    win::Bstr path = found.empty() ? win::Bstr::FromAnsi(TELVARIN_WMI_METHOD_PATH, CP_THREAD_ACP) : win::Bstr(found.c_str());
    if (!path) return E_OUTOFMEMORY;
    HRESULT hr = wmi.ExecMethod(path.Get(), method, inParams, outParams);
    // Only "no such object" on the fixed path sends us looking: the firmware did not run, so
    // the call may be made on the instance found. Without one, the answer stays what it was.
    if (hr != static_cast<HRESULT>(WBEM_E_NOT_FOUND) || !found.empty()) return hr;
    found = FirstInstancePath(wmi);
    if (found.empty()) return hr;
    if (service.MethodInstance().Remember(generation, found)) ReportInstance(found);
    win::Bstr other(found.c_str());
    if (!other) return E_OUTOFMEMORY;
    return wmi.ExecMethod(other.Get(), method, inParams, outParams);
}
