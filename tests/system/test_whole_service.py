"""The whole road of a button event and of a client request, and every way of stopping.

The unmodified service runs under Wine against the firmware emulator; everything is observed
from outside: registry, emulator controller, event-log and power-request traces, the SCM.
"""
import shutil

import systest
from winehost import CURRENT_SETTING, NOTIFICATION, STATUS_CONTROL

# The stand-in for powrprof.dll (tests/power_standin) reads its sleep-button policy here.
POWER_POLICY = "HKLM\\Software\\Haskorn\\TelvarinPowerStandIn"
DLL_OVERRIDES = r"HKCU\Software\Wine\AppDefaults\telvarin.exe\DllOverrides"
POWER_ACTION = {"none": 0, "sleep": 2, "hibernate": 3}


class EmulatedFirmware(systest.SessionTestCase):
    """A running service with the emulator registered, shared by the tests of a class."""
    relay_power = True
    emulator = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        host = cls.host
        # Wine has no power policy; the stand-in, beside the exe for this class only, has one
        # when a test writes it. The exe is a copy in this session's folder: bin/ is shared by
        # the entries that run beside this one.
        standin = host.bin.parent / "test-dlls" / "powrprof.dll"
        shared, host.bin = host.bin, host.work / "bin-with-power-standin"
        host.bin.mkdir(exist_ok=True)
        for name in ("telvarin.exe", "fwemu.dll", "fwemu-ctl.exe"):
            shutil.copy(shared / name, host.bin / name)
        shutil.copy(standin, host.bin / "powrprof.dll")
        host.wine("reg", "add", DLL_OVERRIDES, "/v", "powrprof", "/d", "native", "/f", check=True)
        host.reg_delete_key(POWER_POLICY)
        host.start_winmgmt()
        host.install_and_start()
        host.wait_until(host.emulator_calls, 30, "the start-up register call")

    @classmethod
    def tearDownClass(cls):
        try:
            cls.host.wine("reg", "delete", DLL_OVERRIDES, "/f")
            cls.host.reg_delete_key(POWER_POLICY)
            (cls.host.bin / "powrprof.dll").unlink(missing_ok=True)
        finally:
            super().tearDownClass()

    def notification(self, name=""):
        return self.host.reg_dword(NOTIFICATION, name)

    def wait_for_notification(self, expected, name="", timeout=30):
        self.host.wait_until(lambda: self.notification(name) == expected, timeout,
                             f"Notification {name!r} == {expected:#x} (now {self.notification(name)!r})")


class Roads(EmulatedFirmware):
    def test_button_events_reach_notification_as_toggles_in_order(self):
        host = self.host
        # Start from a known value: earlier tests of the class leave their bits behind.
        host.reg_set_dword(NOTIFICATION, "", 0x1)
        host.fwemu("event", "0x10")
        self.wait_for_notification(0x11)
        # 0x30 where only 0x10 is set: not all of its bits are set, so both get set.
        host.fwemu("event", "0x30")
        self.wait_for_notification(0x31)
        # Now all of them are set: both get cleared; the bit outside the code stays.
        host.fwemu("event", "0x30")
        self.wait_for_notification(0x1)

    def test_a_burst_of_1000_events_loses_none(self):
        host = self.host
        before = self.notification()
        host.fwemu("event", "0x2", "--count", "999")
        host.fwemu("event", "0x400")
        # 999 toggles of one bit invert it; the last code is handled only after all of them.
        self.wait_for_notification(before ^ 0x2 ^ 0x400, timeout=120)

    def test_a_request_comes_back_with_the_firmware_answer(self):
        host = self.host
        host.fwemu("set", "radio", "off")
        host.fwemu("set", "device-b", "on")
        answers = self.notification("Type2")
        request = host.reg_dword(STATUS_CONTROL, "Type2")
        host.reg_set_dword(STATUS_CONTROL, "Type2", request ^ 0x1)
        self.wait_for_notification((answers ^ 0x1) | 0x10000, "Type2")  # radio toggled on
        host.reg_set_dword(STATUS_CONTROL, "Type2", request ^ 0x1 ^ 0x2)
        self.wait_for_notification((answers ^ 0x3) | 0x30000, "Type2")  # device B reads on
        self.assertEqual(host.emulator_status()["radio"], "on")
        ebx = [call["in"]["ebx"] for call in host.emulator_calls()[-2:]]
        self.assertEqual(ebx, ["93", "564"])

    def test_an_acknowledgement_creates_notification_again_when_a_client_deleted_it(self):
        host = self.host
        events = self.notification()
        self.addCleanup(host.reg_set_dword, NOTIFICATION, "", events)  # the other tests toggle it
        host.fwemu("set", "radio", "off")
        host.reg_delete_key(NOTIFICATION)
        request = host.reg_dword(STATUS_CONTROL, "Type2")
        host.reg_set_dword(STATUS_CONTROL, "Type2", request ^ 0x1)
        # The deleted answers count as 0: the acknowledgement alone, and the radio now on.
        self.wait_for_notification(0x10001, "Type2")

    def test_a_new_setting_reaches_the_firmware_complemented(self):
        host = self.host
        host.reg_set_dword(CURRENT_SETTING, "", 0x12345678)
        host.wait_until(lambda: host.emulator_status()["setting"] == "0xEDCBA987", 30, "the complemented setting")
        self.assertEqual(host.emulator_writes()[-1]["text"], str(0xEDCBA987))

    def test_sleep_and_hibernate_codes_change_no_registry_value(self):
        host = self.host
        before = self.notification()
        requests = len(host.power_requests())
        host.fwemu("event", "8")
        host.fwemu("event", "0x800")
        host.fwemu("event", "0x1000")  # handled after both power requests have returned
        self.wait_for_notification(before ^ 0x1000)
        # No power policy to read (Wine's and the stand-in's without one fail), so code 8
        # hibernates too.
        self.assertEqual(host.power_requests()[requests:], [(0, 0), (0, 0)])

    def test_the_sleep_button_follows_the_policy_and_does_nothing_when_told_so(self):
        host = self.host
        self.addCleanup(host.reg_delete_key, POWER_POLICY)
        requests = len(host.power_requests())
        marker = self.notification()
        for action in ("none", "sleep", "none", "hibernate"):
            for entry in ("SleepButtonAc", "SleepButtonDc"):
                host.reg_set_dword(POWER_POLICY, entry, POWER_ACTION[action])
            host.fwemu("event", "8")
            marker ^= 0x1000
            host.fwemu("event", "0x1000")  # handled after the sleep button's request, if any
            self.wait_for_notification(marker)
        # "Do nothing" makes no request at all; sleep sleeps, so the policy was read.
        self.assertEqual(host.power_requests()[requests:], [(1, 0), (0, 0)])
        self.assertEqual([e.strings for e in host.service_events() if e.id == 107], [])


class EmulatorRegistered(systest.SessionTestCase):
    """The emulator registered, and reset for each test; each test starts the service itself."""
    emulator = True

    def setUp(self):
        self.host.fwemu("reset")

    def tearDown(self):
        if (self.host.service_state() or {}).get("STATE") == 4:
            self.host.stop_service()


class Stopping(EmulatorRegistered):
    def test_a_stop_releases_every_emulator_object(self):
        host = self.host
        host.start_winmgmt()
        host.install_and_start()
        host.wait_until(host.emulator_calls, 30, "the start-up register call")
        [pid] = [pid for pid, (count, alive) in host.emulator_live().items() if alive]
        self.assertGreater(host.emulator_live()[pid][0], 0)
        host.stop_service()
        self.assertEqual(host.emulator_live()[pid], (0, False))

    def test_a_stop_while_the_subscription_keeps_failing_ends_the_process(self):
        host = self.host
        host.start_winmgmt()
        host.fwemu("fault", "notify-fail", "-1")
        start = len(host.service_events())
        host.install_and_start()
        self.wait_for_event_text("ExecNotificationQuery fail", start=start)
        host.stop_service()

    def test_twenty_start_stop_cycles_never_hang(self):
        host = self.host
        host.start_winmgmt()
        host.telvarin("-InstSvc")
        for cycle in range(20):
            with self.subTest(cycle=cycle):
                host.telvarin("-StartSvc")
                try:
                    host.wait_until(lambda: (host.service_state() or {}).get("STATE") == 4, 30, "RUNNING")
                except AssertionError as failure:
                    # -StartSvc exits 0 whatever the manager said: the traces tell a refused or
                    # timed-out start from a service that started and never reported RUNNING.
                    raise AssertionError(f"{failure}\n{host.diagnostics()}") from None
                host.stop_service(timeout=30)


class StopDuringStartUp(EmulatorRegistered):
    def test_a_stop_while_winmgmt_is_not_running_ends_the_process(self):
        host = self.host
        self.assertNotEqual((host.service_state("winmgmt") or {}).get("STATE"), 4)
        start = len(host.service_events())
        host.install_and_start()
        self.wait_for_event_text("winmgmt not ready", start=start)
        host.stop_service()
        self.assertEqual(host.emulator_calls(), [])


if __name__ == "__main__":
    systest.main()
