// Small move-only owners for the Win32 and COM resources the programs use.
// Each releases exactly what it owns, once, on every path out of a scope, and keeps the
// thread's last error while it does: an owner going out of scope on an error path never hides
// the error being reported. COM interfaces use Microsoft::WRL::ComPtr instead. Owners of
// resources reached through a seam (the COM apartment, the event source) live beside their
// seam in core/.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <initializer_list>

namespace win {

// Owner of one value of a resource kind described by Traits:
//   static Value Invalid();  static void Close(Value);
// Acquiring is the caller's: pass the API's result to the constructor or Reset, or let the API
// write into Receive(). An invalid value (the API failed) is simply not owned; read the error
// from the API's own convention before handing the value over.
template <typename Traits>
class Unique {
public:
    using Value = typename Traits::Value;

    Unique() noexcept : m_value(Traits::Invalid()) {}
    explicit Unique(Value value) noexcept : m_value(value) {}
    ~Unique() { Reset(); }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : m_value(other.Release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    Value Get() const noexcept { return m_value; }
    bool IsValid() const noexcept { return m_value != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Closes what is owned and takes `value` instead; the last error survives the close.
    void Reset(Value value = Traits::Invalid()) noexcept {
        if (IsValid()) {
            const DWORD error = GetLastError();
            Traits::Close(m_value);
            SetLastError(error);
        }
        m_value = value;
    }
    // Gives up ownership without closing.
    Value Release() noexcept {
        Value value = m_value;
        m_value = Traits::Invalid();
        return value;
    }
    // Closes what is owned; returns the address an API writes the new value into.
    Value* Receive() noexcept {
        Reset();
        return &m_value;
    }

private:
    Value m_value;
};

struct HandleTraits {  // kernel objects: events, threads, processes, mappings, tokens
    using Value = HANDLE;
    static Value Invalid() { return nullptr; }
    static void Close(Value v) { CloseHandle(v); }
};
struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static Value Invalid() { return nullptr; }
    static void Close(Value v) { CloseServiceHandle(v); }
};
struct RegKeyTraits {
    using Value = HKEY;
    static Value Invalid() { return nullptr; }
    static void Close(Value v) { RegCloseKey(v); }
};
struct LibraryTraits {
    using Value = HMODULE;
    static Value Invalid() { return nullptr; }
    static void Close(Value v) { FreeLibrary(v); }
};
struct MappedViewTraits {
    using Value = void*;
    static Value Invalid() { return nullptr; }
    static void Close(Value v) { UnmapViewOfFile(v); }
};

struct LocalMemoryTraits {  // what LocalAlloc returns, and the APIs that allocate with it (SDDL)
    using Value = HLOCAL;
    static Value Invalid() { return nullptr; }
    static void Close(Value v) { LocalFree(v); }
};

using UniqueHandle = Unique<HandleTraits>;
using ServiceHandle = Unique<ServiceHandleTraits>;
using RegKey = Unique<RegKeyTraits>;
using Library = Unique<LibraryTraits>;
using MappedView = Unique<MappedViewTraits>;
using LocalMemory = Unique<LocalMemoryTraits>;

// File handles use INVALID_HANDLE_VALUE for "none"; keep them apart from the null-based kinds.
struct FileHandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Value v) { CloseHandle(v); }
};
using FileHandle = Unique<FileHandleTraits>;

// A BSTR, freed with SysFreeString. Built from 8-bit ASCII text with the given code page.
class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(const wchar_t* text) : m_bstr(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(m_bstr); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& other) noexcept : m_bstr(other.m_bstr) { other.m_bstr = nullptr; }
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            SysFreeString(m_bstr);
            m_bstr = other.m_bstr;
            other.m_bstr = nullptr;
        }
        return *this;
    }

    // Converts NUL-terminated 8-bit text; returns an empty (null) Bstr when memory runs out.
    static Bstr FromAnsi(const char* text, UINT codePage) {
        Bstr result;
        int chars = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
        if (chars <= 0) return result;
        result.m_bstr = SysAllocStringLen(nullptr, static_cast<UINT>(chars - 1));
        if (result.m_bstr) MultiByteToWideChar(codePage, 0, text, -1, result.m_bstr, chars);
        return result;
    }

    BSTR Get() const noexcept { return m_bstr; }
    explicit operator bool() const noexcept { return m_bstr != nullptr; }
    BSTR Release() noexcept {
        BSTR b = m_bstr;
        m_bstr = nullptr;
        return b;
    }

private:
    BSTR m_bstr = nullptr;
};

// A VARIANT, initialised on construction and cleared on destruction. The whole record, union
// included, starts zeroed, so nothing reads leftover stack bytes as a value.
class Variant {
public:
    Variant() noexcept : m_var{} { VariantInit(&m_var); }
    ~Variant() { VariantClear(&m_var); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    // Takes ownership of `text` as a VT_BSTR value.
    void SetBstr(Bstr text) {
        Receive();
        m_var.vt = VT_BSTR;
        m_var.bstrVal = text.Release();
    }
    VARIANT* Get() noexcept { return &m_var; }
    const VARIANT* Get() const noexcept { return &m_var; }
    VARIANT* Receive() noexcept {
        VariantClear(&m_var);
        m_var = VARIANT{};
        VariantInit(&m_var);
        return &m_var;
    }

    // The 32-bit integer held: VT_I4 and VT_UI4 as they are, other integer types and numeric
    // text through VariantChangeType. False, leaving `value` untouched, for anything else
    // (VT_NULL, VT_EMPTY, text that is no number): the union then holds no value of ours.
    bool ToUint32(DWORD& value) const {
        switch (m_var.vt) {
        case VT_I4: value = static_cast<DWORD>(m_var.lVal); return true;
        case VT_UI4: value = m_var.ulVal; return true;
        case VT_I1: case VT_I2: case VT_INT: case VT_UI1: case VT_UI2: case VT_UINT: case VT_BSTR:
            break;
        default:
            return false;
        }
        for (VARTYPE type : {VARTYPE(VT_I4), VARTYPE(VT_UI4)}) {
            VARIANT converted{};
            VariantInit(&converted);
            // VariantChangeType does not change its source; its declaration is not const-correct.
            if (VariantChangeType(&converted, const_cast<VARIANT*>(&m_var), 0, type) != S_OK) continue;
            value = type == VT_I4 ? static_cast<DWORD>(converted.lVal) : converted.ulVal;
            return true;
        }
        return false;
    }

private:
    VARIANT m_var;
};

// This thread's membership of the multithreaded COM apartment, for the tools (the service enters
// its apartment through its ComRuntime seam instead). Result() is CoInitializeEx's HRESULT; the
// apartment is left on destruction only when it was entered (S_OK or S_FALSE).
class ScopedComInit {
public:
    ScopedComInit() noexcept : m_hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ScopedComInit() {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }
    ScopedComInit(const ScopedComInit&) = delete;
    ScopedComInit& operator=(const ScopedComInit&) = delete;
    HRESULT Result() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

// A critical section that exists exactly as long as its owner: initialised on construction,
// deleted on destruction. Neither can fail on the systems we support.
class CriticalSection {
public:
    CriticalSection() noexcept { InitializeCriticalSection(&m_cs); }
    ~CriticalSection() { DeleteCriticalSection(&m_cs); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    CRITICAL_SECTION& Get() noexcept { return m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

// Holds a critical section (taken) for the scope.
class Lock {
public:
    explicit Lock(CRITICAL_SECTION& cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
    explicit Lock(CriticalSection& cs) : Lock(cs.Get()) {}
    ~Lock() { LeaveCriticalSection(&m_cs); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CRITICAL_SECTION& m_cs;
};

// Holds an SRW lock exclusively for the scope.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&m_lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& m_lock;
};

}  // namespace win
