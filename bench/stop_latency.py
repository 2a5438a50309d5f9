"""Stop latencies of the service under Wine, measured from outside (not asserted anywhere).

For each situation: the time from the stop request (telvarin.exe -StopSvc started) until the
service process has ended, over several runs. Run with `./dev bench`.

  polling      the listener waits in its 500 ms poll (expected: up to about 0.5 s + Wine overhead)
  winmgmt      the worker waits for winmgmt, which is not running (about 1 s at most)
  subscribing  the event subscription keeps failing (about 1 s at most)
"""
import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
from winehost import WineHost  # noqa: E402


def measure_stop(host):
    start = time.monotonic()
    subprocess.Popen(["wine", host.exe("telvarin.exe"), "-StopSvc"], env=host.env,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while host.telvarin_processes():
        time.sleep(0.01)
        if time.monotonic() - start > 60:
            raise RuntimeError("the service did not end within 60 s")
    return time.monotonic() - start


def baseline(host):
    """Time for a telvarin.exe command that does nothing: Wine's own start-up cost."""
    start = time.monotonic()
    host.telvarin("-NoSuchSwitch")
    return time.monotonic() - start


def run(host, situation, runs):
    samples = []
    for _ in range(runs):
        host.fwemu("reset")
        if situation == "subscribing":
            host.fwemu("fault", "notify-fail", "-1")
        host.telvarin("-StartSvc")
        host.wait_until(lambda: (host.service_state() or {}).get("STATE") == 4, 30, "RUNNING")
        if situation == "polling":
            host.wait_until(host.emulator_calls, 30, "the start-up call")
        time.sleep(1.3)  # well inside the waiting phase, at a random point of its cycle
        samples.append(measure_stop(host))
        host.wait_until(lambda: (host.service_state() or {}).get("STATE") == 1, 30, "STOPPED")
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--runs", type=int, default=8)
    args = parser.parse_args()
    host = WineHost(args.build_dir)
    host.start_session()
    try:
        host.remove_service()
        host.fwemu("register")
        host.telvarin("-InstSvc")
        print(f"Wine start-up of a command (subtract from the figures): {baseline(host):.3f} s")
        print(f"{'situation':<12} {'min':>7} {'median':>7} {'max':>7}   seconds from -StopSvc to process end")
        for situation in ("winmgmt", "polling", "subscribing"):
            if situation == "polling":
                host.start_winmgmt()
            samples = run(host, situation, args.runs)
            print(f"{situation:<12} {min(samples):7.3f} {statistics.median(samples):7.3f} {max(samples):7.3f}",
                  flush=True)
        host.remove_service()
        host.fwemu("unregister")
    finally:
        host.end_session()


if __name__ == "__main__":
    main()
