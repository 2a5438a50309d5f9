// Writing the settings word into the OrvButtonData block.
#include "common/protocol.h"
#include "common/win_raii.h"
#include "firmware/firmware_bridge.h"
#include "firmware/once_more.h"

using Microsoft::WRL::ComPtr;

// One attempt at the write; see OnceMoreAfterLoss. The write is idempotent, so a lost connection
// at any step lets it be made again.
int FirmwareBridge::WriteOnce(DWORD value, bool repeated, Retry* retry) {
    const LONG generation = m_wmi.Generation();
    auto lost = [&](const WmiResult& result) {
        *retry = RetryAfter(result, true, repeated);
        return 0;
    };

    // A string that cannot be made fails this write, which the store reports and makes again.
    win::Bstr language(L"WQL");
    win::Bstr query(L"SELECT * FROM " TELVARIN_WMI_DATA_CLASS);
    if (!language || !query) return 0;

    ComPtr<IEnumWbemClassObject> instances;
    // Only whether an enumerator came back counts, not the result code.
    WmiResult result = m_wmi.ExecQuery(WmiOp::SettingsRead, language.Get(), query.Get(), instances);
    if (!instances) return lost(result);

    ComPtr<IWbemClassObject> block;
    result = m_wmi.Next(WmiOp::SettingsRead, instances.Get(), block);
    instances.Reset();
    if (!block) return lost(result);

    // The settings word travels as unsigned decimal text: 0xFE7FFFEB is 4269801451.
    char text[16];
    wsprintfA(text, "%u", value);
    win::Variant param;
    param.SetBstr(win::Bstr::FromAnsi(text, CP_THREAD_ACP));
    if (!param.Get()->bstrVal) return 0;
    {
        Doing doing(m_activity, "IWbemClassObject::Put");
        result = WmiResult::Answer(block->Put(L"" TELVARIN_WMI_PARAM, 0, param.Get(), CIM_UINT32));
    }
    // A rejected Put or update is a failed write: the caller reports it.
    if (result.Hr() != S_OK) {
        m_wmi.NoteFailure(generation, result.Hr(), "Put");
        return lost({CallEnd::Answered, result.Hr()});
    }
    result = m_wmi.PutInstance(block.Get(), WBEM_FLAG_UPDATE_ONLY);
    return result.Ok() ? 1 : lost(result);
}

int FirmwareBridge::WriteFirmwareSetting(DWORD value) {
    if (!m_wmi.HasConnected()) return 0;
    return OnceMoreAfterLoss(*this, 0, [&](bool repeated, Retry* retry) { return WriteOnce(value, repeated, retry); });
}
