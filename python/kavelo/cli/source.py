"""Where the texts to roll come from: the command's arguments, or standard input one
line at a time, each tagged with the place it came from for the error messages."""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import BinaryIO

#: Bytes read at a time while the rest of an over-long line is skipped.
SKIP_CHUNK = 1 << 20


@dataclass(frozen=True)
class Input:
    """One text to roll and where it came from (``argument 2``, ``line 7``)."""

    text: str
    where: str


def argument_inputs(texts: Iterable[str]) -> Iterator[Input]:
    for position, text in enumerate(texts, start=1):
        yield Input(text, f"argument {position}")


def stdin_inputs(stream: BinaryIO, max_bytes: int) -> Iterator[Input]:
    """The non-blank lines of ``stream`` as they arrive, without their line ending
    (``\\n`` or ``\\r\\n``), decoded as UTF-8 (an invalid byte becomes U+FFFD).

    No line is held longer than the ``source_bytes`` limit allows: at most
    ``max_bytes + 2`` bytes are read of a line (its text, one byte more, and a line
    feed). A longer line is handed on as those bytes alone, which the roller then
    refuses with its ``source_bytes`` error, and the rest of the line is skipped
    unread into memory before the next line is read."""
    number = 0
    while True:
        raw = stream.readline(max_bytes + 2)
        if not raw:
            return
        number += 1
        too_long = not raw.endswith(b"\n") and len(raw) == max_bytes + 2
        text = raw.rstrip(b"\r\n").decode("utf-8", errors="replace")
        if text.strip():
            yield Input(text, f"line {number}")
        if too_long:
            while True:
                rest = stream.readline(SKIP_CHUNK)
                if not rest or rest.endswith(b"\n"):
                    break
