"""Telvarin's benchmarks: what users feel, each figure beside a floor measured in the same run.

Run with `./dev bench [--quick]`. In one fresh session of the private Wine prefix it runs the
unmodified service against the firmware emulator and measures, with telvarin-bench.exe:

  events       emulator raises a button event -> a client's RegNotifyChangeKeyValue wakes on
               Notification; floor: a bare process woken by a named event does the same toggle;
               inline: a minimal program polling its own emulator with the same WMI calls, inline
  requests     a client inverts StatusControl "Type2" bit 0 -> Notification "Type2" shows the ack;
               floor: a bare process watching its own key writes the same ack, without firmware
  throughput   requests back to back for a fixed time, service and floor; lost must be 0
  start        -StartSvc -> RUNNING -> first firmware call -> event subscription; floor: Wine
               starting a telvarin.exe that does nothing
  stop         stop control -> process end, in four phases of the service's life; and STOPPED
               (as the manager shows it) -> process end, which the service makes its last act
  idle         CPU of the service (and of the wineserver) over an idle stretch; working set

It prints a table and writes results.md, results.json and latency.png into --out. Method and
reading: bench/README.md. No figure is asserted anywhere.
"""
import argparse
import datetime
import json
import os
import platform
import random
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
from winehost import ARCHES, SYSTEM_EVENT, WINE, WineHost, process_usage, run_wine_to_files, wineserver_processes  # noqa: E402

FULL = dict(samples=200, throughput_s=10, idle_s=10, inject=100,
            runs={"winmgmt": 4, "listening": 6, "subscribing": 4, "slow-call": 3})
QUICK = dict(samples=12, throughput_s=1, idle_s=2, inject=10,
             runs={"winmgmt": 1, "listening": 1, "subscribing": 1, "slow-call": 1})
# What each stop phase should cost by design: the worker's retry pause, the listener's poll; a
# firmware call under way is given up at the stop, and the teardown waits up to a second for it
# to let go of its objects.
STOP_BOUND_MS = {"winmgmt": 1000, "listening": 500, "subscribing": 1000, "slow-call": 1500}


def percentile(values, q):
    """Linear interpolation between closest ranks; values need not be sorted."""
    ordered = sorted(values)
    if not ordered:
        return None
    position = (len(ordered) - 1) * q / 100
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def summary(values):
    if not values:
        return None
    return {"n": len(values), "p50": percentile(values, 50), "p90": percentile(values, 90),
            "p99": percentile(values, 99), "max": max(values), "min": min(values)}


def ratios(measured, floor):
    if not measured or not floor:
        return None
    return {k: measured[k] / floor[k] for k in ("p50", "p90", "p99", "max") if floor[k]}


class Probe:
    """telvarin-bench.exe in the prefix; its JSON lines as dicts."""

    def __init__(self, host, work):
        self.host = host
        self.work = work
        self.count = 0

    def __call__(self, *args, timeout=600):
        self.count += 1
        out = self.work / f"probe-{self.count}-{args[0]}.out"
        code, stdout, stderr = run_wine_to_files(self.host, [self.host.exe("telvarin-bench.exe"), *map(str, args)],
                                                 out, timeout)
        records = [json.loads(line) for line in stdout.splitlines() if line.startswith("{")]
        if code != 0:
            raise RuntimeError(f"telvarin-bench {' '.join(map(str, args))} exited {code}: {stderr.strip()[-500:]}")
        return records


def latency_figure(records, kind):
    targets = sorted({r["target"] for r in records} | {"service", "floor"})
    by_target = {t: [] for t in targets}
    lost = {t: 0 for t in targets}
    for r in records:
        if r["us"] < 0:
            lost[r["target"]] += 1
        else:
            by_target[r["target"]].append(r["us"] / 1000)
    service, floor = summary(by_target["service"]), summary(by_target["floor"])
    figure = {"unit": "ms", "service": service, "floor": floor, "ratio": ratios(service, floor), "lost": lost,
              "samples": by_target, "what": kind}
    if "inline" in by_target:
        figure["inline"] = summary(by_target["inline"])
        figure["ratio_inline"] = ratios(service, figure["inline"])
    return figure


def measure_idle(host, seconds):
    pids = host.telvarin_processes()
    servers = wineserver_processes(host)
    before = [process_usage(p) for p in pids + servers]
    time.sleep(seconds)  # the measurement itself: nothing may happen meanwhile
    after = [process_usage(p) for p in pids + servers]
    used = [(b2[0] - b1[0]) if b1 and b2 else 0 for b1, b2 in zip(before, after)]
    return {"seconds": seconds,
            "service_cpu_percent": 100 * sum(used[:len(pids)]) / seconds,
            "wineserver_cpu_percent": 100 * sum(used[len(pids):]) / seconds}


def working_set_kib(host):
    usage = [process_usage(p) for p in host.telvarin_processes()]
    return sum(u[1] for u in usage if u)


def run_cycles(host, probe, plan, seed):
    """Start and stop figures; the service ends stopped. winmgmt must not run yet."""
    cycles, notes = {}, {}
    for phase in ("winmgmt", "listening", "subscribing", "slow-call"):
        if phase == "listening":
            host.start_winmgmt()
        try:
            cycles[phase] = probe("cycle", phase, plan["runs"][phase], seed, host.exe("telvarin.exe"))
            if phase == "slow-call":
                missed = [c for c in cycles[phase] if not c["slow_call"]]
                cycles[phase] = [c for c in cycles[phase] if c["slow_call"]]
                if missed:
                    notes[phase] = f"{len(missed)} run(s) left out: the service missed the slow request"
        except RuntimeError as failure:
            notes[phase] = str(failure)
            cycles[phase] = []
            if (host.service_state() or {}).get("STATE", 1) != 1:
                host.stop_service()
            host.fwemu("reset")
        print(f"   stop in phase {phase}: {len(cycles[phase])} runs", flush=True)
    return cycles, notes


def measure(host, work, plan, seed):
    probe = Probe(host, work)
    results = {}
    host.remove_service()
    host.reg_delete_key(SYSTEM_EVENT)
    host.fwemu("register")
    host.fwemu("reset", "--force")  # nothing runs yet; a state file of an older build is rewritten
    host.telvarin("-InstSvc")

    cycles, notes = run_cycles(host, probe, plan, seed)
    runs = [c for phase in cycles.values() for c in phase]
    starts = cycles["listening"]
    bare = summary([c["bare_process_us"] / 1000 for c in runs])
    start = {name: summary([c[f"{name}_us"] / 1000 for c in starts if c[f"{name}_us"] >= 0])
             for name in ("running", "first_call", "subscribed")}
    results["start"] = {"unit": "ms", "floor": bare, **start, "ratio": ratios(start["subscribed"], bare)}
    raw_stops = {phase: [c["stop_us"] / 1000 for c in cycles[phase]] for phase in cycles}
    results["stop"] = {"unit": "ms", "bound_ms": STOP_BOUND_MS, "notes": notes, "raw": raw_stops,
                       **{phase: summary(values) for phase, values in raw_stops.items()},
                       "stopped_to_exit": summary([c["stopped_to_exit_us"] / 1000 for c in runs])}

    inject = probe("inject", plan["inject"])
    calls = probe("call", plan["inject"])
    print("   emulator cost measured; starting the service", flush=True)

    host.fwemu("reset")
    host.telvarin("-StartSvc")
    host.wait_until(lambda: (host.service_state() or {}).get("STATE") == 4, 30, "Telvarin to run")
    host.wait_until(host.emulator_calls, 30, "the start-up call")
    memory_before = working_set_kib(host)
    results["idle"] = measure_idle(host, plan["idle_s"])

    events = probe("events", plan["samples"], seed)
    results["events"] = latency_figure(events, "button event to client wake-up")
    print(f"   events: {len(events)} samples", flush=True)
    requests = probe("requests", plan["samples"], seed + 1)
    results["requests"] = latency_figure(requests, "request to acknowledgement")
    print(f"   requests: {len(requests)} samples", flush=True)
    # Besides the plain rate, the rate while requests were being served: a lost request costs the
    # client's whole timeout, which would otherwise hide what the service does when it answers.
    throughput = {r["target"]: dict(r, per_second=r["acknowledged"] / r["seconds"],
                                    served_per_second=r["acknowledged"] / max(r["seconds"] - r["lost_seconds"], 1e-3))
                  for r in probe("throughput", plan["throughput_s"])}
    results["throughput"] = throughput
    results["memory"] = {"unit": "KiB", "before": memory_before, "after": working_set_kib(host)}

    raise_service = [r["raise_us"] for r in events if r["target"] == "service"]
    raise_floor = [r["raise_us"] for r in events if r["target"] == "floor"]
    results["emulator"] = {"unit": "us", "inject_no_listener": summary([r["us"] for r in inject]),
                           "inject_service_listening": summary(raise_service),
                           "floor_set_event": summary(raise_floor),
                           "firmware_call": summary([r["us"] for r in calls]),
                           "firmware_call_stages": {stage: summary([r[f"{stage}_us"] for r in calls])
                                                    for stage in ("signature", "input", "exec", "output")}}
    # The event figure less the raise itself: what the service (or a floor) adds after it.
    after = {t: summary([(r["us"] - r["raise_us"]) / 1000 for r in events if r["target"] == t and r["us"] >= 0])
             for t in ("service", "floor", "inline")}
    results["events"]["after_raise"] = {**after, "ratio": ratios(after["service"], after["floor"]),
                                        "ratio_inline": ratios(after["service"], after["inline"])}
    host.remove_service()
    host.fwemu("unregister")
    return results


def machine():
    cpu = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    return {"nproc": os.cpu_count(), "cpu": cpu, "kernel": platform.release(), "wine": wine}


# --- reporting ----------------------------------------------------------------------------------
def fmt(value, digits=1):
    return "-" if value is None else f"{value:.{digits}f}"


def stats_row(title, measured, floor=None, ratio=None, digits=2):
    m, f, q = measured or {}, floor or {}, ratio or {}
    cells = [fmt(m.get(k), digits) for k in ("p50", "p90", "p99", "max")]
    cells += [fmt(f.get("p50"), digits), fmt(f.get("p99"), digits), fmt(q.get("p50"), 2), fmt(q.get("p99"), 2)]
    return f"| {title} | {m.get('n', 0)} | " + " | ".join(cells) + " |"


def p50_ratio(measured, floor):
    return {"p50": measured["p50"] / floor["p50"]} if measured and floor and floor["p50"] else None


def table(results):
    rows = ["| Figure | n | p50 | p90 | p99 | max | floor p50 | floor p99 | ratio p50 | ratio p99 |",
            "|---|---|---|---|---|---|---|---|---|---|"]
    events, requests = results["events"], results["requests"]
    after = events["after_raise"]
    rows.append(stats_row(f"Button event → client wake-up, ms (lost {events['lost']['service']})",
                          events["service"], events["floor"], events["ratio"]))
    rows.append(stats_row("… of which after the raise returned, ms", after["service"], after["floor"], after["ratio"]))
    if events.get("inline"):
        rows.append(stats_row("… beside a minimal program making the same WMI calls inline, ms (floor: it)",
                              events["service"], events["inline"], events["ratio_inline"]))
        rows.append(stats_row("… of which after the raise returned, ms", after["service"], after["inline"],
                              after["ratio_inline"]))
    rows.append(stats_row(f"Request → acknowledgement, ms (lost {requests['lost']['service']})",
                          requests["service"], requests["floor"], requests["ratio"]))
    t = results["throughput"]
    for key, title in (("per_second", "Sustained requests, per s"),
                       ("served_per_second", "Sustained requests, per s outside lost requests' timeouts")):
        ratio = t["service"][key] / t["floor"][key]
        rows.append(f"| {title} over {t['service']['seconds']:.0f} s (lost {t['service']['lost']}, floor lost "
                    f"{t['floor']['lost']}) | {t['service']['acknowledged']} | {fmt(t['service'][key])} | | | | "
                    f"{fmt(t['floor'][key])} | | {fmt(ratio, 2)} | |")
    start = results["start"]
    for key, title in (("running", "-StartSvc → RUNNING, ms (floor: a bare Wine process)"),
                       ("first_call", "-StartSvc → first firmware call, ms"),
                       ("subscribed", "-StartSvc → subscribed, ms")):
        rows.append(stats_row(title, start[key], start["floor"], p50_ratio(start[key], start["floor"]), 1))
    stop = results["stop"]
    for phase, bound in stop["bound_ms"].items():
        note = "" if stop.get(phase) else " (not measured)"
        rows.append(stats_row(f"Stop while {phase}{note}, ms (floor: design bound)", stop.get(phase),
                              {"p50": bound}, p50_ratio(stop.get(phase), {"p50": bound}), 1))
    rows.append(stats_row("STOPPED → process exit, ms (every stop above)", stop.get("stopped_to_exit"), digits=1))
    e = results["emulator"]
    floor = e["floor_set_event"]
    rows.append(stats_row("Emulator raising an event, nobody listening, µs (floor: SetEvent)",
                          e["inject_no_listener"], floor, p50_ratio(e["inject_no_listener"], floor), 1))
    rows.append(stats_row("Emulator raising an event, service listening, µs", e["inject_service_listening"], floor,
                          p50_ratio(e["inject_service_listening"], floor), 1))
    rows.append(stats_row("One firmware register call through the emulator, in-process, µs", e["firmware_call"],
                          digits=1))
    for stage, title in (("signature", "GetObject + GetMethod"), ("input", "SpawnInstance + 4 Put"),
                         ("exec", "ExecMethod"), ("output", "5 Get")):
        rows.append(stats_row(f"… {title}, µs", e["firmware_call_stages"][stage], digits=1))
    idle, mem = results["idle"], results["memory"]
    rows.append(f"| Idle CPU over {idle['seconds']} s, % of one core: service / its wineserver | | "
                f"{fmt(idle['service_cpu_percent'], 2)} / {fmt(idle['wineserver_cpu_percent'], 2)} | | | | | | | |")
    rows.append(f"| Working set of the service, MiB: before / after the load | | "
                f"{mem['before'] / 1024:.1f} / {mem['after'] / 1024:.1f} | | | | | | | |")
    return "\n".join(rows)


def header(results):
    m = results["machine"]
    mode = " (--quick: a smoke run, too few samples to read)" if results["quick"] else ""
    return (f"{results['date']}, the {results['arch']} flavour, on {m['cpu']}, {m['nproc']} cores, "
            f"Linux {m['kernel']}, {m['wine']}{mode}.\n"
            "Floor: the same registry work done by a bare helper process in the same run (requests: without "
            "the firmware call); ratio = service ÷ floor, so 1.0 means the service adds nothing.")


def draw(results, path):
    """Draws the picture; False when matplotlib is missing (./dev bench installs it)."""
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(15, 4.5))
    for ax, key in zip(axes[:2], ("events", "requests")):
        r = results[key]
        for target, colour in (("service", "tab:blue"), ("inline", "tab:orange"), ("floor", "tab:grey")):
            values = sorted(r["samples"].get(target, []))
            if values:
                ax.step(values, [(i + 1) / len(values) for i in range(len(values))], where="post", color=colour,
                        label=f"{target} (p50 {percentile(values, 50):.2f} ms)")
        ax.set_xscale("log")
        ax.set_xlabel("ms (log)")
        ax.set_ylabel("share of samples at or below")
        ax.set_title(r["what"])
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(loc="lower right")
    ax = axes[2]
    stop = results["stop"]
    phases = [p for p in stop["bound_ms"] if stop.get(p)]
    for x, phase in enumerate(phases):
        values = stop["raw"][phase]
        ax.plot([x] * len(values), values, "o", color="tab:blue", alpha=0.6)
        ax.plot([x - 0.3, x + 0.3], [stop["bound_ms"][phase]] * 2, color="tab:grey")
    ax.set_xticks(range(len(phases)), phases)
    ax.set_ylabel("ms from the stop control to process end")
    ax.set_title("stop latency (line: design bound)")
    ax.grid(True, axis="y", alpha=0.3)
    fig.suptitle(f"Telvarin under Wine, {results['date']}, {results['machine']['nproc']} cores")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True, help="the main build tree")
    parser.add_argument("--arch", choices=ARCHES, default="x86", help="the flavour to measure")
    parser.add_argument("--out", help="where the results go (default: BUILD/bench)")
    parser.add_argument("--quick", action="store_true", help="a few samples only: a smoke run")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    host = WineHost(args.build_dir, args.arch)
    out = Path(args.out) if args.out else host.build / "bench"
    work = out / "raw"
    work.mkdir(parents=True, exist_ok=True)
    plan = QUICK if args.quick else FULL
    seed = args.seed if args.seed is not None else random.randrange(1, 1 << 30)

    began = time.monotonic()
    host.start_session()
    try:
        results = measure(host, work, plan, seed)
    finally:
        host.end_session()
    results.update(date=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), machine=machine(), arch=host.arch,
                   quick=args.quick, seed=seed, wall_seconds=round(time.monotonic() - began, 1))

    text = f"{header(results)}\n\n{table(results)}\n"
    print("\n" + text)
    (out / "results.md").write_text(text)
    (out / "results.json").write_text(json.dumps(results, indent=1))
    drawn = draw(results, out / "latency.png")
    print(f"written: {out / 'results.md'}, {out / 'results.json'}"
          + (f", {out / 'latency.png'}" if drawn else "; no latency.png: matplotlib is missing"))


if __name__ == "__main__":
    main()
