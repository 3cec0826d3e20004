"""kavelo.odds against the roller itself: for a few hundred generated expressions, the
totals of many rolls must fit the odds. Outcomes are merged into bins of at least five
expected rolls (failures are bins of their own) and the chi-square statistic is tested
at a false-alarm rate of 1e-6 per expression, so a correct evaluator fails this test
about once in three thousand runs, while a wrong probability of a few percent in any
common outcome fails it almost surely."""

from __future__ import annotations

import math
import random

import pytest

import kavelo
from kavelo import Kavelo, ResourcePolicy

SAMPLES = 2000
FALSE_ALARM = 1e-6

_policy = ResourcePolicy()
for _name, _value in ResourcePolicy().hard_limits().items():
    _policy = _policy.with_limit(_name, _value)
ROLLER = Kavelo(_policy)

MODIFIERS = [
    "!",
    "e",
    "K{n}",
    "r{n}",
    "ro{n}",
    "R{n}",
    "a{n}",
    "k{n}",
    "kh{n}",
    "kl{n}",
    "dh{n}",
    "dl{n}",
    "u",
    "s",
    "c{n}",
]


def chi_square_survival(x: float, df: int) -> float:
    """P(X >= x) for a chi-square variable with df degrees of freedom: the regularised
    upper incomplete gamma function Q(df/2, x/2), by its series or continued fraction."""
    a, z = df / 2.0, x / 2.0
    if z <= 0:
        return 1.0
    log_front = a * math.log(z) - z - math.lgamma(a)
    if z < a + 1:
        term = total = 1.0 / a
        k = a
        while abs(term) > abs(total) * 1e-16:
            k += 1
            term *= z / k
            total += term
        return max(0.0, 1.0 - math.exp(log_front) * total)
    # Lentz's continued fraction.
    tiny = 1e-300
    b = z + 1 - a
    c = 1 / tiny
    d = 1 / b
    h = d
    i = 1
    while True:
        an = -i * (i - a)
        b += 2
        d = an * d + b
        d = tiny if abs(d) < tiny else d
        c = b + an / c
        c = tiny if abs(c) < tiny else c
        d = 1 / d
        delta = d * c
        h *= delta
        i += 1
        if abs(delta - 1) < 1e-16 or i > 10000:
            break
    return math.exp(log_front) * h


@pytest.mark.parametrize(
    "x,df,expected",
    [
        (3.841458820694124, 1, 0.05),
        (23.92812697687947, 1, 1e-6),
        (18.307038053275146, 10, 0.05),
        (124.34211340400407, 100, 0.05),
    ],
)
def test_chi_square_survival(x: float, df: int, expected: float) -> None:
    assert chi_square_survival(x, df) == pytest.approx(expected, rel=1e-6)


def _term(rng: random.Random) -> str:
    sides = rng.choice([1, 2, 3, 4, 6, 8, 10, 12, 20])
    count = rng.choice([1, 1, 2, 3, 4, 5, 8])
    text = f"{count}d{sides}"
    for _ in range(rng.choice([0, 1, 1, 2, 2, 3])):
        modifier = rng.choice(MODIFIERS)
        if modifier in ("!", "e") and sides == 1:
            continue
        if modifier == "R{n}":
            n = rng.randint(-1, sides - 1)
        else:
            n = rng.choice([-1, 0, 1, 2, 3, sides // 2, sides])
        text += modifier.format(n=n)
    return text


def _expression(rng: random.Random) -> str:
    text = _term(rng)
    for _ in range(rng.choice([0, 0, 1, 1, 2])):
        op = rng.choice("+-*/")
        right = _term(rng) if rng.random() < 0.6 else str(rng.choice([-2, 1, 2, 3, 5]))
        text += op + right
    return text


EXPRESSIONS = sorted({_expression(random.Random(seed)) for seed in range(320)})


def _samples(text: str) -> tuple[list[int], dict[str, int]]:
    """SAMPLES totals of the roller, and the failures by code."""
    try:
        return [r["total"] for r in ROLLER.roll_multiple(text, SAMPLES)], {}
    except ValueError:
        pass  # some sample failed: roll one at a time and count the failures
    totals: list[int] = []
    failures: dict[str, int] = {}
    for _ in range(SAMPLES):
        try:
            totals.append(ROLLER.roll(text)["total"])
        except ValueError as error:
            message = str(error)
            code = message[1 : message.index("]")] if message.startswith("[") else message
            failures[code] = failures.get(code, 0) + 1
    return totals, failures


def test_enough_expressions() -> None:
    assert len(EXPRESSIONS) >= 300


@pytest.mark.parametrize("text", EXPRESSIONS)
def test_rolls_fit_the_odds(text: str) -> None:
    odds = kavelo.odds(text)
    totals, failures = _samples(text)
    assert not set(failures) - set(odds.failures), (text, failures, odds.failures)
    counts: dict[int, int] = {}
    for total in totals:
        counts[total] = counts.get(total, 0) + 1
    assert set(counts) <= set(odds.pmf), (text, sorted(set(counts) - set(odds.pmf))[:5])

    # Bins: outcomes ascending, merged until each expects at least five rolls; then
    # one bin per failure code (merged into the last when rare).
    bins: list[tuple[float, int]] = []
    expected = observed = 0.0
    for outcome, p in odds.pmf.items():
        expected += p * SAMPLES
        observed += counts.get(outcome, 0)
        if expected >= 5:
            bins.append((expected, int(observed)))
            expected = observed = 0.0
    for code, p in odds.failures.items():
        expected += p * SAMPLES
        observed += failures.get(code, 0)
        if expected >= 5:
            bins.append((expected, int(observed)))
            expected = observed = 0.0
    expected += odds.truncated * SAMPLES
    if bins:
        last_expected, last_observed = bins.pop()
        bins.append((last_expected + expected, last_observed + int(observed)))
    else:
        bins.append((expected, int(observed)))
    if len(bins) == 1:
        assert bins[0][1] == SAMPLES, text
        return
    statistic = sum((o - e) ** 2 / e for e, o in bins)
    p_value = chi_square_survival(statistic, len(bins) - 1)
    assert p_value > FALSE_ALARM, (text, statistic, len(bins), p_value)
