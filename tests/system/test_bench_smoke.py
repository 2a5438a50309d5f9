"""The benchmark's smoke run (`bench/run.py --quick`), so that it does not rot between uses.

It checks that every figure was measured and written, never how fast anything was, and that
README's table of the latest run has the rows and design bounds the benchmark prints today.
"""
import json
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import systest
from patience import patient

RUN = Path(__file__).resolve().parents[2] / "bench" / "run.py"
README = Path(__file__).resolve().parents[2] / "README.md"


def table_rows(markdown):
    """Each row of the first "| Figure |" table: its figure, numbers masked (they change from run
    to run), and for a stop its design bound (which does not)."""
    lines = markdown[markdown.index("| Figure |"):].split("\n\n")[0].splitlines()[2:]
    rows = []
    for line in lines:
        cells = [c.strip() for c in line.strip("|").split("|")]
        rows.append((re.sub(r"\d+(\.\d+)?", "N", cells[0]), cells[6] if cells[0].startswith("Stop while") else ""))
    return rows


def python_with_matplotlib():
    """Debian's matplotlib belongs to /usr/bin/python3, which may not be the one running us."""
    for python in (sys.executable, "/usr/bin/python3"):
        if Path(python).exists() and subprocess.run([python, "-c", "import matplotlib"],
                                                    capture_output=True).returncode == 0:
            return python
    return None


class QuickBenchmark(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = Path(tempfile.mkdtemp(prefix="telvarin-bench-"))
        cls.python = python_with_matplotlib()
        cls.can_draw = cls.python is not None
        cls.python = cls.python or sys.executable
        with open(cls.out / "run.log", "w") as log:
            cls.completed = subprocess.run([cls.python, str(RUN), "--build-dir", systest.BUILD_DIR, "--arch", systest.ARCH, "--quick",
                                            "--out", str(cls.out), "--seed", "7"],
                                           stdout=log, stderr=subprocess.STDOUT, timeout=patient(600))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def setUp(self):
        if self.completed.returncode != 0:
            self.fail(f"run.py exited {self.completed.returncode}:\n{(self.out / 'run.log').read_text()[-3000:]}")
        self.results = json.loads((self.out / "results.json").read_text())

    def test_the_three_files_are_written_and_the_table_is_in_the_markdown(self):
        if self.can_draw:
            self.assertTrue((self.out / "latency.png").read_bytes().startswith(b"\x89PNG"))
        markdown = (self.out / "results.md").read_text()
        for row in ("Button event → client wake-up", "Request → acknowledgement", "Sustained requests",
                    "-StartSvc → subscribed", "Stop while slow-call", "STOPPED → process exit", "Idle CPU",
                    "Working set"):
            self.assertIn(row, markdown)

    def test_readme_shows_the_rows_and_bounds_the_benchmark_prints(self):
        self.assertEqual(table_rows(README.read_text()), table_rows((self.out / "results.md").read_text()))

    def test_latencies_have_every_sample_of_service_and_floor_and_lose_none(self):
        for figure in ("events", "requests"):
            with self.subTest(figure=figure):
                r = self.results[figure]
                # Button events are also measured beside a program making the same WMI calls inline.
                targets = {"service", "floor", "inline"} if figure == "events" else {"service", "floor"}
                self.assertEqual({t: len(samples) for t, samples in r["samples"].items()},
                                 {t: 12 for t in targets})
                self.assertEqual(r["lost"], {t: 0 for t in targets})
                self.assertEqual(set(r["ratio"]), {"p50", "p90", "p99", "max"})

    def test_every_stop_phase_and_the_start_were_measured(self):
        stop = self.results["stop"]
        self.assertEqual(stop["notes"], {})
        for phase in ("winmgmt", "listening", "subscribing", "slow-call"):
            self.assertEqual(stop[phase]["n"], 1, phase)
        self.assertEqual(stop["stopped_to_exit"]["n"], 4)
        for step in ("running", "first_call", "subscribed"):
            self.assertEqual(self.results["start"][step]["n"], 1, step)

    def test_throughput_idle_memory_and_emulator_cost_are_reported(self):
        throughput = self.results["throughput"]
        self.assertGreater(throughput["service"]["acknowledged"], 0)
        self.assertGreater(throughput["floor"]["acknowledged"], 0)
        self.assertGreater(self.results["memory"]["before"], 0)
        self.assertGreater(self.results["memory"]["after"], 0)
        self.assertIn("service_cpu_percent", self.results["idle"])
        self.assertEqual(self.results["emulator"]["inject_no_listener"]["n"], 10)


if __name__ == "__main__":
    systest.main()
