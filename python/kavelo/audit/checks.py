"""The tests of an audit, built from its counts.

- Faces (per die size): are the faces uniform? Pearson's chi-square over the faces
  when every face expects at least 5; with fewer faces, the exact distribution of the
  same statistic for a fair die (``stats.exact_uniform_sf``) while that is cheap, else
  the chi-square over ranges of neighbouring faces that each expect at least 5.
- Serial (per die size): does a face depend on the face before it? Pearson's
  chi-square test of independence of the table of consecutive pairs (previous face
  against next), over ranges of neighbouring faces when the faces alone would leave
  cells expecting fewer than 5 pairs. The table's margins are estimated, so the test
  asks only about dependence: uniformity is the other test's question. For the
  overlapping pairs of one sequence this is the test of a Markov chain's order
  (Anderson and Goodman), chi-square with (rows - 1)(columns - 1) degrees of freedom.
- Totals (per expression): do the totals follow the exact odds? Pearson's chi-square
  over bins of neighbouring totals, each bin grown until it expects at least 5 rolls
  (the tail of rare totals joins its neighbour), so that the approximation holds.

Each test knows its power: the chance that it finds a given bias at a given level, from
the noncentral chi-square distribution its statistic then has (matched in mean and
variance by a scaled chi-square, ``stats.scaled_chi2_sf``). The bias is one number per
kind: the share of the die's highest face (faces), the chance that a die repeats its
last face (serial), the share of rolls whose total is raised by one (totals).
"""

from __future__ import annotations

import bisect
import math
from collections.abc import Callable
from dataclasses import dataclass

from . import stats
from .tally import DieTally, TotalsTally, cell_sizes
from .words import count, percent, percents

#: Least expected count per cell for the chi-square approximation.
MIN_EXPECTED = 5.0
#: The exact test is used while sides * rolls**2 stays below this (about 0.05 s).
EXACT_WORK = 250_000
#: Most rolls the exact test takes.
EXACT_ROLLS = 600


@dataclass(frozen=True)
class Cell:
    """One bar of a test's chart: ``observed`` of ``trials`` fell in it, and a share of
    ``expected`` of them would for fair dice."""

    label: str
    observed: int
    trials: int
    expected: float


@dataclass(frozen=True)
class Check:
    """One test, before the correction for the number of tests."""

    kind: str
    subject: str
    count: int
    method: str
    why: str
    statistic: float
    df: int
    p_value: float
    deviation: str
    cells: tuple[Cell, ...]
    # power(effect, level): the chance of a p-value at most ``level`` under that bias.
    power: Callable[[float, float], float]
    # The range of the bias, none to the most there is.
    effects: tuple[float, float]
    # The sentence for the bias caught 80% of the time (None: even the most is not).
    power_words: Callable[[float | None], str]


def _pearson(observed: list[int], expected: list[float]) -> float:
    return math.fsum((o - e) ** 2 / e for o, e in zip(observed, expected, strict=True))


def _groups(cells: int, groups: int) -> list[int]:
    """The group (0 to groups - 1) of each of ``cells`` neighbouring cells, sizes
    differing by at most one."""
    return [j * groups // cells for j in range(cells)]


def _chi2_power(
    df: int, noncentrality: Callable[[float], float]
) -> Callable[[float, float], float]:
    critical: dict[float, float] = {}

    def power(effect: float, level: float) -> float:
        if level not in critical:
            critical[level] = stats.chi2_isf(level, df)
        lam = noncentrality(effect)
        mean, variance = stats.noncentral_moments(df, lam)
        return stats.scaled_chi2_sf(critical[level], mean, variance)

    return power


def _worst(cells: list[Cell]) -> Cell:
    """The cell furthest from its expectation, in standard deviations."""

    def z(cell: Cell) -> float:
        mean = cell.trials * cell.expected
        spread = math.sqrt(max(mean * (1.0 - cell.expected), 1e-300))
        return abs(cell.observed - mean) / spread

    return max(cells, key=z)


def _came_up(cell: Cell, what: str) -> str:
    share = cell.observed / cell.trials if cell.trials else 0.0
    shown, wanted = percents(share, cell.expected)
    return (
        f"{what} came up {shown} of the time ({count(cell.observed)} of "
        f"{count(cell.trials)}), {wanted} expected"
    )


def _face_label(first: int, last: int) -> str:
    return str(first) if first == last else f"{first}..{last}"


# ---------------------------------------------------------------- faces


def faces_check(die: DieTally) -> Check | str:
    """The uniformity test of one die size, or why there is none."""
    k, n = die.sides, die.faces
    name = f"d{k}"
    if n == 0:
        return ""
    if k == 1:
        return f"{name}: a die of one side always shows 1, nothing to test ({count(n)} faces)"
    sizes = cell_sizes(k, die.face_cells)
    base = 1 if k == len(sizes) else 0  # counts are keyed by face, or by range from 0
    observed = [die.counts.get(j + base, 0) for j in range(len(sizes))]
    if k == len(sizes) and n < MIN_EXPECTED * k and n <= EXACT_ROLLS and k * n * n <= EXACT_WORK:
        return _faces_exact(die, observed)
    groups = len(sizes)
    while groups >= 2 and n * min(_group_sizes(sizes, groups)) / k < MIN_EXPECTED:
        groups = min(groups - 1, int(n / MIN_EXPECTED))
    if groups < 2:
        return f"{name}: {count(n)} faces are too few to test"
    group_of = _groups(len(sizes), groups)
    group_sizes = _group_sizes(sizes, groups)
    grouped = [0] * groups
    for j, value in enumerate(observed):
        grouped[group_of[j]] += value
    firsts = [1]
    for size in group_sizes:
        firsts.append(firsts[-1] + size)
    cells = [
        Cell(_face_label(firsts[g], firsts[g + 1] - 1), grouped[g], n, group_sizes[g] / k)
        for g in range(groups)
    ]
    expected = [n * cell.expected for cell in cells]
    statistic = _pearson(grouped, expected)
    df = groups - 1
    if groups == k:
        why = (
            f"Pearson's chi-square over the {k} faces: each expects "
            f"{_expects(n / k)} of the {count(n)}, enough for the chi-square approximation"
        )
    else:
        why = (
            f"Pearson's chi-square over {groups} ranges of neighbouring faces, so that each "
            f"expects at least {MIN_EXPECTED:g} of the {count(n)} faces (single faces would "
            "expect too few for the approximation)"
        )
    return _faces_result(
        die, "chi-square", why, statistic, df, stats.chi2_sf(statistic, df), cells, group_sizes
    )


def _expects(mean: float) -> str:
    return f"{mean:,.0f}" if mean >= 100 else f"{mean:.3g}"


def _group_sizes(sizes: list[int], groups: int) -> list[int]:
    out = [0] * groups
    for j, size in enumerate(sizes):
        out[j * groups // len(sizes)] += size
    return out


def _faces_exact(die: DieTally, observed: list[int]) -> Check:
    k, n = die.sides, die.faces
    statistic = k / n * math.fsum(c * c for c in observed) - n
    why = (
        f"exact: with {count(n)} faces a d{k} expects {_expects(n / k)} of each face, too few "
        "for the chi-square approximation, so the chance of a chi-square statistic this large "
        "is computed for a fair die outcome by outcome"
    )
    cells = [Cell(str(face), observed[face - 1], n, 1.0 / k) for face in range(1, k + 1)]
    p = stats.exact_uniform_sf(observed)
    return _faces_result(die, "exact", why, statistic, k - 1, p, cells, [1] * k)


def _faces_result(
    die: DieTally,
    method: str,
    why: str,
    statistic: float,
    df: int,
    p: float,
    cells: list[Cell],
    group_sizes: list[int],
) -> Check:
    k, n = die.sides, die.faces
    worst = _worst(cells)
    what = f"faces {worst.label}" if ".." in worst.label else f"{worst.label}"
    deviation = _came_up(worst, what)
    null = [size / k for size in group_sizes]

    def noncentrality(share: float) -> float:
        # The highest face shows ``share``, the others share the rest evenly.
        other = (1.0 - share) / (k - 1)
        alternative = [size * other for size in group_sizes]
        alternative[-1] += share - other
        return n * math.fsum((q - p) ** 2 / p for q, p in zip(alternative, null, strict=True))

    def words(share: float | None) -> str:
        if share is None:
            return (
                f"with {count(n)} d{k} faces, even a die that always shows {k} would be caught "
                "less than 80% of the time: roll more"
            )
        return (
            f"with {count(n)} d{k} faces, a die showing {k} {percent(share)} of the time "
            f"instead of {percent(1 / k)} is caught 80% of the time"
        )

    return Check(
        kind="faces",
        subject=f"d{k}",
        count=n,
        method=method,
        why=why,
        statistic=statistic,
        df=df,
        p_value=p,
        deviation=deviation,
        cells=tuple(cells),
        power=_chi2_power(df, noncentrality),
        effects=(1.0 / k, 1.0),
        power_words=words,
    )


# ---------------------------------------------------------------- serial


def _independence(
    die: DieTally, group_of: list[int], groups: int
) -> tuple[list[list[int]], float, int]:
    """The table of consecutive pairs by range of the previous and the next face, its
    chi-square statistic of independence and the degrees of freedom (rows and columns
    that never occur left out)."""
    table = [[0] * groups for _ in range(groups)]
    for (a, b), value in die.pairs.items():
        table[group_of[a - 1]][group_of[b - 1]] += value
    pairs = die.pair_count
    rows = [sum(row) for row in table]
    columns = [sum(table[a][b] for a in range(groups)) for b in range(groups)]
    kept_rows = [a for a in range(groups) if rows[a]]
    kept_columns = [b for b in range(groups) if columns[b]]
    df = (len(kept_rows) - 1) * (len(kept_columns) - 1)
    statistic = math.fsum(
        (table[a][b] - rows[a] * columns[b] / pairs) ** 2 / (rows[a] * columns[b] / pairs)
        for a in kept_rows
        for b in kept_columns
    )
    return table, statistic, df


def serial_check(die: DieTally) -> Check | str:
    """The serial test of one die size, or why there is none."""
    k = die.sides
    pairs = die.pair_count
    name = f"d{k}"
    if k == 1 or die.faces == 0:
        return ""
    sizes = cell_sizes(k, die.pair_cells)
    groups = len(sizes)
    while groups >= 2 and pairs * (min(_group_sizes(sizes, groups)) / k) ** 2 < MIN_EXPECTED:
        groups -= 1
    if groups < 2:
        return f"{name}: {count(pairs)} pairs of consecutive faces are too few to test their independence"
    group_sizes = _group_sizes(sizes, groups)
    table, statistic, df = _independence(die, _groups(len(sizes), groups), groups)
    if df == 0:
        return f"{name}: the pairs of consecutive faces cover too few faces to test"
    if groups == k:
        why = (
            f"Pearson's chi-square test of independence of each face from the one before, over "
            f"the {k}x{k} table of the {count(pairs)} consecutive pairs (every cell expects at "
            f"least {MIN_EXPECTED:g})"
        )
    else:
        why = (
            f"Pearson's chi-square test of independence of each face from the one before, over "
            f"{groups} ranges of neighbouring faces ({groups}x{groups} cells, so that each expects "
            f"at least {MIN_EXPECTED:g} of the {count(pairs)} consecutive pairs)"
        )
    firsts = [1]
    for size in group_sizes:
        firsts.append(firsts[-1] + size)
    cells = [
        Cell(
            _face_label(firsts[g], firsts[g + 1] - 1),
            table[g][g],
            sum(table[g]),
            group_sizes[g] / k,
        )
        for g in range(groups)
    ]
    shown, wanted = percents(die.repeats / pairs, 1 / k)
    deviation = (
        f"a face was followed by the same face {shown} of the time "
        f"({count(die.repeats)} of {count(pairs)}), {wanted} expected"
    )

    def noncentrality(repeat: float) -> float:
        # A die that repeats its last face with chance ``repeat`` and else rolls afresh:
        # the table's noncentrality comes to pairs * repeat**2 * (groups - 1) whatever
        # the sizes of the ranges.
        return pairs * repeat * repeat * (groups - 1)

    def words(repeat: float | None) -> str:
        if repeat is None:
            return (
                f"with {count(pairs)} pairs of consecutive d{k} faces, even a die that always "
                "repeats its last face would be caught less than 80% of the time: roll more"
            )
        return (
            f"with {count(pairs)} pairs of consecutive d{k} faces, a die that repeats its last "
            f"face {percent(repeat)} of the time (and else rolls afresh) is caught 80% of the time"
        )

    return Check(
        kind="serial",
        subject=name,
        count=pairs,
        method="chi-square",
        why=why,
        statistic=statistic,
        df=df,
        p_value=stats.chi2_sf(statistic, df),
        deviation=deviation,
        cells=tuple(cells),
        power=_chi2_power(df, noncentrality),
        effects=(0.0, 1.0),
        power_words=words,
    )


# ---------------------------------------------------------------- totals


def _total_bins(probabilities: list[float], need: float) -> tuple[list[int], list[float]]:
    """Bins of neighbouring totals, each grown until its chance is at least ``need``; a
    short remainder at the top joins the last bin. Returns the index of each bin's
    first total and each bin's chance."""
    starts: list[int] = []
    masses: list[float] = []
    acc = 0.0
    open_bin = False
    for i, p in enumerate(probabilities):
        if not open_bin:
            starts.append(i)
            acc = 0.0
            open_bin = True
        acc += p
        if acc >= need:
            masses.append(acc)
            open_bin = False
    if open_bin:
        if masses:
            starts.pop()
            masses[-1] += acc
        else:
            masses.append(acc)
    return starts, masses


def _shift_spread(
    outcomes: list[int], probabilities: list[float], starts: list[int], masses: list[float]
) -> float:
    """The noncentrality per roll of the bins' chi-square, divided by the square of the
    share of totals raised by one: raising a total by one moves its chance to the next
    total, where there is one."""
    bins = len(masses)
    bin_of = [0] * len(outcomes)
    for b in range(bins):
        end = starts[b + 1] if b + 1 < bins else len(outcomes)
        for i in range(starts[b], end):
            bin_of[i] = b
    change = [0.0] * bins
    for i in range(len(outcomes) - 1):
        if outcomes[i + 1] == outcomes[i] + 1:
            change[bin_of[i]] -= probabilities[i]
            change[bin_of[i + 1]] += probabilities[i]
    return math.fsum(c * c / m for c, m in zip(change, masses, strict=True))


def totals_check(tally: TotalsTally) -> Check | str:
    """The test of one expression's totals against its exact odds, or why there is none."""
    n = tally.rolls
    expression = tally.expression
    if n == 0:
        return ""
    if tally.error is not None:
        return f"{expression}: {count(n)} totals not tested: {tally.error}"
    outcomes = list(tally.pmf)
    if len(outcomes) < 2:
        return f"{expression}: one possible total, nothing to test ({count(n)} rolls)"
    mass = math.fsum(tally.pmf.values())
    probabilities = [tally.pmf[t] / mass for t in outcomes]
    starts, masses = _total_bins(probabilities, MIN_EXPECTED / n)
    bins = len(masses)
    if bins < 2:
        return (
            f"{expression}: {count(n)} rolls are too few to test the totals (each of two bins "
            f"must expect at least {MIN_EXPECTED:g})"
        )
    observed = [0] * bins
    for total, value in tally.counts.items():
        index = bisect.bisect_left(outcomes, total)
        observed[bisect.bisect_right(starts, index) - 1] += value
    lows = [outcomes[s] for s in starts]
    highs = [outcomes[s - 1] for s in starts[1:]] + [outcomes[-1]]
    cells = [
        Cell(_face_label(low, high), observed[b], n, masses[b])
        for b, (low, high) in enumerate(zip(lows, highs, strict=True))
    ]
    statistic = _pearson(observed, [n * m for m in masses])
    df = bins - 1
    if bins == len(outcomes):
        why = (
            f"Pearson's chi-square over the {bins} possible totals, each expecting at least "
            f"{MIN_EXPECTED:g} of the {count(n)} rolls under the exact odds"
        )
    else:
        why = (
            f"Pearson's chi-square over {bins} bins of neighbouring totals (of "
            f"{count(len(outcomes))} possible), each merged until it expects at least "
            f"{MIN_EXPECTED:g} of the {count(n)} rolls under the exact odds, so that the "
            "chi-square approximation holds"
        )
    worst = _worst(cells)
    what = f"totals {worst.label}" if ".." in worst.label else f"total {worst.label}"
    deviation = _came_up(worst, what)
    spread = _shift_spread(outcomes, probabilities, starts, masses)

    def noncentrality(share: float) -> float:
        return n * share * share * spread

    def words(share: float | None) -> str:
        if share is None:
            return (
                f"with {count(n)} rolls of {expression}, even a roller that adds 1 to every "
                "total it can would be caught less than 80% of the time: roll more"
            )
        return (
            f"with {count(n)} rolls of {expression}, a roller that adds 1 to {percent(share)} "
            "of its totals is caught 80% of the time"
        )

    return Check(
        kind="totals",
        subject=expression,
        count=n,
        method="chi-square",
        why=why,
        statistic=statistic,
        df=df,
        p_value=stats.chi2_sf(statistic, df),
        deviation=deviation,
        cells=tuple(cells),
        power=_chi2_power(df, noncentrality),
        effects=(0.0, 1.0),
        power_words=words,
    )


def effect_caught(check: Check, level: float, power: float = 0.8) -> float | None:
    """The least bias of the check's kind that it finds with chance ``power`` at
    ``level``; None when even the most there is is found less often."""
    low, high = check.effects
    if check.power(high, level) < power:
        return None
    for _ in range(60):
        middle = (low + high) / 2.0
        if check.power(middle, level) >= power:
            high = middle
        else:
            low = middle
        if high - low < 1e-6:
            break
    return high
