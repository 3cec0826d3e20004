"""``kavelo audit FILE...``: are the dice of a log fair?

Reads JSON lines as ``kavelo --json`` writes them, or with ``--sides`` a plain list of
faces of one die, from each FILE (``-`` for standard input) in turn, and prints the
audit's report: as text, as a chat-ready Markdown message or as JSON, with ``--plot`` its
chart. Files are read a line at a time, so memory does not grow with their size; a
progress bar shows on a terminal while a long file is read.
"""

from __future__ import annotations

import argparse
import os
import stat
import sys
from collections.abc import Sequence
from typing import BinaryIO

from ..audit import Audit, Auditor
from ..audit.logs import read_faces, read_json_lines
from ..audit.records import MAX_SIDES
from .escape import escape_message, escape_text
from .options import _REAL, EXIT_IO, EXIT_OK, EXIT_ROLL_FAILED, Parser, decimal
from .output import Output, OutputError, silence_stdout, terminal_columns, write_error
from .progress import Progress, delay_from
from .render import to_json

DESCRIPTION = """\
Are the dice fair? Tests logged rolls against the exact odds.

Each FILE ('-' for standard input) holds JSON lines as 'kavelo --json' writes them (one
roll with its traced faces per line, failed rolls, or the totals of 'kavelo --json -n N
--stats'), or with --sides a plain list of the faces of one die, one per line or several
separated by commas. Per die size: are the faces uniform, and is each face independent of
the one before; per expression: do the totals follow the exact odds. The verdict over all
the tests is corrected for their number (Holm). Each test says the largest deviation and
the smallest bias it would catch 80% of the time: "no evidence of bias" is not proof of
fairness.

A bad line stops the audit with a message naming the file and the line, unless
--skip-bad: then it is left out and counted in the report."""

EPILOG = """\
examples:
  kavelo --json 1d20+5 4d6kh3 >> rolls.jsonl; kavelo audit rolls.jsonl
  kavelo audit --sides 20 --plot d20.svg my_d20.txt
  kavelo audit --markdown --skip-bad bot-log.jsonl

exit status:
  0    the report was written (whatever its verdict)
  1    a line could not be audited (without --skip-bad)
  2    usage error
  74   a FILE could not be read, or standard output or the --plot file not written"""

PLOT_EXTENSIONS = (".svg", ".png", ".pdf")


def _sides(text: str) -> int:
    value = decimal(text)
    if value is None or not 1 <= value <= MAX_SIDES:
        raise argparse.ArgumentTypeError(f"sides must be a whole number from 1 to {MAX_SIDES}")
    return value


def _alpha(text: str) -> float:
    if not _REAL.fullmatch(text) or not 0.0 < float(text) < 1.0:
        raise argparse.ArgumentTypeError(f"alpha must lie strictly between 0 and 1: {text!r}")
    return float(text)


def build_audit_parser() -> Parser:
    parser = Parser(
        prog="kavelo audit",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("files", nargs="+", metavar="FILE", help="a log to audit ('-': stdin)")
    parser.add_argument(
        "--sides", type=_sides, metavar="N", help="each FILE lists faces of one die of N sides"
    )
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true", help="print the report as one JSON value")
    form.add_argument("--markdown", action="store_true", help="print a short chat message")
    parser.add_argument(
        "--plot", metavar="FILE", help="draw the chart: .svg (no dependency), .png or .pdf"
    )
    parser.add_argument(
        "--alpha",
        type=_alpha,
        default=0.01,
        help="level of the tests, after the correction for their number (default 0.01)",
    )
    parser.add_argument(
        "--skip-bad", action="store_true", help="leave bad lines out and count them"
    )
    return parser


class ReadError(Exception):
    """A FILE could not be opened or read."""


def _open(name: str) -> tuple[BinaryIO, int]:
    """The file to read and its size (0 when unknown)."""
    if name == "-":
        if sys.stdin is None:
            raise ReadError("cannot read standard input: it is closed")
        return sys.stdin.buffer, 0
    try:
        stream = open(name, "rb")  # noqa: SIM115  (closed by the caller)
        info = os.fstat(stream.fileno())
    except OSError as error:
        raise ReadError(
            f"cannot read {escape_text(repr(name))}: {error.strerror or error}"
        ) from None
    return stream, info.st_size if stat.S_ISREG(info.st_mode) else 0


def _read(auditor: Auditor, options: argparse.Namespace) -> None:
    columns = terminal_columns(os.environ, sys.stderr)
    for name in options.files:
        stream, size = _open(name)
        shown = "standard input" if name == "-" else escape_text(name)
        progress = Progress(sys.stderr, size, shown[:40], columns, delay_from(os.environ))
        try:
            if options.sides is not None:
                read_faces(stream, auditor, shown, options.sides, progress.advance)
            else:
                read_json_lines(stream, auditor, shown, progress.advance)
        except OSError as error:
            raise ReadError(f"cannot read {shown}: {error.strerror or error}") from None
        finally:
            progress.close()
            if stream is not sys.stdin.buffer:
                stream.close()


def _problem(options: argparse.Namespace) -> str | None:
    if options.plot is not None and (
        os.path.splitext(options.plot)[1].lower() not in PLOT_EXTENSIONS
    ):
        return f"--plot FILE must end in .svg, .png or .pdf: {options.plot!r}"
    if options.files.count("-") > 1:
        return "standard input ('-') can be read only once"
    return None


def run_audit(argv: Sequence[str]) -> int:
    parser = build_audit_parser()
    options = parser.parse_args(argv)
    problem = _problem(options)
    if problem is not None:
        parser.error(problem)
    for stream, errors in ((sys.stdout, "strict"), (sys.stderr, "backslashreplace")):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(encoding="utf-8", errors=errors)
    out = Output(sys.stdout)
    auditor = Auditor(options.alpha, skip_bad=options.skip_bad)
    try:
        _read(auditor, options)
    except ValueError as error:
        write_error(sys.stderr, f"kavelo audit: {escape_message(str(error))}")
        return EXIT_ROLL_FAILED
    report = auditor.report()
    if options.json:
        out.write_lines([to_json(report.to_dict())])
    elif options.markdown:
        out.write_lines([report.markdown()])
    else:
        out.write([report.text()])
    if options.plot is not None:
        _plot(report, options.plot)
    return EXIT_OK


def _plot(report: Audit, path: str) -> None:
    # An .svg is always the plain SVG (its text escaped for XML by kavelo itself).
    backend = "svg" if path.lower().endswith(".svg") else "matplotlib"
    try:
        report.write_plot(path, backend)
    except OSError as error:
        raise ReadError(
            f"cannot write the plot {escape_text(repr(path))}: {error.strerror or error}"
        ) from None
    except (ImportError, ValueError, RuntimeError) as error:
        raise ReadError(
            f"cannot draw the plot {escape_text(repr(path))}: {escape_text(str(error))}"
        ) from None


def main_audit(argv: Sequence[str]) -> int:
    """``kavelo audit``: the exit status, every failure to read or write a message."""
    try:
        return run_audit(argv)
    except (ReadError, OutputError) as error:
        write_error(sys.stderr, f"kavelo audit: error: {error}")
        silence_stdout(sys.stdout)
        return EXIT_IO
