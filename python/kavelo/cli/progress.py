"""A progress bar on standard error for work that takes more than about a second,
drawn only when standard error is a terminal."""

from __future__ import annotations

import math
import time
from collections.abc import Mapping
from typing import TextIO

#: Seconds of work before the bar first shows, unless ``DELAY_VARIABLE`` says otherwise.
DELAY = 1.0
#: The environment variable that sets the delay in seconds (``0`` shows the bar from the
#: first finished unit; scripts and tests set it so that the bar does not depend on how
#: fast the machine is).
DELAY_VARIABLE = "KAVELO_PROGRESS_DELAY"
#: Seconds between redraws.
INTERVAL = 0.1
#: Cells of the bar itself.
BAR_CELLS = 30


class Progress:
    """``advance`` counts finished units out of ``total``; ``close`` erases the bar.
    Failures to write are ignored: the bar is a courtesy, never the output."""

    def __init__(
        self, stream: TextIO | None, total: int, label: str, columns: int, delay: float = DELAY
    ) -> None:
        self.stream = stream if stream is not None and _is_terminal(stream) else None
        self.delay = delay
        self.total = max(total, 1)
        self.label = label
        self.columns = columns
        self.done = 0
        self.started = time.monotonic()
        self.drawn_at: float | None = None

    def advance(self, units: int) -> None:
        self.done += units
        if self.stream is None:
            return
        now = time.monotonic()
        if now - self.started < self.delay:
            return
        if self.drawn_at is not None and now - self.drawn_at < INTERVAL:
            return
        self.drawn_at = now
        share = min(self.done / self.total, 1.0)
        filled = round(share * BAR_CELLS)
        line = f"{'█' * filled}{'░' * (BAR_CELLS - filled)} {100 * share:5.1f}% {self.done}/{self.total} {self.label}"
        self._write("\r" + line[: max(self.columns - 1, 1)] + "\x1b[K")

    def close(self) -> None:
        if self.stream is not None and self.drawn_at is not None:
            self._write("\r\x1b[K")
        self.drawn_at = None

    def _write(self, text: str) -> None:
        assert self.stream is not None
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):
            self.stream = None


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (OSError, ValueError):
        return False


def delay_from(environ: Mapping[str, str]) -> float:
    """The delay ``DELAY_VARIABLE`` sets: a finite number of seconds, at least 0; any
    other value (or none) leaves the default."""
    text = environ.get(DELAY_VARIABLE)
    if text is None:
        return DELAY
    try:
        seconds = float(text)
    except ValueError:
        return DELAY
    return seconds if math.isfinite(seconds) and seconds >= 0 else DELAY
