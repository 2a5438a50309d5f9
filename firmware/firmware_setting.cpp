// Writing the settings word into the OrvButtonData block.
#include "core/fn_service.h"
#include "firmware/once_more.h"

using Microsoft::WRL::ComPtr;

namespace {

// One attempt at the write; see OnceMoreAfterLoss. The write is idempotent, so a lost connection
// at any step lets it be made again.
int WriteOnce(CFnService& service, DWORD value, bool repeated, Retry* retry) {
    WmiConnection& wmi = service.Wmi();
    auto lost = [&](HRESULT hr) {
        *retry = RetryAfter(hr, true, repeated);
        return 0;
    };

    char query[64];
    wsprintfA(query, "SELECT * FROM %s", TELVARIN_WMI_DATA_CLASS);
    win::Bstr language(L"WQL");
    win::Bstr queryText = win::Bstr::FromAnsi(query, CP_ACP);
    if (!queryText) return 0;

    ComPtr<IEnumWbemClassObject> instances;
    // Only whether an enumerator came back counts, not the result code.
    HRESULT hr = wmi.ExecQuery(language.Get(), queryText.Get(), instances);
    if (!instances) return lost(hr);

    ComPtr<IWbemClassObject> block;
    hr = wmi.Next(instances.Get(), block);
    instances.Reset();
    if (!block) return lost(hr);

    // The settings word travels as unsigned decimal text: 0xFE7FFFEB is 4269801451.
    char text[16];
    wsprintfA(text, "%u", value);
    win::Variant param;
    param.SetBstr(win::Bstr::FromAnsi(text, CP_THREAD_ACP));
    if (!param.Get()->bstrVal) return 0;
    {
        Doing doing(service.Activity(), "IWbemClassObject::Put");
        hr = block->Put(L"" TELVARIN_WMI_PARAM, 0, param.Get(), CIM_UINT32);
    }
    // A rejected Put or update is a failed write: the caller reports it.
    if (hr != S_OK) return lost(hr);
    hr = wmi.PutInstance(block.Get(), WBEM_FLAG_UPDATE_ONLY);
    return hr == S_OK ? 1 : lost(hr);
}

}  // namespace

int CFnService::WriteFirmwareSetting(DWORD value) {
    if (!m_wmi.HasConnected()) return 0;
    return OnceMoreAfterLoss(*this, [&](bool repeated, Retry* retry) { return WriteOnce(*this, value, repeated, retry); });
}
