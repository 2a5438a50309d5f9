#include "client/commands.h"

#include <cstdio>
#include <initializer_list>
#include <string>

#include "client/decode.h"
#include "client/registry.h"

namespace client {

namespace {

constexpr char kServiceName[] = "Telvarin";

// --- service control manager ---------------------------------------------------------------
struct ServiceState {
    bool known = false;      // the manager answered
    bool installed = false;
    DWORD state = 0;         // SERVICE_RUNNING, ... when installed
    LONG error = ERROR_SUCCESS;
};

ServiceState QueryService() {
    ServiceState result;
    win::ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        result.error = static_cast<LONG>(GetLastError());
        return result;
    }
    win::ServiceHandle service(OpenServiceA(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
    if (!service) {
        result.error = static_cast<LONG>(GetLastError());
        result.known = result.error == ERROR_SERVICE_DOES_NOT_EXIST;
        return result;
    }
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.Get(), &status)) {
        result.error = static_cast<LONG>(GetLastError());
        return result;
    }
    result.known = result.installed = true;
    result.state = status.dwCurrentState;
    return result;
}

const char* ServiceStateName(const ServiceState& s) {
    if (!s.known) return "unknown";
    if (!s.installed) return "not installed";
    switch (s.state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continuing";
    case SERVICE_PAUSE_PENDING: return "pausing";
    case SERVICE_PAUSED: return "paused";
    default: return "unknown";
    }
}

// --- Ctrl-C --------------------------------------------------------------------------------
HANDLE g_interrupt = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
    SetEvent(g_interrupt);
    return TRUE;  // handled: the process ends through the normal path, keys closed
}

// Turns Ctrl-C, Ctrl-Break and console close into an event for the wait, for one scope.
class ConsoleInterrupt {
public:
    ConsoleInterrupt() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        if (!m_event) return;
        g_interrupt = m_event.Get();
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    ~ConsoleInterrupt() {
        if (!m_event) return;
        SetConsoleCtrlHandler(OnConsoleControl, FALSE);
        g_interrupt = nullptr;
    }
    ConsoleInterrupt(const ConsoleInterrupt&) = delete;
    ConsoleInterrupt& operator=(const ConsoleInterrupt&) = delete;
    HANDLE Event() const { return m_event.Get(); }

private:
    win::UniqueHandle m_event;
};

enum class Woken { Change, Interrupt, Deadline, Failed };

// Waits for the key's notification or Ctrl-C, at most until `deadline` (GetTickCount64 time).
Woken WaitChange(const KeyWatch& watch, const ConsoleInterrupt& interrupt, bool timed, ULONGLONG deadline) {
    DWORD wait = INFINITE;
    if (timed) {
        ULONGLONG now = GetTickCount64();
        wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    }
    HANDLE handles[2] = {watch.Event(), interrupt.Event()};
    switch (WaitForMultipleObjects(2, handles, FALSE, wait)) {
    case WAIT_OBJECT_0: return Woken::Change;
    case WAIT_OBJECT_0 + 1: return Woken::Interrupt;
    case WAIT_TIMEOUT: return Woken::Deadline;
    default: return Woken::Failed;
    }
}

void PrintLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);  // a pipe would otherwise hold back watch lines
}

// --- status --------------------------------------------------------------------------------
std::string ValueTitle(const ValueInfo& info) { return std::string(info.key) + " \"" + info.name + "\""; }

void PrintStatusText(const ServiceState& service, const Reading* readings) {
    std::string line = std::string("service ") + kServiceName + ": " + ServiceStateName(service);
    if (!service.known) line += " (" + ErrorText(service.error) + ")";
    PrintLine(line);
    PrintLine("HKLM\\Software\\Haskorn\\SystemEvent (32-bit view)");
    for (int i = 0; i < kValueCount; ++i) {
        const ValueInfo& info = Info(static_cast<ValueId>(i));
        const Reading& r = readings[i];
        std::string title = ValueTitle(info);
        title.resize(24, ' ');
        if (r.state != ReadState::Ok) {
            PrintLine("  " + title + StateName(r.state) + " (reads as 0)");
            continue;
        }
        std::vector<std::string> names = BitNames(info.id, r.value);
        std::string detail = names.empty() ? "(no bits)" : Join(names);
        if (info.id == ValueId::CurrentSetting) detail += "  (firmware gets " + Hex(~r.value) + ")";
        PrintLine("  " + title + Hex(r.value) + "  " + detail);
        for (int bit = 0; bit < 32; ++bit)
            if ((r.value & (1u << bit)) && BitMeaning(info.id, bit))
                PrintLine("      " + BitNames(info.id, 1u << bit)[0] + ": " + BitMeaning(info.id, bit));
    }
}

void PrintStatusJson(const ServiceState& service, const Reading* readings) {
    std::string json = "{\"service\":{\"name\":" + JsonString(kServiceName) +
                       ",\"installed\":" + (service.installed ? "true" : "false") +
                       ",\"running\":" + (service.installed && service.state == SERVICE_RUNNING ? "true" : "false") +
                       ",\"state\":" + JsonString(ServiceStateName(service)) + "},\"values\":{";
    for (int i = 0; i < kValueCount; ++i) {
        const ValueInfo& info = Info(static_cast<ValueId>(i));
        const Reading& r = readings[i];
        json += std::string(i ? "," : "") + JsonString(info.label) + ":{\"key\":" + JsonString(DisplayPath(info.key)) +
                ",\"name\":" + JsonString(info.name) + ",\"state\":" + JsonString(StateName(r.state)) +
                ",\"value\":" + std::to_string(r.value) + ",\"bits\":" + JsonList(BitNames(info.id, r.value)) + "}";
    }
    PrintLine(json + "}}");
}

// --- watch ---------------------------------------------------------------------------------
void PrintChange(ValueId id, DWORD before, DWORD after, bool json) {
    const ValueInfo& info = Info(id);
    std::vector<std::string> flipped = FlippedBits(id, before, after);
    if (json) {
        PrintLine("{\"type\":\"change\",\"time\":" + JsonString(LocalTimestamp()) + ",\"value\":" +
                  JsonString(info.label) + ",\"old\":" + std::to_string(before) + ",\"new\":" +
                  std::to_string(after) + ",\"flipped\":" + JsonList(flipped) + "}");
    } else {
        PrintLine(LocalTimestamp() + "  " + ValueTitle(info) + "  " + Hex(before) + " -> " + Hex(after) +
                  "  flipped: " + Join(flipped));
    }
}

}  // namespace

int RunStatus(const Args& args) {
    if (!args.positional.empty()) return UsageError("unexpected argument '" + args.positional[0] + "'", "status");
    ServiceState service = QueryService();
    Reading readings[kValueCount];
    for (int i = 0; i < kValueCount; ++i) readings[i] = ReadValue(static_cast<ValueId>(i));
    if (args.json) PrintStatusJson(service, readings);
    else PrintStatusText(service, readings);
    return kExitOk;
}

int RunWatch(const Args& args) {
    if (!args.positional.empty()) return UsageError("unexpected argument '" + args.positional[0] + "'", "watch");
    KeyWatch watch;
    LONG rc = watch.Open(kNotification);
    if (rc != ERROR_SUCCESS) return Fail(kExitSystem, OpenFailure(kNotification, rc));
    ConsoleInterrupt interrupt;
    if (!interrupt.Event()) return Fail(kExitSystem, "cannot create an event: " + ErrorText(GetLastError()));

    // Armed before the first read, so a change right after it is not lost.
    DWORD events = ReadDword(watch.Key(), "").value;
    DWORD answers = ReadDword(watch.Key(), "Type2").value;
    if (args.json) {
        PrintLine("{\"type\":\"armed\",\"time\":" + JsonString(LocalTimestamp()) + ",\"key\":" +
                  JsonString(DisplayPath(kNotification)) + ",\"Notification\":" + std::to_string(events) +
                  ",\"Notification.Type2\":" + std::to_string(answers) + "}");
    } else {
        PrintLine("watching " + DisplayPath(kNotification) + ": \"\" = " + Hex(events) + ", \"Type2\" = " +
                  Hex(answers) + (args.hasTimeout ? "" : " (Ctrl-C ends)"));
    }

    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(args.timeout) * 1000;
    for (;;) {
        switch (WaitChange(watch, interrupt, args.hasTimeout, deadline)) {
        case Woken::Change: break;
        case Woken::Interrupt:
        case Woken::Deadline: return kExitOk;
        case Woken::Failed: return Fail(kExitSystem, "wait failed: " + ErrorText(GetLastError()));
        }
        rc = watch.Rearm();
        if (rc != ERROR_SUCCESS)
            return Fail(kExitSystem, "stopped watching " + DisplayPath(kNotification) + ": " + ErrorText(rc));
        Reading newEvents = ReadDword(watch.Key(), "");
        Reading newAnswers = ReadDword(watch.Key(), "Type2");
        // A deleted key reads as failed, not as absent: that ends the watch instead of printing zeros.
        for (const Reading* r : {&newEvents, &newAnswers})
            if (r->state == ReadState::Failed)
                return Fail(kExitSystem, "stopped watching " + DisplayPath(kNotification) + ": " + ErrorText(r->error));
        if (newEvents.value != events) PrintChange(ValueId::Notification, events, newEvents.value, args.json);
        if (newAnswers.value != answers)
            PrintChange(ValueId::NotificationType2, answers, newAnswers.value, args.json);
        events = newEvents.value;
        answers = newAnswers.value;
    }
}

int RunRequest(const Args& args) {
    if (args.positional.empty()) return UsageError("which request? give 0, 1 or 17", "request");
    if (args.positional.size() > 1) return UsageError("unexpected argument '" + args.positional[1] + "'", "request");
    DWORD bit = 0;
    if (!ParseU32(args.positional[0], bit) || (bit != 0 && bit != 1 && bit != 17))
        return UsageError("bad request '" + args.positional[0] + "': give 0, 1 or 17", "request");
    const DWORD mask = 1u << bit;
    const DWORD answerBit = bit == 0 ? 16 : 17;
    const DWORD timeout = args.hasTimeout ? args.timeout : 5000;

    win::RegKey control;
    LONG rc = OpenKey(kStatusControl, KEY_QUERY_VALUE | KEY_SET_VALUE, control);
    if (rc != ERROR_SUCCESS) return Fail(kExitSystem, OpenFailure(kStatusControl, rc));
    // The acknowledgement watch is armed before the request is written, so a fast answer is seen.
    KeyWatch answers;
    DWORD before = 0;
    if (bit != 17) {
        rc = answers.Open(kNotification);
        if (rc != ERROR_SUCCESS) return Fail(kExitSystem, OpenFailure(kNotification, rc));
        before = ReadDword(answers.Key(), "Type2").value;
    }
    ConsoleInterrupt interrupt;
    if (!interrupt.Event()) return Fail(kExitSystem, "cannot create an event: " + ErrorText(GetLastError()));

    DWORD requests = ReadDword(control.Get(), "Type2").value ^ mask;
    rc = WriteDword(control.Get(), "Type2", requests);
    if (rc != ERROR_SUCCESS) return Fail(kExitSystem, "cannot write StatusControl \"Type2\": " + ErrorText(rc));
    const ULONGLONG deadline = GetTickCount64() + timeout;

    if (bit == 17) {
        if (args.json)
            PrintLine("{\"request\":17,\"result\":\"sent\",\"StatusControl.Type2\":" + std::to_string(requests) + "}");
        else
            PrintLine("request 17: sent (StatusControl \"Type2\" = " + Hex(requests) +
                      "); the service never acknowledges this request");
        return kExitNoAck;
    }

    for (;;) {
        switch (WaitChange(answers, interrupt, true, deadline)) {
        case Woken::Change: break;
        case Woken::Interrupt: return Fail(kExitInterrupted, "interrupted before the acknowledgement");
        case Woken::Deadline: {
            ServiceState service = QueryService();
            std::string why = service.installed && service.state == SERVICE_RUNNING
                                  ? "the service is not ready, the firmware call failed or the request was absorbed"
                                  : std::string("the service is ") + ServiceStateName(service);
            if (args.json)
                PrintLine("{\"request\":" + std::to_string(bit) + ",\"result\":\"timeout\",\"timeout_ms\":" +
                          std::to_string(timeout) + "}");
            return Fail(kExitTimedOut, "request " + std::to_string(bit) + ": no acknowledgement within " +
                                           std::to_string(timeout) + " ms (" + why + ")");
        }
        case Woken::Failed: return Fail(kExitSystem, "wait failed: " + ErrorText(GetLastError()));
        }
        rc = answers.Rearm();
        if (rc != ERROR_SUCCESS)
            return Fail(kExitSystem, "stopped watching " + DisplayPath(kNotification) + ": " + ErrorText(rc));
        Reading reading = ReadDword(answers.Key(), "Type2");
        if (reading.state == ReadState::Failed)
            return Fail(kExitSystem, "stopped watching " + DisplayPath(kNotification) + ": " + ErrorText(reading.error));
        DWORD now = reading.value;
        if (!((now ^ before) & mask)) continue;  // an event bit or another answer changed
        const int answer = (now >> answerBit) & 1;
        const char* name = bit == 0 ? "state-A" : "device-B";
        if (args.json)
            PrintLine("{\"request\":" + std::to_string(bit) + ",\"result\":\"acknowledged\",\"answer_bit\":" +
                      std::to_string(answerBit) + ",\"answer\":" + std::to_string(answer) +
                      ",\"Notification.Type2\":" + std::to_string(now) + "}");
        else
            PrintLine("request " + std::to_string(bit) + ": acknowledged; " + name + (answer ? " on" : " off") +
                      " (Notification \"Type2\" bit " + std::to_string(answerBit) + " = " + std::to_string(answer) +
                      ", value " + Hex(now) + ")");
        return kExitOk;
    }
}

int RunSetting(const Args& args) {
    const std::vector<std::string>& p = args.positional;
    if (p.empty()) return UsageError("give 'get' or 'set VALUE'", "setting");
    if (p[0] == "get") {
        if (p.size() > 1) return UsageError("unexpected argument '" + p[1] + "'", "setting");
        Reading r = ReadValue(ValueId::CurrentSetting);
        if (r.state == ReadState::KeyMissing || r.state == ReadState::Failed)
            return Fail(kExitSystem, OpenFailure(kCurrentSetting, r.error));
        PrintLine(Hex(r.value) + (r.state == ReadState::Ok ? "" : std::string(" (") + StateName(r.state) + ")"));
        return kExitOk;
    }
    if (p[0] == "set") {
        if (p.size() < 2) return UsageError("'setting set' needs a VALUE", "setting");
        if (p.size() > 2) return UsageError("unexpected argument '" + p[2] + "'", "setting");
        DWORD value = 0;
        if (!ParseU32(p[1], value))
            return UsageError("bad value '" + p[1] + "': give 0 to 4294967295 in decimal or 0x hex", "setting");
        win::RegKey key;
        LONG rc = OpenKey(kCurrentSetting, KEY_SET_VALUE, key);
        if (rc != ERROR_SUCCESS) return Fail(kExitSystem, OpenFailure(kCurrentSetting, rc));
        rc = WriteDword(key.Get(), "", value);
        if (rc != ERROR_SUCCESS) return Fail(kExitSystem, "cannot write CurrentSetting: " + ErrorText(rc));
        PrintLine("CurrentSetting = " + Hex(value) + " (the service sends " + Hex(~value) + " to the firmware)");
        return kExitOk;
    }
    return UsageError("unknown setting action '" + p[0] + "': give 'get' or 'set VALUE'", "setting");
}

}  // namespace client
