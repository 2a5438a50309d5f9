#include "emulator/locator.h"

#include <wbemcli.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "emulator/class_objects.h"
#include "emulator/com_object.h"
#include "emulator/enumerators.h"
#include "emulator/fwemu.h"
#include "emulator/model.h"
#include "emulator/store.h"
#include "emulator/text.h"

using Microsoft::WRL::ComPtr;

namespace fwemu {
namespace {

volatile LONG g_serverLocks = 0;
// How often a hanging call looks whether it may answer.
constexpr DWORD kHangPollMs = 50;

class Services : public BlanketObject<IWbemServices> {
public:
    Services(std::shared_ptr<Store> store, LONG generation) : m_store(std::move(store)), m_generation(generation) {}

    HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG, IWbemContext*, IWbemClassObject** obj,
                                        IWbemCallResult** result) override {
        if (Ended()) return ConnectionEnded(obj, result);
        if (result) *result = nullptr;
        if (!obj) return WBEM_E_INVALID_PARAMETER;
        *obj = nullptr;
        ObjectPath p;
        if (!path || !ParseObjectPath(path, &p)) return WBEM_E_INVALID_OBJECT_PATH;
        if (!p.nameSpace.empty() && !IsWmiNamespace(p.nameSpace)) return WBEM_E_INVALID_NAMESPACE;
        if (!EqualsNoCase(p.className, kMethodClass) || p.hasKey) return WBEM_E_NOT_FOUND;
        Faults f;
        if (!ReadFaults(&f)) return WBEM_E_INITIALIZATION_FAILURE;
        if (f.methodClassMissing) return WBEM_E_NOT_FOUND;
        if (f.nullObject) return WBEM_S_NO_ERROR;
        *obj = MakeMethodClass(m_store, m_generation).Detach();
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR method, LONG, IWbemContext*,
                                         IWbemClassObject* inParams, IWbemClassObject** outParams,
                                         IWbemCallResult** result) override {
        if (Ended()) return ConnectionEnded(outParams, result);
        if (outParams) *outParams = nullptr;
        if (result) *result = nullptr;
        ObjectPath p;
        if (!path || !ParseObjectPath(path, &p) || !p.hasKey) return WBEM_E_INVALID_OBJECT_PATH;
        if (!p.nameSpace.empty() && !IsWmiNamespace(p.nameSpace)) return WBEM_E_INVALID_NAMESPACE;
        if (!EqualsNoCase(p.className, kMethodClass)) return WBEM_E_INVALID_CLASS;
        if (!EqualsNoCase(p.keyName, L"InstanceName")) return WBEM_E_INVALID_OBJECT_PATH;
        {
            Faults f;
            if (!ReadFaults(&f)) return WBEM_E_INITIALIZATION_FAILURE;
            if (f.methodInstance.empty() || !EqualsNoCase(p.keyValue, f.methodInstance.c_str())) return WBEM_E_NOT_FOUND;
        }
        if (!method || !EqualsNoCase(method, kMethodName)) return WBEM_E_INVALID_METHOD;

        SharedCall rec{};
        rec.pid = GetCurrentProcessId();
        std::wstring text[4];
        DWORD in[4] = {};
        HRESULT hr = WBEM_S_NO_ERROR;
        for (int i = 0; i < 4; ++i) {
            if (inParams && PropertyText(inParams, kInNames[i], &text[i])) {
                rec.inSet |= 1u << i;
                CopyText(rec.in[i], text[i]);
                if (hr == WBEM_S_NO_ERROR && !ParseUint32Text(text[i].c_str(), &in[i])) hr = WBEM_E_TYPE_MISMATCH;
            } else if (hr == WBEM_S_NO_ERROR) {
                hr = WBEM_E_INVALID_PARAMETER;
            }
        }
        HRESULT slow = SlowFirmware(&SharedFaults::methodHang, true);
        if (FAILED(slow)) return slow;
        ModelOutput out{};
        bool nullOutput = false;
        {
            Store::Guard g(*m_store);
            Block* b = g.Block();
            if (!b) return WBEM_E_INITIALIZATION_FAILURE;
            const SharedFaults& f = b->faults;
            if (f.methodClassMissing) hr = WBEM_E_NOT_FOUND;
            else if (f.methodMissing) hr = WBEM_E_INVALID_METHOD;
            else if (f.execFail) hr = FailCode(f, WBEM_E_FAILED);
            if (hr == WBEM_S_NO_ERROR) {
                if (f.cflag) {
                    // A failing firmware call changes nothing.
                    out = ModelOutput{{0, in[1], 0, 0}, f.cflag};
                } else {
                    out = RunModel(b->model, in);
                }
                if (f.outEaxForced) out.out[0] = f.outEax;
                rec.hasOutput = f.noOutput ? 0 : 1;
                nullOutput = f.nullOutput != 0;
                for (int i = 0; i < 4; ++i) rec.out[i] = out.out[i];
                rec.cflag = out.cflag;
            }
            rec.hr = hr;
            rec.seq = ++b->callTotal;
            b->calls[(rec.seq - 1) % kCallLogSize] = rec;
        }
        if (FAILED(hr)) return hr;
        if (rec.hasOutput && outParams) {
            ComPtr<EmuObject> o = EmuObject::Signature(Kind::OutParams, m_store, m_generation);
            if (nullOutput) {
                // What a reader that skips the vt check takes for a plain success.
                const DWORD hints[5] = {1, in[1], 0, 0, 0};
                for (int i = 0; i < 5; ++i) o->SetNull(kOutNames[i], hints[i]);
            } else {
                for (int i = 0; i < 4; ++i) o->SetInt(kOutNames[i], out.out[i]);
                o->SetInt(kOutNames[4], out.cflag);
            }
            *outParams = o.Detach();
        }
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG, IWbemContext*,
                                        IEnumWbemClassObject** e) override {
        if (Ended()) return ConnectionEnded(e);
        if (!e) return WBEM_E_INVALID_PARAMETER;
        *e = nullptr;
        // The data block's instances, or the method block's (none while its class is missing).
        const bool method = SUCCEEDED(CheckQuery(language, query, kMethodClass));
        HRESULT hr = method ? static_cast<HRESULT>(WBEM_S_NO_ERROR) : CheckQuery(language, query, kDataClass);
        if (FAILED(hr)) return hr;
        DWORD count = 0, setting = 0;
        Faults f;
        {
            Store::Guard g(*m_store);
            Block* b = g.Block();
            if (!b) return WBEM_E_INITIALIZATION_FAILURE;
            if (b->faults.nullObject) return WBEM_S_NO_ERROR;
            f = ToFaults(b->faults);
            count = f.dataInstances;
            setting = b->model.setting;
        }
        std::vector<ComPtr<EmuObject>> items;
        if (method) {
            if (f.methodClassMissing) return WBEM_E_INVALID_CLASS;
            if (!f.methodInstance.empty()) items.push_back(MakeMethodInstance(m_store, m_generation, f.methodInstance));
        } else {
            for (DWORD i = 0; i < count; ++i) items.push_back(MakeDataInstance(m_store, m_generation, i, setting));
        }
        return CreateDataEnum(m_store, m_generation, !method, std::move(items), e);
    }

    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* inst, LONG flags, IWbemContext*,
                                          IWbemCallResult** result) override {
        if (Ended()) return ConnectionEnded(result);
        if (result) *result = nullptr;
        if (!inst) return WBEM_E_INVALID_PARAMETER;
        std::wstring cls, name, text;
        if (!PropertyText(inst, L"__CLASS", &cls) || !EqualsNoCase(cls, kDataClass)) return WBEM_E_INVALID_CLASS;
        if (flags & WBEM_FLAG_CREATE_ONLY) return WBEM_E_ALREADY_EXISTS;
        PropertyText(inst, L"InstanceName", &name);
        bool hasText = PropertyText(inst, kParam, &text);
        HRESULT slow = SlowFirmware(&SharedFaults::putHang, false);
        if (FAILED(slow)) return slow;
        SharedWrite rec{};
        rec.pid = GetCurrentProcessId();
        CopyText(rec.text, text);
        Store::Guard g(*m_store);
        Block* b = g.Block();
        if (!b) return WBEM_E_INITIALIZATION_FAILURE;
        HRESULT hr = WBEM_S_NO_ERROR;
        DWORD instances = ToFaults(b->faults).dataInstances;
        bool known = false;
        for (DWORD i = 0; i < instances && !known; ++i) known = EqualsNoCase(name, DataInstanceName(i).c_str());
        if (!known) hr = WBEM_E_NOT_FOUND;
        else if (b->faults.putReject) hr = WBEM_E_ACCESS_DENIED;
        else if (!hasText) hr = WBEM_E_INVALID_PARAMETER;
        DWORD value = 0;
        if (hr == WBEM_S_NO_ERROR && !ParseUint32Text(text.c_str(), &value)) hr = WBEM_E_TYPE_MISMATCH;
        rec.value = value;
        if (hr == WBEM_S_NO_ERROR) {
            b->model.setting = rec.value;
            ++b->model.settingWrites;
        }
        rec.hr = hr;
        rec.seq = ++b->writeTotal;
        b->writes[(rec.seq - 1) % kWriteLogSize] = rec;
        return hr;
    }

    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR language, const BSTR query, LONG, IWbemContext*,
                                                    IEnumWbemClassObject** e) override {
        if (Ended()) return ConnectionEnded(e);
        if (!e) return WBEM_E_INVALID_PARAMETER;
        *e = nullptr;
        HRESULT hr = CheckQuery(language, query, kEventClass);
        if (FAILED(hr)) return hr;
        hr = Hang(&SharedFaults::notifyHang);
        if (FAILED(hr)) return hr;
        {
            Store::Guard g(*m_store);
            Block* b = g.Block();
            if (!b) return WBEM_E_INITIALIZATION_FAILURE;
            if (FailsNext(b->faults.notifyFail)) return FailCode(b->faults, WBEM_E_INVALID_CLASS);
            if (b->faults.nullObject) return WBEM_S_NO_ERROR;
        }
        return SubscribeEvents(m_store, m_generation, e);
    }

    // Not offered.
    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices** s,
                                            IWbemCallResult** r) override {
        return NotSupported(s, r);
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return NotSupported(); }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink** s) override { return NotSupported(s); }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return NotSupported();
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** r) override {
        return NotSupported(r);
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
        return NotSupported();
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult** r) override {
        return NotSupported(r);
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return NotSupported();
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** e) override {
        return NotSupported(e);
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return NotSupported();
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
        return NotSupported();
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult** r) override {
        return NotSupported(r);
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return NotSupported();
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** e) override {
        return NotSupported(e);
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return NotSupported();
    }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return NotSupported();
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                         IWbemObjectSink*) override {
        return NotSupported();
    }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                              IWbemObjectSink*) override {
        return NotSupported();
    }

private:
    ~Services() override = default;

    static HRESULT CheckQuery(const BSTR language, const BSTR query, const wchar_t* expectedClass) {
        if (!language || !query) return WBEM_E_INVALID_PARAMETER;
        if (!EqualsNoCase(language, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
        std::wstring cls;
        if (!ParseSelectAll(query, &cls)) return WBEM_E_INVALID_QUERY;
        if (!EqualsNoCase(cls, expectedClass)) return WBEM_E_INVALID_CLASS;
        return WBEM_S_NO_ERROR;
    }
    bool ReadFaults(Faults* f) {
        Store::Guard g(*m_store);
        if (!g.Block()) return false;
        *f = ToFaults(g.Block()->faults);
        return true;
    }
    // A slow ACPI method, or one that never answers while its `hang` fault is on (looked at every
    // 50 ms). The state lock is not held while it waits, so other processes still read the state
    // and inject events meanwhile. Only the end of the connection ends a hang, as a dead server
    // fails a pending call. `countCall`: the call counts as having reached the firmware.
    HRESULT SlowFirmware(uint32_t SharedFaults::*hang, bool countCall) {
        DWORD delayMs = 0;
        {
            Store::Guard g(*m_store);
            Block* b = g.Block();
            if (!b) return WBEM_E_INITIALIZATION_FAILURE;
            if (countCall) ++b->callsStarted;
            delayMs = ToFaults(b->faults).callDelayMs;
        }
        if (delayMs) Sleep(delayMs);
        return Hang(hang);
    }
    // Waits while the `hang` fault is on (looked at every 50 ms); only the end of the connection
    // ends the wait early.
    HRESULT Hang(uint32_t SharedFaults::*hang) {
        for (;;) {
            if (Ended()) return ConnectionEnded();
            {
                Store::Guard g(*m_store);
                if (!g.Block()) return WBEM_E_INITIALIZATION_FAILURE;
                if (!(g.Block()->faults.*hang)) return WBEM_S_NO_ERROR;
            }
            Sleep(kHangPollMs);
        }
    }
    bool Ended() const { return fwemu::Ended(*m_store, m_generation); }

    std::shared_ptr<Store> m_store;
    LONG m_generation;
};

class Locator : public ComObject<IWbemLocator> {
public:
    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR, const BSTR, const BSTR, LONG,
                                            const BSTR, IWbemContext*, IWbemServices** ns) override {
        if (!ns) return WBEM_E_INVALID_PARAMETER;
        *ns = nullptr;
        if (!resource) return WBEM_E_INVALID_PARAMETER;
        if (!IsWmiNamespace(resource)) return WBEM_E_INVALID_NAMESPACE;
        std::string error;
        std::shared_ptr<Store> store = CurrentStore(&error);
        if (!store) return WBEM_E_INITIALIZATION_FAILURE;
        LONG generation = 0;
        {
            Store::Guard g(*store);
            Block* b = g.Block();
            if (!b) return WBEM_E_INITIALIZATION_FAILURE;
            // connect-fail has no "for ever" (the controller takes no negative count).
            if (b->faults.connectFail > 0 && FailsNext(b->faults.connectFail)) return FailCode(b->faults, WBEM_E_FAILED);
            // What a client sees while the WMI service is away.
            if (WmiDown(b->faults)) return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
            ++b->connectTotal;
            generation = b->generation;
        }
        *ns = new Services(store, generation);
        return WBEM_S_NO_ERROR;
    }

private:
    ~Locator() override = default;
};

class LocatorFactory : public ComObject<IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        ComPtr<IWbemLocator> locator;
        HRESULT hr = CreateLocator(locator.GetAddressOf());
        if (FAILED(hr)) return hr;
        return locator->QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            InterlockedIncrement(&g_serverLocks);
        else
            InterlockedDecrement(&g_serverLocks);
        return S_OK;
    }

private:
    ~LocatorFactory() override = default;
};

}  // namespace

HRESULT CreateLocator(IWbemLocator** out) {
    if (!out) return E_POINTER;
    *out = new Locator();
    return S_OK;
}

HRESULT CreateLocatorFactory(REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<LocatorFactory> f = Adopt(new LocatorFactory());
    return f->QueryInterface(riid, out);
}

LONG ServerLocks() { return g_serverLocks; }

}  // namespace fwemu
