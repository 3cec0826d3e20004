"""Exact odds of dice expressions.

``odds("4d6kh3")`` gives the probability of every total the roll can give, computed in
the native module ``kavelo._odds`` with the roller's own rules, outcome by outcome:

>>> from kavelo import odds
>>> d = odds("2d6")
>>> round(d.probability(7), 6), round(d.at_least(10), 6), d.min, d.max
(0.166667, 0.166667, 2, 12)
"""

from __future__ import annotations

import bisect
import math
from typing import Any

from .. import _odds
from ..errors import error_text

__all__ = ["odds", "Odds", "DEFAULT_TOLERANCE", "DEFAULT_MAX_OUTCOMES", "DEFAULT_MAX_WORK"]

#: Explosions and rerolls are followed until the mass still going on is below this.
DEFAULT_TOLERANCE = 1e-15
#: Most outcomes any distribution of the computation may have (intermediate ones too).
DEFAULT_MAX_OUTCOMES = 100_000
#: Most elementary steps (multiply-adds, state moves) one computation may take.
DEFAULT_MAX_WORK = 50_000_000

_U64_MAX = 2**64 - 1


def _count_argument(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(
            error_text("argument.not_an_integer", argument=name, type=type(value).__name__)
        )
    if not 1 <= value <= _U64_MAX:
        raise ValueError(error_text("odds.count_argument", argument=name, got=_int_text(value)))
    return value


def _int_text(value: int) -> str:
    """An int as the odds' messages show it (the native module writes it the same way):
    its digits within 64 bits, else which way it leaves them, never millions of digits."""
    if value < -(2**63):
        return "an integer below -9223372036854775808"
    if value > _U64_MAX:
        return f"an integer above {_U64_MAX}"
    return str(value)


class Odds:
    """The distribution of the total of one expression.

    ``pmf`` maps every total the roll can give to its probability, outcomes ascending;
    ``failures`` the probability that the roll ends in an error instead, by the error's
    code; ``truncated`` the mass left out where explosions could go on without end. The
    three add up to 1 (within rounding). ``mean`` and ``stdev`` are those of the totals
    of the rolls that give one (the pmf divided by its sum); ``min`` and ``max`` are
    ``None`` when no roll gives a total.
    """

    __slots__ = (
        "expression",
        "pmf",
        "failures",
        "truncated",
        "_outcomes",
        "_at_least",
        "_at_most",
        "_moments",
    )

    def __init__(
        self, expression: str, pmf: dict[int, float], failures: dict[str, float], truncated: float
    ) -> None:
        self.expression = expression
        self.pmf = pmf
        self.failures = failures
        self.truncated = truncated
        self._outcomes: list[int] | None = None
        self._at_least: list[float] | None = None
        self._at_most: list[float] | None = None
        self._moments: tuple[float, float] | None = None

    def __repr__(self) -> str:
        if not self.pmf:
            return f"<Odds {self.expression!r}: no total, failures {self.failures}>"
        return (
            f"<Odds {self.expression!r}: {len(self.pmf)} outcomes from {self.min} to {self.max}, "
            f"mean {self.mean:.4f}>"
        )

    # -- summaries

    @property
    def outcomes(self) -> list[int]:
        """The outcomes, ascending (a new list)."""
        return list(self._sorted())

    @property
    def min(self) -> int | None:
        outcomes = self._sorted()
        return outcomes[0] if outcomes else None

    @property
    def max(self) -> int | None:
        outcomes = self._sorted()
        return outcomes[-1] if outcomes else None

    @property
    def mean(self) -> float:
        return self._summary()[0]

    @property
    def stdev(self) -> float:
        return self._summary()[1]

    def probability(self, x: float) -> float:
        """The probability that the roll gives exactly ``x``."""
        if isinstance(x, float) and x.is_integer():
            x = int(x)
        return self.pmf.get(x, 0.0) if isinstance(x, int) else 0.0

    def at_least(self, x: float) -> float:
        """The probability that the roll gives a total of ``x`` or more."""
        outcomes = self._sorted()
        if self._at_least is None:
            # Summed from the top, so that small tails keep their accuracy.
            tail, acc = [0.0] * (len(outcomes) + 1), 0.0
            for i in range(len(outcomes) - 1, -1, -1):
                acc += self.pmf[outcomes[i]]
                tail[i] = acc
            self._at_least = tail
        return self._at_least[bisect.bisect_left(outcomes, x)]

    def at_most(self, x: float) -> float:
        """The probability that the roll gives a total of ``x`` or less."""
        outcomes = self._sorted()
        if self._at_most is None:
            head, acc = [0.0], 0.0
            for outcome in outcomes:
                acc += self.pmf[outcome]
                head.append(acc)
            self._at_most = head
        return self._at_most[bisect.bisect_right(outcomes, x)]

    def to_dict(self) -> dict[str, Any]:
        """The odds as plain data (for JSON): outcomes as ``[total, probability]`` pairs;
        ``mean`` and ``stdev`` are None where the mean is not a number."""
        # No mean where no total has a probability above zero (JSON has no NaN).
        has_mean = bool(self.pmf) and math.isfinite(self.mean)
        return {
            "expression": self.expression,
            "pmf": [[outcome, self.pmf[outcome]] for outcome in self._sorted()],
            "mean": self.mean if has_mean else None,
            "stdev": self.stdev if has_mean else None,
            "min": self.min,
            "max": self.max,
            "failures": dict(self.failures),
            "truncated": self.truncated,
        }

    # -- internals

    def _sorted(self) -> list[int]:
        if self._outcomes is None:
            self._outcomes = list(self.pmf)  # the module fills the dict in ascending order
        return self._outcomes

    def _summary(self) -> tuple[float, float]:
        if self._moments is None:
            total = math.fsum(self.pmf.values())
            if not self.pmf or total <= 0.0:
                self._moments = (math.nan, math.nan)
            else:
                mean = math.fsum(x * p for x, p in self.pmf.items()) / total
                variance = math.fsum((x - mean) ** 2 * p for x, p in self.pmf.items()) / total
                self._moments = (mean, math.sqrt(max(variance, 0.0)))
        return self._moments


def odds(
    expression: str,
    *,
    tolerance: float = DEFAULT_TOLERANCE,
    max_outcomes: int = DEFAULT_MAX_OUTCOMES,
    max_work: int = DEFAULT_MAX_WORK,
) -> Odds:
    """The exact odds of one expression (a ``# comment`` is allowed, a program is not).

    Every modifier and operator acts as in a roll, outcome by outcome; the roll's
    resource limits play no part. Explosions and rerolls that could go on without end
    are followed until what is left is below ``tolerance`` (that mass is
    ``Odds.truncated``); a term that can never finish (``1d1!``, ``4d6R6``) is refused.

    Raises:
        ValueError: ``"解析错误: ..."`` for text that does not parse, as ``roll_dice``;
            ``"[odds.program] ..."`` for a program; ``"[odds.endless] ..."`` for a term
            that never finishes; ``"[odds.too_complex] ..."`` when the computation would
            pass ``max_outcomes`` or ``max_work`` (or hold more than 12 times
            ``max_outcomes`` probabilities at once); ``"[odds.invalid_argument] ..."``
            for a limit out of range.
        TypeError: for arguments of the wrong type.
    """
    if not isinstance(expression, str):
        raise TypeError(
            error_text(
                "argument.conversion",
                argument="expression",
                type=type(expression).__name__,
                target="PyString",
            )
        )
    if isinstance(tolerance, bool) or not isinstance(tolerance, (int, float)):
        raise TypeError(
            error_text("argument.not_a_number", argument="tolerance", type=type(tolerance).__name__)
        )
    if isinstance(tolerance, int):
        # No int lies strictly between 0 and 1; one too large for a float is refused by
        # its value, not by the OverflowError of converting it.
        raise ValueError(error_text("odds.tolerance", got=_int_text(tolerance)))
    tolerance = float(tolerance)
    if not 0.0 < tolerance < 1.0:
        raise ValueError(error_text("odds.tolerance", got=repr(tolerance)))
    max_outcomes = _count_argument("max_outcomes", max_outcomes)
    max_work = _count_argument("max_work", max_work)
    pmf, failures, truncated, _work = _odds.distribution(
        expression, tolerance, max_outcomes, max_work
    )
    return Odds(expression, pmf, failures, truncated)
