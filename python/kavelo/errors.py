"""Every error kavelo raises, read back to its row of the error table.

The table lives in the C++ core, one row per error: the exact text, the stable code and
the English text. :func:`match_error` reads any exception kavelo raises (or its text)
back to its row and the values in it:

>>> from kavelo import roll_dice
>>> from kavelo.errors import match_error
>>> try:
...     roll_dice("1d0")
... except ValueError as error:
...     found = match_error(error)
>>> found.code, found.english
('dice.not_positive', 'invalid dice: the number of dice and the number of sides must both be at least 1')
>>> try:
...     roll_dice("2d")
... except ValueError as error:
...     found = match_error(error)
>>> found.code, found.fields["line"], found.fields["column"], found.fields["expected"]
('parse.syntax', 1, 3, ('a number of sides after d',))
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from functools import cache

from . import _core, _trace
from .chat import SpellingError

__all__ = ["ErrorRow", "ErrorMatch", "FieldValue", "error_rows", "error_text", "match_error"]

#: A field's value: numbers as int, a syntax report's expected items as tuples of str.
FieldValue = int | str | tuple[str, ...]

# The exception classes the table knows, by the names it gives them; the most derived
# one of an exception's classes decides (a UnicodeEncodeError is also a ValueError).
_CLASSES: dict[type[BaseException], str] = {
    ValueError: "ValueError",
    TypeError: "TypeError",
    OverflowError: "OverflowError",
    RuntimeError: "RuntimeError",
    ImportError: "ImportError",
    UnicodeEncodeError: "UnicodeEncodeError",
    MemoryError: "MemoryError",
    _core.InternalFault: "InternalFault",
}


@dataclass(frozen=True, slots=True)
class ErrorRow:
    """One row of the error table.

    ``key`` names the row uniquely; ``code`` is the stable code (``"limit.{resource}"``
    for the limit errors, whose code names the resource); ``exception`` the name of the
    exception class it is raised as; ``text`` and ``english`` are templates with the
    fields in braces; ``fields`` lists ``(name, type)`` for each field, with types
    ``count`` and ``integer`` (read as int), ``resource``, ``identifier``, ``words``,
    ``text`` and ``report`` (str), and for a syntax report its parts (``phrases`` and
    ``names`` are tuples of str).
    """

    key: str
    code: str
    exception: str
    text: str
    english: str
    fields: tuple[tuple[str, str], ...]


@dataclass(frozen=True, slots=True)
class ErrorMatch:
    """An error read back to its row: the row, the code with the resource filled in,
    the English text with every field filled in, and the fields' values."""

    row: ErrorRow
    code: str
    english: str
    fields: Mapping[str, FieldValue]


@cache
def error_rows() -> tuple[ErrorRow, ...]:
    """Every row of the error table, in table order."""
    return tuple(ErrorRow(*row) for row in _trace.error_rows())


@cache
def _rows_by_key() -> dict[str, ErrorRow]:
    return {row.key: row for row in error_rows()}


def error_text(key: str, **fields: object) -> str:
    """The text of the row ``key`` with its fields filled in (each written with
    ``str``): how the package words the errors it raises itself.

    >>> error_text("odds.tolerance", got=repr(2.0))
    '[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got 2.0'
    """
    return _rows_by_key()[key].text.format_map({name: str(value) for name, value in fields.items()})


def _class_name(error: BaseException) -> str | None:
    for cls in type(error).__mro__:
        name = _CLASSES.get(cls)
        if name is not None:
            return name
    return None


def match_error(error: BaseException | str) -> ErrorMatch | None:
    """The row of an exception kavelo raised, or of its text (taken as a ``ValueError``'s,
    the class of every error of the core), and the values of its fields; None for an
    exception or text that no row produces.

    A text fits at most one way into a row; where two rows could produce the same text
    (only ``with_limit`` names made up to look like another row's text can), the first
    in table order is given.
    """
    if isinstance(error, str):
        text, exception = error, "ValueError"
    else:
        name = _class_name(error)
        if name is None:
            return None
        text, exception = str(error), name
    found = _trace.match_error(text, exception)
    if found is None:
        return None
    key, code, english, fields = found
    return ErrorMatch(_rows_by_key()[key], code, english, fields)


@dataclass(frozen=True, slots=True)
class Explanation:
    """What went wrong, for a program and for a player.

    ``code`` is stable across releases (``"dice.not_positive"``, ``"limit.dice_count"``,
    ``"parse.syntax"``); ``message`` says it in English with the numbers and names
    filled in. For a syntax report, ``line`` and ``column`` (from 1, in characters)
    point at the problem, ``shown_line`` is that line of the text and ``expected`` what
    would have fitted there in a player's words; they are None and () otherwise.
    ``text`` is the exception's own text, unchanged.
    """

    code: str
    message: str
    text: str
    line: int | None = None
    column: int | None = None
    shown_line: str | None = None
    expected: tuple[str, ...] = ()


def explain(error: BaseException) -> Explanation:
    """The code and English message of any exception kavelo raised: from the module's
    rolls and programs, traces, replays, odds and the chat normaliser.

    >>> import kavelo
    >>> try:
    ...     kavelo.roll_dice("2d")
    ... except ValueError as error:
    ...     why = kavelo.explain(error)
    >>> why.code, why.line, why.column, why.expected
    ('parse.syntax', 1, 3, ('a number of sides after d',))

    Raises:
        ValueError: for an exception kavelo does not raise (``error`` itself is
            chained as the cause).
    """
    if isinstance(error, SpellingError):
        # The chat normaliser's refusals carry their code and an English hint.
        return Explanation(error.code, error.hint, str(error))
    found = match_error(error)
    if found is None:
        raise ValueError(f"not an error kavelo raises: {type(error).__name__}") from error
    fields = found.fields
    line, column = fields.get("line"), fields.get("column")
    shown, expected = fields.get("line_text"), fields.get("expected", ())
    return Explanation(
        found.code,
        found.english,
        str(error),
        line if isinstance(line, int) else None,
        column if isinstance(column, int) else None,
        shown if isinstance(shown, str) else None,
        tuple(expected) if isinstance(expected, tuple) else (),
    )
