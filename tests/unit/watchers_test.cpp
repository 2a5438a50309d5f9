// A key watcher alone, with a handler that counts what it is asked to do: every change handled,
// none lost while one is handled, the deleted key waited for, the thread's start made again.
#include <doctest/doctest.h>

#include "settings/watchers.h"
#include "tests/unit/test_support.h"

using namespace testing;

namespace {
constexpr char kWatched[] = TELVARIN_KEY_STATUS_CONTROL;

class CountingHandler final : public KeyHandler {
public:
    volatile LONG changes = 0, catchUps = 0, dueWork = 0;
    DWORD dueMs = INFINITE;
    // The first handling writes the key once more, as a client writing during a handling does.
    bool writeDuringFirstChange = false;

    void OnChanged() override {
        if (InterlockedIncrement(&changes) == 1 && writeDuringFirstChange) WriteDword(kWatched, "Type2", 0x2);
    }
    void CatchUp() override { InterlockedIncrement(&catchUps); }
    DWORD DueWork() override {
        InterlockedIncrement(&dueWork);
        return dueMs;
    }
};

// The system's arming, with a client's registry change made on the watcher's own thread right
// after a chosen arming: the change lands exactly between two steps of the watcher, every run.
class InterleavingNotifier final : public KeyNotifier {
public:
    struct Change {
        LONG afterArm;  // 0: never
        void (*make)();
    };
    Change changes[2] = {};
    volatile LONG arms = 0;

    LSTATUS Arm(HKEY key, BOOL subtree, DWORD filter, HANDLE event) override {
        const LSTATUS armed = SystemKeyNotifier().Arm(key, subtree, filter, event);
        const LONG arm = InterlockedIncrement(&arms);
        for (const Change& change : changes)
            if (change.afterArm == arm) change.make();
        return armed;
    }
};

void CreateSystemEvent() { WriteDword(TELVARIN_KEY_NOTIFICATION, "Type2", 0); }
void CreateWatched() { WriteDword(kWatched, "Type2", 0); }
// SystemEvent with a value and no key below: its deletion signals nothing armed on it.
void CreateBareSystemEvent() { WriteDword(TELVARIN_KEY_ROOT, "", 0); }
void RecreateBareSystemEvent() {
    DeleteSystemEventTree();
    CreateBareSystemEvent();
}

struct WatcherFixture {
    RecordingEventLog log;
    ServiceLog serviceLog{log};
    win::UniqueHandle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    ActivityBoard activity;
    FlakyThreadApi threads;
    CountingHandler handler;
    InterleavingNotifier notifier;
    KeyWatcher watcher{kWatched, handler, stop.Get(), activity, serviceLog, threads, notifier};

    WatcherFixture() {
        DeleteSystemEventTree();
        WriteDword(kWatched, "Type2", 0);
    }
    ~WatcherFixture() {
        Stop();
        DeleteSystemEventTree();
    }
    // Armed once the catch-up has run `count` times.
    bool Armed(LONG count = 1) { return Eventually([&] { return handler.catchUps == count; }); }
    void Stop() {
        SetEvent(stop.Get());
        watcher.Join();
    }
};
}  // namespace

TEST_CASE("a watcher catches up once armed and handles every change of its key") {
    WatcherFixture f;
    f.watcher.Start();
    REQUIRE(f.Armed());
    CHECK(f.handler.changes == 0);
    WriteDword(kWatched, "Type2", 0x1);
    REQUIRE(Eventually([&] { return f.handler.changes == 1; }));
    WriteDword(kWatched, "Other", 1);  // any value of the key
    REQUIRE(Eventually([&] { return f.handler.changes == 2; }));
    CHECK(f.handler.catchUps == 1);
    CHECK(f.log.Events().empty());
}

TEST_CASE("a change written while the last one is handled is handled too") {
    WatcherFixture f;
    f.handler.writeDuringFirstChange = true;
    f.watcher.Start();
    REQUIRE(f.Armed());
    WriteDword(kWatched, "Type2", 0x1);
    // Re-armed before the handling: the write made inside it signals again.
    CHECK(Eventually([&] { return f.handler.changes == 2; }));
}

TEST_CASE("the timed work runs before each wait and bounds it") {
    WatcherFixture f;
    f.handler.dueMs = 20;
    f.watcher.Start();
    // Without any change: the wait times out and the work is asked again, and again.
    CHECK(Eventually([&] { return f.handler.dueWork >= 5; }));
    CHECK(f.handler.changes == 0);
}

TEST_CASE("a watcher waits for its deleted key to be created again, and catches up then") {
    WatcherFixture f;
    SUBCASE("missing when the watcher starts") {
        DeleteKey(kWatched);
        f.watcher.Start();
    }
    SUBCASE("deleted while watched") {
        f.watcher.Start();
        REQUIRE(f.Armed());
        DeleteKey(kWatched);
    }
    SUBCASE("the whole SystemEvent tree deleted while watched: the nearest key above is watched") {
        f.watcher.Start();
        REQUIRE(f.Armed());
        DeleteSystemEventTree();
        REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
        WriteDword(TELVARIN_KEY_NOTIFICATION, "Type2", 0);  // SystemEvent again, but not the key yet
    }
    REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    CHECK(f.log.Events()[0].type == EVENTLOG_WARNING_TYPE);
    const LONG catchUps = f.handler.catchUps;
    WriteDword(kWatched, "Type2", 0x1);
    // What was written with the key is found by the catch-up look.
    REQUIRE(f.Armed(catchUps + 1));
    CHECK(f.log.Texts() == std::vector<std::string>{"Key StatusControl is missing; waiting for it",
                                                    "Key StatusControl is back; watching it again"});
    // And it is watched again.
    const LONG changes = f.handler.changes;
    WriteDword(kWatched, "Type2", 0x0);
    CHECK(Eventually([&] { return f.handler.changes == changes + 1; }));
}

TEST_CASE("a key created between any two steps of the watcher's re-arming is seen") {
    // With its key gone, the watcher arms the nearest key above (for the subtree) and the one
    // above that, then looks for its key and waits. With the whole tree gone those are Haskorn
    // (arming 1) and Software (2); once SystemEvent is back, SystemEvent (3) and Haskorn (4).
    // Each case makes a change right after one arming: a creation that one arming signals and
    // the next silences, or a parent deleted and made again before the key above it is armed,
    // would leave the watcher deaf to its key for the rest of the run.
    struct Case {
        const char* name;
        bool treeMissing;  // else SystemEvent is there, with nothing below it
        InterleavingNotifier::Change first, second;
    };
    const Case cases[] = {
        {"SystemEvent made after arming 1", true, {1, CreateSystemEvent}, {}},
        {"SystemEvent made after arming 2", true, {2, CreateSystemEvent}, {}},
        {"SystemEvent after arming 2, the key after arming 3", true, {2, CreateSystemEvent}, {3, CreateWatched}},
        {"SystemEvent after arming 2, the key after arming 4", true, {2, CreateSystemEvent}, {4, CreateWatched}},
        {"SystemEvent deleted and made again right after it was armed", false, {1, RecreateBareSystemEvent}, {}},
    };
    for (const Case& c : cases) {
        const std::string name = c.name;
        CAPTURE(name);
        WatcherFixture f;
        DeleteSystemEventTree();
        if (!c.treeMissing) CreateBareSystemEvent();
        f.notifier.changes[0] = c.first;
        f.notifier.changes[1] = c.second;
        f.watcher.Start();
        REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));  // it looked once, and waits
        if (!c.second.make) CreateWatched();
        CHECK(f.Armed());
        CHECK(f.log.Texts() == std::vector<std::string>{"Key StatusControl is missing; waiting for it",
                                                        "Key StatusControl is back; watching it again"});
    }
}

TEST_CASE("a stop ends a watcher wherever it waits") {
    WatcherFixture f;
    SUBCASE("for a change") {
        f.watcher.Start();
        REQUIRE(f.Armed());
    }
    SUBCASE("for its key to be created") {
        DeleteKey(kWatched);
        f.watcher.Start();
        REQUIRE(Eventually([&] { return !f.log.Texts().empty(); }));
    }
    f.Stop();  // returns once the thread has ended
    CHECK(f.handler.changes == 0);
}

TEST_CASE("a watcher whose thread or events cannot be made says so once and is started again") {
    WatcherFixture f;
    std::string failure;
    SUBCASE("the thread") {
        f.threads.failStarts = 2;
        failure = "StatusControl watcher not started (CreateThread error 8)";
    }
    SUBCASE("the events") {
        f.threads.failEvents = 2;
        failure = "StatusControl watcher not started (CreateEventA error 1450)";
    }
    f.watcher.Start();
    // Two failed starts, one report; made again after 1 s and 2 s more, it watches.
    REQUIRE(Eventually([&] { return f.handler.catchUps == 1; }, 15000));
    const auto texts = f.log.Texts();
    REQUIRE(texts.size() == 2);
    CHECK(texts[0] == failure);
    CHECK(f.log.Events()[0].type == EVENTLOG_WARNING_TYPE);
    CHECK(StartsWith(texts[1], "StatusControl watcher start succeeded after 2 failed attempts in "));
    CHECK(f.log.Events()[1].type == EVENTLOG_INFORMATION_TYPE);
    WriteDword(kWatched, "Type2", 0x1);
    CHECK(Eventually([&] { return f.handler.changes == 1; }));
}
