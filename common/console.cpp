#include "common/console.h"

#include <cstdio>

namespace console {

namespace {
const char* g_tool = "telvarin";
}

void SetToolName(const char* name) { g_tool = name; }

int Fail(int code, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", g_tool, message.c_str());
    return code;
}

int UsageError(const std::string& message, const char* command) {
    std::string help = std::string(g_tool) + (command ? std::string(" ") + command : "") + " --help";
    return Fail(kExitUsage, message + " (see " + help + ")");
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "/?"; }

bool ParseNumber(const std::string& text, long long min, long long max, long long* value, bool hex) {
    const bool negative = !text.empty() && text[0] == '-' && min < 0;
    const bool isHex = hex && !negative && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const unsigned base = isHex ? 16 : 10;
    size_t i = isHex ? 2 : negative ? 1 : 0;
    if (i >= text.size()) return false;
    // The magnitude never needs more than 33 bits; stopping there keeps the sum from overflowing.
    unsigned long long magnitude = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (isHex && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (isHex && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return false;
        magnitude = magnitude * base + digit;
        if (magnitude > 0x1FFFFFFFFull) return false;
    }
    long long result = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (result < min || result > max) return false;
    *value = result;
    return true;
}

bool ParseU32(const std::string& text, DWORD* value) {
    long long number = 0;
    if (!ParseNumber(text, 0, 0xFFFFFFFFll, &number)) return false;
    *value = static_cast<DWORD>(number);
    return true;
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

}  // namespace console
