"""Ways to show odds: a text table with a histogram, expressions side by side, JSON, and
a chart written as SVG (plain SVG, or through matplotlib when it is installed).

>>> from kavelo import odds
>>> from kavelo.odds_display import table_lines
>>> print("\\n".join(table_lines(odds("1d4"), columns=60)))
expression  1d4
mean        2.5000
stdev       1.1180
min         1
max         4
<BLANKLINE>
total  probability  at least  at most
    1       25.00%   100.00%   25.00% █████████████████████
    2       25.00%    75.00%   50.00% █████████████████████
    3       25.00%    50.00%   75.00% █████████████████████
    4       25.00%    25.00%  100.00% █████████████████████
"""

from __future__ import annotations

import bisect
import json
import math
from collections.abc import Callable, Sequence
from typing import Any

from ..chart_file import literal, prepare, write_svg
from ..safe_text import xml_text
from .odds import Odds

__all__ = ["COLUMNS", "table_lines", "comparison_lines", "json_text", "svg_chart", "write_plot"]

#: The columns a table can show, and their headings.
COLUMNS = {"probability": "probability", "at_least": "at least", "at_most": "at most"}
#: Most rows before neighbouring totals share a row.
MAX_ROWS = 40
#: The bar of a row never gets narrower than this.
MIN_BAR = 10
EIGHTHS = "▏▎▍▌▋▊▉"
FULL_BLOCK = "█"


def _percent(p: float) -> str:
    return f"{100 * p:.2f}%"


def _bar(value: float, largest: float, width: int) -> str:
    """Block characters in eighths of a cell, ``width`` cells for ``largest``; a value
    above zero always shows at least one eighth."""
    eighths = round(value * width * 8 / largest) if largest > 0 else 0
    if value > 0 and not eighths:
        eighths = 1
    full, part = divmod(eighths, 8)
    return FULL_BLOCK * full + (EIGHTHS[part - 1] if part else "")


def _ranges(low: int, high: int, count: int, max_rows: int) -> list[tuple[int, int]]:
    """The rows: one per total while there are at most ``max_rows`` totals, else ranges
    of equal width from ``low`` to ``high`` (a width that divides the span when one up
    to twice the smallest does, so that the last range is not shorter)."""
    if count <= max_rows:
        return []
    span = high - low + 1
    width = -(-span // max_rows)
    width = next((w for w in range(width, 2 * width + 1) if span % w == 0), width)
    return [(start, min(start + width - 1, high)) for start in range(low, high + 1, width)]


def _rows(odds_list: Sequence[Odds], max_rows: int) -> list[tuple[str, int, int]]:
    """Labels and the totals each row covers, over the outcomes of every expression."""
    outcomes = sorted({x for d in odds_list for x in d.pmf})
    if not outcomes:
        return []
    ranges = _ranges(outcomes[0], outcomes[-1], len(outcomes), max_rows)
    if not ranges:
        return [(str(x), x, x) for x in outcomes]
    return [(f"{a}..{b}" if b > a else str(a), a, b) for a, b in ranges]


def _row_probability(d: Odds, low: int, high: int) -> float:
    return d.at_most(high) - d.at_most(low - 1) if high > low else d.probability(low)


def _summary_lines(d: Odds) -> list[str]:
    lines = [f"expression  {d.expression}"]
    if d.pmf:
        lines += [
            f"mean        {d.mean:.4f}",
            f"stdev       {d.stdev:.4f}",
            f"min         {d.min}",
            f"max         {d.max}",
        ]
    else:
        lines.append("no roll gives a total")
    for code, p in sorted(d.failures.items()):
        lines.append(f"fails       {_percent(p)} {code}")
    if d.truncated > 0:
        lines.append(f"truncated   {d.truncated:.3g}")
    return lines


def table_lines(d: Odds, columns: int = 80, max_rows: int = MAX_ROWS) -> list[str]:
    """The summary (mean, standard deviation, extremes, failures) and one row per total
    (or range of totals) with its probability, the chance of at least and at most it,
    and a bar of the probability. No row is wider than ``columns - 1``."""
    lines = _summary_lines(d) + [""]
    rows = _rows([d], max_rows)
    if not rows:
        return lines[:-1]
    label_width = max(5, max(len(label) for label, _, _ in rows))
    values = [
        (label, _row_probability(d, a, b), d.at_least(a), d.at_most(b)) for label, a, b in rows
    ]
    largest = max(p for _, p, _, _ in values)
    lines.append(f"{'total':>{label_width}}  probability  at least  at most")
    # label, the three columns under their headings, one space, then the bar
    prefix = label_width + 2 + 11 + 2 + 8 + 2 + 7 + 1
    bar_width = max(MIN_BAR, columns - 1 - prefix)
    for label, p, least, most in values:
        lines.append(
            f"{label:>{label_width}}  {_percent(p):>11}  {_percent(least):>8}  {_percent(most):>7} "
            f"{_bar(p, largest, bar_width)}".rstrip()
        )
    return lines


def comparison_lines(
    odds_list: Sequence[Odds], column: str = "at_least", max_rows: int = MAX_ROWS
) -> list[str]:
    """Expressions side by side: one column per expression, one row per total (or range
    of totals), showing ``column`` ("at_least" by default, "at_most" or "probability"),
    then each expression's mean, standard deviation, failures (in percent) and the mass
    left out of endless explosions, when there are any."""
    if column not in COLUMNS:
        raise ValueError(f"column must be one of {', '.join(COLUMNS)}: got {column!r}")
    rows = _rows(odds_list, max_rows)
    heads = [d.expression for d in odds_list]
    truncated = any(d.truncated > 0 for d in odds_list)
    label_width = max([len("truncated") if truncated else 5] + [len(label) for label, _, _ in rows])
    widths = [max(8, len(h)) for h in heads]

    def line(label: str, cells: Sequence[str]) -> str:
        return (
            f"{label:>{label_width}}  "
            + "  ".join(f"{c:>{w}}" for c, w in zip(cells, widths, strict=True))
        ).rstrip()

    lines = [f"{COLUMNS[column]} (%)", line("total", heads)]
    for label, a, b in rows:
        cells = []
        for d in odds_list:
            if column == "at_least":
                cells.append(f"{100 * d.at_least(a):.2f}")
            elif column == "at_most":
                cells.append(f"{100 * d.at_most(b):.2f}")
            else:
                cells.append(f"{100 * _row_probability(d, a, b):.2f}")
        lines.append(line(label, cells))
    lines.append(line("mean", [f"{d.mean:.4f}" if d.pmf else "-" for d in odds_list]))
    lines.append(line("stdev", [f"{d.stdev:.4f}" if d.pmf else "-" for d in odds_list]))
    if any(d.failures for d in odds_list):
        lines.append(line("fails", [f"{100 * sum(d.failures.values()):.2f}" for d in odds_list]))
    if truncated:
        lines.append(line("truncated", [f"{d.truncated:.3g}" for d in odds_list]))
    return lines


def json_text(odds_list: Sequence[Odds]) -> str:
    """One JSON document: the odds of one expression as an object, of several as a list
    (outcomes as [total, probability] pairs), not ASCII-escaped."""
    data: Any = [d.to_dict() for d in odds_list]
    if len(odds_list) == 1:
        data = data[0]
    return json.dumps(data, ensure_ascii=False)


# ---------------------------------------------------------------- charts

#: Colours of the series, one per expression, repeated past the end.
PALETTE = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf"]


#: A chart shows the totals where some expression has at least this much on both sides:
#: far tails (an explosion's, say) would squeeze everything else into a corner.
VISIBLE_TAIL = 1e-4


def _visible_range(odds_list: Sequence[Odds]) -> tuple[float, float]:
    low, high = math.inf, -math.inf
    for d in odds_list:
        outcomes = d.outcomes
        if not outcomes:
            continue
        # At most rises and at least falls along the outcomes: the totals with both at or
        # above the tail are one run, found by bisection (a million totals cost the same
        # as a few).
        indices = range(len(outcomes))
        first = bisect.bisect_left(
            indices, True, key=lambda i: d.at_most(outcomes[i]) >= VISIBLE_TAIL
        )
        last = (
            bisect.bisect_left(indices, True, key=lambda i: d.at_least(outcomes[i]) < VISIBLE_TAIL)
            - 1
        )
        if first > last:
            first, last = 0, len(outcomes) - 1
        low, high = min(low, outcomes[first]), max(high, outcomes[last])
    return low, high


def _series(
    d: Odds, column: str, low: float = -math.inf, high: float = math.inf
) -> list[tuple[float, float]]:
    """(total, value) for the totals from low to high."""
    xs = [x for x in d.pmf if low <= x <= high]
    if column == "at_least":
        return [(x, d.at_least(x)) for x in xs]
    if column == "at_most":
        return [(x, d.at_most(x)) for x in xs]
    return [(x, d.pmf[x]) for x in xs]


#: Most points a series is drawn with: a chart is a few hundred pixels wide, and a
#: distribution may have a million totals.
MAX_POINTS = 1000


def _thin(
    points: list[tuple[float, float]], column: str, max_points: int = MAX_POINTS
) -> list[tuple[float, float]]:
    """At most about ``max_points`` of the points, so that a chart costs the same
    whatever the number of totals. Probabilities: neighbouring totals in groups of equal
    size, each group one point at its middle with the mean probability of its totals (the
    height their bars would show together). At least and at most: the exact value at
    every k-th total, and at the last."""
    count = len(points)
    if count <= max_points:
        return points
    step = -(-count // max_points)
    if column == "probability":
        thinned = []
        for start in range(0, count, step):
            group = points[start : start + step]
            middle = (group[0][0] + group[-1][0]) / 2
            thinned.append((middle, math.fsum(p for _, p in group) / len(group)))
        return thinned
    thinned = points[::step]
    if thinned[-1] != points[-1]:
        thinned.append(points[-1])
    return thinned


def _ticks(low: float, high: float, count: int = 6) -> list[float]:
    """Round tick positions covering [low, high]."""
    if high <= low:
        return [low]
    raw = (high - low) / count
    step = 10 ** math.floor(math.log10(raw))
    for factor in (1, 2, 5, 10):
        if raw <= factor * step:
            step *= factor
            break
    start = math.ceil(low / step) * step
    ticks = []
    value = start
    while value <= high + step * 1e-9:
        ticks.append(round(value, 12))
        value += step
    return ticks


def _tick_label(value: float, percent: bool) -> str:
    if percent:
        return f"{100 * value:g}%"
    return str(int(value)) if float(value).is_integer() else f"{value:g}"


def svg_chart(
    odds_list: Sequence[Odds],
    column: str = "probability",
    width: int = 720,
    height: int = 400,
    title: str | None = None,
) -> str:
    """A chart of ``column`` over the totals, one series per expression: bars for one
    expression's probabilities, lines (with points when few) otherwise; axes, grid and
    legend. Totals in the far tails of every expression (below 0.01% on either side) are
    left out of the picture; a series of more than ``MAX_POINTS`` totals is drawn as a
    line through at most about that many points (see ``_thin``). A complete SVG document
    without outside references."""
    if column not in COLUMNS:
        raise ValueError(f"column must be one of {', '.join(COLUMNS)}: got {column!r}")
    shown_low, shown_high = _visible_range(odds_list)
    full = [_series(d, column, shown_low, shown_high) for d in odds_list]
    series = [_thin(s, column) for s in full]
    thinned = any(len(s) != len(f) for s, f in zip(series, full, strict=True))
    markers = all(len(s) <= 60 for s in series)
    left, right, top, bottom = 64, 16, 40 if title else 16, 48
    legend_height = 20 * len(odds_list)
    plot_w, plot_h = width - left - right, height - top - bottom - legend_height
    # The axis spans every total shown; the scale is that of the values drawn.
    xs = [x for s in full for x, _ in s[:1] + s[-1:]] or [0]
    x_low, x_high = min(xs) - 0.5, max(xs) + 0.5
    y_high = max([p for s in series for _, p in s] + [1e-12])
    y_high = 1.0 if column != "probability" else y_high * 1.05

    def px(x: float) -> float:
        return left + (x - x_low) / (x_high - x_low) * plot_w

    def py(y: float) -> float:
        return top + plot_h - y / y_high * plot_h

    out = [
        (
            f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">'
        ),
        f'<rect x="0" y="0" width="{width}" height="{height}" fill="white"/>',
    ]
    if title:
        out.append(
            f'<text x="{width / 2:.1f}" y="24" text-anchor="middle" font-size="15">{xml_text(title)}</text>'
        )
    out += _axes(column, (left, top, plot_w, plot_h), (x_low, x_high, y_high), px, py)
    bars = len(odds_list) == 1 and column == "probability" and not thinned
    for i, (d, s) in enumerate(zip(odds_list, series, strict=True)):
        colour = PALETTE[i % len(PALETTE)]
        out.append(f'<g class="series" fill="{colour}" stroke="{colour}">')
        if bars:
            bar_w = max(plot_w / (x_high - x_low) * 0.8, 0.5)
            out.extend(_bars(s, bar_w, px, py))
        elif s:
            out.extend(_line(s, markers, px, py))
        out.append("</g>")
        y = top + plot_h + bottom + 20 * i + 4
        out.append(f'<rect x="{left}" y="{y}" width="14" height="10" fill="{colour}"/>')
        label = d.expression + (f"  (mean {d.mean:.2f})" if d.pmf else "")
        out.append(f'<text x="{left + 20}" y="{y + 10}">{xml_text(label)}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


_Scale = Callable[[float], float]


def _axes(
    column: str,
    box: tuple[int, int, float, float],
    span: tuple[float, float, float],
    px: _Scale,
    py: _Scale,
) -> list[str]:
    """Grid, ticks, axis lines and axis titles."""
    left, top, plot_w, plot_h = box
    x_low, x_high, y_high = span
    out: list[str] = []
    for tick in _ticks(0, y_high):
        y = py(tick)
        out.append(
            f'<line x1="{left}" y1="{y:.1f}" x2="{left + plot_w}" y2="{y:.1f}" stroke="#ddd"/>'
        )
        out.append(
            f'<text x="{left - 6}" y="{y + 4:.1f}" text-anchor="end">{_tick_label(tick, True)}</text>'
        )
    for tick in _ticks(x_low + 0.5, x_high - 0.5, 10):
        x = px(tick)
        out.append(
            f'<line x1="{x:.1f}" y1="{top + plot_h}" x2="{x:.1f}" y2="{top + plot_h + 4}" stroke="black"/>'
        )
        out.append(
            f'<text x="{x:.1f}" y="{top + plot_h + 18}" text-anchor="middle">{_tick_label(tick, False)}</text>'
        )
    out.append(
        f'<line x1="{left}" y1="{top + plot_h}" x2="{left + plot_w}" y2="{top + plot_h}" stroke="black"/>'
    )
    out.append(f'<line x1="{left}" y1="{top}" x2="{left}" y2="{top + plot_h}" stroke="black"/>')
    out.append(
        f'<text x="{left + plot_w / 2:.1f}" y="{top + plot_h + 36}" text-anchor="middle">total</text>'
    )
    out.append(
        f'<text x="14" y="{top + plot_h / 2:.1f}" text-anchor="middle" '
        f'transform="rotate(-90 14 {top + plot_h / 2:.1f})">{COLUMNS[column]}</text>'
    )
    return out


def _bars(series: Sequence[tuple[float, float]], bar_w: float, px: _Scale, py: _Scale) -> list[str]:
    return [
        f'<rect x="{px(x) - bar_w / 2:.2f}" y="{py(p):.2f}" width="{bar_w:.2f}" '
        f'height="{max(py(0) - py(p), 0):.2f}" stroke="none"/>'
        for x, p in series
    ]


def _line(
    series: Sequence[tuple[float, float]], markers: bool, px: _Scale, py: _Scale
) -> list[str]:
    path = " ".join(f"{px(x):.2f},{py(p):.2f}" for x, p in series)
    shown = [f'<polyline points="{path}" fill="none" stroke-width="2"/>']
    if markers:
        shown += [
            f'<circle cx="{px(x):.2f}" cy="{py(p):.2f}" r="2.5" stroke="none"/>' for x, p in series
        ]
    return shown


def write_plot(
    path: str,
    odds_list: Sequence[Odds],
    column: str = "probability",
    backend: str = "auto",
    title: str | None = None,
) -> str:
    """Draws the chart to ``path`` and returns the backend used: "matplotlib" when it is
    installed and ``backend`` is "auto" or "matplotlib", else "svg" (plain SVG, no
    dependency). matplotlib chooses the format from the file name."""
    plt = prepare(path, backend)
    if plt is not None:
        figure, axes = plt.subplots(figsize=(7.2, 4.0))
        shown_low, shown_high = _visible_range(odds_list)
        for d in odds_list:
            full = _series(d, column, shown_low, shown_high)
            points = _thin(full, column)
            xs, ys = zip(*points, strict=True) if points else ((), ())
            if len(odds_list) == 1 and column == "probability" and len(points) == len(full):
                axes.bar(xs, ys, label=literal(d.expression))
            else:
                axes.plot(
                    xs, ys, marker="o" if len(xs) <= 60 else None, label=literal(d.expression)
                )
        axes.set_xlabel("total")
        axes.set_ylabel(COLUMNS[column])
        axes.yaxis.set_major_formatter(lambda value, _: f"{100 * value:g}%")
        axes.grid(axis="y", color="#ddd")
        axes.legend()
        if title:
            axes.set_title(literal(title))
        figure.tight_layout()
        figure.savefig(path)
        plt.close(figure)
        return "matplotlib"
    write_svg(path, svg_chart(odds_list, column, title=title))
    return "svg"
