"""The service heals itself: the WMI connection lost and made again, keys deleted and created
again, a subscription that keeps failing, firmware calls that never answer.

The unmodified service runs under Wine against the firmware emulator, which breaks the things
around it; every effect is observed from outside: registry, emulator controller, event-log trace.
"""
import re
import time

import systest
from patience import patient
from winehost import CURRENT_SETTING, NOTIFICATION, STATUS_CONTROL, SYSTEM_EVENT

BACKSLASH = "\\"
LOST = re.compile(r"^WMI connection lost: ")
BACK = re.compile(r"^WMI connection back after \d+\.\d s$")


class Healing(systest.SessionTestCase):
    """One running service, shared by the tests; a test that restarts it leaves it running."""
    emulator = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.host.start_winmgmt()
        cls.start_service(cls.host)

    def setUp(self):
        self.start = len(self.host.service_events())

    def tearDown(self):
        self.host.fwemu("reset")  # lets a hanging call go

    def texts(self):
        return [" ".join(e.strings) for e in self.events_since(self.start) if e.id == 107]

    def status(self, field):
        # Each look starts the emulator's controller: the waits below look twice a second.
        return int(self.host.emulator_status()[field])

    def events_reach_clients(self):
        before = self.host.reg_dword(NOTIFICATION, "") or 0
        self.host.fwemu("event", "0x2", "--count", "99")
        self.host.fwemu("event", "0x400")  # handled after the 99 others
        self.host.wait_until(lambda: self.host.reg_dword(NOTIFICATION, "") == before ^ 0x2 ^ 0x400, 60,
                             "100 button events")

    def wait_for_event_text_matching(self, pattern, timeout):
        return self.host.wait_until(lambda: [t for t in self.texts() if pattern.search(t)], timeout,
                                    f"an event text matching {pattern.pattern}")

    def test_a_lost_connection_is_made_again_and_nothing_is_lost(self):
        connects, subscriptions = self.status("connects"), self.status("subscriptions")
        self.host.fwemu("fault", "disconnect", "on")
        # At once: requests that find the connection gone are made again on the new one.
        self.serve_requests(100)
        self.host.wait_until(lambda: self.status("subscriptions") > subscriptions, 30, "a new subscription", interval=0.5)
        self.events_reach_clients()
        texts = self.texts()
        self.assertEqual(len(texts), 2, texts)
        self.assertRegex(texts[0], LOST)
        self.assertRegex(texts[1], BACK)
        self.assertEqual(self.status("connects"), connects + 1)

    def test_b_the_service_comes_back_by_itself_after_wmi_was_away_in_mid_run_and_at_start(self):
        host = self.host
        # A fresh service: a loss soon after another one's recovery would belong to its run.
        host.stop_service()
        self.start_service(host)
        self.start = len(host.service_events())
        host.fwemu("fault", "wmi-down", "5000")
        self.wait_for_event_text_matching(BACK, timeout=60)
        self.serve_requests(2)
        # The connects that failed meanwhile are part of the loss: no entries of their own.
        mid_run = self.texts()
        self.assertRegex(mid_run[0], LOST)
        self.assertRegex(mid_run[1], BACK)
        self.assertEqual(len(mid_run), 2, mid_run)

        # WMI away at the start: held away until the start has met it (a busy machine may take
        # longer to start than any fixed outage), then back.
        host.stop_service()
        self.start = len(host.service_events())
        host.fwemu("fault", "wmi-down", "600000")
        self.start_service(host, subscribed=False)
        self.wait_for_event_text_matching(re.compile("^ConnectServer fail$"), 60)
        host.fwemu("fault", "wmi-down", "0")
        self.serve_requests(2)
        self.push_setting(0x1234)
        self.assertEqual(self.texts()[0], "ConnectServer fail")
        self.assertRegex(self.texts()[1], r"^ConnectServer succeeded after \d+ failed attempts in \d+ s$")

    def test_c_deleted_keys_are_watched_again_once_created_again(self):
        host = self.host
        for key, name in ((STATUS_CONTROL, "Type2"), (CURRENT_SETTING, "")):
            value = host.reg_dword(key, name)
            host.reg_delete_key(key)
            self.wait_for_event_text_matching(re.compile(f"^Key {key.split(BACKSLASH)[-1]} is missing"), 20)
            host.reg_set_dword(key, name, value)  # created again as it was: nothing to act on
        self.serve_requests(2)
        self.push_setting(0x4321)

        # The whole tree: the watchers watch what is left above it.
        answers, request = host.reg_dword(NOTIFICATION, "Type2"), host.reg_dword(STATUS_CONTROL, "Type2")
        host.reg_delete_key(SYSTEM_EVENT)
        host.wait_until(lambda: sum("is missing" in t for t in self.texts()) == 4, 20, "both watchers to miss their key")
        host.reg_set_dword(NOTIFICATION, "Type2", answers)
        host.reg_set_dword(STATUS_CONTROL, "Type2", request)
        host.reg_set_dword(CURRENT_SETTING, "", 0x4321)
        host.wait_until(lambda: sum("is back" in t for t in self.texts()) == 4, 20, "both watchers to watch again")
        self.serve_requests(2)
        self.push_setting(0x5678)
        self.assertEqual([t for t in self.texts() if not t.startswith("Key ")], [])

    def test_d_a_missing_event_class_writes_three_entries_at_most_and_requests_are_served_meanwhile(self):
        host = self.host
        host.stop_service()
        host.fwemu("fault", "notify-fail", "-1")
        self.start = len(host.service_events())
        host.telvarin("-StartSvc")
        self.wait_for_event_text_matching(re.compile("^ExecNotificationQuery fail$"), 60)
        failing_since = time.monotonic()
        # The start-up calls wait for the young subscription; after its first 30 s, requests
        # and settings pushes are served between its attempts.
        self.serve_requests(2, timeout_ms=60000)
        self.push_setting(0x2468)
        self.assertEqual(host.emulator_status()["notify-fail"], "-1")  # still failing meanwhile
        # The scenario itself: the class stays missing for 120 s.
        time.sleep(max(0.0, failing_since + 120 - time.monotonic()))
        subscriptions = self.status("subscriptions")
        host.fwemu("fault", "notify-fail", "0")
        host.wait_until(lambda: self.status("subscriptions") > subscriptions, 30, "the subscription at last",
                        interval=0.5)
        self.events_reach_clients()
        texts = self.texts()
        self.assertLessEqual(len(texts), 3, texts)
        self.assertEqual(texts[0], "ExecNotificationQuery fail")
        self.assertRegex(texts[-1], r"^ExecNotificationQuery succeeded after 1[0-9]{2} failed attempts in 1[0-9]{2} s$")

    def test_e_a_call_that_never_answers_is_given_up_in_about_10_s_and_the_other_watcher_serves_on(self):
        host = self.host
        cases = (("data-hang", "Next", 0x1111), ("put-hang", "PutInstance", 0x2222), ("method-hang", "ExecMethod", 0x3333))
        for fault, give_up, setting in cases:
            with self.subTest(fault=fault):
                self.addCleanup(host.fwemu, "fault", fault, "off")  # even when the case fails
                self.start = len(host.service_events())
                host.fwemu("fault", fault, "on")
                began = time.monotonic()
                if fault == "method-hang":
                    host.reg_set_dword(STATUS_CONTROL, "Type2", host.reg_dword(STATUS_CONTROL, "Type2") ^ 0x1)
                    self.push_setting(setting)  # served once the call is given up
                else:
                    host.reg_set_dword(CURRENT_SETTING, "", setting)
                    self.serve_requests(1)
                gave_up = self.wait_for_event_text_matching(re.compile(f"^{give_up} gave no answer in 10.0 s"), 60)
                self.assertLess(time.monotonic() - began, patient(25))  # about 10 s; a hang bound, not a timing
                self.assertTrue(gave_up)
                # A call that gives no answer fails alone: the connection is not taken for lost.
                self.assertFalse([t for t in self.texts() if LOST.search(t)])
                host.fwemu("fault", fault, "off")
                self.serve_requests(1)
                if fault != "method-hang":
                    self.push_setting(setting)  # pushed again until it is written

if __name__ == "__main__":
    systest.main()
