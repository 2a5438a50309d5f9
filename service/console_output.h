// What telvarin.exe tells a person or a script on the command line: its usage, its version, an
// unknown switch, a start that the service control manager did not make. telvarin.exe is a
// GUI-subsystem program, so it has no console of its own: it writes to its standard handles
// when it was given some (a pipe, a file), else to the console of the program that started it,
// and to nobody when there is none (a double-click).
#pragma once

#include <windows.h>

namespace telvarin {

// The process exit codes of the command line, besides -InstSvc's 1 (install.h).
constexpr int kExitDone = 0;
constexpr int kExitUnknownSwitch = 2;  // nothing was done; the same meaning as the tools' 2

// The usage text, exactly as --help prints it.
extern const char kUsageText[];

// --help: the usage on standard output; returns kExitDone.
int PrintUsage();
// --version: "telvarin.exe X.Y.Z" from the version resource of the running program, the same
// that Explorer and an installer read. Returns kExitDone, or ERROR_RESOURCE_TYPE_NOT_FOUND (1813)
// after a line on standard error when the program has no readable version resource.
int PrintVersion();
// A first argument that is no switch: one line on standard error; returns kExitUnknownSwitch.
int ReportUnknownSwitch(const char* argument);
// No switch, and the dispatcher refused the process (`error`, 1063 when no service control
// manager started it): one line on standard error; returns `error`, the exit code.
int ReportNotStartedByManager(DWORD error);

}  // namespace telvarin
