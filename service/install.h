// The command-line side of telvarin.exe: install, uninstall, start and stop the service.
#pragma once

enum class Command { RunService, Install, Uninstall, Start, Stop, Unknown };

// Only the first argument counts; it must match a switch whole, ignoring ASCII case.
Command ParseCommand(int argc, char** argv);
// Carries out one installation command; returns the process exit code: 0, but 1 for an
// -InstSvc after which Telvarin is not registered as this program (the creation failed, or
// another program is registered under the name), so that an installer can see it.
int RunCommand(Command command);

bool IsServiceInstalled();
// Whether Telvarin is registered with this executable as its image path (quoted or not).
bool IsRegisteredAsThisProgram();
bool InstallService();
bool UninstallService();
bool StartInstalledService();
bool StopInstalledService();
