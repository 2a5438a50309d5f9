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
import sys
import time

import systest
from msi_player import PRODUCT_KEY, RUNNING, VENDOR_KEY, Machine, Package, Player, build_msi, differences, snapshot
from version_rewrite import next_version, programs_of_version
from winehost import EVENT_SOURCE_KEY, STATUS_CONTROL, bin_dir

FOLDERS = (r"C:\Program Files\Telvarin", r"C:\Program Files (x86)\Telvarin")
GRANT = "(A;;CCDCRP;;;IU)"


def without_note(state):
    """The state without the upgrade note (UpgradingTo) in the product's key."""
    product = state["product key"]
    if product and b"UpgradingTo" in product:
        state = dict(state, **{"product key": {name: value for name, value in product.items() if name != b"UpgradingTo"}})
    return state


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
            newer = next_version(version)
            x64_bin = bin_dir(host.build, "x64")
            # The next version, its programs as a build of it makes them: an upgrade that leaves
            # an old file in place shows.
            newer_bin = programs_of_version(x64_bin, version, newer, work / f"version-{newer}")
            cls.x64 = Package(host.build / f"telvarin-{version}-x64.msi", work)
            cls.x64_newer = Package(build_msi(newer, "x64", newer_bin, work / f"telvarin-{newer}-x64.msi"), work)
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
        for key in (EVENT_SOURCE_KEY, VENDOR_KEY):  # the vendor's key with the steps' records
            machine.delete_key(key)
        for folder in FOLDERS:
            shutil.rmtree(machine.unix(folder), ignore_errors=True)
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
    def state(self):
        """The machine as compared, with Windows Installer's registration of the products."""
        return dict(snapshot(self.machine, FOLDERS), products=sorted(self.player.products))

    def inject_everywhere(self, name, start, package, operation, extra=None):
        """Fails the operation before its script (point 0) and after each of its N steps in turn
        (points 1 to N, the last the end of the script itself); every rollback must leave the
        machine as the starting point had it. Returns the steps of a run that is let through, and
        the failures.

        The rollback from point K runs the twins and undoings of step K, then exactly the
        rollback from point K - 1. So a run failing at point N shows points 1 to N at once: after
        the undoing of each step K the machine must be as the script had it after K - 1 steps,
        the records as they were then too, so that what follows is the rollback from point K - 1
        from its very state; each point costs one step and its undoing instead of all of its
        own. What the service makes when it first starts (its keys; what it writes under
        SystemEvent stays, as after an uninstall) would carry over into the points before that
        start: on a machine where it never ran those points have a run of their own, failing
        right before the start, from the starting point, and the later run compares only the
        undoing of the steps after that start, and its end. The upgrade note, which the immediate phase leaves, the
        first step takes away and no twin brings back, is not compared but at the end, after
        the package's action for a failed end. Point 0 (the first twin without its record) runs
        by itself."""
        started, calls = time.monotonic(), self.player.calls
        self.start(start)
        before = self.state()
        script, _, _ = self.player.plan(package, operation, extra, dry=True)
        steps = [step.name for step in script if step.kind in ("deferred", "standard")]
        # (first, last): a run failing after step `last` shows points first to last.
        runs = [(1, len(steps))]
        service = steps.index("StartServices") + 1 if "StartServices" in steps else 1
        if service > 1 and "SystemEvent" not in (self.machine.subkeys(VENDOR_KEY) or []):
            runs = [(1, service - 1), (service, len(steps))]
        failures, failed = [], set()  # failed: the points not shown restored
        outcome, _, log = self.player.play(package, operation, extra, fail_after=0)
        self.assertEqual(outcome, "rolled back", log)
        wrong = differences(before, self.state())
        if wrong:
            failed.add(0)
            failures.append(f"{name}, failing before its first step: " + "; ".join(wrong) + "\n    " + "\n    ".join(log))
        for first, last in runs:
            if wrong:
                self.start(start)
            forward, undone = [], {}
            compared = first if first == 1 else first + 1  # the undoing of the first start leaves what the service made

            def observe(phase, steps):
                if phase == "forward":
                    forward.append(without_note(self.state()))
                elif steps >= compared:
                    undone[steps] = differences(forward[steps - 1], without_note(self.state()))

            outcome, done, log = self.player.play(package, operation, extra, fail_after=last, observe=observe)
            self.assertEqual((outcome, done), ("rolled back", last), log)
            self.assertEqual(sorted(undone), list(range(compared, last + 2)), log)  # each step, and the twins of the next
            wrong = [f"undoing step {step} ({log[step - 1] if step <= last else 'none'}) does not give the machine as "
                     f"after step {step - 1}: " + "; ".join(wrong_after)
                     for step, wrong_after in sorted(undone.items()) if wrong_after]
            lowest = min([step for step, wrong_after in undone.items() if wrong_after], default=last + 1)
            ended = differences(before, self.state())
            if ended:
                lowest = first
                wrong.append("at the end: " + "; ".join(ended))
            failed |= set(range(max(lowest, first), last + 1))
            if wrong:
                failures.append(f"{name}, failing after step {last} ({log[last - 1]}): " + "\n  ".join(wrong)
                                + "\n    " + "\n    ".join(log))
        if wrong:
            self.start(start)
        outcome, done, log = self.player.play(package, operation, extra)
        self.assertEqual(outcome, "done", log)
        self.assertEqual([entry.split(" (")[0] for entry in log], steps)
        points = done + 1
        label = start if isinstance(start, str) else f"{start[0].msi.name} {start[1] or ''}"
        self.matrix.append((name, label, points, points - len(failed), self.player.calls - calls,
                            round(time.monotonic() - started)))
        return log, failures

    def assert_runs(self, package):
        machine = self.machine
        self.assertEqual(machine.settled_state("Telvarin"), RUNNING)
        config = machine.fields("config", "Telvarin")
        self.assertEqual(config["binarypath"], f'"{package.install_dir}\\telvarin.exe"')
        self.assertEqual(list(self.player.products), [package.code])
        # The service's keys and the product's; no step's record left.
        self.assertEqual(sorted(machine.subkeys(VENDOR_KEY)), ["SystemEvent", "Telvarin"])

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
                self.assertEqual(self.machine.subkeys(VENDOR_KEY), ["SystemEvent"])  # what clients read stays
                self.assertFalse(self.granted())
                self.assertEqual(self.player.products, {})
        self.assertEqual(failures, [], "\n".join(failures))


if __name__ == "__main__":
    systest.main()
