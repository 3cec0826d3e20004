"""kavelo.odds against exact enumeration: every draw sequence of every die in fractions
(odds_reference.py), for every modifier kind, every ordered pair of kinds, the
arithmetic and its failures, and generated expressions. Each probability must match
within 1e-12, plus the mass either side leaves out of endless explosions."""

from __future__ import annotations

import itertools
import random
from fractions import Fraction

import odds_reference as ref
import pytest

import kavelo

KINDS = list(ref.MODIFIER_TEXT)
EXPLODING = {"explode", "explode_alias"}
# A representative n per kind for the pairs: small enough to matter on small dice.
PAIR_N = {
    "explode_keep_high": 2,
    "reroll": 1,
    "reroll_once": 2,
    "reroll_until": 1,
    "reroll_add": 1,
    "keep_alias": 2,
    "keep_high": 2,
    "keep_low": 2,
    "drop_high": 1,
    "drop_low": 1,
    "count": 2,
}


def assert_matches(node: ref.Node, cut: Fraction = Fraction(1, 10**14)) -> kavelo.Odds:
    expected = ref.odds(node, cut)
    got = kavelo.odds(ref.text_of(node))
    slack = 1e-12 + float(expected.cut) + got.truncated
    text = ref.text_of(node)
    for outcome in set(got.pmf) | set(expected.pmf):
        want = float(expected.pmf.get(outcome, 0))
        assert abs(got.probability(outcome) - want) <= slack, (
            text,
            outcome,
            got.probability(outcome),
            want,
        )
    for code in set(got.failures) | set(expected.failures):
        want = float(expected.failures.get(code, 0))
        assert abs(got.failures.get(code, 0.0) - want) <= slack, (text, code)
    if expected.cut == 0 and got.truncated == 0:
        # Without explosions the outcomes are exactly the possible totals.
        assert set(got.pmf) == {k for k, v in expected.pmf.items() if v > 0}, text
        assert set(got.failures) == set(expected.failures), text
    total = sum(got.pmf.values()) + sum(got.failures.values()) + got.truncated
    assert abs(total - 1) <= 1e-12, text
    assert got.truncated <= 1e-15 * 1.01
    assert list(got.pmf) == sorted(got.pmf)
    return got


def dice(count: int, sides: int, *mods: tuple[str, int]) -> ref.Node:
    return ("dice", count, sides, tuple(mods))


SINGLE = [
    (kind, n, count, sides)
    for kind in KINDS
    for n in ((0,) if kind in ref.FLAGS else (-1, 0, 1, 2, 5))
    for count, sides in ((2, 3), (3, 4), (1, 5))
    if not (kind == "reroll_until" and n >= sides) and not (kind in EXPLODING and count > 2)
]


@pytest.mark.parametrize("kind,n,count,sides", SINGLE)
def test_every_kind_alone(kind: str, n: int, count: int, sides: int) -> None:
    assert_matches(dice(count, sides, (kind, n)))


@pytest.mark.parametrize("first,second", list(itertools.product(KINDS, KINDS)))
def test_every_ordered_pair(first: str, second: str) -> None:
    explodes = first in EXPLODING or second in EXPLODING
    count, sides = (2, 3) if explodes else (3, 4)
    assert_matches(
        dice(count, sides, (first, PAIR_N.get(first, 0)), (second, PAIR_N.get(second, 0))),
        cut=Fraction(1, 10**13),
    )


@pytest.mark.parametrize(
    "node",
    [
        # Keep, drop, unique and count on exploding dice: every face of a group is in the pool.
        dice(2, 3, ("explode", 0), ("keep_high", 1)),
        dice(2, 4, ("explode", 0), ("keep_low", 1)),
        dice(2, 3, ("explode", 0), ("unique", 0)),
        dice(2, 3, ("explode", 0), ("count", 3)),
        dice(2, 3, ("explode", 0), ("keep_high", 2), ("keep_low", 1)),
        dice(2, 3, ("explode", 0), ("reroll_once", 3), ("keep_low", 1)),
        dice(2, 3, ("explode", 0), ("reroll_add", 2), ("drop_low", 1)),
        # k acts first wherever it stands; a negative n counts as more than any pool.
        dice(4, 3, ("keep_high", 3), ("keep_alias", 1)),
        dice(4, 3, ("drop_low", -1), ("count", 0)),
        dice(4, 3, ("keep_high", -2)),
        # Chains of three and four pool steps, and a count followed by more steps.
        dice(4, 4, ("unique", 0), ("keep_low", 2), ("keep_high", 1)),
        dice(4, 3, ("drop_high", 1), ("unique", 0), ("drop_low", 1)),
        dice(4, 3, ("count", 2), ("keep_high", 1), ("count", 1)),
        dice(4, 3, ("keep_high", 0), ("count", 0)),
        dice(3, 4, ("reroll", 1), ("reroll_once", 2), ("reroll_add", 2), ("keep_high", 2)),
        dice(3, 4, ("reroll_until", 2), ("unique", 0), ("sort", 0), ("count", 3)),
        dice(3, 4, ("reroll_add", 4), ("reroll_add", 5), ("keep_low", 2)),
        dice(1, 1, ("reroll_add", 1), ("reroll_add", 2)),
        dice(5, 1, ("count", 1)),
    ],
    ids=ref.text_of,
)
def test_chains(node: ref.Node) -> None:
    assert_matches(node)


def test_three_exploding_dice_keep_two() -> None:
    # Enumerating three exploding dice is costly: the reference stops earlier here.
    assert_matches(dice(3, 3, ("explode", 0), ("keep_high", 2)), cut=Fraction(1, 10**10))


@pytest.mark.parametrize(
    "node,failures",
    [
        (
            ("op", "/", ("num", 10), ("paren", ("op", "-", dice(1, 4), ("num", 1)))),
            {"arithmetic.divide_by_zero"},
        ),
        (
            ("op", "^", ("num", 2), ("paren", ("op", "-", dice(1, 3), ("num", 2)))),
            {"arithmetic.invalid_exponent"},
        ),
        (("op", "+", ("num", 2**63 - 2), dice(1, 3)), {"arithmetic.overflow"}),
        (
            ("op", "/", ("num", -(2**63)), ("paren", ("op", "-", dice(1, 2), ("num", 2)))),
            {"arithmetic.overflow", "arithmetic.divide_by_zero"},
        ),
        (("op", "^", dice(1, 3), ("num", 63)), {"arithmetic.overflow"}),
        (("op", "*", dice(1, 2, ("explode", 0)), ("num", 2**62)), {"arithmetic.overflow"}),
        # A failing left operand stops the roll before the right one.
        (
            (
                "op",
                "+",
                ("paren", ("op", "/", ("num", 1), ("paren", ("op", "-", dice(1, 2), ("num", 1))))),
                ("paren", ("op", "/", ("num", 1), ("paren", ("op", "-", dice(1, 2), ("num", 2))))),
            ),
            {"arithmetic.divide_by_zero"},
        ),
        (("op", "-", dice(0, 6), ("num", 1)), {ref.INVALID_DICE}),
        (("op", "*", dice(2, 3), dice(-1, 6)), {ref.INVALID_DICE}),
    ],
    ids=lambda x: ref.text_of(x) if isinstance(x, tuple) else "",
)
def test_failures(node: ref.Node, failures: set[str]) -> None:
    got = assert_matches(node)
    assert set(got.failures) == failures


@pytest.mark.parametrize(
    "node",
    [
        ("op", "-", dice(1, 6), dice(1, 6)),
        (
            "op",
            "*",
            ("paren", ("op", "-", dice(1, 6), ("num", 3))),
            ("paren", ("op", "-", dice(1, 6), ("num", 3))),
        ),
        ("op", "/", ("num", -7), dice(1, 4)),
        ("op", "/", ("paren", ("op", "-", ("num", 0), dice(2, 6))), ("num", 4)),
        ("op", "^", ("num", -2), dice(1, 4)),
        ("op", "^", dice(1, 4), dice(1, 3)),
        ("op", "*", ("op", "+", ("num", 1), ("num", 2)), dice(1, 3)),  # left to right: (1+2)*1d3
        ("op", "+", ("op", "*", dice(1, 3), ("num", 1000)), dice(1, 3)),
        ("op", "^", ("num", 0), ("paren", ("op", "-", dice(1, 2), ("num", 1)))),
    ],
    ids=ref.text_of,
)
def test_arithmetic(node: ref.Node) -> None:
    assert_matches(node)


def _random_expression(rng: random.Random, depth: int = 0) -> ref.Node:
    if depth > 2 or rng.random() < 0.5:
        if rng.random() < 0.25:
            return ("num", rng.choice([-3, -1, 0, 1, 2, 7, 2**62, -(2**63)]))
        mods = []
        for _ in range(rng.choice([0, 1, 2, 3, 4])):
            kind = rng.choice(KINDS)
            mods.append((kind, rng.choice([-1, 0, 1, 2, 3, 4, 5])))
        explodes = any(kind in EXPLODING for kind, _ in mods)
        sides = rng.choice([2, 3, 4]) if explodes else rng.choice([1, 2, 3, 4, 5, 6])
        count = rng.choice([1, 2]) if explodes else rng.choice([0, 1, 2, 3, 4])
        mods = [(k, min(n, sides - 1) if k == "reroll_until" else n) for k, n in mods]
        return dice(count, sides, *mods)
    right = _random_expression(rng, depth + 1)
    if right[0] == "op":
        right = ("paren", right)
    return ("op", rng.choice("+-*/^"), _random_expression(rng, depth + 1), right)


@pytest.mark.parametrize("seed", range(8))
def test_generated_expressions(seed: int) -> None:
    rng = random.Random(seed)
    for _ in range(40):
        assert_matches(_random_expression(rng))
