"""Writing to standard output and standard error, and the terminal's width."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from typing import TextIO

#: Widths beyond this are taken as this: a histogram row never needs more.
MAX_COLUMNS = 1000
DEFAULT_COLUMNS = 80


class OutputError(Exception):
    """Standard output is closed or refused a write (a full disk, an I/O error)."""


class Output:
    """Standard output, flushed after every block of lines so that results appear as
    soon as each text is rolled, and their order with the messages on standard error is
    kept. A broken pipe propagates as BrokenPipeError (the reader went away); any other
    failure becomes OutputError."""

    def __init__(self, stream: TextIO | None) -> None:
        self.stream = stream

    def write_lines(self, lines: Iterable[str]) -> None:
        self.write(line + "\n" for line in lines)

    def write(self, pieces: Iterable[str]) -> None:
        """Writes the pieces one by one, then flushes. Pieces stay small: one write of
        more than a pipe holds can end short when the reader goes away, and the stream
        then drops the rest without reporting the broken pipe."""
        if self.stream is None:
            raise OutputError("standard output is closed")
        try:
            for piece in pieces:
                self.stream.write(piece)
            self.stream.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError(f"cannot write standard output: {error.strerror or error}") from None


def write_error(stream: TextIO | None, text: str) -> None:
    """One message on standard error; nothing happens where it cannot be written."""
    if stream is None:
        return
    try:
        stream.write(text + "\n")
        stream.flush()
    except (OSError, ValueError):
        pass


def silence_stdout(stream: TextIO | None) -> None:
    """Point file descriptor 1 at /dev/null, so that the interpreter's last flush of
    what could not be written neither fails nor prints a traceback at exit."""
    if stream is None:
        return
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def terminal_columns(environ: Mapping[str, str], stream: TextIO | None) -> int:
    """The width to draw for: ``COLUMNS`` when it is a positive decimal number, else the
    width of the terminal ``stream`` is, else 80; never more than ``MAX_COLUMNS``."""
    text = environ.get("COLUMNS", "")
    if text.isascii() and text.isdigit():
        digits = text.lstrip("0")
        # Only the length of a long number matters: it is clamped anyway.
        value = MAX_COLUMNS if len(digits) > 6 else int(digits or "0")
        if value > 0:
            return min(value, MAX_COLUMNS)
    try:
        if stream is not None:
            columns = os.get_terminal_size(stream.fileno()).columns
            if columns > 0:
                return min(columns, MAX_COLUMNS)
    except (OSError, ValueError, AttributeError):
        pass
    return DEFAULT_COLUMNS
