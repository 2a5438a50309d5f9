// telvarin.exe's words on the command line; see console_output.h.
#include "service/console_output.h"

#include "common/protocol.h"
#include "common/win_raii.h"

namespace telvarin {

const char kUsageText[] =
    "Usage: telvarin.exe [SWITCH]\n"
    "The Telvarin service: it turns the notebook firmware's button events into values under\n"
    "HKLM\\" TELVARIN_KEY_ROOT " and client requests into firmware calls. With no switch\n"
    "it runs as the service. Only the service control manager starts it that way: started\n"
    "from a console, a script or a double-click, it changes nothing and exits with 1063.\n"
    "\n"
    "Switches (only the first argument counts; letters in any case):\n"
    "  -InstSvc           register the service " TELVARIN_SERVICE_NAME " (automatic start, depends on\n"
    "                     winmgmt) and its Application event source; an existing\n"
    "                     registration is pointed at this program\n"
    "  -UninstSvc         delete the service; a running service goes once it has stopped\n"
    "  -StartSvc          start the service unless it is running; does not wait for it\n"
    "  -StopSvc           ask the service to stop unless it is stopped; does not wait for it\n"
    "  --version          print the version\n"
    "  --help, -h, -?, /? print this text\n"
    "\n"
    "Exit codes:\n"
    "  0     done, or nothing to do; -UninstSvc, -StartSvc and -StopSvc exit 0 even when\n"
    "        the service control manager refused\n"
    "  1     -InstSvc: " TELVARIN_SERVICE_NAME " is not registered as this program\n"
    "  2     unknown switch; nothing was done\n"
    "  1063  no switch, and the service control manager did not start the process;\n"
    "        nothing was done (another failure of the service dispatcher exits with its\n"
    "        Windows error code)\n"
    "  1813  --version: this program has no readable version resource\n"
    "The service's own process exits with 0, or with 1 when its stop had to be forced.\n";

namespace {

constexpr char kProgram[] = "telvarin.exe";

// The console of the program that started this one, opened once: a GUI-subsystem program
// gets none of its own. Null when there is none (started from Explorer or by a service). Only
// the command line's one thread reaches it (the static has no guard in the service).
HANDLE ParentConsole() {
    static HANDLE console = [] {
        if (!AttachConsole(ATTACH_PARENT_PROCESS)) return HANDLE(nullptr);
        HANDLE opened = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        return opened == INVALID_HANDLE_VALUE ? HANDLE(nullptr) : opened;
    }();
    return console;
}

// Writes `text` to the standard handle `which` when the process was given one (redirected,
// piped, or under Wine the terminal it was started from), else to the parent's console.
void Write(DWORD which, const char* text) {
    HANDLE out = GetStdHandle(which);
    // A GUI program started from a console without redirection holds the parent's console
    // handle values, which mean nothing in this process: their type is unknown.
    if (!out || out == INVALID_HANDLE_VALUE || GetFileType(out) == FILE_TYPE_UNKNOWN) out = ParentConsole();
    if (!out) return;
    DWORD length = static_cast<DWORD>(lstrlenA(text)), written = 0;
    while (length > 0 && WriteFile(out, text, length, &written, nullptr) && written > 0) {
        text += written;
        length -= written;
    }
}

// The product version of the block's fixed part: VS_VERSIONINFO starts with three WORDs and
// L"VS_VERSION_INFO", padded to 32 bits; VS_FIXEDFILEINFO follows.
bool VersionFromResource(const BYTE* block, DWORD size, char* text) {
    constexpr DWORD kFixedOffset = (3 * sizeof(WORD) + sizeof(L"VS_VERSION_INFO") + 3) & ~3u;
    if (!block || size < kFixedOffset + sizeof(VS_FIXEDFILEINFO)) return false;
    VS_FIXEDFILEINFO fixed;
    CopyMemory(&fixed, block + kFixedOffset, sizeof fixed);
    if (fixed.dwSignature != VS_FFI_SIGNATURE) return false;
    wsprintfA(text, "%u.%u.%u", HIWORD(fixed.dwProductVersionMS), LOWORD(fixed.dwProductVersionMS),
              HIWORD(fixed.dwProductVersionLS));
    return true;
}

}  // namespace

int PrintUsage() {
    Write(STD_OUTPUT_HANDLE, kUsageText);
    return kExitDone;
}

int PrintVersion() {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(VS_VERSION_INFO), MAKEINTRESOURCEA(16) /* RT_VERSION */);
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const auto* block = static_cast<const BYTE*>(loaded ? LockResource(loaded) : nullptr);
    char version[40];
    if (!VersionFromResource(block, found ? SizeofResource(nullptr, found) : 0, version)) {
        char line[96];
        wsprintfA(line, "%s: this program has no readable version resource\n", kProgram);
        Write(STD_ERROR_HANDLE, line);
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
    char line[64];
    wsprintfA(line, "%s %s\n", kProgram, version);
    Write(STD_OUTPUT_HANDLE, line);
    return kExitDone;
}

int ReportUnknownSwitch(const char* argument) {
    // The argument is the caller's: cut short rather than overrun the line.
    char shown[64];
    lstrcpynA(shown, argument, sizeof shown);
    char line[160];
    wsprintfA(line, "%s: unknown switch '%s'; nothing was done (see telvarin.exe --help)\n", kProgram, shown);
    Write(STD_ERROR_HANDLE, line);
    return kExitUnknownSwitch;
}

int ReportNotStartedByManager(DWORD error) {
    char line[256];
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        wsprintfA(line,
                  "%s is the " TELVARIN_SERVICE_NAME " service: the service control manager starts it, and this "
                  "start changed nothing; use -InstSvc, -StartSvc, -StopSvc or -UninstSvc (see telvarin.exe --help)\n",
                  kProgram);
    else
        wsprintfA(line, "%s: the service dispatcher failed (error %lu); nothing was changed\n", kProgram, error);
    Write(STD_ERROR_HANDLE, line);
    return static_cast<int>(error);
}

}  // namespace telvarin
