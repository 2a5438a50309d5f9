"""The unmodified telvarin.exe as a real service under Wine: install, run, answer, stop, remove.

Observed only from outside: the service control manager, the registry, the event-log trace.
"""
import json
import os
import shutil
import tempfile
from pathlib import Path

import systest
from patience import patient_ms
from protocol import P
from winehost import CURRENT_SETTING, EVENT_SOURCE_KEY, NOTIFICATION, SERVICE_KEY, STATUS_CONTROL, SYSTEM_EVENT

PRODUCT_KEY = "HKLM\\" + P.KEY_PRODUCT
# ERROR_FAILED_SERVICE_CONTROLLER_CONNECT: what the dispatcher answers a process the service
# control manager did not start.
NOT_STARTED_BY_MANAGER = 1063
CONSOLE_START_LINE = ("telvarin.exe is the Telvarin service: the service control manager starts it, and this start "
                      "changed nothing; use -InstSvc, -StartSvc, -StopSvc or -UninstSvc (see telvarin.exe --help)\n")


def installed_events(result):
    from winehost import parse_events
    return [(e.type, e.id, e.strings) for e in parse_events(result.stderr)]


def from_a_script(host, *args):
    """telvarin.exe run by a batch file, as a deployment script runs it: the exit code the script
    sees, and what the program wrote to stdout and stderr. (A Unix parent gets only the low 8
    bits of a Windows exit code from Wine: 1063 would show as 39.)"""
    with tempfile.TemporaryDirectory() as folder:
        script = Path(folder) / "run.cmd"
        script.write_text(f'@"{host.exe("telvarin.exe")}" {" ".join(args)}\r\n@echo exit=%ERRORLEVEL%\r\n')
        result = host.wine("cmd", "/c", host.win_path(script))
    *out, last = result.stdout.splitlines(keepends=True) or [""]
    if not last.startswith("exit="):
        raise AssertionError(f"the script did not finish: {result.stdout!r} {result.stderr!r}")
    return int(last[5:]), "".join(out), result.stderr


def published_lock(host):
    """The client lock's name as the service published it, or None."""
    return (host.reg_values(PRODUCT_KEY) or {}).get(P.VALUE_CLIENT_LOCK, (None, None))[1]


class CommandLine(systest.SessionTestCase):
    def test_console_start_creates_nothing_says_so_and_exits_1063(self):
        host = self.host
        host.reg_delete_key(SYSTEM_EVENT)
        lock = published_lock(host)
        self.assertEqual(from_a_script(host), (NOT_STARTED_BY_MANAGER, "", CONSOLE_START_LINE))
        result = host.telvarin(trace=True)
        self.assertEqual(installed_events(result), [])
        self.assertIsNone(host.reg_values(SYSTEM_EVENT))
        self.assertEqual(published_lock(host), lock)

    def test_help_and_version_go_to_stdout_with_exit_0(self):
        usage = self.host.telvarin("--help")
        self.assertEqual((usage.returncode, usage.stderr), (0, ""))
        self.assertTrue(usage.stdout.startswith("Usage: telvarin.exe [SWITCH]\n"), usage.stdout)
        for word in ("-InstSvc", "-UninstSvc", "-StartSvc", "-StopSvc", "--version", "Exit codes", "1063"):
            self.assertIn(word, usage.stdout)
        for other in ("-?", "/?", "-h", "--HELP"):
            with self.subTest(switch=other):
                self.assertEqual(self.host.telvarin(other, "-InstSvc").stdout, usage.stdout)
        self.assertIsNone(self.host.service_state())
        version = self.host.telvarin("--version")
        self.assertEqual((version.returncode, version.stdout, version.stderr),
                         (0, f"telvarin.exe {self.host.version()}\n", ""))

    def test_unknown_switches_do_nothing_and_exit_2(self):
        # A typo in a deployment script must show; text from the command line is shown as text.
        for argument, shown in (("/InstSvc", "/InstSvc"), ("-InstSvcX", "-InstSvcX"), ("-help", "-help"),
                                ("bogus", "bogus"), ("%s%n%x", "%s%n%x"), ("x" * 300, "x" * 63)):
            with self.subTest(argument=argument[:20]):
                result = self.host.telvarin(argument, trace=True)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, "")
                self.assertIn(f"telvarin.exe: unknown switch '{shown}'; nothing was done (see telvarin.exe --help)\n",
                              result.stderr)
                self.assertEqual(installed_events(result), [])
                self.assertIsNone(self.host.service_state())

    def test_commands_on_a_missing_service_do_nothing(self):
        for argument in ("-UninstSvc", "-StartSvc", "-StopSvc"):
            with self.subTest(argument=argument):
                result = self.host.telvarin(argument, trace=True)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(installed_events(result), [])


class Lifecycle(systest.SessionTestCase):
    def test_install_run_interrogate_stop_uninstall(self):
        host = self.host
        exe_path = host.exe("telvarin.exe")

        # Any mix of case installs; extra arguments are ignored.
        result = host.telvarin("-iNSTsVC", "extra", trace=True)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(installed_events(result), [(4, 100, ["Telvarin"])])
        config = host.probe("config")
        self.assertEqual(config["type"], "0x20")
        self.assertEqual(config["start"], "2")
        self.assertEqual(config["errorcontrol"], "1")
        self.assertEqual(config["binarypath"], f'"{exe_path}"')
        # Wine 8 stores junk after the first dependency string: compare the first one.
        depends = host.reg_values(SERVICE_KEY)["DependOnService"]
        self.assertEqual((depends[0], depends[1].split("\\0")[0]), ("REG_MULTI_SZ", "winmgmt"))
        self.assertEqual(config["account"], "LocalSystem")
        source = host.reg_values(EVENT_SOURCE_KEY)
        self.assertEqual(source, {"EventMessageFile": ("REG_EXPAND_SZ", exe_path), "TypesSupported": ("REG_DWORD", 7)})

        # Installing again changes nothing and reports nothing (the dependency is written again:
        # compared by its first string, as Wine stores junk after it).
        def registration():
            values = host.reg_values(SERVICE_KEY)
            kind, depends = values.get("DependOnService", (None, ""))
            values["DependOnService"] = (kind, depends.split("\\0")[0])
            return values
        before = registration()
        result = host.telvarin("-InstSvc", trace=True)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(installed_events(result), [])
        self.assertEqual(registration(), before)

        host.start_winmgmt()
        result = host.telvarin("-StartSvc", trace=True)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(installed_events(result), [])
        host.wait_until(lambda: (host.probe("query") or {}).get("state") == "4", 30, "RUNNING")
        status = host.probe("query")
        # It takes the stop and the shutdown controls, and is told of power events (resumes).
        self.assertEqual((status["controls"], status["exit"]), ("0x45", "0"))
        # Wine's manager shows the registered type (0x20); the service's own report says 0x10.
        running = (0x10, 4, 0x45, 0, 0, 0, 0)
        self.assertEqual(host.status_reports(), [running])

        self.assertTrue(published_lock(host).startswith(P.CLIENT_LOCK + "."))
        # An interrogate answers the last report and changes nothing.
        self.assertEqual(host.probe("interrogate"), status)
        self.assertEqual(host.probe("query"), status)
        host.wait_until(lambda: host.status_reports() == [running, running], 10, "the interrogate's report")
        # Starting a running service makes no request: still one process.
        pids = host.telvarin_processes()
        self.assertEqual(len(pids), 1)
        host.telvarin("-StartSvc")
        self.assertEqual(host.telvarin_processes(), pids)

        result = host.telvarin("-StopSvc", trace=True)
        self.assertEqual(result.returncode, 0)
        host.wait_until(lambda: (host.probe("query") or {}).get("state") == "1", 30, "STOPPED")
        host.wait_until(lambda: not host.telvarin_processes(), 30, "the service process to end")
        self.assertEqual(host.probe("query")["exit"], "0")
        # Nobody finds the lock of a service that is gone, nor anything made under its name.
        self.assertIsNone(published_lock(host))
        reports = host.status_reports()
        self.assertEqual(reports[:2], [running, running])
        self.assert_stop_reports(reports[2:])
        self.assertEqual(host.telvarin("-StopSvc").returncode, 0)

        result = host.telvarin("-UninstSvc", trace=True)
        self.assertEqual(installed_events(result), [(4, 101, ["Telvarin"])])
        self.assertIsNone(host.service_state())
        # The event source keeps its message file after the service is gone.
        self.assertEqual(host.reg_values(EVENT_SOURCE_KEY), source)
        result = host.telvarin("-UninstSvc", trace=True)
        self.assertEqual(installed_events(result), [])

    def test_uninstall_of_a_running_service_deletes_it_without_a_stop(self):
        host = self.host
        host.start_winmgmt()
        host.install_and_start()
        result = host.telvarin("-UninstSvc", trace=True)
        self.assertEqual(installed_events(result), [(4, 101, ["Telvarin"])])
        # Marked for deletion but not stopped: the process still runs until a stop.
        self.assertTrue(host.telvarin_processes())
        host.telvarin("-StopSvc")
        host.wait_until(lambda: not host.telvarin_processes(), 30, "the service process to end")
        host.wait_until(lambda: host.service_state() is None, 30, "the service to be gone")


class ConsoleStartBesideTheService(systest.SessionTestCase):
    emulator = True

    def test_leaves_every_value_a_client_wrote_and_the_firmware_alone(self):
        host = self.host
        host.start_winmgmt()
        self.start_service(host)
        # What the clients chose: a settings word the firmware holds, and a request 0 served.
        self.push_setting(0x55)
        self.assertEqual(self.client("request", "0").returncode, 0)
        keys = [NOTIFICATION, SYSTEM_EVENT + r"\Capability", CURRENT_SETTING, STATUS_CONTROL, PRODUCT_KEY]
        before = {key: host.reg_values(key) for key in keys}
        self.assertEqual((before[CURRENT_SETTING][""][1], before[STATUS_CONTROL]["Type2"][1] & 0x1), (0x55, 1))
        calls, writes = self.emulator_total("calls"), self.emulator_total("writes")

        self.assertEqual(from_a_script(host), (NOT_STARTED_BY_MANAGER, "", CONSOLE_START_LINE))
        self.assertEqual({key: host.reg_values(key) for key in keys}, before)
        # The watchers serve changes in order: had the run reset CurrentSetting or a request bit,
        # the firmware would get that before the setting and the request 1 that follow.
        self.push_setting(0x66)
        self.assertEqual(self.client("request", "1").returncode, 0)
        self.assertEqual(self.emulator_since("writes", writes), [str(~0x66 & 0xFFFFFFFF)])
        self.assertEqual(len(self.emulator_since("calls", calls)), 1)
        self.assertEqual((host.reg_dword(NOTIFICATION, "Type2") ^ before[NOTIFICATION]["Type2"][1]) & 0x3, 0x2)

    def client(self, *args):
        return self.host.wine(self.host.exe("telvarin-client.exe"), *args, "--timeout", patient_ms(20000))

    def emulator_total(self, log):
        return json.loads(self.host.fwemu(log, "--json").stdout)["total"]

    def emulator_since(self, log, total):
        """The records of the emulator's `log` (calls, writes) after the first `total`: their texts."""
        records = json.loads(self.host.fwemu(log, "--json").stdout)[log]
        return [r.get("text", r.get("in")) for r in records if r["seq"] > total]


class ImagePath(systest.SessionTestCase):
    def test_a_path_with_spaces_is_registered_quoted_and_starts(self):
        host = self.host
        folder = host.bin / "with space"
        folder.mkdir(exist_ok=True)
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        shutil.copy(host.bin / "telvarin.exe", folder / "telvarin.exe")
        exe = host.win_path(folder / "telvarin.exe")
        host.wine(exe, "-InstSvc")
        self.assertEqual(host.probe("config")["binarypath"], f'"{exe}"')
        self.assertEqual(host.reg_values(EVENT_SOURCE_KEY)["EventMessageFile"], ("REG_EXPAND_SZ", exe))
        host.start_winmgmt()
        host.wine(exe, "-StartSvc")
        host.wait_until(lambda: (host.probe("query") or {}).get("state") == "4", 30, "RUNNING from a spaced path")
        host.wine(exe, "-StopSvc")
        host.wait_until(lambda: not host.telvarin_processes(), 30, "the service process to end")
        host.wine(exe, "-UninstSvc")

    def test_installing_again_from_another_folder_points_the_registration_there(self):
        # What lets a repair mend an image path: -InstSvc on an existing service that names
        # another program registers this one, once; the same again changes nothing.
        host = self.host
        folder = host.bin / "moved"
        folder.mkdir(exist_ok=True)
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        shutil.copy(host.bin / "telvarin.exe", folder / "telvarin.exe")
        moved = host.win_path(folder / "telvarin.exe")
        host.telvarin("-InstSvc")
        self.addCleanup(host.telvarin, "-UninstSvc")
        for events in ([(4, 100, ["Telvarin"])], []):
            result = host.wine(moved, "-InstSvc", debug="+eventlog,fixme+advapi")
            self.assertEqual(installed_events(result), events)
            config = host.probe("config")
            self.assertEqual((config["binarypath"], config["type"], config["start"]), (f'"{moved}"', "0x20", "2"))
            self.assertEqual(host.reg_values(EVENT_SOURCE_KEY)["EventMessageFile"], ("REG_EXPAND_SZ", moved))

    def test_a_path_that_fills_the_whole_buffer_is_not_registered(self):
        host = self.host
        # Z:\ + folders + \telvarin.exe longer than 259 characters: GetModuleFileNameA cuts it.
        folder = host.bin
        while len(host.win_path(folder / "telvarin.exe")) < 300:
            folder = folder / ("d" * 40)
        os.makedirs(folder, exist_ok=True)
        self.addCleanup(shutil.rmtree, host.bin / ("d" * 40), ignore_errors=True)
        shutil.copy(host.bin / "telvarin.exe", folder / "telvarin.exe")
        host.reg_delete_key(EVENT_SOURCE_KEY)
        # It does run from there.
        result = host.wine(host.win_path(folder / "telvarin.exe"), "--version")
        self.assertEqual((result.returncode, result.stdout), (0, f"telvarin.exe {host.version()}\n"))
        result = host.wine(host.win_path(folder / "telvarin.exe"), "-InstSvc",
                           debug="+eventlog,fixme+advapi")
        self.assertEqual(result.returncode, 1)  # nothing registered: an installer must see it
        self.assertEqual(installed_events(result), [])
        self.assertIsNone(host.service_state())
        self.assertIsNone(host.reg_values(EVENT_SOURCE_KEY))


if __name__ == "__main__":
    systest.main()
