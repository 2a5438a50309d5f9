// Process entry of telvarin.exe. No argument: run as the service, which only the service control
// manager may start; a switch: one installation command, or the usage or the version. The exit
// codes are listed in the usage text (service/console_output.cpp).
#include <stdlib.h>

#include "service/console_output.h"
#include "service/fn_service.h"
#include "service/install.h"

// The one service object; its constructor points g_pService at it.
static CFnService g_service(SystemEventLog(), SystemServiceControl(), SystemComRuntime());

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    switch (const Command command = ParseCommand(__argc, __argv)) {
    case Command::RunService: return g_pService->Run();
    case Command::Help: return telvarin::PrintUsage();
    case Command::Version: return telvarin::PrintVersion();
    case Command::Unknown: return telvarin::ReportUnknownSwitch(__argv[1]);
    default: return RunCommand(command, g_pService->Log());
    }
}
