// The IUnknown every emulator COM object shares, and the one answer to the calls it does not offer.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <unknwn.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "emulator/store.h"

namespace fwemu {

// Reference counting, the live-object count (LiveObjects() and the published one) from
// construction to destruction, and a QueryInterface that answers each listed interface's IID,
// and IUnknown with the first of them.
template <typename... Interfaces>
class ComObject : public Interfaces... {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = Find<Interfaces...>(riid, true);
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&m_refs);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

protected:
    ComObject() { LiveDelta(1); }
    virtual ~ComObject() { LiveDelta(-1); }

private:
    template <typename First, typename... Rest>
    void* Find(REFIID riid, bool first) {
        if (riid == __uuidof(First) || (first && riid == IID_IUnknown)) return static_cast<First*>(this);
        if constexpr (sizeof...(Rest) > 0) return Find<Rest...>(riid, false);
        return nullptr;
    }

    volatile LONG m_refs = 1;
};

// An object clients set a proxy blanket on: in-process there is no proxy, but
// CoSetProxyBlanket must still succeed as it does on WMI's.
template <typename Main>
class BlanketObject : public ComObject<Main, IClientSecurity> {
public:
    HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD* authn, DWORD* authz, OLECHAR** principal,
                                           DWORD* level, DWORD* imp, void** info, DWORD* caps) override {
        if (authn) *authn = RPC_C_AUTHN_WINNT;
        if (authz) *authz = RPC_C_AUTHZ_NONE;
        if (principal) *principal = nullptr;
        if (level) *level = RPC_C_AUTHN_LEVEL_CALL;
        if (imp) *imp = RPC_C_IMP_LEVEL_IMPERSONATE;
        if (info) *info = nullptr;
        if (caps) *caps = EOAC_NONE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, void*, DWORD) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown* proxy, IUnknown** copy) override {
        if (!copy) return E_INVALIDARG;
        *copy = nullptr;
        if (!proxy) return E_INVALIDARG;
        return proxy->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(copy));
    }
};

// The answer to every call the emulator does not offer. Each out-pointer given is nulled, so a
// caller that releases what it got back releases nothing.
template <typename... Out>
HRESULT NotSupported(Out**... out) {
    ((out ? static_cast<void>(*out = nullptr) : static_cast<void>(0)), ...);
    return WBEM_E_NOT_SUPPORTED;
}

// The answer of every object of a connection that has ended (the disconnect and wmi-down faults),
// as an RPC proxy answers once its server has gone: out-pointers nulled.
template <typename... Out>
HRESULT ConnectionEnded(Out**... out) {
    ((out ? static_cast<void>(*out = nullptr) : static_cast<void>(0)), ...);
    return RPC_E_DISCONNECTED;
}

// Takes over the reference a new object starts with (mingw's ComPtr::Attach adds another).
template <typename T>
Microsoft::WRL::ComPtr<T> Adopt(T* fresh) {
    Microsoft::WRL::ComPtr<T> p;
    *p.ReleaseAndGetAddressOf() = fresh;
    return p;
}

}  // namespace fwemu
