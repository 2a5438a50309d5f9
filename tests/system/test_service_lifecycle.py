"""The unmodified telvarin.exe as a real service under Wine: install, run, answer, stop, remove.

Observed only from outside: the service control manager, the registry, the event-log trace.
"""
import os
import shutil

import systest
from winehost import EVENT_SOURCE_KEY, SERVICE_KEY, SYSTEM_EVENT


def installed_events(result):
    from winehost import parse_events
    return [(e.type, e.id, e.strings) for e in parse_events(result.stderr)]


class CommandLine(systest.SessionTestCase):
    def test_console_start_writes_the_six_values_and_exits_0_without_an_event(self):
        host = self.host
        # Leftovers of clients and earlier runs: OR values keep their bits, set values are reset.
        host.reg_set_dword(SYSTEM_EVENT + r"\Capability", "", 0x80000001)
        host.reg_set_dword(SYSTEM_EVENT + r"\Capability", "Type2", 0x4)
        host.reg_set_dword(SYSTEM_EVENT + r"\Notification", "", 0x10)
        host.reg_set_dword(SYSTEM_EVENT + r"\CurrentSetting", "", 5)
        host.reg_set_dword(SYSTEM_EVENT + r"\StatusControl", "Type2", 7)
        result = host.telvarin(trace=True)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(installed_events(result), [])
        self.assertEqual(host.reg_dword(SYSTEM_EVENT + r"\Capability", ""), 0x81800055)
        self.assertEqual(host.reg_dword(SYSTEM_EVENT + r"\Capability", "Type2"), 0x30004)
        self.assertEqual(host.reg_dword(SYSTEM_EVENT + r"\Notification", ""), 0x10)
        self.assertEqual(host.reg_dword(SYSTEM_EVENT + r"\Notification", "Type2"), 0)
        self.assertEqual(host.reg_dword(SYSTEM_EVENT + r"\CurrentSetting", ""), 0x1800014)
        self.assertEqual(host.reg_dword(SYSTEM_EVENT + r"\StatusControl", "Type2"), 0)

    def test_unknown_switches_do_nothing_and_exit_0(self):
        for argument in ("/InstSvc", "-InstSvcX", "-Inst", "bogus"):
            with self.subTest(argument=argument):
                result = self.host.telvarin(argument, trace=True)
                self.assertEqual(result.returncode, 0)
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

        # Installing again changes nothing and reports nothing.
        before = host.reg_values(SERVICE_KEY)
        result = host.telvarin("-InstSvc", trace=True)
        self.assertEqual(installed_events(result), [])
        self.assertEqual(host.reg_values(SERVICE_KEY), before)

        host.start_winmgmt()
        result = host.telvarin("-StartSvc", trace=True)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(installed_events(result), [])
        host.wait_until(lambda: (host.probe("query") or {}).get("state") == "4", 30, "RUNNING")
        status = host.probe("query")
        # It takes the stop and the shutdown controls.
        self.assertEqual((status["controls"], status["exit"]), ("0x5", "0"))
        # Wine's manager shows the registered type (0x20); the service's own report says 0x10.
        running = (0x10, 4, 5, 0, 0, 0, 0)
        self.assertEqual(host.status_reports(), [running])

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
        # It does run from there: a console start writes the start-up values.
        host.reg_delete_key(SYSTEM_EVENT)
        host.wine(host.win_path(folder / "telvarin.exe"))
        self.assertEqual(host.reg_dword(SYSTEM_EVENT + r"\Capability", ""), 0x1800054)
        result = host.wine(host.win_path(folder / "telvarin.exe"), "-InstSvc",
                           debug="+eventlog,fixme+advapi")
        self.assertEqual(result.returncode, 1)  # nothing registered: an installer must see it
        self.assertEqual(installed_events(result), [])
        self.assertIsNone(host.service_state())
        self.assertIsNone(host.reg_values(EVENT_SOURCE_KEY))


if __name__ == "__main__":
    systest.main()
