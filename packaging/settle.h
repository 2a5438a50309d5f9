// The setup helper's wait for the service Telvarin before files are replaced or the service is
// registered: stopped when asked, its own process ended, and no longer marked for deletion where
// a registration must follow. It waits only for what the service manager names as the service's:
// any user may start the installed program or hold the service open for status, and neither
// must hold up an install.
#pragma once

#include <windows.h>

namespace setup {

// One look at the service.
struct ServiceLook {
    bool exists = false;
    DWORD state = 0;      // SERVICE_STOPPED, SERVICE_RUNNING, ...
    DWORD processId = 0;  // the service's process, while the manager names one
    bool marked = false;  // marked for deletion: it goes once every handle to it is closed
};

// The service manager and the service's process as the settle sees them. A seam: Windows' manager
// refuses a stop while a service starts, Wine's passes it on, so tests play that manager.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    // False when the manager could not be asked this time.
    virtual bool Look(ServiceLook& look) = 0;
    // ERROR_SUCCESS when the service took the stop; else the manager's error.
    virtual DWORD SendStop() = 0;
    // Holds the process `id` that the manager has just named as the service's, so that its end
    // can be awaited after the manager stops naming it. False when the id no longer names it.
    virtual bool Follow(DWORD id) = 0;
    // For a service found stopped without a process named: holds what is left of it, the
    // service's program running as LocalSystem (no ordinary user can start one), if any.
    virtual void FollowLeftover() = 0;
    // Waits up to `ms` for the followed process to end; true when it has, or none is followed.
    virtual bool FollowedEnded(DWORD ms) = 0;
    virtual ULONGLONG Now() = 0;
    virtual void Pause(DWORD ms) = 0;
};

enum class Goal {
    Stopped,     // stopped and its process ended: its files can be replaced or removed
    Registrable  // not marked for deletion (a marked one is stopped and awaited): -InstSvc can register
};

// Looks at the service until `goal` holds, sending the stop again until the service takes it
// (for Goal::Stopped always; for Goal::Registrable only to a marked one). ERROR_SUCCESS, or
// after `boundMs`: ERROR_SERVICE_MARKED_FOR_DELETE when a stopped, marked service is still held
// open by someone, else ERROR_TIMEOUT.
DWORD Settle(ServiceManager& manager, Goal goal, DWORD boundMs);

}  // namespace setup
