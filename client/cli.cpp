#include "client/cli.h"

#include "client/lib/telvarin_client.h"

namespace client {

bool ParseArgs(int argc, char** argv, int first, const Accepts& accepts, Args& args, std::string& error) {
    // --help wins over everything else on the line, so a half-typed command can still ask.
    for (int i = first; i < argc; ++i) {
        if (console::IsHelp(argv[i])) {
            args.help = true;
            return true;
        }
    }
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        std::string timeoutText;
        bool isTimeout = false;
        if (arg == "--json" && accepts.json) {
            args.json = true;
            continue;
        }
        if (arg == "--timeout" && accepts.timeout) {
            if (i + 1 >= argc) {
                error = "--timeout needs a value";
                return false;
            }
            timeoutText = argv[++i];
            isTimeout = true;
        } else if (arg.compare(0, 10, "--timeout=") == 0 && accepts.timeout) {
            timeoutText = arg.substr(10);
            isTimeout = true;
        }
        if (isTimeout) {
            DWORD value = 0;
            if (!console::ParseU32(timeoutText, &value) || value > accepts.maxTimeout) {
                error = "bad timeout '" + timeoutText + "' (0 to " + std::to_string(accepts.maxTimeout) + ")";
                return false;
            }
            args.hasTimeout = true;
            args.timeout = value;
            continue;
        }
        // "-5" is a bad number rather than an unknown option.
        if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
            error = "unknown option '" + arg + "'";
            return false;
        }
        args.positional.push_back(arg);
    }
    return true;
}

std::string ErrorText(LONG code, const char* key) {
    char text[512];
    return telvarin_error_text(code, key, text, sizeof text);
}

}  // namespace client
