// Text forms the emulator accepts: namespaces, object paths and the two WQL queries.
#pragma once

#include <windows.h>

#include <string>

namespace fwemu {

bool EqualsNoCase(const std::wstring& a, const wchar_t* b);

// "\\.\ROOT\WMI", "ROOT\WMI" or "//./root/wmi", any case.
bool IsWmiNamespace(const std::wstring& ns);

struct ObjectPath {
    std::wstring nameSpace;  // empty when the path has none
    std::wstring className;
    bool hasKey = false;
    std::wstring keyName;
    std::wstring keyValue;   // unescaped: a doubled backslash inside quotes is one backslash
};
// Accepts [namespace:]Class[.Key="value"]; false on any syntax error.
bool ParseObjectPath(const wchar_t* text, ObjectPath* out);

// "SELECT * FROM Class" with any spacing and keyword case; false for anything else.
bool ParseSelectAll(const wchar_t* query, std::wstring* className);

// Decimal text of a value as the emulator records numbers it did not get as text.
std::wstring DecimalText(long long value);

}  // namespace fwemu
