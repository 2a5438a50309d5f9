"""telvarin-client doctor on a package-installed Telvarin under Wine: a healthy install, then
each broken state it names. Checked the way a fleet tool's detection script uses it: the exit
code, the checks of --json, one text line per check.
"""
import json
import re

import systest
from winehost import EVENT_SOURCE_KEY, SERVICE_KEY, SYSTEM_EVENT

UNHEALTHY = 1
SERVICE_CHECKS = {"service.path", "service.start", "service.dependency", "service.running", "service.recovery"}
FIRMWARE_CHECKS = {"firmware.OrvButtonMethodDW", "firmware.OrvButtonData", "firmware.OrvButtonEvent"}


class Doctor(systest.SessionTestCase):
    emulator = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            cls.install()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.uninstall()
        finally:
            super().tearDownClass()

    @classmethod
    def install(cls):
        host = cls.host
        run = host.msiexec("/i", host.msi(host.version()))
        assert run.code == 0, run.log[-3000:]
        # Ready once it has made its start-up firmware call and pushed the settings word.
        host.wait_until(lambda: host.emulator_calls() and host.emulator_writes(), 30, "the service's start-up calls")

    @classmethod
    def uninstall(cls):
        for code in cls.host.installed_products():
            cls.host.msiexec("/x", code)
        cls.host.remove_service()

    def doctor(self, *args):
        # The build's copy: the installed one goes with the package.
        return self.host.wine(self.host.exe("telvarin-client.exe"), "doctor", *args)

    def failing(self):
        """(exit code, names of the failed checks) of `doctor --json`; every failure says what to do."""
        result = self.doctor("--json")
        report = json.loads(result.stdout)
        failed = {c["name"] for c in report["checks"] if not c["ok"]}
        for check in report["checks"]:
            self.assertEqual(bool(check["fix"]), not check["ok"], check)
        self.assertEqual(report["healthy"], not failed)
        return result.returncode, failed

    def test_a_healthy_install_passes_every_check_and_calls_no_firmware_method(self):
        host = self.host
        calls, writes = host.emulator_calls(), host.emulator_writes()
        self.assertEqual(self.failing(), (0, set()))
        result = self.doctor()
        self.assertEqual(result.returncode, 0)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 24, result.stdout)
        self.assertEqual(sum(line.startswith("ok    ") for line in lines), 17, result.stdout)
        self.assertIn("ok    service.recovery: 1st failure: restart after 5 s, 2nd: restart after 5 s, later: nothing; "
                      "count reset after 86400 s; a stop with an error counts as a failure", lines)
        self.assertEqual(lines[-1], "healthy")
        # What the fleet's service is, and where every flavour of client finds the values.
        flavour = {"x86": "x86 (32-bit; under WoW64 on 64-bit Windows)", "x64": "x64 (64-bit)"}[host.arch]
        self.assertIn(f"info  service.flavour: {flavour}", lines)
        # The installed version, from the program and from Windows Installer's list.
        self.assertIn(f"info  service.version: {host.version()}; installed package {host.version()} ({host.arch} package)",
                      lines)
        # The tree's build is unsigned (test_signing installs a signed one).
        self.assertIn("info  service.signature: not signed", lines)
        # The emulator publishes the usual method instance.
        self.assertIn(r"info  firmware.instance: ACPI\pnp0c14\0_0", lines)
        self.assertTrue(any(line.startswith("info  values.view: read in the 32-bit registry view") for line in lines),
                        result.stdout)
        # Read-only: the emulator saw no register call and no settings write from the doctor.
        self.assertEqual((host.emulator_calls(), host.emulator_writes()), (calls, writes))

    def test_the_help_names_every_check_and_every_field_the_doctor_prints(self):
        # A healthy install prints every check and information line there is.
        report = json.loads(self.doctor("--json").stdout)
        names = {check["name"] for check in report["checks"]}
        fields = set(report) | {field for check in report["checks"] for field in check}
        self.assertGreaterEqual(len(names), 23)
        text = self.doctor("--help").stdout
        for name in sorted(names):
            with self.subTest(check=name):
                # Named whole: value.Notification.Type2 does not name value.Notification.
                self.assertRegex(text, rf"(?<![\w.]){re.escape(name)}(?!\.?\w)")
        for field in sorted(fields):
            with self.subTest(field=field):
                self.assertIn(f'"{field}"', text)

    def test_each_broken_state_fails_its_own_check(self):
        host = self.host
        setting = SYSTEM_EVENT + r"\CurrentSetting"
        notification = SYSTEM_EVENT + r"\Notification"

        def start_again():
            host.telvarin("-StartSvc")
            host.wait_until(lambda: (host.service_state() or {}).get("STATE") == 4, 30, "Telvarin to run")

        def restore_source():
            host.wine("reg", "add", EVENT_SOURCE_KEY, "/v", "EventMessageFile", "/t", "REG_EXPAND_SZ",
                      "/d", self.host.install_dir() + r"\telvarin.exe", "/f", check=True)
            host.wine("reg", "add", EVENT_SOURCE_KEY, "/v", "TypesSupported", "/t", "REG_DWORD", "/d", "7", "/f",
                      check=True)

        failure_actions = host.reg_values(SERVICE_KEY)["FailureActions"][1]

        def restore_recovery():
            host.wine("reg", "add", SERVICE_KEY, "/v", "FailureActions", "/t", "REG_BINARY", "/d", failure_actions,
                      "/f", check=True)

        states = [
            ("service stopped", host.stop_service, start_again, {"service.running"}),
            ("no recovery actions",
             lambda: host.wine("reg", "delete", SERVICE_KEY, "/v", "FailureActions", "/f", check=True),
             restore_recovery, {"service.recovery"}),
            ("a value that is not a DWORD",
             lambda: host.wine("reg", "add", setting, "/ve", "/t", "REG_SZ", "/d", "5", "/f", "/reg:32", check=True),
             lambda: host.reg_set_dword(setting, "", 0x1800014), {"value.CurrentSetting"}),
            ("a value absent",
             lambda: host.wine("reg", "delete", notification, "/v", "Type2", "/f", "/reg:32", check=True),
             lambda: host.reg_set_dword(notification, "Type2", 0), {"value.Notification.Type2"}),
            ("no event source", lambda: host.reg_delete_key(EVENT_SOURCE_KEY), restore_source, {"eventlog.source"}),
            ("a message file of the wrong type",
             lambda: host.wine("reg", "add", EVENT_SOURCE_KEY, "/v", "EventMessageFile", "/t", "REG_SZ",
                               "/d", self.host.install_dir() + r"\telvarin.exe", "/f", check=True), restore_source, {"eventlog.source"}),
            # Wine's own WMI: the namespace answers, the firmware classes do not exist.
            ("no firmware classes", lambda: host.fwemu("unregister"), lambda: host.fwemu("register"), FIRMWARE_CHECKS),
        ]
        for name, breakage, repair, expected in states:
            with self.subTest(state=name):
                breakage()
                try:
                    self.assertEqual(self.failing(), (UNHEALTHY, expected))
                finally:
                    repair()
                self.assertEqual(self.failing(), (0, set()))

    def test_a_service_registered_by_hand_without_quotes_auto_start_or_dependency_fails_those_checks(self):
        host = self.host
        self.addCleanup(self.install)
        self.addCleanup(self.uninstall)
        host.remove_service()
        # Wine's sc has no "config": registered anew, the way a hand-made registration goes wrong.
        host.wine("sc", "create", "Telvarin", "binpath=", self.host.install_dir() + r"\telvarin.exe", "start=", "demand", check=True)
        code, failed = self.failing()
        self.assertEqual((code, failed), (UNHEALTHY, SERVICE_CHECKS))
        text = self.doctor().stdout
        self.assertIn("FAIL  service.path: image path is not quoted", text)
        self.assertIn("-> sc config Telvarin start= auto", text)
        self.assertIn("-> sc config Telvarin depend= winmgmt", text)

    def test_no_service_fails_the_service_and_event_source_checks(self):
        self.addCleanup(self.install)
        self.uninstall()
        text = self.doctor().stdout
        self.assertIn("FAIL  service.installed: no service Telvarin", text)
        self.assertIn("info  service.version: no registered program; no Telvarin package is installed", text)
        code, failed = self.failing()
        self.assertEqual((code, failed), (UNHEALTHY, {"service.installed", "eventlog.source"} | SERVICE_CHECKS))


if __name__ == "__main__":
    systest.main()
