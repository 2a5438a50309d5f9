// Writing the settings word into the OrvButtonData block.
#include "core/fn_service.h"

int CFnService::WriteFirmwareSetting(DWORD value) {
    if (!m_pServices) return 0;

    char query[64];
    wsprintfA(query, "SELECT * FROM %s", TELVARIN_WMI_DATA_CLASS);
    win::Bstr language(L"WQL");
    win::Bstr queryText = win::Bstr::FromAnsi(query, CP_ACP);
    if (!queryText) return 0;

    Microsoft::WRL::ComPtr<IEnumWbemClassObject> instances;
    {
        win::Lock lock(m_lock);
        // Only whether an enumerator came back counts, not the result code.
        m_pServices->ExecQuery(language.Get(), queryText.Get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                               nullptr, instances.GetAddressOf());
    }
    if (!instances) return 0;

    Microsoft::WRL::ComPtr<IWbemClassObject> block;
    ULONG returned = 0;
    instances->Next(WBEM_INFINITE, 1, block.GetAddressOf(), &returned);
    instances.Reset();
    if (returned != 1 || !block) return 0;

    // The settings word travels as unsigned decimal text: 0xFE7FFFEB is 4269801451.
    char text[16];
    wsprintfA(text, "%u", value);
    win::Variant param;
    param.SetBstr(win::Bstr::FromAnsi(text, CP_THREAD_ACP));
    // A rejected Put or update is a failed write: the caller reports it.
    if (!param.Get()->bstrVal || block->Put(L"" TELVARIN_WMI_PARAM, 0, param.Get(), CIM_UINT32) != S_OK) return 0;
    win::Lock lock(m_lock);
    return m_pServices->PutInstance(block.Get(), WBEM_FLAG_UPDATE_ONLY, nullptr, nullptr) == S_OK ? 1 : 0;
}
