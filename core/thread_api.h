// Starting a thread and making an event, as a seam: the service uses the system's calls; unit
// tests fail them on purpose, to see that a part which cannot get its thread or its events says
// so and tries again instead of falling silent for the run.
#pragma once

#include <windows.h>

class ThreadApi {
public:
    virtual ~ThreadApi() = default;
    // CreateThread with the default stack: the thread's handle, or null with the last error set.
    virtual HANDLE StartThread(LPTHREAD_START_ROUTINE procedure, void* parameter) = 0;
    // CreateEventA of an unnamed manual-reset event, not signalled: null with the last error set.
    virtual HANDLE MakeEvent() = 0;
};

ThreadApi& SystemThreadApi();
