"""Roll traces: every die a roll drew, how it came and what became of it.

>>> from kavelo import replay
>>> t = replay("2d20kh1+5", [4, 20])
>>> t.total
25
>>> [(f.value, f.fate, f.by) for f in t.terms[0].faces]
[(4, 'dropped', 'kh1'), (20, 'kept', None)]
>>> t.markdown()
'2d20kh1 (~~4~~, **20**) + 5 = `25`'

:func:`trace` rolls like :func:`kavelo.roll_dice` and records; :func:`replay`
evaluates with given faces instead of fresh ones, so a stored roll can be shown again
and formatting can be tested with certain faces. Plain rolls always draw fresh
entropy: nothing here seeds them.
"""

from __future__ import annotations

from collections.abc import Iterable
from itertools import islice

from .. import _trace
from .._core import ResourcePolicy
from ..errors import error_text
from ..results import DiceRollResult
from .forms import format_trace
from .records import REMOVED_FATES, DerivedValue, Face, Term
from .short import format_within


class Trace(_trace.TraceBase):
    """A roll with its story: the result dictionary and every term's faces.

    ``str(trace)`` is :meth:`text`.
    """

    # The fields (_source, result, terms) are the native base's, so that a trace is
    # made without running Python code.
    __slots__ = ()

    result: DiceRollResult
    terms: tuple[Term, ...]

    def __init__(self, source: str, result: DiceRollResult, terms: tuple[Term, ...]) -> None:
        self._source = source
        self.result = result
        self.terms = terms

    def __reduce__(self) -> tuple[type[Trace], tuple[str, DiceRollResult, tuple[Term, ...]]]:
        return (type(self), (self._source, self.result, self.terms))

    @property
    def source(self) -> str:
        """The expression text as given."""
        return self._source

    @property
    def total(self) -> int:
        """The result's total."""
        return self.result["total"]

    @property
    def notation(self) -> str:
        """The expression as given, without its comment: ``"2d20kh1+5"`` for
        ``"2d20kh1+5 # attack"``."""
        source = self._source
        return (source[: source.index("#")] if "#" in source else source).strip()

    @property
    def comment(self) -> str:
        """The comment, as the result gives it (``""`` when there is none)."""
        return self.result["comment"]

    @property
    def criticals(self) -> list[Face]:
        """The faces that count and show their die's highest face (a natural 20 on a
        d20), in draw order; a face counts unless a modifier removed it."""
        return [
            face
            for term in self.terms
            for face in term.faces
            if face.value == term.sides and face.fate not in REMOVED_FATES
        ]

    @property
    def fumbles(self) -> list[Face]:
        """The faces that count and show 1, in draw order (on a one-sided die a face is
        both a critical and a fumble)."""
        return [
            face
            for term in self.terms
            for face in term.faces
            if face.value == 1 and face.fate not in REMOVED_FATES
        ]

    def _repr_markdown_(self) -> str:
        """How a notebook shows a trace: its Markdown form."""
        return self.markdown()

    def faces(self) -> list[int]:
        """Every face over all terms, in draw order: what :func:`replay` takes."""
        return [face.value for term in self.terms for face in term.faces]

    def markdown(self, *, max_length: int | None = None) -> str:
        """The roll for Markdown chats: ``2d20kh1 (~~4~~, **20**) + 5 = `25```.

        With ``max_length``, at most that many characters: past it the faces are left
        out and counted, then the comment and the expression cut short with ``…``
        (never inside an escape or a Markdown token); the total is always whole. A bot
        for Discord passes 2000 (or less, to leave room for its own words). A
        ``max_length`` too small for even ``… = total`` raises ValueError."""
        return (
            format_within(self, "markdown", max_length)
            if max_length is not None
            else format_trace(self, "markdown")
        )

    def text(self, *, max_length: int | None = None) -> str:
        """The roll in plain text: ``2d20kh1 (~4~, 20) + 5 = 25``.

        With ``max_length``, at most that many characters (see :meth:`markdown`)."""
        return (
            format_within(self, "text", max_length)
            if max_length is not None
            else format_trace(self, "text")
        )

    def ansi(self, *, max_length: int | None = None) -> str:
        """The roll for a terminal: removed faces dim and struck, critical faces and the
        total bold.

        With ``max_length``, at most that many characters (see :meth:`markdown`)."""
        return (
            format_within(self, "ansi", max_length)
            if max_length is not None
            else format_trace(self, "ansi")
        )

    def to_dict(self) -> dict[str, object]:
        """The trace as plain data (for JSON): the result and every term, each face and
        derived value as a dictionary of its fields."""
        return {
            "result": dict(self.result),
            "terms": [
                {
                    "notation": term.notation,
                    "count": term.count,
                    "sides": term.sides,
                    "faces": [
                        {
                            "value": value,
                            "die": die,
                            "origin": origin,
                            "fate": fate,
                            "by": by,
                            "into": into,
                        }
                        for value, die, origin, fate, by, into in term.faces
                    ],
                    "values": term.values,
                    "derived": [
                        {
                            "value": value,
                            "kind": kind,
                            "made_by": made_by,
                            "die": die,
                            "fate": fate,
                            "by": by,
                            "into": into,
                        }
                        for value, kind, made_by, die, fate, by, into in term.derived
                    ],
                }
                for term in self.terms
            ],
        }

    def __str__(self) -> str:
        return self.text()

    def __repr__(self) -> str:
        return f"<Trace {self.text()!r}>"


# The limits of the policy last used: a program passes the same policy again and again,
# and a policy cannot change (with_limit makes a new one).
_last_limits: tuple[ResourcePolicy | None, dict[str, int] | None] = (None, None)


def _limits(policy: ResourcePolicy | None) -> dict[str, int] | None:
    global _last_limits
    if policy is None:
        return None
    last_policy, last_limits = _last_limits
    if policy is last_policy:
        return last_limits
    if not isinstance(policy, ResourcePolicy):
        raise TypeError(
            error_text("argument.not_a_policy", argument="policy", type=type(policy).__name__)
        )
    limits = policy.limits()
    _last_limits = (policy, limits)
    return limits


# The native module makes traces, terms and records as instances of these classes.
_trace.register(Trace, Term, Face, DerivedValue)


def trace(expression: str, policy: ResourcePolicy | None = None) -> Trace:
    """Rolls one expression (a comment allowed) like :func:`kavelo.roll_dice` and
    records every face.

    ``policy`` is the :class:`ResourcePolicy` to run under; the defaults when None.
    The text's errors and limits are those of ``roll_dice``.

    Raises:
        ValueError: a syntax, limit or arithmetic error, with ``roll_dice``'s text.
        TypeError: when ``expression`` is not a ``str`` or ``policy`` not a policy.
    """
    return _trace.trace(expression, None if policy is None else _limits(policy))


def replay(expression: str, faces: Iterable[int], policy: ResourcePolicy | None = None) -> Trace:
    """Evaluates one expression taking its faces, in draw order, from ``faces`` instead
    of the generator, and returns its trace.

    ``faces`` is typically ``trace.faces()`` of an earlier trace. It may hold no more
    faces than the policy's ``generated_values`` limit lets a roll draw.

    Raises:
        ValueError: a face that is not an ``int``, a face outside 1 to its die's sides,
            too few faces, or faces left over; or any error of :func:`trace`.
        TypeError: when ``faces`` is not iterable, or for the arguments of :func:`trace`.
    """
    limits = _limits(policy)
    if not isinstance(faces, (list, tuple)):
        # One more than the limit is enough to know the faces are too many.
        most = (policy or ResourcePolicy()).limits()["generated_values"]
        faces = tuple(islice(iter(faces), most + 1))
    return _trace.replay(expression, faces, limits)
