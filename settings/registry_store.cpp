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
LSTATUS WriteDword(HKEY key, const char* valueName, DWORD value) {
    return RegSetValueExA(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}
}  // namespace

LSTATUS UpdateOpenedRegistryDword(HKEY key, const char* subkey, const char* valueName, DWORD value, int set, int toggle) {
    LSTATUS result = ERROR_KEY_DELETED;
    // Written even when unchanged: clients watching the key see every update.
    if (key) result = WriteDword(key, valueName, MergeRegistryDword(ReadRegistryDword(key, valueName), value, set, toggle));
    // Missing, or deleted between the open and the write (the write went nowhere): every missing
    // key on the path is created, and a new value starts from 0 in every mode.
    if (result != ERROR_KEY_DELETED) return result;
    win::RegKey created;
    result = telvarin::CreateProtocolKey(subkey, KEY_ALL_ACCESS, created);
    if (result != ERROR_SUCCESS) return result;
    return WriteDword(created.Get(), valueName, MergeRegistryDword(0, value, set, toggle));
}

LSTATUS UpdateRegistryDword(const char* subkey, const char* valueName, DWORD value, int set, int toggle) {
    win::RegKey key;
    const bool opened = telvarin::OpenProtocolKey(subkey, KEY_QUERY_VALUE | KEY_SET_VALUE, key) == ERROR_SUCCESS;
    return UpdateOpenedRegistryDword(opened ? key.Get() : nullptr, subkey, valueName, value, set, toggle);
}
