"""The picture of an audit: one panel per test, observed against expected.

Each bar is the share of the faces (or of the pairs after a face, or of the rolls) that
fell in one face, range of faces or bin of totals; the dark mark is the share fair dice
give it; the grey band is where a fair die's bar stays, all bars of the panel together,
at least ``1 - alpha`` of the time (a normal approximation, Bonferroni over the bars).
A bar outside its band is drawn in red.

Plain SVG needs nothing beyond the standard library; PNG and PDF go through matplotlib
where it is installed.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Protocol

from ..chart_file import literal, prepare, write_svg
from . import stats
from .checks import Cell
from .outcome import AuditTest
from .safe import xml_text
from .words import p_value

#: Most panels in one chart (the tests with the smallest p-values, in report order).
MAX_PANELS = 12
#: Most bars in one panel: neighbouring cells share a bar past it.
MAX_BARS = 60
WIDTH = 720
PANEL_HEIGHT = 190
HEAD_HEIGHT = 44
BAR = "#1f77b4"
OUTSIDE = "#d62728"
BAND = "#d9d9d9"
MARK = "#222222"


class Audit(Protocol):
    """What the chart reads of a report (kept apart from the report itself, which
    draws its chart through this module)."""

    @property
    def tests(self) -> tuple[AuditTest, ...]: ...
    @property
    def alpha(self) -> float: ...
    @property
    def verdict(self) -> str: ...
    @property
    def p_value(self) -> float: ...
    @property
    def correction(self) -> str: ...


@dataclass(frozen=True)
class Bar:
    label: str
    share: float
    expected: float
    low: float
    high: float

    @property
    def outside(self) -> bool:
        return not self.low <= self.share <= self.high


def _merge(cells: Sequence[Cell], conditional: bool, limit: int) -> list[Cell]:
    """At most ``limit`` cells, neighbours joined in groups of equal size. Cells of one
    count (faces, totals) add their counts and chances; conditional cells (the repeats
    after each face, each of its own trials) add counts and trials."""
    if len(cells) <= limit:
        return list(cells)
    step = -(-len(cells) // limit)
    out = []
    for start in range(0, len(cells), step):
        group = cells[start : start + step]
        first, last = group[0].label.split("..")[0], group[-1].label.split("..")[-1]
        label = first if first == last else f"{first}..{last}"
        observed = sum(c.observed for c in group)
        if conditional:
            trials = sum(c.trials for c in group)
            expected = math.fsum(c.expected * c.trials for c in group) / trials if trials else 0.0
        else:
            trials = group[0].trials
            expected = math.fsum(c.expected for c in group)
        out.append(Cell(label, observed, trials, expected))
    return out


def bars(test: AuditTest, alpha: float) -> list[Bar]:
    """The bars of a test's panel with their bands."""
    cells = _merge(test.cells, test.kind == "serial", MAX_BARS)
    z = stats.normal_isf(alpha / (2 * max(len(cells), 1)))
    out = []
    for cell in cells:
        p = cell.expected
        if cell.trials:
            share = cell.observed / cell.trials
            half = z * math.sqrt(max(p * (1.0 - p), 0.0) / cell.trials)
            low, high = max(0.0, p - half), min(1.0, p + half)
        else:
            share, low, high = 0.0, 0.0, 1.0
        out.append(Bar(cell.label, share, p, low, high))
    return out


def panel_title(test: AuditTest) -> str:
    what = {
        "faces": f"{test.subject}: share of each face",
        "serial": f"{test.subject}: share of faces followed by the same face (or range)",
        "totals": f"{test.subject}: share of each total",
    }[test.kind]
    verdict = "biased" if test.biased else "no evidence of bias"
    return f"{what} (n = {test.count:,}, adjusted p = {p_value(test.p_adjusted)}, {verdict})"


def shown_tests(audit: Audit) -> tuple[list[AuditTest], int]:
    """The tests drawn, in report order, and how many are left out."""
    tests = list(audit.tests)
    if len(tests) <= MAX_PANELS:
        return tests, 0
    chosen = set(sorted(range(len(tests)), key=lambda i: tests[i].p_adjusted)[:MAX_PANELS])
    return [t for i, t in enumerate(tests) if i in chosen], len(tests) - MAX_PANELS


def headline(audit: Audit) -> str:
    tests = len(audit.tests)
    if not tests:
        return "Dice audit: nothing to test"
    return (
        f"Dice audit: {audit.verdict} (p = {p_value(audit.p_value)}, {audit.correction} over "
        f"{tests} test{'s' if tests > 1 else ''}, alpha {audit.alpha:g})"
    )


def _ticks(top: float) -> list[float]:
    raw = top / 4
    step = 10 ** math.floor(math.log10(raw))
    for factor in (1, 2, 5, 10):
        if raw <= factor * step:
            step *= factor
            break
    return [i * step for i in range(int(top / step + 1e-9) + 1)]


def svg_chart(audit: Audit) -> str:
    """The audit's chart as a complete SVG document."""
    tests, left_out = shown_tests(audit)
    left, right = 64, 16
    plot_w = WIDTH - left - right
    foot = 24 if left_out else 8
    height = HEAD_HEIGHT + PANEL_HEIGHT * max(len(tests), 1) + foot
    out = [
        (
            f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}" '
            f'viewBox="0 0 {WIDTH} {height}" font-family="sans-serif" font-size="11">'
        ),
        f'<rect x="0" y="0" width="{WIDTH}" height="{height}" fill="white"/>',
        (
            f'<text x="{WIDTH / 2:.1f}" y="22" text-anchor="middle" font-size="15">'
            f"{xml_text(headline(audit))}</text>"
        ),
        (
            f'<text x="{WIDTH / 2:.1f}" y="38" text-anchor="middle" fill="#555">bars: observed; '
            f"marks: expected; grey: where fair dice stay ({100 * (1 - audit.alpha):g}% for all "
            "bars of a panel together)</text>"
        ),
    ]
    for index, test in enumerate(tests):
        top = HEAD_HEIGHT + index * PANEL_HEIGHT + 20
        plot_h = PANEL_HEIGHT - 20 - 36
        shown = bars(test, audit.alpha)
        y_top = max([b.share for b in shown] + [b.high for b in shown] + [1e-9]) * 1.1
        y_top = min(y_top, 1.0) if y_top > 0 else 1.0

        def py(value: float, top: float = top, plot_h: int = plot_h, y_top: float = y_top) -> float:
            return top + plot_h - value / y_top * plot_h

        out.append(
            f'<text x="{left}" y="{top - 6}" font-size="12">{xml_text(panel_title(test))}</text>'
        )
        for tick in _ticks(y_top):
            y = py(tick)
            out.append(
                f'<line x1="{left}" y1="{y:.1f}" x2="{left + plot_w}" y2="{y:.1f}" stroke="#eee"/>'
            )
            out.append(
                f'<text x="{left - 4}" y="{y + 4:.1f}" text-anchor="end">{100 * tick:g}%</text>'
            )
        slot = plot_w / max(len(shown), 1)
        label_every = max(1, math.ceil(len(shown) * 28 / plot_w))
        for i, bar in enumerate(shown):
            x = left + i * slot
            out.append(
                f'<rect class="band" x="{x + slot * 0.05:.2f}" y="{py(bar.high):.2f}" '
                f'width="{slot * 0.9:.2f}" height="{max(py(bar.low) - py(bar.high), 0.5):.2f}" '
                f'fill="{BAND}"/>'
            )
            out.append(
                f'<rect class="bar" x="{x + slot * 0.25:.2f}" y="{py(bar.share):.2f}" '
                f'width="{slot * 0.5:.2f}" height="{max(py(0) - py(bar.share), 0):.2f}" '
                f'fill="{OUTSIDE if bar.outside else BAR}"><title>{xml_text(bar.label)}: '
                f"{100 * bar.share:.3g}% observed, {100 * bar.expected:.3g}% expected</title></rect>"
            )
            out.append(
                f'<line class="expected" x1="{x + slot * 0.1:.2f}" y1="{py(bar.expected):.2f}" '
                f'x2="{x + slot * 0.9:.2f}" y2="{py(bar.expected):.2f}" stroke="{MARK}" '
                'stroke-width="2"/>'
            )
            if i % label_every == 0:
                out.append(
                    f'<text x="{x + slot / 2:.2f}" y="{top + plot_h + 14}" text-anchor="middle">'
                    f"{xml_text(bar.label)}</text>"
                )
        out.append(
            f'<line x1="{left}" y1="{top + plot_h}" x2="{left + plot_w}" y2="{top + plot_h}" '
            'stroke="black"/>'
        )
    if left_out:
        out.append(
            f'<text x="{left}" y="{height - 8}" fill="#555">{left_out} more tests with larger '
            "p-values are not drawn</text>"
        )
    out.append("</svg>")
    return "\n".join(out) + "\n"


def write_plot(audit: Audit, path: str, backend: str = "auto") -> str:
    """Draws the chart to ``path``: through matplotlib when it is installed and
    ``backend`` is "auto" or "matplotlib" (the format from the file name), else as
    plain SVG. Returns the backend used."""
    plt = prepare(path, backend)
    if plt is not None:
        _matplotlib(audit, path, plt)
        return "matplotlib"
    write_svg(path, svg_chart(audit))
    return "svg"


def _matplotlib(audit: Audit, path: str, plt: object) -> None:
    from .safe import plain_text

    tests, left_out = shown_tests(audit)
    rows = max(len(tests), 1)
    figure, axes_list = plt.subplots(  # type: ignore[attr-defined]
        rows, 1, figsize=(7.2, 0.6 + 1.9 * rows), squeeze=False
    )
    figure.suptitle(literal(plain_text(headline(audit))), fontsize=11)
    for axes, test in zip((row[0] for row in axes_list), tests, strict=False):
        shown = bars(test, audit.alpha)
        xs = list(range(len(shown)))
        axes.bar(
            xs,
            [b.high - b.low for b in shown],
            bottom=[b.low for b in shown],
            width=0.9,
            color=BAND,
        )
        axes.bar(
            xs,
            [b.share for b in shown],
            width=0.5,
            color=[OUTSIDE if b.outside else BAR for b in shown],
        )
        axes.scatter(xs, [b.expected for b in shown], marker="_", s=200, color=MARK, zorder=3)
        every = max(1, math.ceil(len(shown) / 24))
        axes.set_xticks(xs[::every])
        axes.set_xticklabels([literal(plain_text(b.label)) for b in shown][::every], fontsize=7)
        axes.yaxis.set_major_formatter(lambda value, _: f"{100 * value:g}%")
        axes.set_title(literal(plain_text(panel_title(test))), fontsize=8)
    if left_out:
        figure.text(0.01, 0.005, f"{left_out} more tests with larger p-values are not drawn")
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)  # type: ignore[attr-defined]
