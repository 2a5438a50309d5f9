// Process entry of telvarin.exe. No argument: run as the service; a switch: one installation
// command. The exit code is 0, but for an -InstSvc that left another registration or none (1).
#include <stdlib.h>

#include "service/fn_service.h"
#include "service/install.h"

// The one service object; its constructor points g_pService at it.
static CFnService g_service(SystemEventLog(), SystemServiceControl());

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    Command command = ParseCommand(__argc, __argv);
    if (command == Command::RunService) {
        g_pService->Run();
        return 0;
    }
    return RunCommand(command, g_pService->Log());
}
