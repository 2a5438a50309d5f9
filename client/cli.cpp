#include "client/cli.h"

#include <cstdio>
#include <cstdlib>

namespace client {

bool ParseU32(const std::string& text, DWORD& value) {
    size_t start = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        start = 2;
        base = 16;
    }
    if (start >= text.size() || text.size() - start > 10) return false;
    unsigned long long result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        result = result * base + digit;
        if (result > 0xFFFFFFFFull) return false;
    }
    value = static_cast<DWORD>(result);
    return true;
}

bool ParseArgs(int argc, char** argv, int first, const Accepts& accepts, Args& args, std::string& error) {
    // --help wins over everything else on the line, so a half-typed command can still ask.
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "/?") {
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
            if (!ParseU32(timeoutText, value) || value > accepts.maxTimeout) {
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

int Fail(int code, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "telvarin-client: %s\n", message.c_str());
    return code;
}

int UsageError(const std::string& message, const char* command) {
    std::string help = command ? std::string("telvarin-client ") + command + " --help" : "telvarin-client --help";
    return Fail(kExitUsage, message + " (see " + help + ")");
}

std::string ErrorText(LONG code) {
    char buffer[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r' || buffer[length - 1] == ' '))
        buffer[--length] = '\0';
    std::string text = length ? buffer : "error";
    return text + " (" + std::to_string(code) + ")";
}

}  // namespace client
