// The setup helper's wait for the service (packaging/settle.h) against a service manager the
// test plays: Windows' manager refuses a stop while a service starts (Wine's passes it on), a
// process outlives STOPPED, a deleted service stays while someone else holds it open.
#include <doctest/doctest.h>

#include <algorithm>

#include "packaging/settle.h"

namespace {

constexpr DWORD kServicePid = 4242;
constexpr DWORD kBoundMs = 30000;

class PlayedService : public setup::ServiceManager {
public:
    // How it behaves.
    DWORD state = SERVICE_RUNNING;
    int startingLooks = 0;      // looks for which it is still starting (and refuses a stop)
    ULONGLONG exitDelayMs = 0;  // its process outlives STOPPED by this long
    bool marked = false;        // marked for deletion: goes once stopped, unless
    bool heldOpen = false;      // somebody else holds it open
    // What the settle did.
    int stopsSent = 0, stopsTaken = 0;
    bool leftoverSought = false;
    ULONGLONG now = 0, exitAt = 0;

    bool Look(setup::ServiceLook& look) override {
        if (state == SERVICE_START_PENDING && startingLooks-- <= 0) state = SERVICE_RUNNING;
        if (state == SERVICE_STOP_PENDING) {
            state = SERVICE_STOPPED;
            exitAt = now + exitDelayMs;
        }
        if (marked && !heldOpen && state == SERVICE_STOPPED && now >= exitAt) m_exists = false;
        look = setup::ServiceLook();
        look.exists = m_exists;
        look.state = state;
        look.processId = state == SERVICE_STOPPED ? 0 : kServicePid;
        look.marked = marked;
        return true;
    }
    DWORD SendStop() override {
        ++stopsSent;
        if (state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
        if (state != SERVICE_RUNNING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        ++stopsTaken;
        state = SERVICE_STOP_PENDING;
        return ERROR_SUCCESS;
    }
    bool Follow(DWORD id) override { return m_followed = id == kServicePid; }
    void FollowLeftover() override { leftoverSought = true; }
    bool FollowedEnded(DWORD ms) override {
        if (m_followed) now = std::max(now, std::min(now + ms, exitAt));
        return !m_followed || now >= exitAt;
    }
    ULONGLONG Now() override { return now; }
    void Pause(DWORD ms) override { now += ms; }

private:
    bool m_exists = true;
    bool m_followed = false;
};

}  // namespace

TEST_CASE("settle stop: a stop refused while the service starts is sent again until taken; its own process is awaited") {
    PlayedService service;
    service.state = SERVICE_START_PENDING;
    service.startingLooks = 5;
    service.exitDelayMs = 2000;
    CHECK(setup::Settle(service, setup::Goal::Stopped, kBoundMs) == ERROR_SUCCESS);
    CHECK(service.stopsSent == 6);
    CHECK(service.stopsTaken == 1);
    // Done only once the process the manager named has ended, and no other was looked for.
    CHECK(service.state == SERVICE_STOPPED);
    CHECK(service.now >= service.exitAt);
    CHECK(service.exitAt >= 2000);
    CHECK_FALSE(service.leftoverSought);

    PlayedService stopped;  // stopped by someone else already, its process no longer named
    stopped.state = SERVICE_STOPPED;
    CHECK(setup::Settle(stopped, setup::Goal::Stopped, kBoundMs) == ERROR_SUCCESS);
    CHECK((stopped.leftoverSought && stopped.stopsSent == 0 && stopped.now == 0));
}

TEST_CASE("settle: every wait ends at its bound; a deleted service that someone holds open is told apart") {
    PlayedService starting;  // never takes the stop
    starting.state = SERVICE_START_PENDING;
    starting.startingLooks = 1000000;
    CHECK(setup::Settle(starting, setup::Goal::Stopped, kBoundMs) == ERROR_TIMEOUT);
    CHECK((starting.now >= kBoundMs && starting.now < kBoundMs + 200));

    PlayedService running;  // a registration leaves a service that is not to be deleted alone
    CHECK(setup::Settle(running, setup::Goal::Registrable, kBoundMs) == ERROR_SUCCESS);
    CHECK((running.stopsSent == 0 && running.now == 0));

    PlayedService marked;  // a marked one is stopped, then goes
    marked.marked = true;
    marked.exitDelayMs = 500;
    CHECK(setup::Settle(marked, setup::Goal::Registrable, kBoundMs) == ERROR_SUCCESS);
    CHECK((marked.stopsTaken == 1 && marked.now < 1000));

    PlayedService held;  // a marked one that somebody else keeps open
    held.marked = held.heldOpen = true;
    CHECK(setup::Settle(held, setup::Goal::Registrable, kBoundMs) == ERROR_SERVICE_MARKED_FOR_DELETE);
    CHECK((held.now >= kBoundMs && held.now < kBoundMs + 200));
    // Its files are free, though: a removal need not wait for it to go.
    held.now = 0;
    CHECK(setup::Settle(held, setup::Goal::Stopped, kBoundMs) == ERROR_SUCCESS);
}
