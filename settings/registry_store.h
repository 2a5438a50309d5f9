// Reading and updating the SystemEvent values. A client may write anything there, so a value
// that is absent, of another type than REG_DWORD, or of another size than 4 bytes reads as 0.
#pragma once

#include <windows.h>

DWORD ReadRegistryDword(HKEY key, const char* valueName);
// Opens `subkey` under HKEY_LOCAL_MACHINE for the read; a key that does not open reads as 0.
DWORD ReadRegistryDword(const char* subkey, const char* valueName);

// The value UpdateRegistryDword stores: set mode when `set` is 1, else toggle mode when `toggle`
// is 1, else OR mode.
DWORD MergeRegistryDword(DWORD current, DWORD value, int set, int toggle);
// The one update rule of the SystemEvent values: creates missing keys, writes even when unchanged.
// Returns the registry's error of the write (ERROR_SUCCESS once written).
LSTATUS UpdateRegistryDword(const char* subkey, const char* valueName, DWORD value, int set, int toggle);
// The same on `key`, `subkey` opened already for query and set (null: it did not open): a key
// deleted since it was opened is created again and the value written there, from 0.
LSTATUS UpdateOpenedRegistryDword(HKEY key, const char* subkey, const char* valueName, DWORD value, int set, int toggle);
