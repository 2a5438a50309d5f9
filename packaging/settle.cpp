#include "packaging/settle.h"

namespace setup {

DWORD Settle(ServiceManager& manager, Goal goal, DWORD boundMs) {
    const ULONGLONG deadline = manager.Now() + boundMs;
    DWORD followed = 0;         // the service's process being followed
    bool leftoverSought = false;
    bool stopTaken = false;
    DWORD stopTakenBy = 0;      // the process that took it: one started later needs its own stop
    bool stoppedAndEnded = false;
    ServiceLook look;
    for (;;) {
        stoppedAndEnded = false;
        if (manager.Look(look)) {
            if (!look.exists) return ERROR_SUCCESS;
            if (look.processId && look.processId != followed && manager.Follow(look.processId)) followed = look.processId;
            if (look.state == SERVICE_STOPPED) {
                if (!followed && !leftoverSought) {
                    manager.FollowLeftover();
                    leftoverSought = true;
                }
                const ULONGLONG now = manager.Now();
                stoppedAndEnded = manager.FollowedEnded(now < deadline ? static_cast<DWORD>(deadline - now) : 0);
                if (stoppedAndEnded && (goal == Goal::Stopped || !look.marked)) return ERROR_SUCCESS;
            } else if (look.state != SERVICE_STOP_PENDING) {
                // Running, starting or paused: a registration needs it stopped only when it is to go.
                if (goal == Goal::Registrable && !look.marked) return ERROR_SUCCESS;
                // A refused stop (a starting service refuses it) is sent again at the next look.
                if (!stopTaken || look.processId != stopTakenBy) {
                    const DWORD error = manager.SendStop();
                    stopTaken = error == ERROR_SUCCESS || error == ERROR_SERVICE_NOT_ACTIVE;
                    stopTakenBy = look.processId;
                }
            }
        }
        if (manager.Now() >= deadline)
            return stoppedAndEnded && look.marked ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_TIMEOUT;
        manager.Pause(100);
    }
}

}  // namespace setup
