"""A trace's forms within a length, for chats that cap a message (Discord: 2,000).

The full form is given when it fits. Otherwise the faces are left out and counted
(``4d6kh3+2 (faces left out: 4 dice) = `13```), then the comment and then the
expression are cut short with ``…``, each at a character of the player's text, before
it is escaped, so that no escape, Markdown token or terminal sequence is ever cut in
half. The total is always there, whole.
"""

from __future__ import annotations

from collections.abc import Callable

from ..safe_text import escape_markdown, escape_text
from .forms import TOTAL, Shown, Style, comment_prefix, format_trace

ELLIPSIS = "\N{HORIZONTAL ELLIPSIS}"


def _cut(text: str, n: int) -> str:
    return text if n >= len(text) else text[:n] + ELLIPSIS


def _expression(text: str, style: Style) -> str:
    shown = escape_text(text)
    return escape_markdown(shown) if style == "markdown" else shown


def _longest(most: int, limit: int, build: Callable[[int], str]) -> str | None:
    """build(n) for the largest n from 0 to ``most`` whose result fits in ``limit``
    characters (the length grows with n), or None when not even build(0) fits."""
    if len(build(0)) > limit:
        return None
    low, high = 0, most
    while low < high:
        middle = (low + high + 1) // 2
        if len(build(middle)) <= limit:
            low = middle
        else:
            high = middle - 1
    return build(low)


def format_within(trace: Shown, style: Style, max_length: int) -> str:
    """The trace in ``style`` in at most ``max_length`` characters (terminal sequences
    of the ANSI form counted as characters)."""
    if isinstance(max_length, bool) or not isinstance(max_length, int):
        raise TypeError(f"max_length must be an int, not {type(max_length).__name__}")
    full = format_trace(trace, style)
    if len(full) <= max_length:
        return full
    total = " = " + TOTAL[style](trace.total)
    dice = sum(len(term.faces) for term in trace.terms)
    note = f" (faces left out: {dice:,} dice)"
    comment = trace.result["comment"]
    source = trace.source
    expression = (source[: source.index("#")] if "#" in source else source).strip()
    expr = _expression(expression, style)
    attempts: list[Callable[[], str | None]] = [
        lambda: _longest(
            len(comment),
            max_length,
            lambda n: (comment_prefix(_cut(comment, n), style) if n else "") + expr + note + total,
        ),
        lambda: _longest(
            len(expression), max_length, lambda n: _expression(_cut(expression, n), style) + total
        ),
    ]
    for attempt in attempts:
        shown = attempt()
        if shown is not None:
            return shown
    raise ValueError(
        f"max_length must be at least {len(ELLIPSIS + total)} for this roll: got {max_length}"
    )
