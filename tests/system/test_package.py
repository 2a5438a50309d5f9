"""The MSI under Wine's msiexec: silent install, the same version again, upgrade, downgrade,
a failed install's rollback, uninstall, client access. Built by `./dev package` like a release;
the next version's packages by the same script from this build's programs as a build of that
version makes them (scripts/version_rewrite.py), which saves minutes of building both
flavours again; the rehearsal hook only in test builds made here.

The firmware emulator is registered, so that the installed service gets as far as listening for
button events, where its stop takes longest (up to a poll of 500 ms, or a firmware call): without
it the service keeps retrying its subscription and stops within milliseconds, which hid an
upgrade that replaced files of a service still stopping.

Observed from outside: msiexec's exit code and log, the service manager, the registry, the
installed files, the Add/Remove Programs entries, the event reports of the exe's own switches.
"""
import json
import re
import subprocess
import sys
import time
import unittest
from pathlib import Path

import systest
from msi_player import build_msi
from version_rewrite import next_version, programs_of_version
from winehost import EVENT_SOURCE_KEY, SERVICE_KEY, STATUS_CONTROL, SYSTEM_EVENT, WineHost, bin_dir

ROOT = Path(__file__).resolve().parents[2]
ERROR_INSTALL_FAILURE = 1603
ERROR_INSTALL_ACTION_FAILED = 1627  # what Wine's msiexec answers for a custom action that failed
ERROR_SUCCESS_REBOOT_REQUIRED = 3010
RUNNING = 4
CLIENT_KEYS = ("StatusControl", "CurrentSetting")
OTHER_KEYS = ("", "Notification", "Capability")  # "" is SystemEvent itself
CLIENT_ACE = "(A;;CCDCRP;;;{})"  # query (CC), set (DC) and notify (RP) on the key itself, nothing inherited
ACCESS_RECORD = r"HKLM\Software\Haskorn\Telvarin"
ACCESS_VALUES = ("ClientAccessGroup", "ClientAccessKeys")
RECOVERY = "805101000000000000000000030000001400000001000000881300000100000088130000000000000000000000"


def dev_package():
    result = subprocess.run([str(ROOT / "dev"), "package"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            timeout=900)
    if result.returncode != 0:
        raise RuntimeError(f"./dev package failed:\n{result.stdout[-3000:]}")


class Obstructor:
    """What any user of the notebook may do to an installer: the installed telvarin.exe started
    suspended (anyone may run it), and the service held open for status (interactive users may),
    both kept until end()."""

    def __init__(self, host):
        self.host = host
        self.output = host.work / "obstructor.out"
        before = set(host.telvarin_processes())
        with open(self.output, "w") as sink:
            self.process = subprocess.Popen(
                host.command(host.exe("adversary.exe"), "obstruct", host.install_dir() + r"\telvarin.exe", "Telvarin"),
                env=host.env, stdin=subprocess.PIPE, stdout=sink, stderr=subprocess.STDOUT)
        host.wait_until(lambda: "holding: Telvarin" in self.output.read_text() or self.process.poll() is not None, 30,
                        "the suspended copy and the held service")
        assert "holding: Telvarin" in self.output.read_text(), self.output.read_text()
        # The suspended copy, as Linux sees it.
        self.pids = set(host.telvarin_processes()) - before
        assert len(self.pids) == 1, self.pids

    def end(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=60)
        self.host.wait_until(lambda: not self.pids & set(self.host.telvarin_processes()), 30, "the suspended copy to end")


SESSION_MANAGER = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager"


def pending_file_operations(host):
    """[(source, target)] that an installer left for the next start of Windows, as Linux paths
    (target None: delete the source)."""
    entry = (host.reg_values(SESSION_MANAGER) or {}).get("PendingFileRenameOperations")
    names = entry[1].split("\\0") if entry else []
    names += [""] * (len(names) % 2)  # a last empty target is lost with the value's closing NULs
    path = lambda name: host.unix_path(name[len("\\??\\"):]) if name else None
    return [(path(names[i]), path(names[i + 1])) for i in range(0, len(names), 2)]


def restart(host):
    """What a restart of Windows does for Telvarin: the service stopped, the file operations left
    for the start carried out (Windows does them before any program runs), the service started."""
    running = (host.service_state() or {}).get("STATE") == RUNNING
    if running:
        host.stop_service()
    for source, target in pending_file_operations(host):
        try:
            source.replace(target) if target else source.unlink()
        except FileNotFoundError:  # Windows too goes on past an operation it cannot do
            pass
    host.wine("reg", "delete", SESSION_MANAGER, "/v", "PendingFileRenameOperations", "/f")
    if running:
        host.telvarin("-StartSvc")
        host.wait_until(lambda: (host.service_state() or {}).get("STATE") == RUNNING, 30, "Telvarin to run again")


class Package(systest.SessionTestCase):
    emulator = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            host = cls.host
            cls.old, cls.new = host.version(), next_version(host.version())
            dev_package()
            # The next version of the flavours the tests install, in this entry's own folder.
            for arch in {host.arch, "x64"} if host.arch == "x86" else {host.arch}:
                programs_of_version(bin_dir(host.build, arch), cls.old, cls.new, cls.bin_folder(cls.new, arch))
                build_msi(cls.new, arch, cls.bin_folder(cls.new, arch), cls.msi(cls.new, arch))
            # A test build, with the hook that fails an install on request.
            build_msi(cls.old, host.arch, cls.bin_folder(cls.old), cls.rehearsal(cls.old), "rehearsal")
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
        return self.host.msiexec("/i", self.msi(version), *properties)

    def installed_exe(self):
        path = self.host.probe("config")["binarypath"].strip('"')
        return self.host.unix_path(path)

    @classmethod
    def bin_folder(cls, version, arch=None):
        arch = arch or cls.host.arch
        return bin_dir(cls.host.build, arch) if version == cls.old else cls.host.work / f"version-{version}-{arch}"

    @classmethod
    def msi(cls, version, arch=None):
        """The MSI of `version` for the flavour `arch` (default: the service's): the old one's name
        in the build tree, the next one's path in this entry's folder."""
        name = WineHost(cls.host.build, arch or cls.host.arch).msi(version)
        return name if version == cls.old else str(cls.host.work / name)

    @classmethod
    def rehearsal(cls, version):
        return str(cls.host.work / cls.host.msi(version).replace(".msi", "-rehearsal.msi"))

    def built_exe(self, version):
        return (self.bin_folder(version) / "telvarin.exe").read_bytes()

    def msi_table(self, msi, table):
        return subprocess.run(["msiinfo", "export", str(self.host.build / msi), table],
                              capture_output=True, text=True, check=True).stdout

    def access_record(self):
        return {name: data for name, (_, data) in (self.host.reg_values(ACCESS_RECORD) or {}).items()
                if name in ACCESS_VALUES}

    def assert_runs(self, version, besides=()):
        """One service process (besides the processes `besides`), RUNNING the installed binary of
        `version`, registered by path."""
        host = self.host
        self.assertEqual(host.service_state()["STATE"], RUNNING)
        self.assertEqual(len(set(host.telvarin_processes()) - set(besides)), 1)
        self.assertEqual(self.installed_exe().read_bytes(), self.built_exe(version))
        self.assertEqual(host.probe("config")["binarypath"], f'"{host.install_dir()}\\telvarin.exe"')
        self.assertEqual([p["DisplayVersion"] for p in host.installed_products().values()], [version])

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
        self.assertEqual(self.access_record(), {})
        # Only the upgrade's own properties are secure: client access is not a user's to change in
        # a repair. And a release package has no switch that fails it.
        properties = self.msi_table(host.msi(self.old), "Property")
        self.assertIn("SecureCustomProperties\tWIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;OTHERFLAVOURFOUND\n",
                      properties)
        for table in ("CustomAction", "InstallExecuteSequence"):
            self.assertNotIn("FailWhenDeferred", self.msi_table(host.msi(self.old), table))
            self.assertIn("FailWhenDeferred", self.msi_table(self.rehearsal(self.old), table))
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
        self.assertIn("ClientLock", host.reg_values(ACCESS_RECORD))  # published by the running service
        run = host.msiexec("/x", host.msi(self.old))
        self.assertEqual(run.code, 0, run.log[-3000:])
        self.assertIsNone(host.service_state())
        self.assertEqual(host.telvarin_processes(), [])
        self.assertFalse(folder.exists())
        self.assertIsNone(host.reg_values(EVENT_SOURCE_KEY))
        self.assertEqual(host.installed_products(), {})
        # The product's own key goes; the values clients read stay.
        self.assertIsNone(host.reg_values(ACCESS_RECORD))
        self.assertEqual(host.reg_dword(SYSTEM_EVENT + r"\CurrentSetting", ""), 0x1800014)

    def test_five_upgrades_right_after_installs_right_after_uninstalls_and_a_downgrade_refused(self):
        host = self.host
        self.assertNotEqual(self.built_exe(self.old), self.built_exe(self.new))
        upgrades = 0
        for attempt in range(5):
            run = self.install(self.old)
            self.assertEqual(run.code, 0, run.log[-3000:])
            if attempt % 2:
                # The slowest stop: the old service listens and a firmware call that never answers
                # holds it until its stop bound (8 s) ends the process. Without the package's own
                # waits, 3 of 3 such upgrades failed (2 kept the old binary and asked for a
                # restart, 1 rolled back and left nothing); and 1 of 3 right after the install.
                host.wait_until(lambda: host.emulator_subscribers() >= 1, 30, "the button-event subscription")
                started = int(host.emulator_status()["calls-started"])
                host.fwemu("fault", "method-hang", "on")
                host.reg_set_dword(STATUS_CONTROL, "Type2", host.reg_dword(STATUS_CONTROL, "Type2") ^ 0x1)
                host.wait_until(lambda: int(host.emulator_status()["calls-started"]) > started, 30,
                                "the request's call to reach the firmware")
            run = self.install(self.new)
            host.fwemu("fault", "method-hang", "off")
            self.assertEqual(run.code, 0, run.log[-3000:])
            self.assert_runs(self.new)
            self.assertEqual(self.client_version(), f"telvarin-client {self.new}")
            upgrades += 1

            if attempt == 0:
                # Its version resource, as Windows reads it.
                service = host.wine(host.win_path(self.installed_exe()), "--version").stdout.strip()
                self.assertEqual(service, f"telvarin.exe {self.new}")
                pids = host.telvarin_processes()
                run = self.install(self.old)
                self.assertEqual(run.code, ERROR_INSTALL_FAILURE & 0xFF)
                self.assertIn("WIX_DOWNGRADE_DETECTED", run.log)
                self.assertEqual(run.events, [])
                self.assertEqual(host.telvarin_processes(), pids)
                self.assert_runs(self.new)
                # What a user with the full interface (or Windows' log) is told.
                self.assertIn("NOT WIX_DOWNGRADE_DETECTED\tA newer version of Telvarin is already installed",
                              self.msi_table(host.msi(self.old), "LaunchCondition"))

            # The next install follows at once.
            run = host.msiexec("/x", self.msi(self.new))
            self.assertEqual(run.code, 0, run.log[-3000:])
            self.assertIsNone(host.service_state())
            self.assertEqual(host.telvarin_processes(), [])
        self.assertEqual(upgrades, 5)

    def other_flavour(self):
        """The host of the other flavour in the same prefix and session, or None where this host
        cannot run it (x86 needs 32-bit code)."""
        return WineHost(self.host.build, "x64", client_arch=self.host.client_arch) if self.host.arch == "x86" else None

    def test_a_user_who_runs_the_installed_exe_suspended_and_holds_the_service_open_blocks_no_package_step(self):
        host = self.host
        self.assertEqual(self.install(self.old, "CLIENTACCESS=1").code, 0)
        other = self.other_flavour()
        steps = [("upgrade", host, self.new, lambda: self.install(self.new)),
                 ("repair", host, self.new, lambda: host.msiexec("/i", self.msi(self.new), "REINSTALL=ALL", "REINSTALLMODE=vamus"))]
        if other:
            self.addCleanup(lambda: [other.msiexec("/x", code) for code in other.installed_products()])
            steps.append(("flavour switch", other, self.new, lambda: other.msiexec("/i", self.msi(self.new, other.arch))))
        else:
            print("\nflavour switch: not run, the x86 package needs a host that runs 32-bit code "
                  "(test_package_rollback plays it)", file=sys.stderr)
        last = steps[-1][1]
        steps.append(("uninstall", last, None, lambda: last.msiexec("/x", self.msi(self.new, last.arch))))
        host.wine("reg", "delete", SESSION_MANAGER, "/v", "PendingFileRenameOperations", "/f")
        installed_by = host
        for step, by, version, run_step in steps:
            with self.subTest(step=step):
                obstructor = Obstructor(installed_by)
                self.addCleanup(obstructor.end)
                started = time.monotonic()
                run = run_step()
                print(f"\n{step} beside the suspended copy and the held service: exit code {run.code} "
                      f"in {time.monotonic() - started:.1f} s", file=sys.stderr)
                # Done. A program file in use by the copy that must change is left to the next
                # start of Windows, and the installer says so (3010, which deployment tools take for
                # done). (Wine's msiexec deletes a file in use, and copies no file that is the same.)
                self.assertIn(run.code, (0, ERROR_SUCCESS_REBOOT_REQUIRED & 0xFF), run.log[-3000:])
                if run.code:
                    self.assertIn(host.unix_path(installed_by.install_dir() + r"\telvarin.exe"),
                                  [target or source for source, target in pending_file_operations(host)])
                if version:
                    # The service runs (still the program it had, until the restart) as registered,
                    # with the grant and without the upgrade's note.
                    self.assertEqual(host.service_state()["STATE"], RUNNING)
                    self.assertEqual(len(set(host.telvarin_processes()) - obstructor.pids), 1)
                    self.assertEqual(host.probe("config")["binarypath"], f'"{by.install_dir()}\\telvarin.exe"')
                    self.assertEqual([p["DisplayVersion"] for p in by.installed_products().values()], [version])
                    self.assertEqual(self.access_record()["ClientAccessGroup"], "S-1-5-4")
                    self.assertNotIn("UpgradingTo", host.reg_values(ACCESS_RECORD))
                    obstructor.end()
                    restart(host)
                    installed_by = by
                    continue
                # Deleted; the manager keeps it only while the handle is held, stopped.
                self.assertEqual(by.installed_products(), {})
                self.assertEqual(set(host.telvarin_processes()), obstructor.pids)
                self.assertIsNone(host.reg_values(ACCESS_RECORD))
                self.assertNotEqual((host.service_state() or {}).get("STATE"), RUNNING)
                obstructor.end()
                host.wait_until(lambda: host.service_state() is None, 30, "the service to be deleted")
                restart(host)

    def test_an_install_while_an_uninstalled_service_is_still_held_open_ends_in_its_bound_and_says_why(self):
        # What Windows itself forbids: a service deleted while somebody holds it open stays until
        # they close it, and its name cannot be registered again meanwhile.
        host = self.host
        self.assertEqual(self.install(self.old).code, 0)
        obstructor = Obstructor(host)
        self.addCleanup(obstructor.end)
        self.assertEqual(host.msiexec("/x", host.msi(self.old)).code, 0)
        started = time.monotonic()
        run = self.install(self.old)
        took = time.monotonic() - started
        print(f"\ninstall while the deleted service is held open: exit code {run.code} in {took:.1f} s", file=sys.stderr)
        # It ended (msiexec's own bound would have failed the test): a failure with its reason, not a wait.
        self.assertEqual(run.code, ERROR_INSTALL_ACTION_FAILED & 0xFF)
        self.assertIn("telvarin-setup: the service Telvarin is marked for deletion and another program still holds "
                      "it open; it goes when that program closes it or Windows restarts: install again then (error 1072)",
                      (host.work / "msiexec.out").read_text(errors="replace"))
        self.assertEqual(host.installed_products(), {})
        # Gone once the last handle to it is closed; then an install goes through.
        obstructor.end()
        host.wait_until(lambda: host.service_state() is None, 30, "the service to be deleted")
        restart(host)  # the file the suspended copy held, left to the restart
        self.assertEqual(self.install(self.old).code, 0)
        self.assert_runs(self.old)

    def test_a_stale_registration_of_another_binary_ends_with_the_installed_one_running(self):
        host = self.host
        # Telvarin registered by hand, from the build tree, and running.
        host.start_winmgmt()
        self.assertEqual(host.telvarin("-InstSvc").returncode, 0)
        self.assertEqual(host.telvarin("-StartSvc").returncode, 0)
        host.wait_until(lambda: (host.service_state() or {}).get("STATE") == RUNNING, 30, "the stale service")
        installed = f'"{host.install_dir()}\\telvarin.exe"'
        self.assertNotEqual(host.probe("config")["binarypath"], installed)
        run = self.install(self.old)
        self.assertEqual(run.code, 0, run.log[-3000:])
        # -InstSvc pointed the registration back at the installed program, which is what runs now.
        self.assertEqual(host.probe("config")["binarypath"], installed)
        host.wait_until(lambda: (host.service_state() or {}).get("STATE") == RUNNING, 30, "the installed service")
        images = [b" ".join((Path("/proc") / str(pid) / "cmdline").read_bytes().split(b"\0")[:2]).lower()
                  for pid in host.telvarin_processes()]
        self.assertTrue(images and all(b"program files" in image for image in images), images)

    def test_a_failed_install_puts_back_what_it_found_no_service_or_a_registration_by_hand(self):
        host = self.host
        # Fails at the end, after the service was registered and started.
        run = host.msiexec("/i", self.rehearsal(self.old), "WIXFAILWHENDEFERRED=1", "CLIENTACCESS=1")
        self.assertNotEqual(run.code, 0)
        # Registered by -InstSvc (100); the rollback deletes that registration again.
        self.assertEqual([e.id for e in run.events], [100])
        self.assertIsNone(host.service_state())
        host.wait_until(lambda: not host.telvarin_processes(), 30, "the service process to end")
        self.assertFalse((host.unix_path(host.install_dir()) / "telvarin.exe").exists())
        self.assertIsNone(host.reg_values(EVENT_SOURCE_KEY))
        self.assertIsNone(host.reg_values(ACCESS_RECORD))
        self.assertEqual(self.aces_naming("IU"), {key: [] for key in CLIENT_KEYS + OTHER_KEYS})
        self.assertEqual(host.installed_products(), {})

        # Registered by hand, stopped, naming another copy: the rollback puts that registration
        # back as it was, stopped, with its dependency and event source, although the install
        # had pointed it at the installed program and started it.
        host.start_winmgmt()
        self.assertEqual(host.telvarin("-InstSvc").returncode, 0)
        config, source = host.probe("config"), host.reg_values(EVENT_SOURCE_KEY)
        run = host.msiexec("/i", self.rehearsal(self.old), "WIXFAILWHENDEFERRED=1")
        self.assertNotEqual(run.code, 0)
        self.assertIn("StartServices", run.log)
        self.assertEqual(host.probe("config"), config)
        self.assertEqual(host.service_state()["STATE"], 1)
        self.assertEqual(host.reg_values(SERVICE_KEY)["DependOnService"][1].split("\\0")[0], "winmgmt")
        self.assertEqual(host.reg_values(EVENT_SOURCE_KEY), source)
        self.assertIsNone(host.reg_values(ACCESS_RECORD))
        self.assertEqual(host.installed_products(), {})

    def recorded_keys(self):
        return [key for key in self.access_record().get("ClientAccessKeys", "").split("\\0") if key]

    def test_client_access_is_granted_on_the_two_keys_only_kept_by_an_upgrade_and_turned_off_by_a_repair(self):
        host = self.host
        granted = {key: [CLIENT_ACE.format("IU")] if key in CLIENT_KEYS else [] for key in CLIENT_KEYS + OTHER_KEYS}
        run = self.install(self.old, "CLIENTACCESS=1")
        self.assertEqual(run.code, 0, run.log[-3000:])
        host.wait_until(lambda: host.reg_dword(SYSTEM_EVENT + r"\CurrentSetting", "") == 0x1800014, 20,
                        "the service's start-up values in the granted keys")
        self.assertEqual(self.aces_naming("IU"), granted)
        self.assertEqual((self.access_record()["ClientAccessGroup"], self.recorded_keys()), ("S-1-5-4", list(CLIENT_KEYS)))
        self.assertIn("interactive users (S-1-5-4) may query and set StatusControl", self.access_verdict())
        self.assertIn("the client-access group S-1-5-4 may query and set StatusControl", self.access_verdict())

        # An upgrade run without the property keeps the choice, neither wider nor lost.
        run = self.install(self.new)
        self.assertEqual(run.code, 0, run.log[-3000:])
        self.assertEqual([p["DisplayVersion"] for p in host.installed_products().values()], [self.new])
        self.assertEqual(self.aces_naming("IU"), granted)
        self.assertEqual(self.access_record()["ClientAccessGroup"], "S-1-5-4")

        # Turned off by a repair (or upgrade) that says CLIENTACCESS=0; the product stays.
        run = host.msiexec("/i", self.msi(self.new), "REINSTALL=ALL", "REINSTALLMODE=vamus", "CLIENTACCESS=0")
        self.assertEqual(run.code, 0, run.log[-3000:])
        self.assertEqual(self.aces_naming("IU"), {key: [] for key in CLIENT_KEYS + OTHER_KEYS})
        self.assertEqual(self.access_record(), {})
        self.assertIn("may not set StatusControl", self.access_verdict())
        self.assertEqual(host.service_state()["STATE"], RUNNING)

    def test_client_access_by_a_name_with_spaces_remembered_as_its_sid_and_revoked_by_it(self):
        host = self.host
        # An administrator's own grant to Authenticated Users on one key, identical to the package's.
        admins = "(A;;KA;;;SY)(A;;KA;;;BA)"
        self.addCleanup(host.reg_delete_key, SYSTEM_EVENT)  # the administrator's grant must not outlive this test
        host.wine(host.exe("svcprobe.exe"), "setdacl", SYSTEM_EVENT + r"\StatusControl", f"D:{admins}{CLIENT_ACE.format('AU')}")
        run = self.install(self.old, "CLIENTACCESS=1", "CLIENTACCESSGROUP=Authenticated Users")
        self.assertEqual(run.code, 0, run.log[-3000:])
        self.assertEqual(self.aces_naming("AU"), {key: [CLIENT_ACE.format("AU")] if key in CLIENT_KEYS else []
                                                  for key in CLIENT_KEYS + OTHER_KEYS})
        # Remembered by SID; only the key that got the ACE from the package is its to revoke.
        self.assertEqual((self.access_record()["ClientAccessGroup"], self.recorded_keys()), ("S-1-5-11", ["CurrentSetting"]))
        self.assertIn("the client-access group S-1-5-11 may query and set StatusControl", self.access_verdict())
        for code in host.installed_products():
            self.assertEqual(host.msiexec("/x", code).code, 0)
        self.assertEqual(self.aces_naming("AU"), {key: [CLIENT_ACE.format("AU")] if key == "StatusControl" else []
                                                  for key in CLIENT_KEYS + OTHER_KEYS})

        # A group that no longer resolves (a SID of no account stands in): the uninstall revokes
        # by the SID it remembered, and succeeds.
        gone = "S-1-5-21-1000-2000-3000-4000"
        self.assertEqual(self.install(self.old, "CLIENTACCESS=1", f"CLIENTACCESSGROUP={gone}").code, 0)
        self.assertEqual(self.aces_naming(gone)["CurrentSetting"], [CLIENT_ACE.format(gone)])
        for code in host.installed_products():
            self.assertEqual(host.msiexec("/x", code).code, 0)
        self.assertEqual(self.aces_naming(gone), {key: [] for key in CLIENT_KEYS + OTHER_KEYS})
        self.assertEqual(self.access_record(), {})

        # A name that is no account grants nothing and installs nothing, and the log says why.
        run = self.install(self.old, "CLIENTACCESS=1", "CLIENTACCESSGROUP=NoSuchGroup")
        self.assertNotEqual(run.code, 0)
        self.assertEqual((host.installed_products(), host.service_state()), ({}, None))
        self.assertEqual(self.aces_naming("IU"), {key: [] for key in CLIENT_KEYS + OTHER_KEYS})
        self.assertEqual(self.access_record(), {})
        # Windows Installer logs the helper's exit code (1332, no mapping between account names
        # and SIDs) with the action's name; Wine's logs only the action failing, and the helper's
        # line reaches msiexec's own output.
        self.assertRegex(run.log, r"GrantClientAccess\. Return value [03]\.")
        self.assertIn("telvarin-setup: CLIENTACCESSGROUP 'NoSuchGroup' names no account or SID: nothing granted (error 1332)",
                      (host.work / "msiexec.out").read_text(errors="replace"))

    def test_installing_the_other_flavour_replaces_it_keeping_the_service_its_access_and_the_clients(self):
        host = self.host
        other = self.other_flavour()
        if not other:
            self.skipTest("starts from the x86 package, which needs a host that runs 32-bit code (test_package_rollback "
                          "plays the switch)")
        self.assertEqual(self.install(self.old, "CLIENTACCESS=1").code, 0)
        self.addCleanup(lambda: [other.msiexec("/x", code) for code in other.installed_products()])
        run = other.msiexec("/i", other.msi(self.old))
        self.assertEqual(run.code, 0, run.log[-3000:])
        # One product, of the other flavour; the registration kept and pointed at its program (100).
        self.assertEqual(host.installed_products(), {})
        self.assertEqual(len(other.installed_products()), 1)
        self.assertEqual([e.id for e in run.events], [100])
        self.assertEqual(host.probe("config")["binarypath"], f'"{other.install_dir()}\\telvarin.exe"')
        self.assertFalse(host.unix_path(host.install_dir()).exists())
        # Client access and the product's key kept.
        self.assertEqual(self.access_record()["ClientAccessGroup"], "S-1-5-4")
        self.assertEqual(self.aces_naming("IU")["StatusControl"], [CLIENT_ACE.format("IU")])
        # The x64 service keeps the values where the 32-bit clients look.
        other.wait_until(lambda: other.reg_dword(SYSTEM_EVENT + r"\CurrentSetting", "") == 0x1800014, 20,
                         "the x64 service's start-up values")
        status = json.loads(other.wine(other.exe("telvarin-client.exe"), "status", "--json").stdout)
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
        print(f"\ntelvarin.exe: {size} bytes ({(size + 1023) // 1024} KiB; budget: 64 KiB, checked by static_check)", file=sys.stderr)


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
