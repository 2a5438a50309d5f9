#!/usr/bin/env python3
"""Runs chosen CTest entries again and again under load, and says how often each entry failed: a
test that fails on a busy machine has a defect, in the product or in the test. `./dev stress`
calls it after the build; CI runs the unit entries once this way after the test command.

    stress.py --build BUILD [--runs N] [--load spin|wine] [--busy K] [-j J] [CTEST ARGS...]

Each run is one `ctest` over the entries the CTest arguments choose (e.g. -R x64/unit), J at a
time. The load: K processes that spin (default: one per core; 0 for none), and with `--load
wine` (the default) what breaks this suite more than spinning does, other Wine work: two loops
that keep starting short Windows programs in a Wine prefix of their own (a busy wineserver, many
process starts) and a loop that writes and syncs a 64 MiB file (a busy disk).
The output of every failed entry is kept in BUILD/stress/run-NN.xml (JUnit, with the output).
Exits 1 when any entry failed in any run.
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

SPIN = "while True:\n    pass\n"
PREFIXES = Path(__file__).resolve().with_name("prefixes.py")


def spinners(count):
    """`count` processes that keep a core each busy until they are ended."""
    return [subprocess.Popen([sys.executable, "-c", SPIN]) for _ in range(count)]


def wine_work(build):
    """Other Wine work beside the entries: program starts in a prefix of its own, and a busy disk.
    The processes, and the folder to discard when they are ended."""
    scratch = build / "stress" / "load"
    shutil.rmtree(scratch, ignore_errors=True)
    prefix = scratch / "prefix"
    subprocess.run([sys.executable, str(PREFIXES), "copy", str(build), str(prefix)], check=True)
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    starts = 'while :; do /usr/lib/wine/wine64 cmd /c "echo busy > nul" </dev/null >/dev/null 2>&1; done'
    disk = (f'while :; do dd if=/dev/zero of="{scratch}/disk" bs=1M count=64 conv=fsync status=none; '
            f'rm -f "{scratch}/disk"; done')
    loops = [subprocess.Popen(["bash", "-c", loop], env=env, start_new_session=True) for loop in (starts, starts, disk)]
    return loops, prefix


def end_wine_work(loops, prefix):
    for loop in loops:
        try:
            os.killpg(loop.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        loop.wait()
    env = dict(os.environ, WINEPREFIX=str(prefix))
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.rmtree(prefix.parent, ignore_errors=True)


def results(junit):
    """{entry: (passed, seconds)} from a CTest JUnit file."""
    found = {}
    for case in ElementTree.parse(junit).getroot().iter("testcase"):
        passed = case.get("status") == "run" and case.find("failure") is None and case.find("error") is None
        found[case.get("name")] = (passed, float(case.get("time") or 0))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--busy", type=int, default=os.cpu_count(), help="spinning processes (default: one per core)")
    parser.add_argument("--load", choices=("spin", "wine"), default="wine",
                        help="wine (default): other Wine work and a busy disk beside the spinning processes")
    parser.add_argument("-j", "--jobs", type=int, default=1)
    args, ctest_args = parser.parse_known_args()
    if args.runs < 1 or args.busy < 0 or args.jobs < 1:
        parser.error("--runs and -j take 1 or more, --busy 0 or more")
    args.build = args.build.resolve()
    out = args.build / "stress"
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob("run-*.xml"):
        old.unlink()

    # Ended from outside (a CI's time-out, kill): the load and the run under way end with it.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("stress: ended"))
    ctest = None
    spinning = spinners(args.busy)
    wine_loops, wine_prefix = wine_work(args.build) if args.load == "wine" else ([], None)
    tally = {}  # entry: [runs, failures, [seconds]]
    failed_runs = []
    began = time.monotonic()
    try:
        for run in range(1, args.runs + 1):
            junit = out / f"run-{run:02d}.xml"
            ctest = subprocess.Popen(["ctest", "--test-dir", str(args.build), "-j", str(args.jobs), "--output-junit",
                                      str(junit), *ctest_args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            ctest.wait()
            if not junit.exists():
                sys.exit(f"stress: ctest wrote no results in run {run} (check the CTest arguments: {ctest_args})")
            found = results(junit)
            if not found:
                sys.exit(f"stress: the CTest arguments {ctest_args} choose no entry")
            for entry, (passed, seconds) in found.items():
                runs, failures, times = tally.setdefault(entry, [0, 0, []])
                tally[entry] = [runs + 1, failures + (not passed), times + [seconds]]
            failing = sorted(entry for entry, (passed, _) in found.items() if not passed)
            print(f"stress: run {run} of {args.runs}: " + (f"FAILED {', '.join(failing)}" if failing else "passed"),
                  flush=True)
            if failing:
                failed_runs.append(junit)
            else:
                junit.unlink()
    finally:
        if ctest and ctest.poll() is None:
            ctest.terminate()  # CTest ends its entries; prefixes.py ends their wineservers
            ctest.wait()
        for process in spinning:
            process.kill()
            process.wait()
        if wine_prefix:
            end_wine_work(wine_loops, wine_prefix)

    width = max(len(entry) for entry in tally)
    load = f"{args.busy} spinning processes" + (", other Wine work and a busy disk" if args.load == "wine" else "")
    print(f"\nstress: {args.runs} runs in {time.monotonic() - began:.0f} s, {load}, "
          f"ctest -j {args.jobs} {' '.join(ctest_args)}")
    print(f"{'entry':<{width}}  runs  failed  seconds (min / median / max)")
    for entry, (runs, failures, times) in sorted(tally.items()):
        print(f"{entry:<{width}}  {runs:>4}  {failures:>6}  {min(times):.0f} / {statistics.median(times):.0f} / {max(times):.0f}")
    for junit in failed_runs:
        print(f"stress: the output of the failed entries of a run: {junit}")
    return 1 if failed_runs else 0


if __name__ == "__main__":
    sys.exit(main())
