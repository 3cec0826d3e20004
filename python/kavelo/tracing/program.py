"""Traces of programs: every instruction of ``attack; damage`` rolled under one request's
limits, as :func:`kavelo.run_program` rolls them, each with its trace, for one reply.

>>> from kavelo import replay_program
>>> t = replay_program("1d20+5; 2d6 # attack", [17, 3, 4])
>>> t.totals
[22, 7]
>>> t.text()
'attack: 1d20 (17) + 5 = 22; 2d6 (3, 4) = 7'
"""

from __future__ import annotations

from collections.abc import Iterable
from itertools import islice, starmap
from typing import Any, cast

from .. import _trace
from .._core import ResourcePolicy
from ..results import DiceRollResult, ProgramResult
from .forms import TOTAL, Style, comment_prefix, format_trace
from .records import DerivedValue, Face, Term
from .short import ELLIPSIS, _cut, _longest, format_within
from .trace import Trace, _limits

#: What stands between two instructions in the forms, as between them in a program.
SEPARATOR = "; "


class ProgramTrace:
    """A program's rolls with their story: the result :func:`kavelo.run_program`
    returns, and one :class:`Trace` per instruction in ``traces``.

    ``str(trace)`` is :meth:`text`.
    """

    __slots__ = ("_source", "result", "traces")

    result: ProgramResult
    traces: tuple[Trace, ...]

    def __init__(self, source: str, result: ProgramResult, traces: tuple[Trace, ...]) -> None:
        self._source = source
        self.result = result
        self.traces = traces

    @property
    def source(self) -> str:
        """The program text as given."""
        return self._source

    @property
    def comment(self) -> str:
        """The program's comment (``""`` when there is none)."""
        return self.result["comment"]

    @property
    def totals(self) -> list[int]:
        """Each instruction's total, in order."""
        return [trace.total for trace in self.traces]

    @property
    def criticals(self) -> list[Face]:
        """The faces that count and show their die's highest face, over all
        instructions in draw order (see :attr:`Trace.criticals`)."""
        return [face for trace in self.traces for face in trace.criticals]

    @property
    def fumbles(self) -> list[Face]:
        """The faces that count and show 1, over all instructions in draw order."""
        return [face for trace in self.traces for face in trace.fumbles]

    def faces(self) -> list[int]:
        """Every face of every instruction, in draw order: what :func:`replay_program`
        takes."""
        return [face for trace in self.traces for face in trace.faces()]

    def _form(self, style: Style, max_length: int | None) -> str:
        if max_length is not None:
            return _within(self, style, max_length)
        parts = SEPARATOR.join(format_trace(trace, style) for trace in self.traces)
        return comment_prefix(self.comment, style) + parts

    def markdown(self, *, max_length: int | None = None) -> str:
        """The program for Markdown chats, its instructions as :meth:`Trace.markdown`
        shows them, joined by ``"; "`` after the comment.

        With ``max_length``, at most that many characters: each instruction is
        shortened as :meth:`Trace.markdown` shortens it, sharing the length fairly, and
        the comment is cut to what is left; every total stays whole. A ``max_length``
        too small for every ``… = total`` raises ValueError."""
        return self._form("markdown", max_length)

    def text(self, *, max_length: int | None = None) -> str:
        """The program in plain text (see :meth:`markdown`)."""
        return self._form("text", max_length)

    def ansi(self, *, max_length: int | None = None) -> str:
        """The program for a terminal (see :meth:`markdown`)."""
        return self._form("ansi", max_length)

    def to_dict(self) -> dict[str, object]:
        """The program's trace as plain data (for JSON): its result and each
        instruction's :meth:`Trace.to_dict`."""
        return {
            "result": {
                "results": [dict(result) for result in self.result["results"]],
                "comment": self.comment,
            },
            "traces": [trace.to_dict() for trace in self.traces],
        }

    def _repr_markdown_(self) -> str:
        """How a notebook shows a program's trace: its Markdown form."""
        return self.markdown()

    def __str__(self) -> str:
        return self.text()

    def __repr__(self) -> str:
        return f"<ProgramTrace {self.text()!r}>"


def _shares(needs: list[int], least: list[int], room: int) -> list[int]:
    """Lengths for parts that need ``needs`` characters and can be shortened down to
    ``least``: a part that fits takes what it needs, the others share the rest
    equally (``room`` is at least ``sum(least)``)."""
    shares = list(least)
    left = room - sum(least)
    waiting = sorted(range(len(needs)), key=lambda i: needs[i] - least[i])
    while waiting:
        each = left // len(waiting)
        i = waiting[0]
        if needs[i] - least[i] <= each:
            shares[i] = needs[i]
            left -= needs[i] - least[i]
            waiting.pop(0)
            continue
        for i in waiting:
            shares[i] += each
        break
    return shares


def _within(program: ProgramTrace, style: Style, max_length: int) -> str:
    if isinstance(max_length, bool) or not isinstance(max_length, int):
        raise TypeError(f"max_length must be an int, not {type(max_length).__name__}")
    full = program._form(style, None)
    if len(full) <= max_length:
        return full
    traces = program.traces
    separators = len(SEPARATOR) * (len(traces) - 1)
    whole = [format_trace(trace, style) for trace in traces]
    least = [
        min(len(shown), len(ELLIPSIS + " = " + TOTAL[style](trace.total)))
        for shown, trace in zip(whole, traces, strict=True)
    ]
    if sum(least) + separators > max_length:
        raise ValueError(
            f"max_length must be at least {sum(least) + separators} for this program: "
            f"got {max_length}"
        )
    shares = _shares([len(shown) for shown in whole], least, max_length - separators)
    parts = [
        shown if len(shown) <= share else format_within(trace, style, share)
        for shown, share, trace in zip(whole, shares, traces, strict=True)
    ]
    body = SEPARATOR.join(parts)
    # The comment, cut short with "…" at a character of the player's text to fit.
    comment = program.comment
    prefix = _longest(
        len(comment),
        max_length - len(body),
        lambda n: comment_prefix(_cut(comment, n), style) if n else "",
    )
    return (prefix or "") + body


def _instruction_sources(program: str, count: int, result: ProgramResult) -> list[str]:
    """The text of each instruction (the program before its comment, split at ";"),
    or each instruction's canonical expression where the text does not split so."""
    pieces = program.split("#", 1)[0].split(";")
    if len(pieces) == count:
        return [piece.strip() for piece in pieces]
    return [item["expression"] for item in result["results"]]


def _build(program: str, raw: tuple[Any, list[_trace.RawTerm], list[int]]) -> ProgramTrace:
    result = cast(ProgramResult, raw[0])
    terms, starts = raw[1], raw[2]
    items: list[DiceRollResult] = result["results"]
    sources = _instruction_sources(program, len(items), result)
    ends = [*starts[1:], len(terms)]
    traces = tuple(
        Trace(source, item, tuple(starmap(Term._recorded, terms[start:end])))
        for source, item, start, end in zip(sources, items, starts, ends, strict=True)
    )
    return ProgramTrace(program, result, traces)


def trace_program(program: str, policy: ResourcePolicy | None = None) -> ProgramTrace:
    """Runs a program (``"1d20+5; 2d6 # attack"``) like :func:`kavelo.run_program`
    and records every face of every instruction, all under one request's limits.

    Raises:
        ValueError: a syntax, limit or arithmetic error, with ``run_program``'s text.
        TypeError: when ``program`` is not a ``str`` or ``policy`` not a policy.
    """
    raw = _trace.trace_program(
        program, None if policy is None else _limits(policy), Face, DerivedValue
    )
    return _build(program, raw)


def replay_program(
    program: str, faces: Iterable[int], policy: ResourcePolicy | None = None
) -> ProgramTrace:
    """Runs a program taking its faces, in draw order over all instructions, from
    ``faces``; typically ``trace.faces()`` of an earlier :func:`trace_program`.

    Raises:
        ValueError: as :func:`kavelo.replay` for the faces, or any error of
            :func:`trace_program`.
        TypeError: when ``faces`` is not iterable, or for the arguments of
            :func:`trace_program`.
    """
    limits = None if policy is None else _limits(policy)
    if not isinstance(faces, (list, tuple)):
        most = (policy or ResourcePolicy()).limits()["generated_values"]
        faces = tuple(islice(iter(faces), most + 1))
    raw = _trace.replay_program(program, faces, limits, Face, DerivedValue)
    return _build(program, raw)
