"""The Telvarin demo: the service at work under Wine against the emulated firmware.

Run by `./dev demo` after the build. It tells the story on the terminal with the client tool
and the emulator's controller, then stops and uninstalls the service and ends its Wine session.
With --keep, the service stays installed and running in the prefix for you to try by hand.
"""
import argparse
import re
import subprocess
import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from winehost import ARCHES, NOTIFICATION, SYSTEM_EVENT, WineHost  # noqa: E402


def say(text):
    print(f"\n\033[1m== {text}\033[0m", flush=True)


def show(result, only=None):
    lines = (result.stdout + result.stderr).rstrip().splitlines()
    for line in lines:
        if only is None or re.search(only, line):
            print(f"   {line}")
    sys.stdout.flush()


class Watch:
    """`telvarin-client watch` in the background, echoing what it prints."""

    def __init__(self, host, seconds):
        self.lines = []
        self.process = subprocess.Popen(host.command(host.exe("telvarin-client.exe"), "watch", "--timeout", str(seconds)),
                                        env=host.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip())
            print(f"   [watch] {line.rstrip()}", flush=True)

    def wait_for_lines(self, count, timeout=30):
        WineHost.wait_until(lambda: len(self.lines) >= count, timeout, f"{count} lines from watch")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", required=True, help="the main build tree")
    parser.add_argument("--arch", choices=ARCHES, default="x86", help="the flavour to run")
    parser.add_argument("--keep", action="store_true", help="leave the service running in the prefix")
    args = parser.parse_args()
    host = WineHost(args.build_dir, args.arch)
    client = lambda *a: host.wine(host.exe("telvarin-client.exe"), *a)  # noqa: E731

    say(f"A fresh Wine session in {host.prefix}, running the {host.arch} flavour from {host.bin}")
    host.start_session(relay_power=True)
    keep_running = False
    try:
        host.remove_service()  # whatever an earlier run left behind
        host.reg_delete_key(SYSTEM_EVENT)
        show(host.fwemu("register"))
        host.fwemu("reset", "--force")  # nothing runs yet; a state file of an older build is rewritten
        host.start_winmgmt()

        say("Install and start the service: telvarin.exe -InstSvc, then -StartSvc")
        host.install_and_start()
        # Start-up is complete once the service has subscribed to the button events.
        host.wait_until(lambda: host.emulator_subscribers() >= 1, 30, "the button-event subscription")
        show(client("status"))

        say("The start-up register call and settings push, as the emulated firmware received them")
        show(host.fwemu("calls"), only=r"^call:")
        show(host.fwemu("writes"), only=r"^write:")

        say("Two button presses (codes 0x10 and 0x20), seen by `telvarin-client watch`")
        watch = Watch(host, 30)
        watch.wait_for_lines(1)  # armed
        show(host.fwemu("event", "0x10"))
        watch.wait_for_lines(2)
        show(host.fwemu("event", "0x20"))
        watch.wait_for_lines(3)

        say("A client request on bit 0: `telvarin-client request 0`")
        host.fwemu("set", "radio", "off")
        show(client("request", "0"))
        watch.wait_for_lines(4)
        show(host.fwemu("calls"), only=r"^call:")
        show(host.fwemu("state"), only=r"^radio")

        say("A new settings word: `telvarin-client setting set 0x00FF00FF`")
        show(client("setting", "set", "0x00FF00FF"))
        host.wait_until(lambda: host.emulator_status()["setting"] == "0xFF00FF00", 30, "the complemented word")
        show(host.fwemu("writes"), only=r"^write:")
        show(host.fwemu("setting"), only=r"^setting:")

        say("The sleep button (code 8): a power request, no registry change")
        before = host.reg_dword(NOTIFICATION, "")
        requests = len(host.power_requests())
        show(host.fwemu("event", "8"))
        host.wait_until(lambda: len(host.power_requests()) > requests, 30, "the power request")
        for suspend, force in host.power_requests()[requests:]:
            kind = "sleep" if suspend else "hibernate (Wine has no power policy to ask)"
            print(f"   SetSystemPowerState(suspend={suspend}, force={force}): {kind}")
        print(f"   Notification is still {host.reg_dword(NOTIFICATION, ''):#x} "
              f"(was {before:#x})")
        watch.stop()

        if args.keep:
            keep_running = True
            say("Kept running. To go on by hand:")
            wine = host.command(host.exe("telvarin.exe"))[0]  # the loader of this flavour
            print(f"   export WINEPREFIX={host.prefix}")
            print(f"   {wine} {host.bin}/telvarin-client.exe status")
            print(f"   {wine} {host.bin}/fwemu-ctl.exe event 0x40")
            print(f"   {wine} {host.bin}/telvarin.exe -StopSvc ; {wine} {host.bin}/telvarin.exe -UninstSvc")
            print(f"   {wine} {host.bin}/fwemu-ctl.exe unregister ; wineserver -k")
            print(f"   Wine's trace of the service (event-log reports, status reports, power requests) grows in\n"
                  f"   {host.trace_path} while the session runs; ./dev clean removes it.")
            return 0

        say("Stop and uninstall: -StopSvc, then -UninstSvc")
        host.remove_service()
        print(f"   service: {'gone' if host.service_state() is None else 'still there'}; "
              f"telvarin.exe processes left: {len(host.telvarin_processes())}")
        live = host.emulator_live()
        print(f"   emulator objects left behind by the service: {sum(count for count, _ in live.values())}")
        show(host.fwemu("unregister"))
        size = host.trace_path.stat().st_size if host.trace_path.exists() else 0
        print(f"   Wine's trace of the service ({size / 1e6:.1f} MB of event-log, status and power-request lines, "
              f"read above) removed: {host.trace_path.name}")
        host.trace_path.unlink(missing_ok=True)
        say(f"Done. The prefix stays in {host.prefix} (./dev demo --keep leaves the service running)")
        return 0
    finally:
        if not keep_running:
            host.end_session()


if __name__ == "__main__":
    sys.exit(main())
