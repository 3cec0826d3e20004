"""Summaries of many totals: mean, deviation, range and a histogram drawn with block
characters. Memory stays bounded however many samples come in, and the histogram costs
the same whatever the span of the totals."""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Iterable
from typing import Any

#: Most rows a histogram shows before neighbouring values share a row.
MAX_ROWS = 40
#: The bar of a histogram row never gets narrower than this, however narrow the terminal.
MIN_BAR = 10
#: Most distinct keys a summary counts; past it, neighbouring totals share a bin.
MAX_BINS = 1 << 16
#: Partial blocks from one eighth to seven eighths of a character cell.
EIGHTHS = "▏▎▍▌▋▊▉"
FULL_BLOCK = "█"


class Summary:
    """Mean, population standard deviation, minimum and maximum of integer totals,
    and how often each total occurred.

    Totals are counted exactly while there are at most ``MAX_BINS`` distinct ones.
    Beyond that the counts are folded into bins of ``2**shift`` neighbouring totals
    (a bin holds the totals ``t`` with equal ``t >> shift``), doubling the bin width
    until they fit again: the histogram's rows are whole bins, so its counts stay
    exact, and only the rows' boundaries become multiples of the bin width."""

    def __init__(self, totals: Iterable[int] = ()) -> None:
        self.samples = 0
        self._sum = 0
        self._sum_of_squares = 0
        self._minimum: int | None = None
        self._maximum: int | None = None
        self.shift = 0
        self.bins: Counter[int] = Counter()
        self.add(totals)

    def add(self, totals: Iterable[int]) -> None:
        values = list(totals)
        if not values:
            return
        self.samples += len(values)
        self._sum += sum(values)
        self._sum_of_squares += sum(value * value for value in values)
        low, high = min(values), max(values)
        self._minimum = low if self._minimum is None else min(self._minimum, low)
        self._maximum = high if self._maximum is None else max(self._maximum, high)
        shift = self.shift
        self.bins.update(values if shift == 0 else (value >> shift for value in values))
        while len(self.bins) > MAX_BINS:
            folded: Counter[int] = Counter()
            for key, count in self.bins.items():
                folded[key >> 1] += count
            self.bins = folded
            self.shift += 1

    def _require(self) -> None:
        if not self.samples:
            raise ValueError("no totals to summarise")

    @property
    def minimum(self) -> int:
        self._require()
        assert self._minimum is not None
        return self._minimum

    @property
    def maximum(self) -> int:
        self._require()
        assert self._maximum is not None
        return self._maximum

    @property
    def mean(self) -> float:
        self._require()
        return self._sum / self.samples

    @property
    def stdev(self) -> float:
        self._require()
        n = self.samples
        # n * sum(x^2) - sum(x)^2 is exact in integers and never negative.
        return math.sqrt(n * self._sum_of_squares - self._sum * self._sum) / n

    @property
    def counts(self) -> Counter[int]:
        """How often each total occurred; only while the totals are counted exactly."""
        if self.shift:
            raise ValueError("totals were folded into bins")
        return self.bins

    def to_dict(self, expression: str) -> dict[str, Any]:
        """The summary as JSON data: ``counts`` holds [total, count] pairs; once the
        totals are folded, ``bins`` holds [lowest, highest, count] triples instead."""
        data: dict[str, Any] = {
            "expression": expression,
            "samples": self.samples,
            "mean": self.mean,
            "stdev": self.stdev,
            "min": self.minimum,
            "max": self.maximum,
        }
        if self.shift == 0:
            data["counts"] = [[value, self.bins[value]] for value in sorted(self.bins)]
        else:
            data["bins"] = [[low, high, count] for low, high, count in self._bin_ranges()]
        return data

    def _bin_ranges(self) -> list[tuple[int, int, int]]:
        width = 1 << self.shift
        return [
            (
                max(key * width, self.minimum),
                min((key + 1) * width - 1, self.maximum),
                self.bins[key],
            )
            for key in sorted(self.bins)
        ]


def row_width(span: int, max_rows: int = MAX_ROWS) -> int:
    """The width of the rows that cover ``span`` consecutive keys in at most
    ``max_rows`` rows: the smallest width that does so, unless a width up to twice
    that divides the span, so that the last row is not shorter than the others
    (a span of 100 gives rows of 4).

    A dividing width w = span / r comes from a row count r between span / (2 * smallest)
    and span / smallest, at most max_rows / 2 + 1 of them: tried from the most rows
    down, the first that divides gives the smallest such width, whatever the span."""
    smallest = -(-span // max_rows)
    low = -(-span // (2 * smallest))
    for rows in range(span // smallest, low - 1, -1):
        if span % rows == 0:
            return span // rows
    return smallest


def histogram_rows(summary: Summary, max_rows: int = MAX_ROWS) -> list[tuple[str, int]]:
    """Labels and counts: one row per distinct total while there are at most
    ``max_rows`` of them, else at most ``max_rows`` ranges ``low..high`` of equal width
    from the minimum to the maximum, empty ranges included (see :func:`row_width`).
    Once the summary folds totals into bins, rows are made of whole bins."""
    if summary.shift == 0 and len(summary.bins) <= max_rows:
        return [(str(value), summary.bins[value]) for value in sorted(summary.bins)]
    first = summary.minimum >> summary.shift
    span = (summary.maximum >> summary.shift) - first + 1
    width = row_width(span, max_rows)
    buckets = [0] * (-(-span // width))
    for key, count in summary.bins.items():
        buckets[(key - first) // width] += count
    rows = []
    for i, count in enumerate(buckets):
        low = max((first + i * width) << summary.shift, summary.minimum)
        high = min(((first + (i + 1) * width) << summary.shift) - 1, summary.maximum)
        rows.append((f"{low}..{high}" if high > low else str(low), count))
    return rows


def bar(count: int, largest: int, width: int) -> str:
    """A bar of block characters, ``width`` cells for ``largest``, in eighths of a cell;
    a non-zero count always shows at least one eighth."""
    eighths = round(count * width * 8 / largest) if largest else 0
    if count and not eighths:
        eighths = 1
    full, part = divmod(eighths, 8)
    return FULL_BLOCK * full + (EIGHTHS[part - 1] if part else "")


def stats_lines(expression: str, summary: Summary, columns: int) -> list[str]:
    """The summary block and the histogram; no row is wider than ``columns - 1``.
    ``expression`` is shown as given: the caller escapes it."""
    lines = [
        f"expression  {expression}",
        f"samples     {summary.samples}",
        f"mean        {summary.mean:.4f}",
        f"stdev       {summary.stdev:.4f}",
        f"min         {summary.minimum}",
        f"max         {summary.maximum}",
        "",
    ]
    rows = histogram_rows(summary)
    label_width = max(len(label) for label, _ in rows)
    count_width = max(len(str(count)) for _, count in rows)
    largest = max(count for _, count in rows)
    # label, two spaces, count, one space, "100.00%", one space, then the bar
    prefix = label_width + 2 + count_width + 1 + 7 + 1
    bar_width = max(MIN_BAR, columns - 1 - prefix)
    for label, count in rows:
        percent = f"{100 * count / summary.samples:6.2f}%"
        lines.append(
            f"{label:>{label_width}}  {count:>{count_width}} {percent} "
            f"{bar(count, largest, bar_width)}".rstrip()
        )
    return lines
