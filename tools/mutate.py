#!/usr/bin/env python3
"""Mutation tester: how many deliberate faults in the game's logic do the unit tests catch?

It makes one small fault at a time (a mutant) in the game's sources, rebuilds only the unit tests in a
private build folder, runs them, and counts the mutant as killed (a test failed), timed out (the tests hung:
caught as well), survived (every test passed: a fault nobody would notice) or not built (a change the
compiler refuses; not counted). The score is (killed + timed out) / (killed + timed out + survived).

    python3 tools/mutate.py                        every mutant of the default folders (takes a while)
    python3 tools/mutate.py physics/ board/brick_matrix.cpp
    python3 tools/mutate.py --sample 40 --seed 1   a fixed random sample (what CI runs)
    python3 tools/mutate.py --list                 show the mutants, run nothing

    python3 tools/mutate.py --kinds 'name swapped,statements swapped' physics/   only these kinds

The faults: relational boundaries (< to <=, > to >=, and back), negated comparisons (< to >=, == to !=,
...), && and ||, + and -, += and -=, a numeric literal nudged, an if or while condition negated, a call
statement removed, and a returned value changed (true and false swapped, anything else to {}). And the
faults a hand makes:
  statement removed       an assignment (=, +=, ...), ++/--, a << b or a chain of calls left out;
  statements swapped      two adjacent statements of one block in the other order, where one changes what
                          the other works on (or both are declarations that call something: draws, clocks);
  name swapped            a name for its sibling in scope: names that differ in one token of a set (x/y,
                          1/2/3, left/right, red/green, L/R, U/D, the diagonals, column/row, line/column,
                          width/height, up/down, pos/vel, tilt/turn, first/last) where the sibling is a name
                          of the same function, or of the file as a member, a constant or a qualified name;
  function swapped        floor/ceil/trunc/round, min/max;
  assignment narrowed     a record assigned whole (v = w) reduced to one member (v.y = w.y), for the
                          records of the game's headers;
  character test widened  c == 'x' accepting the next character, or a letter's other case, too;
  case label widened      case 'x': likewise;
  key character swapped   a character a table lists, a call is given or a test compares with, for
                          another of the same function or table;
  probability changed     a fair coin made 0.6, a distribution's bound moved down by one, a probability
                          compared with a draw moved by 0.1.

The working tree is never touched: the sources are copied into the private folder (build-mutate/ by
default) and mutated there, and the copy is brought back to the working tree's state at every start. Each
mutant is the original file with exactly one change, and the objects built from that file are deleted
before the build, so nothing depends on time stamps and no result depends on the mutant before it; when
the tool moves on to another file it restores the original and rebuilds it, and at the end it checks that
the restored sources still pass. Before any mutant it checks that the unmutated tests pass.

Mutants that no behaviour can tell apart from the original are listed, each with its reason, in
tools/equivalent_mutants.txt and left out of the score.
"""

from __future__ import annotations

import argparse
import dataclasses
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
EQUIVALENTS = REPO / "tools" / "equivalent_mutants.txt"

DEFAULT_TARGETS = ["common/", "log/", "board/", "state/", "sound/", "physics/", "input/", "graphics/", "net/"]

# In these files only the named parts are plain logic that unit tests can judge without a window; the rest
# draws with GL or drives GLUT, which the display tests judge.
PLAIN_LOGIC_ONLY = {
    "graphics/process_graphics.cpp": {
        "sets_running_flag", "menu_action", "menu_pause::set_running", "menu_pause::menu_state",
        "menu_pause::entry_chosen",
        "joystick_keys", "redraw_tick", "board_menu", "red_steering_menu", "green_steering_menu", "steering_menu",
        "window_size_menu", "main_menu", "menu_tree", "key_presses",
    },
    "graphics/process_graphics.hpp": {"redraw_period", "loop_requests"},
    "graphics/gl_draw.cpp": {
        "time_text", "time_line", "game_time_line", "title_line", "red_points_line", "green_points_line",
        "speed_line",
    },
    "graphics/gl_draw.hpp": set(),
    # The rest plays through OpenAL, which the display tests hear.
    "sound/sound_output.cpp": {"sound_player"},
    "sound/sound_output.hpp": {"sound_switch"},
    # The network's threads and its ENet transport wait on sockets; the end-to-end tests judge them.
    "net/play.cpp": {"waiting_line", "waiting_lines", "router_asking_line", "no_router_line", "hosts_to_try",
                     "host_text", "no_host_line"},
    "net/transport.cpp": set(),
}

# Code that waits on the kernel's clocks and asks its scheduler for prompt wake-ups, and decides nothing:
# unit tests run on fake time and cannot see it. The benchmarks (bench/physics_rate) and the soak judge it.
OUTSIDE_UNIT_TESTS = {
    "common/seams.cpp": {"sleep_on_monotonic_clock", "spin_pause", "precise_sleeper::sleep_until",
                         "precise_sleeper::sleep_for", "precise_sleeper::rest_until", "read_scheduling",
                         "ask_for_short_slices", "time_slice"},
    "common/seams.hpp": {"precise_sleeper"},
    # How a writer claims a slot of the game's event ring: it matters only when one writer stalls for a whole
    # ring while others pass it, which no single-threaded test can bring about and a threaded one only by
    # chance. The unit tests judge what readers get in order, lapped and torn-free.
    "sound/game_events.cpp": {"event_channel::record"},
    # The clips' sound design (lengths, pitches, harmonics, decays, levels, the tone's shape): what a player
    # hears, which no rule pins. The unit tests judge the rules every clip keeps, whatever its recipe.
    "sound/synthesis.cpp": {"recipe_of", "tone"},
    # What the system says of this computer's name and networks: the unit tests send to loopback only, and the
    # name and the broadcast addresses differ from one machine to the next.
    "net/discovery.cpp": {"host_name", "broadcast_addresses"},
}


# ---------------------------------------------------------------------------------------------------------
# Reading C++ just well enough


def code_mask(text: str) -> list[bool]:
    """True for each character that is code: not in a comment, a string or character literal, or a
    preprocessor line."""
    mask = [True] * len(text)
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c in " \t":
            i += 1
            continue
        if line_start and c == "#":  # a preprocessor line, with its continuations
            j = i
            while j < n and (text[j] != "\n" or text[j - 1] == "\\"):
                j += 1
            for k in range(i, j):
                mask[k] = False
            i = j
            continue
        line_start = c == "\n"
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            for k in range(i, j):
                mask[k] = False
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            for k in range(i, j):
                mask[k] = False
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            open_paren = text.find("(", i)
            delimiter = text[i + 2:open_paren]
            j = text.find(")" + delimiter + '"', open_paren)
            j = n if j < 0 else j + len(delimiter) + 2
            for k in range(i, j):
                mask[k] = False
            i = j
        elif c == '"' or (c == "'" and not (i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum())):
            # A literal; a ' between two digits is a digit separator (1'000), not a literal.
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            for k in range(i, j):
                mask[k] = False
            i = j
        else:
            i += 1
    return mask


@dataclasses.dataclass
class region:
    name: str
    start: int
    end: int  # one past the last character


IDENTIFIER = r"[A-Za-z_]\w*"


def regions(text: str, mask: list[bool]) -> list[region]:
    """The definitions of a file, with their names: functions (Class::name for members), and variables or
    classes with a body. Namespaces are looked through, as are classes for their member functions."""
    found: list[region] = []
    stack: list[tuple[int, str, str]] = []  # (open position, kind, name)
    header_start = 0
    for i, c in enumerate(text):
        if not mask[i]:
            continue
        inside_function = any(kind == "function" or kind == "data" for _, kind, _ in stack)
        if c == "{":
            if inside_function:
                stack.append((i, "inner", ""))
                continue
            header = "".join(ch if mask[header_start + k] else " " for k, ch in enumerate(text[header_start:i]))
            header = re.sub(r"\s+", " ", header).strip()
            owner = next((name for _, kind, name in reversed(stack) if kind == "class"), "")
            if re.match(r"^(inline )?namespace\b", header) or header.startswith("extern"):
                stack.append((i, "namespace", ""))
            elif re.search(r"\b(class|struct|union|enum)\b", header) and "(" not in header.split("=")[0]:
                name = re.search(r"\b(?:class|struct|union|enum(?: class)?)\s+(" + IDENTIFIER + ")", header)
                stack.append((i, "class", name.group(1) if name else ""))
            elif "(" in header and "=" not in header.split("(")[0]:
                before = header.split("(")[0].strip()
                name = re.findall(r"(~?" + IDENTIFIER + r"(?:::~?" + IDENTIFIER + r")*)\s*$", before)
                name = name[0] if name else "?"
                if owner and "::" not in name:
                    name = owner + "::" + name
                stack.append((i, "function", name))
                found.append(region(name, header_start, -1))
            else:
                name = re.findall(r"(" + IDENTIFIER + r")\s*(?:=|\[[^\]]*\])?\s*$", header.split("=")[0].strip())
                stack.append((i, "data", name[0] if name else "?"))
                found.append(region(name[0] if name else "?", header_start, -1))
            header_start = i + 1
        elif c == "}":
            if stack:
                _, kind, name = stack.pop()
                if kind in ("function", "data"):
                    for r in reversed(found):
                        if r.end == -1:
                            r.end = i + 1
                            break
            if not any(kind in ("function", "data") for _, kind, _ in stack):
                header_start = i + 1
        elif c == ";" and not inside_function:
            header_start = i + 1
    for r in found:
        if r.end == -1:
            r.end = len(text)
    return found


# ---------------------------------------------------------------------------------------------------------
# Mutants


@dataclasses.dataclass
class mutant:
    path: str  # relative to the repository
    line: int
    start: int  # offset of the change in the file
    end: int
    replacement: str
    operator: str
    original_line: str = ""
    mutated_line: str = ""
    where: str = ""

    def key(self) -> str:
        return f"{self.path} | {self.original_line.strip()} | {self.mutated_line.strip()}"

    def shown(self) -> str:
        return f"{self.path}:{self.line}: {self.original_line.strip()} -> {self.mutated_line.strip() or '(removed)'}"


RELATIONAL = {
    "<": ["<=", ">="],
    "<=": ["<", ">"],
    ">": [">=", "<="],
    ">=": [">", "<"],
    "==": ["!="],
    "!=": ["=="],
}
OTHER_BINARY = {"&&": ["||"], "||": ["&&"], "+": ["-"], "-": ["+"], "+=": ["-="], "-=": ["+="]}
BINARY = re.compile(r"(?<=\s)(<=|>=|==|!=|&&|\|\||\+=|-=|<|>|\+|-)(?=\s)")
NUMBER = re.compile(
    r"(?<![\w.'])(0[xX][0-9a-fA-F']+|\d[\d']*\.\d*(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?|\d[\d']*[eE][+-]?\d+|\d[\d']*)"
    r"([fF]|[uU]?[lL]{0,2}|[lL]{1,2}[uU]?)?(?![\w.'])"
)
KEYWORDS_BEFORE_CALL = {"return", "throw", "co_return", "delete", "new", "case", "goto", "else", "do", "using",
                        "typedef", "static_assert", "sizeof", "const", "constexpr", "auto", "static"}


def nudged(literal: str, suffix: str) -> str | None:
    clean = literal.replace("'", "")
    if clean.lower().startswith("0x"):
        return hex(int(clean, 16) + 1) + suffix
    if re.fullmatch(r"0[0-7]+", clean):  # octal, as file modes are written
        return "0" + format(int(clean, 8) + 1, "o") + suffix
    if re.fullmatch(r"\d+", clean):
        return str(int(clean) + 1) + suffix
    value = float(clean)
    text = f"{value + 0.01 * max(1.0, abs(value)):.9g}"
    if "e" not in text and "." not in text:
        text += ".0"
    return text + (suffix if suffix in ("f", "F") else "")


def matching(text: str, mask: list[bool], open_at: int, opening: str = "(", closing: str = ")") -> int:
    depth = 0
    for i in range(open_at, len(text)):
        if not mask[i]:
            continue
        if text[i] == opening:
            depth += 1
        elif text[i] == closing:
            depth -= 1
            if depth == 0:
                return i
    return -1


def statement_end(text: str, mask: list[bool], start: int) -> int:
    """The ';' that ends the statement starting at `start` (brackets and lambdas' braces looked through)."""
    depth = 0
    for i in range(start, len(text)):
        if not mask[i]:
            continue
        c = text[i]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth < 0:
                return -1
        elif c == ";" and depth == 0:
            return i
    return -1


# ---------------------------------------------------------------------------------------------------------
# The faults a hand makes beyond the small ones above: a statement left out or two swapped, a sibling's name
# for a name, a kindred library function, a record's assignment narrowed to one member, a character test or
# case label that accepts a neighbour too, a probability changed.

# Tokens that tell siblings apart: a name that differs from another name of the same file only in such a
# token is most likely its twin of the same type (x and y, pad 1 and pad 2, the red and the green player).
SIBLING_GROUPS = [
    {"x", "y"}, {"left", "right"}, {"red", "green"}, {"L", "R"}, {"U", "D"}, {"RU", "RD", "LU", "LD"},
    {"column", "row"}, {"columns", "rows"}, {"line", "column"}, {"lines", "columns"}, {"width", "height"},
    {"up", "down"}, {"pos", "vel"}, {"tilt", "turn"}, {"first", "last"},
]
KIN_FUNCTIONS = [["floor", "ceil", "trunc", "round"], ["min", "max"]]
STATEMENT_KEYWORDS = {"return", "break", "continue", "case", "default", "throw", "goto", "if", "for", "while",
                      "switch", "do", "else", "try", "catch", "co_return", "using", "typedef", "static_assert",
                      "delete", "new", "namespace", "template", "public", "private", "protected", "struct",
                      "class", "enum", "union"}
NOT_A_TYPE = STATEMENT_KEYWORDS | {"and", "or", "not", "sizeof", "co_await", "co_yield", "operator"}
DECLARATION = re.compile(
    r"(?:(?:const|constexpr|static|auto|unsigned|signed|mutable|volatile|thread_local|struct|enum)\s+)*"
    r"[A-Za-z_][\w:]*(?:<[^;{}]*>)?(?:\s*(?:&&|&|\*)\s*|\s+)[A-Za-z_]\w*\s*(?:[=({;\[,]|$)")
LOCKS = re.compile(r"\b(?:scoped_lock|unique_lock|lock_guard|shared_lock)\b")
# A name chain that can stand on the left of an assignment: a.b, a->b, a[i], f(x).y, *p.
LVALUE = re.compile(r"\*?" + IDENTIFIER + r"(?:(?:::|\.|->)~?" + IDENTIFIER + r"|\[[^;\]]*\]|\([^;()]*\))*")
ASSIGNMENT = re.compile(r"\s*(<<=|>>=|[-+*/%&|^]?=)(?!=)")


def name_parts(name: str) -> list[str]:
    """A name cut into its tokens: the words between underscores, runs of digits, and capitals after small
    letters."""
    return [p for p in re.split(r"(_|\d+|(?<=[a-z])(?=[A-Z]))", name) if p]


def siblings_of(name: str) -> list[str]:
    parts = name_parts(name)
    found: list[str] = []
    for i, part in enumerate(parts):
        others: set[str] = set()
        for group in SIBLING_GROUPS:
            if part in group:
                others |= group - {part}
        if len(part) == 1 and part in "123":
            others |= set("123") - {part}
        found += ["".join(parts[:i] + [other] + parts[i + 1:]) for other in sorted(others)]
    if 2 <= len(name) <= 3 and name[-1] in "xy" and name[:-1].isalpha():  # dx and dy, fx and fy
        found.append(name[:-1] + ("y" if name[-1] == "x" else "x"))
    return list(dict.fromkeys(f for f in found if f != name))


def char_literal(code: int) -> str:
    c = chr(code)
    if c in "'\\":
        return "'\\" + c + "'"
    return f"'{c}'" if 0x20 <= code < 0x7f else f"'\\x{code:02x}'"


def char_value(literal: str) -> int | None:
    body = literal[1:-1]
    escapes = {"\\n": 10, "\\t": 9, "\\r": 13, "\\0": 0, "\\\\": 92, "\\'": 39, '\\"': 34, "\\v": 11, "\\f": 12}
    if body in escapes:
        return escapes[body]
    if re.fullmatch(r"\\x[0-9a-fA-F]{1,2}", body):
        return int(body[2:], 16)
    return ord(body) if len(body) == 1 else None


def neighbours(code: int) -> list[int]:
    """The characters a careless test accepts too: the next code, and a letter's other case."""
    found = [code + 1] if code + 1 < 0x100 else []
    if chr(code).isascii() and chr(code).isalpha():
        found.append(ord(chr(code).swapcase()))
    return found


@dataclasses.dataclass
class records:
    """The game's records (structs of two or more data members) and the names known to hold one: their
    members, and the variables, parameters and members declared with a record's type."""
    members: dict[str, list[str]]
    holds: dict[str, str]

    @staticmethod
    def read(texts: list[str]) -> "records":
        members: dict[str, list[str]] = {}
        typed_members: list[tuple[str, str]] = []
        for text in texts:
            for m in re.finditer(r"(?m)^struct\s+(\w+)\s*\{(.*?)^\};", text, re.S):
                found = re.findall(r"(?m)^[ \t]+(?![ \t])(?!friend|using|static)([\w:<>, ]+?)\s+(\w+)(?:\s*=[^;]*|\{[^;]*\})?;",
                                   m.group(2))
                if len(found) >= 2:
                    members[m.group(1)] = [name for _, name in found]
                    typed_members += found
        holds: dict[str, set[str]] = {}
        for kind, name in typed_members:
            holds.setdefault(name, set()).add(kind.split("::")[-1])
        for text in texts:
            for record in members:
                for m in re.finditer(r"\b" + record + r"\b(?:\s*&)?\s+(\w+)", text):
                    holds.setdefault(m.group(1), set()).add(record)
        return records(members, {n: next(iter(k)) for n, k in holds.items() if len(k) == 1 and next(iter(k)) in members})

    def record_of(self, expression: str) -> str | None:
        last = re.findall(IDENTIFIER, re.sub(r"\([^()]*\)$", "", expression.strip()))
        return self.holds.get(last[-1]) if last and not expression.strip().endswith(")") else None


def statement_starts(text: str, mask: list[bool], start: int, end: int) -> list[int]:
    """Where statements begin on a line of their own between start and end: the code before is a ';', a
    brace or a label's ':' (not a condition's ')' or an 'else': such a statement is another's body)."""
    found = []
    for m in re.finditer(r"(?m)^[ \t]*(?=\S)", text[start:end]):
        at = start + m.end()
        if not mask[at]:
            continue
        before = at - 1
        while before >= 0 and (not mask[before] or text[before].isspace()):
            before -= 1
        if before >= 0 and (text[before] in ";{}" or (text[before] == ":" and text[before - 1] != ":")):
            found.append(at)
    return found


def new_kinds(text: str, mask: list[bool], r: region, add, known: records, file_level: set[str]) -> None:
    """Adds the mutants of the kinds above for one region of a file. `file_level` holds the names that more
    than one definition uses, or code outside every definition: members and the file's own constants."""
    body_open = next((i for i in range(r.start, r.end) if mask[i] and text[i] == "{"), -1)
    if body_open < 0:
        return
    body = text[body_open:r.end]
    is_function = "(" in text[r.start:body_open]

    def code(start: int, end: int) -> bool:
        return all(mask[start:end])

    # Statements: left out, and adjacent ones swapped.
    statements = []  # (start, end, first word, declared name or None)
    for start in statement_starts(text, mask, body_open + 1, r.end) if is_function else []:
        first = re.match(r"[A-Za-z_]\w*|\+\+|--|\*|\(", text[start:])
        if not first or first.group(0) in STATEMENT_KEYWORDS or first.group(0) == "case":
            continue
        end = statement_end(text, mask, start)
        if end < 0 or end >= r.end:
            continue
        statement = text[start:end + 1]
        flat = "".join(c if mask[start + k] else " " for k, c in enumerate(statement))
        if ";" in flat[:-1] and not re.search(r"\]\s*(\([^)]*\))?\s*\{", flat):
            continue  # statements of its own inside: not a simple statement (a lambda's are fine)
        declaration = DECLARATION.match(flat)
        declared = re.findall(IDENTIFIER, flat[:declaration.end()].rstrip("=({;[, \t\n"))[-1] if declaration else None
        if declaration and declared in NOT_A_TYPE:
            declaration, declared = None, None
        statements.append((start, end, first.group(0), declared))
        if declared is None:
            lhs = LVALUE.match(flat) if first.group(0) not in ("++", "--", "(") else None
            after = flat[lhs.end():] if lhs else ""
            effect = ASSIGNMENT.match(after) or re.match(r"\s*(\+\+|--|<<|>>)", after)
            # A chain of calls (a.f().g()); a single call is the call removal's.
            head = re.match(r"(" + IDENTIFIER + r"(?:(?:::|\.|->)~?" + IDENTIFIER + r")*)(<[^;(){}]*>)?\(", flat)
            chain = lhs and lhs.group(0).endswith(")") and after.strip() == ";" and not (
                head and text[matching(text, mask, start + len(head.group(0)) - 1) + 1:end].strip() == "")
            if first.group(0) in ("++", "--") or (lhs and (effect or chain)):
                add(start, end + 1, ";", "statement removed")

    for (a_start, a_end, _, a_declared), (b_start, b_end, _, b_declared) in zip(statements, statements[1:]):
        between = text[a_end + 1:b_start]
        if any(mask[a_end + 1 + k] and not c.isspace() for k, c in enumerate(between)):
            continue  # not adjacent
        first, second = text[a_start:a_end + 1], text[b_start:b_end + 1]
        if first == second or LOCKS.search(first) or LOCKS.search(second):
            continue  # a lock's place is a matter for the thread sanitizer, not for unit tests
        if a_declared and re.search(r"\b" + a_declared + r"\b", second):
            continue  # the second uses the first: it would not build
        if (a_declared is None) != (b_declared is None):
            continue  # a declaration moved across a statement that does not use it changes nothing
        if a_declared and not set(re.findall(r"(\w+)\(\)", first)) & set(re.findall(r"(\w+)\(\)", second)):
            continue  # two declarations swap harmlessly unless both call the same thing: draws, a clock
        if not a_declared and not depends(first, second):
            continue  # neither changes what the other works on: the order does not matter
        add(a_start, b_end + 1, second + between + first, "statements swapped")

    # Names swapped for a sibling in scope.
    identifiers = list(re.finditer(r"(?<![\w'])" + IDENTIFIER, text))
    in_file: dict[str, set[str]] = {}  # name -> how it is reached: "." member, "::Q" qualified by Q, "" plain
    in_region: set[str] = set()
    for m in identifiers:
        if not mask[m.start()]:
            continue
        in_file.setdefault(m.group(0), set()).add(reached(text, m.start()))
        if body_open <= m.start() < r.end:
            in_region.add(m.group(0))
    for m in identifiers:
        start, name = m.start(), m.group(0)
        if not (body_open < start < r.end) or not mask[start] or re.match(r"\d", name):
            continue
        how = reached(text, start)
        if how == "" and declares(text, mask, start):
            continue
        line_start = text.rfind("\n", 0, start) + 1
        if re.match(r"\s*using\b", text[line_start:start]):
            continue  # a using-declaration names what the code below uses: another name would not build
        owner = re.search(r"(" + IDENTIFIER + r")\s*(?:\.|->)\s*$", text[max(0, start - 60):start]) if how == "." else None
        owner_record = known.holds.get(owner.group(1)) if owner else None
        for sibling in siblings_of(name):
            if how not in in_file.get(sibling, set()):
                continue
            if owner_record and sibling not in known.members[owner_record]:
                continue  # not a member of the record it is taken from
            if how == "" and sibling not in in_region and sibling not in file_level:
                continue
            add(start, m.end(), sibling, "name swapped")

    # Kindred library functions.
    for m in re.finditer(r"(?<![\w.>])((?:std::|chrono::)?)(" + "|".join(f for g in KIN_FUNCTIONS for f in g) + r")(?=\s*[(<])", body):
        start = body_open + m.start(2)
        if not code(start, start + len(m.group(2))):
            continue
        template = text[start + len(m.group(2))] == "<"
        for group in KIN_FUNCTIONS:
            if m.group(2) in group:
                for kin in group:
                    if kin != m.group(2) and not (template and kin == "trunc"):  # chrono has no trunc
                        add(start, start + len(m.group(2)), kin, "function swapped")

    # A record's assignment narrowed to one of its members.
    for start, end, _, declared in statements if is_function else []:
        if declared:
            continue
        flat = "".join(c if mask[start + k] else " " for k, c in enumerate(text[start:end]))
        lhs = LVALUE.match(flat)
        if not lhs or not re.match(r"\s*=(?!=)", flat[lhs.end():]):
            continue
        rhs = flat[lhs.end():].split("=", 1)[1].strip()
        if rhs.startswith("{") or "=" in rhs.replace("==", "").replace("<=", "").replace(">=", "").replace("!=", ""):
            continue
        left, right = known.record_of(lhs.group(0)), known.record_of(rhs)
        if lhs.group(0).rstrip().endswith((")", "]")):
            left = right  # an element or a call's result: known by what it is given
        record = left if right in (None, left) else None
        if record is None:
            continue
        plain_rhs = LVALUE.fullmatch(rhs) is not None
        for member in known.members[record]:
            right = f"{rhs}.{member}" if plain_rhs else f"({rhs}).{member}"
            add(start, end, f"{lhs.group(0).strip()}.{member} = {right}", "assignment narrowed")

    # A character test or a case label that accepts a neighbouring character too.
    for m in re.finditer(r"('(?:\\x[0-9a-fA-F]{1,2}|\\.|[^'\\])')", body):
        start, end = body_open + m.start(), body_open + m.end()
        if mask[start] or not mask[start - 1]:  # literals are not code: the character before it is
            continue
        value = char_value(m.group(1))
        if value is None:
            continue
        label = re.search(r"\bcase\s*$", text[max(0, start - 12):start])
        if label and text[end:end + 1] == ":":
            for other in neighbours(value):
                if not re.search(r"\bcase\s*" + re.escape(char_literal(other)) + r"\s*:", body):
                    add(label.start() + max(0, start - 12), end + 1,
                        f"case {m.group(1)}: case {char_literal(other)}:", "case label widened")
            continue
        lo = max(0, start - 80)
        while lo > 0 and (text[lo - 1].isalnum() or text[lo - 1] in "_.:>"):
            lo -= 1
        test = re.search(r"(?P<left>" + LVALUE.pattern + r")\s*(?P<op>==|!=)\s*$", text[lo:start])
        if test and code(lo + test.start(), start):
            left, op = test.group("left"), test.group("op")
            joiner = "||" if op == "==" else "&&"
            for other in neighbours(value):
                add(lo + test.start(), end,
                    f"({left} {op} {m.group(1)} {joiner} {left} {op} {char_literal(other)})", "character test widened")

    # Key characters swapped within one table or function: those a table lists, a call is given or a test
    # compares with (not the characters that text is built from).
    keys = []
    for m in re.finditer(r"'(?:\\.|[^'\\])'", body):
        start, end = body_open + m.start(), body_open + m.end()
        if mask[start] or not mask[start - 1]:
            continue
        before = text[max(0, start - 12):start]
        if re.search(r"(==|!=)\s*$", before) or (re.search(r"[(,]\s*$", before) and not is_function) or (
                re.search(r"\w\($", before) and text[end:end + 1] == ")"):
            keys.append((start, end, m.group(0)))
    distinct = list(dict.fromkeys(k for _, _, k in keys))
    for start, end, key in keys if len(distinct) >= 2 else []:
        i = distinct.index(key)
        for other in sorted({distinct[i - 1], distinct[(i + 1) % len(distinct)]} - {key}):
            add(start, end, other, "key character swapped")

    # Chances: a fair coin made unfair, a distribution's bounds moved, a probability compared with a draw.
    for m in re.finditer(r"\bbernoulli_distribution\s*(?:\w+\s*)?\(\s*\)", body):
        start = body_open + m.end() - 1
        if code(start - 1, start + 1):
            add(start - 1, start + 1, "(0.6)", "probability changed")
    for m in re.finditer(r"\b\w+_distribution\s*(?:<[^;(){}]*>)?\s*(?:\w+\s*)?\(", body):
        open_at = body_open + m.end() - 1
        close_at = matching(text, mask, open_at)
        if not code(body_open + m.start(), open_at + 1) or close_at < 0:
            continue
        for n in NUMBER.finditer(text, open_at + 1, close_at):
            value = n.group(1)
            if re.fullmatch(r"\d+", value):
                add(n.start(), n.end(), str(int(value) - 1), "probability changed")
            else:
                add(n.start(), n.end(), f"{float(value) - 0.1:.9g}", "probability changed")
    for m in re.finditer(r"\.uniform\(\)\s*(<=|<|>=|>)\s*([\w:.]+)", body):
        start = body_open + m.start(2)
        if code(start, start + len(m.group(2))):
            for shift in ("+", "-"):
                add(start, start + len(m.group(2)), f"({m.group(2)} {shift} 0.1f)", "probability changed")


def touched(statement: str) -> set[str]:
    """What a statement changes: what it assigns to (a.b.c), or the object whose member function it calls
    (a.b of a.b.f())."""
    lhs = LVALUE.match(statement.strip())
    if not lhs:
        return set()
    chain = re.sub(r"\s+", "", lhs.group(0)).lstrip("*")
    if ASSIGNMENT.match(statement.strip()[lhs.end():]) or re.match(r"\s*(\+\+|--)", statement.strip()[lhs.end():]):
        return {re.sub(r"\[[^\]]*\]|\([^)]*\)", "", chain)}
    receiver = re.sub(r"(?:::|\.|->)~?" + IDENTIFIER + r"(?:<[^;(){}]*>)?\([^;]*$", "", chain)
    return {receiver} if receiver != chain else set()


def mentioned(statement: str) -> set[str]:
    """The names and member chains a statement mentions."""
    return {chain.replace("->", ".") for chain in re.findall(IDENTIFIER + r"(?:(?:\.|->)" + IDENTIFIER + ")*", statement)}


def depends(first: str, second: str) -> bool:
    """Whether the order of two statements may matter: one changes something the other mentions, or a part
    or a whole of it."""
    calls = [not ASSIGNMENT.match(s.strip()[LVALUE.match(s.strip()).end():]) if LVALUE.match(s.strip()) else False
             for s in (first, second)]
    if all(calls) and touched(first) == touched(second):
        return False  # two requests to one object (set this key, set that one): each stands alone
    for a, b in ((first, second), (second, first)):
        for changed in touched(a):
            changed = changed.replace("->", ".")
            for seen in mentioned(b):
                if changed == seen or changed.startswith(seen + ".") or seen.startswith(changed + "."):
                    return True
    return False


def reached(text: str, at: int) -> str:
    """How the name at `at` is reached: '.' as a member, '::Q' qualified by Q, '' as a plain name."""
    before = text[max(0, at - 60):at]
    if re.search(r"(\.|->)\s*$", before):
        return "."
    qualified = re.search(r"(\w+)::\s*$", before)
    return "::" + qualified.group(1) if qualified else ""


def declares(text: str, mask: list[bool], at: int) -> bool:
    """Whether the plain name at `at` is being declared: a type stands right before it."""
    before = text[max(0, at - 80):at]
    m = re.search(r"([\w>])\s*(&&|&|\*)?\s+$", before) or re.search(r"([\w>])(&&|&|\*)\s*$", before)
    if not m:
        return False
    if m.group(1) == ">":
        return not before[:m.start(1) + 1].endswith(" >")
    word = re.search(r"(\w+)\s*(&&|&|\*)?\s*$", before).group(1)
    return word not in NOT_A_TYPE and not word.isdigit()


HEADERS: list[str] = []


def header_texts() -> list[str]:
    """The game's headers, read once: where its records and their members are declared."""
    if not HEADERS:
        HEADERS.extend(p.read_text(encoding="latin-1") for folder in DEFAULT_TARGETS
                       for p in sorted((REPO / folder).glob("*.hpp")))
    return HEADERS


def mutants_of(path: str, text: str, wanted: set[str] | None, unwanted: set[str] = frozenset()) -> list[mutant]:
    mask = code_mask(text)
    found: list[mutant] = []
    known = records.read(header_texts() + [text])
    all_regions = regions(text, mask)
    users: dict[str, set[int]] = {}  # name -> the definitions that use it (-1: outside every one)
    for m in re.finditer(r"(?<![\w'])" + IDENTIFIER, text):
        if mask[m.start()]:
            inside = next((k for k, r in enumerate(all_regions) if r.start <= m.start() < r.end), -1)
            users.setdefault(m.group(0), set()).add(inside)
    file_level = {name for name, where in users.items() if len(where) > 1 or -1 in where}
    line_starts = [0] + [i + 1 for i, c in enumerate(text) if c == "\n"]

    def line_of(offset: int) -> int:
        lo, hi = 0, len(line_starts) - 1
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if line_starts[mid] <= offset:
                lo = mid
            else:
                hi = mid - 1
        return lo + 1

    def code(start: int, end: int) -> bool:
        return all(mask[start:end])

    for r in all_regions:
        if wanted is not None and r.name not in wanted and r.name.split("::")[0] not in wanted:
            continue
        if r.name in unwanted:
            continue
        body = text[r.start:r.end]
        base = r.start

        def add(start: int, end: int, replacement: str, operator: str) -> None:
            found.append(mutant(path, line_of(start), start, end, replacement, operator, where=r.name))

        for m in BINARY.finditer(body):
            start, end = base + m.start(), base + m.end()
            if not code(start - 1, end + 1):
                continue
            op = m.group(1)
            before, after = text[start - 2], text[end + 1] if end + 1 < len(text) else ""
            if op in ("<", ">") and (before in "<>-=" or after in "<>="):
                continue
            if op in ("+", "-") and (before == '"' or after == '"'):
                continue  # a string being joined: the compiler would refuse the change anyway
            for replacement in RELATIONAL.get(op, OTHER_BINARY.get(op, [])):
                add(start, end, replacement, f"{op} -> {replacement}")

        for m in NUMBER.finditer(body):
            start, end = base + m.start(), base + m.end()
            if not code(start, end):
                continue
            line_text = text[line_starts[line_of(start) - 1]:text.find("\n", start)]
            if re.search(r"\b(static_assert|alignas|template)\b", line_text):
                continue
            previous = text[max(0, start - 30):start]
            if re.search(r"[\w:]<[^<>;()]*$", previous):  # a template argument, not a value
                continue
            replacement = nudged(m.group(1), m.group(2) or "")
            if replacement is not None:
                add(start, end, replacement, "literal nudged")

        for m in re.finditer(r"\b(if|while)\s*\(", body):
            start = base + m.start()
            if not code(start, base + m.end()) or re.match(r"if\s+constexpr", text[start:start + 14]):
                continue
            open_at = base + m.end() - 1
            close_at = matching(text, mask, open_at)
            if close_at < 0:
                continue
            condition = text[open_at + 1:close_at]
            if ";" in condition:
                continue
            found.append(mutant(path, line_of(open_at), open_at, close_at + 1, f"(!({condition}))",
                                f"{m.group(1)} condition negated", where=r.name))

        for m in re.finditer(r"(?m)^[ \t]*(?=[A-Za-z_:])", body):
            start = base + m.end()
            if not mask[start]:
                continue
            head = re.match(r"(" + IDENTIFIER + r"(?:(?:::|\.|->)~?" + IDENTIFIER + r")*)(<[^;(){}]*>)?\(", text[start:])
            if not head or head.group(1) in KEYWORDS_BEFORE_CALL or head.group(1) in ("if", "for", "while", "switch", "catch"):
                continue
            end = statement_end(text, mask, start)
            if end < 0 or end >= r.end:
                continue
            statement = text[start:end + 1]
            close_at = matching(text, mask, start + len(head.group(0)) - 1)
            if close_at < 0 or text[close_at + 1:end].strip() not in ("",):
                continue  # not a plain call: an assignment, a declaration, a chain
            add(start, end + 1, ";", "call removed")

        for m in re.finditer(r"\breturn\b", body):
            start = base + m.start()
            if not code(start, start + 6):
                continue
            end = statement_end(text, mask, start)
            if end < 0:
                continue
            value = text[start + 6:end].strip()
            if value == "":
                continue
            if value in ("true", "false"):
                add(start, end + 1, "return " + ("false" if value == "true" else "true") + ";", "return value changed")
            elif not re.fullmatch(r'\{\}|0|0\.0f?|nullptr|std::nullopt|""|[\w:]+\{\}', value):
                add(start, end + 1, "return {};", "return value changed")  # not what {} would give anyway

        new_kinds(text, mask, r, add, known, file_level)

    found.sort(key=lambda x: (x.start, x.operator, x.replacement))
    for m in found:
        first = line_starts[m.line - 1]
        last = text.find("\n", m.end)
        last = len(text) if last < 0 else last
        mutated = text[first:m.start] + m.replacement + text[m.end:last]
        first_line_end = text.find("\n", first)
        m.original_line = text[first:first_line_end if first_line_end >= 0 else len(text)]
        m.mutated_line = mutated.split("\n")[0]
        if m.operator in ("call removed", "statement removed"):
            m.mutated_line = (text[first:m.start] + ";").rstrip()
        elif m.operator == "statements swapped":  # both, on one line
            m.mutated_line = " ".join(part.strip() for part in mutated.split("\n") if part.strip())
    # One key per mutant: the same change twice on one line is told apart by its place on the line.
    seen: dict[str, int] = {}
    for m in found:
        k = m.key()
        seen[k] = seen.get(k, 0) + 1
        if seen[k] > 1:
            m.mutated_line += f"  [#{seen[k]}]"
    return found


def source_files(targets: list[str]) -> list[str]:
    """The .cpp files of the folders, and the files named. A header is mutated only when named: nearly every
    part of the game includes the headers, so each of their mutants rebuilds most of it (minutes, where a
    .cpp mutant takes seconds)."""
    files: list[str] = []
    for target in targets:
        path = (REPO / target).resolve()
        if path.is_dir():
            files += sorted(str(p.relative_to(REPO)) for p in path.rglob("*.cpp"))
        elif path.is_file():
            files.append(str(path.relative_to(REPO)))
        else:
            sys.exit(f"mutate: no such file or folder: {target}")
    return files


def all_mutants(files: list[str]) -> list[mutant]:
    found: list[mutant] = []
    for f in files:
        text = (REPO / f).read_text(encoding="latin-1")
        found += mutants_of(f, text, PLAIN_LOGIC_ONLY.get(f), OUTSIDE_UNIT_TESTS.get(f, set()))
    return found


def equivalents() -> dict[str, str]:
    listed: dict[str, str] = {}
    if not EQUIVALENTS.exists():
        return listed
    for raw in EQUIVALENTS.read_text(encoding="latin-1").splitlines():
        if not raw.strip() or raw.lstrip().startswith("#"):
            continue
        key, _, reason = raw.rpartition(" | ")
        if key.count(" | ") < 2 or not reason.strip():
            sys.exit(f"mutate: {EQUIVALENTS.name}: a line needs file | original | mutant | reason: {raw}")
        listed[key.strip()] = reason.strip()
    return listed


# ---------------------------------------------------------------------------------------------------------
# Building and running in a private folder


class workshop:
    """One private copy of the sources and its build, where mutants are made one at a time."""

    def __init__(self, folder: Path, make_jobs: int):
        self.folder = folder
        self.src = folder / "src"
        self.build = folder / "build"
        self.make_jobs = make_jobs
        self.mutated: str | None = None  # the file that holds a mutant, or did last

    def prepare(self) -> None:
        """Brings the copy to the working tree's state (restoring anything a killed run left mutated) and
        builds it."""
        tracked = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=REPO,
                                 capture_output=True, check=True).stdout.decode().split("\0")
        wanted = {f for f in tracked if f and (REPO / f).is_file()}
        for f in sorted(wanted):
            source, copy = REPO / f, self.src / f
            data = source.read_bytes()
            if not copy.exists() or copy.read_bytes() != data:
                copy.parent.mkdir(parents=True, exist_ok=True)
                copy.write_bytes(data)
                self.forget_objects_of(f)
        if self.src.exists():
            for copy in self.src.rglob("*"):
                rel = str(copy.relative_to(self.src))
                if copy.is_file() and rel not in wanted:
                    copy.unlink()
        self.build.mkdir(parents=True, exist_ok=True)
        configured = subprocess.run(
            ["cmake", "-S", str(self.src), "-B", str(self.build), "-DCMAKE_BUILD_TYPE=None",
             "-DCMAKE_CXX_FLAGS=-O1", "-DTOLVARAN_WERROR=OFF"],
            capture_output=True, text=True)
        if configured.returncode != 0:
            sys.exit("mutate: cmake failed:\n" + configured.stdout + configured.stderr)

    def forget_objects_of(self, path: str) -> None:
        """Deletes every object built from `path` (found in the compilers' dependency files), so that the
        next build compiles it again whatever the time stamps say."""
        if not self.build.exists():
            return
        source = str((self.src / path).resolve())
        for depfile in self.build.rglob("*.o.d"):
            try:
                if source in depfile.read_text(errors="replace"):
                    obj = depfile.with_suffix("")
                    if obj.exists():
                        obj.unlink()
            except OSError:
                pass

    def apply(self, m: mutant | None, original: dict[str, str]) -> None:
        if self.mutated is not None and (m is None or m.path != self.mutated):
            (self.src / self.mutated).write_bytes(original[self.mutated].encode("latin-1"))
            self.forget_objects_of(self.mutated)
            self.mutated = None
        if m is not None:
            text = original[m.path]
            (self.src / m.path).write_bytes((text[:m.start] + m.replacement + text[m.end:]).encode("latin-1"))
            self.forget_objects_of(m.path)
            self.mutated = m.path

    def compile(self) -> tuple[bool, str]:
        done = subprocess.run(["make", "-C", str(self.build), f"-j{self.make_jobs}", "unit_tests"],
                              capture_output=True, text=True, errors="replace")
        return done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]

    def run_tests(self, timeout: float, slow: list[str] | None = None) -> str:
        """'passed', 'failed' or 'timed out'. The quick tests run first, so that most mutants are caught in a
        fraction of the whole run."""
        phases = [["--gtest_filter=-" + ":".join(slow)], ["--gtest_filter=" + ":".join(slow)]] if slow else [[]]
        for phase in phases:
            outcome = self.run_test_program(phase, timeout)
            if outcome != "passed":
                return outcome
        return "passed"

    def test_programs(self) -> list[Path]:
        """Each folder's unit test program; the mutated folder's first, where most mutants are caught."""
        programs = sorted(p for p in (self.build / "tests").glob("unit_*") if p.is_file() and os.access(p, os.X_OK))
        if self.mutated is not None:
            first = "unit_" + self.mutated.split("/")[0]
            programs.sort(key=lambda p: p.name != first)
        return programs

    def run_test_program(self, arguments: list[str], timeout: float) -> str:
        """Runs every unit test program in turn with `arguments`, all within `timeout`."""
        give_up = time.monotonic() + timeout
        for program in self.test_programs():
            child = subprocess.Popen([str(program), "--gtest_fail_fast", "--gtest_brief=1", *arguments],
                                     cwd=self.build / "tests", stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True,
                                     env={**os.environ, "GTEST_COLOR": "no"})
            try:
                if child.wait(timeout=max(give_up - time.monotonic(), 0.1)) != 0:
                    return "failed"
            except subprocess.TimeoutExpired:
                return "timed out"
            finally:
                try:
                    os.killpg(child.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                child.wait()
        return "passed"

    def slow_tests(self) -> list[str]:
        """The tests that take a tenth of a second or more, from one timed run of the unmutated tests."""
        slow = []
        for program in self.test_programs():
            timing = self.folder / f"timing-{program.name}.json"
            subprocess.run([str(program), f"--gtest_output=json:{timing}"], cwd=self.build / "tests",
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=900)
            for suite in json.loads(timing.read_text())["testsuites"]:
                for test in suite["testsuite"]:
                    if float(test["time"].rstrip("s")) >= 0.1:
                        slow.append(f"{suite['name']}.{test['name']}")
        return slow


# ---------------------------------------------------------------------------------------------------------


def folder_of(path: str) -> str:
    return path.split("/")[0] + "/"


def summary_line(counts: dict[str, int]) -> str:
    caught = counts.get("killed", 0) + counts.get("timed out", 0)
    scored = caught + counts.get("survived", 0)
    score = 100.0 * caught / scored if scored else 100.0
    return (f"{score:5.1f} %  ({counts.get('killed', 0)} killed, {counts.get('timed out', 0)} timed out, "
            f"{counts.get('survived', 0)} survived; {counts.get('equivalent', 0)} equivalent and "
            f"{counts.get('not built', 0)} not built, not scored)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("targets", nargs="*", help="files or folders to mutate (default: " + " ".join(DEFAULT_TARGETS) + ")")
    parser.add_argument("--sample", type=int, help="run only N mutants drawn at random")
    parser.add_argument("--seed", type=int, default=1, help="the seed of the sample (default 1)")
    parser.add_argument("--list", action="store_true", help="show the mutants and run nothing")
    parser.add_argument("--kinds", help="only the mutants of these kinds, separated by commas (e.g. 'name swapped,"
                                        "statements swapped'; an operator such as '< -> <=' is a kind too)")
    parser.add_argument("--keys", action="store_true",
                        help="with --list: show each mutant as a line of the equivalents file, reason to be added")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="mutants built and tested at once")
    parser.add_argument("--folder", default=str(REPO / "build-mutate"), help="the private build folder")
    parser.add_argument("--timeout", type=float, help="seconds a test run may take (default: 20 times the "
                                                        "unmutated run, at least 60)")
    parser.add_argument("--report", help="write the results as JSON to this file")
    args = parser.parse_args()

    files = source_files(args.targets or DEFAULT_TARGETS)
    made = all_mutants(files)
    listed = equivalents()
    if not args.targets:  # every file was read: an entry that matches no mutant has gone stale
        for key in sorted(set(listed) - {m.key() for m in made}):
            print(f"mutate: {EQUIVALENTS.name} lists a mutant that is no longer made: {key}", file=sys.stderr)
    if args.kinds:
        made = [m for m in made if m.operator in {k.strip() for k in args.kinds.split(",")}]
    equivalent = [m for m in made if m.key() in listed]
    candidates = [m for m in made if m.key() not in listed]
    if args.sample is not None and args.sample < len(candidates):
        # Each mutant's place in the draw hangs on its own text and the seed alone, so that a change
        # elsewhere (a line added, a mutant listed as equivalent) leaves the rest of the sample as it was.
        # Mutants of the same text are told apart by their order in the file, not their offset, which any
        # line added above would move.
        nth: dict[str, int] = {}
        drawn = []
        for m in sorted(candidates, key=lambda m: (m.path, m.start, m.replacement)):
            nth[m.key()] = nth.get(m.key(), 0) + 1
            drawn.append((hashlib.sha256(f"{args.seed}|{m.key()}|{nth[m.key()]}".encode()).digest(), m))
        chosen = [m for _, m in sorted(drawn, key=lambda d: d[0])[: args.sample]]
        candidates = sorted(chosen, key=lambda m: (m.path, m.start, m.replacement))
    if args.list:
        for m in made:
            mark = "  (equivalent)" if m.key() in listed else ""
            print(m.key() + " | " if args.keys else m.shown() + mark)
        print(f"{len(made)} mutants in {len(files)} files, {len(equivalent)} of them listed as equivalent")
        return 0

    started = time.monotonic()
    Path(args.folder).mkdir(parents=True, exist_ok=True)
    folder_lock = open(Path(args.folder) / "lock", "w")  # held until the process ends
    try:
        fcntl.flock(folder_lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        sys.exit(f"mutate: another run is using {args.folder}")
    original = {f: (REPO / f).read_text(encoding="latin-1") for f in files}
    jobs = max(1, min(args.jobs, len(candidates) or 1))
    make_jobs = max(1, (os.cpu_count() or 1) // jobs)
    shops = [workshop(Path(args.folder) / f"worker-{i}", make_jobs) for i in range(jobs)]

    print(f"mutate: {len(candidates)} mutants to run ({len(made)} made, {len(equivalent)} equivalent), "
          f"{jobs} at a time, in {args.folder}", flush=True)

    baseline: list[float] = []
    slow: list[str] = []

    def prepare(shop: workshop) -> None:
        shop.prepare()
        built, output = shop.compile()
        if not built:
            sys.exit("mutate: the unmutated sources do not build:\n" + output)
        begun = time.monotonic()
        if shop.run_tests(timeout=900) != "passed":
            sys.exit("mutate: the unmutated unit tests fail; fix them first")
        baseline.append(time.monotonic() - begun)
        if shop is shops[0]:
            slow.extend(shop.slow_tests())

    threads = [threading.Thread(target=prepare, args=(s,)) for s in shops]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if len(baseline) != len(shops):
        return 2
    timeout = args.timeout or max(60.0, 20.0 * max(baseline))
    print(f"mutate: the unmutated tests pass in {max(baseline):.1f} s; a mutant's tests may take {timeout:.0f} s",
          flush=True)

    # Mutants of one file stay with one worker, so that each worker rebuilds a restored file only when it
    # moves on.
    by_file: dict[str, list[mutant]] = {}
    for m in candidates:
        by_file.setdefault(m.path, []).append(m)
    queues: list[list[mutant]] = [[] for _ in shops]
    for path in sorted(by_file, key=lambda p: -len(by_file[p])):
        min(queues, key=len).extend(by_file[path])

    results: list[tuple[mutant, str]] = []
    lock = threading.Lock()
    stop = threading.Event()

    def work(shop: workshop, queue: list[mutant]) -> None:
        for m in queue:
            if stop.is_set():
                break
            shop.apply(m, original)
            built, _ = shop.compile()
            outcome = "not built" if not built else {"passed": "survived", "failed": "killed",
                                                     "timed out": "timed out"}[shop.run_tests(timeout, slow)]
            with lock:
                results.append((m, outcome))
                done = len(results)
                if outcome == "survived":
                    print(f"  survived: {m.shown()}", flush=True)
                if done % 25 == 0 or done == len(candidates):
                    elapsed = time.monotonic() - started
                    print(f"mutate: {done}/{len(candidates)} run, {elapsed / 60:.1f} min", flush=True)
        shop.apply(None, original)

    def interrupted(signum, frame):  # noqa: ARG001
        stop.set()
        print("mutate: interrupted; finishing the mutants being run", flush=True)

    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)
    threads = [threading.Thread(target=work, args=(s, q)) for s, q in zip(shops, queues)]
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        for t in threads:
            t.join(timeout=0.5)

    # The restored sources must still pass: otherwise some result above may not be the mutant's alone.
    sane = True
    for shop in shops:
        built, _ = shop.compile()
        if not built or shop.run_tests(timeout, slow) != "passed":
            sane = False
            print(f"mutate: the restored sources in {shop.folder} no longer pass; results are not trustworthy")

    elapsed = time.monotonic() - started
    counts: dict[str, int] = {"equivalent": len(equivalent)}
    per_folder: dict[str, dict[str, int]] = {}
    for m, outcome in results:
        counts[outcome] = counts.get(outcome, 0) + 1
        folder = per_folder.setdefault(folder_of(m.path), {"equivalent": 0})
        folder[outcome] = folder.get(outcome, 0) + 1
    for m in equivalent:
        per_folder.setdefault(folder_of(m.path), {"equivalent": 0})["equivalent"] += 1

    survivors = sorted((m for m, outcome in results if outcome == "survived"), key=lambda m: (m.path, m.line))
    print()
    for folder in sorted(per_folder):
        print(f"  {folder:<10} {summary_line(per_folder[folder])}")
    print()
    for m in survivors:
        print(f"survived: {m.shown()}")
    print(f"mutation score {summary_line(counts)}; {len(results)} mutants run of {len(made)} made, "
          f"{elapsed / 60:.1f} min")
    if args.report:
        Path(args.report).write_text(json.dumps({
            "made": len(made), "run": len(results), "minutes": round(elapsed / 60, 1), "counts": counts,
            "folders": per_folder, "survivors": [m.shown() for m in survivors],
            "results": [{"mutant": m.shown(), "outcome": o} for m, o in results],
        }, indent=1))
    if not sane or stop.is_set():
        return 2
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
