#include "firmware/method_instance.h"

#include "common/protocol.h"
#include "core/service_log.h"

using Microsoft::WRL::ComPtr;

namespace {

using Path = wchar_t[MethodInstanceMemo::kPathChars];

// The relative path of the first instance the class enumerates (its __RELPATH) into `path`;
// false when there is none, it cannot be read, or it does not fit. Bounded like every call on
// the connection, on a lane of its own: a hung settings read does not hold up the lookup.
bool FirstInstancePath(WmiConnection& wmi, Path& path) {
    win::Bstr language(L"WQL");
    win::Bstr query(L"SELECT * FROM " TELVARIN_WMI_METHOD_CLASS);
    if (!language || !query) return false;
    ComPtr<IEnumWbemClassObject> instances;
    if (!wmi.ExecQuery(WmiOp::InstanceLookup, language.Get(), query.Get(), instances).Ok() || !instances) return false;
    ComPtr<IWbemClassObject> instance;
    if (!wmi.Next(WmiOp::InstanceLookup, instances.Get(), instance).Ok() || !instance) return false;
    win::Variant relPath;
    if (instance->Get(L"__RELPATH", 0, relPath.Receive(), nullptr, nullptr) != S_OK || relPath.Get()->vt != VT_BSTR ||
        !relPath.Get()->bstrVal)
        return false;
    const BSTR text = relPath.Get()->bstrVal;
    if (text[0] == L'\0' || SysStringLen(text) >= MethodInstanceMemo::kPathChars) return false;
    lstrcpynW(path, text, MethodInstanceMemo::kPathChars);
    return true;
}

void ReportInstance(ServiceLog& log, const wchar_t* path) {
    char text[320];
    wsprintfA(text, "Using the firmware method instance %.280ls", path);
    log.Text(EVENTLOG_INFORMATION_TYPE, text);
}

}  // namespace

WmiResult ExecOnMethodInstance(WmiConnection& wmi, MethodInstanceMemo& memo, ServiceLog& log, BSTR method, IWbemClassObject* inParams,
                               ComPtr<IWbemClassObject>& outParams) {
    const LONG generation = wmi.Generation();
    Path found;
    memo.For(generation, found);
    const bool fixed = found[0] == L'\0';
    win::Bstr path = fixed ? win::Bstr::FromAnsi(TELVARIN_WMI_METHOD_PATH, CP_THREAD_ACP) : win::Bstr(found);
    if (!path) return {CallEnd::NotMade, E_OUTOFMEMORY};
    WmiResult result = wmi.ExecMethod(path.Get(), method, inParams, outParams);
    // Only "no such object" on the fixed path sends us looking: the firmware did not run, so
    // the call may be made on the instance found. Without one, the answer stays what it was.
    if (!fixed || !result.Answered() || result.Hr() != static_cast<HRESULT>(WBEM_E_NOT_FOUND)) return result;
    if (!FirstInstancePath(wmi, found)) return result;
    if (memo.Remember(generation, found)) ReportInstance(log, found);
    win::Bstr other(found);
    if (!other) return {CallEnd::NotMade, E_OUTOFMEMORY};
    return wmi.ExecMethod(other.Get(), method, inParams, outParams);
}
