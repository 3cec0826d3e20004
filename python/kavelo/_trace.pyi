"""Type information for kavelo's third native module, traced and replayed rolls.

Use :func:`kavelo.trace` and :func:`kavelo.replay`, which wrap the result in
:class:`kavelo.Trace`.
"""

from typing import Any, TypeVar

FaceT = TypeVar("FaceT", bound=tuple[Any, ...])
DerivedT = TypeVar("DerivedT", bound=tuple[Any, ...])

class Records:
    """The records of a finished trace, made when asked for."""

    def term(self, index: int, /) -> tuple[tuple[Any, ...], tuple[Any, ...]]:
        """``(faces, derived)`` of term ``index``: records of the ``face`` and
        ``derived`` classes given to :func:`trace` or :func:`replay`."""

    def values(self, index: int, /) -> list[list[int]]:
        """The groups of term ``index``, as in the result's ``rolls``."""

# (count, sides, modifiers, records, index): records.values(index) gives the term's
# groups, records.term(index) its faces, records of `face` (value, die, origin, fate, by, into), and its derived
# values, records of `derived` (value, kind, made_by, die, fate, by, into).
RawTerm = tuple[int, int, str, Records, int]

def trace(
    expression: str,
    limits: dict[str, int] | None,
    face: type[FaceT],
    derived: type[DerivedT],
    /,
) -> tuple[Any, list[RawTerm]]:
    """Rolls one expression and records every face: ``(result, terms)``.

    ``result`` is the dictionary ``roll_dice`` returns; ``limits`` the dict of
    ``ResourcePolicy.limits()``, or None for the defaults; ``face`` and ``derived``
    the tuple subclasses whose instances the records are (made without calling them).

    Raises:
        ValueError: with ``roll_dice``'s text for a syntax, limit or arithmetic error.
        TypeError: when ``expression`` is not a ``str``, or a record class not a tuple
            subclass.
    """

def replay(
    expression: str,
    faces: list[int] | tuple[int, ...],
    limits: dict[str, int] | None,
    face: type[FaceT],
    derived: type[DerivedT],
    /,
) -> tuple[Any, list[RawTerm]]:
    """Evaluates one expression with the given faces instead of the generator:
    ``(result, terms)`` as for :func:`trace`.

    Raises:
        ValueError: for a face that is not an ``int`` or is outside its die, too few or
            too many faces, faces left over, or any error of :func:`trace`.
        TypeError: when ``faces`` is not a list or tuple, or for the arguments of
            :func:`trace`.
    """

# (key, code, exception, text, english, ((field name, field type), ...))
RawErrorRow = tuple[str, str, str, str, str, tuple[tuple[str, str], ...]]

def error_rows() -> tuple[RawErrorRow, ...]:
    """Every row of kavelo's error table, in table order. Use :mod:`kavelo.errors`."""

def match_error(
    text: str, exception: str, /
) -> tuple[str, str, str, dict[str, int | str | tuple[str, ...]]] | None:
    """The row of an error text raised as ``exception`` (a class name):
    ``(key, code, english, fields)``, or None. Use :func:`kavelo.errors.match_error`."""

def trace_program(
    program: str,
    limits: dict[str, int] | None,
    face: type[FaceT],
    derived: type[DerivedT],
    /,
) -> tuple[Any, list[RawTerm], list[int]]:
    """Runs a program and records every face: ``(result, terms, starts)``.

    ``result`` is the dictionary ``run_program`` returns, ``terms`` the terms of every
    instruction in order, and ``starts`` the index in ``terms`` of each instruction's
    first term. Raises as :func:`trace`.
    """

def replay_program(
    program: str,
    faces: list[int] | tuple[int, ...],
    limits: dict[str, int] | None,
    face: type[FaceT],
    derived: type[DerivedT],
    /,
) -> tuple[Any, list[RawTerm], list[int]]:
    """Runs a program with the given faces, in draw order over all instructions:
    ``(result, terms, starts)`` as :func:`trace_program`. Raises as :func:`replay`.
    """
