"""The records of a roll trace: each face a die showed, each value modifiers derived
from faces (reroll-and-add sums, counts), and each dice term with both."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal, NamedTuple

Origin = Literal["roll", "explode", "reroll"]
Fate = Literal["kept", "dropped", "rerolled", "duplicate", "added", "counted", "uncounted"]
Kind = Literal["sum", "count"]

#: The fates of faces (and derived values) that do not count towards the term at all.
REMOVED_FATES: frozenset[str] = frozenset({"dropped", "rerolled", "duplicate", "uncounted"})


class Face(NamedTuple):
    """One face a die showed.

    ``value`` the face; ``die`` the index of its die in the term, from 0; ``origin``
    how it came (``"roll"`` a die's first face, ``"explode"`` an explosion,
    ``"reroll"`` a reroll's new face); ``fate`` what became of it (``"kept"``,
    ``"dropped"`` by a keep or drop, ``"rerolled"`` away, ``"duplicate"`` removed by
    unique, ``"added"`` into a reroll-and-add sum, ``"counted"`` or ``"uncounted"`` by
    count); ``by`` the modifier that decided the fate (``"kh3"``), None when kept;
    ``into`` the index in :attr:`Term.derived` of the sum or count the face went into
    (None when none).

    A face that went into a sum or a count that was itself removed takes that removal's
    fate and modifier: every face with a fate of :data:`REMOVED_FATES` is one that does
    not count.
    """

    value: int
    die: int
    origin: Origin
    fate: Fate
    by: str | None
    into: int | None = None


class DerivedValue(NamedTuple):
    """A value a modifier made from other values: a reroll-and-add sum or a count.

    ``value`` the value; ``kind`` ``"sum"`` (the die's values plus one new face, by
    ``a``) or ``"count"`` (how many values equalled the n of ``c``); ``made_by`` the
    modifier that made it (``"a2"``, ``"c6"``); ``die`` a sum's die, None for a count;
    ``fate``, ``by`` and ``into`` as for a :class:`Face`: a derived value is kept,
    removed by a later modifier, added into a later sum or counted by a later count.
    """

    value: int
    kind: Kind
    made_by: str
    die: int | None
    fate: Fate
    by: str | None
    into: int | None = None


@dataclass(frozen=True, slots=True)
class Term:
    """One dice term of the expression, in evaluation order.

    ``faces`` holds every face drawn for it in draw order; ``values`` the groups it
    contributed to the result's ``rolls`` (sums of reroll-and-add and counts are
    values, not faces); ``derived`` the sums and counts its modifiers made, in the
    order made, which faces and derived values name by index (``into``).
    """

    count: int
    sides: int
    modifiers: str
    faces: tuple[Face, ...]
    values: list[list[int]]
    derived: tuple[DerivedValue, ...] = ()

    @property
    def notation(self) -> str:
        """The term written back, for example ``"4d6kh3"``."""
        return f"{self.count}d{self.sides}{self.modifiers}"

    @property
    def total(self) -> int:
        """The sum of the term's values."""
        return sum(sum(group) for group in self.values)
