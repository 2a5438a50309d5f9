"""The protocol facts of common/protocol.h, read from the header itself (never copied here).

`#define TELVARIN_X "text"` lines become strings (C escapes undone, adjacent literals joined),
enumerators `TELVARIN_X = number` become ints; names lose their TELVARIN_ prefix:
    from protocol import P
    P.KEY_NOTIFICATION, P.REQUEST_17, P.SERVICE_NAME
"""
import re
from pathlib import Path
from types import SimpleNamespace

HEADER = Path(__file__).resolve().parents[1] / "common" / "protocol.h"

_DEFINE = re.compile(r'^#define TELVARIN_(\w+)\s+((?:"(?:[^"\\]|\\.)*"\s*)+)')
_ENUMERATOR = re.compile(r'^\s*TELVARIN_(\w+)\s*=\s*(0[xX][0-9a-fA-F]+|\d+)\s*,?')


def _unescape(literals):
    return "".join(re.sub(r"\\(.)", r"\1", part) for part in re.findall(r'"((?:[^"\\]|\\.)*)"', literals))


def load(path=HEADER):
    facts = {}
    for line in path.read_text().splitlines():
        m = _DEFINE.match(line)
        if m:
            facts[m.group(1)] = _unescape(m.group(2))
            continue
        m = _ENUMERATOR.match(line)
        if m:
            facts[m.group(1)] = int(m.group(2), 0)
    return SimpleNamespace(**facts)


P = load()
