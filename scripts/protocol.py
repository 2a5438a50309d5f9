"""The protocol facts of common/protocol.h, read from the header itself (never copied here).

`#define TELVARIN_X ...` lines of string literals and earlier TELVARIN_ names become strings (C
escapes undone, the parts joined as the compiler joins them), enumerators `TELVARIN_X = number` become ints; names lose their TELVARIN_ prefix:
    from protocol import P
    P.KEY_NOTIFICATION, P.REQUEST_17, P.SERVICE_NAME
"""
import re
from pathlib import Path
from types import SimpleNamespace

HEADER = Path(__file__).resolve().parents[1] / "common" / "protocol.h"

# A define's body, up to an optional trailing /* comment */.
_DEFINE = re.compile(r'^#define TELVARIN_(\w+)\s+((?:(?:"(?:[^"\\]|\\.)*"|TELVARIN_\w+)\s*)+)(?:/\*.*\*/)?$')
_PART = re.compile(r'"((?:[^"\\]|\\.)*)"|TELVARIN_(\w+)')
_ENUMERATOR = re.compile(r'^\s*TELVARIN_(\w+)\s*=\s*(0[xX][0-9a-fA-F]+|\d+)\s*,?')


def _join(parts, facts):
    return "".join(re.sub(r"\\(.)", r"\1", m.group(1)) if m.group(1) is not None else facts[m.group(2)]
                   for m in _PART.finditer(parts))


def load(path=HEADER):
    facts = {}
    for line in path.read_text().splitlines():
        m = _DEFINE.match(line)
        if m:
            facts[m.group(1)] = _join(m.group(2), facts)
            continue
        m = _ENUMERATOR.match(line)
        if m:
            facts[m.group(1)] = int(m.group(2), 0)
    return SimpleNamespace(**facts)


P = load()
