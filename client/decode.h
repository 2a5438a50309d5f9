// Names for the bits of the SystemEvent values, and the small text helpers of the output.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "client/registry.h"

namespace client {

// One name per set bit of `value`: the bit's name where it has one, else "bitN".
std::vector<std::string> BitNames(ValueId id, DWORD value);
// Bits that `before` -> `after` set ("+name") and cleared ("-name").
std::vector<std::string> FlippedBits(ValueId id, DWORD before, DWORD after);
// What a named bit means, for status; nullptr for unnamed bits.
const char* BitMeaning(ValueId id, int bit);

std::string Hex(DWORD value);                              // 0x0000abcd
std::string Join(const std::vector<std::string>& words);   // "a b c"
std::string JsonString(const std::string& text);           // quoted, escaped
std::string JsonList(const std::vector<std::string>& words);
std::string LocalTimestamp();                              // 2026-12-07T10:11:12.345

}  // namespace client
