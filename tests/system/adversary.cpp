// adversary: a client that writes at the worst moments, for the system tests. It runs in one
// process, so its writes are milliseconds apart (a wine reg.exe per write would take a tenth of
// a second each), and it speaks the protocol through the client library.
//   adversary requests COUNT TIMEOUT_MS [FIRST]
//                                         back-to-back requests (0, 1, 0, ... or from FIRST on), each
//                                         sent the moment the previous acknowledgement shows; one
//                                         "answer: REQUEST ON" line per acknowledgement, in order
//   adversary pair GAP_MS TIMEOUT_MS      request 0, then request 1 GAP_MS later, while the first
//                                         is still being served; waits for both acknowledgements
//   adversary settings A B GAP_MS         CurrentSetting A, then B GAP_MS later
//   adversary squat NAME...               creates and holds a mutex of each name, with the security
//                                         a standard user's process gives it; "held: NAME" each,
//                                         then "squatting: N", and holds them until killed
//   adversary obstruct EXE SERVICE        what any user may do to an installer: starts EXE suspended
//                                         and holds SERVICE open for status; "suspended: PID" and
//                                         "holding: SERVICE", then keeps both until its input ends,
//                                         and ends the suspended copy then
// Prints "key: value" lines; exit code 0 when all went as asked, 1 otherwise, 2 on bad usage.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client/lib/telvarin_client.h"
#include "common/protocol_key.h"
#include "common/win_raii.h"

namespace {

int Requests(int count, DWORD timeoutMs, int first) {
    int acknowledged = 0;
    for (int i = 0; i < count; ++i) {
        const int request = (first + i) % 2;
        telvarin_answer answer{};
        // One attempt each: a loss must show, not be retried away.
        const long status = telvarin_request(request, timeoutMs, 1, nullptr, &answer);
        if (status == TELVARIN_OK) {
            ++acknowledged;
            printf("answer: %d %d\n", request, answer.on);
        } else {
            printf("lost-request: %d request=%d status=%ld\n", i, request, status);
        }
    }
    printf("sent: %d\nacknowledged: %d\nlost: %d\n", count, acknowledged, count - acknowledged);
    return acknowledged == count ? 0 : 1;
}

// Inverts one request bit in place, as a client does: read, invert, write.
bool Invert(HKEY requests, DWORD bit) {
    telvarin_reading current{};
    if (telvarin_read_dword(requests, TELVARIN_VALUE_TYPE2, &current) != TELVARIN_OK) return false;
    const DWORD value = current.value ^ bit;
    return RegSetValueExA(requests, TELVARIN_VALUE_TYPE2, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

int Pair(DWORD gapMs, DWORD timeoutMs) {
    win::RegKey requests;
    if (telvarin::OpenProtocolKey(TELVARIN_KEY_STATUS_CONTROL, KEY_QUERY_VALUE | KEY_SET_VALUE, requests) != ERROR_SUCCESS)
        return 1;
    telvarin_watch* watch = nullptr;
    telvarin_notification before{}, now{};
    if (telvarin_watch_open(&watch, &before) != TELVARIN_OK) return 1;
    const DWORD both = TELVARIN_ACK_0 | TELVARIN_ACK_1;
    bool written = Invert(requests.Get(), TELVARIN_REQUEST_0);
    Sleep(gapMs);  // the worst moment: the first request is inside the firmware call now
    written = written && Invert(requests.Get(), TELVARIN_REQUEST_1);
    now = before;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (written && ((now.answers ^ before.answers) & both) != both) {
        const ULONGLONG left = deadline > GetTickCount64() ? deadline - GetTickCount64() : 0;
        if (telvarin_watch_next(watch, static_cast<DWORD>(left), nullptr, &now) != TELVARIN_OK) break;
    }
    telvarin_watch_close(watch);
    const DWORD flipped = (now.answers ^ before.answers) & both;
    printf("ack-0: %s\nack-1: %s\n", (flipped & TELVARIN_ACK_0) ? "yes" : "no", (flipped & TELVARIN_ACK_1) ? "yes" : "no");
    return flipped == both ? 0 : 1;
}

int Settings(DWORD first, DWORD second, DWORD gapMs) {
    if (telvarin_write_setting(first) != TELVARIN_OK) return 1;
    Sleep(gapMs);
    if (telvarin_write_setting(second) != TELVARIN_OK) return 1;
    printf("written: 0x%08lX 0x%08lX\n", first, second);
    return 0;
}

int Squat(int count, char** names) {
    int held = 0;
    for (int i = 0; i < count; ++i) {
        // Leaked on purpose: held until the process is killed.
        HANDLE mutex = CreateMutexA(nullptr, TRUE, names[i]);
        if (mutex && GetLastError() != ERROR_ALREADY_EXISTS) {
            ++held;
            printf("held: %s\n", names[i]);
        } else {
            printf("not-held: %s error=%lu\n", names[i], GetLastError());
        }
    }
    printf("squatting: %d\n", held);
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

int Obstruct(const char* exe, const char* name) {
    char commandLine[MAX_PATH + 3];
    wsprintfA(commandLine, "\"%s\"", exe);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(exe, commandLine, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &started)) {
        printf("not-started: %s error=%lu\n", exe, GetLastError());
        return 1;
    }
    win::UniqueHandle process(started.hProcess), thread(started.hThread);
    printf("suspended: %lu\n", started.dwProcessId);
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::ServiceHandle service(manager ? OpenServiceA(manager.Get(), name, SERVICE_QUERY_STATUS) : nullptr);
    if (!service) {
        printf("not-holding: %s error=%lu\n", name, GetLastError());
        TerminateProcess(process.Get(), 1);
        return 1;
    }
    printf("holding: %s\n", name);
    fflush(stdout);
    char byte;
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read) {
    }
    TerminateProcess(process.Get(), 0);
    return 0;
}

DWORD Number(const char* text) { return strtoul(text, nullptr, 0); }

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 4 || argc == 5) && strcmp(argv[1], "requests") == 0)
        return Requests(atoi(argv[2]), Number(argv[3]), argc == 5 ? atoi(argv[4]) : 0);
    if (argc == 4 && strcmp(argv[1], "pair") == 0) return Pair(Number(argv[2]), Number(argv[3]));
    if (argc == 5 && strcmp(argv[1], "settings") == 0) return Settings(Number(argv[2]), Number(argv[3]), Number(argv[4]));
    if (argc >= 3 && strcmp(argv[1], "squat") == 0) return Squat(argc - 2, argv + 2);
    if (argc == 4 && strcmp(argv[1], "obstruct") == 0) return Obstruct(argv[2], argv[3]);
    fprintf(stderr, "usage: adversary requests COUNT TIMEOUT_MS [FIRST] | pair GAP_MS TIMEOUT_MS | settings A B GAP_MS | squat NAME... | obstruct EXE SERVICE\n");
    return 2;
}
