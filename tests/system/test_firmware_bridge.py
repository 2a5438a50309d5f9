"""The service against the firmware emulator, and against Wine's own WMI which lacks the classes."""
import re

import systest
from patience import patient_ms


class WithEmulator(systest.SessionTestCase):
    def setUp(self):
        self.host.fwemu("register")
        self.host.fwemu("reset")
        self.host.start_winmgmt()

    def tearDown(self):
        if (self.host.service_state() or {}).get("STATE") == 4:
            self.host.stop_service()
        self.host.fwemu("unregister")

    def test_start_up_call_and_settings_push_arrive_with_the_exact_texts(self):
        host = self.host
        start = len(host.service_events())
        host.install_and_start()
        calls = host.wait_until(host.emulator_calls, 30, "the start-up register call")
        self.assertEqual(calls[0]["in"], {"eax": "38416", "ebx": "302", "ecx": "0", "edx": "0"})
        writes = host.wait_until(host.emulator_writes, 30, "the start-up settings push")
        self.assertEqual([w["text"] for w in writes], ["4269801451"])
        self.assertEqual(host.emulator_status()["option"], "0x01")
        host.stop_service()
        self.assertEqual(self.events_since(start), [])  # nothing went wrong, so nothing is reported

    def test_connect_server_failing_three_times_is_reported_at_the_first_failure_and_the_success(self):
        host = self.host
        host.fwemu("fault", "connect-fail", "3")
        start = len(host.service_events())
        host.install_and_start()
        host.wait_until(host.emulator_calls, 30, "the start-up call after the retries")
        texts = [" ".join(e.strings) for e in self.events_since(start)]
        self.assertEqual(len(texts), 2, texts)
        self.assertEqual(texts[0], "ConnectServer fail")
        self.assertRegex(texts[1], r"^ConnectServer succeeded after 3 failed attempts in [0-9] s$")
        host.stop_service()

    def test_another_model_s_method_instance_is_found_used_and_named_once(self):
        # Another model's ACPI-WMI device has another unique id: the fixed path answers "not
        # found", the class's first instance is used for every call, and named in one report.
        host = self.host
        host.fwemu("fault", "method-instance", r"ACPI\PNP0C14\1_0")
        start = len(host.service_events())
        host.install_and_start()
        calls = host.wait_until(host.emulator_calls, 30, "the start-up register call")
        self.assertEqual((calls[0]["in"]["ebx"], calls[0]["hr"]), ("302", 0))
        client = host.exe("telvarin-client.exe")
        for _ in range(2):
            result = host.wine(client, "request", "1", "--timeout", patient_ms(5000))
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(len(host.emulator_calls()), 3)
        # Wine's trace escapes backslashes and quotes in the reported text.
        texts = [re.sub(r"\\(.)", r"\1", " ".join(e.strings)) for e in self.events_since(start)]
        self.assertEqual(texts, [r'Using the firmware method instance OrvButtonMethodDW.InstanceName="ACPI\\PNP0C14\\1_0"'])
        # The doctor shows which one answers.
        doctor = host.wine(client, "doctor").stdout
        self.assertIn(r"info  firmware.instance: ACPI\PNP0C14\1_0 (not the usual ACPI\pnp0c14\0_0)", doctor)
        host.stop_service()

    def test_without_any_method_instance_requests_fail_as_before(self):
        host = self.host
        host.fwemu("fault", "method-instance", "none")
        start = len(host.service_events())
        host.install_and_start()
        self.wait_for_event_text("Wmi ExecMethod fail.", start=start)
        self.assertNotEqual(host.wine(host.exe("telvarin-client.exe"), "request", "1").returncode, 0)
        self.assertEqual(host.emulator_calls(), [])
        texts = [" ".join(e.strings) for e in self.events_since(start)]
        self.assertEqual(texts, ["Wmi ExecMethod fail."])
        host.stop_service()


class WithoutTheFirmwareClasses(systest.SessionTestCase):
    def test_the_service_reports_and_keeps_running_then_stops_cleanly(self):
        host = self.host
        host.fwemu("unregister")  # Wine's own WMI: connects, but has no firmware classes
        host.start_winmgmt()
        host.install_and_start()
        self.wait_for_event_text("Wmi OrvButtonMethodDW class not existed.")
        self.wait_for_event_text("Fail to WmiSetData")
        self.wait_for_event_text("ExecNotificationQuery fail")
        self.assertEqual(host.service_state()["STATE"], 4)
        # (That requests are then consumed without a firmware call shows nowhere outside the
        # process; the unit tests of the StatusControl reaction cover it.)
        host.stop_service()
        events = host.service_events()
        self.assertTrue(all(e.type == 2 and e.id == 107 for e in events), events)  # failures: warnings


if __name__ == "__main__":
    systest.main()
