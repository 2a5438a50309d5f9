// Process entry of telvarin.exe. No argument: run as the service; a switch: one installation
// command. The exit code is 0 in every mode.
#include <stdlib.h>

#include "core/fn_service.h"
#include "service/install.h"

// The one service object; its constructor points g_pService at it.
static CFnService g_service;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    Command command = ParseCommand(__argc, __argv);
    if (command == Command::RunService) {
        g_pService->Run();
    } else {
        RunCommand(command);
    }
    return 0;
}
