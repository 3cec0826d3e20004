"""Writing a chart to a file, for every chart the package draws (odds and audits): the
file must be a regular one or a new one, matplotlib is used where it is installed and
asked for, and plain SVG is written without following a link or blocking on a FIFO."""

from __future__ import annotations

import errno
import os
import stat
from typing import Any

BACKENDS = ("auto", "svg", "matplotlib")


def refuse_special(path: str) -> None:
    """Charts are written to a regular file or a new one, never to a device, a FIFO, a
    socket or a directory (a command run as root could otherwise write into /dev)."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return
    if not stat.S_ISREG(mode):
        raise IsADirectoryError(errno.EINVAL, "not a regular file")


def prepare(path: str, backend: str) -> Any | None:
    """Checks ``backend`` (ValueError unless "auto", "svg" or "matplotlib") and ``path``
    (see :func:`refuse_special`), then gives matplotlib's pyplot, without a display,
    for "auto" or "matplotlib"; None for "svg" or when matplotlib is missing under
    "auto" (ImportError under "matplotlib")."""
    if backend not in BACKENDS:
        raise ValueError(f"backend must be auto, svg or matplotlib: got {backend!r}")
    refuse_special(path)
    if backend == "svg":
        return None
    try:
        import matplotlib  # type: ignore[import-not-found, unused-ignore]

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        if backend == "matplotlib":
            raise
        return None
    return plt


def literal(text: str) -> str:
    """``text`` as matplotlib shows it literally: a pair of '$' would start mathematics
    (and an unbalanced formula fails the whole drawing)."""
    return text.replace("$", "\\$")


def write_svg(path: str, document: str) -> None:
    """Writes ``document`` to ``path``, opened without following a last symbolic link
    and without blocking on a FIFO, then checked again on the open file before anything
    is cut or written: a path swapped for a device after the first check is refused too."""
    fd = os.open(
        path, os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY, 0o666
    )
    with os.fdopen(fd, "wb") as out:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise IsADirectoryError(errno.EINVAL, "not a regular file")
        out.truncate(0)
        out.write(document.encode("utf-8"))
