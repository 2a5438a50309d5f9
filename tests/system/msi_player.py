"""Plays a built MSI's InstallExecuteSequence as Windows Installer would, from the package's own
tables (read with msitools), for the checks that Wine's msiexec cannot make: it runs no rollback
for a repair, sets no UPGRADINGPRODUCTCODE for the old product's removal, and commits that removal
before the new version installs.

The immediate phase is evaluated here: conditions, property-setting actions, AppSearch's registry
searches, FindRelatedProducts, launch conditions, and the removal of related products nested at
RemoveExistingProducts with UPGRADINGPRODUCTCODE set. It yields the script: the deferred and
rollback custom actions with their command lines formatted then, and the standard actions'
operations. The custom actions run for real (the package's own helper from its Binary table,
under Wine, in the test's prefix); the standard actions (InstallFiles, RemoveFiles,
WriteRegistryValues, RemoveRegistryValues, StopServices, StartServices, the product's
registration) are played here, each writing down what it changes so that its rollback puts that
back, as Windows Installer's rollback script does.

A run can be made to fail after any step of its script: the rollback then runs what was written
to the rollback script so far, in reverse order, then the package's action for a failed end (-3).
"""
import hashlib
import re
import shlex
import subprocess
import time
from pathlib import Path

from winehost import SERVICE_KEY, EVENT_SOURCE_KEY, STATUS_CONTROL, CURRENT_SETTING

VENDOR_KEY = r"HKLM\Software\Haskorn"
PRODUCT_KEY = VENDOR_KEY + r"\Telvarin"
STOPPED, RUNNING = 1, 4
# Custom action type bits (Windows Installer's).
EXE_IN_BINARY, EXE_INSTALLED, SET_PROPERTY = 2, 18, 51
IGNORE_RESULT, ROLLBACK, COMMIT, IN_SCRIPT = 64, 256, 512, 1024
# ServiceControl events.
START_ON_INSTALL, STOP_ON_INSTALL, STOP_ON_UNINSTALL = 0x01, 0x02, 0x20
# Actions that only plan or cost: nothing in the script comes from them.
PLANNING = {"ValidateProductID", "CostInitialize", "FileCost", "CostFinalize", "MigrateFeatureStates",
            "InstallValidate", "ProcessComponents", "UnpublishFeatures", "RegisterUser", "RegisterProduct",
            "PublishFeatures", "InstallFinalize"}


def read_table(msi, table):
    """The rows of an MSI table as dicts, from `msiinfo export` (IDT: names, types, keys, rows)."""
    text = subprocess.run(["msiinfo", "export", str(msi), table], capture_output=True, text=True, check=True).stdout
    lines = text.split("\r\n") if "\r\n" in text else text.split("\n")
    names = lines[0].split("\t")
    return [dict(zip(names, line.split("\t"))) for line in lines[3:] if line]


# --- conditions ---------------------------------------------------------------------------------
_TOKEN = re.compile(r'\s*(?:(?P<str>"[^"]*")|(?P<num>-?\d+)(?![\w.])|(?P<op><>|<=|>=|~=|~<>|[=<>()])|(?P<word>[A-Za-z_][\w.]*))')


def evaluate(condition, properties):
    """A Windows Installer condition: NOT, AND, OR, parentheses, comparisons (= <> < > <= >= and
    ~= without case), properties (empty when not set), strings and integers. Empty is true."""
    if not condition or not condition.strip():
        return True
    tokens, at = [], 0
    while at < len(condition):
        m = _TOKEN.match(condition, at)
        if not m or m.end() == at:
            if condition[at:].strip():
                raise ValueError(f"condition {condition!r}: cannot read at {condition[at:]!r}")
            break
        at = m.end()
        tokens.append((m.lastgroup, m.group(m.lastgroup)))
    position = [0]

    def peek():
        return tokens[position[0]] if position[0] < len(tokens) else (None, None)

    def take():
        token = peek()
        position[0] += 1
        return token

    def value():
        kind, text = take()
        if kind == "str":
            return text[1:-1]
        if kind == "num":
            return int(text)
        if kind == "word":
            found = properties.get(text, "")
            return int(found) if re.fullmatch(r"-?\d+", found or "") else found
        if text == "(":
            result = disjunction()
            assert take()[1] == ")", condition
            return result
        raise ValueError(f"condition {condition!r}: unexpected {text!r}")

    def comparison():
        first_kind, first_text = peek()
        left = value()
        kind, text = peek()
        if kind == "op" and text not in ("(", ")"):
            take()
            right = value()
            if text.startswith("~"):
                left, right, text = str(left).lower(), str(right).lower(), text[1:]
            if isinstance(left, int) != isinstance(right, int):
                left, right = str(left), str(right)
            return {"=": left == right, "<>": left != right, "<": left < right, ">": left > right,
                    "<=": left <= right, ">=": left >= right}[text]
        # Alone, a property is true when it has any value ("0" too), a number when it is not 0.
        if first_kind == "word":
            return properties.get(first_text, "") != ""
        return left not in ("", 0)

    def negation():
        if peek() == ("word", "NOT"):
            take()
            return not negation()
        return comparison()

    def conjunction():
        result = negation()
        while peek() == ("word", "AND"):
            take()
            result = negation() and result
        return result

    def disjunction():
        result = conjunction()
        while peek() == ("word", "OR"):
            take()
            result = conjunction() or result
        return result

    result = disjunction()
    if position[0] != len(tokens):
        raise ValueError(f"condition {condition!r}: left over {tokens[position[0]:]}")
    return result


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


# --- the machine as the standard actions see it ---------------------------------------------------
class Machine:
    """The prefix's service manager, registry and files, through one svcprobe process (many looks,
    one Wine start) and the prefix's drive."""

    def __init__(self, host):
        self.host = host
        self.process = subprocess.Popen(host.command(host.exe("svcprobe.exe"), "batch"), env=host.env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True, errors="replace")

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=30)

    def ask(self, *args):
        """(exit code, output lines) of one svcprobe command."""
        self.process.stdin.write("\t".join(args) + "\n")
        self.process.stdin.flush()
        lines = []
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError(f"svcprobe batch ended at {args}")
            line = line.rstrip("\n")
            if line.startswith("end: "):
                return int(line[5:]), lines
            lines.append(line)

    def fields(self, *args):
        code, lines = self.ask(*args)
        return dict(line.split(": ", 1) for line in lines if ": " in line) if code == 0 else None

    def values(self, key):
        """{name: (type, data bytes)} of a key, or None when it is not there."""
        code, lines = self.ask("values", key)
        if code:
            return None
        found = {}
        for line in lines:
            type_, data, name = line.split(": ", 1)[1].split(" ")
            found[b"" if name == "-" else bytes.fromhex(name)] = (int(type_), b"" if data == "-" else bytes.fromhex(data))
        return found

    def set_value(self, key, name, type_, data):
        code, lines = self.ask("setvalue", key, name.hex() or "-", str(type_), data.hex() or "-")
        assert code == 0, (key, name, lines)

    def delete_value(self, key, name):
        assert self.ask("delvalue", key, name.hex() or "-")[0] == 0, (key, name)

    def delete_key(self, key):
        assert self.ask("delkey", key)[0] == 0, key

    def subkeys(self, key):
        code, lines = self.ask("keys", key)
        return None if code else [bytes.fromhex(line.split(": ", 1)[1]).decode("latin-1") for line in lines]

    def state(self, name):
        fields = self.fields("query", name)
        return int(fields["state"]) if fields else None

    def settled_state(self, name, timeout=60):
        """The service's state once it is neither starting nor stopping."""
        deadline = time.monotonic() + timeout
        while True:
            state = self.state(name)
            if state in (None, STOPPED, RUNNING) or time.monotonic() > deadline:
                return state
            time.sleep(0.2)

    def start(self, name):
        """Starts the service and waits until it runs; False when it does not."""
        if self.ask("start", name)[0]:
            return False
        return self.settled_state(name) == RUNNING

    def stop(self, name):
        code, lines = self.ask("stop", name)
        return code == 0

    def unix(self, windows_path):
        return self.host.unix_path(windows_path)


# --- the package ----------------------------------------------------------------------------------
class Package:
    """One MSI's tables. `stand_in` (a folder of programs): the programs whose bytes the package's
    files and helper are played with, for a flavour this host cannot run (the same sources)."""

    def __init__(self, msi, work, stand_in=None):
        self.msi = Path(msi)
        self.properties = {row["Property"]: row["Value"] for row in read_table(msi, "Property")}
        self.code = self.properties["ProductCode"]
        self.upgrade_code = self.properties["UpgradeCode"].upper()
        self.version = self.properties["ProductVersion"]
        rows = read_table(msi, "InstallExecuteSequence")
        self.sequence = sorted(((int(r["Sequence"]), r["Action"], r["Condition"]) for r in rows))
        self.custom = {r["Action"]: (int(r["Type"]), r["Source"], r["Target"]) for r in read_table(msi, "CustomAction")}
        self.upgrades = read_table(msi, "Upgrade")
        self.launch_conditions = read_table(msi, "LaunchCondition")
        locators = {r["Signature_"]: r for r in read_table(msi, "RegLocator")}
        self.searches = [(r["Property"], locators[r["Signature_"]]) for r in read_table(msi, "AppSearch")]
        self.registry = read_table(msi, "Registry")
        self.service_control = read_table(msi, "ServiceControl")
        directories = {r["Directory"]: r for r in read_table(msi, "Directory")}
        components = {r["Component"]: r for r in read_table(msi, "Component")}
        roots = {"ProgramFiles64Folder": r"C:\Program Files", "ProgramFilesFolder": r"C:\Program Files (x86)"}

        def folder(directory):
            row = directories[directory]
            if row["Directory_Parent"] in roots:
                return roots[row["Directory_Parent"]] + "\\" + row["DefaultDir"].split("|")[-1]
            return folder(row["Directory_Parent"]) + "\\" + row["DefaultDir"].split("|")[-1]

        self.folders = {name: folder(row["Directory_"]) for name, row in components.items()}
        self.win64 = {name: bool(int(row["Attributes"] or 0) & 256) for name, row in components.items()}
        self.files = [(r["File"], r["Component_"], r["FileName"].split("|")[-1]) for r in read_table(msi, "File")]
        self.install_dir = next(iter(set(self.folders.values())))
        # The files' bytes and the helper: from the package, or the stand-ins.
        unpacked = Path(work) / f"{self.msi.stem}-files"
        if stand_in:
            self.payload = {name: (Path(stand_in) / name).read_bytes() for _, _, name in self.files}
            self.helper = Path(stand_in) / "telvarin-setup.exe"
        else:
            if not unpacked.exists():
                unpacked.mkdir(parents=True)
                subprocess.run(["msiextract", "-C", str(unpacked), str(msi)], check=True, capture_output=True)
            self.payload = {name: next(unpacked.rglob(name)).read_bytes() for _, _, name in self.files}
            self.helper = Path(work) / f"{self.msi.stem}-setup.exe"
            if not self.helper.exists():
                data = subprocess.run(["msiinfo", "extract", str(msi), "Binary.TelvarinSetup"], capture_output=True,
                                      check=True).stdout
                self.helper.write_bytes(data)

    def file_path(self, key):
        for file_key, component, name in self.files:
            if file_key == key:
                return self.folders[component] + "\\" + name
        raise KeyError(key)

    def format(self, text, properties):
        text = re.sub(r"\[#([\w.]+)\]", lambda m: self.file_path(m.group(1)), text)
        return re.sub(r"\[([\w.]+)\]", lambda m: properties.get(m.group(1), ""), text)


class Step:
    """One operation of the script. kind: "deferred", "rollback", "commit" (custom actions) or
    "standard"; for a standard step, `do` carries it out and returns (done, undo)."""

    def __init__(self, kind, name, command=None, package=None, ignore=False, do=None):
        self.kind, self.name, self.command, self.package, self.ignore, self.do = kind, name, command, package, ignore, do

    def __repr__(self):
        return f"{self.name}" + (f" ({self.command})" if self.command else "")


class Player:
    """The installs of one machine: what Windows Installer has registered (product code ->
    Package), and the plays of packages on it."""

    def __init__(self, host, machine):
        self.host, self.machine = host, machine
        self.products = {}
        self.calls = 0

    # --- running the custom actions -------------------------------------------------------------
    def run_helper(self, package, command):
        """Runs the package's helper with `command`, or an installed program that `command` names
        first (quoted); (exit code, stderr)."""
        self.calls += 1
        args = shlex.split(command.replace("\\", "\\\\"), posix=True)
        program = self.host.win_path(package.helper)
        if command.startswith('"'):
            program, args = args[0], args[1:]
        result = subprocess.run(self.host.command(program, *args), env=self.host.env,
                                capture_output=True, text=True, errors="replace", timeout=180)
        return result.returncode, result.stderr

    # --- the immediate phase --------------------------------------------------------------------
    def plan(self, package, operation, extra=None, nested=False, dry=False):
        """(script, properties, refused): what `operation` ("install", "repair", "remove") of
        `package` writes to its script, the properties it ended with, and a launch condition's
        text when it is refused. dry: without running the immediate custom actions."""
        installed = package.code in self.products
        properties = dict(package.properties, VersionNT="601", **(extra or {}))
        properties["Installed"] = "1" if installed else ""
        if operation == "remove":
            properties["REMOVE"] = "ALL"
        if operation == "repair":
            properties.update(REINSTALL="ALL", REINSTALLMODE="vamus")
        component_action = "remove" if operation == "remove" else ("install" if operation == "repair" or not installed
                                                                   else None)
        script, detected = [], {}
        for _, action, condition in package.sequence:
            if not evaluate(condition, properties):
                continue
            if action == "FindRelatedProducts":
                if not installed:
                    detected = self.find_related(package, properties)
            elif action == "AppSearch":
                for prop, locator in package.searches:
                    found = (self.machine.values("HKLM\\" + locator["Key"]) or {}).get(locator["Name"].encode())
                    if found and found[0] == 1:
                        properties[prop] = found[1].rstrip(b"\0").decode("latin-1")
            elif action == "LaunchConditions":
                for row in package.launch_conditions:
                    if not evaluate(row["Condition"], properties):
                        return script, properties, row["Description"]
            elif action == "InstallInitialize":
                pass
            elif action == "RemoveExistingProducts":
                for code in detected:
                    old_script, _, refused = self.plan(self.products[code], "remove",
                                                       {"UPGRADINGPRODUCTCODE": package.code}, nested=True, dry=dry)
                    assert not refused, refused
                    script += old_script
            elif action in package.custom:
                type_, source, target = package.custom[action]
                if type_ & 0x3F == SET_PROPERTY:
                    properties[source] = package.format(target, properties)
                    continue
                assert type_ & 0x3F in (EXE_IN_BINARY, EXE_INSTALLED), (action, type_)
                command = package.format(target, properties)
                if type_ & 0x3F == EXE_INSTALLED:
                    command = f'"{package.file_path(source)}" {command}'  # the installed file, not the helper
                if not type_ & IN_SCRIPT:
                    if not dry:
                        self.run_helper(package, command)  # immediate: now
                    continue
                kind = "rollback" if type_ & ROLLBACK else "commit" if type_ & COMMIT else "deferred"
                script.append(Step(kind, action, command, package, ignore=bool(type_ & IGNORE_RESULT)))
            elif action in PLANNING:
                pass
            elif component_action:
                parts = self.standard(package, action, component_action, properties)
                if parts:
                    script.append(one_step(action, parts))
            elif action not in ("StopServices", "StartServices", "RemoveFiles", "InstallFiles", "WriteRegistryValues",
                                "RemoveRegistryValues", "PublishProduct", "DeleteServices"):
                raise AssertionError(f"the player does not know the action {action}")
        script.append(self.registration(package, operation))
        return script, properties, None

    def find_related(self, package, properties):
        """Sets each Upgrade row's property to the installed products it finds; returns the
        products RemoveExistingProducts removes (rows that do not only detect)."""
        removed = []
        for row in package.upgrades:
            attributes = int(row["Attributes"] or 0)
            for code, other in self.products.items():
                if other.upgrade_code != row["UpgradeCode"].upper():
                    continue
                version = version_tuple(other.version)
                low, high = row["VersionMin"], row["VersionMax"]
                if low and not (version >= version_tuple(low) if attributes & 256 else version > version_tuple(low)):
                    continue
                if high and not (version <= version_tuple(high) if attributes & 512 else version < version_tuple(high)):
                    continue
                prop = row["ActionProperty"]
                properties[prop] = ";".join(filter(None, [properties.get(prop, ""), code]))
                if not attributes & 2:
                    removed.append(code)
        return removed

    def registration(self, package, operation):
        """Windows Installer's registration of the product (InstallFinalize's part)."""
        def do():
            before = self.products.get(package.code)
            if operation == "remove":
                self.products.pop(package.code, None)
            else:
                self.products[package.code] = package

            def undo():
                if before:
                    self.products[package.code] = before
                else:
                    self.products.pop(package.code, None)
            return True, undo
        return Step("standard", "RegisterProduct" if operation != "remove" else "UnregisterProduct", do=do)

    # --- the standard actions, with their rollback ---------------------------------------------
    def standard(self, package, action, component_action, properties):
        machine = self.machine
        if action in ("StopServices", "StartServices"):
            rows = [r for r in package.service_control
                    if int(r["Event"]) & ((STOP_ON_INSTALL if component_action == "install" else STOP_ON_UNINSTALL)
                                          if action == "StopServices" else
                                          (START_ON_INSTALL if component_action == "install" else 0))]
            steps = []
            for row in rows:
                name = row["Name"]
                if action == "StopServices":
                    def do(name=name):
                        if machine.settled_state(name) != RUNNING:
                            return True, None  # nothing stopped, nothing to start again
                        return machine.stop(name), lambda: machine.start(name)
                else:
                    def do(name=name):
                        if machine.settled_state(name) == RUNNING:
                            return True, None
                        started = machine.start(name)
                        return started, lambda: machine.stop(name) if machine.settled_state(name) == RUNNING else None
                steps.append(Step("standard", f"{action} {name}", do=do))
            return steps
        if action in ("WriteRegistryValues", "RemoveRegistryValues"):
            steps = []
            for row in package.registry:
                root = "HKLM64\\" if package.win64[row["Component_"]] else "HKLM\\"
                key, name = root + row["Key"].rstrip("\\"), row["Name"].encode()
                if action == "RemoveRegistryValues" and component_action == "remove":
                    steps.append(Step("standard", f"{action} {row['Name']}", do=self.remove_value(key, name)))
                elif action == "WriteRegistryValues" and component_action == "install":
                    type_, data = registry_data(package.format(row["Value"], properties))
                    steps.append(Step("standard", f"{action} {row['Name']}", do=self.write_value(key, name, type_, data)))
            return steps
        if action in ("InstallFiles", "RemoveFiles"):
            wanted = "install" if action == "InstallFiles" else "remove"
            if component_action != wanted:
                return []
            return [Step("standard", f"{action} {name}",
                         do=self.put_file(package.folders[component] + "\\" + name,
                                          package.payload[name] if wanted == "install" else None))
                    for _, component, name in package.files]
        if action == "PublishProduct":
            return []
        if action == "DeleteServices":
            # Windows puts a deleted service back only from a ServiceInstall row; the package has none.
            deleting = 0x08 if component_action == "install" else 0x80
            assert not [r for r in package.service_control if int(r["Event"]) & deleting], "DeleteServices rows are not played"
            return []
        raise AssertionError(f"the player does not know the action {action}")

    def write_value(self, key, name, type_, data):
        machine = self.machine

        def do():
            values = machine.values(key)
            before = (values or {}).get(name)
            machine.set_value(key, name, type_, data)

            def undo():
                if before:
                    machine.set_value(key, name, *before)
                else:
                    machine.delete_value(key, name)
                    if values is None and not machine.values(key) and not machine.subkeys(key):
                        machine.delete_key(key)  # a key this step made goes with it
            return True, undo
        return do

    def remove_value(self, key, name):
        machine = self.machine

        def do():
            values = machine.values(key)
            before = (values or {}).get(name)
            if before is None:
                return True, None
            machine.delete_value(key, name)
            emptied = not machine.values(key) and not machine.subkeys(key)
            if emptied:
                machine.delete_key(key)  # the last value of the package's key: the key goes too
            return True, lambda: machine.set_value(key, name, *before)
        return do

    def put_file(self, windows_path, data):
        path = self.machine.unix(windows_path)

        def do():
            before = path.read_bytes() if path.exists() else None
            made_folder = not path.parent.exists()
            if data is None:
                if before is None:
                    return True, None
                path.unlink()
                if not any(path.parent.iterdir()):
                    path.parent.rmdir()
            else:
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_bytes(data)

            def undo():
                if before is None:
                    path.unlink(missing_ok=True)
                    if made_folder and path.parent.exists() and not any(path.parent.iterdir()):
                        path.parent.rmdir()
                else:
                    path.parent.mkdir(parents=True, exist_ok=True)
                    path.write_bytes(before)
            return True, undo
        return do

    # --- the script -----------------------------------------------------------------------------
    def play(self, package, operation, extra=None, fail_after=None, observe=None):
        """Plays `operation`; with fail_after=N the script fails after its Nth step ("end": after
        its last). Returns (outcome, steps done, log): outcome "done", "rolled back" or "refused".
        observe(phase, steps) is called with ("forward", N) once the script has done N steps (0
        first), and with ("rollback", N) once the rollback has undone step N (its own operations
        and the twins scheduled with it; N is one more than the steps done for the twins of the
        step that never began), where the machine must be as it was after N - 1 steps."""
        script, properties, refused = self.plan(package, operation, extra)
        if refused:
            return "refused", 0, [refused]
        if fail_after == "end":
            fail_after = sum(step.kind in ("deferred", "standard") for step in script)
        rollback, commits, log, done = [], [], [], 0  # rollback: (the step it undoes, entry)
        failed = None
        observe = observe or (lambda phase, steps: None)
        observe("forward", 0)
        for step in script:
            if step.kind == "rollback":
                rollback.append((done + 1, step))  # in the rollback script from the moment the run reaches it
                continue
            if step.kind == "commit":
                commits.append(step)
                continue
            if done == fail_after:
                failed = "injected"
                break
            if step.kind == "standard":
                ok, undo = step.do()
                if undo:
                    rollback.append((done + 1, undo))
            else:
                code, errors = self.run_helper(step.package, step.command)
                ok = code == 0 or step.ignore
                if not ok:
                    log.append(f"{step.name} failed: {code} {errors.strip()}")
            if not ok:
                failed = step
                break
            done += 1
            log.append(repr(step))
            observe("forward", done)
        if failed is None and done == fail_after:
            failed = "injected"  # after the last step: the end of the script itself fails
        if failed is None:
            for step in commits:
                self.run_helper(step.package, step.command)
            return "done", done, log
        level = done + 1  # the twins of the step that never began come first
        for undoes, entry in reversed(rollback):
            while level > undoes:
                observe("rollback", level)
                level -= 1
            if isinstance(entry, Step):
                code, errors = self.run_helper(entry.package, entry.command)
                log.append(f"rollback {entry!r}: {code} {errors.strip()}")
            else:
                entry()
        for undone in range(level, 0, -1):
            observe("rollback", undone)
        # The package's own action for a failed end (-3).
        for action, condition in end_actions(package, -3):
            if evaluate(condition, properties):
                self.run_helper(package, package.format(package.custom[action][2], properties))
        return "rolled back", done, log


def one_step(action, parts):
    """A standard action's operations as one step of the script: its rollback undoes the
    operations it carried out, the last first, also when one of them failed."""
    def do():
        undos = []
        ok = True
        for part in parts:
            ok, undo = part.do()
            if undo:
                undos.append(undo)
            if not ok:
                break

        def undo_all():
            for undo in reversed(undos):
                undo()
        return ok, undo_all if undos else None
    return Step("standard", action, do=do)


def end_actions(package, sequence):
    rows = read_table(package.msi, "InstallExecuteSequence")
    return [(r["Action"], r["Condition"]) for r in rows if int(r["Sequence"]) == sequence]


def registry_data(value):
    """(type, bytes) of a Registry table value: #x binary, #% expandable, # integer, else text."""
    if value.startswith("#x"):
        return 3, bytes.fromhex(value[2:])
    if value.startswith("#%"):
        return 2, (value[2:] + "\0").encode("latin-1")
    if value.startswith("#"):
        return 4, int(value[1:]).to_bytes(4, "little", signed=True)
    return 1, (value + "\0").encode("latin-1")


# --- what is compared ----------------------------------------------------------------------------
def snapshot(machine, folders):
    """The machine as the package may change it: the service (present, image path, type, start,
    first dependency, recovery values, running or not), the event source, the DACLs of the two
    client keys, every value of the product's key (the client lock's name by presence: the service
    makes it anew at each start), the files of the install folders, and the vendor's key: whether
    it is there, its keys, and every value under those but the service's and the product's (the
    steps' records)."""
    service = machine.values(SERVICE_KEY)
    state = {"service": None, "event source": machine.values(EVENT_SOURCE_KEY)}
    if service is not None:
        depends = service.get(b"DependOnService", (None, b""))[1].split(b"\0")[0]
        state["service"] = {
            "state": machine.settled_state("Telvarin"),
            "image": service.get(b"ImagePath"), "type": service.get(b"Type"), "start": service.get(b"Start"),
            "depends": depends, "recovery": (service.get(b"FailureActions"), service.get(b"FailureActionsOnNonCrashFailures"))}
    for key in (STATUS_CONTROL, CURRENT_SETTING):
        fields = machine.fields("sddl", key)
        state[key] = re.sub(r"^.*?(D:)", r"\1", fields["sddl"]) if fields else None
    product = machine.values(PRODUCT_KEY)
    if product is not None and b"ClientLock" in product:
        product[b"ClientLock"] = "present"
    state["product key"] = product
    for folder in folders:
        path = machine.unix(folder)
        state[folder] = ({p.name: hashlib.sha256(p.read_bytes()).hexdigest()[:16] for p in sorted(path.iterdir())}
                         if path.exists() else None)
    # The vendor's key and what is in it (the steps' records among it), but for SystemEvent: what
    # the service wrote there while it ran stays, as after an uninstall, and the vendor key with it.
    vendor = machine.subkeys(VENDOR_KEY)
    state["vendor key"] = None if vendor in (None, ["SystemEvent"]) else sorted(set(vendor) - {"SystemEvent"})
    for key in state["vendor key"] or ():
        if key not in ("Telvarin",):
            state[key] = tree(machine, VENDOR_KEY + "\\" + key)
    return state


def tree(machine, key):
    """{path under `key`: its values} of the key and every key under it."""
    found = {"": machine.values(key)}
    for sub in machine.subkeys(key) or ():
        found.update({f"{sub}\\{path}".rstrip("\\"): values for path, values in tree(machine, f"{key}\\{sub}").items()})
    return found


def differences(before, after):
    """The entries that differ, as text."""
    return [f"{name}: {before.get(name)!r} -> {after.get(name)!r}" for name in {**before, **after}
            if before.get(name) != after.get(name)]


# --- packages ------------------------------------------------------------------------------------
def build_msi(version, arch, bin_folder, output, *rehearsal):
    """packaging/build_msi.sh: the MSI of `version` and flavour `arch` of the programs in `bin_folder`."""
    subprocess.run([str(Path(__file__).resolve().parents[2] / "packaging" / "build_msi.sh"), version, arch, str(bin_folder),
                    str(output), *rehearsal], check=True, capture_output=True, timeout=300)
    return Path(output)
