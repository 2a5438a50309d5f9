// The SystemEvent registry store: reading a value, and the one update rule.
#include "settings/registry_store.h"

#include "common/protocol_key.h"
#include "common/registry_dword.h"
#include "common/win_raii.h"

DWORD ReadRegistryDword(HKEY key, const char* valueName) {
    DWORD value = 0;
    telvarin::ReadDwordValue(key, valueName, value);
    return value;
}

DWORD ReadRegistryDword(const char* subkey, const char* valueName) {
    win::RegKey key;
    if (telvarin::OpenProtocolKey(subkey, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return 0;
    return ReadRegistryDword(key.Get(), valueName);
}

DWORD MergeRegistryDword(DWORD current, DWORD value, int set, int toggle) {
    if (set == 1) return value;
    if (toggle == 1) return (current & value) == value ? (current & ~value) : (current | value);
    return current | value;
}

namespace {
void WriteDword(HKEY key, const char* valueName, DWORD value) {
    RegSetValueExA(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}
}  // namespace

void UpdateRegistryDword(const char* subkey, const char* valueName, DWORD value, int set, int toggle) {
    win::RegKey key;
    if (telvarin::OpenProtocolKey(subkey, KEY_QUERY_VALUE | KEY_SET_VALUE, key) == ERROR_SUCCESS) {
        DWORD current = ReadRegistryDword(key.Get(), valueName);
        // Written even when unchanged: clients watching the key see every update.
        WriteDword(key.Get(), valueName, MergeRegistryDword(current, value, set, toggle));
        return;
    }
    // Creates every missing key on the path; a new value starts from 0 in every mode.
    if (telvarin::CreateProtocolKey(subkey, KEY_ALL_ACCESS, key) != ERROR_SUCCESS) return;
    WriteDword(key.Get(), valueName, MergeRegistryDword(0, value, set, toggle));
}
