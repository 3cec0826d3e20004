"""The audit's error rates, measured on generated dice with fixed seeds: fair dice give
uniform p-values, and loaded dice are caught as often as the report says they are.

Each bound lets a correct audit pass in all but about one run in a million (4.9 standard
deviations of the binomial count, and the Kolmogorov-Smirnov critical value at 1e-6),
plus a few points for the power's approximation where one is compared."""

from __future__ import annotations

import math
import random
from collections.abc import Callable

import pytest

import kavelo

RUNS = 1000
Z = 4.9  # two-sided tail of about 1e-6
KS_CRITICAL = math.sqrt(-math.log(1e-6 / 2) / 2)
# The power is a two-moment approximation of the noncentral chi-square: a few points.
POWER_SLACK = 0.03


def _fair_d20(rng: random.Random) -> list[object]:
    return [{"sides": 20, "faces": [rng.randint(1, 20) for _ in range(200)]}]


def _fair_d6_few(rng: random.Random) -> list[object]:
    # 24 faces of a d6: too few for the chi-square, so the exact test decides.
    return [{"sides": 6, "faces": [rng.randint(1, 6) for _ in range(24)]}]


_TOP3 = kavelo.odds("4d6kh3").pmf
# A roller that adds one to 10% of its totals (an 18 stays 18).
_SHIFTED = {
    t: 0.9 * p + 0.1 * _TOP3.get(t - 1, 0.0) + (0.1 * p if t == 18 else 0.0)
    for t, p in _TOP3.items()
}


def _totals(rng: random.Random, pmf: dict[int, float], rolls: int) -> list[object]:
    drawn = rng.choices(list(pmf), weights=list(pmf.values()), k=rolls)
    counts: dict[int, int] = {}
    for total in drawn:
        counts[total] = counts.get(total, 0) + 1
    return [{"expression": "4d6kh3", "counts": sorted(counts.items())}]


def _fair_4d6kh3(rng: random.Random) -> list[object]:
    return _totals(rng, _TOP3, 300)


@pytest.mark.parametrize(
    ("make", "kind"),
    [(_fair_d20, "faces"), (_fair_d20, "serial"), (_fair_4d6kh3, "totals")],
)
def test_p_values_of_fair_dice_are_uniform(
    make: Callable[[random.Random], list[object]], kind: str
) -> None:
    rng = random.Random(f"uniform {kind}")
    p_values = sorted(
        next(t.p_value for t in kavelo.audit(make(rng)).tests if t.kind == kind)
        for _ in range(RUNS)
    )
    below = sum(p <= 0.05 for p in p_values)
    assert abs(below - 0.05 * RUNS) <= Z * math.sqrt(RUNS * 0.05 * 0.95)
    distance = max(max(abs((i + 1) / RUNS - p), abs(i / RUNS - p)) for i, p in enumerate(p_values))
    assert distance * math.sqrt(RUNS) <= KS_CRITICAL


@pytest.mark.parametrize("make", [_fair_d20, _fair_d6_few, _fair_4d6kh3])
def test_fair_dice_are_judged_biased_at_most_alpha_of_the_time(
    make: Callable[[random.Random], list[object]],
) -> None:
    rng = random.Random("false alarms")
    alarms = sum(kavelo.audit(make(rng), alpha=0.05).biased for _ in range(RUNS))
    # Holm keeps the family's error at most alpha; the exact test is conservative.
    assert alarms <= 0.05 * RUNS + Z * math.sqrt(RUNS * 0.05 * 0.95)


def _loaded_d20(rng: random.Random) -> list[object]:
    faces = [20 if rng.random() < 0.07 else rng.randint(1, 19) for _ in range(2000)]
    return [{"sides": 20, "faces": faces}]


def _sticky_d6(rng: random.Random) -> list[object]:
    faces = [rng.randint(1, 6)]
    for _ in range(99):
        faces.append(faces[-1] if rng.random() < 0.25 else rng.randint(1, 6))
    return [{"sides": 6, "faces": faces}]


def _shifted_4d6kh3(rng: random.Random) -> list[object]:
    return _totals(rng, _SHIFTED, 10_000)


@pytest.mark.parametrize(
    ("make", "kind", "effect"),
    [(_loaded_d20, "faces", 0.07), (_sticky_d6, "serial", 0.25), (_shifted_4d6kh3, "totals", 0.1)],
)
def test_loaded_dice_are_caught_as_often_as_the_reported_power(
    make: Callable[[random.Random], list[object]], kind: str, effect: float
) -> None:
    rng = random.Random(f"power {kind}")
    runs = 400
    caught = 0
    powers = []
    for _ in range(runs):
        test = next(t for t in kavelo.audit(make(rng)).tests if t.kind == kind)
        caught += test.biased
        powers.append(test.power_at(effect))
    power = sum(powers) / runs
    assert 0.1 < power < 0.95  # a size where the comparison says something
    spread = Z * math.sqrt(power * (1 - power) / runs)
    assert abs(caught / runs - power) <= spread + POWER_SLACK
