// The one connection to \\.\ROOT\WMI that the whole service shares.
#include "core/com_runtime.h"
#include "core/fn_service.h"

namespace {

class Win32ComRuntime final : public ComRuntime {
public:
    HRESULT InitializeMultithreaded() override { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void Uninitialize() override { CoUninitialize(); }
    HRESULT InitializeSecurity() override {
        return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    }
    HRESULT CreateLocator(IWbemLocator** locator) override {
        return CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(locator));
    }
};

}  // namespace

ComRuntime& SystemComRuntime() {
    static Win32ComRuntime runtime;
    return runtime;
}

// Four stages, each repeated until it answers S_OK, one report and one second's pause per
// failed attempt; a later stage never returns to an earlier one. The pauses watch the stop:
// returns 0 when the service stops before the connection exists, else 1.
int CFnService::ConnectWmi() {
    auto stage = [this](const char* failureText, auto attempt) {
        // A stop between two stages that each succeed at once ends the connect there too.
        if (StopRequested()) return false;
        while (attempt() != S_OK) {
            LogServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_TEXT, failureText, nullptr, nullptr);
            if (WaitForStop(telvarin::kRetryPauseMs)) return false;
        }
        return true;
    };

    // S_FALSE counts as failure; the apartment gives its reference back at once.
    if (!stage("CoInitializeEx fail", [this] { return m_apartment.Enter(*m_pComRuntime); })) return 0;

    if (!stage("CoInitializeSecurity fail", [this] { return m_pComRuntime->InitializeSecurity(); })) return 0;

    Microsoft::WRL::ComPtr<IWbemLocator> locator;
    if (!stage("CoCreateInstance fail", [this, &locator] {
            locator.Reset();
            const HRESULT hr = m_pComRuntime->CreateLocator(locator.GetAddressOf());
            return hr == S_OK && !locator ? E_POINTER : hr;  // S_OK without a locator is no success
        }))
        return 0;

    if (!stage("ConnectServer fail", [this, &locator] {
            win::Bstr resource(L"" TELVARIN_WMI_NAMESPACE);
            m_pServices.Reset();
            const HRESULT hr = locator->ConnectServer(resource.Get(), nullptr, nullptr, nullptr, 0, nullptr,
                                                      nullptr, m_pServices.GetAddressOf());
            return hr == S_OK && !m_pServices ? E_POINTER : hr;
        }))
        return 0;
    return 1;
}
