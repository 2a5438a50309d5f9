#include <cstring>

#include "common/console.h"
#include "emulator/fwemu.h"
#include "emulator/store.h"

namespace fwemu {

namespace {

bool OnOff(const std::string& text, uint32_t* out) {
    if (text == "on") *out = 1;
    else if (text == "off") *out = 0;
    else return false;
    return true;
}

}  // namespace

Controller::Controller() { m_store = CurrentStore(&m_error); }
Controller::~Controller() = default;

bool Controller::Fail(const std::string& text) {
    m_error = text;
    return false;
}

bool Controller::ForceReset(std::string* error) {
    return Store::Open(StatePath(), true, error) != nullptr;
}

#define FWEMU_LOCKED(guard, block)                         \
    if (!m_store) return false;                            \
    Store::Guard guard(*m_store);                          \
    Block* block = guard.Block();                          \
    if (!block) return Fail(guard.Error())

bool Controller::Reset() {
    FWEMU_LOCKED(g, b);
    ResetBlock(b);
    return true;
}

bool Controller::InjectEvent(DWORD code, DWORD count) {
    if (count == 0 || count > kEventQueueSize)
        return Fail("event count must be 1.." + std::to_string(kEventQueueSize));
    {
        FWEMU_LOCKED(g, b);
        for (DWORD i = 0; i < count; ++i) b->events[b->eventTotal++ % kEventQueueSize] = code;
    }
    m_store->WakeSubscribers();
    return true;
}

bool Controller::GetModel(ModelState* out) {
    FWEMU_LOCKED(g, b);
    out->radio = b->model.radio != 0;
    out->deviceB = b->model.deviceB != 0;
    out->option = b->model.option;
    out->setting = b->model.setting;
    out->settingWrites = b->model.settingWrites;
    return true;
}

bool Controller::SetRadio(bool on) {
    FWEMU_LOCKED(g, b);
    b->model.radio = on ? 1 : 0;
    return true;
}

bool Controller::SetDeviceB(bool on) {
    FWEMU_LOCKED(g, b);
    b->model.deviceB = on ? 1 : 0;
    return true;
}

bool Controller::GetFaults(Faults* out) {
    FWEMU_LOCKED(g, b);
    *out = ToFaults(b->faults);
    return true;
}

bool Controller::SetFaults(const Faults& f) {
    if (f.dataInstances > kMaxDataInstances) return Fail("data-instances must be 0..8");
    if (f.callDelayMs > kMaxCallDelayMs) return Fail("call-delay-ms must be 0..60000");
    if (f.wmiDownMs > kMaxWmiDownMs) return Fail("wmi-down must be 0..600000");
    if (f.methodInstance.size() >= static_cast<size_t>(kTextChars)) return Fail("method-instance is too long");
    FWEMU_LOCKED(g, b);
    SharedFaults& s = b->faults;
    s.connectFail = f.connectFail;
    s.methodClassMissing = f.methodClassMissing;
    s.methodMissing = f.methodMissing;
    s.spawnFail = f.spawnFail;
    s.execFail = f.execFail;
    s.noOutput = f.noOutput;
    s.cflag = f.cflag;
    s.outEaxForced = f.outEaxForced;
    s.outEax = f.outEax;
    s.dataInstances = f.dataInstances;
    s.putReject = f.putReject;
    s.notifyFail = f.notifyFail;
    s.callDelayMs = f.callDelayMs;
    s.nullParam = f.nullParam;
    s.nullOutput = f.nullOutput;
    s.nullObject = f.nullObject;
    s.putFail = f.putFail;
    s.dataHang = f.dataHang;
    s.methodHang = f.methodHang;
    s.putHang = f.putHang;
    s.eventHang = f.eventHang;
    s.notifyHang = f.notifyHang;
    s.failCode = f.failCode;
    s.eventFail = f.eventFail;
    s.dataTimeout = f.dataTimeout;
    s.wmiDown = f.wmiDownMs ? 1 : 0;
    s.wmiDownUntil = GetTickCount() + f.wmiDownMs;
    s.methodInstanceSet = 1;
    memset(s.methodInstance, 0, sizeof s.methodInstance);
    f.methodInstance.copy(s.methodInstance, f.methodInstance.size());
    return true;
}

bool Controller::SetFault(const std::string& name, const std::string& value) {
    bool disconnect = false;
    if (!ApplyFault(name, value, &disconnect)) return false;
    // Outside the lock, which waking takes itself: a waiting Next then answers at once.
    if (disconnect) m_store->WakeSubscribers();
    return true;
}

bool Controller::ApplyFault(const std::string& name, const std::string& value, bool* disconnect) {
    uint32_t flag = 0;
    long long n = 0;
    bool isFlag = OnOff(value, &flag);
    // Each fault checks its own range; this only bounds the magnitude.
    bool isNumber = console::ParseNumber(value, -0xFFFFFFFFll, 0xFFFFFFFFll, &n);
    auto bad = [&](const char* want) { return Fail("fault " + name + " takes " + want + ", not '" + value + "'"); };
    if (!m_store) return false;
    Store::Guard g(*m_store);
    Block* b = g.Block();
    if (!b) return Fail(g.Error());
    SharedFaults& s = b->faults;
    uint32_t* flagField = nullptr;
    if (name == "method-class-missing") flagField = &s.methodClassMissing;
    else if (name == "method-missing") flagField = &s.methodMissing;
    else if (name == "spawn-fail") flagField = &s.spawnFail;
    else if (name == "exec-fail") flagField = &s.execFail;
    else if (name == "no-output") flagField = &s.noOutput;
    else if (name == "put-reject") flagField = &s.putReject;
    else if (name == "null-param") flagField = &s.nullParam;
    else if (name == "null-output") flagField = &s.nullOutput;
    else if (name == "null-object") flagField = &s.nullObject;
    else if (name == "put-fail") flagField = &s.putFail;
    else if (name == "data-hang") flagField = &s.dataHang;
    else if (name == "method-hang") flagField = &s.methodHang;
    else if (name == "put-hang") flagField = &s.putHang;
    else if (name == "event-hang") flagField = &s.eventHang;
    else if (name == "notify-hang") flagField = &s.notifyHang;
    else if (name == "data-timeout") flagField = &s.dataTimeout;
    if (flagField) {
        if (!isFlag) return bad("on|off");
        *flagField = flag;
    } else if (name == "connect-fail") {
        if (!isNumber || n < 0 || n > 0x7FFFFFFF) return bad("a count >= 0");
        s.connectFail = static_cast<int32_t>(n);
    } else if (name == "notify-fail") {
        if (!isNumber || n < -1 || n > 0x7FFFFFFF) return bad("a count >= 0 or -1 (forever)");
        s.notifyFail = static_cast<int32_t>(n);
    } else if (name == "event-fail") {
        if (!isNumber || n < -1 || n > 0x7FFFFFFF) return bad("a count >= 0 or -1 (forever)");
        s.eventFail = static_cast<int32_t>(n);
    } else if (name == "fail-code") {
        if (isFlag && !flag) n = 0;
        else if (!isNumber || n < 0) return bad("an HRESULT or off");
        s.failCode = static_cast<int32_t>(static_cast<uint32_t>(n));
    } else if (name == "cflag") {
        if (isFlag && !flag) n = 0;
        else if (!isNumber || n < 0) return bad("a 32-bit value (0 or off = not forced)");
        s.cflag = static_cast<uint32_t>(n);
    } else if (name == "out-eax") {
        if (isFlag && !flag) {
            s.outEaxForced = 0;
        } else {
            if (!isNumber || n < 0) return bad("a 32-bit value or off");
            s.outEaxForced = 1;
            s.outEax = static_cast<uint32_t>(n);
        }
    } else if (name == "call-delay-ms") {
        if (!isNumber || n < 0 || n > kMaxCallDelayMs) return bad("0..60000");
        s.callDelayMs = static_cast<uint32_t>(n);
    } else if (name == "data-instances") {
        if (!isNumber || n < 0 || n > kMaxDataInstances) return bad("0..8");
        s.dataInstances = static_cast<uint32_t>(n);
    } else if (name == "method-instance") {
        // A name, "none" (no instance published) or "default".
        std::wstring text(value.begin(), value.end());  // instance names are ASCII
        if (value.empty() || text.size() >= static_cast<size_t>(kTextChars)) return bad("an instance name (up to 31 characters), none or default");
        memset(s.methodInstance, 0, sizeof s.methodInstance);
        s.methodInstanceSet = value == "default" ? 0 : 1;
        if (value != "none" && value != "default") text.copy(s.methodInstance, text.size());
    } else if (name == "disconnect") {
        if (!isFlag || !flag) return bad("on");
        *disconnect = true;
    } else if (name == "wmi-down") {
        // WMI going away ends the connection it had; reconnecting fails until it is back.
        if (!isNumber || n < 0 || n > kMaxWmiDownMs) return bad("0..600000");
        s.wmiDown = n > 0 ? 1 : 0;
        s.wmiDownUntil = GetTickCount() + static_cast<uint32_t>(n);
        *disconnect = n > 0;
    } else {
        return Fail("unknown fault '" + name + "'");
    }
    if (*disconnect) InterlockedIncrement(&b->generation);
    return true;
}

namespace {

// The records of a ring of `size` entries that still hold the last `total` records, oldest first.
template <typename Shared, typename Record, typename Convert>
void ReadRing(const Shared* ring, uint64_t size, uint64_t total, std::vector<Record>* out, Convert convert) {
    out->clear();
    uint64_t first = total > size ? total - size : 0;
    for (uint64_t seq = first + 1; seq <= total; ++seq) out->push_back(convert(ring[(seq - 1) % size]));
}

}  // namespace

bool Controller::GetCalls(std::vector<CallRecord>* out, uint64_t* total) {
    FWEMU_LOCKED(g, b);
    *total = b->callTotal;
    ReadRing(b->calls, kCallLogSize, b->callTotal, out, [](const SharedCall& s) {
        CallRecord r;
        r.seq = s.seq;
        r.pid = s.pid;
        for (int i = 0; i < 4; ++i) {
            r.inSet[i] = (s.inSet >> i) & 1;
            r.in[i].assign(s.in[i], wcsnlen(s.in[i], kTextChars));  // never trust the terminator
            r.out[i] = s.out[i];
        }
        r.hr = s.hr;
        r.hasOutput = s.hasOutput != 0;
        r.cflag = s.cflag;
        return r;
    });
    return true;
}

bool Controller::GetWrites(std::vector<WriteRecord>* out, uint64_t* total) {
    FWEMU_LOCKED(g, b);
    *total = b->writeTotal;
    ReadRing(b->writes, kWriteLogSize, b->writeTotal, out, [](const SharedWrite& s) {
        WriteRecord r;
        r.seq = s.seq;
        r.pid = s.pid;
        r.text.assign(s.text, wcsnlen(s.text, kTextChars));
        r.value = s.value;
        r.hr = s.hr;
        return r;
    });
    return true;
}

bool Controller::GetEventTotal(uint64_t* total) {
    FWEMU_LOCKED(g, b);
    *total = b->eventTotal;
    return true;
}

bool Controller::GetEventsDelivered(uint64_t* delivered) {
    FWEMU_LOCKED(g, b);
    *delivered = b->eventsDelivered;
    return true;
}

bool Controller::GetSubscribers(DWORD* count) {
    SubscriberSlot slots[kSubscriberSlots];
    {
        FWEMU_LOCKED(g, b);
        memcpy(slots, b->subscribers, sizeof(slots));
    }
    *count = 0;
    for (const SubscriberSlot& s : slots)
        if (s.pid && ProcessAlive(static_cast<DWORD>(s.pid), s.startLow, s.startHigh)) ++*count;
    return true;
}

bool Controller::GetConnectionStats(ConnectionStats* out) {
    FWEMU_LOCKED(g, b);
    out->connects = b->connectTotal;
    out->subscriptions = b->subscribeTotal;
    out->callsStarted = b->callsStarted;
    out->pollsStarted = b->pollsStarted;
    out->pollsHung = b->pollsHung;
    out->generation = b->generation;
    return true;
}

bool Controller::Disconnect() { return SetFault("disconnect", "on"); }

bool Controller::GetLive(std::vector<LiveEntry>* out) {
    LiveSlot slots[kLiveSlots];
    {
        FWEMU_LOCKED(g, b);
        memcpy(slots, b->live, sizeof(slots));
    }
    out->clear();
    for (const LiveSlot& s : slots) {
        if (!s.pid) continue;
        LiveEntry e;
        e.pid = static_cast<DWORD>(s.pid);
        e.count = s.count;
        e.alive = ProcessAlive(e.pid, s.startLow, s.startHigh);
        out->push_back(e);
    }
    return true;
}

#undef FWEMU_LOCKED

}  // namespace fwemu
