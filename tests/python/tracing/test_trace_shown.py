"""What a trace shows is what the roll computed, for every expression.

Over generated expressions with every modifier kind and chains of them, each of the four
forms (``text()``, ``markdown()``, ``ansi()``, ``to_dict()``) is read back by the
readers of ``trace_reading`` (see there for what they check), which know the forms'
marks but nothing of how the formatter finds them.

The expressions come from a generator with a fixed seed; the faces too, given through
``replay``, so every run checks the same rolls and a failure names its expression and
faces.
"""

from __future__ import annotations

import random
import re
from collections import Counter
from collections.abc import Callable

import pytest
from trace_reading import check_data, check_forms, counting, read_form

from kavelo import ResourcePolicy, Trace, replay

SEED = 20240523
EXPRESSIONS = 10_000
# A tight generated_values limit ends endless explosions and rerolls quickly (they are
# skipped: they have no trace), and bounds the faces a replay may take.
POLICY = ResourcePolicy().with_limit("generated_values", 400)

FLAGS = ["!", "e", "u", "s"]
VALUED = ["K", "r", "ro", "R", "a", "k", "kh", "kl", "dh", "dl", "c"]


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
    # Now and then a comment, which the forms show first.
    comment = rng.choice(["", "", "", "", " # to hit: 1d6 (6) = 6", " # ~~x~~ **y** → 3"])
    return "".join(parts) + comment, low


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
    derived: Counter[tuple[str, str]] = Counter(
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

    def read() -> None:
        terms, total, evaluated = read_form(line, style)
        assert total == evaluated
        for term in terms:
            shown = Counter(v.value for v in counting(term))
            assert shown == Counter(term_values[term.notation])

    with pytest.raises(AssertionError):
        read()
