"""What a trace shows is what the roll computed, for every expression.

Over generated expressions with every modifier kind and chains of them, each of the four
forms (``text()``, ``markdown()``, ``ansi()``, ``to_dict()``) is read back by a parser of
its own, which knows the forms' marks but nothing of how the formatter finds them:

- in each term, the values shown as counting are exactly the term's values;
- every count shown (``→ n``) is the number of counting values before it, or struck
  with all of them;
- the expression as shown, each term standing for the sum of its counting values,
  evaluates to the total shown, which is the result's total;
- in the plain data, the values kept are the term's values, every sum is the sum of
  its inputs, every count the number of its counted inputs, and nothing counts through
  a sum or count that was removed.

The expressions come from a generator with a fixed seed; the faces too, given through
``replay``, so every run checks the same rolls and a failure names its expression and
faces.
"""

from __future__ import annotations

import random
import re
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest

from kavelo import ResourcePolicy, Trace, replay

SEED = 20240523
EXPRESSIONS = 10_000
# A tight generated_values limit ends endless explosions and rerolls quickly (they are
# skipped: they have no trace), and bounds the faces a replay may take.
POLICY = ResourcePolicy().with_limit("generated_values", 400)

FLAGS = ["!", "e", "u", "s"]
VALUED = ["K", "r", "ro", "R", "a", "k", "kh", "kl", "dh", "dl", "c"]
ARROW = " \N{RIGHTWARDS ARROW} "


# ---- Generated expressions ---------------------------------------------------------


def modifier(rng: random.Random, sides: int) -> str:
    if rng.random() < 0.2:
        return rng.choice(FLAGS)
    kind = rng.choice(VALUED)
    if kind == "c":
        # Counts of faces, of sums, of earlier counts (0 to a few) and of nothing; now
        # and then counted again at once.
        value = rng.choice([rng.randint(0, sides), rng.randint(2, 2 * sides + 1), -1])
        again = f"c{rng.randint(0, 2)}" if rng.random() < 0.3 else ""
        return f"c{value}{again}"
    if kind in ("r", "ro", "R", "a"):
        value = rng.choice([rng.randint(1, sides), rng.randint(1, 2 * sides + 2), 0, -1])
        # Sums added into later sums.
        again = f"a{rng.randint(sides, 3 * sides)}" if kind == "a" and rng.random() < 0.3 else ""
        return f"{kind}{value}{again}"
    value = rng.choice([rng.randint(0, 4), rng.randint(0, 10), -1])
    return f"{kind}{value}"


def dice_term(rng: random.Random, sides: int) -> str:
    chain = rng.choice([0, 1, 2, 2, 3, 3, 4, 5, 6])
    mods = "".join(modifier(rng, sides) for _ in range(chain))
    return f"{rng.randint(1, 7)}d{sides}{mods}"


def expression(rng: random.Random) -> tuple[str, int]:
    """An expression and the largest face every one of its dice can show."""
    low = rng.choice([1, 2, 2, 3, 3, 4, 6, 6, 8, 10, 20])
    parts: list[str] = []
    for i in range(rng.choice([1, 1, 1, 2, 2, 3])):
        sides = low if rng.random() < 0.7 else rng.randint(low, low + 6)
        operand = dice_term(rng, sides) if rng.random() < 0.85 else str(rng.randint(-5, 9))
        if rng.random() < 0.15:
            operand = f"({operand})"
        parts.append(operand if i == 0 else rng.choice("+-*") + operand)
    if not any("d" in part for part in parts):
        parts.append("+" + dice_term(rng, low))
    return "".join(parts), low


LEFT_OVER = re.compile(r"^\d+ of the \d+ faces left over: the expression draws only (\d+)$")


def replayed(text: str, low: int, rng: random.Random) -> Trace | None:
    """The trace of `text` with faces from `rng`, or None when it has none (a limit,
    an overflow): faces are added until there are enough, then cut to those drawn."""
    faces = [rng.randint(1, low) for _ in range(16)]
    while True:
        try:
            return replay(text, faces, POLICY)
        except ValueError as error:
            message = str(error)
            left_over = LEFT_OVER.match(message)
            if left_over:
                faces = faces[: int(left_over.group(1))]
            elif message.startswith("the expression draws more faces"):
                faces += [rng.randint(1, low) for _ in range(len(faces))]
            else:
                return None


# ---- Reading the shown forms back ---------------------------------------------------


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
    assert [v for term in t.terms for v in term.values] == t.result["rolls"]
    for style, form in (("text", t.text), ("markdown", t.markdown), ("ansi", t.ansi)):
        shown, shown_total, evaluated = read_form(form(), style)
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


# ---- The property, and its generator -------------------------------------------------


def generated(count: int, seed: int) -> list[tuple[str, Trace]]:
    rng = random.Random(seed)
    traces: list[tuple[str, Trace]] = []
    attempts = 0
    while len(traces) < count:
        attempts += 1
        assert attempts < 3 * count, "too few generated expressions have a trace"
        text, low = expression(rng)
        t = replayed(text, low, rng)
        if t is not None:
            traces.append((text, t))
    return traces


@pytest.fixture(scope="module")
def traces() -> list[tuple[str, Trace]]:
    return generated(EXPRESSIONS, SEED)


def test_the_generator_reaches_every_modifier_kind_and_fate(
    traces: list[tuple[str, Trace]],
) -> None:
    written = re.compile(r"(ro|kh|kl|dh|dl|[KrRakc])-?\d+|([!eus])")
    modifiers = Counter(
        valued or flag
        for _, t in traces
        for term in t.terms
        for valued, flag in written.findall(term.modifiers)
    )
    assert set(modifiers) == set(FLAGS + VALUED)
    fates = Counter(f.fate for _, t in traces for term in t.terms for f in term.faces)
    assert all(fates[fate] > 100 for fate in ("kept", "dropped", "rerolled", "duplicate")), fates
    assert all(fates[fate] > 100 for fate in ("added", "counted", "uncounted")), fates
    derived = Counter(
        (d.kind, d.fate) for _, t in traces for term in t.terms for d in term.derived
    )
    # Sums and counts that later modifiers kept, removed, added or counted.
    for seen in [("sum", "dropped"), ("sum", "rerolled"), ("sum", "added"), ("sum", "counted")]:
        assert derived[seen] > 20, derived
    for seen in [("count", "dropped"), ("count", "counted"), ("count", "uncounted")]:
        assert derived[seen] > 20, derived


@pytest.mark.parametrize("check", [check_forms, check_data], ids=["forms", "data"])
def test_what_is_shown_counting_is_the_terms_values(
    traces: list[tuple[str, Trace]], check: Callable[[Trace], None]
) -> None:
    failures = []
    for text, t in traces:
        try:
            check(t)
        except AssertionError as error:
            failures.append(f"replay({text!r}, {t.faces()}): {error}")
    assert not failures, f"{len(failures)} of {len(traces)} fail, first:\n" + "\n".join(
        failures[:5]
    )


@pytest.mark.parametrize(
    "line,style",
    [
        # Each of these misstates its roll, and the reader must say so.
        ("2d6a6kh1 (3+4, 2+1) = 7", "text"),  # a dropped sum shown counting
        ("1d6a2a8 (1+1, 4) = 6", "text"),  # one value shown as two
        ("6d8c8dl1 (8, 8, ~1~, ~2~, ~3~, ~4~ → ~2~) = 0", "text"),  # counted by a dropped count
        ("3d3c5c0 (~1~, ~2~, ~3~ → 1) = 1", "text"),  # a count that counts nothing shown
        ("5d6c6 (6, ~2~, 6, ~1~, ~3~ → 3) = 3", "text"),  # a count of 2 shown as 3
        ("2d20kh1 (~~4~~, 20) + 5 = `25`", "markdown"),  # a critical not bold
        ("2d20kh1 (~~**4**~~, **20**) + 5 = `25`", "markdown"),  # a struck face in bold
        ("2d20kh1 (4, **20**) + 5 = `25`", "markdown"),  # the dropped face counting
        ("1d6 (3) * 2 = 7", "text"),  # the shown expression does not give the total
    ],
)
def test_the_reader_catches_misstated_rolls(line: str, style: str) -> None:
    term_values = {"2d6a6kh1": [7], "1d6a2a8": [6], "6d8c8dl1": [], "3d3c5c0": [1]}
    term_values |= {"5d6c6": [2], "2d20kh1": [20], "1d6": [3]}
    with pytest.raises(AssertionError):
        terms, total, evaluated = read_form(line, style)
        assert total == evaluated
        for term in terms:
            shown = Counter(v.value for v in counting(term))
            assert shown == Counter(term_values[term.notation])
