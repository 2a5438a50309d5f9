// The console convention of Telvarin's tools (telvarin-client, fwemu-ctl): exit codes, messages,
// --help, numbers on the command line and JSON output.
#pragma once

#include <windows.h>

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace console {

// The same outcome has the same code in every tool; each tool's --help lists the codes it uses.
enum ExitCode : int {
    kExitOk = 0,           // done
    kExitNegative = 1,     // ran, and the answer is no (no acknowledgement, a check failed)
    kExitUsage = 2,        // bad command line; nothing was changed
    kExitEnvironment = 3,  // the machine said no: registry, service manager, state file, access
};

// The running tool's name, the first word of its messages and of its usage text.
void SetToolName(const char* name);

// "<tool>: <message>" on stderr (stdout flushed first); returns `code`, for `return Fail(...)`.
int Fail(int code, const std::string& message);
// A usage error that points at --help: "<tool>: <message> (see <tool> [command] --help)".
int UsageError(const std::string& message, const char* command = nullptr);
// --help, -h and /? ask for help wherever they stand.
bool IsHelp(const std::string& arg);

// An integer in decimal (a leading '-' allowed when `min` < 0) or, with `hex`, 0x hex, with
// nothing around it, from `min` to `max`.
bool ParseNumber(const std::string& text, long long min, long long max, long long* value, bool hex = true);
// 0 to 4294967295, decimal or 0x hex.
bool ParseU32(const std::string& text, DWORD* value);

std::string Hex(DWORD value);  // 0x0000ABCD

// Compact JSON that is always valid: control characters escaped, bytes that are not UTF-8
// replaced, so recorded text of any kind keeps each record on one parseable line.
std::string JsonText(const nlohmann::ordered_json& value);

}  // namespace console
