// The command-line side of telvarin.exe: install, uninstall, start and stop the service.
#pragma once

enum class Command { RunService, Install, Uninstall, Start, Stop, Unknown };

// Only the first argument counts; it must match a switch whole, ignoring ASCII case.
Command ParseCommand(int argc, char** argv);
// Carries out one installation command; the result is not shown anywhere.
void RunCommand(Command command);

bool IsServiceInstalled();
bool InstallService();
bool UninstallService();
bool StartInstalledService();
bool StopInstalledService();
