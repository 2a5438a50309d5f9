"""The MSI under Wine's msiexec: silent install, the same version again, upgrade, downgrade,
a failed install's rollback, uninstall. Built by `./dev package` like a release.

Observed from outside: msiexec's exit code and log, the service manager, the registry, the
installed files, the Add/Remove Programs entries, the event reports of the exe's own switches.
"""
import json
import re
import subprocess
import sys
import unittest
from pathlib import Path

import systest
from winehost import EVENT_SOURCE_KEY, SERVICE_KEY, SYSTEM_EVENT, WineHost, bin_dir

ROOT = Path(__file__).resolve().parents[2]
ERROR_INSTALL_FAILURE = 1603
RUNNING = 4
CLIENT_KEYS = ("StatusControl", "CurrentSetting")
OTHER_KEYS = ("", "Notification", "Capability")  # "" is SystemEvent itself
CLIENT_ACE = "(A;;CCDCRP;;;{})"  # query (CC), set (DC) and notify (RP) on the key itself, nothing inherited
ACCESS_RECORD = r"HKLM\Software\Haskorn\Telvarin"
RECOVERY = "805101000000000000000000030000001400000001000000881300000100000088130000000000000000000000"


def dev_package(version=None):
    result = subprocess.run([str(ROOT / "dev"), "package", *([version] if version else [])],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=900)
    if result.returncode != 0:
        raise RuntimeError(f"./dev package {version or ''} failed:\n{result.stdout[-3000:]}")


class Package(systest.SessionTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            cls.old = cls.host.version()
            major, minor, patch = cls.old.split(".")
            cls.new = f"{major}.{minor}.{int(patch) + 1}"
            dev_package()
            dev_package(cls.new)
        except BaseException:
            cls.tearDownClass()  # unittest skips it when setUpClass fails
            raise

    def setUp(self):
        self.addCleanup(self.uninstall_everything)

    def uninstall_everything(self):
        for code in self.host.installed_products():
            self.host.msiexec("/x", code)
        self.host.remove_service()

    def install(self, version, *properties):
        return self.host.msiexec("/i", self.host.msi(version), *properties)

    def installed_exe(self):
        path = self.host.probe("config")["binarypath"].strip('"')
        return self.host.unix_path(path)

    def built_exe(self, version):
        folder = self.host.bin if version == self.old else self.host.build / f"version-{version}" / self.host.bin.relative_to(self.host.build)
        return (folder / "telvarin.exe").read_bytes()

    def aces_naming(self, sid):
        """{key: the ACEs of its DACL that name `sid`} for the SystemEvent keys, from their SDDL."""
        aces = {}
        for key in CLIENT_KEYS + OTHER_KEYS:
            sddl = self.host.wine(self.host.exe("svcprobe.exe"), "sddl", SYSTEM_EVENT + ("\\" + key if key else "")).stdout
            aces[key] = re.findall(r"\([^()]*;" + sid + r"\)", sddl)
        return aces

    def access_verdict(self):
        """What doctor says of who may write the keys (information, never a failure)."""
        report = json.loads(self.host.wine(self.host.exe("telvarin-client.exe"), "doctor", "--json").stdout)
        return next(c["detail"] for c in report["checks"] if c["name"] == "clients.access")

    def client_version(self):
        exe = self.installed_exe().parent / "telvarin-client.exe"
        return self.host.wine(self.host.win_path(exe), "--version").stdout.strip()

    def test_silent_install_registers_starts_and_a_second_install_changes_nothing(self):
        host = self.host
        run = self.install(self.old)
        self.assertEqual(run.code, 0, run.log[-3000:])
        # Registered by the exe's own -InstSvc, started by the package.
        self.assertEqual([(e.type, e.id, e.strings) for e in run.events], [(4, 100, ["Telvarin"])])
        self.assertEqual(host.service_state()["STATE"], RUNNING)
        exe = host.install_dir() + r"\telvarin.exe"
        config = host.probe("config")
        self.assertEqual((config["type"], config["start"], config["errorcontrol"], config["binarypath"], config["account"]),
                         ("0x20", "2", "1", f'"{exe}"', "LocalSystem"))
        depends = host.reg_values(SERVICE_KEY)["DependOnService"]
        self.assertEqual((depends[0], depends[1].split("\\0")[0]), ("REG_MULTI_SZ", "winmgmt"))
        source = {"EventMessageFile": ("REG_EXPAND_SZ", exe), "TypesSupported": ("REG_DWORD", 7)}
        self.assertEqual(host.reg_values(EVENT_SOURCE_KEY), source)
        # Restarted 5 s after the first and second failure, an exit with an error counting as one.
        # (Wine's service manager neither stores nor reports these: what the MSI wrote is checked.)
        recovery = host.reg_values(SERVICE_KEY)
        self.assertEqual((recovery["FailureActions"], recovery["FailureActionsOnNonCrashFailures"]),
                         (("REG_BINARY", RECOVERY), ("REG_DWORD", 1)))
        # The running service wrote its start-up values.
        host.wait_until(lambda: host.reg_dword(SYSTEM_EVENT + r"\CurrentSetting", "") == 0x1800014, 20,
                        "the start-up values")
        self.assertEqual(self.installed_exe().read_bytes(), self.built_exe(self.old))
        self.assertEqual(self.client_version(), f"telvarin-client {self.old}")
        # No client access unless asked for: the keys keep the security the service gives them.
        self.assertEqual(self.aces_naming("IU"), {key: [] for key in CLIENT_KEYS + OTHER_KEYS})
        self.assertIn("interactive users (S-1-5-4) may not set StatusControl", self.access_verdict())
        self.assertIsNone(host.reg_values(ACCESS_RECORD))
        products = host.installed_products()
        self.assertEqual(len(products), 1)
        entry = next(iter(products.values()))
        code = next(iter(products))
        self.assertEqual((entry["DisplayVersion"], entry["Publisher"], entry["UninstallString"]),
                         (self.old, "Haskorn", f"MsiExec.exe /X{code}"))

        pids = host.telvarin_processes()
        self.assertEqual(len(pids), 1)
        service_key = host.reg_values(SERVICE_KEY)
        run = self.install(self.old)
        self.assertEqual(run.code, 0, run.log[-3000:])
        self.assertEqual(run.events, [])
        self.assertEqual(host.telvarin_processes(), pids)
        self.assertEqual(host.reg_values(SERVICE_KEY), service_key)
        self.assertEqual(list(host.installed_products()), [code])

        folder = self.installed_exe().parent
        run = host.msiexec("/x", host.msi(self.old))
        self.assertEqual(run.code, 0, run.log[-3000:])
        self.assertIsNone(host.service_state())
        self.assertEqual(host.telvarin_processes(), [])
        self.assertFalse(folder.exists())
        self.assertIsNone(host.reg_values(EVENT_SOURCE_KEY))
        self.assertEqual(host.installed_products(), {})

    def test_upgrade_replaces_the_running_service_and_a_downgrade_is_refused(self):
        host = self.host
        self.assertEqual(self.install(self.old).code, 0)
        self.assertNotEqual(self.built_exe(self.old), self.built_exe(self.new))

        run = self.install(self.new)
        self.assertEqual(run.code, 0, run.log[-3000:])
        self.assertEqual(host.service_state()["STATE"], RUNNING)
        self.assertEqual(len(host.telvarin_processes()), 1)
        self.assertEqual(self.installed_exe().read_bytes(), self.built_exe(self.new))
        self.assertEqual(self.client_version(), f"telvarin-client {self.new}")
        self.assertEqual([p["DisplayVersion"] for p in host.installed_products().values()], [self.new])
        self.assertEqual(host.probe("config")["binarypath"], f'"{host.install_dir()}\\telvarin.exe"')

        pids = host.telvarin_processes()
        run = self.install(self.old)
        self.assertEqual(run.code, ERROR_INSTALL_FAILURE & 0xFF)
        self.assertIn("WIX_DOWNGRADE_DETECTED", run.log)
        self.assertEqual(run.events, [])
        self.assertEqual(host.telvarin_processes(), pids)
        self.assertEqual(self.installed_exe().read_bytes(), self.built_exe(self.new))
        self.assertEqual([p["DisplayVersion"] for p in host.installed_products().values()], [self.new])
        # What a user with the full interface (or Windows' log) is told.
        conditions = subprocess.run(["msiinfo", "export", str(host.build / host.msi(self.old)), "LaunchCondition"],
                                    capture_output=True, text=True, check=True).stdout
        self.assertIn("NOT WIX_DOWNGRADE_DETECTED\tA newer version of Telvarin is already installed", conditions)

    def test_a_failed_install_rolls_back_and_leaves_no_service(self):
        host = self.host
        # Fails at the end, after the service was registered and started.
        run = self.install(self.old, "WIXFAILWHENDEFERRED=1")
        self.assertNotEqual(run.code, 0)
        self.assertEqual([e.id for e in run.events], [100, 101])
        self.assertIsNone(host.service_state())
        host.wait_until(lambda: not host.telvarin_processes(), 30, "the service process to end")
        self.assertFalse((host.unix_path(host.install_dir()) / "telvarin.exe").exists())
        self.assertIsNone(host.reg_values(EVENT_SOURCE_KEY))
        self.assertEqual(host.installed_products(), {})


    def test_client_access_is_granted_on_the_two_keys_only_kept_by_an_upgrade_and_gone_after_uninstall(self):
        host = self.host
        granted = {key: [CLIENT_ACE.format("IU")] if key in CLIENT_KEYS else [] for key in CLIENT_KEYS + OTHER_KEYS}
        run = self.install(self.old, "CLIENTACCESS=1")
        self.assertEqual(run.code, 0, run.log[-3000:])
        host.wait_until(lambda: host.reg_dword(SYSTEM_EVENT + r"\CurrentSetting", "") == 0x1800014, 20,
                        "the service's start-up values in the granted keys")
        self.assertEqual(self.aces_naming("IU"), granted)
        self.assertIn("interactive users (S-1-5-4) may query and set StatusControl", self.access_verdict())

        # An upgrade run without the property keeps the choice, neither wider nor lost.
        run = self.install(self.new)
        self.assertEqual(run.code, 0, run.log[-3000:])
        self.assertEqual([p["DisplayVersion"] for p in host.installed_products().values()], [self.new])
        self.assertEqual(self.aces_naming("IU"), granted)
        self.assertIn("may query and set StatusControl", self.access_verdict())

        for code in host.installed_products():
            self.assertEqual(host.msiexec("/x", code).code, 0)
        self.assertEqual(self.aces_naming("IU"), {key: [] for key in CLIENT_KEYS + OTHER_KEYS})
        self.assertIsNone(host.reg_values(ACCESS_RECORD))
        self.assertIn("may not set StatusControl", self.access_verdict())

        # Another group, by name; and a name that is no account grants nothing and installs nothing.
        self.assertEqual(self.install(self.old, "CLIENTACCESS=1", "CLIENTACCESSGROUP=Users").code, 0)
        self.assertIn(CLIENT_ACE.format("BU"), self.aces_naming("BU")["StatusControl"])
        for code in host.installed_products():
            self.assertEqual(host.msiexec("/x", code).code, 0)
        self.assertNotIn(CLIENT_ACE.format("BU"), self.aces_naming("BU")["StatusControl"])
        run = self.install(self.old, "CLIENTACCESS=1", "CLIENTACCESSGROUP=NoSuchGroup")
        self.assertNotEqual(run.code, 0)
        self.assertEqual((host.installed_products(), host.service_state()), ({}, None))
        self.assertEqual(self.aces_naming("IU"), {key: [] for key in CLIENT_KEYS + OTHER_KEYS})

    def test_switching_flavours_is_an_uninstall_and_an_install_and_clients_keep_working(self):
        host = self.host
        if host.arch != "x86":
            self.skipTest("starts from the x86 package, which needs a host that runs 32-bit code")
        x64 = WineHost(host.build, "x64", client_arch="x86")  # the same prefix and session
        self.assertEqual(self.install(self.old).code, 0)
        pids = host.telvarin_processes()
        # Both flavours register one service: the second package refuses while the first is there.
        run = x64.msiexec("/i", x64.msi(self.old))
        self.assertEqual(run.code, ERROR_INSTALL_FAILURE & 0xFF)
        self.assertIn("Property(S): OTHERFLAVOURINSTALLED = ", run.log)  # /qn logs no condition text
        conditions = subprocess.run(["msiinfo", "export", str(host.build / x64.msi(self.old)), "LaunchCondition"],
                                    capture_output=True, text=True, check=True).stdout
        self.assertIn("Installed OR NOT OTHERFLAVOURINSTALLED\tTelvarin for x86 is installed", conditions)
        self.assertEqual((run.events, host.telvarin_processes()), ([], pids))
        self.assertEqual(x64.installed_products(), {})

        for code in host.installed_products():
            self.assertEqual(host.msiexec("/x", code).code, 0)
        run = x64.msiexec("/i", x64.msi(self.old))
        self.assertEqual(run.code, 0, run.log[-3000:])
        self.addCleanup(lambda: [x64.msiexec("/x", code) for code in x64.installed_products()])
        self.assertEqual(x64.probe("config")["binarypath"], f'"{x64.install_dir()}\\telvarin.exe"')
        self.assertEqual(len(x64.installed_products()), 1)
        # The x64 service keeps the values where the 32-bit clients look.
        x64.wait_until(lambda: x64.reg_dword(SYSTEM_EVENT + r"\CurrentSetting", "") == 0x1800014, 20,
                       "the x64 service's start-up values")
        status = json.loads(x64.wine(x64.exe("telvarin-client.exe"), "status", "--json").stdout)
        self.assertEqual((status["service"]["running"], status["values"]["CurrentSetting"]["value"]),
                         (True, 0x1800014))

    def test_a_repair_mends_a_wrong_image_path_which_the_doctor_sends_it_to(self):
        # On Windows a second plain `msiexec /i` of the installed version changes nothing (Wine's
        # reinstalls, which is why the package skips that case); a repair (REINSTALL) runs
        # -InstSvc again, which mends the existing registration.
        host = self.host
        self.assertEqual(self.install(self.old).code, 0)
        exe = f'"{host.install_dir()}\\telvarin.exe"'
        self.assertEqual(host.probe("config")["binarypath"], exe)
        host.wine(host.exe("svcprobe.exe"), "set-path", "Telvarin", r'"C:\elsewhere\telvarin.exe"', check=True)
        self.assertEqual(host.probe("config")["binarypath"], r'"C:\elsewhere\telvarin.exe"')
        report = json.loads(host.wine(host.exe("telvarin-client.exe"), "doctor", "--json").stdout)
        path = next(c for c in report["checks"] if c["name"] == "service.path")
        self.assertFalse(path["ok"])
        self.assertTrue(path["fix"].startswith("repair: msiexec /i telvarin-VERSION.msi REINSTALL=ALL REINSTALLMODE=vamus /qn"), path)

        # The repair as the properties name it (Wine's msiexec has no /f; Windows takes both).
        run = host.msiexec("/i", host.msi(self.old), "REINSTALL=ALL", "REINSTALLMODE=vamus")
        self.assertEqual(run.code, 0, run.log[-3000:])
        self.assertEqual(host.probe("config")["binarypath"], exe)
        self.assertEqual([(e.type, e.id, e.strings) for e in run.events], [(4, 100, ["Telvarin"])])
        host.wait_until(lambda: (host.service_state() or {}).get("STATE") == RUNNING, 30, "Telvarin to run again")
        report = json.loads(host.wine(host.exe("telvarin-client.exe"), "doctor", "--json").stdout)
        self.assertTrue(next(c for c in report["checks"] if c["name"] == "service.path")["ok"])
        # Still the one product, registered as the detection script looks for it.
        products = host.installed_products()
        self.assertEqual(len(products), 1, products)
        entry = next(iter(products.values()))
        self.assertEqual((entry["DisplayName"], entry["Publisher"], entry["DisplayVersion"], entry["WindowsInstaller"]),
                         ("Telvarin", "Haskorn", self.old, 1))


class ReleaseExe(unittest.TestCase):
    """The shipped telvarin.exe: stripped, its debug information beside it in the build tree."""

    def sections(self, path):
        objdump = "i686-w64-mingw32-objdump" if systest.ARCH == "x86" else "x86_64-w64-mingw32-objdump"
        result = subprocess.run([objdump, "-h", str(path)], capture_output=True, text=True, check=True)
        return set(re.findall(r"^\s*\d+\s+(\S+)", result.stdout, re.M))

    def test_the_exe_is_stripped_and_its_debug_information_kept_beside_it(self):
        exe = bin_dir(systest.BUILD_DIR, systest.ARCH) / "telvarin.exe"
        shipped = self.sections(exe)
        self.assertFalse({s for s in shipped if s.startswith(".debug")}, shipped)
        self.assertIn(".gnu_debuglink", shipped)
        self.assertIn(".debug_info", self.sections(exe.with_name("telvarin.exe.debug")))
        size = exe.stat().st_size
        print(f"\ntelvarin.exe: {size} bytes ({(size + 1023) // 1024} KiB; goal: at most 128 KiB)", file=sys.stderr)


class PublishedForFleets(unittest.TestCase):
    """What docs/deploying.md gives fleet tools is what the packages are."""

    def test_the_page_s_codes_and_detection_script_match_the_packages(self):
        page = (ROOT / "docs" / "deploying.md").read_text()
        script = (ROOT / "packaging" / "detect-telvarin.ps1").read_text()
        self.assertIn("```powershell\n" + script + "```", page)
        build = Path(systest.BUILD_DIR)
        version = WineHost(build).version()
        for name in (f"telvarin-{version}.msi", f"telvarin-{version}-x64.msi"):
            with self.subTest(msi=name):
                table = subprocess.run(["msiinfo", "export", str(build / name), "Property"], capture_output=True,
                                       text=True, check=True).stdout
                codes = dict(re.findall(r"^(ProductCode|UpgradeCode|ProductName|Manufacturer)\t(.*)$", table, re.M))
                self.assertIn(f"`{{{codes['UpgradeCode'].strip('{}').upper()}}}`", page)
                if version == "1.0.0":
                    self.assertIn(f"`{codes['ProductCode']}`", page)
                # What the detection script keys on, besides the Windows Installer mark.
                self.assertEqual((codes["ProductName"], codes["Manufacturer"]), ("Telvarin", "Haskorn"))
                self.assertIn("$name -ne 'Telvarin' -or $publisher -ne 'Haskorn'", script)


if __name__ == "__main__":
    systest.main()
