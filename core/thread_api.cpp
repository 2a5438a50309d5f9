#include "core/thread_api.h"

namespace {

class Win32ThreadApi final : public ThreadApi {
public:
    HANDLE StartThread(LPTHREAD_START_ROUTINE procedure, void* parameter) override {
        DWORD id = 0;
        return CreateThread(nullptr, 0, procedure, parameter, 0, &id);
    }
    HANDLE MakeEvent() override { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }
};

}  // namespace

ThreadApi& SystemThreadApi() {
    static Win32ThreadApi api;
    return api;
}
