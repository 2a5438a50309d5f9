"""Clients that write at the worst moment, and firmware that answers late, with junk, or never.

The unmodified service runs under Wine against the firmware emulator; every effect is observed
from outside: registry, emulator controller, event-log and power-request traces, the processes.
"""
import subprocess
import time

import systest
from protocol import P
from winehost import CURRENT_SETTING, NOTIFICATION, STATUS_CONTROL

# A register call's request and answer, from the emulator's record: (request, on).
REQUEST_OF_EBX = {str(P.FW_STATE_A): 0, str(P.FW_DEVICE_B_READ): 1}
ON_LOW_BYTE = {0: P.FW_STATE_A_ON, 1: P.FW_DEVICE_B_IS_ON}
CALL_BOUND_S = 10
GAVE_UP = ["ExecMethod gave no answer in 10.0 s; while 2 such calls are out, the next fail at once"]


def interleaving(merged, first, second):
    """Whether `merged` is `first` and `second` interleaved, each in its own order."""
    taken = {0}  # how many items of `first` the merge so far may have taken
    for done, item in enumerate(merged):
        taken = ({i + 1 for i in taken if i < len(first) and first[i] == item} |
                 {i for i in taken if done - i < len(second) and second[done - i] == item})
    return len(merged) == len(first) + len(second) and len(first) in taken


class Adversaries(systest.SessionTestCase):
    """Each test starts the service afresh against a reset emulator."""
    relay_power = True
    emulator = True

    def setUp(self):
        host = self.host
        host.fwemu("reset")
        host.start_winmgmt()
        self.start = len(host.service_events())

    def start_service(self):
        host = self.host
        host.install_and_start()
        host.wait_until(lambda: host.emulator_subscribers() >= 1, 30, "the button-event subscription")

    def tearDown(self):
        self.host.fwemu("reset")  # lets a hanging call go before the stop
        if (self.host.service_state() or {}).get("STATE") == 4:
            self.host.stop_service()

    def adversary(self, *args):
        result = self.host.wine(self.host.exe("adversary.exe"), *map(str, args), timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return result.stdout

    def answers(self):
        return self.host.reg_dword(NOTIFICATION, "Type2")

    def texts(self):
        return [e.strings for e in self.events_since(self.start) if e.id == 107]

    def test_a_request_written_while_a_slow_firmware_serves_another_is_served_too(self):
        self.start_service()
        self.host.fwemu("fault", "call-delay-ms", "150")
        for round_ in range(10):
            with self.subTest(round=round_):
                self.assertIn("ack-1: yes", self.adversary("pair", 40, 5000))

    def test_the_last_of_two_settings_words_written_during_a_slow_push_wins(self):
        host = self.host
        self.start_service()
        host.fwemu("fault", "call-delay-ms", "150")
        for round_ in range(8):
            first, second = 0x1000 + round_, 0x2000 + round_
            self.adversary("settings", first, second, 20)
            wanted = f"0x{~second & 0xFFFFFFFF:08X}"
            host.wait_until(lambda: host.emulator_status()["setting"] == wanted, 10,
                            f"round {round_}: the firmware to hold {wanted}")

    def test_requests_sent_the_moment_each_acknowledgement_shows_are_all_served(self):
        self.start_service()
        self.host.fwemu("fault", "call-delay-ms", "20")  # a real ACPI method takes that long
        self.assertIn("lost: 0", self.adversary("requests", 300, 5000))

    def test_two_library_clients_at_once_never_lose_double_or_swap_a_request(self):
        host = self.host
        self.start_service()
        start = len(host.emulator_calls())
        # Each sends requests 0 and 1 in turn, from the other end, as fast as acknowledgements come.
        clients = [subprocess.Popen(host.command(host.exe("adversary.exe"), "requests", "300", "5000", str(first)),
                                    env=host.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                   for first in (0, 1)]
        for client in clients:
            self.addCleanup(client.kill)
        answers = []
        for client in clients:
            out, err = client.communicate(timeout=300)
            self.assertEqual(client.returncode, 0, out[-3000:] + err)  # every request acknowledged in time
            answers.append([tuple(map(int, line.split()[1:])) for line in out.splitlines() if line.startswith("answer:")])
        self.assertEqual([len(a) for a in answers], [300, 300])
        # One firmware call per request, and each client's answers are those of its own calls: the
        # calls, in order, are the two clients' answers interleaved. Request 0 toggles state A on
        # every call, so a client that took the other's acknowledgement shows a wrong state.
        served = [(REQUEST_OF_EBX[c["in"]["ebx"]], int((c["out"][0] & 0xFF) == ON_LOW_BYTE[REQUEST_OF_EBX[c["in"]["ebx"]]]))
                  for c in host.emulator_calls()[start:]]
        self.assertEqual(len(served), 600)
        self.assertTrue(interleaving(served, *answers), f"calls {served[:20]}..., answers {answers[0][:10]}..., "
                                                        f"{answers[1][:10]}...")

    def test_values_the_firmware_leaves_without_a_type_are_never_acted_on(self):
        host = self.host
        self.start_service()
        # Events whose Param is VT_NULL with 8 (the sleep code) left in the union: dropped.
        events = host.reg_dword(NOTIFICATION, "")
        delivered = int(host.emulator_status()["events-delivered"])
        host.fwemu("fault", "null-param", "on")
        for code in ("8", "0x800", "0x10"):
            host.fwemu("event", code)
        # The fault applies when the service takes an event: keep it on until all three are taken.
        host.wait_until(lambda: int(host.emulator_status()["events-delivered"]) >= delivered + 3, 10,
                        "the service to take the junk events")
        host.fwemu("fault", "null-param", "off")
        host.fwemu("event", "0x1000")  # handled after the three junk events
        host.wait_until(lambda: host.reg_dword(NOTIFICATION, "") == events ^ 0x1000, 30, "the marker event")
        self.assertEqual(host.power_requests(), [])

        # A register call whose outputs are VT_NULL fails without an acknowledgement and without
        # disabling later requests: the next request is served, and bit 0 flipped once only.
        answers = self.answers()
        host.fwemu("fault", "null-output", "on")
        host.reg_set_dword(STATUS_CONTROL, "Type2", 0x1)
        host.wait_until(lambda: len(host.emulator_calls()) == 2, 10, "the junk-answered call")
        host.fwemu("fault", "null-output", "off")
        host.reg_set_dword(STATUS_CONTROL, "Type2", 0x3)  # request 1, handled after the junk
        host.wait_until(lambda: (self.answers() ^ answers) & 0x2, 10, "the acknowledgement of request 1")
        self.assertEqual((self.answers() ^ answers) & 0x1, 0)
        self.assertEqual(self.texts(), [])

    def test_null_objects_and_rejected_writes_are_failures_reported_as_such(self):
        host = self.host
        for fault in ("put-fail", "put-reject"):
            with self.subTest(fault=fault):
                # A service of its own for each: a failure soon after a run of failures ended
                # belongs to that run and is not reported again.
                if (host.service_state() or {}).get("STATE") == 4:
                    host.stop_service()
                self.start_service()
                host.fwemu("fault", fault, "on")
                reported = self.texts().count(["Fail to WmiSetData"])
                pushed = len([t for t in self.texts() if t[0].startswith("Settings push succeeded after")])
                host.reg_set_dword(CURRENT_SETTING, "", 0x5 + reported)
                host.wait_until(lambda: self.texts().count(["Fail to WmiSetData"]) == reported + 1, 10,
                                f'"Fail to WmiSetData" under {fault}')
                host.fwemu("fault", fault, "off")
                # The push is made again until the firmware has it; that ends the run of failures.
                host.wait_until(lambda: len([t for t in self.texts() if t[0].startswith("Settings push succeeded after")])
                                > pushed, 20, "the push made again")
                self.assertEqual(host.emulator_status()["setting"], f"0x{~(0x5 + reported) & 0xFFFFFFFF:08X}")
        # An input register that cannot be set: the firmware is not called at all.
        calls = len(host.emulator_calls())
        answers = self.answers()
        host.fwemu("fault", "put-fail", "on")
        host.reg_set_dword(STATUS_CONTROL, "Type2", 0x1)
        host.fwemu("fault", "put-fail", "off")
        host.reg_set_dword(STATUS_CONTROL, "Type2", 0x3)
        host.wait_until(lambda: (self.answers() ^ answers) & 0x2, 10, "the acknowledgement of request 1")
        self.assertEqual([c["in"]["ebx"] for c in host.emulator_calls()[calls:]], ["564"])

        # S_OK with a null object: reported as the step's failure; the service keeps running. The
        # method was looked up once for the connection, so requests need no GetObject and go on.
        # (A service of its own: a failure soon after the last run of failures ended belongs to it.)
        host.stop_service()
        self.start_service()
        self.serve_requests(1)
        host.fwemu("fault", "null-object", "on")
        answers = self.answers()
        host.reg_set_dword(STATUS_CONTROL, "Type2", 0x2)  # bit 0 inverted: request 0
        host.wait_until(lambda: (self.answers() ^ answers) & 0x1, 10, "the acknowledgement under null-object")
        reported = self.texts().count(["Fail to WmiSetData"])
        host.reg_set_dword(CURRENT_SETTING, "", 0x77)
        host.wait_until(lambda: self.texts().count(["Fail to WmiSetData"]) == reported + 1, 10,
                        '"Fail to WmiSetData" for a null enumerator')
        self.assertEqual(host.service_state()["STATE"], 4)
        self.assertTrue(host.telvarin_processes())

    def test_a_stop_during_a_call_that_never_answers_ends_the_process_with_stopped(self):
        host = self.host
        self.start_service()
        started = int(host.emulator_status()["calls-started"])
        host.fwemu("fault", "method-hang", "on")
        requested = time.monotonic()
        host.reg_set_dword(STATUS_CONTROL, "Type2", host.reg_dword(STATUS_CONTROL, "Type2") ^ 0x1)
        host.wait_until(lambda: int(host.emulator_status()["calls-started"]) > started, 30,
                        "the request's call to reach the firmware")
        reports = len(host.status_reports())
        stopping = time.monotonic()
        stop = systest.parse_fields(host.wine(host.exe("svcprobe.exe"), "stop", "Telvarin").stdout)
        self.assertEqual(stop["answer"], "3")  # STOP_PENDING comes first
        # The process ends once STOPPED shows (-1: not within a minute), by itself: the watchdog
        # that ends a stuck stop would have said "Stop not finished" (the log is checked below).
        self.assertGreaterEqual(float(stop["exit-after-stopped-ms"]), 0)
        self.assert_stop_reports(host.status_reports()[reports:])
        self.assertEqual(host.emulator_subscribers(), 0)
        # A stop is no failure. A busy machine may send the stop only after the call's bound,
        # when the call was given up before it: then that is all the log may say.
        if stopping - requested < CALL_BOUND_S / 2:
            self.assertEqual(self.texts(), [])
        else:
            self.assertIn(self.texts(), ([], [GAVE_UP]))


if __name__ == "__main__":
    systest.main()
