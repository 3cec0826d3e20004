"""``--odds``: the exact distribution of each text instead of a roll.

One text (an argument, or each line of standard input as it is read) gives a table with
a histogram; several arguments are computed first and then shown side by side, one
column each; ``--plot`` draws the arguments as one chart; ``--json`` gives one value per
text. Everything shown of a text is escaped, in the chart too.

Memory stays bounded whatever the arguments: a text shown alone is dropped once it is
printed, and the texts held for a comparison or a chart are at most ``MAX_SHOWN`` with at
most ``--max-outcomes`` outcomes in all (as many as one distribution may have).
"""

from __future__ import annotations

import argparse
import importlib.util
import itertools
import math
import os
from collections.abc import Iterator

from ..probability.display import comparison_lines, table_lines, write_plot
from ..probability.odds import (
    DEFAULT_MAX_OUTCOMES,
    DEFAULT_MAX_WORK,
    DEFAULT_TOLERANCE,
    Odds,
    odds,
)
from .escape import escape_text
from .glossary import with_gloss
from .options import ODDS_COLUMNS
from .output import Output, terminal_columns
from .render import to_json
from .source import Input

#: Most texts shown side by side or in one chart.
MAX_SHOWN = 16
#: Characters of a text in a column heading, and in a chart's legend.
HEADING_CHARS = 24
LEGEND_CHARS = 60
#: [total, probability] pairs written at a time in the JSON form.
PAIRS_PER_PIECE = 1024
#: Chart formats by file extension, and whether they need matplotlib.
PLOT_FORMATS = {".svg": False, ".png": True, ".pdf": True}

_ODDS_ONLY = (
    ("--column", "column"),
    ("--plot", "plot"),
    ("--tolerance", "tolerance"),
    ("--max-outcomes", "max_outcomes"),
    ("--max-work", "max_work"),
)


class PlotError(Exception):
    """The chart could not be written."""


def _matplotlib_installed() -> bool:
    return importlib.util.find_spec("matplotlib") is not None


def _holds(options: argparse.Namespace) -> bool:
    """Whether the texts are kept until the end: for a comparison or a chart."""
    return options.plot is not None or (not options.json and len(options.expressions) > 1)


def usage_problem(options: argparse.Namespace) -> str | None:
    """What makes the odds options unusable together with the others, if anything."""
    if not options.odds:
        for flag, name in _ODDS_ONLY:
            if getattr(options, name) is not None:
                return f"{flag} needs --odds"
        return None
    if options.times is not None:
        return "--odds rolls nothing: it takes no -n/--times"
    if options.stats:
        return "--odds takes no --stats: its table has the mean, the deviation and a histogram"
    if options.limits:
        return "--limits lists the roller's limits; the odds have --tolerance, --max-outcomes and --max-work"
    if options.limit:
        return "--limit sets the roller's limits, which --odds does not use: see --tolerance, --max-outcomes, --max-work"
    if options.plot is not None:
        if not options.expressions:
            return "--plot needs EXPRESSION arguments (lines of standard input get a table each)"
        extension = os.path.splitext(options.plot)[1].lower()
        if extension not in PLOT_FORMATS:
            return f"--plot FILE must end in .svg, .png or .pdf: {options.plot!r}"
        if PLOT_FORMATS[extension] and not _matplotlib_installed():
            return f"--plot {extension} needs matplotlib, which is not installed (an .svg FILE needs nothing)"
    if _holds(options) and len(options.expressions) > MAX_SHOWN:
        return (
            f"--odds shows at most {MAX_SHOWN} EXPRESSIONs together "
            "(--json without --plot takes any number)"
        )
    return None


def shown(d: Odds, chars: int | None = None) -> Odds:
    """The odds as they are shown: the text escaped (and cut to ``chars``), a failure's
    text escaped and glossed. The probabilities are shared, not copied."""
    label = escape_text(d.expression)
    if chars is not None and len(label) > chars:
        label = label[: chars - 1] + "…"
    failures = {escape_text(with_gloss(code)): p for code, p in d.failures.items()}
    return Odds(label, d.pmf, failures, d.truncated)


def _finite(value: float) -> float | None:
    return value if math.isfinite(value) else None


def json_pieces(d: Odds) -> Iterator[str]:
    """``Odds.to_dict()`` as one line of JSON, in small pieces, without building the
    list of pairs: a distribution may have a million outcomes. A mean that does not
    exist (no total has a probability above zero) is null."""
    yield to_json({"expression": d.expression})[:-1] + ', "pmf": ['
    pairs = iter(d.pmf.items())
    separator = ""
    while chunk := list(itertools.islice(pairs, PAIRS_PER_PIECE)):
        yield separator + ", ".join(f"[{x}, {float(p)!r}]" for x, p in chunk)
        separator = ", "
    has_mean = bool(d.pmf) and math.isfinite(d.mean)
    rest = {
        "mean": d.mean if has_mean else None,
        "stdev": _finite(d.stdev) if has_mean else None,
        "min": d.min,
        "max": d.max,
        "failures": dict(d.failures),
        "truncated": d.truncated,
    }
    yield "], " + to_json(rest)[1:] + "\n"


class OddsRun:
    """Computes the odds of the texts one by one (``add``), then shows what needs them
    all (``finish``). ``add`` raises the odds' ValueError when a text fails."""

    def __init__(self, options: argparse.Namespace, out: Output) -> None:
        self.options = options
        self.out = out
        self.column: str | None = ODDS_COLUMNS[options.column] if options.column else None
        self.compare = not options.json and len(options.expressions) > 1
        self.hold = _holds(options)
        self.held: list[Odds] = []
        self.held_outcomes = 0
        self.max_outcomes: int = options.max_outcomes or DEFAULT_MAX_OUTCOMES
        self.max_work: int = options.max_work or DEFAULT_MAX_WORK
        self.tolerance: float = options.tolerance or DEFAULT_TOLERANCE
        self.tables = 0

    def add(self, item: Input) -> None:
        d = odds(
            item.text,
            tolerance=self.tolerance,
            max_outcomes=self.max_outcomes,
            max_work=self.max_work,
        )
        if self.hold:
            if self.held_outcomes + len(d.pmf) > self.max_outcomes:
                raise ValueError(
                    f"[odds.too_complex] the EXPRESSIONs shown together would have more than "
                    f"{self.max_outcomes} outcomes in all: show fewer, or raise --max-outcomes"
                )
            self.held.append(d)
            self.held_outcomes += len(d.pmf)
        if self.options.json:
            self.out.write(json_pieces(d))
        elif not self.compare:
            columns = terminal_columns(os.environ, self.out.stream)
            lines = table_lines(shown(d), columns=columns)
            # Tables of several lines of standard input are set apart by a blank line.
            self.out.write_lines([""] + lines if self.tables else lines)
            self.tables += 1

    def finish(self) -> None:
        if not self.held:
            return
        if self.compare:
            column = self.column or "at_least"
            self.out.write_lines(
                comparison_lines([shown(d, HEADING_CHARS) for d in self.held], column=column)
            )
        if self.options.plot is not None:
            self._plot(self.options.plot)

    def _plot(self, path: str) -> None:
        column = self.column or ("probability" if len(self.held) == 1 else "at_least")
        extension = os.path.splitext(path)[1].lower()
        backend = "matplotlib" if PLOT_FORMATS.get(extension) else "auto"
        try:
            write_plot(
                path, [shown(d, LEGEND_CHARS) for d in self.held], column=column, backend=backend
            )
        except OSError as error:
            raise PlotError(
                f"cannot write the plot {escape_text(repr(path))}: {error.strerror or error}"
            ) from None
        except (ImportError, ValueError, RuntimeError) as error:
            raise PlotError(
                f"cannot draw the plot {escape_text(repr(path))}: {escape_text(str(error))}"
            ) from None
