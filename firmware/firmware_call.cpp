// Firmware register calls through OrvButtonMethodDW.ExecINT.
#include <stdio.h>

#include "core/fn_service.h"

namespace {

constexpr char kMethodClass[] = TELVARIN_WMI_METHOD_CLASS;
constexpr char kMethodName[] = TELVARIN_WMI_METHOD;
constexpr char kMethodInstancePath[] = TELVARIN_WMI_METHOD_PATH;

void ReportText(const char* text) {
    CFnService::LogServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_TEXT, text, nullptr, nullptr);
}

// Registers travel as signed decimal text typed CIM_UINT32. False when the register could not
// be set: the firmware must never run with an input that was not given.
bool PutRegister(IWbemClassObject* instance, const wchar_t* name, DWORD value) {
    char text[16];
    wsprintfA(text, "%d", static_cast<int>(value));
    win::Variant variant;
    variant.SetBstr(win::Bstr::FromAnsi(text, CP_THREAD_ACP));
    if (!variant.Get()->bstrVal) return false;
    return instance->Put(name, 0, variant.Get(), CIM_UINT32) == S_OK;
}

// A property that cannot be read, or holds no integer (VT_NULL, say), has no defined value:
// the call then counts as failed.
bool GetRegister(IWbemClassObject* outParams, const wchar_t* name, DWORD& value) {
    win::Variant variant;
    if (outParams->Get(name, 0, variant.Receive(), nullptr, nullptr) != S_OK) return false;
    return variant.ToUint32(value);
}

}  // namespace

int CFnService::CallFirmware(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx) {
    if (!m_pServices) return 0;

    win::Bstr classPathText = win::Bstr::FromAnsi(TELVARIN_WMI_METHOD_CLASS_PATH, CP_THREAD_ACP);
    win::Bstr instancePath = win::Bstr::FromAnsi(kMethodInstancePath, CP_THREAD_ACP);
    win::Bstr methodName = win::Bstr::FromAnsi(kMethodName, CP_THREAD_ACP);
    if (!classPathText || !instancePath || !methodName) return 0;

    Microsoft::WRL::ComPtr<IWbemClassObject> methodClass;
    {
        win::Lock lock(m_lock);
        // S_OK without an object is as much a missing class as an error.
        if (m_pServices->GetObject(classPathText.Get(), 0, nullptr, methodClass.GetAddressOf(), nullptr) != S_OK ||
            !methodClass) {
            m_wmiReady = 0;
            char text[96];
            wsprintfA(text, "Wmi %s class not existed.", kMethodClass);
            ReportText(text);
            return 0;
        }
    }

    Microsoft::WRL::ComPtr<IWbemClassObject> inSignature;
    if (methodClass->GetMethod(methodName.Get(), 0, inSignature.GetAddressOf(), nullptr) != S_OK || !inSignature) {
        m_wmiReady = 0;
        char text[96];
        wsprintfA(text, "Wmi %s class %s method not existed.", kMethodClass, kMethodName);
        ReportText(text);
        return 0;
    }

    Microsoft::WRL::ComPtr<IWbemClassObject> inParams;
    if (inSignature->SpawnInstance(0, inParams.GetAddressOf()) != S_OK || !inParams) {
        m_wmiReady = 0;
        return 0;
    }
    // A register that could not be set fails the call before the firmware runs. The firmware
    // was not asked, so readiness stays as it is.
    if (!PutRegister(inParams.Get(), L"InEAX", eax) || !PutRegister(inParams.Get(), L"InEBX", ebx) ||
        !PutRegister(inParams.Get(), L"InECX", ecx) || !PutRegister(inParams.Get(), L"InEDX", edx))
        return 0;

    Microsoft::WRL::ComPtr<IWbemClassObject> outParams;
    {
        win::Lock lock(m_lock);
        if (m_pServices->ExecMethod(instancePath.Get(), methodName.Get(), 0, nullptr, inParams.Get(),
                                    outParams.GetAddressOf(), nullptr) != S_OK) {
            m_wmiReady = 0;
            ReportText("Wmi ExecMethod fail.");
            return 0;
        }
    }
    if (!outParams) {
        ReportText("Wmi OutParams == NULL.");
        return 0;
    }

    DWORD out[4] = {};
    DWORD carry = 0;
    if (!GetRegister(outParams.Get(), L"OutEAX", out[0]) || !GetRegister(outParams.Get(), L"OutEBX", out[1]) ||
        !GetRegister(outParams.Get(), L"OutECX", out[2]) || !GetRegister(outParams.Get(), L"OutEDX", out[3]) ||
        !GetRegister(outParams.Get(), L"CFlag", carry))
        return 0;
    if (carry != 0) return 0;  // the firmware refused; the caller keeps its input registers
    eax = out[0];
    ebx = out[1];
    ecx = out[2];
    edx = out[3];
    return 1;
}

int CFnService::SetFirmwareOption(int option) {
    DWORD eax = TELVARIN_FW_FUNCTION;
    DWORD ebx = (static_cast<DWORD>(option) << 8) | TELVARIN_FW_SUB_OPTION;
    DWORD ecx = 0;
    DWORD edx = 0;
    return CallFirmware(eax, ebx, ecx, edx);
}
