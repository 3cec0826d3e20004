"""The command's options, its help text and its exit statuses."""

from __future__ import annotations

import argparse
import re
import sys
from typing import NoReturn

from .. import __version__
from .escape import escape_text

EXIT_OK = 0
EXIT_ROLL_FAILED = 1
EXIT_USAGE = 2
EXIT_IO = 74
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141

DESCRIPTION = """\
Roll dice expressions and programs.

Each EXPRESSION is rolled in its own request. A program holds several instructions
separated by ';' and may end with one '# comment'. Every instruction prints one line:
its total, a tab, and the details text. A comment prints a last line '# comment'.
Without EXPRESSION, and when standard input is not a terminal, one text is read from
each line of standard input (blank lines are skipped).

Arithmetic has no precedence: + - * / ^ apply strictly from left to right, so
'2d6+1d4*2' is (2d6+1d4)*2 and '1+2*3' is 9. Parentheses group: '2d6+(1d4*2)'.

A failed roll is reported on standard error with the place of its text ('argument 2',
'line 7'), and the other texts still roll. Control characters, DEL and bidirectional
controls that come from the input are shown escaped (\\x1b, \\u202e), in every form.

With --odds nothing is rolled: each EXPRESSION gets its exact distribution, as a table
of every total (probability, at least, at most) with a histogram, the mean, the
standard deviation, the chance of each failure and the mass left out of endless
explosions. Several EXPRESSIONs are shown side by side, one column each; --plot draws
them as one chart. Lines of standard input get one table each, as they are read."""

EPILOG = """\
examples:
  kavelo 4d6kh3+2                    roll once: "16<TAB>14 + 2 = 16"
  kavelo 1d20+5 2d6                  two texts, two lines
  kavelo '1d20+5; 2d6 # attack'      a program: two lines, then "# attack"
  kavelo -n 5 3d6                    five samples of one expression
  kavelo -n 1000000 --stats 1d20     mean, deviation, range and a histogram
  kavelo --json 2d6                  the result dictionary as JSON
  kavelo --limit generated_values=50 '1d1!'
  kavelo --limits                    the limits in force and their hard maxima
  printf '1d6\\n2d8\\n' | kavelo       one text per input line
  kavelo -- -1+1d6                   '--' lets a text start with '-'
  kavelo --odds 4d6kh3               exact odds: table, histogram, mean, deviation
  kavelo --odds 2d20kh1 1d20+5       side by side: the chance of at least each total
  kavelo --odds --column probability 8d6! 10d6
  kavelo --odds --plot damage.svg 8d6! 10d6
  kavelo --odds --json 1d20+5        the distribution as JSON
  kavelo audit rolls.jsonl           are the dice fair? (kavelo audit --help)

exit status:
  0    every text rolled (or its odds computed)
  1    a roll failed, or the odds of an EXPRESSION could not be computed (the
       other texts were still rolled or computed)
  2    usage error: a bad option, options that do not go together, or no
       EXPRESSION and no standard input to read
  74   standard input could not be read, standard output or the --plot file could
       not be written
  130  interrupted (Ctrl-C)
  141  the reader of standard output went away ('kavelo -n 5000 1d6 | head')"""

# Forty digits are far beyond any count or limit and keep int() from refusing (or
# spending time on) a number thousands of digits long.
_DECIMAL = re.compile(r"-?[0-9]{1,40}")
# A plain ASCII real number: float() would also take 'nan', 'inf', '1_0' and spaces.
_REAL = re.compile(r"(?:[0-9]{1,40}(?:\.[0-9]{0,40})?|\.[0-9]{1,40})(?:[eE][-+]?[0-9]{1,4})?")

#: The values of --column, and the display column each stands for.
ODDS_COLUMNS = {"probability": "probability", "at-least": "at_least", "at-most": "at_most"}
#: Largest count the odds take (--max-outcomes, --max-work).
_U64_MAX = 2**64 - 1


class Parser(argparse.ArgumentParser):
    """argparse, with every message escaped: its errors repeat what was typed."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {escape_text(message)}\n")


def decimal(text: str) -> int | None:
    """The value of a plain decimal integer (ASCII digits, an optional leading '-'),
    or None: int() would also take other scripts' digits, '_' and spaces."""
    return int(text) if _DECIMAL.fullmatch(text) else None


def _times(text: str) -> int:
    value = decimal(text)
    if value is None:
        raise argparse.ArgumentTypeError(f"invalid count: {text!r}")
    if value < 1:
        raise argparse.ArgumentTypeError(f"count must be at least 1: {text!r}")
    return value


def _odds_count(text: str) -> int:
    value = decimal(text)
    if value is None:
        raise argparse.ArgumentTypeError(f"invalid count: {text!r}")
    if not 1 <= value <= _U64_MAX:
        raise argparse.ArgumentTypeError(f"count must lie between 1 and {_U64_MAX}: {text!r}")
    return value


def _tolerance(text: str) -> float:
    if not _REAL.fullmatch(text):
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}")
    value = float(text)
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(f"tolerance must lie strictly between 0 and 1: {text!r}")
    return value


def _limit(text: str) -> tuple[str, int]:
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE: {text!r}")
    number = decimal(value)
    if number is None:
        raise argparse.ArgumentTypeError(f"invalid limit value: {text!r}")
    return name, number


def build_parser() -> Parser:
    parser = Parser(
        prog="kavelo",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "expressions",
        nargs="*",
        metavar="EXPRESSION",
        help="a dice expression or a ';'-separated program",
    )
    parser.add_argument(
        "-n",
        "--times",
        type=_times,
        metavar="N",
        help="roll each expression N times (one instruction only); any N: the samples "
        "are split into requests that fit the limits",
    )
    parser.add_argument(
        "--stats",
        action="store_true",
        help="with -n: print mean, standard deviation, minimum, maximum and a "
        "histogram of the totals instead of the samples",
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help="print exactly one JSON value per text, on one line; a failed text gives "
        '{"input": ..., "error": ..., "code": ...}',
    )
    parser.add_argument(
        "--limit",
        type=_limit,
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="set one resource limit (repeatable)",
    )
    parser.add_argument(
        "--limits",
        action="store_true",
        help="print the limits in force and their hard maxima, then exit",
    )
    _add_odds_options(parser.add_argument_group("exact odds"))
    parser.add_argument("-V", "--version", action="version", version=f"kavelo {__version__}")
    return parser


def _add_odds_options(odds: argparse._ArgumentGroup) -> None:
    odds.add_argument(
        "--odds",
        action="store_true",
        help="print the exact odds of each EXPRESSION instead of rolling it (one "
        "expression each, a '# comment' allowed); several are shown side by side",
    )
    odds.add_argument(
        "--column",
        choices=list(ODDS_COLUMNS),
        metavar="{probability,at-least,at-most}",
        help="with --odds: what the side-by-side columns and the chart show (default: "
        "at-least for several EXPRESSIONs, probability for the chart of one)",
    )
    odds.add_argument(
        "--plot",
        metavar="FILE",
        help="with --odds: draw the odds of the EXPRESSIONs as one chart in FILE: .svg "
        "(plain SVG, or through matplotlib when it is installed), .png or .pdf "
        "(through matplotlib)",
    )
    odds.add_argument(
        "--tolerance",
        type=_tolerance,
        metavar="X",
        help="with --odds: follow explosions and rerolls until less than X is left "
        "(shown as truncated; default 1e-15)",
    )
    odds.add_argument(
        "--max-outcomes",
        type=_odds_count,
        metavar="N",
        help="with --odds: most outcomes a distribution may have, and that the "
        "EXPRESSIONs shown together may have in all (default 100000)",
    )
    odds.add_argument(
        "--max-work",
        type=_odds_count,
        metavar="N",
        help="with --odds: most steps one computation may take, about a nanosecond "
        "each (default 50000000)",
    )
