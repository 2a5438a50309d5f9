// The command-line side of telvarin.exe: install, uninstall, start and stop the service.
#pragma once

#include "core/service_log.h"

enum class Command { RunService, Install, Uninstall, Start, Stop, Help, Version, Unknown };

// Only the first argument counts; it must match a switch whole, ignoring ASCII case.
Command ParseCommand(int argc, char** argv);
// Carries out one installation command, reporting to `log`; returns the process exit code: 0, but
// 1 for an -InstSvc after which Telvarin is not registered as this program (the creation or the
// repair failed, or the registration is marked for deletion), so that an installer can see it.
int RunCommand(Command command, ServiceLog& log);

bool IsServiceInstalled();
bool InstallService(ServiceLog& log);
// For -InstSvc on a service that exists: brings a registration that differs from InstallService's
// (image path, type, start, error control) back to it and reports event 100; one that matches is
// left alone; one marked for deletion fails. The event source's values are written again either
// way. This is what lets a repair of the MSI fix an image path that names another folder, and an
// upgrade keep the registration the old version made.
bool RepairService(ServiceLog& log);
bool UninstallService(ServiceLog& log);
bool StartInstalledService();
bool StopInstalledService();
