"""Checks a flavour's programs without running them: every .exe and .dll in BIN_DIR is a PE of
the flavour's machine that imports only Windows system DLLs (and our DLLs beside it, such as the
client library, which are checked the same way), and telvarin.exe keeps its size.

This is all that a host without 32-bit support can check of the x86 build.
"""
import argparse
import re
import subprocess
import sys
from pathlib import Path

FORMATS = {"x86": "pei-i386", "x64": "pei-x86-64"}
# What a static mingw build may import: DLLs every Windows installation has.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "user32.dll", "msvcrt.dll",
               "ntdll.dll", "shell32.dll", "version.dll", "rpcrt4.dll", "powrprof.dll", "wbemuuid.dll"}
# The service's budget, for each flavour: growth past it is a decision, not a drift. 68 KiB since
# the service follows sleep and resume, holds refused requests and re-writes lost acknowledgements.
SERVICE_SIZE_LIMIT = 68 * 1024


def check(path, arch, objdump, beside=frozenset()):
    """The problems of one PE file, as text. `beside`: the DLLs of the same folder (lower case),
    which a program may import: each of them is checked too."""
    header = subprocess.run([objdump, "-f", str(path)], capture_output=True, text=True)
    m = re.search(r"file format (\S+)", header.stdout)
    problems = []
    if not m or m.group(1) != FORMATS[arch]:
        problems.append(f"is {m.group(1) if m else 'no PE'}, not {FORMATS[arch]}")
    imports = subprocess.run([objdump, "-p", str(path)], capture_output=True, text=True).stdout
    for dll in sorted({name.lower() for name in re.findall(r"DLL Name: (\S+)", imports)}):
        if dll not in SYSTEM_DLLS and dll not in beside and not dll.startswith("api-ms-win-"):
            problems.append(f"imports {dll}")
    if path.name == "telvarin.exe" and path.stat().st_size > SERVICE_SIZE_LIMIT:
        problems.append(f"is {path.stat().st_size} bytes, over {SERVICE_SIZE_LIMIT}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=sorted(FORMATS), required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("bin_dir")
    args = parser.parse_args()
    files = sorted(p for p in Path(args.bin_dir).iterdir() if p.suffix.lower() in (".exe", ".dll"))
    failures = 0
    own = frozenset(p.name.lower() for p in files if p.suffix.lower() == ".dll")
    for path in files:
        problems = check(path, args.arch, args.objdump, own - {path.name.lower()})
        failures += bool(problems)
        size = f" ({path.stat().st_size} bytes of {SERVICE_SIZE_LIMIT})" if path.name == "telvarin.exe" else ""
        print(f"{path.name}: {'; '.join(problems) if problems else 'ok'}{size}")
    if not any(p.name == "telvarin.exe" for p in files):
        print("telvarin.exe: missing")
        failures += 1
    print(f"{len(files)} files of the {args.arch} flavour, {failures} with problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
