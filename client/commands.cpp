#include "client/commands.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "client/decode.h"
#include "client/doctor.h"
#include "client/lib/telvarin_client.h"
#include "common/win_raii.h"

namespace client {

namespace {

using Json = nlohmann::ordered_json;
using console::Hex;

// --- service control manager ---------------------------------------------------------------
struct ServiceState {
    bool known = false;      // the manager answered
    bool installed = false;
    DWORD state = 0;         // SERVICE_RUNNING, ... when installed
    LONG error = ERROR_SUCCESS;
};

ServiceState QueryService() {
    ServiceState result;
    result.error = telvarin_service_state(&result.state);
    result.installed = result.error == ERROR_SUCCESS;
    result.known = result.installed || result.error == ERROR_SERVICE_DOES_NOT_EXIST;
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

void PrintLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);  // a pipe would otherwise hold back watch lines
}

void PrintJson(const Json& value) { PrintLine(console::JsonText(value)); }

// --- status --------------------------------------------------------------------------------
void PrintStatusText(const ServiceState& service, const telvarin_reading* readings) {
    std::string line = std::string("service " TELVARIN_SERVICE_NAME ": ") + ServiceStateName(service);
    if (!service.known) line += " (" + ErrorText(service.error) + ")";
    PrintLine(line);
    PrintLine(DisplayPath(TELVARIN_KEY_ROOT) + " (32-bit view)");
    for (int i = 0; i < TELVARIN_VAL_COUNT; ++i) {
        const auto id = static_cast<telvarin_value_id>(i);
        const telvarin_reading& r = readings[i];
        std::string title = Title(*telvarin_value(id));
        title.resize(24, ' ');
        if (r.state != TELVARIN_READ_OK) {
            PrintLine("  " + title + StateName(r.state) + " (reads as 0)");
            continue;
        }
        std::vector<std::string> names = BitNames(id, r.value);
        std::string detail = names.empty() ? "(no bits)" : Join(names);
        if (id == TELVARIN_VAL_CURRENT_SETTING) detail += "  (firmware gets " + Hex(~r.value) + ")";
        PrintLine("  " + title + Hex(r.value) + "  " + detail);
        for (int bit = 0; bit < 32; ++bit)
            if ((r.value & (1u << bit)) && BitMeaning(id, 1u << bit))
                PrintLine("      " + BitNames(id, 1u << bit)[0] + ": " + BitMeaning(id, 1u << bit));
    }
}

void PrintStatusJson(const ServiceState& service, const telvarin_reading* readings) {
    Json values = Json::object();
    for (int i = 0; i < TELVARIN_VAL_COUNT; ++i) {
        const auto id = static_cast<telvarin_value_id>(i);
        const telvarin_value_info& info = *telvarin_value(id);
        values[info.label] = {{"key", DisplayPath(info.key)}, {"name", info.name},
                              {"state", StateName(readings[i].state)}, {"value", readings[i].value},
                              {"bits", BitNames(id, readings[i].value)}};
    }
    PrintJson({{"service",
                {{"name", TELVARIN_SERVICE_NAME}, {"installed", service.installed},
                 {"running", service.installed && service.state == SERVICE_RUNNING},
                 {"state", ServiceStateName(service)}}},
               {"values", values}});
}

// --- watch ---------------------------------------------------------------------------------
void PrintChange(telvarin_value_id id, DWORD before, DWORD after, bool json) {
    const telvarin_value_info& info = *telvarin_value(id);
    std::vector<std::string> flipped = FlippedBits(id, before, after);
    if (json)
        PrintJson({{"type", "change"}, {"time", LocalTimestamp()}, {"value", info.label}, {"old", before},
                   {"new", after}, {"flipped", flipped}});
    else
        PrintLine(LocalTimestamp() + "  " + Title(info) + "  " + Hex(before) + " -> " + Hex(after) +
                  "  flipped: " + Join(flipped));
}

// Closes the library's watch at the end of the scope.
struct WatchCloser {
    void operator()(telvarin_watch* watch) const { telvarin_watch_close(watch); }
};

}  // namespace

int RunStatus(const Args& args) {
    if (!args.positional.empty()) return UsageError("unexpected argument '" + args.positional[0] + "'", "status");
    ServiceState service = QueryService();
    telvarin_reading readings[TELVARIN_VAL_COUNT];
    for (int i = 0; i < TELVARIN_VAL_COUNT; ++i) telvarin_read(static_cast<telvarin_value_id>(i), &readings[i]);
    if (args.json) PrintStatusJson(service, readings);
    else PrintStatusText(service, readings);
    return kExitOk;
}

int RunWatch(const Args& args) {
    if (!args.positional.empty()) return UsageError("unexpected argument '" + args.positional[0] + "'", "watch");
    ConsoleInterrupt interrupt;
    if (!interrupt.Event()) return Fail(kExitSystem, "cannot create an event: " + ErrorText(GetLastError()));
    telvarin_watch* opened = nullptr;
    telvarin_notification last = {};
    LONG rc = telvarin_watch_open(&opened, &last);
    if (rc != TELVARIN_OK) return Fail(kExitSystem, ErrorText(rc, TELVARIN_KEY_NOTIFICATION));
    std::unique_ptr<telvarin_watch, WatchCloser> watch(opened);

    const std::string path = DisplayPath(TELVARIN_KEY_NOTIFICATION);
    if (args.json)
        PrintJson({{"type", "armed"}, {"time", LocalTimestamp()}, {"key", path}, {"Notification", last.events},
                   {"Notification.Type2", last.answers}});
    else
        PrintLine("watching " + path + ": \"\" = " + Hex(last.events) + ", \"Type2\" = " + Hex(last.answers) +
                  (args.hasTimeout ? "" : " (Ctrl-C ends)"));

    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(args.timeout) * 1000;
    for (;;) {
        DWORD wait = INFINITE;
        if (args.hasTimeout) {
            ULONGLONG now = GetTickCount64();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        telvarin_notification now = {};
        rc = telvarin_watch_next(watch.get(), wait, interrupt.Event(), &now);
        if (rc == TELVARIN_E_NO_ANSWER || rc == TELVARIN_E_CANCELLED) return kExitOk;
        if (rc != TELVARIN_OK) return Fail(kExitSystem, "stopped watching " + path + ": " + ErrorText(rc));
        if (now.events != last.events) PrintChange(TELVARIN_VAL_NOTIFICATION, last.events, now.events, args.json);
        if (now.answers != last.answers)
            PrintChange(TELVARIN_VAL_NOTIFICATION_TYPE2, last.answers, now.answers, args.json);
        last = now;
    }
}

int RunRequest(const Args& args) {
    if (args.positional.empty()) return UsageError("which request? give 0, 1 or 17", "request");
    if (args.positional.size() > 1) return UsageError("unexpected argument '" + args.positional[1] + "'", "request");
    DWORD request = 0;
    if (!console::ParseU32(args.positional[0], &request) || (request != 0 && request != 1 && request != 17))
        return UsageError("bad request '" + args.positional[0] + "': give 0, 1 or 17", "request");
    const DWORD timeout = args.hasTimeout ? args.timeout : 5000;
    const std::string name = "request " + std::to_string(request);

    ConsoleInterrupt interrupt;
    if (!interrupt.Event()) return Fail(kExitSystem, "cannot create an event: " + ErrorText(GetLastError()));
    // One attempt: a script that wants the retry rule runs the tool again.
    telvarin_answer answer;
    LONG rc = telvarin_request(static_cast<int>(request), timeout, 1, interrupt.Event(), &answer);
    if (rc == TELVARIN_E_CANCELLED) return Fail(kExitInterrupted, "interrupted before the acknowledgement");
    if (rc == TELVARIN_E_NO_ANSWER) {
        ServiceState service = QueryService();
        std::string why = std::string("the service is ") + ServiceStateName(service);
        if (service.installed && service.state == SERVICE_RUNNING) {
            const std::string cause = NotReadyCause();
            why = cause.empty() ? "the firmware call failed or was given up, or the request was absorbed; "
                                  "'telvarin-client doctor' checks the firmware"
                                : "the service is not ready: " + cause;
        }
        if (args.json) PrintJson({{"request", request}, {"result", "timeout"}, {"timeout_ms", timeout}});
        return Fail(kExitTimedOut,
                    name + ": no acknowledgement within " + std::to_string(timeout) + " ms (" + why + ")");
    }
    // Another client's request went on for the whole time-out: nothing was written.
    if (rc == TELVARIN_E_BUSY) return Fail(kExitTimedOut, name + ": " + ErrorText(rc) + "; nothing was written");
    if (rc != TELVARIN_OK) return Fail(kExitSystem, ErrorText(rc, answer.key));

    if (request == 17) {
        if (args.json) PrintJson({{"request", 17}, {"result", "sent"}, {"StatusControl.Type2", answer.requests}});
        else
            PrintLine("request 17: sent (StatusControl \"Type2\" = " + Hex(answer.requests) +
                      "); the service never acknowledges this request");
        return kExitNoAck;
    }
    const int answerBit = request == 0 ? 16 : 17;
    if (args.json)
        PrintJson({{"request", request}, {"result", "acknowledged"}, {"answer_bit", answerBit}, {"answer", answer.on},
                   {"Notification.Type2", answer.answers}});
    else
        PrintLine(name + ": acknowledged; " + (request == 0 ? "state-A" : "device-B") + (answer.on ? " on" : " off") +
                  " (Notification \"Type2\" bit " + std::to_string(answerBit) + " = " + std::to_string(answer.on) +
                  ", value " + Hex(answer.answers) + ")");
    return kExitOk;
}

int RunSetting(const Args& args) {
    const std::vector<std::string>& p = args.positional;
    if (p.empty()) return UsageError("give 'get' or 'set VALUE'", "setting");
    if (p[0] == "get") {
        if (p.size() > 1) return UsageError("unexpected argument '" + p[1] + "'", "setting");
        telvarin_reading r;
        LONG rc = telvarin_read(TELVARIN_VAL_CURRENT_SETTING, &r);
        if (rc != TELVARIN_OK) return Fail(kExitSystem, ErrorText(rc, TELVARIN_KEY_CURRENT_SETTING));
        PrintLine(Hex(r.value) + (r.state == TELVARIN_READ_OK ? "" : std::string(" (") + StateName(r.state) + ")"));
        return kExitOk;
    }
    if (p[0] == "set") {
        if (p.size() < 2) return UsageError("'setting set' needs a VALUE", "setting");
        if (p.size() > 2) return UsageError("unexpected argument '" + p[2] + "'", "setting");
        DWORD value = 0;
        if (!console::ParseU32(p[1], &value))
            return UsageError("bad value '" + p[1] + "': give 0 to 4294967295 in decimal or 0x hex", "setting");
        LONG rc = telvarin_write_setting(value);
        if (rc == TELVARIN_E_BUSY) return Fail(kExitTimedOut, ErrorText(rc) + "; nothing was written");
        if (rc != TELVARIN_OK) return Fail(kExitSystem, ErrorText(rc, TELVARIN_KEY_CURRENT_SETTING));
        PrintLine("CurrentSetting = " + Hex(value) + " (the service sends " + Hex(~value) + " to the firmware)");
        return kExitOk;
    }
    return UsageError("unknown setting action '" + p[0] + "': give 'get' or 'set VALUE'", "setting");
}

}  // namespace client
