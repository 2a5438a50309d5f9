"""Every package operation is a transaction: the built MSIs' own sequences played as Windows
Installer plays them (msi_player.py), failing after each step of the script in turn, and the
machine compared with its state before. Wine's msiexec cannot show this: it runs no rollback for a
repair and commits the old version's removal before an upgrade installs.

Operations: install (from a clean machine, and from one where Telvarin is registered by hand,
stopped, naming another copy of the program), upgrade, flavour switch, repair and uninstall, with
client access on and off. The custom actions run for real: the package's helper from its Binary
table and the installed telvarin.exe, under Wine. The x86 package is played with the x64
programs in its files' and helper's place where this host cannot run 32-bit code (one source).
"""
import shutil
import subprocess
import sys
import time
from pathlib import Path

import systest
from msi_player import PRODUCT_KEY, RUNNING, Machine, Package, Player, differences, snapshot
from winehost import EVENT_SOURCE_KEY, STATUS_CONTROL, SYSTEM_EVENT, bin_dir

ROOT = Path(__file__).resolve().parents[2]

FOLDERS = (r"C:\Program Files\Telvarin", r"C:\Program Files (x86)\Telvarin")
GRANT = "(A;;CCDCRP;;;IU)"


class PackageTransactions(systest.SessionTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            host = cls.host
            host.start_winmgmt()
            work = host.work / "packages"
            work.mkdir(exist_ok=True)
            version = host.version()
            major, minor, patch = version.split(".")
            newer = f"{major}.{minor}.{int(patch) + 1}"
            x64_bin = bin_dir(host.build, "x64")
            # A newer version of the same programs: an upgrade as the tables see it.
            newer_msi = work / f"telvarin-{newer}-x64.msi"
            subprocess.run([str(ROOT / "packaging" / "build_msi.sh"), newer, "x64", str(x64_bin), str(newer_msi)],
                           check=True, capture_output=True, timeout=300)
            cls.x64 = Package(host.build / f"telvarin-{version}-x64.msi", work)
            cls.x64_newer = Package(newer_msi, work)
            cls.x86 = Package(host.build / f"telvarin-{version}.msi", work, stand_in=x64_bin)
            cls.machine = Machine(host)
            cls.player = Player(host, cls.machine)
            cls.matrix = []
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            if hasattr(cls, "matrix"):
                print("\ninjection matrix (operation, start, points, restored, helper runs, seconds):", file=sys.stderr)
                for row in cls.matrix:
                    print("  " + " | ".join(map(str, row)), file=sys.stderr)
            if hasattr(cls, "machine"):
                cls.machine.close()
        finally:
            super().tearDownClass()

    # --- the machine's starting points ----------------------------------------------------------
    def clean(self):
        host, machine = self.host, self.machine
        if machine.state("Telvarin") is not None:
            host.remove_service()
        for key in (EVENT_SOURCE_KEY, PRODUCT_KEY, SYSTEM_EVENT):
            machine.delete_key(key)
        for folder in FOLDERS:
            shutil.rmtree(machine.unix(folder), ignore_errors=True)
        for record in machine.unix(r"C:\windows\temp").glob("Telvarin-setup-*"):
            record.unlink()
        self.player.products.clear()

    def start(self, start):
        """Makes the starting point: "clean", "by hand" (registered from the build tree, stopped),
        or (package, properties) installed."""
        self.clean()
        if start == "by hand":
            self.assertEqual(self.host.telvarin("-InstSvc").returncode, 0)
            self.assertNotEqual(self.machine.state("Telvarin"), RUNNING)
        elif start != "clean":
            package, extra = start
            outcome, _, log = self.player.play(package, "install", extra)
            self.assertEqual(outcome, "done", log)
            self.assertEqual(self.machine.settled_state("Telvarin"), RUNNING)

    # --- the matrix -----------------------------------------------------------------------------
    def inject_everywhere(self, name, start, package, operation, extra=None):
        """Fails the operation before its script (0) and after each step in turn; every rollback
        must leave the machine as the starting point had it. Returns the steps of a run that is
        let through, and the failures."""
        started, calls = time.monotonic(), self.player.calls
        self.start(start)
        before = snapshot(self.machine, FOLDERS)
        failures, point = [], 0
        while True:
            outcome, done, log = self.player.play(package, operation, extra, fail_after=point)
            if outcome == "done":
                break
            self.assertEqual(outcome, "rolled back", log)
            after = snapshot(self.machine, FOLDERS)
            wrong = differences(before, after)
            if wrong:
                failures.append(f"{name}, failing after step {point} ({log[point - 1] if point else 'none'}): "
                                + "; ".join(wrong) + "\n    " + "\n    ".join(log))
                self.start(start)
            point += 1
        label = start if isinstance(start, str) else f"{start[0].msi.name} {start[1] or ''}"
        self.matrix.append((name, label, point, point - len(failures), self.player.calls - calls,
                            round(time.monotonic() - started)))
        return log, failures

    def assert_runs(self, package):
        machine = self.machine
        self.assertEqual(machine.settled_state("Telvarin"), RUNNING)
        config = machine.fields("config", "Telvarin")
        self.assertEqual(config["binarypath"], f'"{package.install_dir}\\telvarin.exe"')
        self.assertEqual(list(self.player.products), [package.code])

    def granted(self):
        fields = self.machine.fields("sddl", STATUS_CONTROL)
        return bool(fields) and GRANT in fields["sddl"]

    def test_a_failed_install_puts_back_what_it_found_a_registration_by_hand_included(self):
        failures = []
        for start in ("clean", "by hand"):
            for access in ("1", "0"):
                name = f"install, CLIENTACCESS={access}"
                log, failed = self.inject_everywhere(name, start, self.x64, "install", {"CLIENTACCESS": access})
                failures += failed
                with self.subTest(case=name, start=start):
                    self.assert_runs(self.x64)
                    self.assertEqual(self.granted(), access == "1")
                    self.assertEqual(b"ClientAccessGroup" in (self.machine.values(PRODUCT_KEY) or {}), access == "1")
        self.assertEqual(failures, [], "\n".join(failures))

    def test_a_failed_upgrade_or_flavour_switch_puts_back_the_old_version_and_a_done_one_keeps_its_choices(self):
        failures = []
        for name, old, new in (("upgrade", self.x64, self.x64_newer), ("flavour switch", self.x86, self.x64)):
            for access in ("1", "0"):
                log, failed = self.inject_everywhere(f"{name}, CLIENTACCESS={access} before", (old, {"CLIENTACCESS": access}),
                                                     new, "install")
                failures += failed
                with self.subTest(case=name, access=access):
                    # One product, the registration kept (never deleted: no step waits for a
                    # deleted service) and pointed at the new program, the grant and the key kept.
                    self.assert_runs(new)
                    self.assertFalse([step for step in log if "unregister" in step], log)
                    self.assertEqual(self.granted(), access == "1")
                    record = self.machine.values(PRODUCT_KEY) or {}
                    self.assertEqual(record.get(b"ClientAccessGroup", (0, b""))[1].rstrip(b"\0"),
                                     b"S-1-5-4" if access == "1" else b"")
                    self.assertNotIn(b"UpgradingTo", record)
                    self.assertFalse(self.machine.unix(old.install_dir).exists() and old.install_dir != new.install_dir)
        self.assertEqual(failures, [], "\n".join(failures))

    def test_a_failed_repair_or_uninstall_puts_back_the_installed_product(self):
        failures = []
        installed = (self.x64, {"CLIENTACCESS": "1"})
        _, failed = self.inject_everywhere("repair", installed, self.x64, "repair")
        failures += failed
        with self.subTest(case="repair"):
            self.assert_runs(self.x64)
            self.assertTrue(self.granted())
        _, failed = self.inject_everywhere("repair, CLIENTACCESS=0", installed, self.x64, "repair", {"CLIENTACCESS": "0"})
        failures += failed
        with self.subTest(case="repair turning client access off"):
            self.assert_runs(self.x64)
            self.assertFalse(self.granted())
        for access in ("1", "0"):
            _, failed = self.inject_everywhere(f"uninstall, CLIENTACCESS={access} before", (self.x64, {"CLIENTACCESS": access}),
                                               self.x64, "remove")
            failures += failed
            with self.subTest(case="uninstall", access=access):
                self.assertIsNone(self.machine.state("Telvarin"))
                self.assertIsNone(self.machine.values(EVENT_SOURCE_KEY))
                self.assertIsNone(self.machine.values(PRODUCT_KEY))
                self.assertFalse(self.granted())
                self.assertEqual(self.player.products, {})
        self.assertEqual(failures, [], "\n".join(failures))


if __name__ == "__main__":
    systest.main()
