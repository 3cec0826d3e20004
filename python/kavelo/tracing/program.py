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
from itertools import islice
from typing import Any, cast

from .. import _trace
from .._core import ResourcePolicy
from ..results import DiceRollResult, ProgramResult
from .forms import TOTAL, Style, comment_prefix, format_trace
from .records import Face, Term
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
        shortened as :meth:`Trace.markdown` shortens it, sharing the length fairly, the
        comment keeping up to a quarter of it where the totals allow; every total shown
        stays whole. Where not
        every ``… = total`` fits, the last instructions are left out and counted
        (``… 12 more instructions``). A ``max_length`` too small for even that raises
        ValueError."""
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
    # From the part that needs least more: it takes all it needs while that is no more
    # than an equal share of what is left; then the rest share equally.
    order = sorted(range(len(needs)), key=lambda i: needs[i] - least[i])
    for k, i in enumerate(order):
        each = left // (len(order) - k)
        if needs[i] - least[i] > each:
            for j in order[k:]:
                shares[j] += each
            break
        shares[i] = needs[i]
        left -= needs[i] - least[i]
    return shares


def _more(left_out: int) -> str:
    """What stands for the instructions left out at the end."""
    return f"… {left_out:,} more instruction{'s' if left_out > 1 else ''}"


def _least_length(least: list[int], gap: int) -> int:
    """The shortest form of a program whose instructions take at least ``least``: every
    total, or the first k totals and a count of the others, whichever is shortest."""
    count = len(least)
    best = sum(least) + gap * (count - 1)
    taken = 0
    for k in range(count):
        best = min(best, taken + gap * k + len(_more(count - k)))
        taken += least[k]
    return best


def _body(
    traces: tuple[Trace, ...], style: Style, least: list[int], length: int
) -> tuple[str, int] | None:
    """The instructions in at most ``length`` characters, and how many show their
    total: each shortened as a single trace is, sharing the length fairly; where not
    every ``… = total`` fits, as many as fit from the first, and a count of the others.
    None when not even the count fits."""
    count = len(traces)
    gap = len(SEPARATOR)
    kept = count
    if sum(least) + gap * (count - 1) > length:
        kept = count - 1
        taken = sum(least[:kept])
        while kept and taken + gap * kept + len(_more(count - kept)) > length:
            kept -= 1
            taken -= least[kept]
        if not kept and len(_more(count)) > length:
            return None
    more = [] if kept == count else [_more(count - kept)]
    room = length - gap * (kept - 1 + len(more)) - sum(map(len, more))
    whole = [format_trace(trace, style) for trace in traces[:kept]]
    shares = _shares([len(shown) for shown in whole], least[:kept], room)
    parts = [
        shown if len(shown) <= share else format_within(trace, style, share)
        for shown, share, trace in zip(whole, shares, traces[:kept], strict=True)
    ]
    # A shortened form can come out shorter than its share: what is left over goes to
    # the instructions still cut short, in order.
    unused = room - sum(map(len, parts))
    for i, (shown, trace) in enumerate(zip(whole, traces[:kept], strict=True)):
        if unused <= 0:
            break
        if len(parts[i]) < len(shown):
            longer = format_within(trace, style, len(parts[i]) + unused)
            unused -= len(longer) - len(parts[i])
            parts[i] = longer
    return SEPARATOR.join(parts + more), kept


def _within(program: ProgramTrace, style: Style, max_length: int) -> str:
    if isinstance(max_length, bool) or not isinstance(max_length, int):
        raise TypeError(f"max_length must be an int, not {type(max_length).__name__}")
    traces = program.traces
    # The least each instruction takes, "… = total": its full form is never shorter.
    least = [len(ELLIPSIS + " = " + TOTAL[style](trace.total)) for trace in traces]
    if sum(least) + len(SEPARATOR) * (len(traces) - 1) <= max_length:
        full = program._form(style, None)
        if len(full) <= max_length:
            return full
    # The comment keeps up to a quarter of the length, unless that would leave out a
    # total that could all be shown; when some are left out anyway, the comment keeps
    # its quarter.
    comment = program.comment
    reserve = min(len(comment_prefix(comment, style)), max_length // 4)
    laid_out = _body(traces, style, least, max_length)
    if laid_out is None:
        raise ValueError(
            f"max_length must be at least {_least_length(least, len(SEPARATOR))} for this "
            f"program: got {max_length}"
        )
    with_comment = _body(traces, style, least, max_length - reserve) if reserve else None
    if with_comment is not None and (with_comment[1] == laid_out[1] or laid_out[1] < len(traces)):
        laid_out = with_comment
    body = laid_out[0]
    # The comment, cut short with "…" at a character of the player's text to fit.
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


def _build(program: str, raw: tuple[Any, list[Term], list[int]]) -> ProgramTrace:
    result = cast(ProgramResult, raw[0])
    terms, starts = raw[1], raw[2]
    items: list[DiceRollResult] = result["results"]
    sources = _instruction_sources(program, len(items), result)
    ends = [*starts[1:], len(terms)]
    traces = tuple(
        Trace(source, item, tuple(terms[start:end]))
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
    raw = _trace.trace_program(program, None if policy is None else _limits(policy))
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
    raw = _trace.replay_program(program, faces, limits)
    return _build(program, raw)
