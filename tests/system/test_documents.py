"""What the documents show is what the programs do.

Usage: every fenced block of README.md and docs/*.md that follows `<!-- usage: PROGRAM ARGS -->`
is that program's own output for ARGS, run under Wine; the doctor's checks in docs/deploying.md
are the ones it reports; the exit codes listed beside `telvarin-client --help` are its own.

Commands: every fenced block of docs/deploying.md says whether it is run (`<!-- run: NAME -->`)
or why not (`<!-- not run: REASON -->`). The run blocks are run as written, each line from a
batch file through Wine's cmd (msiexec, sc, reg, the installed client), with the x64 package's
names, codes and folder where the x64 flavour is tested, and each is checked for what the page
says it does.

    test_documents.py --build-dir BUILD --arch ARCH [--update]

--update rewrites every usage block from the programs' output instead of comparing (after a
change of a usage text: review the pages' diff).
"""
import json
import re
import subprocess
import sys
from pathlib import Path

import systest
from patience import patient
from winehost import SYSTEM_EVENT, WINE

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
DEPLOYING = ROOT / "docs" / "deploying.md"
BLOCK = re.compile(r"^(?:<!-- (usage|run|not run): (.+?) -->\n)?```(\w*)\n(.*?)^```$", re.M | re.S)
# The usage blocks the pages must have, by page.
EXPECTED_USAGE = {"README.md": {"telvarin.exe --help"}, "protocol.md": {"telvarin-client --help"},
                  "deploying.md": {"telvarin-client doctor --help"}, "emulator.md": {"fwemu-ctl --help"}}
PRODUCT_KEY = r"HKLM\Software\Haskorn\Telvarin"
RUNNING = 4
UPDATE = "--update" in sys.argv
if UPDATE:
    sys.argv.remove("--update")


def blocks(page):
    """(kind or None, what, language, text) of every fenced block of a page."""
    return [m.groups() for m in BLOCK.finditer(page.read_text())]


def output(result):
    return result.stdout.replace("\r\n", "\n")


class Usage(systest.SessionTestCase):
    maxDiff = None

    def run_program(self, command):
        program, *args = command.split()
        name = program if program.endswith(".exe") else program + ".exe"
        return self.host.wine(self.host.exe(name), *args, rerun_unrun=True)

    def test_every_usage_block_is_the_program_s_own_help(self):
        found = {}
        for page in PAGES:
            text = page.read_text()
            for kind, command, _, shown in blocks(page):
                if kind != "usage":
                    continue
                found.setdefault(page.name, set()).add(command)
                with self.subTest(page=page.name, command=command):
                    result = self.run_program(command)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    # A program that printed nothing would make the comparison below say nothing.
                    self.assertTrue(output(result).strip(), f"`{command}` printed nothing")
                    if UPDATE:
                        text = text.replace(f"<!-- usage: {command} -->\n```\n{shown}```",
                                            f"<!-- usage: {command} -->\n```\n{output(result)}```")
                        continue
                    self.assertEqual(shown, output(result),
                                     f"{page.name}'s block differs from `{command}` (--update rewrites it)")
            if UPDATE:
                page.write_text(text)
        for page, commands in EXPECTED_USAGE.items():
            self.assertLessEqual(commands, found.get(page, set()), f"{page} lacks usage blocks")

    def test_the_exit_codes_listed_are_the_tool_s(self):
        help_text = output(self.run_program("telvarin-client --help"))
        tool = set(re.findall(r"^  (\d)  ", help_text, re.M))
        section = (ROOT / "docs" / "protocol.md").read_text().split("## telvarin-client", 1)[1]
        page = set(re.findall(r"^\| (\d) \| ", section, re.M))
        self.assertEqual(page, tool)


class Commands(systest.SessionTestCase):
    """The commands for administrators, run as the page writes them."""
    emulator = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.page = DEPLOYING.read_text()
        cls.marked = {}
        for kind, what, _, text in blocks(DEPLOYING):
            if kind == "run":
                cls.marked.setdefault(what, []).append(text)

    def tearDown(self):
        for code in self.host.installed_products():
            self.host.msiexec("/x", code)
        self.host.remove_service()

    # --- running a block ---------------------------------------------------------------------
    def for_flavour(self, line):
        """The line with the x64 package's names, product codes and folder, where x64 is tested."""
        if self.host.arch == "x86":
            return line
        line = re.sub(r"telvarin-(\d+\.\d+\.\d+)\.msi", r"telvarin-\1-x64.msi", line)
        line = line.replace(r"C:\Program Files (x86)\Telvarin", r"C:\Program Files\Telvarin")
        x86 = re.search(r"^\| x86 \(.*`(\{[0-9A-F-]+\})` \|$", self.page, re.M).group(1)
        x64 = re.search(r"^\| x64 \(.*`(\{[0-9A-F-]+\})` \|$", self.page, re.M).group(1)
        return line.replace(x86, x64)

    def run_block(self, name):
        """Each line of the page's block `name`, from a batch file through cmd; (exit code, output) of each."""
        self.assertEqual(len(self.marked.get(name, [])), 1, f"deploying.md has no single block marked run: {name}")
        results = []
        for line in self.marked[name][0].splitlines():
            batch = self.host.work / "deploying-line.cmd"
            batch.write_bytes((self.for_flavour(line) + "\r\n").encode())
            out = self.host.work / "deploying-line.out"
            # Into a file, not a pipe: a service that msiexec starts would inherit the pipe.
            with open(out, "w") as sink:
                code = subprocess.run([WINE, "cmd", "/c", self.host.win_path(batch)], cwd=self.host.build,
                                      env=self.host.env, stdout=sink, stderr=subprocess.STDOUT, timeout=patient(300)).returncode
            results.append((code, out.read_text(errors="replace")))
        return results

    def run_ok(self, name):
        results = self.run_block(name)
        for code, text in results:
            self.assertEqual(code, 0, f"{name}: {text[-2000:]}")
        return results

    # --- what the page says each block does -----------------------------------------------------
    def versions(self):
        return [p["DisplayVersion"] for p in self.host.installed_products().values()]

    def assert_runs_installed(self):
        host = self.host
        host.wait_until(lambda: (host.service_state() or {}).get("STATE") == RUNNING, 30, "Telvarin to run")
        self.assertEqual(host.probe("config")["binarypath"], f'"{host.install_dir()}\\telvarin.exe"')

    def doctor_json(self):
        result = self.host.wine(self.host.exe("telvarin-client.exe"), "doctor", "--json", rerun_unrun=True)
        return json.loads(result.stdout)

    def access_group(self):
        return (self.host.reg_values(PRODUCT_KEY) or {}).get("ClientAccessGroup", (None, None))[1]

    def test_every_block_of_the_page_is_run_or_says_why_not(self):
        for kind, what, language, text in blocks(DEPLOYING):
            with self.subTest(block=text.splitlines()[0] if text else language):
                self.assertIn(kind, ("run", "not run", "usage"), "a block without <!-- run: ... --> or <!-- not run: why -->")
        self.assertEqual(set(self.marked), set(SCENARIO) | {"uninstall-by-code"},
                         "the page's run blocks and the test's checks of them differ")

    def test_the_administrators_commands_do_what_the_page_says(self):
        versions = sorted(set(re.findall(r"telvarin-(\d+\.\d+\.\d+)\.msi", "".join(sum(self.marked.values(), [])))),
                          key=lambda v: tuple(map(int, v.split("."))))
        self.assertEqual(len(versions), 2, versions)
        old, new = versions
        for name in SCENARIO:
            try:
                getattr(self, "check_" + name.replace("-", "_"))(old, new)
            except AssertionError as failure:
                raise AssertionError(f"the block '{name}' of deploying.md: {failure}") from None

    def check_build(self, old, new):
        for code, text in self.run_block_in_shell("build"):
            self.assertEqual(code, 0, text[-3000:])
        for version in (old, new):
            self.assertTrue((self.host.build / self.host.msi(version)).exists(), version)

    def run_block_in_shell(self, name):
        """A shell block, line by line, from the source tree."""
        results = []
        for line in self.marked[name][0].splitlines():
            command = line.split("#")[0].strip()
            result = subprocess.run(["bash", "-c", command], cwd=ROOT, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True, timeout=patient(1200))
            results.append((result.returncode, result.stdout))
        return results

    def check_install(self, old, new):
        host = self.host
        self.run_ok("install")
        self.assertEqual(self.versions(), [old])
        self.assert_runs_installed()
        # The log went where %TEMP% points.
        temp = self.host.wine("cmd", "/c", "echo %TEMP%", rerun_unrun=True).stdout.strip().splitlines()[-1]
        self.assertTrue(host.unix_path(temp + r"\telvarin-install.log").stat().st_size > 0)
        host.wait_until(lambda: host.emulator_calls() and host.emulator_writes(), 30, "the service's start-up calls")

    def check_check(self, old, new):
        (sc, query), (status_code, status), (doctor_code, doctor) = self.run_block("check")
        self.assertEqual(sc, 0, query)
        self.assertRegex(query, r"STATE\s+:\s+4\s+RUNNING")
        self.assertEqual(status_code, 0, status)
        self.assertIn("service Telvarin: running", status)
        self.assertEqual(doctor_code, 0, doctor)
        self.assertIn("healthy", doctor)
        # The page's table names every check the doctor makes.
        table = self.page.split("| Check | Passes when |", 1)[1].split("\n\n", 1)[0]
        named = {n for row in table.splitlines() for n in re.findall(r"`([\w.]+)`", row.split("|")[1] if "|" in row else "")}
        self.assertEqual({c["name"] for c in self.doctor_json()["checks"]}, named)

    def check_upgrade(self, old, new):
        self.run_ok("upgrade")
        self.assertEqual(self.versions(), [new])
        self.assert_runs_installed()

    def check_repair(self, old, new):
        host = self.host
        host.wine(host.exe("svcprobe.exe"), "set-path", "Telvarin", r'"C:\elsewhere\telvarin.exe"', check=True)
        self.run_ok("repair")
        self.assertEqual(self.versions(), [new])
        self.assert_runs_installed()

    def check_uninstall(self, old, new):
        self.run_ok("uninstall")
        self.assertEqual(self.host.installed_products(), {})
        self.assertIsNone(self.host.service_state())

    def check_cleanup(self, old, new):
        host = self.host
        # What the page says an uninstall leaves.
        self.assertIsNotNone(host.reg_values(SYSTEM_EVENT + r"\CurrentSetting"))
        self.assertIsNone(host.reg_values(PRODUCT_KEY))
        self.run_ok("cleanup")
        self.assertIsNone(host.reg_values(SYSTEM_EVENT))

    def check_client_access(self, old, new):
        self.run_ok("client-access")
        self.assertEqual((self.versions(), self.access_group()), ([old], "S-1-5-4"))
        access = next(c["detail"] for c in self.doctor_json()["checks"] if c["name"] == "clients.access")
        self.assertIn("interactive users (S-1-5-4) may query and set StatusControl", access)
        self.check_uninstall_by_code(old, new)

    def check_client_access_group(self, old, new):
        self.run_ok("client-access-group")
        self.assertEqual((self.versions(), self.access_group()), ([old], "S-1-5-11"))
        self.check_uninstall_by_code(old, new)

    def check_uninstall_by_code(self, old, new):
        self.assertEqual(self.versions(), [old])
        self.run_ok("uninstall-by-code")
        self.assertEqual(self.host.installed_products(), {})
        self.assertIsNone(self.access_group())


# The run blocks, in the order they run: each finds the machine as the one before left it (the
# client-access ones end with the uninstall by product code).
SCENARIO = ["build", "install", "check", "upgrade", "repair", "uninstall", "cleanup", "client-access",
            "client-access-group"]

if __name__ == "__main__":
    systest.main()
