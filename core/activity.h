// What each of the service's threads is in at the moment, for the one report of a stop that does
// not finish in time: that report names the call that holds it up.
#pragma once

#include <windows.h>

class ActivityBoard {
public:
    static constexpr int kThreads = 4;

    // The calling thread is followed under `name` ("the worker") until it leaves; a thread that
    // has not joined (or finds every slot taken) is simply not followed.
    void Join(const char* name);
    void Leave();
    // Names the call the calling thread is in now (nullptr: none); returns the one before.
    const char* Enter(const char* call);
    // "the worker is in X; the StatusControl watcher is in Y", or "" when nobody is in a call.
    void Describe(char* text, int size) const;

private:
    struct Slot {
        volatile LONG threadId;
        const char* volatile name;
        const char* volatile call;
    };
    Slot* Own();
    Slot m_slots[kThreads] = {};
};

// Names a call for the scope.
class Doing {
public:
    Doing(ActivityBoard& board, const char* call) : m_board(board), m_previous(board.Enter(call)) {}
    ~Doing() { m_board.Enter(m_previous); }
    Doing(const Doing&) = delete;
    Doing& operator=(const Doing&) = delete;

private:
    ActivityBoard& m_board;
    const char* m_previous;
};
