// fwemu-ctl: drives the firmware emulator's shared state from outside the process using it.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/win_raii.h"
#include "emulator/fwemu.h"
#include "emulator/store.h"

namespace {

using Json = nlohmann::ordered_json;
using console::Hex;
using console::kExitOk;
using console::kExitUsage;
// The state file is missing, corrupt, foreign or locked, or register/unregister failed.
constexpr int kExitEnvironment = console::kExitEnvironment;

constexpr wchar_t kLocatorKey[] =
    L"Software\\Classes\\CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";
constexpr wchar_t kSavedValue[] = L"TelvarinEmulatorSaved";
constexpr wchar_t kSavedModelValue[] = L"TelvarinEmulatorSavedThreadingModel";
// COM finds an in-process server in the registry view of the process that creates it, so the
// controller registers the fwemu.dll of its own bitness in its own view: the x86 controller for
// the x86 service (32-bit view), the x64 controller for the x64 service (64-bit view).
constexpr REGSAM kOwnView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
constexpr const char* kOwnViewName = sizeof(void*) == 8 ? "64-bit" : "32-bit";

const char kHelp[] =
    "Usage: fwemu-ctl [--state PATH] COMMAND [ARGS]\n"
    "Drives the firmware emulator's shared state from outside the process that uses it.\n"
    "\n"
    "Commands:\n"
    "  register              make fwemu.dll (beside this program) the WMI locator of\n"
    "                        programs of this controller's bitness (its registry view)\n"
    "  unregister            restore the locator saved by register\n"
    "  reset [--force]       model, faults and logs to defaults (--force rewrites a bad file)\n"
    "  event CODE [--count N]  inject OrvButtonEvent Param CODE (decimal or 0x hex), N times\n"
    "  setting               last accepted OrvButtonData.Param\n"
    "  calls [--json]        ExecINT calls: exact input texts, outputs, CFlag, result\n"
    "  writes [--json]       OrvButtonData writes: exact Param text and result\n"
    "  state                 model state\n"
    "  set radio on|off      set device state A\n"
    "  set device-b on|off   set device state B\n"
    "  fault NAME VALUE      connect-fail N | method-class-missing on|off | method-missing on|off\n"
    "                        spawn-fail on|off | exec-fail on|off | no-output on|off | cflag N|off\n"
    "                        out-eax VALUE|off | data-instances 0..8 | put-reject on|off\n"
    "                        notify-fail N (-1 = forever) | call-delay-ms 0..60000\n"
    "                        null-param on|off | null-output on|off | null-object on|off\n"
    "                        put-fail on|off | data-hang on|off | method-hang on|off\n"
    "                        put-hang on|off | event-hang on|off | notify-hang on|off\n"
    "                        event-fail N (-1 = forever) | data-timeout on|off\n"
    "                        fail-code HRESULT|off | disconnect on | wmi-down 0..600000 (ms)\n"
    "                        method-instance NAME|none|default (the InstanceName of the\n"
    "                        OrvButtonMethodDW instance published, e.g. ACPI\\PNP0C14\\1_0)\n"
    "  faults                all faults\n"
    "  live                  live emulator COM objects per process\n"
    "  status                state, faults, log totals and live objects\n"
    "  path                  the state file in use\n"
    "\n"
    "\n"
    "The state file is --state PATH, else %TELVARIN_FWEMU_STATE%, else\n"
    "the machine's ProgramData folder\\TelvarinEmulator\\firmware-state.bin.\n"
    "--help (also -h, /?) anywhere on the line prints this text.\n"
    "\n"
    "Exit codes (the same meaning as telvarin-client's 0 to 3):\n"
    "  0  done\n"
    "  2  bad command line; nothing was changed\n"
    "  3  the state file is missing, corrupt, foreign or locked, or the registry\n"
    "     refused register/unregister\n";

int Usage(const std::string& text) { return console::UsageError(text); }

int StateError(const fwemu::Controller& c) { return console::Fail(kExitEnvironment, c.Error()); }

const char* OnOff(bool on) { return on ? "on" : "off"; }

// Recorded text may hold anything a client sent; keep each record on one parseable line.
std::string Quote(const std::wstring& text) {
    std::string out = "\"";
    for (char c : fwemu::Narrow(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\x%02x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void PrintState(const fwemu::ModelState& m, uint64_t events) {
    printf("radio: %s\n", OnOff(m.radio));
    printf("device-b: %s\n", OnOff(m.deviceB));
    printf("option: 0x%02lX\n", static_cast<unsigned long>(m.option));
    printf("setting: %s\n", Hex(m.setting).c_str());
    printf("setting-decimal: %lu\n", static_cast<unsigned long>(m.setting));
    printf("setting-writes: %lu\n", static_cast<unsigned long>(m.settingWrites));
    printf("events-injected: %llu\n", static_cast<unsigned long long>(events));
}

void PrintFaults(const fwemu::Faults& f) {
    printf("connect-fail: %ld\n", static_cast<long>(f.connectFail));
    printf("method-class-missing: %s\n", OnOff(f.methodClassMissing));
    printf("method-missing: %s\n", OnOff(f.methodMissing));
    printf("spawn-fail: %s\n", OnOff(f.spawnFail));
    printf("exec-fail: %s\n", OnOff(f.execFail));
    printf("no-output: %s\n", OnOff(f.noOutput));
    printf("cflag: %lu\n", static_cast<unsigned long>(f.cflag));
    printf("out-eax: %s\n", f.outEaxForced ? Hex(f.outEax).c_str() : "off");
    printf("data-instances: %lu\n", static_cast<unsigned long>(f.dataInstances));
    printf("put-reject: %s\n", OnOff(f.putReject));
    printf("notify-fail: %ld\n", static_cast<long>(f.notifyFail));
    printf("call-delay-ms: %lu\n", static_cast<unsigned long>(f.callDelayMs));
    printf("null-param: %s\n", OnOff(f.nullParam));
    printf("null-output: %s\n", OnOff(f.nullOutput));
    printf("null-object: %s\n", OnOff(f.nullObject));
    printf("put-fail: %s\n", OnOff(f.putFail));
    printf("data-hang: %s\n", OnOff(f.dataHang));
    printf("method-hang: %s\n", OnOff(f.methodHang));
    printf("put-hang: %s\n", OnOff(f.putHang));
    printf("event-hang: %s\n", OnOff(f.eventHang));
    printf("notify-hang: %s\n", OnOff(f.notifyHang));
    printf("event-fail: %ld\n", static_cast<long>(f.eventFail));
    printf("data-timeout: %s\n", OnOff(f.dataTimeout));
    printf("fail-code: %s\n", f.failCode ? Hex(static_cast<DWORD>(f.failCode)).c_str() : "off");
    printf("wmi-down: %lu\n", static_cast<unsigned long>(f.wmiDownMs));
    printf("method-instance: %s\n", f.methodInstance.empty() ? "none" : fwemu::Narrow(f.methodInstance).c_str());
}

bool PrintLive(fwemu::Controller& c) {
    std::vector<fwemu::LiveEntry> live;
    if (!c.GetLive(&live)) return false;
    long total = 0;
    for (const auto& e : live)
        if (e.alive) total += e.count;
    printf("live-total: %ld\n", total);
    for (const auto& e : live)
        printf("live: pid=%lu count=%ld alive=%s\n", static_cast<unsigned long>(e.pid), static_cast<long>(e.count),
               e.alive ? "yes" : "no");
    return true;
}

int Calls(fwemu::Controller& c, bool json) {
    std::vector<fwemu::CallRecord> calls;
    uint64_t total = 0;
    if (!c.GetCalls(&calls, &total)) return StateError(c);
    static const char* const kRegs[4] = {"eax", "ebx", "ecx", "edx"};
    if (json) {
        Json records = Json::array();
        for (const auto& r : calls) {
            Json in = Json::object();
            for (int i = 0; i < 4; ++i) in[kRegs[i]] = r.inSet[i] ? Json(fwemu::Narrow(r.in[i])) : Json();
            records.push_back({{"seq", r.seq}, {"pid", r.pid}, {"hr", static_cast<long>(r.hr)}, {"in", in},
                               {"output", r.hasOutput}, {"out", {r.out[0], r.out[1], r.out[2], r.out[3]}},
                               {"cflag", r.cflag}});
        }
        puts(console::JsonText({{"total", total}, {"calls", records}}).c_str());
        return kExitOk;
    }
    printf("call-total: %llu\n", static_cast<unsigned long long>(total));
    for (const auto& r : calls) {
        printf("call: seq=%llu pid=%lu hr=%s", static_cast<unsigned long long>(r.seq), static_cast<unsigned long>(r.pid),
               Hex(static_cast<DWORD>(r.hr)).c_str());
        for (int i = 0; i < 4; ++i) printf(" %s=%s", kRegs[i], r.inSet[i] ? Quote(r.in[i]).c_str() : "-");
        printf(" output=%s out-eax=%s out-ebx=%s out-ecx=%s out-edx=%s cflag=%lu\n", r.hasOutput ? "yes" : "no",
               Hex(r.out[0]).c_str(), Hex(r.out[1]).c_str(), Hex(r.out[2]).c_str(), Hex(r.out[3]).c_str(),
               static_cast<unsigned long>(r.cflag));
    }
    return kExitOk;
}

int Writes(fwemu::Controller& c, bool json) {
    std::vector<fwemu::WriteRecord> writes;
    uint64_t total = 0;
    if (!c.GetWrites(&writes, &total)) return StateError(c);
    if (json) {
        Json records = Json::array();
        for (const auto& r : writes)
            records.push_back({{"seq", r.seq}, {"pid", r.pid}, {"hr", static_cast<long>(r.hr)},
                               {"text", fwemu::Narrow(r.text)}, {"value", r.value}});
        puts(console::JsonText({{"total", total}, {"writes", records}}).c_str());
        return kExitOk;
    }
    printf("write-total: %llu\n", static_cast<unsigned long long>(total));
    for (const auto& r : writes)
        printf("write: seq=%llu pid=%lu hr=%s text=%s value=%lu\n", static_cast<unsigned long long>(r.seq),
               static_cast<unsigned long>(r.pid), Hex(static_cast<DWORD>(r.hr)).c_str(), Quote(r.text).c_str(),
               static_cast<unsigned long>(r.value));
    return kExitOk;
}

std::wstring DllPath() {
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    std::wstring path(buf, n);
    size_t slash = path.find_last_of(L"\\/");
    return path.substr(0, slash + 1) + L"fwemu.dll";
}

bool ReadValue(HKEY key, const wchar_t* name, DWORD* type, std::vector<BYTE>* data) {
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return false;
    data->assign(size, 0);
    return RegQueryValueExW(key, name, nullptr, type, data->empty() ? nullptr : data->data(), &size) == ERROR_SUCCESS;
}

bool WriteString(HKEY key, const wchar_t* name, const std::wstring& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

int RegistryError(const char* what, LONG code) {
    return console::Fail(kExitEnvironment, std::string(what) + " (error " + std::to_string(code) + ")");
}

int Register() {
    std::wstring dll = DllPath();
    if (dll.empty() || GetFileAttributesW(dll.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return console::Fail(kExitEnvironment, fwemu::Narrow(dll) + " not found");
    }
    win::RegKey key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLocatorKey, 0, nullptr, 0, KEY_READ | KEY_WRITE | kOwnView,
                              nullptr, key.Receive(), nullptr);
    if (rc != ERROR_SUCCESS) return RegistryError("cannot open the locator's InprocServer32 key", rc);
    DWORD type = 0;
    std::vector<BYTE> current, saved;
    bool hasCurrent = ReadValue(key.Get(), nullptr, &type, &current);
    // Save the original once; registering twice must not save our own path over it.
    if (!ReadValue(key.Get(), kSavedValue, &type, &saved) && hasCurrent) {
        ReadValue(key.Get(), nullptr, &type, &current);
        rc = RegSetValueExW(key.Get(), kSavedValue, 0, type, current.data(), static_cast<DWORD>(current.size()));
        if (rc != ERROR_SUCCESS) return RegistryError("cannot save the original locator", rc);
        std::vector<BYTE> model;
        if (ReadValue(key.Get(), L"ThreadingModel", &type, &model))
            RegSetValueExW(key.Get(), kSavedModelValue, 0, type, model.data(), static_cast<DWORD>(model.size()));
    }
    if (!WriteString(key.Get(), nullptr, dll) || !WriteString(key.Get(), L"ThreadingModel", L"Both"))
        return RegistryError("cannot write the locator registration", static_cast<LONG>(GetLastError()));
    printf("registered: %s (%s view)\n", fwemu::Narrow(dll).c_str(), kOwnViewName);
    return kExitOk;
}

int Unregister() {
    win::RegKey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLocatorKey, 0, KEY_READ | KEY_WRITE | kOwnView, key.Receive());
    if (rc != ERROR_SUCCESS) return RegistryError("cannot open the locator's InprocServer32 key", rc);
    DWORD type = 0;
    std::vector<BYTE> saved;
    if (!ReadValue(key.Get(), kSavedValue, &type, &saved)) {
        printf("unregistered: nothing saved, left unchanged\n");
        return kExitOk;
    }
    rc = RegSetValueExW(key.Get(), nullptr, 0, type, saved.data(), static_cast<DWORD>(saved.size()));
    if (rc != ERROR_SUCCESS) return RegistryError("cannot restore the original locator", rc);
    std::vector<BYTE> model;
    if (ReadValue(key.Get(), kSavedModelValue, &type, &model)) {
        RegSetValueExW(key.Get(), L"ThreadingModel", 0, type, model.data(), static_cast<DWORD>(model.size()));
        RegDeleteValueW(key.Get(), kSavedModelValue);
    }
    RegDeleteValueW(key.Get(), kSavedValue);
    std::wstring text(reinterpret_cast<const wchar_t*>(saved.data()), saved.size() / sizeof(wchar_t));
    printf("unregistered: restored %s\n", fwemu::Narrow(text.c_str()).c_str());
    return kExitOk;
}

bool ParseOnOff(const std::string& text, bool* on) {
    if (text == "on") *on = true;
    else if (text == "off") *on = false;
    else return false;
    return true;
}

int Run(std::vector<std::string> args) {
    if (args.empty()) return Usage("no command");
    const std::string cmd = args[0];
    auto argc = args.size();
    if (cmd == "help") {
        fputs(kHelp, stdout);
        return kExitOk;
    }
    if (cmd == "register" || cmd == "unregister") {
        if (argc != 1) return Usage(cmd + " takes no arguments");
        return cmd == "register" ? Register() : Unregister();
    }
    if (cmd == "path") {
        printf("path: %s\n", fwemu::Narrow(fwemu::StatePath()).c_str());
        return kExitOk;
    }
    if (cmd == "reset" && argc == 2 && args[1] == "--force") {
        std::string error;
        if (!fwemu::Controller::ForceReset(&error)) return console::Fail(kExitEnvironment, error);
        printf("reset: forced\n");
        return kExitOk;
    }
    static const char* const kKnown[] = {"reset", "event", "setting", "calls", "writes", "state",
                                         "set",   "fault", "faults",  "live",  "status"};
    bool known = false;
    for (const char* k : kKnown) known = known || cmd == k;
    if (!known) return Usage("unknown command '" + cmd + "'");

    fwemu::Controller c;
    if (!c.Ok()) return StateError(c);

    if (cmd == "reset") {
        if (argc != 1) return Usage("reset takes only --force");
        if (!c.Reset()) return StateError(c);
        printf("reset: ok\n");
    } else if (cmd == "event") {
        long long code = 0, count = 1;
        if (argc < 2 || !console::ParseNumber(args[1], 0, 0xFFFFFFFFll, &code))
            return Usage("event needs a code (decimal or 0x hex, 0..0xFFFFFFFF)");
        if (argc == 4 && args[2] == "--count") {
            if (!console::ParseNumber(args[3], 1, fwemu::kEventQueueSize, &count))
                return Usage("--count must be 1.." + std::to_string(fwemu::kEventQueueSize));
        } else if (argc != 2) {
            return Usage("event takes CODE [--count N]");
        }
        if (!c.InjectEvent(static_cast<DWORD>(code), static_cast<DWORD>(count))) return StateError(c);
        printf("injected: %lld\n", count);
    } else if (cmd == "setting" || cmd == "state") {
        if (argc != 1) return Usage(cmd + " takes no arguments");
        fwemu::ModelState m;
        uint64_t events = 0;
        if (!c.GetModel(&m) || !c.GetEventTotal(&events)) return StateError(c);
        if (cmd == "setting") {
            printf("setting: %s\n", Hex(m.setting).c_str());
            printf("setting-decimal: %lu\n", static_cast<unsigned long>(m.setting));
            printf("setting-writes: %lu\n", static_cast<unsigned long>(m.settingWrites));
        } else {
            PrintState(m, events);
        }
    } else if (cmd == "calls" || cmd == "writes") {
        bool json = argc == 2 && args[1] == "--json";
        if (argc > 2 || (argc == 2 && !json)) return Usage(cmd + " takes only --json");
        return cmd == "calls" ? Calls(c, json) : Writes(c, json);
    } else if (cmd == "set") {
        bool on = false;
        if (argc != 3 || !ParseOnOff(args[2], &on) || (args[1] != "radio" && args[1] != "device-b"))
            return Usage("set takes radio|device-b on|off");
        if (!(args[1] == "radio" ? c.SetRadio(on) : c.SetDeviceB(on))) return StateError(c);
        printf("%s: %s\n", args[1].c_str(), OnOff(on));
    } else if (cmd == "fault") {
        if (argc != 3) return Usage("fault takes NAME VALUE");
        if (!c.SetFault(args[1], args[2])) {
            // A bad name or value is a usage error; a lock or file problem is a state error.
            fwemu::Faults probe;
            if (!c.GetFaults(&probe)) return StateError(c);
            return Usage(c.Error());
        }
        printf("%s: %s\n", args[1].c_str(), args[2].c_str());
    } else if (cmd == "faults") {
        fwemu::Faults f;
        if (!c.GetFaults(&f)) return StateError(c);
        PrintFaults(f);
    } else if (cmd == "live") {
        if (!PrintLive(c)) return StateError(c);
    } else if (cmd == "status") {
        fwemu::ModelState m;
        fwemu::Faults f;
        uint64_t events = 0, calls = 0, writes = 0;
        std::vector<fwemu::CallRecord> callLog;
        std::vector<fwemu::WriteRecord> writeLog;
        if (!c.GetModel(&m) || !c.GetFaults(&f) || !c.GetEventTotal(&events) || !c.GetCalls(&callLog, &calls) ||
            !c.GetWrites(&writeLog, &writes))
            return StateError(c);
        printf("path: %s\n", fwemu::Narrow(fwemu::StatePath()).c_str());
        PrintState(m, events);
        PrintFaults(f);
        printf("call-total: %llu\n", static_cast<unsigned long long>(calls));
        printf("write-total: %llu\n", static_cast<unsigned long long>(writes));
        DWORD subscribers = 0;
        uint64_t delivered = 0;
        fwemu::ConnectionStats connections;
        if (!c.GetSubscribers(&subscribers) || !c.GetEventsDelivered(&delivered) ||
            !c.GetConnectionStats(&connections))
            return StateError(c);
        printf("subscribers: %lu\n", subscribers);
        printf("events-delivered: %llu\n", static_cast<unsigned long long>(delivered));
        printf("connects: %llu\n", static_cast<unsigned long long>(connections.connects));
        printf("subscriptions: %llu\n", static_cast<unsigned long long>(connections.subscriptions));
        printf("calls-started: %llu\n", static_cast<unsigned long long>(connections.callsStarted));
        printf("polls-started: %llu\n", static_cast<unsigned long long>(connections.pollsStarted));
        printf("polls-hung: %llu\n", static_cast<unsigned long long>(connections.pollsHung));
        printf("generation: %ld\n", static_cast<long>(connections.generation));
        if (!PrintLive(c)) return StateError(c);
    }
    return kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    console::SetToolName("fwemu-ctl");
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(fwemu::Narrow(argv[i]));
    // --help wins over everything else on the line, as in telvarin-client.
    for (const std::string& arg : args) {
        if (console::IsHelp(arg)) {
            fputs(kHelp, stdout);
            return kExitOk;
        }
    }
    if (args.size() >= 2 && args[0] == "--state") {
        fwemu::SetStatePath(argv[2]);
        args.erase(args.begin(), args.begin() + 2);
    } else if (!args.empty() && args[0] == "--state") {
        return Usage("--state needs a path");
    }
    int rc = Run(args);
    fflush(stdout);
    return rc;
}
