// Firmware register calls through OrvButtonMethodDW.ExecINT.
#include <stdio.h>

#include "common/protocol.h"
#include "common/win_raii.h"
#include "firmware/firmware_bridge.h"
#include "firmware/method_instance.h"
#include "firmware/once_more.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr char kMethodClass[] = TELVARIN_WMI_METHOD_CLASS;
constexpr char kMethodName[] = TELVARIN_WMI_METHOD;
// What an S_OK that came without its object counts as: the object is not there.
constexpr HRESULT kNotFound = static_cast<HRESULT>(WBEM_E_NOT_FOUND);

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

}  // namespace

WmiResult FirmwareBridge::MethodInput(ComPtr<IWbemClassObject>& signature) {
    if (m_wmi.KeptMethodInput(signature)) return {CallEnd::Answered, S_OK};
    win::Bstr classPath = win::Bstr::FromAnsi(TELVARIN_WMI_METHOD_CLASS_PATH, CP_THREAD_ACP);
    win::Bstr methodName = win::Bstr::FromAnsi(kMethodName, CP_THREAD_ACP);
    if (!classPath || !methodName) return {CallEnd::NotMade, E_OUTOFMEMORY};
    const LONG generation = m_wmi.Generation();

    // A lookup that the firmware side fails is reported, throttled: requests are off until a
    // later lookup finds the method (RetryReadiness).
    auto failed = [&](WmiResult result, const char* format) {
        if (result.Answered() && !WmiConnection::IsLoss(result.Hr())) {
            char text[96];
            wsprintfA(text, format, kMethodClass, kMethodName);
            m_lookupLog.FailedAt(m_wmi.Now(), text);
        }
        return result;
    };

    ComPtr<IWbemClassObject> methodClass;
    WmiResult result = m_wmi.GetObject(classPath.Get(), methodClass);
    // S_OK without an object is as much a missing class as an error.
    if (result.Ok() && !methodClass) result = WmiResult::Answer(kNotFound);
    if (!result.Ok()) return failed(result, "Wmi %s class not existed.");
    {
        Doing doing(m_activity, "IWbemClassObject::GetMethod");
        result = WmiResult::Answer(methodClass->GetMethod(methodName.Get(), 0, signature.GetAddressOf(), nullptr));
    }
    if (result.Hr() == S_OK && !signature) result = WmiResult::Answer(kNotFound);
    if (result.Hr() != S_OK) {
        signature.Reset();
        m_wmi.NoteFailure(generation, result.Hr(), "GetMethod");
        return failed(result, "Wmi %s class %s method not existed.");
    }
    m_lookupLog.SucceededAt(m_wmi.Now());
    m_wmi.KeepMethodInput(generation, signature.Get());
    return result;
}

// One attempt at a register call; see OnceMoreAfterLoss. Before ExecMethod the firmware has not
// acted, so a lost connection lets the call be made again; in ExecMethod only a failure that says
// the call never reached the other side does. The method's input signature is kept for the
// connection, so a call makes one round trip to the provider: ExecMethod.
int FirmwareBridge::CallOnce(DWORD (&regs)[4], bool repeated, Retry* retry) {
    win::Bstr methodName = win::Bstr::FromAnsi(kMethodName, CP_THREAD_ACP);
    if (!methodName) return 0;
    const LONG generation = m_wmi.Generation();

    // A failed step that may be made again changes nothing yet; a lost connection, a call given
    // up or refused disables no request; a failure of the firmware side disables them.
    auto failed = [&](const WmiResult& result, bool beforeFirmware) {
        *retry = RetryAfter(result, beforeFirmware, repeated);
        if (*retry == Retry::No && result.Answered() && !WmiConnection::IsLoss(result.Hr())) m_wmi.ClearReady();
        return 0;
    };

    ComPtr<IWbemClassObject> inSignature;
    WmiResult result = MethodInput(inSignature);
    if (!result.Ok()) return failed(result, true);

    ComPtr<IWbemClassObject> inParams;
    {
        Doing doing(m_activity, "IWbemClassObject::SpawnInstance");
        result = WmiResult::Answer(inSignature->SpawnInstance(0, inParams.GetAddressOf()));
    }
    if (result.Hr() == S_OK && !inParams) result = WmiResult::Answer(kNotFound);
    if (result.Hr() != S_OK) {
        m_wmi.NoteFailure(generation, result.Hr(), "SpawnInstance");
        m_wmi.ForgetMethodInput();
        return failed(result, true);
    }

    {
        // A register that could not be set fails the call before the firmware runs. The firmware
        // was not asked, so readiness stays as it is.
        Doing doing(m_activity, "IWbemClassObject::Put");
        const wchar_t* const names[4] = {L"InEAX", L"InEBX", L"InECX", L"InEDX"};
        for (int i = 0; i < 4; ++i) {
            result = WmiResult::Answer(PutRegister(inParams.Get(), names[i], regs[i]));
            if (result.Hr() == S_OK) continue;
            m_wmi.NoteFailure(generation, result.Hr(), "Put");
            *retry = RetryAfter(result, true, repeated);
            return 0;
        }
    }

    ComPtr<IWbemClassObject> outParams;
    result = ExecOnMethodInstance(m_wmi, m_methodInstance, m_log, methodName.Get(), inParams.Get(), outParams);
    // A call that may have reached the firmware is never made twice.
    if (!result.Ok()) {
        if (result.Answered() && !WmiConnection::IsLoss(result.Hr())) {
            // The method may be gone since it was looked up: the next call looks again.
            m_wmi.ForgetMethodInput();
            m_execLog.FailedAt(m_wmi.Now());
        }
        return failed(result, false);
    }
    m_execLog.SucceededAt(m_wmi.Now());
    if (!outParams) {
        m_outputLog.FailedAt(m_wmi.Now());
        return 0;
    }
    m_outputLog.SucceededAt(m_wmi.Now());

    DWORD out[4] = {};
    DWORD carry = 0;
    {
        Doing doing(m_activity, "IWbemClassObject::Get");
        if (!GetRegister(outParams.Get(), L"OutEAX", out[0]) || !GetRegister(outParams.Get(), L"OutEBX", out[1]) ||
            !GetRegister(outParams.Get(), L"OutECX", out[2]) || !GetRegister(outParams.Get(), L"OutEDX", out[3]) ||
            !GetRegister(outParams.Get(), L"CFlag", carry))
            return 0;
    }
    if (carry != 0) return 0;  // the firmware refused; the caller keeps its input registers
    for (int i = 0; i < 4; ++i) regs[i] = out[i];
    return 1;
}

int FirmwareBridge::Call(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx, ULONGLONG holdUntil) {
    if (!m_wmi.HasConnected()) return 0;
    DWORD regs[4] = {eax, ebx, ecx, edx};
    const int result =
        OnceMoreAfterLoss(*this, holdUntil, [&](bool repeated, Retry* retry) { return CallOnce(regs, repeated, retry); });
    if (result != 1) return result;
    m_readinessBackoff.Reset();  // the firmware answers: a later loss of readiness starts afresh
    eax = regs[0];
    ebx = regs[1];
    ecx = regs[2];
    edx = regs[3];
    return 1;
}

int FirmwareBridge::CallForRequest(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx) {
    const ULONGLONG holdUntil = m_wmi.Now() + m_wmi.CallBoundMs();
    // Readiness lost: the request waits for the lookup that may bring it back, when that is due
    // within its hold (requests and the timed lookups run on one thread: it makes the lookup).
    while (m_wmi.HasConnected() && m_wmi.Ready() != 1) {
        const DWORD due = RetryReadiness();
        if (m_wmi.Ready() == 1) break;
        if (due == INFINITE || m_wmi.Now() + due > holdUntil) return 0;
        if (WaitForSingleObject(m_stop, due) == WAIT_OBJECT_0) return 0;
    }
    return Call(eax, ebx, ecx, edx, holdUntil);
}

DWORD FirmwareBridge::RetryReadiness() {
    ULONGLONG now = m_wmi.Now();
    // After a resume the firmware may have come up meanwhile: look at once, pauses afresh.
    if (InterlockedExchange(&m_readinessCheckOwed, 0)) {
        m_readinessAt = now;
        m_readinessBackoff.Reset();
    }
    if (!m_wmi.HasConnected() || m_wmi.Ready() == 1) {
        m_readinessAt = 0;
        return INFINITE;
    }
    if (m_readinessAt == 0) m_readinessAt = now + m_readinessBackoff.Next();
    if (now < m_readinessAt) return static_cast<DWORD>(m_readinessAt - now);
    ComPtr<IWbemClassObject> signature;
    if (MethodInput(signature).Ok()) {
        m_wmi.SetReady();
        m_readinessAt = 0;
        return INFINITE;
    }
    now = m_wmi.Now();
    m_readinessAt = now + m_readinessBackoff.Next();
    return static_cast<DWORD>(m_readinessAt - now);
}

int FirmwareBridge::SetFirmwareOption(int option) {
    DWORD eax = TELVARIN_FW_FUNCTION;
    DWORD ebx = (static_cast<DWORD>(option) << 8) | TELVARIN_FW_SUB_OPTION;
    DWORD ecx = 0;
    DWORD edx = 0;
    return CallFirmware(eax, ebx, ecx, edx);
}
