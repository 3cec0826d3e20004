"""The audit's numbers against values known independently: closed forms of the
chi-square distribution, enumeration of every outcome for the exact test, SciPy where it
is installed, and Holm's correction worked by hand."""

from __future__ import annotations

import itertools
import math
from collections import Counter

import pytest

from kavelo.audit import stats

# Closed forms: with 2 degrees of freedom Q = exp(-x/2); with 1, Q = erfc(sqrt(x/2)); with
# 4, Q = exp(-x/2) (1 + x/2).
CLOSED_FORMS = [
    (2, lambda x: math.exp(-x / 2)),
    (1, lambda x: math.erfc(math.sqrt(x / 2))),
    (4, lambda x: math.exp(-x / 2) * (1 + x / 2)),
]


@pytest.mark.parametrize(("df", "exact"), CLOSED_FORMS)
@pytest.mark.parametrize("x", [1e-6, 0.01, 0.5, 1.0, 2.9, 3.0, 3.1, 10.0, 50.0, 300.0, 1300.0])
def test_chi2_sf_matches_closed_forms_to_1e_6_relative(df: int, exact: object, x: float) -> None:
    expected = exact(x)  # type: ignore[operator]
    assert expected > 1e-300
    assert stats.chi2_sf(x, df) == pytest.approx(expected, rel=1e-6)


@pytest.mark.parametrize(
    ("x", "df", "expected"),
    [(0.0, 5, 1.0), (math.inf, 5, 0.0), (-3.0, 2, 1.0), (1e6, 3, 0.0)],
)
def test_chi2_sf_edges(x: float, df: int, expected: float) -> None:
    assert stats.chi2_sf(x, df) == expected


@pytest.mark.parametrize(("a", "x"), [(0.0, 1.0), (-1.0, 1.0), (1.0, math.nan), (math.nan, 1.0)])
def test_gamma_q_refuses_what_it_is_not_defined_for(a: float, x: float) -> None:
    with pytest.raises(ValueError):
        stats.gamma_q(a, x)


def test_gamma_q_against_scipy_over_a_grid() -> None:
    special = pytest.importorskip("scipy.special")
    worst = 0.0
    for a in (0.5, 1.0, 2.5, 9.5, 100.0, 1e4, 5e5):
        for x in (
            1e-3,
            0.1,
            1.0,
            0.5 * a,
            a,
            a + 1.0,
            1.5 * a,
            3 * a,
            a + 50 * math.sqrt(a),
            700.0,
        ):
            expected = float(special.gammaincc(a, x))
            if expected > 1e-300:
                worst = max(worst, abs(stats.gamma_q(a, x) - expected) / expected)
    assert worst < 1e-6


@pytest.mark.parametrize("df", [1, 5, 19, 361, 10_000])
@pytest.mark.parametrize("p", [0.5, 0.01, 1e-4, 1e-9])
def test_chi2_isf_inverts_chi2_sf(df: int, p: float) -> None:
    assert stats.chi2_sf(stats.chi2_isf(p, df), df) == pytest.approx(p, rel=1e-6)


@pytest.mark.parametrize("p", [0.5, 0.025, 1e-6])
def test_normal_isf_inverts_the_normal_tail(p: float) -> None:
    z = stats.normal_isf(p)
    assert 0.5 * math.erfc(z / math.sqrt(2)) == pytest.approx(p, rel=1e-9)


def _enumerated_sf(counts: list[int]) -> float:
    """Every sequence of rolls, counted: the share whose sum of squared counts is at
    least the observed one."""
    k, n = len(counts), sum(counts)
    observed = sum(c * c for c in counts)
    hits = 0
    for rolls in itertools.product(range(k), repeat=n):
        if sum(v * v for v in Counter(rolls).values()) >= observed:
            hits += 1
    return float(hits / k**n)


@pytest.mark.parametrize(
    "counts",
    [
        [3, 0, 0],
        [2, 1, 0],
        [1, 1, 1],
        [4, 0, 1, 0],
        [2, 2, 1, 0],
        [5, 1, 0],
        [0, 0, 0, 7],
        [2, 3, 1, 0],
        [1, 0, 0, 0, 0, 1],
        [2, 1, 1, 1, 0, 0],
        [0, 0, 5, 0, 0, 1],
        [1, 1, 1, 1, 1],
    ],
)
def test_exact_test_equals_enumeration_of_every_sequence(counts: list[int]) -> None:
    assert stats.exact_uniform_sf(counts) == pytest.approx(_enumerated_sf(counts), rel=1e-9)


def test_exact_test_agrees_with_a_large_sample_where_the_chi_square_holds() -> None:
    # 600 rolls of a d6: the exact tail and the chi-square tail nearly agree.
    counts = [120, 95, 110, 90, 85, 100]
    k, n = 6, sum(counts)
    chi2 = k / n * sum(c * c for c in counts) - n
    assert stats.exact_uniform_sf(counts) == pytest.approx(stats.chi2_sf(chi2, k - 1), rel=0.05)


def test_exact_test_refuses_more_rolls_than_it_can_weigh() -> None:
    with pytest.raises(ValueError):
        stats.exact_uniform_sf([601, 0])


@pytest.mark.parametrize(
    ("p_values", "adjusted"),
    [
        # Worked by hand: sorted 0.01, 0.02, 0.03, 0.04 times 4, 3, 2, 1, kept rising.
        ([0.01, 0.04, 0.03, 0.02], [0.04, 0.06, 0.06, 0.06]),
        ([0.5, 0.001], [0.5, 0.002]),
        ([0.3, 0.6, 0.9], [0.9, 1.0, 1.0]),
        ([0.2], [0.2]),
        ([], []),
    ],
)
def test_holm_adjustment(p_values: list[float], adjusted: list[float]) -> None:
    assert stats.holm(p_values) == pytest.approx(adjusted)


def test_scaled_chi_square_matches_scipy_noncentral_power() -> None:
    scipy_stats = pytest.importorskip("scipy.stats")
    critical = stats.chi2_isf(0.005, 19)
    for lam in (5.0, 20.0, 60.0):
        mean, variance = stats.noncentral_moments(19, lam)
        approx = stats.scaled_chi2_sf(critical, mean, variance)
        exact = float(scipy_stats.ncx2.sf(critical, 19, lam))
        assert approx == pytest.approx(exact, abs=0.02)
