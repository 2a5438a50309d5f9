// The client library against the SystemEvent keys of this prefix, with a thread that plays the
// service and threads that play other clients; and the console helpers the tools share.
#include <doctest/doctest.h>

#include <aclapi.h>
#include <sddl.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/lib/client_lock.h"
#include "common/client_lock_name.h"
#include "client/lib/telvarin_client.h"
#include "common/console.h"
#include "common/protocol_key.h"
#include "common/win_raii.h"
#include "service/client_lock_host.h"
#include "tests/unit/test_support.h"

using namespace testing;

namespace {

constexpr char kControl[] = TELVARIN_KEY_STATUS_CONTROL;
constexpr char kNotification[] = TELVARIN_KEY_NOTIFICATION;
constexpr char kSetting[] = TELVARIN_KEY_CURRENT_SETTING;

// True when this thread could take the clients' lock right now (it is released again at once).
bool LockIsFree() {
    telvarin_client::ClientLock probe;
    return probe.Acquire(0, nullptr) == ERROR_SUCCESS;
}

// What the fake service does with each change of StatusControl "Type2" it sees, in order.
enum class Step {
    Answer,          // ack-0, with state A
    Others,          // no answer, but changes beside it: an event bit, request 1's acknowledgement
    AbsorbAndWrite,  // no answer; another client inverts request 17 meanwhile
};

// Watches StatusControl the way the service does and answers request 0 with state A `on`.
class FakeService {
public:
    FakeService(std::vector<Step> steps, bool on) : m_steps(std::move(steps)), m_on(on) {
        telvarin::OpenProtocolKey(kControl, KEY_NOTIFY | KEY_QUERY_VALUE | KEY_SET_VALUE, m_key);
        m_changed.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        m_stop.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        Arm();
        m_last = ReadDword(kControl, "Type2");
        m_thread.Reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
    }
    ~FakeService() {
        SetEvent(m_stop.Get());
        WaitForSingleObject(m_thread.Get(), Patient(10000));
    }

    volatile LONG lockFreeAtRequest = 0;

private:
    void Arm() {
        ResetEvent(m_changed.Get());
        RegNotifyChangeKeyValue(m_key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, m_changed.Get(), TRUE);
    }
    static DWORD WINAPI Run(void* self) {
        static_cast<FakeService*>(self)->Loop();
        return 0;
    }
    void Loop() {
        HANDLE handles[2] = {m_stop.Get(), m_changed.Get()};
        while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            Arm();
            DWORD requests = ReadDword(kControl, "Type2");
            if (requests == m_last) continue;
            m_last = requests;
            // The client that wrote must hold the lock until it has its answer.
            if (LockIsFree()) ++lockFreeAtRequest;
            if (m_next >= m_steps.size()) continue;
            DWORD answers = ReadDword(kNotification, "Type2");
            switch (m_steps[m_next++]) {
            case Step::Answer:
                answers ^= TELVARIN_ACK_0;
                answers = m_on ? answers | TELVARIN_STATE_A : answers & ~static_cast<DWORD>(TELVARIN_STATE_A);
                WriteDword(kNotification, "Type2", answers);
                break;
            case Step::Others:
                WriteDword(kNotification, "", ReadDword(kNotification, "") ^ 0x10);
                WriteDword(kNotification, "Type2", answers ^ TELVARIN_ACK_1);
                break;
            case Step::AbsorbAndWrite:
                m_last = requests ^ TELVARIN_REQUEST_17;
                WriteDword(kControl, "Type2", m_last);
                break;
            }
        }
    }

    std::vector<Step> m_steps;
    size_t m_next = 0;
    bool m_on;
    DWORD m_last = 0;
    win::RegKey m_key;
    win::UniqueHandle m_changed, m_stop, m_thread;
};

void FreshKeys(DWORD requests, DWORD answers) {
    DeleteSystemEventTree();
    WriteDword(kControl, "Type2", requests);
    WriteDword(kNotification, "", 0);
    WriteDword(kNotification, "Type2", answers);
}

HANDLE StartThread(LPTHREAD_START_ROUTINE run, void* context) { return CreateThread(nullptr, 0, run, context, 0, nullptr); }

DWORD WINAPI WriteSetting77(void*) { return static_cast<DWORD>(telvarin_write_setting(0x77)); }

// A client that ends while it holds the lock (a crash in the middle of a request).
DWORD WINAPI TakeAndEnd(void* lock) { return WaitForSingleObject(static_cast<HANDLE>(lock), 0) == WAIT_OBJECT_0 ? 0 : 1; }

// A squatter: holds `mutex` from another thread until it goes.
class Squatter {
public:
    explicit Squatter(HANDLE mutex) : m_mutex(mutex) {
        m_held.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        m_release.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        m_thread.Reset(StartThread(Run, this));
        REQUIRE(WaitForSingleObject(m_held.Get(), Patient(10000)) == WAIT_OBJECT_0);
    }
    ~Squatter() {
        SetEvent(m_release.Get());
        WaitForSingleObject(m_thread.Get(), Patient(10000));
    }

private:
    static DWORD WINAPI Run(void* self) {
        auto* squatter = static_cast<Squatter*>(self);
        if (WaitForSingleObject(squatter->m_mutex, 0) != WAIT_OBJECT_0) return 1;
        SetEvent(squatter->m_held.Get());
        WaitForSingleObject(squatter->m_release.Get(), INFINITE);
        ReleaseMutex(squatter->m_mutex);
        return 0;
    }
    HANDLE m_mutex;
    win::UniqueHandle m_held, m_release, m_thread;
};

// Another client in the middle of its request: holds the lock from another thread until Release().
class OtherClient {
public:
    OtherClient() {
        m_held.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        m_release.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        m_thread.Reset(StartThread(Run, this));
        REQUIRE(WaitForSingleObject(m_held.Get(), Patient(10000)) == WAIT_OBJECT_0);
    }
    ~OtherClient() { Release(); }
    void Release() {
        SetEvent(m_release.Get());
        WaitForSingleObject(m_thread.Get(), Patient(10000));
    }

private:
    static DWORD WINAPI Run(void* self) {
        auto* other = static_cast<OtherClient*>(self);
        telvarin_client::ClientLock lock;
        if (lock.Acquire(INFINITE, nullptr) != ERROR_SUCCESS) return 1;
        SetEvent(other->m_held.Get());
        WaitForSingleObject(other->m_release.Get(), INFINITE);
        return 0;
    }
    win::UniqueHandle m_held, m_release, m_thread;
};

void SetKeyDacl(const char* path, const char* sddl) {
    win::LocalMemory descriptor;
    REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, descriptor.Receive(), nullptr));
    win::RegKey key;
    REQUIRE(telvarin::OpenProtocolKey(path, WRITE_DAC, key) == ERROR_SUCCESS);
    REQUIRE(RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, descriptor.Get()) == ERROR_SUCCESS);
}

// An object's owner and DACL as SDDL, read back from the object.
std::string ObjectSddl(HANDLE object) {
    win::LocalMemory descriptor;
    PSID owner = nullptr;
    ACL* dacl = nullptr;
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    REQUIRE(GetSecurityInfo(object, SE_KERNEL_OBJECT, what, &owner, nullptr, &dacl, nullptr, descriptor.Receive()) ==
            ERROR_SUCCESS);
    win::LocalMemory text;
    REQUIRE(ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.Get(), SDDL_REVISION_1, what,
                                                                 reinterpret_cast<LPSTR*>(text.Receive()), nullptr));
    return static_cast<const char*>(text.Get());
}

// The lock as the running service makes and publishes it, for as long as this lives.
struct HostedLock {
    HostedLock() { REQUIRE(host.Publish() == ERROR_SUCCESS); }
    telvarin::ClientLockHost host;
};

// Publishes `name` as the lock's, as a stale or forged publication would read.
void PublishName(const char* name) {
    win::RegKey key;
    REQUIRE(telvarin::CreateProtocolKey(TELVARIN_KEY_PRODUCT, KEY_SET_VALUE, key) == ERROR_SUCCESS);
    REQUIRE(RegSetValueExA(key.Get(), TELVARIN_VALUE_CLIENT_LOCK, 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                           static_cast<DWORD>(std::strlen(name) + 1)) == ERROR_SUCCESS);
}

}  // namespace

TEST_CASE("a request is acknowledged only by the inversion of its own bit") {
    HostedLock hosted;
    FreshKeys(0x80000002, TELVARIN_ACK_1);
    telvarin_answer answer;
    {
        FakeService service({Step::Others, Step::Answer}, true);
        CHECK(telvarin_request(0, 500, 1, nullptr, &answer) == TELVARIN_E_NO_ANSWER);
        CHECK(ReadDword(kControl, "Type2") == 0x80000003);
        REQUIRE(telvarin_request(0, 10000, 1, nullptr, &answer) == TELVARIN_OK);
        CHECK(service.lockFreeAtRequest == 0);
    }
    CHECK(answer.on == 1);
    CHECK(answer.writes == 1);
    CHECK(answer.answers == (TELVARIN_ACK_0 | TELVARIN_STATE_A));  // ack-1 flipped away before
    CHECK(ReadDword(kControl, "Type2") == 0x80000002);
}

TEST_CASE("a request nobody answers is written again from the current value, then given up") {
    SUBCASE("absorbed once: the second write inverts the value another client changed meanwhile") {
        FreshKeys(0, 0);
        telvarin_answer answer;
        {
            FakeService service({Step::AbsorbAndWrite, Step::Answer}, false);
            REQUIRE(telvarin_request(0, 1000, TELVARIN_REQUEST_ATTEMPTS, nullptr, &answer) == TELVARIN_OK);
        }
        CHECK(answer.writes == 2);
        CHECK(answer.on == 0);
        CHECK(ReadDword(kControl, "Type2") == TELVARIN_REQUEST_17);
    }
    SUBCASE("no service: one inversion per attempt, then TELVARIN_E_NO_ANSWER") {
        FreshKeys(0x4, 0);
        telvarin_answer answer;
        CHECK(telvarin_request(1, 0, 3, nullptr, &answer) == TELVARIN_E_NO_ANSWER);
        CHECK(answer.writes == 3);
        CHECK(ReadDword(kControl, "Type2") == 0x6);
        // Rejected arguments: nothing written, and the answer still initialised for the caller's report.
        for (int request : {1, 2, 16}) {
            std::memset(&answer, 0xA5, sizeof answer);
            CHECK(telvarin_request(request, 0, request == 1 ? 0 : 1, nullptr, &answer) == TELVARIN_E_ARGUMENT);
            CHECK((answer.key == nullptr && answer.writes == 0 && answer.requests == 0));
        }
        CHECK(ReadDword(kControl, "Type2") == 0x6);
    }
    SUBCASE("a set cancel event ends the wait after the write") {
        FreshKeys(0, 0);
        win::UniqueHandle cancel(CreateEventA(nullptr, TRUE, TRUE, nullptr));
        telvarin_answer answer;
        CHECK(telvarin_request(0, 10000, 3, cancel.Get(), &answer) == TELVARIN_E_CANCELLED);
        CHECK(ReadDword(kControl, "Type2") == 1);
    }
}

TEST_CASE("request 17 returns after its write; missing keys are named and nothing is written") {
    DeleteSystemEventTree();
    telvarin_answer answer;
    REQUIRE(telvarin_request(17, 10000, 3, nullptr, &answer) == TELVARIN_E_KEY_MISSING);
    CHECK(answer.key == std::string(kControl));
    char text[256];
    CHECK(std::string(telvarin_error_text(TELVARIN_E_KEY_MISSING, answer.key, text, sizeof text)) ==
          "key HKLM\\" TELVARIN_KEY_STATUS_CONTROL " is missing (the service creates it when it starts)");

    WriteDword(kControl, "Type2", 0x1);
    CHECK(telvarin_request(0, 10000, 3, nullptr, &answer) == TELVARIN_E_KEY_MISSING);
    CHECK(answer.key == std::string(kNotification));
    CHECK(ReadDword(kControl, "Type2") == 0x1);

    // Request 17 needs no Notification key: it is never answered. The service reads a missing
    // "Type2" as 0 and switches device B off; with bit 17 there, on.
    CHECK(telvarin_request(17, 10000, 3, nullptr, &answer) == TELVARIN_OK);
    CHECK((answer.requests == 0x20001 && answer.writes == 1 && answer.on == 0));
    CHECK(ReadDword(kControl, "Type2") == 0x20001);
    CHECK_FALSE(KeyExists(kNotification));
    WriteDword(kNotification, "Type2", TELVARIN_DEVICE_B | TELVARIN_ACK_1);
    CHECK(telvarin_request(17, 10000, 3, nullptr, &answer) == TELVARIN_OK);
    CHECK((answer.requests == 0x1 && answer.on == 1 && answer.answers == (TELVARIN_DEVICE_B | TELVARIN_ACK_1)));
}

TEST_CASE("another client's request is waited for; a time-out waiting for it is told apart") {
    HostedLock hosted;
    FreshKeys(0x4, 0);
    telvarin_answer answer;
    char text[256];
    {
        OtherClient other;
        CHECK(telvarin_request(0, 200, 1, nullptr, &answer) == TELVARIN_E_BUSY);
        CHECK(answer.key == std::string(TELVARIN_CLIENT_LOCK));
        const std::string busy = telvarin_error_text(TELVARIN_E_BUSY, answer.key, text, sizeof text);
        CHECK(busy.find("client lock " TELVARIN_CLIENT_LOCK) != std::string::npos);
        CHECK(busy != telvarin_error_text(TELVARIN_E_NO_ANSWER, nullptr, text, sizeof text));
        win::UniqueHandle cancel(CreateEventA(nullptr, TRUE, TRUE, nullptr));
        CHECK(telvarin_request(17, INFINITE, 1, cancel.Get(), &answer) == TELVARIN_E_CANCELLED);
        CHECK(ReadDword(kControl, "Type2") == 0x4);  // nothing written while the other held it

        // A settings write waits as well, and goes ahead once the other client is done.
        WriteDword(kSetting, "", 0);
        win::UniqueHandle writer(StartThread(WriteSetting77, nullptr));
        CHECK(WaitForSingleObject(writer.Get(), 300) == WAIT_TIMEOUT);
        CHECK(ReadDword(kSetting, "", 0) == 0);
        other.Release();
        REQUIRE(WaitForSingleObject(writer.Get(), Patient(10000)) == WAIT_OBJECT_0);
        DWORD result = 1;
        CHECK((GetExitCodeThread(writer.Get(), &result) && result == TELVARIN_OK));
        CHECK(ReadDword(kSetting, "") == 0x77);
    }

    // A client that ended while holding the lock does not block the others.
    {
        telvarin_client::ClientLock opened;
        opened.Open();
        REQUIRE(opened.Get() != nullptr);
        win::UniqueHandle ended(StartThread(TakeAndEnd, opened.Get()));
        DWORD took = 1;
        REQUIRE(WaitForSingleObject(ended.Get(), Patient(10000)) == WAIT_OBJECT_0);
        REQUIRE((GetExitCodeThread(ended.Get(), &took) && took == 0));
        CHECK(telvarin_request(17, 1000, 1, nullptr, &answer) == TELVARIN_OK);
        CHECK(ReadDword(kControl, "Type2") == 0x20004);
    }
    CHECK(std::string(telvarin_error_text(TELVARIN_E_ACCESS_DENIED, kControl, text, sizeof text)) ==
          "access denied to HKLM\\" TELVARIN_KEY_STATUS_CONTROL
          " (run elevated, or ask the administrator to install Telvarin with CLIENTACCESS=1)");
}

// Wine gives every process the same administrator token, so a denial cannot be shown; the
// lock's own security can, read back from the object.
TEST_CASE("the lock is owned by Administrators and for exactly the accounts that may write StatusControl") {
    struct Case {
        const char* key;   // the StatusControl key's DACL
        const char* lock;  // the owner and DACL of the lock made under it
    } cases[] = {
        // As the service creates the key here: Administrators may write; Users only read its subkeys.
        {nullptr, "O:BAD:(A;;0x120001;;;SY)(A;;0x120001;;;BA)"},
        // CLIENTACCESS=1: Interactive Users may query, set and be notified.
        {"D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)(A;;0x13;;;IU)",
         "O:BAD:(A;;0x120001;;;SY)(A;;0x120001;;;BA)(A;;0x120001;;;IU)"},
        // A denial stays; generic write counts; inherit-only and read-only grants do not.
        {"D:(D;;KW;;;BG)(A;CIIO;KA;;;CO)(A;;KA;;;SY)(A;;GW;;;PU)(A;;KR;;;BU)(A;CIIO;KW;;;AU)",
         "O:BAD:(A;;0x120001;;;SY)(A;;0x120001;;;BA)(D;;0x120001;;;BG)(A;;0x120001;;;PU)"},
        // An empty DACL: nobody may write. (Wine stores a missing DACL, which lets everyone in,
        // as an empty one, so that case cannot be set up here.)
        {"D:", "O:BAD:(A;;0x120001;;;SY)(A;;0x120001;;;BA)"},
    };
    for (const Case& c : cases) {
        const std::string key = c.key ? c.key : "(as created)";
        CAPTURE(key);
        FreshKeys(0, 0);
        if (c.key) SetKeyDacl(kControl, c.key);
        telvarin::ClientLockHost host;
        REQUIRE(host.Publish() == ERROR_SUCCESS);
        CHECK(ObjectSddl(host.Get()) == c.lock);
        telvarin_client::ClientLock lock;
        lock.Open();
        CHECK(lock.Get() != nullptr);
        SetKeyDacl(kControl, "D:(A;;KA;;;SY)(A;;KA;;;BA)");  // deletable again, as the owner may always
    }
    DeleteSystemEventTree();
    CHECK_FALSE(KeyExists(kControl));
}

TEST_CASE("each start publishes a fresh name and withdraws it; no object but the service's is waited for") {
    FreshKeys(0, 0);
    char name[telvarin::kLockNameSize];
    std::string first;
    {
        HostedLock hosted;
        first = hosted.host.Name();
        CHECK(std::strncmp(first.c_str(), TELVARIN_CLIENT_LOCK ".", sizeof TELVARIN_CLIENT_LOCK) == 0);
        // A later run's name replaces it; withdrawing the earlier one leaves the later one.
        HostedLock again;
        CHECK(std::string(again.host.Name()) != first);
        hosted.host.Withdraw();
        REQUIRE(telvarin::ReadClientLockName(name));
        CHECK(std::string(name) == again.host.Name());
        again.host.Withdraw();
        CHECK_FALSE(telvarin::ReadClientLockName(name));
        again.host.Withdraw();  // again: nothing to do
        // A name a run left behind (it ended without withdrawing) goes at the next publication.
        PublishName(first.c_str());
        HostedLock next;
        REQUIRE(telvarin::ReadClientLockName(name));
        CHECK(std::string(name) == next.host.Name());
    }
    CHECK_FALSE(telvarin::ReadClientLockName(name));

    // The service is gone and someone else made an object under the name it had published (it
    // ended without withdrawing it): a mutex of their own, held, or another kind of object,
    // which the library cannot open as a mutex at all. It neither waits for it nor fails.
    PublishName(first.c_str());
    HANDLE token = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    win::UniqueHandle tokenOwner(token);
    BYTE user[256];
    DWORD size = sizeof user;
    REQUIRE(GetTokenInformation(token, TokenUser, user, size, &size));
    SECURITY_DESCRIPTOR squat;
    REQUIRE(InitializeSecurityDescriptor(&squat, SECURITY_DESCRIPTOR_REVISION));
    REQUIRE(SetSecurityDescriptorOwner(&squat, reinterpret_cast<TOKEN_USER*>(user)->User.Sid, FALSE));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &squat, FALSE};
    DWORD requests = 0;
    WriteDword(kSetting, "", 0);
    for (const char* kind : {"mutex", "event", "semaphore"}) {
        const std::string object = kind;
        CAPTURE(object);
        win::UniqueHandle squatted(object == "mutex"   ? CreateMutexA(&attributes, FALSE, first.c_str())
                                   : object == "event" ? CreateEventA(&attributes, TRUE, FALSE, first.c_str())
                                                       : CreateSemaphoreA(&attributes, 0, 1, first.c_str()));
        REQUIRE(squatted);
        REQUIRE(GetLastError() != ERROR_ALREADY_EXISTS);
        std::unique_ptr<Squatter> holder(object == "mutex" ? new Squatter(squatted.Get()) : nullptr);
        telvarin_client::ClientLock lock;
        lock.Open();
        CHECK(lock.Get() == nullptr);
        telvarin_answer answer;
        CHECK(telvarin_request(17, 1000, 1, nullptr, &answer) == TELVARIN_OK);
        requests ^= TELVARIN_REQUEST_17;
        CHECK(ReadDword(kControl, "Type2") == requests);
        CHECK(telvarin_change_setting(0, 0x1, nullptr) == TELVARIN_OK);
    }
    CHECK(ReadDword(kSetting, "") == 0x1);
    // A publication that is not of the lock's form names nothing.
    PublishName("Global\\SomethingElse");
    CHECK_FALSE(telvarin::ReadClientLockName(name));
}

TEST_CASE("a settings change keeps the bits it does not name") {
    FreshKeys(0, 0);
    WriteRaw(kSetting, "", REG_SZ, "16", 3);  // not a DWORD: reads as 0, as the service reads it
    DWORD written = 1;
    CHECK(telvarin_change_setting(0, 0x5, &written) == TELVARIN_OK);
    CHECK(written == 0x5);
    CHECK(telvarin_change_setting(0x1, 0x30, &written) == TELVARIN_OK);
    CHECK(written == 0x34);
    CHECK(ReadDword(kSetting, "") == 0x34);
    DeleteKey(kSetting);
    CHECK(telvarin_change_setting(0, 0x1, &written) == TELVARIN_E_KEY_MISSING);
    CHECK(written == 0);
    CHECK_FALSE(KeyExists(kSetting));
}

TEST_CASE("values read as the service reads them: anything but a 4-byte REG_DWORD is 0") {
    DeleteSystemEventTree();
    telvarin_reading r = {0xDEADBEEF, TELVARIN_READ_OK};
    CHECK(telvarin_read(TELVARIN_VAL_CAPABILITY, &r) == TELVARIN_E_KEY_MISSING);
    CHECK((r.value == 0 && r.state == TELVARIN_READ_KEY_MISSING));

    const char* key = TELVARIN_KEY_CAPABILITY;
    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        DWORD type;
        DWORD size;
        telvarin_read_state state;
        DWORD value;
    } cases[] = {
        {REG_DWORD, 4, TELVARIN_READ_OK, 0x04030201},
        {REG_BINARY, 4, TELVARIN_READ_NOT_DWORD, 0},  // the right size, the wrong type
        {REG_DWORD, 2, TELVARIN_READ_NOT_DWORD, 0},   // the right type, too short
        {REG_BINARY, 8, TELVARIN_READ_NOT_DWORD, 0},  // too long for the buffer
        {REG_SZ, 4, TELVARIN_READ_NOT_DWORD, 0},
    };
    for (const Case& c : cases) {
        CAPTURE(c.type);
        CAPTURE(c.size);
        WriteRaw(key, "Type2", c.type, eight, c.size);
        r = {0xDEADBEEF, TELVARIN_READ_FAILED};
        CHECK(telvarin_read(TELVARIN_VAL_CAPABILITY_TYPE2, &r) == TELVARIN_OK);
        CHECK(r.state == c.state);
        CHECK(r.value == c.value);
    }
    CHECK(telvarin_read(TELVARIN_VAL_CAPABILITY, &r) == TELVARIN_OK);
    CHECK((r.value == 0 && r.state == TELVARIN_READ_ABSENT));
}

TEST_CASE("a watch reports changed values only; a watch not opened is NULL") {
    DeleteSystemEventTree();
    telvarin_watch* junk = reinterpret_cast<telvarin_watch*>(0x1);
    telvarin_watch* watch = junk;
    telvarin_notification now = {7, 7};
    CHECK(telvarin_watch_open(&watch, nullptr) == TELVARIN_E_ARGUMENT);
    CHECK(watch == nullptr);
    watch = junk;
    CHECK(telvarin_watch_open(&watch, &now) == TELVARIN_E_KEY_MISSING);
    CHECK((watch == nullptr && now.events == 0 && now.answers == 0));

    FreshKeys(0, 0x5);
    REQUIRE(telvarin_watch_open(&watch, &now) == TELVARIN_OK);
    CHECK((now.events == 0 && now.answers == 0x5));
    WriteDword(kNotification, "Type2", 0x5);  // rewritten unchanged: no report
    CHECK(telvarin_watch_next(watch, 0, nullptr, &now) == TELVARIN_E_NO_ANSWER);
    WriteDword(kNotification, "", 0x10);
    CHECK(telvarin_watch_next(watch, 10000, nullptr, &now) == TELVARIN_OK);
    CHECK((now.events == 0x10 && now.answers == 0x5));
    telvarin_watch_close(watch);
}

TEST_CASE("console helpers: one number parser, JSON that is always valid") {
    long long n = 0;
    CHECK((console::ParseNumber("-1", -1, 10, &n) && n == -1));
    CHECK((console::ParseNumber("0xFFFFFFFF", 0, 0xFFFFFFFFll, &n) && n == 0xFFFFFFFFll));
    CHECK((console::ParseNumber("-2147483648", -0x80000000ll, 0xFFFFFFFFll, &n, false) && n == -0x80000000ll));
    for (const char* bad : {"", "-", "0x", "-0x1", "+1", " 1", "1 ", "12abc", "0x100000000", "99999999999999999999"}) {
        CAPTURE(bad);
        CHECK_FALSE(console::ParseNumber(bad, -10, 0xFFFFFFFFll, &n));
    }
    CHECK_FALSE(console::ParseNumber("-1", 0, 10, &n));      // no sign below the range's start
    CHECK_FALSE(console::ParseNumber("0x10", 0, 100, &n, false));

    // Recorded text can hold control characters, quotes and bytes that are not UTF-8.
    std::string text = console::JsonText({{"text", std::string("a\x01\x1f\"\\\n\xff", 7)}});
    CHECK(text == "{\"text\":\"a\\u0001\\u001f\\\"\\\\\\n\xEF\xBF\xBD\"}");
    CHECK(nlohmann::json::parse(text)["text"] == "a\x01\x1f\"\\\n\xEF\xBF\xBD");
}
