"""Common ground of the system tests: argument parsing, one Wine session per test file."""
import argparse
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
from patience import patient_ms  # noqa: E402  (path set up above)
from winehost import ARCHES, CURRENT_SETTING, SYSTEM_EVENT, WineHost, parse_fields  # noqa: E402,F401  (path set up above)

BUILD_DIR = None
ARCH = "x86"         # the service's flavour
CLIENT_ARCH = None   # the clients' flavour; None: the service's


class SessionTestCase(unittest.TestCase):
    """Starts a fresh wineserver session for the test class and ends it afterwards.

    The service is removed and the SystemEvent tree deleted first, so every class starts clean.
    """
    relay_power = False
    emulator = False  # register the firmware emulator for the class, and restore Wine's WMI after
    host: WineHost

    @classmethod
    def setUpClass(cls):
        cls.host = WineHost(BUILD_DIR, ARCH, CLIENT_ARCH)
        cls.host.start_session(relay_power=cls.relay_power)
        cls.host.remove_service()
        cls.host.reg_delete_key(SYSTEM_EVENT)
        # Nothing uses the emulator yet: a state file an older emulator build left is rewritten.
        cls.host.fwemu("reset", "--force")
        if cls.emulator:
            cls.host.fwemu("register")

    @classmethod
    def tearDownClass(cls):
        try:
            cls.host.remove_service()
            if cls.emulator:
                cls.host.fwemu("unregister")
        finally:
            cls.host.end_session()

    def events_since(self, start):
        """Service-process event reports made after `start` reports had been seen."""
        return self.host.service_events()[start:]

    def assert_stop_reports(self, reports, exit_code=0):
        """One stop's status reports, in the order the service made them: STOP_PENDING with
        checkpoint 1 and a wait hint, rising checkpoints, and STOPPED last, with `exit_code`."""
        self.assertGreaterEqual(len(reports), 2, reports)
        *pending, last = reports
        self.assertTrue(all(r[1] == 3 and r[6] > 0 for r in pending), reports)
        self.assertEqual([r[5] for r in pending], list(range(1, len(pending) + 1)), reports)
        self.assertEqual((last[1], last[3], last[5], last[6]), (1, exit_code, 0, 0), reports)

    @staticmethod
    def start_service(host, subscribed=True):
        """Installs and starts the service; with `subscribed`, waits for its new subscription to
        the emulator's button events."""
        subscriptions = int(host.emulator_status()["subscriptions"])
        host.install_and_start()
        if subscribed:
            host.wait_until(lambda: int(host.emulator_status()["subscriptions"]) > subscriptions, 60,
                            "the button-event subscription", interval=0.5)

    def serve_requests(self, count, timeout_ms=30000):
        """`count` library requests, one after another, every one acknowledged."""
        result = self.host.wine(self.host.exe("adversary.exe"), "requests", str(count), patient_ms(timeout_ms),
                                timeout=300)
        self.assertIn("lost: 0", result.stdout, result.stdout + result.stderr)

    def push_setting(self, value, timeout=30):
        """Writes the settings word and waits until the emulated firmware holds its complement."""
        self.host.reg_set_dword(CURRENT_SETTING, "", value)
        wanted = f"0x{~value & 0xFFFFFFFF:08X}"
        self.host.wait_until(lambda: self.host.emulator_status()["setting"] == wanted, timeout,
                             f"the firmware to hold {wanted}", interval=0.5)

    def wait_for_event_text(self, text, timeout=20, start=0):
        return self.host.wait_until(
            lambda: [e for e in self.host.service_events()[start:] if e.id == 107 and e.strings == [text]],
            timeout, f'event 107 "{text}"')


def main():
    global BUILD_DIR, ARCH, CLIENT_ARCH
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True, help="the main build tree")
    parser.add_argument("--arch", choices=ARCHES, default="x86", help="the service's flavour")
    parser.add_argument("--client-arch", choices=ARCHES, help="the clients' flavour (default: the service's)")
    args, rest = parser.parse_known_args()
    BUILD_DIR, ARCH, CLIENT_ARCH = args.build_dir, args.arch, args.client_arch
    unittest.main(argv=[sys.argv[0], "-v", *rest])
