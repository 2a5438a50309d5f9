#!/usr/bin/env python3
"""Wine prefixes for the tests: one template, made once, and a fresh copy of it for each CTest
entry, each with its own wineserver, so that entries run side by side without meeting.

    prefixes.py template BUILD            make BUILD/wine/template (wineboot, once)
    prefixes.py copy BUILD DEST           make DEST a copy of the template, unless it exists
    prefixes.py run BUILD NAME -- CMD...  run CMD in a fresh copy, BUILD/wine/NAME/prefix
    prefixes.py end BUILD                 end the wineserver of every entry's prefix

`run` sets WINEPREFIX for CMD (the harness keeps its session files beside the prefix, in
BUILD/wine/NAME/), ends that prefix's wineserver and every process the entry left behind, prints
the entry's wall-clock and CPU time (every process it started, Wine's included), removes the
entry's folder when CMD passed and keeps it when it failed, and exits with CMD's code.
"""
import ctypes
import fcntl
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
# No Mono/Gecko prompts in a new prefix, no Wine chatter.
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
PR_SET_CHILD_SUBREAPER = 36
# Files Wine only ever reads (programs, libraries, code pages): nearly all of a prefix's 700 MB.
# A copy links them to the template's instead of copying them, and copies the rest (about 7 MB:
# the registry, the profile, the .ini files), so that a copy costs a second, not the disk.
LINKED = {".dll", ".exe", ".sys", ".drv", ".ocx", ".cpl", ".acm", ".tlb", ".ax", ".ds", ".nls", ".msstyles"}


def root(build):
    return Path(build).resolve() / "wine"


def template_path(build):
    return root(build) / "template"


def wine_env(prefix, **extra):
    return dict(os.environ, **WINE_ENV, WINEPREFIX=str(prefix), **extra)


def end_wineserver(prefix):
    """Ends the prefix's wineserver, and with it every Wine process of the prefix."""
    if (Path(prefix) / "system.reg").exists():
        env = wine_env(prefix)
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)


def wine_version():
    return subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()


def linked_files(template):
    """{path: [size, modification time]} of the template's files that copies link to."""
    return {str(path.relative_to(template)): [path.stat().st_size, path.stat().st_mtime_ns]
            for path in sorted(template.rglob("*"))
            if path.suffix.lower() in LINKED and path.is_file() and not path.is_symlink()}


def template_is_sound(template, manifest):
    """The template was made by this Wine, and no file a copy links to was written through a
    link since (Wine would update a prefix made by another version in place)."""
    try:
        made = json.loads(manifest.read_text())
    except (OSError, ValueError):
        return False
    return made.get("wine") == wine_version() and made.get("linked") == linked_files(template)


def make_template(build):
    """The 64-bit prefix every entry starts from, made by wineboot once (again only when Wine was
    upgraded or a linked file was written) and left with no server running, so that its files
    are complete when they are copied. Parallel callers wait for the one that makes it."""
    template = template_path(build)
    manifest = template.with_name("template.json")
    template.parent.mkdir(parents=True, exist_ok=True)
    with open(template.parent / ".template.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if (template / "system.reg").exists() and template_is_sound(template, manifest):
            return template
        for stale in (template, template.with_name("template.new")):
            shutil.rmtree(stale, ignore_errors=True)  # copies keep their links to the old files
        staging = template.with_name("template.new")
        print(f"prefixes: making the Wine prefix template {template} (once, about 15 s)", file=sys.stderr)
        subprocess.run([WINE, "wineboot", "-i"], env=wine_env(staging), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=600)
        # Waits for the server to save the registry and leave by itself: -k would lose it.
        subprocess.run(["wineserver", "-w"], env=wine_env(staging), timeout=600)
        if not (staging / "system.reg").exists():
            raise SystemExit(f"prefixes: wineboot made no prefix in {staging}")
        staging.rename(template)
        manifest.write_text(json.dumps({"wine": wine_version(), "linked": linked_files(template)}))
    return template


def link_or_copy(source, dest):
    if Path(source).suffix.lower() in LINKED:
        os.link(source, dest)
    else:
        shutil.copy2(source, dest)


def copy_template(build, dest):
    """A fresh prefix at `dest`, made from the template. The copy gets its own wineserver: Wine
    keys a server by the prefix folder's inode."""
    template = make_template(build)
    dest = Path(dest)
    dest.parent.mkdir(parents=True, exist_ok=True)
    shutil.copytree(template, dest, symlinks=True, copy_function=link_or_copy)


def discard(path):
    end_wineserver(path)
    shutil.rmtree(path, ignore_errors=True)


class Orphans:
    """Makes this process the reaper of every process the entry starts and leaves behind (Wine
    starts its processes detached), so that none outlives the entry and their CPU time counts."""

    def __init__(self):
        self.available = ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
        self.command = None
        self.command_done = threading.Event()
        self.finished = threading.Event()
        if self.available:
            threading.Thread(target=self._reap, daemon=True).start()

    def _reap(self):
        # The command's own exit status belongs to the thread that waits for it: only look at it.
        while not self.finished.is_set():
            try:
                info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOWAIT)
            except ChildProcessError:
                self.finished.wait(0.05)
                continue
            if info is None:
                continue
            if self.command is not None and info.si_pid == self.command.pid:
                self.command_done.wait()
                continue
            try:
                os.waitpid(info.si_pid, 0)
            except ChildProcessError:
                pass

    def children(self):
        mine = []
        for proc in Path("/proc").iterdir():
            if proc.name.isdigit():
                try:
                    stat = (proc / "stat").read_text()
                except OSError:
                    continue
                fields = stat.rsplit(")", 1)[1].split()
                if int(fields[1]) == os.getpid() and fields[0] != "Z":
                    mine.append(int(proc.name))
        return mine

    def end(self, timeout=20):
        """Waits a while for the processes left behind to end, then kills the rest."""
        deadline = time.monotonic() + timeout
        while self.available and self.children() and time.monotonic() < deadline:
            time.sleep(0.1)
        for pid in self.children():
            print(f"prefixes: process {pid} was still running after the entry; killed", file=sys.stderr)
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 10
        while self.available and self.children() and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(0.1)  # the reaper's last round
        self.finished.set()


def run(build, name, command):
    entry = root(build) / name
    prefix = entry / "prefix"
    if entry.exists():
        discard(prefix)
        shutil.rmtree(entry)
    began = time.monotonic()
    copy_template(build, prefix)
    copied = time.monotonic() - began

    orphans = Orphans()
    env = wine_env(prefix)
    child = subprocess.Popen(command, env=env)
    orphans.command = child

    def forward(signum, _frame):
        child.send_signal(signum)
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, forward)
    code = child.wait()
    orphans.command_done.set()
    end_wineserver(prefix)
    orphans.end()
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall = time.monotonic() - began
    cpu = usage.ru_utime + usage.ru_stime
    what = "CPU" if orphans.available else "CPU (processes Wine detached not counted)"
    print(f"prefixes: {name}: {wall:.1f} s wall ({copied:.1f} s of it the prefix copy), {cpu:.1f} s {what}")
    sys.stdout.flush()
    if code == 0:
        shutil.rmtree(entry, ignore_errors=True)
    else:
        print(f"prefixes: {name} failed; its prefix and session files are kept in {entry}", file=sys.stderr)
    return code


def end_all(build):
    """Ends the wineserver of every entry's prefix (after a run that was cut short)."""
    base = root(build)
    if base.exists():
        for system_reg in base.glob("**/prefix/system.reg"):
            end_wineserver(system_reg.parent)


def main(argv):
    usage = __doc__.split("\n\n")[1]
    if len(argv) >= 2 and argv[0] == "template" and len(argv) == 2:
        make_template(argv[1])
    elif len(argv) == 3 and argv[0] == "copy":
        if not (Path(argv[2]) / "system.reg").exists():
            copy_template(argv[1], argv[2])
    elif len(argv) >= 5 and argv[0] == "run" and argv[3] == "--":
        return run(argv[1], argv[2], argv[4:])
    elif len(argv) == 2 and argv[0] == "end":
        end_all(argv[1])
    else:
        print(usage, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
