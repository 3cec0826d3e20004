"""The records of a roll trace: each face a die showed, each value modifiers derived
from faces (reroll-and-add sums, counts), and each dice term with both."""

from __future__ import annotations

from typing import Literal, NamedTuple, cast

from .._trace import TermBase

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


class Term(TermBase):
    """One dice term of the expression, in evaluation order.

    ``faces`` holds every face drawn for it in draw order; ``values`` the groups it
    contributed to the result's ``rolls`` (sums of reroll-and-add and counts are
    values, not faces); ``derived`` the sums and counts its modifiers made, in the
    order made, which faces and derived values name by index (``into``).

    A term is immutable. The faces and derived values of a term a roll recorded are
    made when first read, so a trace costs little more than the roll until they are.
    """

    # The fields are the native base's, so that a trace makes its terms without running
    # Python code: _count, _sides, _modifiers, _faces, _values and _derived, and for a
    # term a roll recorded, the _records object that makes the last three on first
    # read and the term's _index there (None otherwise).
    __slots__ = ()
    __match_args__ = ("count", "sides", "modifiers", "faces", "values", "derived")
    __hash__ = None  # type: ignore[assignment]  # values is a list

    def __init__(
        self,
        count: int,
        sides: int,
        modifiers: str,
        faces: tuple[Face, ...],
        values: list[list[int]],
        derived: tuple[DerivedValue, ...] = (),
    ) -> None:
        self._count = count
        self._sides = sides
        self._modifiers = modifiers
        self._faces = faces
        self._values = values
        self._derived = derived
        self._records = None
        self._index = None

    def _made(self) -> tuple[tuple[Face, ...], tuple[DerivedValue, ...]]:
        faces, derived = self._faces, self._derived
        if faces is None or derived is None:
            assert self._records is not None and self._index is not None
            faces, derived = cast(
                "tuple[tuple[Face, ...], tuple[DerivedValue, ...]]",
                self._records.term(self._index),
            )
            self._faces, self._derived = faces, derived
        return faces, derived

    @property
    def count(self) -> int:
        """The number of dice, as written."""
        return self._count

    @property
    def sides(self) -> int:
        """The sides of each die."""
        return self._sides

    @property
    def modifiers(self) -> str:
        """The modifiers written back in their short forms, ``"kh3"`` (``""`` when none)."""
        return self._modifiers

    @property
    def faces(self) -> tuple[Face, ...]:
        """Every face drawn for the term, in draw order."""
        return self._made()[0]

    @property
    def values(self) -> list[list[int]]:
        """The groups the term contributed to the result's ``rolls``."""
        values = self._values
        if values is None:
            assert self._records is not None and self._index is not None
            values = self._values = self._records.values(self._index)
        return values

    @property
    def derived(self) -> tuple[DerivedValue, ...]:
        """The sums and counts the term's modifiers made, in the order made."""
        return self._made()[1]

    def _fields(self) -> tuple[object, ...]:
        faces, derived = self._made()
        return (self._count, self._sides, self._modifiers, faces, self.values, derived)

    def __eq__(self, other: object) -> bool:
        if other.__class__ is not self.__class__:
            return NotImplemented
        assert isinstance(other, Term)
        return self._fields() == other._fields()

    def __repr__(self) -> str:
        names = ("count", "sides", "modifiers", "faces", "values", "derived")
        shown = ", ".join(
            f"{name}={value!r}" for name, value in zip(names, self._fields(), strict=True)
        )
        return f"{type(self).__name__}({shown})"

    def __reduce__(self) -> tuple[type[Term], tuple[object, ...]]:
        return (type(self), self._fields())

    @property
    def notation(self) -> str:
        """The term written back, for example ``"4d6kh3"``."""
        return f"{self._count}d{self._sides}{self._modifiers}"

    @property
    def total(self) -> int:
        """The sum of the term's values."""
        return sum(sum(group) for group in self.values)
