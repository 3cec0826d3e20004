"""Reading the shown forms of a trace back, for the trace property test and the trace
fuzz target.

Each form (``text()``, ``markdown()``, ``ansi()``) is parsed by a reader that knows its
marks (struck, bold, the total) but nothing of how the formatter finds them, and the
plain data (``to_dict()``) is checked on its own terms:

- in each term, the values shown as counting are exactly the term's values;
- every count shown (``→ n``) is the number of counting values before it, or struck
  with all of them;
- the expression as shown, each term standing for the sum of its counting values,
  evaluates to the total shown, which is the result's total;
- critical faces (1 or the die's sides) are bold exactly where they count;
- in the plain data, the values kept are the term's values, every sum is the sum of
  its inputs, every count the number of its counted inputs, and nothing counts through
  a sum or count that was removed.

Every check is an ``assert``: a misstated roll raises ``AssertionError``.
"""

from __future__ import annotations

import re
from collections import Counter
from dataclasses import dataclass
from typing import Any

from kavelo import Trace
from kavelo.tracing.forms import format_trace

ARROW = " \N{RIGHTWARDS ARROW} "


@dataclass
class Shown:
    """One value as a form shows it."""

    value: int
    struck: bool


@dataclass
class ShownTerm:
    notation: str
    sides: int
    values: list[Shown]  # the faces and sums, in the order shown
    counts: list[Shown]  # each "→ n", in order


@dataclass
class Marks:
    """The marks of one form: how a struck value, a bold face and the total look."""

    struck: re.Pattern[str]  # the whole item struck; group 1 the inside
    bold: re.Pattern[str]  # one bold face; group 1 the number
    total: re.Pattern[str]  # the end of the line; group 1 the total
    has_bold: bool


MARKS: dict[str, Marks] = {
    "text": Marks(re.compile(r"^~(.+)~$"), re.compile(r"^$"), re.compile(r" = (-?\d+)$"), False),
    "markdown": Marks(
        re.compile(r"^~~(.+)~~$"),
        re.compile(r"^\*\*(\d+)\*\*$"),
        re.compile(r" = `(-?\d+)`$"),
        True,
    ),
    "ansi": Marks(
        re.compile(r"^\x1b\[2;9m(.+)\x1b\[0m$"),
        re.compile(r"^\x1b\[1m(\d+)\x1b\[0m$"),
        re.compile(r" = \x1b\[1m(-?\d+)\x1b\[0m$"),
        True,
    ),
}

TERM = re.compile(r"(\d+d(\d+)[^\s()]*) \(([^()]*)\)")


def read_value(item: str, sides: int, marks: Marks, where: str) -> Shown:
    """One item: a face, or faces joined by "+", each maybe followed by "!"; struck as a
    whole, or with bold faces exactly where a counting face is critical."""
    if "+" not in item:
        item = item.removesuffix("!")  # a single face is struck before its "!"
    whole = marks.struck.match(item)
    struck = whole is not None
    if whole:
        item = whole.group(1)
    total = 0
    for piece in item.split("+"):
        piece = piece.removesuffix("!")
        bold = marks.bold.match(piece)
        if bold:
            number = int(bold.group(1))
            assert not struck, f"{where}: a struck value shows a bold face: {item!r}"
            assert number in (1, sides), f"{where}: bold face {number} is no critical"
        else:
            assert re.fullmatch(r"\d+", piece), f"{where}: cannot read {piece!r} in {item!r}"
            number = int(piece)
            assert not (marks.has_bold and not struck and number in (1, sides)), (
                f"{where}: critical face {number} is not bold"
            )
        total += number
    return Shown(total, struck)


def read_count(item: str, marks: Marks, where: str) -> Shown:
    struck = marks.struck.match(item)
    shown = struck.group(1) if struck else item
    assert re.fullmatch(r"\d+", shown), f"{where}: cannot read count {item!r}"
    return Shown(int(shown), struck is not None)


def read_form(line: str, style: str) -> tuple[list[ShownTerm], int, int]:
    """The terms a line shows, the total it shows, and the total its expression
    evaluates to with each term standing for the sum of its counting values."""
    marks = MARKS[style]
    total_match = marks.total.search(line)
    assert total_match, f"no total in {line!r}"
    body = line[: total_match.start()]
    terms: list[ShownTerm] = []
    tokens: list[int | str] = []
    i = 0
    operand_before = False
    while i < len(body):
        if body[i] == " ":
            i += 1
            continue
        term = TERM.match(body, i)
        if term:
            notation, sides, inside = term.group(1), int(term.group(2)), term.group(3)
            where = f"{style} {notation}"
            segments = inside.split(ARROW)
            values = [read_value(item, sides, marks, where) for item in segments[0].split(", ")]
            counts = [read_count(item, marks, where) for item in segments[1:]]
            terms.append(ShownTerm(notation, sides, values, counts))
            tokens.append(sum(v.value for v in counting(terms[-1])))
            i = term.end()
            operand_before = True
            continue
        number = re.compile(r"-?\d+").match(body, i)
        if number and not (operand_before and body[i] == "-"):
            tokens.append(int(number.group()))
            i = number.end()
            operand_before = True
            continue
        assert body[i] in "+-*/^()", f"cannot read {body[i:]!r} of {line!r}"
        tokens.append(body[i])
        operand_before = body[i] == ")"
        i += 1
    return terms, int(total_match.group(1)), evaluate(tokens)


def counting(term: ShownTerm) -> list[Shown]:
    """The values that count: after the last count (or all of them), not struck; and
    every count checked against what stands before it."""
    segment = term.values
    for count in term.counts:
        counted = sum(1 for v in segment if not v.struck)
        if count.struck:
            assert counted == 0, f"{term.notation}: a struck count leaves {counted} counted"
        else:
            assert counted == count.value, (
                f"{term.notation}: count shows {count.value}, {counted} shown counted"
            )
        segment = [count]
    return [v for v in segment if not v.struck]


def evaluate(tokens: list[int | str]) -> int:
    """Left to right, no precedence, parentheses grouping; division toward zero."""
    position = 0

    def operand() -> int:
        nonlocal position
        token = tokens[position]
        position += 1
        if token == "(":
            value = chain()
            assert tokens[position] == ")"
            position += 1
            return value
        assert isinstance(token, int), tokens
        return token

    def chain() -> int:
        nonlocal position
        value = operand()
        while position < len(tokens) and tokens[position] != ")":
            op = tokens[position]
            position += 1
            right = operand()
            if op == "+":
                value += right
            elif op == "-":
                value -= right
            elif op == "*":
                value *= right
            elif op == "/":
                quotient = abs(value) // abs(right)
                value = quotient if (value < 0) == (right < 0) else -quotient
            else:
                value **= right
        return value

    result = chain()
    assert position == len(tokens), tokens
    return result


def flat(groups: list[list[int]]) -> Counter[int]:
    return Counter(v for group in groups for v in group)


def check_forms(t: Trace) -> None:
    """The three shown forms against the trace's values and total. The comment, which
    comes first, is left out of the reading."""
    assert [v for term in t.terms for v in term.values] == t.result["rolls"]
    for style, form in (("text", t.text), ("markdown", t.markdown), ("ansi", t.ansi)):
        line = format_trace(t, style, comment=False)  # type: ignore[arg-type]
        assert form().endswith(line), (style, form(), line)
        shown, shown_total, evaluated = read_form(line, style)
        assert shown_total == t.total == evaluated, (style, shown_total, evaluated)
        assert len(shown) == len(t.terms), style
        for term, seen in zip(t.terms, shown, strict=True):
            assert seen.notation == term.notation
            values = Counter(v.value for v in counting(seen))
            assert values == flat(term.values), (style, term.notation, values)


def check_data(t: Trace) -> None:
    """The plain data alone: what it keeps, sums and counts."""
    removed = {"dropped", "rerolled", "duplicate", "uncounted"}
    for term in t.to_dict()["terms"]:  # type: ignore[attr-defined]
        faces: list[dict[str, Any]] = term["faces"]
        derived: list[dict[str, Any]] = term["derived"]
        kept = [f["value"] for f in faces + derived if f["fate"] == "kept"]
        assert Counter(kept) == flat(term["values"]), term["notation"]
        for record in faces + derived:
            assert (record["fate"] == "kept") == (record["by"] is None), record
            if record["fate"] in ("added", "counted"):
                target = derived[record["into"]]
                assert target["fate"] not in removed, (term["notation"], record, target)
                assert target["kind"] == ("sum" if record["fate"] == "added" else "count")
        for index, value in enumerate(derived):
            inputs = [r for r in faces + derived if r["into"] == index]
            if value["fate"] in removed:
                assert all(r["fate"] in removed for r in inputs), (term["notation"], value)
            if value["kind"] == "sum":
                assert value["value"] == sum(r["value"] for r in inputs), term["notation"]
                assert value["made_by"].startswith("a") and value["die"] is not None
            else:
                counted = [r for r in inputs if r["fate"] == "counted"]
                target = int(value["made_by"][1:])
                if value["fate"] not in removed:
                    assert value["value"] == len(counted), (term["notation"], value)
                assert len(counted) <= value["value"], (term["notation"], value)
                assert all(r["value"] == target for r in counted), term["notation"]
