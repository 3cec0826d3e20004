"""The ``kavelo`` command: roll dice expressions and programs from the shell.

Run ``kavelo --help`` for the options. Every text given on the command line (or read
from standard input, one per line) is rolled by a :class:`kavelo.Kavelo` roller built
from the default limits and any ``--limit`` options.

The parts: ``options`` (arguments, help and exit statuses), ``app`` (the jobs and the
main loop), ``source`` (where texts come from), ``sampling`` (any number of samples in
requests that fit the limits), ``stats`` (summaries and histograms), ``render`` (plain
and JSON output), ``escape`` (what is echoed from the input), ``glossary`` (English
glosses and error codes), ``output`` and ``progress`` (the streams).
"""

from .app import build_policy, limits_table, main, run
from .options import (
    EXIT_BROKEN_PIPE,
    EXIT_INTERRUPTED,
    EXIT_IO,
    EXIT_OK,
    EXIT_ROLL_FAILED,
    EXIT_USAGE,
    build_parser,
)
from .stats import Summary, bar, histogram_rows, row_width, stats_lines

__all__ = [
    "EXIT_BROKEN_PIPE",
    "EXIT_INTERRUPTED",
    "EXIT_IO",
    "EXIT_OK",
    "EXIT_ROLL_FAILED",
    "EXIT_USAGE",
    "Summary",
    "bar",
    "build_parser",
    "build_policy",
    "histogram_rows",
    "limits_table",
    "main",
    "row_width",
    "run",
    "stats_lines",
]
