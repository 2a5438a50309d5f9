// Command-line plumbing of telvarin-client: its exit codes and option parsing.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/console.h"

namespace client {

// Documented in docs/protocol.md and in --help; scripts depend on them. 0 to 3 mean what they
// mean for every tool (common/console.h).
enum ExitCode : int {
    kExitOk = console::kExitOk,                // done; for `request 0|1`: acknowledged
    kExitTimedOut = console::kExitNegative,    // `request 0|1`: no acknowledgement in time; `request`,
                                               // `setting set`: the client lock stayed taken
    kExitUnhealthy = console::kExitNegative,   // `doctor`: at least one check failed
    kExitUsage = console::kExitUsage,          // bad command line; nothing was written
    kExitSystem = console::kExitEnvironment,   // registry or service manager failure
    kExitNoAck = 4,                            // `request 17`: written; never acknowledged
    kExitInterrupted = 5,                      // `request`: Ctrl-C while waiting for the lock, or (0|1) for the acknowledgement
};

using console::Fail;
using console::UsageError;

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

// One line for a status of the client library; `key` names the key it concerns.
std::string ErrorText(LONG code, const char* key = nullptr);

}  // namespace client
