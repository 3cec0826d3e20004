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
controls that come from the input are shown escaped (\\x1b, \\u202e), in every form."""

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

exit status:
  0    every text rolled
  1    a roll failed (the other texts were still rolled)
  2    usage error: a bad option, or no EXPRESSION and no standard input to read
  74   standard input could not be read or standard output could not be written
  130  interrupted (Ctrl-C)
  141  the reader of standard output went away ('kavelo -n 5000 1d6 | head')"""

# Forty digits are far beyond any count or limit and keep int() from refusing (or
# spending time on) a number thousands of digits long.
_DECIMAL = re.compile(r"-?[0-9]{1,40}")


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
        "expressions", nargs="*", metavar="EXPRESSION",
        help="a dice expression or a ';'-separated program",
    )
    parser.add_argument(
        "-n", "--times", type=_times, metavar="N",
        help="roll each expression N times (one instruction only); any N: the samples "
        "are split into requests that fit the limits",
    )
    parser.add_argument(
        "--stats", action="store_true",
        help="with -n: print mean, standard deviation, minimum, maximum and a "
        "histogram of the totals instead of the samples",
    )
    parser.add_argument(
        "--json", action="store_true",
        help="print exactly one JSON value per text, on one line; a failed text gives "
        '{"input": ..., "error": ..., "code": ...}',
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
