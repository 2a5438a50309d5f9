// Reading one SystemEvent value. Clients may write anything there, so the one rule of the
// protocol applies to every reader: a value that is absent, of another type than REG_DWORD or
// of another size than 4 bytes reads as 0. The service, the client library and the tools use
// this one definition of it.
#pragma once

#include <windows.h>

namespace telvarin {

enum class DwordRead { Ok, Absent, NotDword, Failed };

// Stores the value, or 0 for anything but Ok; `error` (optional) receives RegQueryValueExA's
// result. A registry read returns its error: the last error is not consulted.
inline DwordRead ReadDwordValue(HKEY key, const char* name, DWORD& value, LSTATUS* error = nullptr) {
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof data;
    const LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (error) *error = status;
    value = 0;
    if (status == ERROR_FILE_NOT_FOUND) return DwordRead::Absent;
    // ERROR_MORE_DATA (a longer value) may have filled the buffer partly: never a value.
    if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof data)))
        return DwordRead::NotDword;
    if (status != ERROR_SUCCESS) return DwordRead::Failed;
    value = data;
    return DwordRead::Ok;
}

}  // namespace telvarin
