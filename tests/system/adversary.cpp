// adversary: a client that writes at the worst moments, for the system tests. It speaks the
// registry protocol in-process, so its writes are milliseconds apart (a wine reg.exe per write
// would take a tenth of a second each).
//   adversary requests COUNT TIMEOUT_MS   back-to-back requests (bits 0, 1, 0, ...), each sent the
//                                         moment the previous acknowledgement shows
//   adversary pair GAP_MS TIMEOUT_MS      request 0, then request 1 GAP_MS later, while the first
//                                         is still being served; waits for both acknowledgements
//   adversary settings A B GAP_MS         CurrentSetting A, then B GAP_MS later
// Prints "key: value" lines; exit code 0 when all went as asked, 1 otherwise, 2 on bad usage.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/protocol.h"
#include "common/win_raii.h"

namespace {

bool Open(const char* path, REGSAM access, win::RegKey& key) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access | KEY_WOW64_32KEY, key.Receive()) == ERROR_SUCCESS;
}

DWORD Read(HKEY key, const char* name) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return 0;
    return value;
}

void Write(HKEY key, const char* name, DWORD value) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// The client side of the handshake: watch Notification, armed before any write.
class AnswerWatch {
public:
    bool Open() {
        m_event.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        return m_event && ::Open(TELVARIN_KEY_NOTIFICATION, KEY_NOTIFY | KEY_QUERY_VALUE, m_key) && Arm();
    }
    DWORD Answers() const { return Read(m_key.Get(), TELVARIN_VALUE_TYPE2); }
    // Waits until the answer bits in `mask` all differ from `before`; re-arms before each read.
    bool WaitForFlip(DWORD before, DWORD mask, DWORD timeoutMs) {
        const DWORD start = GetTickCount();
        for (;;) {
            if (((Answers() ^ before) & mask) == mask) return true;
            const DWORD spent = GetTickCount() - start;
            if (spent >= timeoutMs) return false;
            if (WaitForSingleObject(m_event.Get(), timeoutMs - spent) != WAIT_OBJECT_0) continue;
            ResetEvent(m_event.Get());
            if (!Arm()) return false;
        }
    }

private:
    bool Arm() {
        return RegNotifyChangeKeyValue(m_key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, m_event.Get(), TRUE) ==
               ERROR_SUCCESS;
    }
    win::RegKey m_key;
    win::UniqueHandle m_event;
};

void Invert(HKEY requests, DWORD bit) { Write(requests, TELVARIN_VALUE_TYPE2, Read(requests, TELVARIN_VALUE_TYPE2) ^ bit); }

int Requests(int count, DWORD timeoutMs) {
    AnswerWatch watch;
    win::RegKey requests;
    if (!watch.Open() || !Open(TELVARIN_KEY_STATUS_CONTROL, KEY_QUERY_VALUE | KEY_SET_VALUE, requests)) return 1;
    int acknowledged = 0;
    for (int i = 0; i < count; ++i) {
        const DWORD bit = (i % 2) ? TELVARIN_REQUEST_1 : TELVARIN_REQUEST_0;
        const DWORD before = watch.Answers();
        Invert(requests.Get(), bit);
        if (watch.WaitForFlip(before, bit, timeoutMs)) {
            ++acknowledged;
        } else {
            printf("lost-request: %d bit=0x%lx\n", i, bit);
        }
    }
    printf("sent: %d\nacknowledged: %d\nlost: %d\n", count, acknowledged, count - acknowledged);
    return acknowledged == count ? 0 : 1;
}

int Pair(DWORD gapMs, DWORD timeoutMs) {
    AnswerWatch watch;
    win::RegKey requests;
    if (!watch.Open() || !Open(TELVARIN_KEY_STATUS_CONTROL, KEY_QUERY_VALUE | KEY_SET_VALUE, requests)) return 1;
    const DWORD before = watch.Answers();
    Invert(requests.Get(), 0x1);
    Sleep(gapMs);  // the worst moment: the first request is inside the firmware call now
    Invert(requests.Get(), 0x2);
    const bool both = watch.WaitForFlip(before, 0x3, timeoutMs);
    const DWORD flipped = (watch.Answers() ^ before) & 0x3;
    printf("ack-0: %s\nack-1: %s\n", (flipped & 0x1) ? "yes" : "no", (flipped & 0x2) ? "yes" : "no");
    return both ? 0 : 1;
}

int Settings(DWORD first, DWORD second, DWORD gapMs) {
    win::RegKey key;
    if (!Open(TELVARIN_KEY_CURRENT_SETTING, KEY_SET_VALUE, key)) return 1;
    Write(key.Get(), "", first);
    Sleep(gapMs);
    Write(key.Get(), "", second);
    printf("written: 0x%08lX 0x%08lX\n", first, second);
    return 0;
}

DWORD Number(const char* text) { return strtoul(text, nullptr, 0); }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "requests") == 0) return Requests(atoi(argv[2]), Number(argv[3]));
    if (argc == 4 && strcmp(argv[1], "pair") == 0) return Pair(Number(argv[2]), Number(argv[3]));
    if (argc == 5 && strcmp(argv[1], "settings") == 0) return Settings(Number(argv[2]), Number(argv[3]), Number(argv[4]));
    fprintf(stderr, "usage: adversary requests COUNT TIMEOUT_MS | pair GAP_MS TIMEOUT_MS | settings A B GAP_MS\n");
    return 2;
}
