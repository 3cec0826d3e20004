"""The ``kavelo`` command: roll dice expressions and programs from the shell.

Run ``kavelo --help`` for the options. Every text given on the command line (or read
from standard input, one per line) is one request to a :class:`kavelo.Kavelo` roller
built from the default limits and any ``--limit`` options.

Exit status: 0 when every text rolled, 1 when a roll failed (the module's message is
written to standard error as it was raised), 2 for a usage error, 130 after Ctrl-C.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import sys
from collections import Counter
from typing import Any, Iterable, Iterator, Sequence, TextIO

from . import Kavelo, ResourcePolicy, __version__

#: Most rows a histogram shows before neighbouring values share a row.
MAX_ROWS = 40
#: The bar of a histogram row never gets narrower than this, however narrow the terminal.
MIN_BAR = 10
#: Partial blocks from one eighth to seven eighths of a character cell.
EIGHTHS = "▏▎▍▌▋▊▉"
FULL_BLOCK = "█"

EXIT_OK = 0
EXIT_ROLL_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141

DESCRIPTION = """\
Roll dice expressions and programs.

Each EXPRESSION is rolled in its own request. A program holds several instructions
separated by ';' and may end with one '# comment'. Every instruction prints one line:
its total, a tab, and the details text. A comment prints a last line '# comment'.
Without EXPRESSION, and when standard input is not a terminal, one text is read from
each line of standard input (blank lines are skipped)."""

EPILOG = """\
examples:
  kavelo 4d6kh3+2                    roll once: "16<TAB>14 + 2 = 16"
  kavelo 1d20+5 2d6                  two texts, two lines
  kavelo '1d20+5; 2d6 # attack'      a program: two lines, then "# attack"
  kavelo -n 5 3d6                    five samples of one expression
  kavelo -n 2000 --stats 3d6         mean, deviation, range and a histogram
  kavelo --json 2d6                  the result dictionary as JSON
  kavelo --limit generated_values=50 '1d1!'
  kavelo --limits                    the limits in force and their hard maxima
  printf '1d6\\n2d8\\n' | kavelo       one text per input line
  kavelo -- -1+1d6                   '--' lets a text start with '-'

exit status: 0 success, 1 a roll failed, 2 usage error, 130 interrupted"""


class UsageError(Exception):
    """A problem with the command line found after argparse has parsed it."""


def _times(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid count: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"count must be at least 1: {text!r}")
    return value


def _limit(text: str) -> tuple[str, int]:
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE: {text!r}")
    try:
        return name, int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid limit value: {text!r}") from None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kavelo",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "expressions", nargs="*", metavar="EXPRESSION",
        help="a dice expression or a ';'-separated program",
    )
    parser.add_argument(
        "-n", "--times", type=_times, metavar="N",
        help="roll each expression N times in one request (one instruction only)",
    )
    parser.add_argument(
        "--stats", action="store_true",
        help="with -n: print mean, standard deviation, minimum, maximum and a "
        "histogram of the totals instead of the samples",
    )
    parser.add_argument(
        "--json", action="store_true",
        help="print results as JSON, one document per line",
    )
    parser.add_argument(
        "--limit", type=_limit, action="append", default=[], metavar="NAME=VALUE",
        help="set one resource limit (repeatable)",
    )
    parser.add_argument(
        "--limits", action="store_true",
        help="print the limits in force and their hard maxima, then exit",
    )
    parser.add_argument("-V", "--version", action="version", version=f"kavelo {__version__}")
    return parser


def build_policy(limits: Iterable[tuple[str, int]]) -> ResourcePolicy:
    """The default policy with each ``(name, value)`` applied in order."""
    policy = ResourcePolicy()
    for name, value in limits:
        try:
            policy = policy.with_limit(name, value)
        except (ValueError, OverflowError) as exc:
            raise UsageError(str(exc)) from None
    return policy


# ---------------------------------------------------------------- rendering


def instruction_line(result: dict[str, Any]) -> str:
    """One instruction's line: the total, a tab and the details text."""
    return f"{result['total']}\t{result['details']}"


def comment_line(comment: str) -> str:
    return f"# {comment}"


def to_json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False)


def limits_table(policy: ResourcePolicy) -> list[str]:
    current = policy.limits()
    hard = policy.hard_limits()
    name_width = max(len("name"), *(len(name) for name in current))
    value_width = max(len("limit"), *(len(str(v)) for v in current.values()))
    hard_width = max(len("hard maximum"), *(len(str(v)) for v in hard.values()))
    lines = [f"{'name':<{name_width}}  {'limit':>{value_width}}  {'hard maximum':>{hard_width}}"]
    for name, value in current.items():
        lines.append(f"{name:<{name_width}}  {value:>{value_width}}  {hard[name]:>{hard_width}}")
    return lines


class Summary:
    """Mean, population standard deviation, minimum and maximum of integer totals,
    and how often each total occurred."""

    def __init__(self, totals: Sequence[int]) -> None:
        if not totals:
            raise ValueError("no totals to summarise")
        n = len(totals)
        s1 = sum(totals)
        s2 = sum(t * t for t in totals)
        self.samples = n
        self.mean = s1 / n
        # n * sum(x^2) - sum(x)^2 is exact in integers and never negative.
        self.stdev = math.sqrt(n * s2 - s1 * s1) / n
        self.minimum = min(totals)
        self.maximum = max(totals)
        self.counts = Counter(totals)

    def to_dict(self, expression: str) -> dict[str, Any]:
        return {
            "expression": expression,
            "samples": self.samples,
            "mean": self.mean,
            "stdev": self.stdev,
            "min": self.minimum,
            "max": self.maximum,
            "counts": [[value, self.counts[value]] for value in sorted(self.counts)],
        }


def histogram_rows(summary: Summary, max_rows: int = MAX_ROWS) -> list[tuple[str, int]]:
    """Labels and counts: one row per distinct total while there are at most
    ``max_rows`` of them, else at most ``max_rows`` ranges ``low..high`` of equal width
    from the minimum to the maximum, empty ranges included. The width divides the span
    when a width up to twice the smallest one does, so that the last range is not
    shorter than the others (1 to 100 gives 25 ranges of 4)."""
    if len(summary.counts) <= max_rows:
        return [(str(value), summary.counts[value]) for value in sorted(summary.counts)]
    span = summary.maximum - summary.minimum + 1
    width = -(-span // max_rows)
    width = next((w for w in range(width, 2 * width + 1) if span % w == 0), width)
    buckets = [0] * (-(-span // width))
    for value, count in summary.counts.items():
        buckets[(value - summary.minimum) // width] += count
    rows = []
    for i, count in enumerate(buckets):
        low = summary.minimum + i * width
        high = min(low + width - 1, summary.maximum)
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
    """The summary block and the histogram; no row is wider than ``columns - 1``."""
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


# ---------------------------------------------------------------- running


class Runner:
    """Rolls texts with one roller and writes what the options ask for."""

    def __init__(self, roller: Kavelo, options: argparse.Namespace, out: TextIO, err: TextIO):
        self.roller = roller
        self.options = options
        self.out = out
        self.err = err
        self.failed = False

    def emit(self, lines: Iterable[str]) -> None:
        for line in lines:
            self.out.write(line + "\n")
        self.out.flush()

    def roll(self, text: str) -> None:
        try:
            lines = self.render(text)
        # ValueError: every error of the module (UnicodeError included); OverflowError:
        # a count of samples beyond what the module takes.
        except (ValueError, OverflowError) as exc:
            self.failed = True
            self.err.write(f"{exc}\n")
            self.err.flush()
            return
        self.emit(lines)

    def render(self, text: str) -> list[str]:
        times = self.options.times
        if times is None:
            program = self.roller.run(text)
            if self.options.json:
                return [to_json(program)]
            lines = [instruction_line(r) for r in program["results"]]
            if program["comment"]:
                lines.append(comment_line(program["comment"]))
            return lines
        samples = self.roller.roll_multiple(text, times)
        if self.options.stats:
            summary = Summary([s["total"] for s in samples])
            if self.options.json:
                return [to_json(summary.to_dict(text))]
            columns = shutil.get_terminal_size().columns
            return stats_lines(text, summary, columns)
        if self.options.json:
            return [to_json(samples)]
        lines = [instruction_line(s) for s in samples]
        if samples and samples[0]["comment"]:
            lines.append(comment_line(samples[0]["comment"]))
        return lines


def stdin_texts(stream: TextIO) -> Iterator[str]:
    """Non-blank lines of ``stream`` without their line ending, as they arrive."""
    for line in iter(stream.readline, ""):
        text = line.rstrip("\r\n")
        if text.strip():
            yield text


def _utf8(stream: TextIO, errors: str) -> None:
    reconfigure = getattr(stream, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(encoding="utf-8", errors=errors)


def run(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    if options.stats and options.times is None:
        parser.error("--stats needs -n/--times")
    if options.limits and options.expressions:
        parser.error("--limits takes no EXPRESSION")
    try:
        policy = build_policy(options.limit)
    except UsageError as exc:
        parser.error(str(exc))

    _utf8(sys.stdout, "strict")
    _utf8(sys.stderr, "backslashreplace")

    if options.limits:
        if options.json:
            print(to_json({"limits": policy.limits(), "hard_limits": policy.hard_limits()}))
        else:
            print("\n".join(limits_table(policy)))
        return EXIT_OK

    if options.expressions:
        texts: Iterable[str] = options.expressions
    elif sys.stdin is not None and not sys.stdin.isatty():
        _utf8(sys.stdin, "replace")
        texts = stdin_texts(sys.stdin)
    else:
        parser.error("no EXPRESSION given and standard input is a terminal")

    runner = Runner(Kavelo(policy), options, sys.stdout, sys.stderr)
    for text in texts:
        runner.roll(text)
    return EXIT_ROLL_FAILED if runner.failed else EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the ``kavelo`` command and of ``python -m kavelo``."""
    try:
        return run(argv)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (``kavelo -n 1000 1d6 | head``): stop without a
        # traceback, and keep the interpreter from failing to flush at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
