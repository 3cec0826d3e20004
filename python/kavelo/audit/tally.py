"""Counting what the records hold, in memory bounded by the number of distinct outcomes.

Per die size: how often each face came up, how often each face followed each face
(the faces of one size form one sequence in the order of the records, each record's in
draw order), and how often a face repeated the one before. Per expression: how often
each total came up, and the exact odds, computed once when the expression is first met.

Dice of more than ``FACE_CELLS`` sides are counted in that many ranges of neighbouring
faces, and the pairs of dice of more than ``PAIR_CELLS`` sides in that many ranges per
die, so that a die size never holds more than a fixed number of counts.
"""

from __future__ import annotations

import itertools
import operator
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass, field

from ..probability.odds import DEFAULT_MAX_OUTCOMES, DEFAULT_MAX_WORK, odds
from .records import LimitError, Record, RecordError, quote

#: Most counts kept for the faces of one die size.
FACE_CELLS = 1 << 12
#: Most ranges a die's faces are put in for the pairs of consecutive faces (the pairs
#: then take at most this squared).
PAIR_CELLS = 64
#: Most die sizes and expressions one audit keeps apart.
MAX_DIE_SIZES = 100
MAX_EXPRESSIONS = 256
#: Most outcomes of all the expressions' odds together (as many as one distribution may
#: have under the defaults of kavelo.odds).
MAX_OUTCOMES = 1_000_000
#: Faces of one die size held before they are counted together.
FLUSH_FACES = 1 << 13


def cell_of(face: int, sides: int, cells: int) -> int:
    """The range (0 to cells - 1) a face falls in when a die's faces are put in
    ``cells`` ranges of neighbouring faces, sizes differing by at most one."""
    return (face - 1) * cells // sides


def cell_sizes(sides: int, cells: int) -> list[int]:
    """How many faces each of the ``cells`` ranges of ``cell_of`` holds."""
    sizes = [0] * cells
    # The first face of range j is the least f with (f - 1) * cells >= j * sides.
    starts = [-(-j * sides // cells) + 1 for j in range(cells)] + [sides + 1]
    for j in range(cells):
        sizes[j] = starts[j + 1] - starts[j]
    return sizes


@dataclass
class DieTally:
    """The counts of one die size."""

    sides: int
    faces: int = 0
    counts: Counter[int] = field(default_factory=Counter)
    pairs: Counter[tuple[int, int]] = field(default_factory=Counter)
    repeats: int = 0
    last: int | None = None
    pending: list[int] = field(default_factory=list)

    @property
    def face_cells(self) -> int:
        return min(self.sides, FACE_CELLS)

    @property
    def pair_cells(self) -> int:
        return min(self.sides, PAIR_CELLS)

    @property
    def pair_count(self) -> int:
        return sum(self.pairs.values())

    def add(self, values: list[int]) -> None:
        self.pending.extend(values)
        if len(self.pending) >= FLUSH_FACES:
            self.flush()

    def flush(self) -> None:
        values = self.pending
        if not values:
            return
        self.pending = []
        self.faces += len(values)
        sides = self.sides
        chain = values if self.last is None else [self.last, *values]
        self.last = values[-1]
        self.repeats += sum(map(operator.eq, chain, chain[1:]))
        if sides <= FACE_CELLS:
            self.counts.update(values)
        else:
            self.counts.update(cell_of(v, sides, FACE_CELLS) for v in values)
        if sides > PAIR_CELLS:
            chain = [cell_of(v, sides, PAIR_CELLS) + 1 for v in chain]
        self.pairs.update(itertools.pairwise(chain))


@dataclass
class TotalsTally:
    """The totals of one expression and its odds."""

    expression: str
    pmf: dict[int, float]
    counts: Counter[int] = field(default_factory=Counter)
    # Why the odds could not be computed, and whether only for their cost.
    error: str | None = None
    costly: bool = False
    # Rolls of an expression without odds: counted, not kept by total.
    untested: int = 0

    @property
    def rolls(self) -> int:
        return sum(self.counts.values()) + self.untested


class Tally:
    """Everything counted so far. ``add`` takes one record whole or, when it raises,
    nothing of it."""

    def __init__(self) -> None:
        self.dice: dict[int, DieTally] = {}
        self.totals: dict[str, TotalsTally] = {}
        self.records = 0
        self.failed = 0
        self.outcomes = 0

    def add(self, record: Record, records: int = 1) -> None:
        """Counts ``record``, which stands for ``records`` records of the log (the
        lines of a plain list of faces read together)."""
        # Everything that can fail is done before anything is counted.
        totals = [
            (self._totals_of(expression, key, record.totals_optional), counts)
            for expression, key, counts in record.totals
        ]
        for tally, counts in totals:
            if tally.error is not None:
                continue
            for total in counts:
                if total not in tally.pmf:
                    raise RecordError(
                        f"{quote(tally.expression)} cannot give the total {quote(total)}"
                    )
        new_sizes = {sides for sides, _ in record.faces if sides not in self.dice}
        if len(self.dice) + len(new_sizes) > MAX_DIE_SIZES:
            raise LimitError(f"more than {MAX_DIE_SIZES} different die sizes in one audit")
        self.records += records
        self.failed += record.failed
        for tally, counts in totals:
            if tally.error is None:
                tally.counts.update(counts)
            else:
                tally.untested += sum(counts.values())
        for sides, values in record.faces:
            die = self.dice.get(sides)
            if die is None:
                die = self.dice[sides] = DieTally(sides)
            die.add(values)

    def _totals_of(self, expression: str, key: str, optional: bool) -> TotalsTally:
        """The tally of an expression, made (and its odds computed) when first met. An
        expression whose odds cannot be computed is remembered as such: a record that
        needs them fails, and a trace's faces still count when the odds are merely too
        costly."""
        tally = self.totals.get(key)
        if tally is None:
            if len(self.totals) >= MAX_EXPRESSIONS:
                raise LimitError(f"more than {MAX_EXPRESSIONS} different expressions in one audit")
            tally = self.totals[key] = self._new_totals(expression)
        if tally.error is not None and not (optional and tally.costly):
            raise RecordError(tally.error)
        return tally

    def _new_totals(self, expression: str) -> TotalsTally:
        try:
            distribution = odds(
                expression, max_outcomes=DEFAULT_MAX_OUTCOMES, max_work=DEFAULT_MAX_WORK
            )
        except ValueError as error:
            message = str(error).splitlines()[0] if str(error) else type(error).__name__
            return TotalsTally(
                expression,
                {},
                error=f"the odds of {quote(expression)} cannot be computed: {message}",
                costly=message.startswith(("[odds.too_complex]", "[odds.endless]")),
            )
        if self.outcomes + len(distribution.pmf) > MAX_OUTCOMES:
            return TotalsTally(
                expression,
                {},
                error=f"the odds of the expressions in one audit may have at most {MAX_OUTCOMES} "
                "outcomes in all",
                costly=True,
            )
        self.outcomes += len(distribution.pmf)
        return TotalsTally(expression, distribution.pmf)

    def finish(self) -> Iterator[DieTally]:
        """The die tallies in order of sides, with every face counted."""
        for sides in sorted(self.dice):
            die = self.dice[sides]
            die.flush()
            yield die
