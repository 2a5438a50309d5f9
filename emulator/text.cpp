#include "emulator/text.h"

#include <cwchar>
#include <vector>

#include "common/console.h"
#include "emulator/fwemu.h"

namespace fwemu {

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) {
    return b && _wcsicmp(a.c_str(), b) == 0 && a.size() == wcslen(b);
}

bool IsWmiNamespace(const std::wstring& ns) {
    std::wstring n = ns;
    for (wchar_t& c : n)
        if (c == L'/') c = L'\\';
    if (n.compare(0, 4, L"\\\\.\\") == 0) n.erase(0, 4);
    return EqualsNoCase(n, L"root\\wmi");
}

bool ParseUint32Text(const wchar_t* text, DWORD* value) {
    if (!text) return false;
    std::string narrow;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p > 0x7F) return false;
        narrow += static_cast<char>(*p);
    }
    long long number = 0;
    if (!console::ParseNumber(narrow, -0x80000000ll, 0xFFFFFFFFll, &number, false)) return false;
    *value = static_cast<DWORD>(number);  // negatives wrap, as CIM reads a signed form
    return true;
}

bool ParseObjectPath(const wchar_t* text, ObjectPath* out) {
    if (!text) return false;
    std::wstring s = text;
    *out = ObjectPath();
    // The namespace ends at the last ':' before any quoted key value (which may hold ':').
    size_t colon = s.substr(0, s.find(L'"')).rfind(L':');
    size_t clsStart = 0;
    if (colon != std::wstring::npos) {
        out->nameSpace = s.substr(0, colon);
        if (out->nameSpace.empty()) return false;
        clsStart = colon + 1;
    }
    size_t dot = s.find(L'.', clsStart);
    out->className = s.substr(clsStart, dot == std::wstring::npos ? std::wstring::npos : dot - clsStart);
    if (out->className.empty()) return false;
    for (wchar_t c : out->className)
        if (!(iswalnum(c) || c == L'_')) return false;
    if (dot == std::wstring::npos) return true;

    size_t eq = s.find(L'=', dot + 1);
    if (eq == std::wstring::npos) return false;
    out->keyName = s.substr(dot + 1, eq - dot - 1);
    if (out->keyName.empty()) return false;
    size_t i = eq + 1;
    if (i >= s.size() || s[i] != L'"') return false;
    ++i;
    std::wstring value;
    bool closed = false;
    for (; i < s.size(); ++i) {
        wchar_t c = s[i];
        if (c == L'\\') {
            if (i + 1 >= s.size()) return false;
            wchar_t next = s[i + 1];
            if (next != L'\\' && next != L'"') return false;
            value += next;
            ++i;
        } else if (c == L'"') {
            closed = true;
            ++i;
            break;
        } else {
            value += c;
        }
    }
    if (!closed || i != s.size()) return false;
    out->hasKey = true;
    out->keyValue = value;
    return true;
}

bool ParseSelectAll(const wchar_t* query, std::wstring* className) {
    if (!query) return false;
    std::vector<std::wstring> words;
    std::wstring word;
    for (const wchar_t* p = query;; ++p) {
        if (*p == 0 || iswspace(*p)) {
            if (!word.empty()) words.push_back(word);
            word.clear();
            if (*p == 0) break;
        } else {
            word += *p;
        }
    }
    if (words.size() != 4 || !EqualsNoCase(words[0], L"select") || words[1] != L"*" ||
        !EqualsNoCase(words[2], L"from"))
        return false;
    *className = words[3];
    return true;
}

std::wstring DecimalText(long long value) { return std::to_wstring(value); }

}  // namespace fwemu
