"""The numbers behind an audit, in plain Python: the incomplete gamma function and the
chi-square distribution, the exact distribution of the chi-square statistic of a fair die
for few rolls, Holm's correction, and the power of a test against a given bias.

Every p-value here is computed to about 1e-6 relative accuracy or better wherever it lies
above 1e-300; below that it is reported as at most 1e-300 (see ``TINY``).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from functools import partial

__all__ = [
    "TINY",
    "gamma_q",
    "chi2_sf",
    "chi2_isf",
    "normal_isf",
    "scaled_chi2_sf",
    "exact_uniform_sf",
    "holm",
]

#: p-values below this are not told apart: they are reported as this bound.
TINY = 1e-300
#: Relative size of the last term or factor at which a series or fraction stops.
_EPSILON = 1e-17
#: Iterations after which a series or continued fraction gives up: far beyond what any
#: argument of the chi-square distributions an audit builds needs (a few thousand at
#: a million degrees of freedom).
_MAX_ITERATIONS = 1_000_000
_LOG_FLOOR = -745.0  # exp of anything lower is 0.0 in double precision


def _log_prefix(a: float, x: float) -> float:
    """log(x**a * exp(-x) / Gamma(a))."""
    return a * math.log(x) - x - math.lgamma(a)


def _lower_series(a: float, x: float) -> float:
    """P(a, x) by its power series; converges fast for x < a + 1."""
    term = 1.0 / a
    total = term
    n = 0
    while n < _MAX_ITERATIONS:
        n += 1
        term *= x / (a + n)
        total += term
        if term < total * _EPSILON:
            break
    return total * math.exp(_log_prefix(a, x))


def _log_upper_fraction(a: float, x: float) -> float:
    """log Q(a, x) by its continued fraction (modified Lentz); for x >= a + 1."""
    tiny = 1e-300
    b = x + 1.0 - a
    c = 1.0 / tiny
    d = 1.0 / b
    h = d
    i = 0
    while i < _MAX_ITERATIONS:
        i += 1
        an = -i * (i - a)
        b += 2.0
        d = an * d + b
        if abs(d) < tiny:
            d = tiny
        c = b + an / c
        if abs(c) < tiny:
            c = tiny
        d = 1.0 / d
        delta = d * c
        h *= delta
        if abs(delta - 1.0) < _EPSILON * 4:
            break
    return _log_prefix(a, x) + math.log(h)


def log_gamma_q(a: float, x: float) -> float:
    """The logarithm of the regularized upper incomplete gamma function Q(a, x)."""
    if not a > 0 or math.isnan(x):
        raise ValueError(f"gamma_q needs a > 0 and a number x: a={a!r}, x={x!r}")
    if x <= 0:
        return 0.0
    if math.isinf(x):
        return -math.inf
    if x < a + 1.0:
        # Here Q is above 0.08, so 1 - P keeps its relative accuracy.
        return math.log1p(-_lower_series(a, x))
    return _log_upper_fraction(a, x)


def gamma_q(a: float, x: float) -> float:
    """The regularized upper incomplete gamma function Q(a, x) = Gamma(a, x) / Gamma(a)."""
    value = log_gamma_q(a, x)
    return 0.0 if value < _LOG_FLOOR else math.exp(value)


def chi2_sf(x: float, df: float) -> float:
    """The chance that a chi-square variable of ``df`` degrees of freedom is ``x`` or more."""
    return gamma_q(df / 2.0, x / 2.0)


def chi2_isf(p: float, df: float) -> float:
    """The value a chi-square variable of ``df`` degrees of freedom passes with chance
    ``p`` (0 < p < 1): the critical value of a test at level ``p``."""
    if not 0.0 < p < 1.0:
        raise ValueError(f"chi2_isf needs 0 < p < 1: {p!r}")
    target = math.log(p)
    low, high = 0.0, max(2.0 * df, 1.0)
    while log_gamma_q(df / 2.0, high / 2.0) > target:
        low, high = high, 2.0 * high
    for _ in range(200):
        middle = (low + high) / 2.0
        if log_gamma_q(df / 2.0, middle / 2.0) > target:
            low = middle
        else:
            high = middle
        if high - low <= 1e-12 * high:
            break
    return (low + high) / 2.0


def normal_isf(p: float) -> float:
    """The value a standard normal variable passes with chance ``p`` (0 < p < 1)."""
    if not 0.0 < p < 1.0:
        raise ValueError(f"normal_isf needs 0 < p < 1: {p!r}")
    low, high = -40.0, 40.0
    for _ in range(200):
        middle = (low + high) / 2.0
        if 0.5 * math.erfc(middle / math.sqrt(2.0)) > p:
            low = middle
        else:
            high = middle
        if high - low <= 1e-13:
            break
    return (low + high) / 2.0


def scaled_chi2_sf(x: float, mean: float, variance: float) -> float:
    """The chance that a variable of this mean and variance passes ``x``, taking it as a
    scaled chi-square ``c * chi2(h)`` with the same two moments (Patnaik's approximation
    of the noncentral chi-square, which the power of a test uses)."""
    if mean <= 0.0 or variance <= 0.0:
        return 1.0 if x < mean else 0.0
    scale = variance / (2.0 * mean)
    df = 2.0 * mean * mean / variance
    return chi2_sf(x / scale, df)


def noncentral_moments(df: float, noncentrality: float) -> tuple[float, float]:
    """Mean and variance of the noncentral chi-square distribution."""
    return df + noncentrality, 2.0 * (df + 2.0 * noncentrality)


# ---------------------------------------------------------------- exact test


def _min_squares(total: int, parts: int) -> int:
    """The least sum of squares of ``parts`` non-negative integers adding up to
    ``total``: as even a split as possible."""
    quotient, remainder = divmod(total, parts)
    return remainder * (quotient + 1) ** 2 + (parts - remainder) * quotient * quotient


class _Tails:
    """For a count ``remaining`` still to place and ``after`` faces after this one:
    ``left[j]`` is the weight of every way to place them with fewer than ``j`` on this
    face, ``right[j]`` with ``j`` or more. Weights are products of lambda**n / n!
    (Poisson terms without their common factor exp(-lambda)), so the weight of
    placing ``R`` on ``r`` faces in every way is (r * lambda)**R / R!."""

    __slots__ = ("left", "right")

    def __init__(self, weights: Sequence[float], remaining: int, rest: Sequence[float]) -> None:
        terms = [weights[n] * rest[remaining - n] for n in range(remaining + 1)]
        left = [0.0] * (remaining + 2)
        acc = 0.0
        for n, term in enumerate(terms):
            acc += term
            left[n + 1] = acc
        right = [0.0] * (remaining + 2)
        acc = 0.0
        for n in range(remaining, -1, -1):
            acc += terms[n]
            right[n] = acc
        self.left = left
        self.right = right


def exact_uniform_sf(counts: Sequence[int]) -> float:
    """The exact chance, for a fair die of ``len(counts)`` faces rolled ``sum(counts)``
    times, that the sum of squared counts (and so Pearson's chi-square statistic, which
    grows with it) comes out at least as large as that of ``counts``.

    Faces are taken one at a time, keeping the weight of every (rolls placed, sum of
    squares) pair whose outcome is still open; a pair that can no longer reach the
    observed sum is dropped, and one that passes it whatever follows is added to the
    result at once, with the weight of all its completions. The weights leave out the
    constant exp(-lambda) per face, which keeps every weight that matters far above the
    smallest double for any count this is used for (at most 600 rolls)."""
    k = len(counts)
    rolls = sum(counts)
    if k < 2 or rolls == 0:
        return 1.0
    if rolls > 600:
        raise ValueError("exact_uniform_sf takes at most 600 rolls")
    observed = sum(c * c for c in counts)
    lam = rolls / k
    log_lam = math.log(lam)
    weights = [math.exp(n * log_lam - math.lgamma(n + 1)) for n in range(rolls + 1)]
    # spread[r][R]: the weight of placing R rolls on r faces, (r * lam)**R / R!.
    spread: list[list[float]] = [[1.0] + [0.0] * rolls]
    for r in range(1, k):
        log_mu = math.log(r * lam)
        spread.append([math.exp(R * log_mu - math.lgamma(R + 1)) for R in range(rolls + 1)])

    exceeded = 0.0
    # Open states: rolls placed so far -> {sum of squares so far: weight}.
    states: dict[int, dict[int, float]] = {0: {0: 1.0}}
    for face in range(k - 1):
        after = k - face - 1
        rest = spread[after]
        fresh: dict[int, dict[int, float]] = {}
        for placed, by_sum in states.items():
            remaining = rolls - placed
            tails = _Tails(weights, remaining, rest)
            best = remaining // (after + 1)  # the most even share for this face
            # h(n) = n**2 + least squares of the rest: convex in n, least at ``best``.
            # f(n) = n**2 + (remaining - n)**2: the most the rest can add, least at half.
            half = remaining // 2
            for square_sum, weight in by_sum.items():
                need = observed - square_sum
                # Every n with h(n) >= need passes whatever follows: n < lo or n > hi.
                least = partial(_least_with, remaining=remaining, after=after)
                lo = _first_below(least, need, 0, best)
                hi = _last_below(least, need, best, remaining)
                exceeded += weight * (tails.left[lo] + tails.right[hi + 1])
                # Every n with f(n) < need can no longer reach it: drop lo2..hi2.
                if half * half + (remaining - half) ** 2 < need:
                    most = partial(_most_with, remaining=remaining)
                    lo2 = _first_below(most, need, lo, half)
                    hi2 = _last_below(most, need, half, hi)
                else:
                    lo2, hi2 = hi + 1, hi
                for n in range(lo, hi + 1):
                    if lo2 <= n <= hi2:
                        continue
                    target = fresh.setdefault(placed + n, {})
                    key = square_sum + n * n
                    target[key] = target.get(key, 0.0) + weight * weights[n]
        states = fresh
    # The last face takes whatever is left.
    for placed, by_sum in states.items():
        remaining = rolls - placed
        for square_sum, weight in by_sum.items():
            if square_sum + remaining * remaining >= observed:
                exceeded += weight * weights[remaining]
    total = math.exp(rolls * math.log(rolls) - math.lgamma(rolls + 1))  # (k * lam)**N / N!
    return min(1.0, exceeded / total)


def _least_with(n: int, remaining: int, after: int) -> int:
    """The least sum of squares with ``n`` on this face and the rest spread evenly."""
    return n * n + _min_squares(remaining - n, after)


def _most_with(n: int, remaining: int) -> int:
    """The greatest sum of squares with ``n`` on this face: the rest on one face."""
    return n * n + (remaining - n) ** 2


def _first_below(func: Callable[[int], int], need: int, low: int, high: int) -> int:
    """The first n in [low, high] with func(n) < need, func falling over the range
    (func(high) < need); binary search."""
    while low < high:
        middle = (low + high) // 2
        if func(middle) < need:
            high = middle
        else:
            low = middle + 1
    return low


def _last_below(func: Callable[[int], int], need: int, low: int, high: int) -> int:
    """The last n in [low, high] with func(n) < need, func rising over the range
    (func(low) < need)."""
    while low < high:
        middle = (low + high + 1) // 2
        if func(middle) < need:
            low = middle
        else:
            high = middle - 1
    return low


# ---------------------------------------------------------------- correction


def holm(p_values: Sequence[float]) -> list[float]:
    """Holm's step-down adjustment: each p-value multiplied by the number of tests not
    yet passed, kept rising in the order of the p-values, at most 1. A test is rejected
    at ``alpha`` when its adjusted value is at most ``alpha``; the smallest adjusted value
    is the p-value of the whole family."""
    m = len(p_values)
    order = sorted(range(m), key=lambda i: p_values[i])
    adjusted = [1.0] * m
    running = 0.0
    for rank, i in enumerate(order):
        running = max(running, min(1.0, (m - rank) * p_values[i]))
        adjusted[i] = running
    return adjusted
