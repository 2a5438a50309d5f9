#!/usr/bin/env python3
"""The event-log table of docs/deploying.md against the service's source.

Reads every text telvarin.exe can report, with its event id and level, from the source: the
message table (resources/telvarin.mc), and every call that reports (a log's Text and Report,
and the helpers that pass their level and text on, RetryLog's failure texts and
its "still failing" and "succeeded after" forms) in service/, firmware/, settings/, power/,
core/ and common/. A text formatted with wsprintfA is read from its format: arguments that are
string or integer constants are filled in (ternaries of strings give one text each); every other
argument is a placeholder. Parameters of the reporting function are followed to its callers, so
a level and a text passed on through a helper are read where they are given.

The page's table lies between <!-- event-table --> and <!-- end event-table -->: one row per
text, `| Id | Level | Text | When |`, the text in backticks with <anything> for a placeholder
(a decimal number formatted as "%lu.%lu" is one placeholder). Ids of the message table that
nothing reports have the level "never". The check fails when a text or level of the source is
missing from the page or differs, when the page lists a text the source no longer has, and when a
reporting call is written in a way this script cannot read (it says where).

    python3 tests/docs_check.py            check (exit 0 when the page agrees)
    python3 tests/docs_check.py --write    rewrite the table's rows from the source, keeping the
                                           "When" of every row whose id and text stay; a new row
                                           gets "NEW: say when", which the check refuses
    python3 tests/docs_check.py --list     print what the source reports
    python3 tests/docs_check.py --self-test
                                           first makes sure, on copies, that the check still
                                           catches each kind of drift, then checks this tree
"""
import argparse
import itertools
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SOURCE_DIRS = ("service", "firmware", "settings", "power", "core", "common")
PAGE = ROOT / "docs" / "deploying.md"
MESSAGES = ROOT / "resources" / "telvarin.mc"
TABLE_START = "<!-- event-table -->"
TABLE_END = "<!-- end event-table -->"
NEW_WHEN = "NEW: say when"
LEVELS = {"EVENTLOG_ERROR_TYPE": "Error", "EVENTLOG_WARNING_TYPE": "Warning",
          "EVENTLOG_INFORMATION_TYPE": "Information"}
NEVER = "never"
SLOT = "\0"
# The functions that only carry a report to the event log: their own calls are not reports.
LOG_PLUMBING = {"ServiceLog::Report", "ServiceLog::Text", "Report"}
# A call whose level and text are not constants, and what its arguments are: ServiceLog's
# Text(level, text) and Report(level, id, text, ...), called on whichever log a part was handed.
LOG_CALLS = {"Text": {"level": 0, "text": 1},
             "Report": {"level": 0, "id": 1, "text": 2}}
# RetryLog(log, failureText, subject): the argument that is the first failure's text.
RETRY_TEXT_ARG = 1
# Functions that format into a buffer: (the buffer's argument, the format's).
FORMATTERS = {"wsprintfA": (0, 1), "sprintf": (0, 1), "snprintf": (0, 2), "_snprintf": (0, 2),
              "wnsprintfA": (0, 2), "StringCchPrintfA": (0, 2)}
CONTROL = re.compile(r"^(?:if|for|while|switch|else|do|try|catch|case|default|return)\b")
TYPE_AND_NAME = re.compile(r"^(?:const\s+|struct\s+|unsigned\s+)*[A-Za-z_][\w:<>]*(?:\s*[*&]+\s*|\s+)"
                           r"(?:const\s+)?[A-Za-z_]\w*(?:\[\w*\])?(?:\s*=.*)?$")


class SourceError(Exception):
    pass


# --- reading C++ ---------------------------------------------------------------------------------
def literal_end(text, i):
    """Index just past the string or character literal that starts at `i`."""
    j = i + 1
    while j < len(text) and text[j] != text[i]:
        j += 2 if text[j] == "\\" else 1
    return j + 1


def strip_comments(text):
    """The text with every comment blanked (newlines kept), string and character literals intact."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c in "\"'":
            j = literal_end(text, i)
            out.append(text[i:j])
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def unescape(body):
    return re.sub(r'\\(x[0-9a-fA-F]+|[0-7]{1,3}|.)', lambda m: _escape(m.group(1)), body)


def _escape(code):
    simple = {"n": "\n", "r": "\r", "t": "\t", "0": "\0", "\\": "\\", '"': '"', "'": "'", "?": "?"}
    if code in simple:
        return simple[code]
    if code[0] == "x":
        return chr(int(code[1:], 16))
    if code.isdigit():
        return chr(int(code, 8))
    return code


def split_top(text, separator=","):
    """`text` split at `separator` outside brackets and literals."""
    parts, depth, start, i = [], 0, 0, 0
    while i < len(text):
        c = text[i]
        if c in "\"'":
            i = literal_end(text, i)
            continue
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == separator and depth == 0 and not (c == ":" and (text[i + 1:i + 2] == ":" or text[i - 1:i] == ":")):
            parts.append(text[start:i].strip())
            start = i + 1
        i += 1
    tail = text[start:].strip()
    if tail or parts:
        parts.append(tail)
    return parts


def matching(text, open_at):
    """Index of the bracket that closes the one at `open_at`."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    depth, i = 0, open_at
    while i < len(text):
        c = text[i]
        if c in "\"'":
            i = literal_end(text, i)
            continue
        if c in pairs:
            depth += 1
        elif c in pairs.values():
            depth -= 1
            if depth == 0:
                return i
        i += 1
    raise SourceError(f"unbalanced bracket at {open_at}")


class Function:
    def __init__(self, name, params, source, header_at, body, scope=None):
        self.name = name        # "Report", "WmiConnection::ConnectStage", "failed" (a lambda)
        self.params = params    # parameter names, in order
        self.source = source
        self.header_at = header_at
        self.body = body        # (open, close) of its braces
        # Where it can be called from: (start, end) in its file for a lambda or a function of an
        # anonymous namespace, None for one that every file may call.
        self.scope = scope

    @property
    def short(self):
        return self.name.split("::")[-1]


class Source:
    def __init__(self, path):
        self.path = path
        self.text = strip_comments(path.read_text(errors="replace"))
        self.blocks = []  # (open, close, header), in order of the opening brace
        stack, i, text = [], 0, self.text
        while i < len(text):
            c = text[i]
            if c in "\"'":
                i = literal_end(text, i)
                continue
            if c == "{":
                stack.append(len(self.blocks))
                self.blocks.append([i, None, self._header(i)])
            elif c == "}" and stack:
                self.blocks[stack.pop()][1] = i
            i += 1

    def _header(self, brace):
        """What stands before a brace back to the last ; { or } outside brackets."""
        depth, i = 0, brace - 1
        while i >= 0:
            c = self.text[i]
            if c in ")]":
                depth += 1
            elif c in "([":
                if depth == 0:
                    break
                depth -= 1
            elif c in ";{}" and depth == 0:
                break
            i -= 1
        return i + 1, self.text[i + 1:brace].strip()

    def line(self, at):
        return self.text.count("\n", 0, at) + 1

    def where(self, at):
        return f"{self.path.relative_to(ROOT)}:{self.line(at)}"

    def enclosing(self, at):
        """The blocks around `at`, innermost first."""
        around = [b for b in self.blocks if b[0] < at and (b[1] is None or at < b[1])]
        return sorted(around, key=lambda b: -b[0])

    def function_at(self, at):
        """The innermost function or lambda around `at`, or None."""
        for open_, close, (header_at, header) in self.enclosing(at):
            function = self._function(header, header_at, (open_, close))
            if function:
                return function
            if re.match(r"^(?:namespace|class|struct|enum|extern)\b", header):
                return None
        return None

    def _function(self, header, header_at, body):
        if not header or CONTROL.match(header) or header.endswith("="):
            return None
        lam = re.search(r"(?:\bauto\s+(\w+)\s*=\s*)?\[[^\[\]]*\]\s*\(([^()]*)\)\s*(?:mutable\s*)?(?:->\s*[\w:]+\s*)?$",
                        header)
        if lam:
            around = self.enclosing(header_at)
            scope = (header_at, around[0][1]) if around else (header_at, len(self.text))
            return Function(lam.group(1) or "<lambda>", param_names(lam.group(2)), self, header_at, body, scope)
        header = re.sub(r"^template\s*<[^<>]*>\s*", "", header)
        paren = header.find("(")
        if paren < 0:
            return None
        name = re.search(r"([A-Za-z_][\w:~]*)\s*$", header[:paren])
        if not name:
            return None
        close = matching(header, paren)
        local = re.match(r"^static\b", header) or any(h == "namespace" for _, _, (_, h) in self.enclosing(header_at))
        return Function(name.group(1), param_names(header[paren + 1:close]), self, header_at, body,
                        (0, len(self.text)) if local else None)

    def calls(self, name):
        """(position, arguments) of every call of `name` (a bare or member call, not a definition)."""
        found = []
        for m in re.finditer(r"(?<![\w:])(?:\w+::)*" + re.escape(name) + r"\s*\(", self.text):
            open_ = m.end() - 1
            args = split_top(self.text[open_ + 1:matching(self.text, open_)])
            if any(TYPE_AND_NAME.match(a) and not re.match(r"(?:new|sizeof|delete|return)\b", a) for a in args):
                continue  # a declaration: its arguments are typed names
            if any(header_at <= m.start() < open_brace and self._function(header, header_at, (open_brace, close))
                   for open_brace, close, (header_at, header) in self.blocks):
                continue  # the function's own header
            found.append((m.start(), args))
        return found


def param_names(params):
    names = []
    for param in split_top(params):
        param = param.split("=")[0].strip()
        if not param or param == "void":
            continue
        pointer = re.search(r"\(\s*[\w:]*\*\s*(\w+)\s*\)", param)  # a pointer to a function or member
        m = pointer or re.search(r"(\w+)\s*(?:\[\w*\])?$", param)
        names.append(m.group(1) if m and len(param.split()) > 1 or pointer else None)
    return names


# --- values of expressions -------------------------------------------------------------------------
class Lit:
    def __init__(self, value):
        self.value = value  # a str, an int, or None (nullptr)


class Slot:
    pass


class Alt:
    def __init__(self, nodes):
        self.nodes = nodes


class Fmt:
    def __init__(self, format_, args, where):
        self.format = format_
        self.args = args
        self.where = where


class Param:
    def __init__(self, function, index, where):
        self.function = function
        self.index = index
        self.where = where


class FailureTexts:
    """Every RetryLog's first-failure text."""


class Program:
    def __init__(self):
        self.sources = [Source(p) for d in SOURCE_DIRS for p in sorted((ROOT / d).glob("*")) if p.suffix in (".cpp", ".h")]
        self.constants = {}
        for source in self.sources:
            for m in re.finditer(r"^\s*#\s*define\s+(\w+)[ \t]+(.+?)\s*$", source.text, re.M):
                self.constants.setdefault(m.group(1), (m.group(2), source, m.start(2)))
            for m in re.finditer(r"\bconstexpr\s+[\w:]+\s+(\w+)(?:\[\])?\s*=\s*([^;{]+);", source.text):
                self.constants.setdefault(m.group(1), (m.group(2), source, m.start(2)))
            for body in re.finditer(r"\benum\b[^{;]*\{([^}]*)\}", source.text):
                for m in re.finditer(r"(\w+)\s*=\s*([^,]+)", body.group(1)):
                    self.constants.setdefault(m.group(1), (m.group(2), source, body.start(1) + m.start(2)))

    # lowering: an expression at a place in the source, as a value tree
    def lower(self, expr, source, at, resolving=(), trace=True):
        """`expr` at `at` as a value tree. A parameter of the function around it is followed to the
        callers when `trace` (a level, an id, a text or a format), else it is a placeholder."""
        expr = expr.strip()
        while True:
            m = re.fullmatch(r"(?:static_cast|reinterpret_cast|const_cast)\s*<[^<>]*>\s*\((.*)\)", expr, re.S)
            if m:
                expr = m.group(1).strip()
                continue
            if expr.startswith("(") and matching(expr, 0) == len(expr) - 1:
                expr = expr[1:-1].strip()
                continue
            break
        parts = split_top(expr, "?")
        if len(parts) == 2:
            choices = split_top(parts[1], ":")
            if len(choices) == 2:
                return Alt([self.lower(c, source, at, resolving, trace) for c in choices])
        if re.fullmatch(r'(?:L?"(?:[^"\\]|\\.)*"\s*|[A-Za-z_]\w*\s*)+', expr) and '"' in expr:
            pieces = re.findall(r'L?"((?:[^"\\]|\\.)*)"|([A-Za-z_]\w*)', expr)
            text = ""
            for literal, name in pieces:
                if name:
                    value = self.constant(name, resolving)
                    if not isinstance(value, str):
                        return Slot()
                    text += value
                else:
                    text += unescape(literal)
            return Lit(text)
        if expr == "nullptr" or expr == "NULL":
            return Lit(None)
        if re.fullmatch(r"(?:0[xX][0-9a-fA-F]+|\d+)[uUlL]*", expr):
            return Lit(int(expr.rstrip("uUlL"), 0))
        m = re.fullmatch(r"(?:\w+::)*(\w+)", expr)
        if m:
            name = m.group(1)
            if name in LEVELS or name.startswith("MSG_"):
                return Lit(name)
            function = source.function_at(at)
            if function and name in function.params and "::" not in expr:
                return Param(function, function.params.index(name), source.where(at)) if trace else Slot()
            formatted = self.formatted(name, source, at, resolving)
            if formatted:
                return formatted
            if name == "m_failureText":
                return FailureTexts()
            value = self.constant(name, resolving)
            if value is not None:
                return Lit(value)
            return Slot()
        value = self.arithmetic(expr, resolving)
        return Lit(value) if value is not None else Slot()

    def constant(self, name, resolving=()):
        if name not in self.constants or name in resolving:
            return None
        expr, source, at = self.constants[name]
        node = self.lower(expr, source, at, resolving + (name,))
        return node.value if isinstance(node, Lit) else None

    def arithmetic(self, expr, resolving):
        tokens = re.findall(r"\w+|[-+*/%()]|\S", expr)
        values = []
        for token in tokens:
            if re.fullmatch(r"(?:0[xX][0-9a-fA-F]+|\d+)[uUlL]*", token):
                values.append(str(int(token.rstrip("uUlL"), 0)))
            elif re.fullmatch(r"[A-Za-z_]\w*", token):
                value = self.constant(token, resolving)
                if not isinstance(value, int):
                    return None
                values.append(str(value))
            elif token in "+-*%()":
                values.append(token)
            elif token == "/":
                values.append("//")
            else:
                return None
        try:
            return int(eval(" ".join(values), {"__builtins__": {}}))  # digits and operators only
        except Exception:
            return None

    def formatted(self, name, source, at, resolving):
        """The formats written into the buffer `name` before `at` (wsprintfA and the like), in the
        nearest block that has any, up to the function's own."""
        function = source.function_at(at)
        writes = [(pos, args, format_at) for call, (buffer_at, format_at) in FORMATTERS.items()
                  for pos, args in source.calls(call) if len(args) > format_at and args[buffer_at] == name]
        for open_, close, _ in source.enclosing(at):
            found = [(pos, args, f) for pos, args, f in writes if open_ < pos < at]
            if found:
                return Alt([Fmt(self.lower(args[f], source, pos, resolving),
                                [self.lower(a, source, pos, resolving, trace=False) for a in args[f + 1:]],
                                source.where(pos))
                            for pos, args, f in sorted(found)])
            if function and open_ <= function.body[0]:
                break
        return None

    def call_sites(self, function):
        """(source, position, arguments) of every call that gives `function` its arguments."""
        if function.short == "RetryLog":  # constructed, not called: RetryLog log(...), m_log{...}
            return self.constructions("RetryLog")
        if function.scope:
            start, end = function.scope
            return [(function.source, pos, args) for pos, args in function.source.calls(function.short)
                    if start <= pos < end]
        # Matched by name: a call with another number of arguments is another class's function
        # of the same name (CallLane::Failed(text) beside RetryLog::Failed()).
        return [(s, pos, args) for s in self.sources for pos, args in s.calls(function.short)
                if len(args) == len(function.params)]

    def constructions(self, class_name):
        sites = []
        for s in self.sources:
            for m in re.finditer(r"\b" + class_name + r"\s+(\w+)\s*([({])", s.text):
                open_ = m.end() - 1
                sites.append((s, m.start(), split_top(s.text[open_ + 1:matching(s.text, open_)])))
            # A member constructed in its class's constructor's initialiser list, in whichever file.
            for m in re.finditer(r"\b" + class_name + r"\s+(\w+)\s*;", s.text):
                owner = next((h.split()[1] for _, _, (_, h) in s.enclosing(m.start())
                              if re.match(r"(?:class|struct)\s+\w+", h)), None)
                for t in self.sources:
                    for init in re.finditer(r"[:,]\s*" + m.group(1) + r"\s*\(", t.text):
                        constructor = next((t._function(h, at, (o, c)) for o, c, (at, h) in t.blocks
                                            if at <= init.start() < o), None)
                        if not constructor or constructor.short != owner:
                            continue
                        open_ = init.end() - 1
                        sites.append((t, init.start(), split_top(t.text[open_ + 1:matching(t.text, open_)])))
        return sites

    def bind(self, node, function, args, source, at):
        """`node` with the parameters of `function` replaced by a caller's arguments."""
        if isinstance(node, Param) and node.function.name == function.name and node.function.source is function.source:
            if node.index >= len(args):
                raise SourceError(f"{source.where(at)}: a call of {function.name} without argument {node.index + 1}")
            return self.lower(args[node.index], source, at)
        if isinstance(node, Alt):
            return Alt([self.bind(n, function, args, source, at) for n in node.nodes])
        if isinstance(node, Fmt):
            return Fmt(self.bind(node.format, function, args, source, at),
                       [self.bind(a, function, args, source, at) for a in node.args], node.where)
        return node

    def expand(self, roles, depth=0):
        """Role sets without parameters: every way the callers give them values."""
        param = next((p for node in roles.values() for p in params_in(node)), None)
        if param is None:
            return [roles]
        if depth > 8:
            raise SourceError(f"{param.where}: parameters passed on more than 8 times")
        sites = self.call_sites(param.function)
        if not sites:
            raise SourceError(f"{param.where}: nothing calls {param.function.name}, whose parameter "
                              f"{param.index + 1} is logged")
        result = []
        for source, at, args in sites:
            result += self.expand({role: self.bind(node, param.function, args, source, at)
                                   for role, node in roles.items()}, depth + 1)
        return result

    # the reports
    def reports(self):
        """{(id symbol, level, text segments)} of every report the source can make."""
        found = set()
        for source in self.sources:
            for call, roles in LOG_CALLS.items():
                for at, args in source.calls(call):
                    function = source.function_at(at)
                    if function is None or function.name in LOG_PLUMBING:
                        continue
                    where = source.where(at)
                    if any(a not in ("nullptr", "NULL") for a in args[max(roles.values()) + 1:]):
                        raise SourceError(f"{where}: a report with a second or third text, which the table cannot show")
                    nodes = {role: self.lower(args[i], source, at) if i < len(args) else Lit(None)
                             for role, i in roles.items()}
                    nodes.setdefault("id", Lit("MSG_TEXT"))
                    for bound in self.expand(nodes):
                        found |= self.rows(bound, where)
        return found

    def rows(self, roles, where):
        rows = set()
        levels = texts_of(roles["level"], where, self)
        ids = texts_of(roles["id"], where, self)
        texts = [None] if isinstance(roles["text"], Lit) and roles["text"].value is None else \
            segment_lists(roles["text"], where, self)
        for level, id_, text in itertools.product(levels, ids, texts):
            if level not in LEVELS or not id_.startswith("MSG_"):
                raise SourceError(f"{where}: cannot read the level or the id of this report ({level}, {id_})")
            rows.add((id_, LEVELS[level], None if text is None else tuple(text)))
        return rows

    def failure_texts(self):
        """Every RetryLog's first-failure text, as value trees without parameters."""
        nodes = []
        for source, at, args in self.constructions("RetryLog"):
            nodes += [r["text"] for r in self.expand({"text": self.lower(args[RETRY_TEXT_ARG], source, at)})]
        return nodes


def params_in(node):
    if isinstance(node, Param):
        yield node
    elif isinstance(node, Alt):
        for n in node.nodes:
            yield from params_in(n)
    elif isinstance(node, Fmt):
        yield from params_in(node.format)
        for a in node.args:
            yield from params_in(a)


def texts_of(node, where, program):
    """The plain strings a node can be; an error for anything else."""
    if isinstance(node, Lit) and isinstance(node.value, str):
        return [node.value]
    if isinstance(node, Alt):
        return [t for n in node.nodes for t in texts_of(n, where, program)]
    raise SourceError(f"{where}: cannot read this report's level, id or format as a constant")


def segment_lists(node, where, program):
    """Every text a node can be, each a list of literal strings and SLOTs."""
    if isinstance(node, Lit) and isinstance(node.value, str):
        return [[node.value]] if node.value else []
    if isinstance(node, Alt):
        return [s for n in node.nodes for s in segment_lists(n, where, program)]
    if isinstance(node, FailureTexts):
        return [s for n in program.failure_texts() for s in segment_lists(n, where, program)]
    if isinstance(node, Fmt):
        results = []
        for format_ in texts_of(node.format, node.where, program):
            results += apply_format(format_, node.args, node.where, program)
        return results
    raise SourceError(f"{where}: cannot read the text of this report")


CONVERSION = re.compile(r"%([-+ #0]*)(\d*)(?:\.(\d+))?(h|l|ll)?([diuxXsScp%])")


def apply_format(format_, args, where, program):
    pieces, index, last = [], 0, 0
    for m in CONVERSION.finditer(format_):
        pieces.append(format_[last:m.start()])
        last = m.end()
        if m.group(5) == "%":
            pieces.append("%")
            continue
        if index >= len(args):
            raise SourceError(f"{where}: the format has more conversions than arguments")
        pieces.append((m, args[index]))
        index += 1
    pieces.append(format_[last:])
    choices = []
    for piece in pieces:
        if isinstance(piece, str):
            choices.append([[piece]])
            continue
        conversion, arg = piece
        choices.append([convert(conversion, value) for value in arg_values(arg)])
    return [sum(combination, []) for combination in itertools.product(*choices)]


def arg_values(node):
    if isinstance(node, Alt):
        return [v for n in node.nodes for v in arg_values(n)]
    if isinstance(node, Lit) and node.value is not None:
        return [node.value]
    return [SLOT]


def convert(conversion, value):
    flags, width, precision, _, kind = conversion.groups()
    if value == SLOT:
        return [SLOT]
    if kind in "sS":
        text = str(value)
        return [text[:int(precision)] if precision else text]
    if isinstance(value, int):
        pyformat = {"d": "d", "i": "d", "u": "d", "x": "x", "X": "X"}.get(kind)
        if pyformat:
            return [format(value & 0xFFFFFFFF if kind in "uxX" else value, f"{flags.replace('#', '')}{width}{pyformat}")]
    return [SLOT]


# --- the message table -------------------------------------------------------------------------------
def read_messages():
    """{symbol: (id, text)} of resources/telvarin.mc."""
    path = MESSAGES
    text = path.read_text(errors="replace").replace("\r\n", "\n")
    messages = {}
    for m in re.finditer(r"^MessageId=(\d+)\nSymbolicName=(\w+)\nLanguage=\w+\n(.*?)\n\.$", text, re.M | re.S):
        messages[m.group(2)] = (int(m.group(1)), m.group(3))
    if not messages:
        raise SourceError(f"{path}: no messages read")
    return messages


def source_table(program=None, messages=None):
    """{(id, level, canonical text)} the page must list."""
    program = program or Program()
    messages = messages or read_messages()
    rows = set()
    reported = set()
    for symbol, level, text in program.reports():
        if symbol not in messages:
            raise SourceError(f"{symbol} is reported but not in {MESSAGES.relative_to(ROOT)}")
        id_, template = messages[symbol]
        reported.add(symbol)
        if "%1" in template:
            if text is None:
                raise SourceError(f"{symbol} takes a text, and a report gives it none")
            parts = template.split("%1")
            segments = [parts[0], *text, *[p for part in parts[1:] for p in (part,)]] if len(parts) == 2 else None
            if segments is None:
                raise SourceError(f"{symbol}: %1 more than once")
        else:
            segments = [template]
        rows.add((id_, level, canonical(segments)))
    for symbol, (id_, template) in messages.items():
        if symbol not in reported:
            rows.add((id_, NEVER, canonical([template])))
    return rows


def canonical(segments):
    """One string per text: placeholders as SLOT, a decimal number "N.M" as one placeholder."""
    text = "".join(segments)
    return re.sub(SLOT + r"\." + SLOT, SLOT, text)


# --- the page --------------------------------------------------------------------------------------
ROW = re.compile(r"^\|\s*(\d+)\s*\|\s*([^|]+?)\s*\|\s*`([^`]+)`\s*\|\s*(.*?)\s*\|\s*$")


def page_table(text):
    """[(line index, id, level, canonical text, when)] of the page's table, and the lines."""
    lines = text.split("\n")
    try:
        start = lines.index(TABLE_START)
        end = lines.index(TABLE_END)
    except ValueError:
        raise SourceError(f"{PAGE.relative_to(ROOT)} has no {TABLE_START} ... {TABLE_END}") from None
    rows = []
    for i in range(start + 1, end):
        line = lines[i]
        if not line.startswith("|") or re.match(r"^\|\s*(Id|-)", line):
            continue
        m = ROW.match(line)
        if not m:
            raise SourceError(f"{PAGE.relative_to(ROOT)}:{i + 1}: a row of the event table that is not "
                              f"| id | level | `text` | when |")
        rows.append((i, int(m.group(1)), m.group(2), canonical([re.sub(r"<[^<>]*>", SLOT, m.group(3))]), m.group(4)))
    return rows, lines, start, end


def shown(text):
    return text.replace(SLOT, "<…>")


def compare(source_rows, page_rows):
    """The differences, one line each."""
    problems = []
    page = {(id_, level, text) for _, id_, level, text, _ in page_rows}
    by_text = {}
    for _, id_, level, text, _ in page_rows:
        by_text.setdefault((id_, text), set()).add(level)
    for id_, level, text in sorted(source_rows - page, key=str):
        if (id_, text) in by_text:
            problems.append(f"{id_} `{shown(text)}`: the source reports it as {level}, the page says "
                            f"{' and '.join(sorted(by_text[(id_, text)]))}")
        else:
            problems.append(f"missing from the page: {id_} {level} `{shown(text)}`")
    source_texts = {(id_, text) for id_, _, text in source_rows}
    for id_, level, text in sorted(page - source_rows, key=str):
        if (id_, text) not in source_texts:
            problems.append(f"on the page but not in the source: {id_} {level} `{shown(text)}`")
    seen = set()
    for i, id_, level, text, when in page_rows:
        if (id_, level, text) in seen:
            problems.append(f"{PAGE.name}:{i + 1}: listed twice: {id_} {level} `{shown(text)}`")
        seen.add((id_, level, text))
        if NEW_WHEN in when or not when:
            problems.append(f"{PAGE.name}:{i + 1}: say when `{shown(text)}` is reported")
    return problems


def write(source_rows, page_rows, lines, start, end):
    """The page with the table's rows made from the source: a text the page has keeps its place,
    its cell and its "When"; a new one goes after the last row of its id and level."""
    kept = {(id_, text): (i, level, ROW.match(lines[i])) for i, id_, level, text, _ in page_rows}
    last_of = {}
    for i, id_, level, _, _ in page_rows:
        last_of[(id_, level)] = i

    def place(row):
        id_, level, text = row
        if kept.get((id_, text), (0, None))[1] == level:
            return (kept[(id_, text)][0], 0, "")
        return (last_of.get((id_, level), end), 1, text)  # new, or moved among the rows of its level

    rows = []
    for id_, level, text in sorted(source_rows, key=place):
        old = kept.get((id_, text))
        cell, when = (old[2].group(3), old[2].group(4)) if old else (text.replace(SLOT, "<?>"), NEW_WHEN)
        rows.append(f"| {id_} | {level} | `{cell}` | {when} |")
    header = [line for line in lines[start + 1:end] if not ROW.match(line)]
    return "\n".join(lines[:start + 1] + header + rows + lines[end:])


# Drifts the check must catch, made on a copy of the tree: (what, file, change, words of the failure).
def _new_report(text):
    return text + '\nvoid DocsCheckProbe(ServiceLog& log, bool on) { log.Text(EVENTLOG_WARNING_TYPE, on ? "Probe on" : "Probe off"); }\n'


DRIFTS = [
    ("a level changed", "power/power_actions.cpp",
     lambda t: t.replace(".Text(EVENTLOG_WARNING_TYPE,", ".Text(EVENTLOG_ERROR_TYPE,", 1),
     "the source reports it as Error"),
    ("a message changed", "resources/telvarin.mc", lambda t: t.replace(" service was removed.", " service is gone.", 1),
     "missing from the page: 101 Information `The Telvarin service is gone.`"),
    ("a report added", "settings/watchers.cpp", _new_report, "missing from the page: 107 Warning `Probe off`"),
    ("a report the check cannot read", "settings/watchers.cpp",
     lambda t: t + "\nvoid DocsCheckProbe(ServiceLog& log, const char* t) { log.Text(EVENTLOG_WARNING_TYPE, t); }\n",
     "nothing calls DocsCheckProbe"),
    ("a row dropped", "docs/deploying.md", lambda t: re.sub(r"^\| 107 \| Warning \| `Fail to WmiSetData`.*\n", "", t, flags=re.M),
     "missing from the page: 107 Warning `Fail to WmiSetData`"),
]


def self_test():
    """Each drift of DRIFTS, made on a copy of the tree, fails the check with its words."""
    import shutil
    import subprocess
    import tempfile
    failures = []
    for what, path, change, words in DRIFTS:
        with tempfile.TemporaryDirectory(prefix="docs-check-") as copy:
            for folder in SOURCE_DIRS + ("resources", "docs"):
                shutil.copytree(ROOT / folder, Path(copy) / folder)
            target = Path(copy) / path
            before = target.read_text(errors="replace")
            after = change(before)
            if after == before:
                failures.append(f"{what}: nothing in {path} to change")
                continue
            target.write_text(after)
            result = subprocess.run([sys.executable, __file__, "--root", copy], capture_output=True, text=True)
            if result.returncode == 0 or words not in result.stderr:
                failures.append(f"{what}: not caught (wanted \"{words}\"; got: {result.stderr.strip()[-300:]})")
    for failure in failures:
        print(f"docs_check: self-test: {failure}", file=sys.stderr)
    print(f"docs_check: self-test: {len(DRIFTS) - len(failures)} of {len(DRIFTS)} drifts caught")
    return not failures


def set_root(root):
    global ROOT, PAGE, MESSAGES
    ROOT, PAGE, MESSAGES = root, root / "docs" / "deploying.md", root / "resources" / "telvarin.mc"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--write", action="store_true", help="rewrite the page's table from the source")
    parser.add_argument("--list", action="store_true", help="print what the source reports")
    parser.add_argument("--root", type=Path, default=ROOT, help="the source tree (default: this one)")
    parser.add_argument("--self-test", action="store_true", help="first make sure the check catches drifts")
    args = parser.parse_args()
    set_root(args.root.resolve())
    if args.self_test and not self_test():
        return 1
    try:
        source_rows = source_table()
        if args.list:
            for id_, level, text in sorted(source_rows, key=str):
                print(f"{id_} {level:11} {shown(text)}")
            return 0
        text = PAGE.read_text()
        page_rows, lines, start, end = page_table(text)
        if args.write:
            PAGE.write_text(write(source_rows, page_rows, lines, start, end))
            page_rows, *_ = page_table(PAGE.read_text())
        problems = compare(source_rows, page_rows)
    except SourceError as error:
        print(f"docs_check: {error}", file=sys.stderr)
        return 1
    for problem in problems:
        print(f"docs_check: {problem}", file=sys.stderr)
    if problems:
        print(f"docs_check: {PAGE.relative_to(ROOT)}'s event table differs from the source "
              f"(tests/docs_check.py --write rewrites it; then say when each NEW row is reported)", file=sys.stderr)
        return 1
    print(f"docs_check: the event table lists the {len(source_rows)} texts of the source")
    return 0


if __name__ == "__main__":
    sys.exit(main())
