"""The command itself: reads the options, picks the texts to roll and the job that
rolls each of them, and turns every failure into a message that names its input and
into the exit status."""

from __future__ import annotations

import argparse
import io
import os
import sys
import tempfile
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TextIO

from .. import Kavelo, ResourcePolicy, trace, trace_program
from ..tracing.forms import Style
from . import options as opts
from .audit_mode import main_audit
from .escape import escape_message, escape_text
from .glossary import error_code, with_gloss
from .odds_mode import OddsRun, PlotError, usage_problem
from .output import Output, OutputError, silence_stdout, terminal_columns, write_error
from .progress import Progress, delay_from
from .render import JsonRenderer, PlainRenderer, to_json
from .sampling import sample_batches
from .source import Input, argument_inputs, stdin_inputs
from .stats import Summary, stats_lines

#: JSON samples are kept in memory up to this size, then in a temporary file, until the
#: last request of the text has succeeded: a text gives one whole JSON value or none.
SPOOL_BYTES = 8 << 20
#: Characters copied at a time from the spool to standard output.
COPY_CHARS = 4096
#: Characters of the text shown beside the progress bar.
LABEL_CHARS = 40


class UsageError(Exception):
    """A problem with the command line found after argparse has parsed it."""


class InputError(Exception):
    """Standard input could not be read."""


def build_policy(limits: Iterable[tuple[str, int]]) -> ResourcePolicy:
    """The default policy with each ``(name, value)`` applied in order."""
    policy = ResourcePolicy()
    for name, value in limits:
        try:
            policy = policy.with_limit(name, value)
        except ValueError as error:
            raise UsageError(str(error)) from None
        except OverflowError:
            # Beyond 64 bits: say what the policy says of any value it refuses.
            hard = policy.hard_limits()
            if name not in hard:
                raise UsageError(f"[policy.invalid_limit] unknown resource limit: {name}") from None
            if value < 0:
                raise UsageError(
                    f"[policy.invalid_limit] {name} limit must be non-negative"
                ) from None
            raise UsageError(
                f"[policy.limit_above_hard_max] {name} limit {value} exceeds hard maximum {hard[name]}"
            ) from None
    return policy


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


# ---------------------------------------------------------------- jobs


def is_program(text: str) -> bool:
    """Whether the text holds more than one instruction: a ``;`` before its comment."""
    return ";" in text.split("#", 1)[0]


def trace_style(stream: TextIO | None, environ: Mapping[str, str]) -> Style:
    """ANSI on a terminal (unless NO_COLOR is set), plain text anywhere else."""
    isatty = getattr(stream, "isatty", None)
    if isatty is not None and isatty() and not environ.get("NO_COLOR"):
        return "ansi"
    return "text"


Job = Callable[[Input], None]


class Jobs:
    """The three ways to roll one text: once (a program), ``-n`` samples, and
    ``-n --stats``. Each raises the roller's error when the text fails."""

    def __init__(
        self,
        roller: Kavelo,
        policy: ResourcePolicy,
        options: argparse.Namespace,
        out: Output,
        err: TextIO | None,
    ) -> None:
        self.roller = roller
        self.policy = policy
        self.batch_limit = policy.limits()["batch_samples"]
        self.options = options
        self.out = out
        self.err = err
        self.trace_style = trace_style(out.stream, os.environ)
        self.plain = PlainRenderer()
        self.json = JsonRenderer()

    def pick(self) -> Job:
        if self.options.times is None:
            return self.once
        return self.stats if self.options.stats else self.samples

    def once(self, item: Input) -> None:
        if is_program(item.text):
            # Every instruction traced, under the one request's limits.
            program = trace_program(item.text, self.policy)
            if self.options.json:
                self.out.write_lines(self.json.traced_program(program))
            else:
                self.out.write_lines(self.plain.traced_program(program, self.trace_style))
            return
        # One expression: rolled with a trace, so that every die's faces are shown.
        traced = trace(item.text, self.policy)
        if self.options.json:
            self.out.write_lines(self.json.traced(traced))
        else:
            self.out.write_lines(self.plain.traced(traced, self.trace_style))

    def _progress(self, item: Input) -> Progress:
        label = escape_text(item.text[:LABEL_CHARS])
        columns = terminal_columns(os.environ, self.err)
        return Progress(self.err, self.options.times, label, columns, delay_from(os.environ))

    def samples(self, item: Input) -> None:
        times: int = self.options.times
        progress = self._progress(item)
        try:
            if self.options.json:
                self._json_samples(item, times, progress)
                return
            comment = ""
            for batch in sample_batches(self.roller, item.text, times, self.batch_limit):
                comment = batch[0]["comment"]
                progress.close()
                self.out.write_lines(self.plain.samples(batch))
                progress.advance(len(batch))
            if comment:
                self.out.write_lines([self.plain.comment_line(comment)])
        finally:
            progress.close()

    def _json_samples(self, item: Input, times: int, progress: Progress) -> None:
        with tempfile.SpooledTemporaryFile(
            max_size=SPOOL_BYTES, mode="w+", encoding="utf-8"
        ) as spool:
            spool.write("[")
            separator = ""
            for batch in sample_batches(self.roller, item.text, times, self.batch_limit):
                for document in self.json.sample_items(batch):
                    spool.write(separator + document)
                    separator = ", "
                progress.advance(len(batch))
            spool.write("]\n")
            progress.close()
            spool.seek(0)
            self.out.write(iter(lambda: spool.read(COPY_CHARS), ""))

    def stats(self, item: Input) -> None:
        summary = Summary()
        progress = self._progress(item)
        try:
            for batch in sample_batches(
                self.roller, item.text, self.options.times, self.batch_limit
            ):
                summary.add(sample["total"] for sample in batch)
                progress.advance(len(batch))
        finally:
            progress.close()
        if self.options.json:
            self.out.write_lines([to_json(summary.to_dict(item.text))])
        else:
            columns = terminal_columns(os.environ, self.out.stream)
            self.out.write_lines(stats_lines(escape_text(item.text), summary, columns))


# ---------------------------------------------------------------- running


def _read(inputs: Iterator[Input]) -> Iterator[Input]:
    """``inputs`` with a failure to read standard input turned into InputError."""
    while True:
        try:
            item = next(inputs)
        except StopIteration:
            return
        except OSError as error:
            raise InputError(f"cannot read standard input: {error.strerror or error}") from None
        yield item


def _utf8(stream: TextIO | None, errors: str) -> None:
    reconfigure = getattr(stream, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(encoding="utf-8", errors=errors)


def _parse(parser: argparse.ArgumentParser, argv: Sequence[str] | None) -> argparse.Namespace:
    """The options. The text of --help and --version is caught and written through
    Output, so that a closed or full standard output ends in OutputError (exit 74) as
    for any other output: argparse itself ignores a failed write and exits 0."""
    stdout, caught = sys.stdout, io.StringIO()
    sys.stdout = caught
    try:
        return parser.parse_args(argv)
    except SystemExit as done:
        sys.stdout = stdout
        if done.code in (0, None):
            Output(stdout).write([caught.getvalue()])
        raise
    finally:
        sys.stdout = stdout


def run(argv: Sequence[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    if arguments[:1] == ["audit"]:
        return main_audit(arguments[1:])
    parser = opts.build_parser()
    options = _parse(parser, arguments)
    problem = usage_problem(options)
    if problem is not None:
        parser.error(problem)
    if options.stats and options.times is None:
        parser.error("--stats needs -n/--times")
    if options.limits and options.expressions:
        parser.error("--limits takes no EXPRESSION")
    try:
        policy = build_policy(options.limit)
    except UsageError as error:
        parser.error(str(error))

    if not options.limits and not options.expressions:
        if sys.stdin is None:
            parser.error("no EXPRESSION given and standard input is closed")
        if sys.stdin.isatty():
            parser.error("no EXPRESSION given and standard input is a terminal")

    # Whatever the locale: results hold Chinese text. Every character that reaches the
    # streams is encodable (escape.py escapes lone surrogates).
    _utf8(sys.stdout, "strict")
    _utf8(sys.stderr, "backslashreplace")
    out = Output(sys.stdout)
    err = sys.stderr

    if options.limits:
        if options.json:
            out.write_lines(
                [to_json({"limits": policy.limits(), "hard_limits": policy.hard_limits()})]
            )
        else:
            out.write_lines(limits_table(policy))
        return opts.EXIT_OK
    if out.stream is None:
        raise OutputError("standard output is closed")

    inputs: Iterator[Input]
    if options.expressions:
        inputs = argument_inputs(options.expressions)
    else:
        inputs = _read(stdin_inputs(sys.stdin.buffer, policy.limits()["source_bytes"]))

    job: Job
    odds_run: OddsRun | None = None
    if options.odds:
        odds_run = OddsRun(options, out)
        job = odds_run.add
    else:
        job = Jobs(Kavelo(policy), policy, options, out, err).pick()
    failed = False
    for item in inputs:
        try:
            job(item)
        # ValueError: every error of the module, UnicodeEncodeError for a lone surrogate
        # included; MemoryError: a request the machine could not hold.
        except (ValueError, MemoryError) as error:
            failed = True
            message = str(error) or type(error).__name__
            if options.json:
                out.write_lines([JsonRenderer().failure(item.text, message, error_code(error))])
            else:
                write_error(err, f"kavelo: {item.where}: {escape_message(with_gloss(message))}")
    if odds_run is not None:
        odds_run.finish()
    return opts.EXIT_ROLL_FAILED if failed else opts.EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the ``kavelo`` command and of ``python -m kavelo``."""
    try:
        return run(argv)
    except KeyboardInterrupt:
        return opts.EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (``kavelo -n 1000 1d6 | head``): stop without a
        # traceback, and keep the interpreter from failing to flush at exit.
        silence_stdout(sys.stdout)
        return opts.EXIT_BROKEN_PIPE
    except (OutputError, InputError, PlotError) as error:
        write_error(sys.stderr, f"kavelo: error: {error}")
        silence_stdout(sys.stdout)
        return opts.EXIT_IO
