"""Type information for kavelo's third native module, traced and replayed rolls.

Use :func:`kavelo.trace` and :func:`kavelo.replay`, which wrap the result in
:class:`kavelo.Trace`.
"""

from typing import Any

from .tracing.records import Term
from .tracing.trace import Trace

class Records:
    """The records of a finished trace, made when asked for."""

    def term(self, index: int, /) -> tuple[tuple[Any, ...], tuple[Any, ...]]:
        """``(faces, derived)`` of term ``index``: records of the registered face and
        derived-value classes."""

    def values(self, index: int, /) -> list[list[int]]:
        """The groups of term ``index``, as in the result's ``rolls``."""

class TermBase:
    """The fields of :class:`kavelo.Term`: a term a roll recorded has ``_records`` and
    ``_index``, and ``_faces``, ``_values`` and ``_derived`` None until made."""

    _count: int
    _sides: int
    _modifiers: str
    _faces: tuple[Any, ...] | None
    _values: list[list[int]] | None
    _derived: tuple[Any, ...] | None
    _records: Records | None
    _index: int | None

class TraceBase:
    """The fields of :class:`kavelo.Trace`."""

    _source: str
    result: Any
    terms: tuple[Any, ...]

def register(trace: type[Any], term: type[Any], face: type[Any], derived: type[Any], /) -> None:
    """The package's Trace, Term, Face and DerivedValue classes, whose instances the
    calls below make without calling them. ``trace`` and ``term`` derive from
    :class:`TraceBase` and :class:`TermBase` with ``__slots__ = ()``, ``face`` and
    ``derived`` are tuple subclasses.

    Raises:
        TypeError: for classes that are not so.
    """

def trace(expression: str, limits: dict[str, int] | None, /) -> Trace:
    """Rolls one expression and records every face: a :class:`kavelo.Trace`.

    ``limits`` is the dict of ``ResourcePolicy.limits()``, or None for the defaults.

    Raises:
        ValueError: with ``roll_dice``'s text for a syntax, limit or arithmetic error.
        TypeError: when ``expression`` is not a ``str``.
        RuntimeError: before :func:`register`.
    """

def replay(
    expression: str, faces: list[int] | tuple[int, ...], limits: dict[str, int] | None, /
) -> Trace:
    """Evaluates one expression with the given faces instead of the generator: a
    :class:`kavelo.Trace` as for :func:`trace`.

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
    program: str, limits: dict[str, int] | None, /
) -> tuple[Any, list[Term], list[int]]:
    """Runs a program and records every face: ``(result, terms, starts)``.

    ``result`` is the dictionary ``run_program`` returns, ``terms`` the
    :class:`kavelo.Term` of every instruction in order, and ``starts`` the index in
    ``terms`` of each instruction's first term. Raises as :func:`trace`.
    """

def replay_program(
    program: str, faces: list[int] | tuple[int, ...], limits: dict[str, int] | None, /
) -> tuple[Any, list[Term], list[int]]:
    """Runs a program with the given faces, in draw order over all instructions:
    ``(result, terms, starts)`` as :func:`trace_program`. Raises as :func:`replay`.
    """
