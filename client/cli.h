// Command-line plumbing of telvarin-client: exit codes, number parsing, messages.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace client {

// Documented in docs/protocol.md and in --help; scripts depend on them.
enum ExitCode : int {
    kExitOk = 0,           // done; for `request 0|1`: acknowledged
    kExitTimedOut = 1,     // `request 0|1`: no acknowledgement in time
    kExitUnhealthy = 1,    // `doctor`: at least one check failed
    kExitUsage = 2,        // bad command line; nothing was written
    kExitSystem = 3,       // registry or service manager failure (missing key, access denied, ...)
    kExitNoAck = 4,        // `request 17`: written; this request is never acknowledged
    kExitInterrupted = 5,  // `request 0|1`: Ctrl-C before the acknowledgement
};

// Unsigned 32-bit number in decimal or 0x hex, nothing else around it.
bool ParseU32(const std::string& text, DWORD& value);

// Arguments after the command name, split into options and positionals.
struct Args {
    bool help = false;
    bool json = false;
    bool hasTimeout = false;
    DWORD timeout = 0;
    std::vector<std::string> positional;
};

// Which options a command takes; anything else is a usage error.
struct Accepts {
    bool json;
    bool timeout;
    DWORD maxTimeout;
};

// Parses argv[first..argc). On failure, `error` says why (one line) and false is returned.
bool ParseArgs(int argc, char** argv, int first, const Accepts& accepts, Args& args, std::string& error);

// "telvarin-client: <message>" on stderr; returns `code` for a one-line `return Fail(...)`.
int Fail(int code, const std::string& message);
int UsageError(const std::string& message, const char* command);

// Text of a Win32 error code, without the trailing line break.
std::string ErrorText(LONG code);

}  // namespace client
