// Firmware register calls through OrvButtonMethodDW.ExecINT.
#include <stdio.h>

#include "core/fn_service.h"
#include "firmware/method_instance.h"
#include "firmware/once_more.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr char kMethodClass[] = TELVARIN_WMI_METHOD_CLASS;
constexpr char kMethodName[] = TELVARIN_WMI_METHOD;
// What an S_OK that came without its object counts as: the object is not there.
constexpr HRESULT kNotFound = static_cast<HRESULT>(WBEM_E_NOT_FOUND);

void ReportText(const char* text) {
    CFnService::LogServiceEvent(EVENTLOG_INFORMATION_TYPE, MSG_TEXT, text, nullptr, nullptr);
}

// Registers travel as signed decimal text typed CIM_UINT32. Anything but S_OK means the register
// was not set: the firmware must never run with an input that was not given.
HRESULT PutRegister(IWbemClassObject* instance, const wchar_t* name, DWORD value) {
    char text[16];
    wsprintfA(text, "%d", static_cast<int>(value));
    win::Variant variant;
    variant.SetBstr(win::Bstr::FromAnsi(text, CP_THREAD_ACP));
    if (!variant.Get()->bstrVal) return E_OUTOFMEMORY;
    return instance->Put(name, 0, variant.Get(), CIM_UINT32);
}

// A property that cannot be read, or holds no integer (VT_NULL, say), has no defined value:
// the call then counts as failed.
bool GetRegister(IWbemClassObject* outParams, const wchar_t* name, DWORD& value) {
    win::Variant variant;
    if (outParams->Get(name, 0, variant.Receive(), nullptr, nullptr) != S_OK) return false;
    return variant.ToUint32(value);
}

// One attempt at a register call; see OnceMoreAfterLoss. Before ExecMethod the firmware has not
// acted, so a lost connection lets the call be made again; in ExecMethod only a failure that says
// the call never reached the other side does.
int CallOnce(CFnService& service, DWORD (&regs)[4], bool repeated, Retry* retry) {
    WmiConnection& wmi = service.Wmi();
    ActivityBoard& activity = service.Activity();
    win::Bstr classPath = win::Bstr::FromAnsi(TELVARIN_WMI_METHOD_CLASS_PATH, CP_THREAD_ACP);
    win::Bstr methodName = win::Bstr::FromAnsi(kMethodName, CP_THREAD_ACP);
    if (!classPath || !methodName) return 0;

    // A failed step: one that may be made again reports nothing yet; a lost connection is
    // reported, but disables no request; any other failure disables them.
    auto failed = [&](HRESULT hr, bool beforeFirmware, const char* report) {
        *retry = RetryAfter(hr, beforeFirmware, repeated);
        if (*retry != Retry::No) return 0;
        if (!WmiConnection::IsLoss(hr)) wmi.ClearReady();
        if (report) ReportText(report);
        return 0;
    };

    ComPtr<IWbemClassObject> methodClass;
    HRESULT hr = wmi.GetObject(classPath.Get(), methodClass);
    if (hr == telvarin::kCallStopped) return 0;
    // S_OK without an object is as much a missing class as an error.
    if (hr != S_OK || !methodClass) {
        char text[96];
        wsprintfA(text, "Wmi %s class not existed.", kMethodClass);
        return failed(hr == S_OK ? kNotFound : hr, true, text);
    }

    ComPtr<IWbemClassObject> inSignature;
    {
        Doing doing(activity, "IWbemClassObject::GetMethod");
        hr = methodClass->GetMethod(methodName.Get(), 0, inSignature.GetAddressOf(), nullptr);
    }
    if (hr != S_OK || !inSignature) {
        char text[96];
        wsprintfA(text, "Wmi %s class %s method not existed.", kMethodClass, kMethodName);
        return failed(hr == S_OK ? kNotFound : hr, true, text);
    }

    ComPtr<IWbemClassObject> inParams;
    {
        Doing doing(activity, "IWbemClassObject::SpawnInstance");
        hr = inSignature->SpawnInstance(0, inParams.GetAddressOf());
    }
    if (hr != S_OK || !inParams) return failed(hr == S_OK ? kNotFound : hr, true, nullptr);

    {
        // A register that could not be set fails the call before the firmware runs. The firmware
        // was not asked, so readiness stays as it is.
        Doing doing(activity, "IWbemClassObject::Put");
        const wchar_t* const names[4] = {L"InEAX", L"InEBX", L"InECX", L"InEDX"};
        for (int i = 0; i < 4; ++i) {
            hr = PutRegister(inParams.Get(), names[i], regs[i]);
            if (hr == S_OK) continue;
            *retry = RetryAfter(hr, true, repeated);
            return 0;
        }
    }

    ComPtr<IWbemClassObject> outParams;
    hr = ExecOnMethodInstance(service, methodName.Get(), inParams.Get(), outParams);
    if (hr == telvarin::kCallStopped) return 0;
    // A call that may have reached the firmware is never made twice.
    if (hr != S_OK) return failed(hr, false, "Wmi ExecMethod fail.");
    if (!outParams) {
        ReportText("Wmi OutParams == NULL.");
        return 0;
    }

    DWORD out[4] = {};
    DWORD carry = 0;
    {
        Doing doing(activity, "IWbemClassObject::Get");
        if (!GetRegister(outParams.Get(), L"OutEAX", out[0]) || !GetRegister(outParams.Get(), L"OutEBX", out[1]) ||
            !GetRegister(outParams.Get(), L"OutECX", out[2]) || !GetRegister(outParams.Get(), L"OutEDX", out[3]) ||
            !GetRegister(outParams.Get(), L"CFlag", carry))
            return 0;
    }
    if (carry != 0) return 0;  // the firmware refused; the caller keeps its input registers
    for (int i = 0; i < 4; ++i) regs[i] = out[i];
    return 1;
}

}  // namespace

int CFnService::CallFirmware(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx) {
    if (!m_wmi.HasConnected()) return 0;
    DWORD regs[4] = {eax, ebx, ecx, edx};
    const int result =
        OnceMoreAfterLoss(*this, [&](bool repeated, Retry* retry) { return CallOnce(*this, regs, repeated, retry); });
    if (result != 1) return result;
    eax = regs[0];
    ebx = regs[1];
    ecx = regs[2];
    edx = regs[3];
    return 1;
}

int CFnService::SetFirmwareOption(int option) {
    DWORD eax = TELVARIN_FW_FUNCTION;
    DWORD ebx = (static_cast<DWORD>(option) << 8) | TELVARIN_FW_SUB_OPTION;
    DWORD ecx = 0;
    DWORD edx = 0;
    return CallFirmware(eax, ebx, ecx, edx);
}
