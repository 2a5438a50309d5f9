#!/usr/bin/env python3
"""Runs chosen CTest entries again and again while spinning processes keep every core busy, and
says how often each entry failed: a test that fails on a busy machine has a defect, in the
product or in the test. `./dev stress` calls it after the build; not part of CI.

    stress.py --build BUILD [--runs N] [--busy K] [-j J] [CTEST ARGS...]

Each run is one `ctest` over the entries the CTest arguments choose (e.g. -R x64/unit), J at a
time as ./dev test runs them; K processes spin meanwhile (default: one per core; 0 for none).
The output of every failed entry is kept in BUILD/stress/run-NN.xml (JUnit, with the output).
Exits 1 when any entry failed in any run.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

SPIN = "while True:\n    pass\n"


def spinners(count):
    """`count` processes that keep a core each busy until they are ended."""
    return [subprocess.Popen([sys.executable, "-c", SPIN]) for _ in range(count)]


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
    parser.add_argument("-j", "--jobs", type=int, default=1)
    args, ctest_args = parser.parse_known_args()
    if args.runs < 1 or args.busy < 0 or args.jobs < 1:
        parser.error("--runs and -j take 1 or more, --busy 0 or more")
    args.build = args.build.resolve()
    out = args.build / "stress"
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob("run-*.xml"):
        old.unlink()

    spinning = spinners(args.busy)
    tally = {}  # entry: [runs, failures, [seconds]]
    failed_runs = []
    began = time.monotonic()
    try:
        for run in range(1, args.runs + 1):
            junit = out / f"run-{run:02d}.xml"
            subprocess.run(["ctest", "--test-dir", str(args.build), "-j", str(args.jobs), "--output-junit", str(junit),
                            *ctest_args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
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
        for process in spinning:
            process.kill()
            process.wait()

    width = max(len(entry) for entry in tally)
    print(f"\nstress: {args.runs} runs in {time.monotonic() - began:.0f} s, {args.busy} spinning processes, "
          f"ctest -j {args.jobs} {' '.join(ctest_args)}")
    print(f"{'entry':<{width}}  runs  failed  seconds (min / median / max)")
    for entry, (runs, failures, times) in sorted(tally.items()):
        print(f"{entry:<{width}}  {runs:>4}  {failures:>6}  {min(times):.0f} / {statistics.median(times):.0f} / {max(times):.0f}")
    for junit in failed_runs:
        print(f"stress: the output of the failed entries of a run: {junit}")
    return 1 if failed_runs else 0


if __name__ == "__main__":
    sys.exit(main())
