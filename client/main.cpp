// telvarin-client: a console client of the Telvarin service's registry interface.
#include <cstdio>
#include <cstring>

#include "client/cli.h"
#include "common/protocol.h"
#include "client/commands.h"
#include "client/doctor.h"
#include "telvarin_version.h"

namespace {

constexpr char kExitCodes[] =
    "Exit codes (0 to 3 mean the same for fwemu-ctl):\n"
    "  0  done (request 0|1: acknowledged; watch: its time-out or Ctrl-C ended it)\n"
    "  1  the answer is no: request 0|1 got no acknowledgement in time (service not\n"
    "     running or not ready, firmware call failed, or request absorbed by another\n"
    "     bit's request); request, setting set: another client held the client lock\n"
    "     for the whole wait, nothing was written; doctor: at least one check failed\n"
    "  2  bad command line; nothing was written\n"
    "  3  registry or service manager error (key missing, access denied, ...)\n"
    "  4  request 17: sent; this request is never acknowledged\n"
    "  5  request: interrupted by Ctrl-C, while waiting for the client lock (nothing\n"
    "     was written) or, for request 0|1, for the acknowledgement (the request was\n"
    "     written and may still be served)\n";

constexpr char kToolHelp[] =
    "Usage: telvarin-client COMMAND [OPTIONS]\n"
    "Reads and writes the Telvarin service's values under HKLM\\" TELVARIN_KEY_ROOT "\n"
    "(in the 32-bit registry view, where the service keeps them).\n"
    "\n"
    "Commands:\n"
    "  status [--json]                   the service's state and the six values, decoded\n"
    "  watch [--timeout S] [--json]      print each change of Notification \"\" and \"Type2\"\n"
    "  request 0|1|17 [--timeout MS] [--json]\n"
    "                                    send a request through StatusControl \"Type2\"\n"
    "  setting get | setting set VALUE   read or write CurrentSetting \"\"\n"
    "  doctor [--json]                   check the installation; exit code 0 when healthy\n"
    "\n"
    "COMMAND --help describes one command. --help (also -h, /? or help) alone prints this\n"
    "text; --version prints the version of this tool. --timeout N may be written\n"
    "--timeout=N.\n"
    "\n";

constexpr char kStatusHelp[] =
    "Usage: telvarin-client status [--json]\n"
    "Shows whether the Telvarin service is installed and running, and the six values with\n"
    "their bits by name. A value that is absent or not a 4-byte REG_DWORD reads as 0, as the\n"
    "service reads it, and is shown as \"absent\" or \"not a DWORD\"; a missing key as\n"
    "\"key missing\", any other failure as \"unreadable\". Exit code 0 whatever it finds\n"
    "(2: bad command line).\n"
    "  --json  one JSON object: {\"service\": {\"name\", \"installed\", \"running\", \"state\"},\n"
    "          \"values\": {\"Notification\": {\"key\", \"name\", \"state\", \"value\", \"bits\"}, ...}}\n";

constexpr char kWatchHelp[] =
    "Usage: telvarin-client watch [--timeout S] [--json]\n"
    "Prints a \"watching ...\" line once armed, then one line per change of Notification \"\"\n"
    "(event bits) or Notification \"Type2\" (answers), with a timestamp and the bits that\n"
    "flipped (+set, -cleared). Changes that follow each other closely can merge into one line.\n"
    "Ctrl-C ends it (exit code 0); so does the time-out. Exit code 3 when the Notification\n"
    "key is missing, or when reading it fails later (the key was deleted).\n"
    "  --timeout S  end after S seconds, 0 to 4294967 (exit code 0)\n"
    "  --json       one JSON object per line: first {\"type\": \"armed\", \"time\", \"key\",\n"
    "               \"Notification\", \"Notification.Type2\"}, then per change {\"type\": \"change\",\n"
    "               \"time\", \"value\", \"old\", \"new\", \"flipped\"}\n";

constexpr char kRequestHelp[] =
    "Usage: telvarin-client request 0|1|17 [--timeout MS] [--json]\n"
    "Inverts that bit of StatusControl \"Type2\" and waits for the service to invert the same\n"
    "bit of Notification \"Type2\", then prints the answer: bit 16 (state A) for request 0,\n"
    "bit 17 (device B) for request 1 (exit code 0). Request 17 is never acknowledged: it\n"
    "returns 100 ms after the write, with exit code 4, and holds the client lock until then\n"
    "so that the next client's request does not reach the service together with it.\n"
    "First it waits for the client lock, by which the programs that use the Telvarin client\n"
    "library take turns (exit code 1 when another one held it for the whole time-out; nothing\n"
    "is written then). The request is written once: run the tool again to retry it.\n"
    "The service serves one changed bit per change, in the order 0, 1, 17: a program that\n"
    "writes StatusControl itself must not send two requests at once.\n"
    "Exit codes: 0 acknowledged, 1 no acknowledgement in time or the lock stayed taken,\n"
    "3 registry error, 4 request 17 sent, 5 Ctrl-C (telvarin-client --help says more).\n"
    "  --timeout MS  how long to wait for the client lock, and then for the acknowledgement\n"
    "                (default 5000; 0 to 4294967294)\n"
    "  --json        print the result as one JSON object: {\"request\", \"result\"} and\n"
    "                \"acknowledged\" with \"answer_bit\", \"answer\", \"Notification.Type2\";\n"
    "                \"timeout\" with \"timeout_ms\"; \"sent\" with \"StatusControl.Type2\"\n";

constexpr char kSettingHelp[] =
    "Usage: telvarin-client setting get\n"
    "       telvarin-client setting set VALUE\n"
    "Reads or writes CurrentSetting \"\", the settings word the service sends (inverted) to\n"
    "the firmware on every change. VALUE is 0 to 4294967295, decimal or 0x hex.\n"
    "get prints the value in hex, followed by \"(absent)\" or \"(not a DWORD)\" when it reads\n"
    "as 0 for that reason. set waits up to 15 s for the client lock (exit code 1 when\n"
    "another client held it that long; nothing is written then).\n"
    "The service resets it to 0x01800014 at each start: write it again after a restart.\n"
    "Exit codes: 0 done, 1 the lock stayed taken, 3 registry error (key missing, access\n"
    "denied, ...).\n";

struct Command {
    const char* name;
    client::Accepts accepts;
    const char* help;
    int (*run)(const client::Args&);
};

const Command kCommands[] = {
    {"status", {true, false, 0}, kStatusHelp, client::RunStatus},
    {"watch", {true, true, 4294967}, kWatchHelp, client::RunWatch},  // seconds that fit a DWORD of ms
    {"request", {true, true, 0xFFFFFFFE}, kRequestHelp, client::RunRequest},
    {"setting", {false, false, 0}, kSettingHelp, client::RunSetting},
    {"doctor", {true, false, 0}, client::kDoctorHelp, client::RunDoctor},
};

void PrintHelp(const char* text, bool withExitCodes) {
    std::fputs(text, stdout);
    if (withExitCodes) std::fputs(kExitCodes, stdout);
}

}  // namespace

int main(int argc, char** argv) {
    console::SetToolName("telvarin-client");
    if (argc < 2) return client::UsageError("missing command", nullptr);
    const char* name = argv[1];
    if (console::IsHelp(name) || !std::strcmp(name, "help")) {
        PrintHelp(kToolHelp, true);
        return client::kExitOk;
    }
    if (!std::strcmp(name, "--version")) {
        std::puts("telvarin-client " TELVARIN_VERSION_TEXT);
        return client::kExitOk;
    }
    for (const Command& command : kCommands) {
        if (std::strcmp(name, command.name) != 0) continue;
        client::Args args;
        std::string error;
        if (!client::ParseArgs(argc, argv, 2, command.accepts, args, error))
            return client::UsageError(error, command.name);
        if (args.help) {
            std::fputs(command.help, stdout);
            return client::kExitOk;
        }
        return command.run(args);
    }
    return client::UsageError(std::string("unknown command '") + name + "'", nullptr);
}
