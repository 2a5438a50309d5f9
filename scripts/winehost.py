"""Drives Telvarin's programs in a private Wine prefix, from outside.

Shared by the system tests, the demo and the benchmarks. Everything is observed the way a
deployer would: the service control manager, the registry (32-bit view), Wine's trace of the
event-log calls, the firmware emulator's controller.

The prefix is 64-bit, as Windows 11 is. A host gives the service's flavour (x86 or x64: the
service, the emulator and its controller) and the clients' flavour (the client tool, the
library's programs and the test helpers). Each program runs through the loader of its own
bitness; Wine's own programs (reg, net, msiexec, cmd) run 64-bit.
"""
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

from patience import patient
from protocol import P

SYSTEM_EVENT = "HKLM\\" + P.KEY_ROOT
NOTIFICATION = "HKLM\\" + P.KEY_NOTIFICATION
CAPABILITY = "HKLM\\" + P.KEY_CAPABILITY
CURRENT_SETTING = "HKLM\\" + P.KEY_CURRENT_SETTING
STATUS_CONTROL = "HKLM\\" + P.KEY_STATUS_CONTROL
SERVICE_KEY = "HKLM\\" + P.KEY_SERVICE
EVENT_SOURCE_KEY = "HKLM\\" + P.KEY_EVENT_SOURCE

_REPORT = re.compile(r"^([0-9a-f]{4}):fixme:advapi:ReportEventA \([0-9A-Fa-f]+,0x([0-9a-f]{4}),0x[0-9a-f]{4},0x([0-9a-f]{8}),")
# Wine traces an information entry's strings, warns a warning's and errs an error's.
_STRING = re.compile(r'^([0-9a-f]{4}):(?:trace|warn|err):eventlog:ReportEventW L"(.*)"$')
_STATUS = re.compile(r"^[0-9a-f]{4}:trace:service:SetServiceStatus [0-9A-Fa-f]+((?: \S+){7})$")
_POWER = re.compile(r"^([0-9a-f]{4}):Call KERNEL32\.SetSystemPowerState\(([0-9a-f]+),([0-9a-f]+)\)")


class Event:
    def __init__(self, type_, event_id):
        self.type = type_
        self.id = event_id
        self.strings = []

    def __repr__(self):
        return f"Event(type={self.type}, id={self.id}, strings={self.strings})"


def parse_events(text):
    """Event-log reports in the order they were made, from Wine's +eventlog,fixme+advapi trace.

    Lines of threads reporting at once interleave, so each string goes to its thread's report.
    """
    events, last_by_thread = [], {}
    for line in text.splitlines():
        m = _REPORT.match(line)
        if m:
            event = Event(int(m.group(2), 16), int(m.group(3), 16))
            events.append(event)
            last_by_thread[m.group(1)] = event
            continue
        m = _STRING.match(line)
        if m and m.group(1) in last_by_thread:
            last_by_thread[m.group(1)].strings.append(m.group(2))
    return events


def parse_status_reports(text):
    """SetServiceStatus records (type, state, controls, exit, specific, checkpoint, wait hint) made
    by services other than Wine's own (which report type 0x30), from a +service trace."""
    reports = []
    for m in map(_STATUS.match, text.splitlines()):
        if m:
            record = tuple(int(v, 0) for v in m.group(1).split())
            if record[0] != 0x30:
                reports.append(record)
    return reports


def parse_power_requests(text):
    """(suspend, force) of every SetSystemPowerState call in a +relay trace."""
    return [(int(m.group(2), 16), int(m.group(3), 16)) for m in map(_POWER.match, text.splitlines()) if m]


# Debian's /usr/bin/wine picks the 32-bit loader whenever wine32 is installed, and a host
# without 32-bit support cannot run that one. The 64-bit loader given a 32-bit program starts it
# in another process (signals miss it) and fails on paths over MAX_PATH, so 32-bit programs get
# the 32-bit loader.
WINE = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"


def loader(program):
    """The Wine loader for `program`: a Windows path (Z:\\...) of one of our files, or the name of
    one of Wine's own programs."""
    if program.startswith("Z:"):
        path = Path(program[2:].replace("\\", "/"))
        try:
            with open(path, "rb") as pe:
                header = pe.read(0x400)
            offset = int.from_bytes(header[0x3C:0x40], "little")
            if header[offset + 4:offset + 6] == b"\x4c\x01":  # IMAGE_FILE_MACHINE_I386
                return WINE32
        except (OSError, ValueError):
            pass
    return WINE


ARCHES = ("x86", "x64")
# The programs of the service's side; every other program is a client's.
SERVICE_SIDE = {"telvarin.exe", "fwemu.dll"}


def bin_dir(build, arch):
    """The programs of one flavour: build/bin (x86, the shipped product) or build/x64/bin."""
    return Path(build) / "bin" if arch == "x86" else Path(build) / arch / "bin"


class WineHost:
    def __init__(self, build_dir, arch="x86", client_arch=None, prefix=None):
        """build_dir: the main build tree (the programs); arch: the service's flavour;
        client_arch: the clients' flavour (default: the service's); prefix: the Wine prefix
        (default: WINEPREFIX, which CTest's entries and ./dev set, else build/wineprefix). The
        session's files (the services' trace, msiexec's log) go in the folder that holds it."""
        assert arch in ARCHES and (client_arch or arch) in ARCHES, (arch, client_arch)
        self.build = Path(build_dir).resolve()
        self.arch = arch
        self.client_arch = client_arch or arch
        self.bin = bin_dir(self.build, self.arch)
        self.client_bin = bin_dir(self.build, self.client_arch)
        self.prefix = Path(prefix or os.environ.get("WINEPREFIX") or self.build / "wineprefix").resolve()
        self.work = self.prefix.parent
        self.trace_path = self.work / "service-trace.log"
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self._first = None

    # --- processes -------------------------------------------------------------------------
    def win_path(self, path):
        return "Z:" + str(path).replace("/", "\\")

    def exe(self, name):
        """The Windows path of a program: the service's flavour for the service's side, the
        clients' flavour for everything else."""
        return self.win_path((self.bin if name in SERVICE_SIDE else self.client_bin) / name)

    def flavour(self):
        """How this host runs, in a few words: 'x86' or 'x86 service, x64 clients'."""
        return self.arch if self.client_arch == self.arch else f"{self.arch} service, {self.client_arch} clients"

    @staticmethod
    def command(*args):
        """The command line that runs a Windows program (and its arguments) through its loader."""
        return [loader(args[0]), *args]

    def wine(self, *args, timeout=120, debug=None, check=False, rerun_unrun=False):
        """Runs a program and returns its CompletedProcess. rerun_unrun: for a command that may be
        run twice (one that only reads, or sets a state), run it again when it ended with an
        error without a word of output. Our tools never fail silently, but now and then, in long
        runs, Wine ends one of them with exit code 1 and no output."""
        env = dict(self.env)
        if debug:
            env["WINEDEBUG"] = debug
        for attempt in range(3):
            result = subprocess.run(self.command(*args), env=env, capture_output=True, text=True,
                                    errors="replace", timeout=patient(timeout))
            if not (rerun_unrun and result.returncode != 0 and not result.stdout and not result.stderr):
                break
            print(f"winehost: {' '.join(args)} ended with {result.returncode} and no output; running it again",
                  file=sys.stderr)
        if check and result.returncode != 0:
            raise RuntimeError(f"wine {' '.join(args)} exited {result.returncode}: {result.stderr[-2000:]}")
        return result

    def telvarin(self, *args, trace=False):
        """Runs telvarin.exe with arguments; with trace, its own event-log trace is in stderr."""
        return self.wine(self.exe("telvarin.exe"), *args, debug="+eventlog,fixme+advapi" if trace else None)

    def fwemu(self, *args, check=True):
        """Runs the emulator's controller. A controller registers the fwemu.dll of its own
        bitness, so (un)registering takes the service's flavour; every other command takes the
        clients' flavour, which also proves that both flavours read one state file alike."""
        registering = bool(args) and args[0] in ("register", "unregister")
        # Every command but `event` only reads or sets a state, and may run twice.
        result = self.wine(self.win_path((self.bin if registering else self.client_bin) / "fwemu-ctl.exe"), *args,
                           rerun_unrun=not args or args[0] != "event")
        if check and result.returncode != 0:
            raise RuntimeError(f"fwemu-ctl {' '.join(args)} exited {result.returncode}: {result.stderr.strip()}")
        return result

    # --- the firmware emulator (its controller, from outside the service) ---------------------
    def emulator_calls(self):
        """Register calls the emulator received: [{"in": {"eax": text, ...}, "out": [...], ...}]."""
        return json.loads(self.fwemu("calls", "--json").stdout)["calls"]

    def emulator_writes(self):
        return json.loads(self.fwemu("writes", "--json").stdout)["writes"]

    def emulator_status(self):
        return parse_fields(self.fwemu("status").stdout)

    def emulator_subscribers(self):
        """Live button-event subscriptions the emulator holds."""
        return int(self.emulator_status().get("subscribers", "0"))

    def emulator_live(self):
        """{pid: (count, alive)} of emulator COM objects per process."""
        live = {}
        for line in self.fwemu("live").stdout.splitlines():
            m = re.match(r"live: pid=(\d+) count=(-?\d+) alive=(yes|no)", line)
            if m:
                live[int(m.group(1))] = (int(m.group(2)), m.group(3) == "yes")
        return live

    # --- the session: one wineserver whose first process's stderr catches the services' traces
    def ensure_prefix(self):
        if not (self.prefix / "system.reg").exists():
            subprocess.run([WINE, "wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=patient(300))
            self.end_session()

    def start_session(self, relay_power=False):
        self.ensure_prefix()
        self.end_session()
        # The persistent server must not hold our own stdout/stderr open after we exit.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # Launched through the first process, services inherit its environment and stderr.
        debug = "+eventlog,fixme+advapi,+service" + (",+relay" if relay_power else "")
        self.trace_path.write_text("")
        trace = open(self.trace_path, "w")
        env = dict(self.env, WINEDEBUG=debug)
        self._first = subprocess.Popen([WINE, "cmd", "/c", "exit"], env=env, stdout=subprocess.DEVNULL,
                                       stderr=trace)
        trace.close()
        self._first.wait(timeout=patient(120))
        self.wait_until(lambda: self.service_state(P.WMI_SERVICE) is not None, 60, "the service manager to answer")
        # Read by each process as it starts: the services started from now on trace only this call.
        # (Set after the first process: a first process's pipes would be inherited by the services.)
        if relay_power:
            self.wine("reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
                      "/d", "kernel32.SetSystemPowerState", "/f", check=True)

    def end_session(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=patient(60))

    def trace(self):
        return self.trace_path.read_text(errors="replace")

    def service_events(self):
        return parse_events(self.trace())

    def status_reports(self):
        return parse_status_reports(self.trace())

    def power_requests(self):
        return parse_power_requests(self.trace())

    # --- waiting ----------------------------------------------------------------------------
    @staticmethod
    def wait_until(predicate, timeout, what, interval=None):
        """The predicate's first true value, looked for until `timeout` s (made patient) have
        passed. Without an interval the looks come 0.1 s apart at first and then further apart,
        up to 0.5 s: most looks start a Wine process, and a long wait must not keep a core busy
        beside the entries running in parallel."""
        timeout = patient(timeout)
        deadline = time.monotonic() + timeout
        pause = 0.1 if interval is None else interval
        while True:
            value = predicate()
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out after {timeout} s waiting for {what}")
            time.sleep(pause)
            if interval is None:
                pause = min(pause * 1.5, 0.5)

    # --- service control manager ------------------------------------------------------------
    def service_state(self, name=P.SERVICE_NAME):
        """The manager's status of a service as a dict of ints (STATE, TYPE, CONTROLS_ACCEPTED,
        WIN32_EXIT_CODE, ...), or None when it does not exist; read through svcprobe."""
        fields = self.probe("query", name)
        if not fields:
            return None
        names = {"type": "TYPE", "state": "STATE", "controls": "CONTROLS_ACCEPTED", "exit": "WIN32_EXIT_CODE",
                 "specific": "SERVICE_EXIT_CODE", "checkpoint": "CHECKPOINT", "waithint": "WAIT_HINT"}
        return {names[key]: int(value, 0) for key, value in fields.items() if key in names}

    def probe(self, command, name=P.SERVICE_NAME):
        """svcprobe's view (query, interrogate or config) as a dict, or None when it fails."""
        result = self.wine(self.exe("svcprobe.exe"), command, name, rerun_unrun=command != "stop")
        return parse_fields(result.stdout) if result.returncode == 0 else None

    def start_winmgmt(self):
        self.wine("net", "start", P.WMI_SERVICE)
        self.wait_until(lambda: (self.service_state(P.WMI_SERVICE) or {}).get("STATE") == 4, 60, "winmgmt to run")

    def telvarin_processes(self):
        """Process ids of running telvarin.exe processes of this prefix (seen from Linux)."""
        return prefix_processes(self, lambda proc: any(
            arg.lower().endswith(b"telvarin.exe") for arg in (proc / "cmdline").read_bytes().split(b"\0")[:2]))

    def install_and_start(self):
        self.telvarin("-InstSvc")
        self.telvarin("-StartSvc")
        self.wait_until(lambda: (self.service_state() or {}).get("STATE") == 4, 30, "Telvarin to run")

    def remove_service(self):
        """Stops the service, waits for its process to end, then deletes it and waits until it is
        gone: a service deleted while it runs is only marked, and a session ended then can leave
        the mark to surprise the next one."""
        # Sent whatever the state looks like: a probe that failed must not pass for a stopped
        # service, and a stopped or missing one ignores it.
        if self.telvarin_processes():
            self.telvarin("-StopSvc")
        self.wait_until(lambda: not self.telvarin_processes(), 45, "the service process to end")
        self.telvarin("-UninstSvc")
        self.wait_until(lambda: self.service_state() is None, 45, "the service to be deleted")

    def stop_service(self, timeout=45):
        self.telvarin("-StopSvc")
        try:
            self.wait_until(lambda: (self.service_state() or {}).get("STATE") == 1, timeout, "Telvarin to stop")
            self.wait_until(lambda: not self.telvarin_processes(), timeout, "the service process to end")
        except AssertionError as failure:
            raise AssertionError(f"{failure}\n{self.diagnostics()}") from None

    def diagnostics(self):
        """What the service manager and the traces say, for a failure message."""
        lines = [f"service manager: {self.probe('query')}", f"status reports: {self.status_reports()}",
                 f"events: {[(e.id, e.strings) for e in self.service_events()][-10:]}",
                 f"telvarin processes: {self.telvarin_processes()}", "trace tail:"]
        lines += [line for line in self.trace().splitlines()
                  if "hid:" not in line and "winediag" not in line and "systray" not in line][-40:]
        return "\n".join(lines)

    # --- registry (the 32-bit view the service sees) --------------------------------------------
    def reg_values(self, key):
        """{value name: (type, data)} of one key in the 32-bit view, read through svcprobe; None
        when the key does not exist. REG_DWORD data is an int (None unless 4 bytes), strings are
        text, REG_MULTI_SZ entries are joined with a literal \\0 as `reg query` shows them."""
        result = self.wine(self.exe("svcprobe.exe"), "values", key, rerun_unrun=True)
        if result.returncode != 0:
            return None
        values = {}
        for line in result.stdout.splitlines():
            tag, _, rest = line.partition(": ")
            if tag != "value":
                continue
            type_, data_hex, name_hex = rest.split(" ")
            data = b"" if data_hex == "-" else bytes.fromhex(data_hex)
            name = "" if name_hex == "-" else bytes.fromhex(name_hex).decode("latin-1")
            values[name] = _decode_value(int(type_), data)
        return values

    def reg_dword(self, key, name):
        values = self.reg_values(key) or {}
        entry = values.get(name)
        return entry[1] if entry and entry[0] == "REG_DWORD" else None

    def reg_set_dword(self, key, name, value):
        args = ["reg", "add", key] + (["/ve"] if name == "" else ["/v", name])
        self.wine(*args, "/t", "REG_DWORD", "/d", str(value), "/f", "/reg:32", check=True)

    def reg_delete_key(self, key):
        self.wine("reg", "delete", key, "/f", "/reg:32")

    # --- the MSI package: msiexec and what Windows Installer registers ---------------------------
    def msiexec(self, *args, timeout=180):
        """msiexec ARGS /qn /l*v LOG, with `name.msi` arguments taken from the build tree. Its
        output goes to a file: a pipe can hang when msiexec starts services."""
        log = self.work / "msiexec.log"
        out = self.work / "msiexec.out"
        log.unlink(missing_ok=True)
        args = [self.win_path(self.build / a) if a.endswith(".msi") else a for a in args]
        with open(out, "w") as sink:
            result = subprocess.run([WINE, "msiexec", *args, "/qn", "/l*v", self.win_path(log)],
                                    env=dict(self.env, WINEDEBUG="+eventlog,fixme+advapi"),
                                    stdout=sink, stderr=sink, timeout=patient(timeout))
        text = log.read_text(errors="replace") if log.exists() else ""
        return MsiRun(result.returncode, text, parse_events(out.read_text(errors="replace")))

    def version(self):
        """The version this build tree gives the programs and the MSI (X.Y.Z)."""
        cache = (self.build / "CMakeCache.txt").read_text()
        return re.search(r"^TELVARIN_VERSION:STRING=(.*)$", cache, re.M).group(1)

    def msi(self, version):
        """The file name of the service flavour's MSI of `version` in the build tree."""
        return f"telvarin-{version}.msi" if self.arch == "x86" else f"telvarin-{version}-{self.arch}.msi"

    def install_dir(self):
        """Where the flavour's MSI installs: a 32-bit package goes to Program Files (x86) on 64-bit Windows."""
        return r"C:\Program Files (x86)\Telvarin" if self.arch == "x86" else r"C:\Program Files\Telvarin"

    def installed_products(self, name=P.SERVICE_NAME, arch=None):
        """{product code: {value: data}} of the Add/Remove Programs entries named `name` that a
        package of flavour `arch` (default: the service's) writes, each in its registry view."""
        uninstall = UNINSTALL_KEY if (arch or self.arch) == "x86" else UNINSTALL_KEY.replace("HKLM\\", "HKLM64\\", 1)
        result = self.wine(self.exe("svcprobe.exe"), "keys", uninstall, rerun_unrun=True)
        codes = [bytes.fromhex(line.partition(": ")[2]).decode("latin-1")
                 for line in result.stdout.splitlines() if line.startswith("key: ")]
        products = {code: {value: data for value, (_, data) in (self.reg_values(uninstall + "\\" + code) or {}).items()}
                    for code in codes}
        return {code: values for code, values in products.items() if values.get("DisplayName") == name}

    def unix_path(self, windows_path):
        """The Linux path of a C:\\ path in the prefix."""
        drive, _, rest = windows_path.partition(":")
        assert drive.upper() == "C", windows_path
        return self.prefix / "drive_c" / rest.lstrip("\\").replace("\\", "/")


_REG_TYPES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 7: "REG_MULTI_SZ"}


def _decode_value(type_, data):
    name = _REG_TYPES.get(type_, f"REG_{type_}")
    if type_ == 4:
        return name, int.from_bytes(data, "little") if len(data) == 4 else None
    if type_ in (1, 2, 7):
        text = data.decode("latin-1").rstrip("\0")
        return name, text.replace("\0", "\\0") if type_ == 7 else text
    return name, data.hex()


def parse_fields(text):
    """`key: value` lines (svcprobe, fwemu-ctl) as a dict of strings."""
    fields = {}
    for line in text.splitlines():
        key, sep, value = line.partition(": ")
        if sep:
            fields[key.strip()] = value.strip()
    return fields


UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"


class MsiRun:
    def __init__(self, code, log, events):
        self.code = code      # msiexec's exit code, truncated to 8 bits by Wine (1603 is 67)
        self.log = log        # the /l*v log
        self.events = events  # event-log reports of the processes msiexec ran (the exe's switches)


# --- benchmarks ---------------------------------------------------------------------------------
def run_wine_to_files(host, args, out_path, timeout):
    """Runs a wine command with stdout and stderr in files, not pipes: a service started
    meanwhile inherits the handles, and a pipe it holds would hang the reader. Returns
    (exit code, stdout text, stderr text)."""
    out_path = Path(out_path)
    err_path = out_path.with_suffix(".err")
    with open(out_path, "w") as out, open(err_path, "w") as err:
        code = subprocess.run(host.command(*args), env=host.env, stdout=out, stderr=err, timeout=patient(timeout)).returncode
    return code, out_path.read_text(errors="replace"), err_path.read_text(errors="replace")


def process_usage(pid):
    """(CPU seconds used so far, resident set in KiB) of a Linux process, or None once it is gone."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        status = Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return None
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime
    rss = re.search(r"^VmRSS:\s+(\d+) kB", status, re.M)
    return cpu, int(rss.group(1)) if rss else 0


def prefix_processes(host, matches):
    """Linux pids of the processes of this host's prefix for which matches(/proc/PID) is true."""
    pids = []
    for proc in Path("/proc").iterdir():
        if not proc.name.isdigit():
            continue
        try:
            # Exactly this prefix: the entries running beside this one have prefixes of their own.
            if f"WINEPREFIX={host.prefix}".encode() in (proc / "environ").read_bytes().split(b"\0") and matches(proc):
                pids.append(int(proc.name))
        except OSError:  # the process ended meanwhile
            continue
    return pids


def wineserver_processes(host):
    """Linux pids of the wineserver of this host's prefix."""
    return prefix_processes(host, lambda proc: os.path.basename(os.readlink(proc / "exe")).startswith("wineserver"))
