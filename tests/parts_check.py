#!/usr/bin/env python3
"""The parts that tests/CMakeLists.txt splits a system test script into take each of its tests
exactly once: a test that no part's -k pattern matches would never run, one that two match would
run twice. Matching is unittest's: a pattern without wildcards is a substring of the test's full
name (module.Class.method).

    python3 tests/parts_check.py
"""
import ast
import re
import sys
from pathlib import Path

TESTS = Path(__file__).resolve().parent


def parts(cmake_text):
    """{script stem: {part: [patterns]}} from the add_system_test_part calls."""
    found = {}
    for stem, part, args in re.findall(r"^add_system_test_part\((\S+) (\S+) \S+ (.*)\)$", cmake_text, re.M):
        words = args.split()
        if words[0::2] != ["-k"] * (len(words) // 2) or len(words) % 2:
            raise SystemExit(f"{stem} {part}: only -k PATTERN pairs are understood: {args}")
        found.setdefault(stem, {})[part] = words[1::2]
    return found


def test_names(script):
    tree = ast.parse(script.read_text())
    return [f"__main__.{node.name}.{item.name}" for node in tree.body if isinstance(node, ast.ClassDef)
            for item in node.body if isinstance(item, ast.FunctionDef) and item.name.startswith("test")]


def problems(cmake_text, tests_dir):
    found = []
    for stem, split in parts(cmake_text).items():
        names = test_names(tests_dir / "system" / f"{stem}.py")
        if not names:
            found.append(f"{stem}: no tests found")
        for name in names:
            taking = [part for part, patterns in split.items() if any(p in name for p in patterns)]
            if len(taking) != 1:
                found.append(f"{name}: taken by {len(taking)} parts of {stem} ({', '.join(taking) or 'none'})")
    return found


def main():
    cmake_text = (TESTS / "CMakeLists.txt").read_text()
    if not parts(cmake_text):
        print("no parts found in tests/CMakeLists.txt")
        return 1
    # The check must be able to fail: a part that loses its patterns leaves tests untaken.
    broken = re.sub(r"(add_system_test_part\(\S+ \S+ \S+) -k \S+", r"\1", cmake_text, count=1)
    if not problems(broken, TESTS):
        print("self-test: a part without its first pattern went unnoticed")
        return 1
    found = problems(cmake_text, TESTS)
    print("\n".join(found) or f"every test of {', '.join(sorted(parts(cmake_text)))} runs in exactly one part")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
