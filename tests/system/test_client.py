"""telvarin-client.exe against the registry and the running service under Wine.

Checked from outside, the way a script uses the tool: exit codes, stdout/stderr, the registry.
"""
import json
import queue
import signal
import subprocess
import threading
import time
from pathlib import Path

import systest
from patience import patient, patient_ms
from protocol import P
from winehost import CAPABILITY, CURRENT_SETTING, NOTIFICATION, STATUS_CONTROL, SYSTEM_EVENT


OK, TIMED_OUT, USAGE, SYSTEM, NO_ACK, INTERRUPTED = 0, 1, 2, 3, 4, 5
# How long a watch that the test ends itself may last: it only ends one that was forgotten.
WATCH_S = str(int(patient(30)))


class Background:
    """A program running in the background; its stdout lines arrive through a queue. `program` is
    the name of one of ours, or the Path of another."""

    def __init__(self, host, program, *args):
        path = host.win_path(program) if isinstance(program, Path) else host.exe(program)
        self.process = subprocess.Popen(host.command(path, *args), env=host.env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def next_line(self, timeout=10):
        try:
            return self.lines.get(timeout=patient(timeout))
        except queue.Empty:
            raise AssertionError("watch printed no line in time") from None

    def finish(self, timeout=15):
        self.process.wait(timeout=patient(timeout))
        return self.process.returncode, self.process.stderr.read()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.reader.join(10)  # it reaches the end of the output once the process is gone
        self.process.stdout.close()
        self.process.stderr.close()


class Watch(Background):
    """`telvarin-client watch`, once it printed that it is armed."""

    def __init__(self, host, *args):
        super().__init__(host, "telvarin-client.exe", "watch", *args)
        self.armed = self.next_line(20)


def check_protocol_example(test, program):
    """Runs the C example of docs/protocol.md (built in the tree, or from the SDK) against the
    service and the emulator: it reads device B, then reports the event injected meanwhile."""
    host = test.host
    host.fwemu("set", "device-b", "on")
    example = Background(host, program)
    test.addCleanup(example.kill)
    test.assertEqual(example.next_line(20), "device B is on")
    test.assertEqual(example.next_line(), "waiting for an event")
    events = host.reg_dword(NOTIFICATION, "")
    host.fwemu("event", "0x100")
    test.assertEqual(example.next_line(), f"event bits 0x{events:08X} -> 0x{events ^ 0x100:08X}")
    test.assertEqual(example.finish(), (OK, ""))


class ClientTestCase(systest.SessionTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A service left running by an earlier run is only marked for deletion by the uninstall.
        if cls.host.telvarin_processes():
            cls.host.telvarin("-StopSvc")
            cls.host.wait_until(lambda: not cls.host.telvarin_processes(), 30, "the old service to end")
        try:
            cls.prepare()
        except BaseException:
            cls.tearDownClass()  # unittest skips it when setUpClass fails
            raise

    @classmethod
    def prepare(cls):
        pass

    @classmethod
    def start_with_emulator(cls):
        """The service installed and started against the firmware emulator (`emulator = True`)."""
        cls.host.start_winmgmt()
        cls.host.install_and_start()

    def client(self, *args):
        """The tool with ARGS; a request with no bound of its own gets the tool's default, 5 s,
        made patient, since it is meant to be answered."""
        if args[:1] == ("request",) and not any(arg.startswith("--timeout") for arg in args):
            args += ("--timeout", patient_ms(5000))
        return self.host.wine(self.host.exe("telvarin-client.exe"), *args)

    def client_json(self, *args):
        result = self.client(*args)
        return result.returncode, json.loads(result.stdout)

    def assert_error_line(self, result, code, *words):
        """A failure: the exit code, nothing on stdout, one stderr line naming the problem."""
        self.assertEqual(result.returncode, code, result.stderr)
        self.assertEqual(result.stdout, "")
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("telvarin-client: "), lines[0])
        for word in words:
            self.assertIn(word, lines[0])

    def set_values(self, **values):
        keys = {"events": (NOTIFICATION, ""), "answers": (NOTIFICATION, "Type2"), "caps": (CAPABILITY, ""),
                "caps2": (CAPABILITY, "Type2"), "setting": (CURRENT_SETTING, ""), "requests": (STATUS_CONTROL, "Type2")}
        for name, value in values.items():
            self.host.reg_set_dword(*keys[name], value)

    def watch(self, *args):
        watch = Watch(self.host, *args)
        self.addCleanup(watch.kill)
        return watch


class CommandLine(ClientTestCase):
    """No service: the tool on its own, against values a test writes."""

    def setUp(self):
        self.host.reg_delete_key(SYSTEM_EVENT)

    def test_help_for_the_tool_and_each_command_exits_0(self):
        result = self.client("--help")
        self.assertEqual(result.returncode, OK)
        for text in ("status", "watch", "request 0|1|17", "setting get", "Exit codes"):
            self.assertIn(text, result.stdout)
        # --help wins over a bad argument on the same line.
        for args in (["status", "--help"], ["watch", "-h"], ["request", "5", "--help"], ["setting", "frob", "--help"]):
            with self.subTest(args=args):
                result = self.client(*args)
                self.assertEqual(result.returncode, OK)
                self.assertIn("Usage: telvarin-client " + args[0], result.stdout)
                self.assertEqual(result.stderr, "")

    def test_bad_command_lines_exit_2_and_write_nothing(self):
        self.set_values(setting=5, requests=0x20002)
        before = {key: self.host.reg_values(key) for key in (CURRENT_SETTING, STATUS_CONTROL)}
        cases = [
            ([], "missing command"), (["bogus"], "unknown command 'bogus'"), (["STATUS"], "unknown command"),
            (["status", "extra"], "unexpected argument"), (["status", "--timeout", "1"], "unknown option"),
            (["watch", "--timeout"], "needs a value"), (["watch", "--timeout", "1.5"], "bad timeout"),
            (["watch", "--timeout", "4294968"], "bad timeout"), (["request"], "give 0, 1 or 17"),
            (["request", "2"], "bad request '2'"), (["request", "16"], "bad request"),
            (["request", "0", "1"], "unexpected argument '1'"), (["request", "0", "--timeout", "-1"], "bad timeout"),
            (["request", "17", "--timeout=x"], "bad timeout"), (["setting"], "give 'get'"),
            (["setting", "get", "x"], "unexpected argument"), (["setting", "set"], "needs a VALUE"),
            (["setting", "set", "1", "2"], "unexpected argument '2'"),
            (["setting", "set", "4294967296"], "bad value"), (["setting", "set", "0x100000000"], "bad value"),
            (["setting", "set", "-1"], "bad value '-1'"), (["setting", "set", "0x"], "bad value"),
            (["setting", "set", "12abc"], "bad value"), (["setting", "set", " 1"], "bad value"),
            (["setting", "set", "+1"], "bad value"), (["setting", "frob"], "unknown setting action"),
            (["setting", "--json", "get"], "unknown option '--json'"),
        ]
        for args, words in cases:
            with self.subTest(args=args):
                self.assert_error_line(self.client(*args), USAGE, words, "--help")
        self.assertEqual({key: self.host.reg_values(key) for key in before}, before)

    def test_missing_keys_exit_3_and_are_not_created(self):
        for args, key in ((["request", "0"], "StatusControl"), (["request", "17"], "StatusControl"),
                          (["setting", "get"], "CurrentSetting"), (["setting", "set", "1"], "CurrentSetting"),
                          (["watch", "--timeout", "1"], "Notification")):
            with self.subTest(args=args):
                self.assert_error_line(self.client(*args), SYSTEM, SYSTEM_EVENT + "\\" + key, "missing")
        self.assertIsNone(self.host.reg_values(SYSTEM_EVENT))
        # The acknowledgement key is checked before the request is written.
        self.set_values(requests=0)
        self.assert_error_line(self.client("request", "1"), SYSTEM, "Notification", "missing")
        self.assertEqual(self.host.reg_dword(STATUS_CONTROL, "Type2"), 0)
        self.assertIsNone(self.host.reg_values(NOTIFICATION))

    def test_status_without_keys_or_service(self):
        code, status = self.client_json("status", "--json")
        self.assertEqual(code, OK)
        self.assertEqual(status["service"], {"name": "Telvarin", "installed": False, "running": False,
                                             "state": "not installed"})
        self.assertEqual(len(status["values"]), 6)
        for value in status["values"].values():
            self.assertEqual((value["state"], value["value"], value["bits"]), ("key missing", 0, []))

    def test_status_decodes_bits_by_name(self):
        self.set_values(events=0x810, answers=0x30003, caps=0x81800054, caps2=0x30000, setting=0x1800014,
                        requests=0x20001)
        code, status = self.client_json("status", "--json")
        self.assertEqual(code, OK)
        bits = {name: (value["state"], value["value"], value["bits"]) for name, value in status["values"].items()}
        self.assertEqual(bits, {
            "Notification": ("ok", 0x810, ["bit4", "bit11"]),
            "Notification.Type2": ("ok", 0x30003, ["ack-0", "ack-1", "state-A", "device-B"]),
            "Capability": ("ok", 0x81800054, ["bit2", "bit4", "bit6", "bit23", "bit24", "bit31"]),
            "Capability.Type2": ("ok", 0x30000, ["state-A", "device-B"]),
            "CurrentSetting": ("ok", 0x1800014, ["bit2", "bit4", "bit23", "bit24"]),
            "StatusControl.Type2": ("ok", 0x20001, ["request-0", "request-17"]),
        })
        self.assertEqual(status["values"]["StatusControl.Type2"]["key"], STATUS_CONTROL)
        text = self.client("status").stdout
        self.assertIn("service Telvarin: not installed", text)
        self.assertRegex(text, r'Notification "Type2" +0x00030003  ack-0 ack-1 state-A device-B\n')
        self.assertRegex(text, r'CurrentSetting "" +0x01800014  bit2 bit4 bit23 bit24  \(firmware gets 0xFE7FFFEB\)')
        self.assertRegex(text, r'StatusControl "Type2" +0x00020001  request-0 request-17\n')

    def test_values_of_another_type_or_size_read_as_0(self):
        self.set_values(answers=7)
        wine = self.host.wine
        wine("reg", "add", NOTIFICATION, "/ve", "/t", "REG_SZ", "/d", "16", "/f", "/reg:32", check=True)
        wine("reg", "add", CAPABILITY, "/v", "Type2", "/t", "REG_QWORD", "/d", "3", "/f", "/reg:32", check=True)
        wine("reg", "add", CAPABILITY, "/ve", "/t", "REG_BINARY", "/d", "54008001", "/f", "/reg:32", check=True)
        wine("reg", "add", CURRENT_SETTING, "/v", "Other", "/t", "REG_DWORD", "/d", "1", "/f", "/reg:32", check=True)
        code, status = self.client_json("status", "--json")
        states = {name: (value["state"], value["value"]) for name, value in status["values"].items()}
        self.assertEqual(states, {"Notification": ("not a DWORD", 0), "Notification.Type2": ("ok", 7),
                                  "Capability": ("not a DWORD", 0), "Capability.Type2": ("not a DWORD", 0),
                                  "CurrentSetting": ("absent", 0), "StatusControl.Type2": ("key missing", 0)})
        self.assertIn('Notification ""         not a DWORD (reads as 0)', self.client("status").stdout)
        result = self.client("setting", "get")
        self.assertEqual((result.returncode, result.stdout), (OK, "0x00000000 (absent)\n"))

    def test_setting_accepts_the_whole_32_bit_range_in_both_notations(self):
        self.set_values(setting=1)
        for text, value in (("0", 0), ("4294967295", 0xFFFFFFFF), ("0xFFFFFFFF", 0xFFFFFFFF), ("0X1a", 0x1A),
                            ("010", 10), ("0x0001800014", 0x1800014)):
            with self.subTest(text=text):
                result = self.client("setting", "set", text)
                self.assertEqual(result.returncode, OK, result.stderr)
                self.assertIn(f"0x{value:08X}", result.stdout)
                self.assertIn(f"0x{~value & 0xFFFFFFFF:08X} to the firmware", result.stdout)
                self.assertEqual(self.host.reg_dword(CURRENT_SETTING, ""), value)
                self.assertEqual(self.client("setting", "get").stdout, f"0x{value:08X}\n")

    def test_request_without_a_service_writes_the_inversion_and_times_out(self):
        self.set_values(requests=0x80000002, answers=0)
        start = time.monotonic()
        result = self.client("request", "0", "--timeout", "300")
        self.assertGreaterEqual(time.monotonic() - start, 0.3)
        self.assert_error_line(result, TIMED_OUT, "request 0", "300 ms", "not installed")
        self.assertEqual(self.host.reg_dword(STATUS_CONTROL, "Type2"), 0x80000003)
        # Request 17 ends right after its write, in either direction, with its own code.
        for expected in (0x80020003, 0x80000003):
            result = self.client("request", "17")
            self.assertEqual(result.returncode, NO_ACK, result.stderr)
            self.assertIn("never acknowledges", result.stdout)
            self.assertEqual(self.host.reg_dword(STATUS_CONTROL, "Type2"), expected)
        code, answer = self.client_json("request", "1", "--timeout", "0", "--json")
        self.assertEqual((code, answer), (TIMED_OUT, {"request": 1, "result": "timeout", "timeout_ms": 0}))
        self.assertEqual(self.host.reg_dword(STATUS_CONTROL, "Type2"), 0x80000001)

    def test_request_takes_the_inversion_of_its_own_bit_as_the_acknowledgement(self):
        self.set_values(requests=0, answers=0x2)
        # Stand in for the service: answer request 0 once the client has written it.
        client = subprocess.Popen(self.host.command(self.host.exe("telvarin-client.exe"), "request", "0", "--timeout",
                                                    patient_ms(20000)),
                                  env=self.host.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.host.wait_until(lambda: self.host.reg_dword(STATUS_CONTROL, "Type2") == 1, 15, "the request")
        self.set_values(events=0x10)          # an event bit: not an answer
        self.set_values(answers=0x20000)      # bit 1 flipped and 17 set: not the answer to request 0
        # Neither change is the acknowledgement: the answer the client reports is the one after them.
        self.set_values(answers=0x30001)
        out, err = client.communicate(timeout=patient(15))
        self.assertEqual(client.returncode, OK, err)
        self.assertIn("request 0: acknowledged; state-A on", out)
        self.assertIn("bit 16 = 1", out)

    def test_watch_prints_each_change_with_the_flipped_bits(self):
        self.set_values(events=0x10, answers=0x1)
        watch = self.watch("--timeout", WATCH_S)
        self.assertIn(f'watching {NOTIFICATION}: "" = 0x00000010, "Type2" = 0x00000001',
                      watch.armed)
        self.set_values(events=0x30)
        self.assertRegex(watch.next_line(), r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}  Notification ""  '
                                            r'0x00000010 -> 0x00000030  flipped: \+bit5$')
        self.set_values(answers=0x10002)
        self.assertTrue(watch.next_line().endswith('Notification "Type2"  0x00000001 -> 0x00010002  '
                                                   'flipped: -ack-0 +ack-1 +state-A'))
        # A rewrite of the same value, or a change elsewhere in the tree, is not a change: the
        # next line is the deletion that follows them.
        self.set_values(events=0x30, setting=3)
        self.host.wine("reg", "delete", NOTIFICATION, "/ve", "/f", "/reg:32", check=True)
        self.assertTrue(watch.next_line().endswith("0x00000030 -> 0x00000000  flipped: -bit4 -bit5"))
        watch.process.send_signal(signal.SIGINT)  # Wine turns it into Ctrl-C
        self.assertEqual(watch.finish(), (OK, ""))

    def test_watch_json_and_timeout(self):
        self.set_values(events=0, answers=0)
        watch = self.watch("--json", "--timeout", "3")
        armed = json.loads(watch.armed)
        self.assertEqual((armed["type"], armed["Notification"], armed["Notification.Type2"]), ("armed", 0, 0))
        self.set_values(answers=0x20002)
        change = json.loads(watch.next_line())
        self.assertEqual({k: change[k] for k in ("type", "value", "old", "new", "flipped")},
                         {"type": "change", "value": "Notification.Type2", "old": 0, "new": 0x20002,
                          "flipped": ["+ack-1", "+device-B"]})
        self.assertEqual(watch.finish(), (OK, ""))  # it ended by itself, within finish's bound


class ServiceNotReady(ClientTestCase):
    """The service runs, but WMI has no firmware classes: requests go unanswered."""

    @classmethod
    def prepare(cls):
        if (cls.host.bin / "fwemu-ctl.exe").exists():
            cls.host.fwemu("unregister")
        cls.host.start_winmgmt()
        cls.host.install_and_start()

    def test_status_shows_the_running_service_and_its_start_values(self):
        code, status = self.client_json("status", "--json")
        self.assertEqual(code, OK)
        self.assertEqual((status["service"]["installed"], status["service"]["running"]), (True, True))
        values = {name: value["value"] for name, value in status["values"].items()}
        # Notification keeps whatever earlier tests left; the rest is the start-up state.
        self.assertEqual(values, {"Notification": self.host.reg_dword(NOTIFICATION, ""),
                                  "Notification.Type2": self.host.reg_dword(NOTIFICATION, "Type2"),
                                  "Capability": 0x1800054,
                                  "Capability.Type2": 0x30000, "CurrentSetting": 0x1800014,
                                  "StatusControl.Type2": 0})
        self.assertIn("service Telvarin: running", self.client("status").stdout)

    def test_request_is_consumed_without_acknowledgement(self):
        result = self.client("request", "0", "--timeout", "1500")
        self.assert_error_line(result, TIMED_OUT, "no acknowledgement within 1500 ms", "not ready")
        self.assertEqual(self.host.reg_dword(NOTIFICATION, "Type2"), 0)

    def test_restart_resets_setting_and_requests(self):
        self.assertEqual(self.client("setting", "set", "0x55").returncode, OK)
        self.assertEqual(self.client("request", "17").returncode, NO_ACK)
        self.set_values(answers=0x10001, events=0x4)
        self.host.stop_service()
        self.assertEqual(self.client_json("status", "--json")[1]["service"]["state"], "stopped")
        self.host.install_and_start()
        self.assertEqual(self.client("setting", "get").stdout, "0x01800014\n")
        values = {name: value["value"] for name, value in self.client_json("status", "--json")[1]["values"].items()}
        self.assertEqual((values["StatusControl.Type2"], values["Notification.Type2"], values["Notification"]),
                         (0, 0x10001, 0x4))


class WithFirmware(ClientTestCase):
    """The service with the firmware emulator: requests are answered, events arrive."""
    emulator = True

    @classmethod
    def prepare(cls):
        host = cls.host
        cls.start_with_emulator()
        # Ready once subscribed to button events: the listener subscribes after both watchers
        # started, and each watcher catches up on writes made before its arming.
        host.wait_until(lambda: host.emulator_subscribers() >= 1, 30, "the button-event subscription")

    @classmethod
    def fwemu(cls, *args):
        return cls.host.fwemu(*args)

    @classmethod
    def fwemu_fields(cls, *args):
        from winehost import parse_fields
        return parse_fields(cls.fwemu(*args).stdout)

    def calls_since(self, total):
        calls = json.loads(self.fwemu("calls", "--json").stdout)["calls"]
        return [call["in"]["ebx"] for call in calls if call["seq"] > total]

    def call_total(self):
        return json.loads(self.fwemu("calls", "--json").stdout)["total"]

    def test_requests_0_and_1_are_acknowledged_with_the_firmware_state(self):
        requests = self.host.reg_dword(STATUS_CONTROL, "Type2")
        radio = self.fwemu_fields("state")["radio"] == "on"
        # Request 0 toggles state A; each inversion of bit 0, either way, is a request.
        for _ in range(2):
            radio = not radio
            code, answer = self.client_json("request", "0", "--json")
            self.assertEqual(code, OK)
            self.assertEqual((answer["result"], answer["answer_bit"], answer["answer"]),
                             ("acknowledged", 16, int(radio)))
        for state in ("off", "on"):
            self.fwemu("set", "device-b", state)
            result = self.client("request", "1")
            self.assertEqual(result.returncode, OK, result.stderr)
            self.assertIn(f"request 1: acknowledged; device-B {state}", result.stdout)
        # Each request inverted its bit once more: back where it started.
        self.assertEqual(self.host.reg_dword(STATUS_CONTROL, "Type2"), requests)

    def test_clients_take_turns_and_a_client_that_waited_in_vain_writes_nothing(self):
        host = self.host
        # The firmware does not answer: the first client waits for its answer, holding the lock.
        self.fwemu("fault", "method-hang", "on")
        self.addCleanup(self.fwemu, "fault", "method-hang", "off")
        before = host.reg_dword(STATUS_CONTROL, "Type2")
        first = Background(host, "telvarin-client.exe", "request", "0", "--timeout", patient_ms(60000))
        self.addCleanup(first.kill)
        host.wait_until(lambda: host.reg_dword(STATUS_CONTROL, "Type2") == before ^ 0x1, 15, "the first request")
        result = self.client("request", "1", "--timeout", "300")
        self.assert_error_line(result, TIMED_OUT, "request 1", "client lock", "nothing was written")
        self.assertEqual(host.reg_dword(STATUS_CONTROL, "Type2"), before ^ 0x1)
        # A client that ends in the middle of its request leaves the lock to the next.
        first.kill()
        self.assertEqual(self.client("request", "17", "--timeout", "5000").returncode, NO_ACK)
        self.assertEqual(host.reg_dword(STATUS_CONTROL, "Type2"), before ^ 0x20001)

    def test_request_17_reaches_the_firmware_without_an_answer(self):
        self.fwemu("set", "device-b", "on")
        self.client("request", "1")  # Notification Type2 bit 17 now on: request 17 switches B on
        answers = self.host.reg_dword(NOTIFICATION, "Type2")
        total = self.call_total()
        result = self.client("request", "17")
        self.assertEqual(result.returncode, NO_ACK, result.stderr)
        self.host.wait_until(lambda: self.calls_since(total), 10, "the request-17 call")
        self.assertEqual(self.calls_since(total), ["308"])
        self.assertEqual(self.host.reg_dword(NOTIFICATION, "Type2"), answers)

    def test_a_request_absorbed_by_a_bit_0_request_is_served_when_sent_again(self):
        answers = self.host.reg_dword(NOTIFICATION, "Type2")
        watch = self.watch("--json", "--timeout", WATCH_S)
        requests = self.host.reg_dword(STATUS_CONTROL, "Type2")
        self.set_values(requests=requests ^ 0x3)  # two requests in one write
        change = json.loads(watch.next_line())
        self.assertIn("ack-0", " ".join(change["flipped"]))
        self.assertNotIn("ack-1", " ".join(change["flipped"]))
        # Bit 1 stays inverted in StatusControl, so the client's next request 1 inverts it back,
        # and that is served: the next change the watch sees.
        self.assertEqual(self.client("request", "1").returncode, OK)
        change = json.loads(watch.next_line())
        self.assertIn("ack-1", " ".join(change["flipped"]))
        self.assertNotIn("ack-0", " ".join(change["flipped"]))
        # Nothing else came meanwhile, nor after it: the next change is an event raised now.
        self.fwemu("event", "0x10")
        self.assertEqual(json.loads(watch.next_line())["value"], "Notification")
        self.assertEqual((self.host.reg_dword(NOTIFICATION, "Type2") ^ answers) & 0x3, 0x3)

    def test_watch_shows_firmware_events_and_acknowledgements(self):
        self.set_values(events=0)
        watch = self.watch("--timeout", WATCH_S)
        self.fwemu("event", "0x10")
        self.assertTrue(watch.next_line().endswith('Notification ""  0x00000000 -> 0x00000010  flipped: +bit4'))
        self.fwemu("event", "0x30")
        self.assertTrue(watch.next_line().endswith("0x00000010 -> 0x00000030  flipped: +bit5"))
        self.fwemu("event", "0x30")
        self.assertTrue(watch.next_line().endswith("0x00000030 -> 0x00000000  flipped: -bit4 -bit5"))
        self.assertEqual(self.client("request", "0").returncode, OK)
        self.assertRegex(watch.next_line(), r'Notification "Type2" .* flipped: [+-]ack-0')

    def test_the_c_example_of_the_protocol_page_runs(self):
        # The program is the ```c block of docs/protocol.md, compiled as it stands there, on the DLL.
        check_protocol_example(self, "protocol_example.exe")

    def test_setting_set_reaches_the_firmware_inverted(self):
        for value, sent in (("0", "0xFFFFFFFF"), ("0x1800014", "0xFE7FFFEB")):
            self.assertEqual(self.client("setting", "set", value).returncode, OK)
            self.host.wait_until(lambda: self.fwemu_fields("setting")["setting"] == sent, 10, f"setting {sent}")


class Squatted(ClientTestCase):
    """A process without any right on the keys holds, before the service starts, every lock name
    it can know: the fixed name older libraries used, and the name the service published in its
    last run. (Under Wine every process may open every object, so what matters is who made the
    object the library waits for.)"""
    emulator = True

    @classmethod
    def prepare(cls):
        cls.start_with_emulator()
        cls.stale = cls.published()
        cls.stop_service()

    @classmethod
    def published(cls):
        return cls.host.reg_values("HKLM\\" + P.KEY_PRODUCT)[P.VALUE_CLIENT_LOCK][1]

    @classmethod
    def stop_service(cls):
        cls.host.telvarin("-StopSvc")
        cls.host.wait_until(lambda: not cls.host.telvarin_processes(), 30, "the service process to end")

    def squat(self, *names):
        squatter = Background(self.host, "adversary.exe", "squat", *names)
        self.addCleanup(squatter.kill)
        lines = [squatter.next_line(20) for _ in names]
        self.assertEqual(lines, [f"held: {name}" for name in names])
        self.assertEqual(squatter.next_line(), f"squatting: {len(names)}")

    def test_a_squatter_of_every_known_name_neither_blocks_requests_nor_the_answer_without_a_service(self):
        host = self.host
        self.squat(P.CLIENT_LOCK, self.stale)
        self.assertEqual(host.telvarin("-StartSvc").returncode, 0)
        host.wait_until(lambda: host.emulator_subscribers() >= 1, 30, "the button-event subscription")
        fresh = self.published()
        self.assertNotIn(fresh, (P.CLIENT_LOCK, self.stale))
        result = host.wine(host.exe("adversary.exe"), "requests", "40", patient_ms(5000), timeout=300)
        self.assertIn("acknowledged: 40", result.stdout, result.stdout[-2000:])

        # The service withdraws its name at the stop. A run that could not (it was killed) leaves
        # its name behind, squatted too: a request is not kept waiting for the lock, and says
        # that nothing answered.
        self.stop_service()
        self.assertNotIn(P.VALUE_CLIENT_LOCK, host.reg_values("HKLM\\" + P.KEY_PRODUCT) or {})
        host.wine("reg", "add", "HKLM\\" + P.KEY_PRODUCT, "/v", P.VALUE_CLIENT_LOCK, "/t", "REG_SZ", "/d", fresh, "/f",
                  "/reg:32", check=True)
        self.squat(fresh)
        result = self.client("request", "0", "--timeout", "300")
        self.assert_error_line(result, TIMED_OUT, "request 0", "300 ms", "stopped")
        self.assertNotIn("client lock", result.stderr)


if __name__ == "__main__":
    systest.main()
