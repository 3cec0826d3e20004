"""The distributions of rolls match exact probabilities.

Each case draws a fixed number of samples through roll_multiple and compares the
observed totals with probabilities computed here by enumeration, with a chi-square
test whose false-alarm probability is below 1e-6 per case. A biased uniform draw or a
wrong modifier shifts these distributions far beyond that threshold.
"""

import itertools
import math
from collections import Counter
from collections.abc import Callable, Mapping
from fractions import Fraction

import pytest

from kavelo import Kavelo, ResourcePolicy

SAMPLES = 60000
CHUNK = 20000  # samples per request: each sample's values count against output_items
P_THRESHOLD = 1e-6


def roller() -> Kavelo:
    policy = ResourcePolicy()
    for name, value in {
        "batch_samples": 100000,
        "collection_items": 100000,
        "executed_instructions": 1000000,
        "generated_values": 1000000,
        "rng_words": 2000000,
        "output_items": 100000,
        "work_units": 50000000,
        "output_bytes": 67108864,
    }.items():
        policy = policy.with_limit(name, value)
    return Kavelo(policy)


def draw_totals(expression: str) -> list[int]:
    k = roller()
    return [r["total"] for _ in range(SAMPLES // CHUNK) for r in k.roll_multiple(expression, CHUNK)]


def upper_regularized_gamma(a: float, x: float) -> float:
    """Q(a, x), by the series for x < a + 1 and the continued fraction otherwise."""
    if x <= 0:
        return 1.0
    log_prefix = a * math.log(x) - x - math.lgamma(a)
    if x < a + 1:
        term = total = 1.0 / a
        n = a
        while abs(term) > abs(total) * 1e-15:
            n += 1
            term *= x / n
            total += term
        return 1.0 - total * math.exp(log_prefix)
    tiny = 1e-300
    b = x + 1 - a
    c = 1 / tiny
    d = 1 / b
    h = d
    for i in range(1, 10000):
        an = -i * (i - a)
        b += 2
        d = an * d + b
        d = tiny if abs(d) < tiny else d
        c = b + an / c
        c = tiny if abs(c) < tiny else c
        d = 1 / d
        delta = d * c
        h *= delta
        if abs(delta - 1) < 1e-15:
            break
    return math.exp(log_prefix) * h


def chi_square_p_value(
    observed: Mapping[int, int], probabilities: Mapping[int, Fraction], samples: int
) -> float:
    """Bins with small expectation are merged into their neighbour first."""
    bins = []
    expected_run, observed_run = 0.0, 0
    for value in sorted(probabilities):
        expected_run += float(probabilities[value]) * samples
        observed_run += observed.get(value, 0)
        if expected_run >= 20:
            bins.append((observed_run, expected_run))
            expected_run, observed_run = 0.0, 0
    if expected_run > 0:
        last_observed, last_expected = bins.pop()
        bins.append((last_observed + observed_run, last_expected + expected_run))
    statistic = sum((o - e) ** 2 / e for o, e in bins)
    degrees = len(bins) - 1
    return upper_regularized_gamma(degrees / 2, statistic / 2)


def distribution_of(
    die_faces: Mapping[int, Fraction], dice: int, combine: Callable[[list[int]], int]
) -> dict[int, Fraction]:
    """Exact distribution of combine(faces) over all outcomes of independent dice."""
    counts: dict[int, Fraction] = {}
    faces = list(die_faces.items())
    for outcome in itertools.product(faces, repeat=dice):
        weight = math.prod(p for _, p in outcome)
        total = combine([v for v, _ in outcome])
        counts[total] = counts.get(total, Fraction(0)) + weight
    return counts


D6 = {v: Fraction(1, 6) for v in range(1, 7)}
# A die rerolled once when it shows 1: 1 stays only if the reroll shows 1 again.
D6_REROLL_1 = {1: Fraction(1, 36), **{v: Fraction(7, 36) for v in range(2, 7)}}


def exploding_d6(max_total: int) -> dict[int, Fraction]:
    """Totals of 1d6! up to max_total; the rest is lumped into max_total + 1."""
    probabilities: dict[int, Fraction] = {}
    k = 0
    while 6 * k + 1 <= max_total:
        for r in range(1, 6):
            if 6 * k + r <= max_total:
                probabilities[6 * k + r] = Fraction(1, 6 ** (k + 1))
        k += 1
    probabilities[max_total + 1] = 1 - sum(probabilities.values(), Fraction(0))
    return probabilities


CASES = {
    "1d6": (distribution_of(D6, 1, sum), None),
    "2d6": (distribution_of(D6, 2, sum), None),
    "4d6kh3": (distribution_of(D6, 4, lambda v: sum(sorted(v)[1:])), None),
    "3d6r1": (distribution_of(D6_REROLL_1, 3, sum), None),
    "1d6!": (exploding_d6(23), 24),
}


@pytest.mark.parametrize("expression", list(CASES))
def test_distribution_matches_exact_probabilities(expression: str) -> None:
    probabilities, lump_from = CASES[expression]
    assert sum(probabilities.values()) == 1
    totals = Counter(t for t in draw_totals(expression))
    if lump_from is not None:
        tail = sum(n for t, n in totals.items() if t >= lump_from)
        totals = Counter({t: n for t, n in totals.items() if t < lump_from})
        totals[lump_from] = tail
    assert set(totals) <= set(probabilities), sorted(set(totals) - set(probabilities))
    p_value = chi_square_p_value(totals, probabilities, SAMPLES)
    assert p_value > P_THRESHOLD, (expression, p_value, sorted(totals.items()))


def test_chi_square_detects_a_biased_die() -> None:
    # The check itself: a d6 that shows 6 one time in five is caught.
    biased = Counter({1: 11000, 2: 11000, 3: 11000, 4: 11000, 5: 4000, 6: 12000})
    assert chi_square_p_value(biased, D6, 60000) < P_THRESHOLD
    fair = Counter(dict.fromkeys(range(1, 7), 10000))
    assert chi_square_p_value(fair, D6, 60000) > 0.99


def test_large_die_is_uniform_over_its_range() -> None:
    # 1d2147483647 split into 16 equal-width bins: a modulo bias or a truncated draw shows.
    sides = 2**31 - 1
    totals = draw_totals(f"1d{sides}")
    assert all(1 <= t <= sides for t in totals)
    observed = Counter((t - 1) * 16 // sides for t in totals)
    probabilities = {b: Fraction(1, 16) for b in range(16)}
    assert chi_square_p_value(observed, probabilities, SAMPLES) > P_THRESHOLD
