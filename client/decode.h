// Names for the bits of the SystemEvent values, and the small text helpers of the output.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "client/lib/telvarin_client.h"

namespace client {

// One name per set bit of `value`: the bit's name where it has one, else "bitN".
std::vector<std::string> BitNames(telvarin_value_id id, DWORD value);
// Bits that `before` -> `after` set ("+name") and cleared ("-name").
std::vector<std::string> FlippedBits(telvarin_value_id id, DWORD before, DWORD after);
// What a named bit means, for status; nullptr for unnamed bits.
const char* BitMeaning(telvarin_value_id id, DWORD mask);

// Notification "Type2", as people read it.
std::string Title(const telvarin_value_info& info);
// "HKLM\" followed by the key path
std::string DisplayPath(const char* key);
const char* StateName(telvarin_read_state state);          // "ok", "absent", "not a DWORD", ...
std::string Join(const std::vector<std::string>& words);   // "a b c"
std::string LocalTimestamp();                              // 2026-12-07T10:11:12.345

}  // namespace client
