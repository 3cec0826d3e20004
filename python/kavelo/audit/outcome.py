"""One test of an audit as the report shows it: its numbers after the correction for
the number of tests, its words and the bars of its chart."""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from .checks import Cell


@dataclass(frozen=True)
class AuditTest:
    """One test of an audit.

    ``kind`` is ``"faces"`` (are the faces of one die size uniform), ``"serial"`` (is
    each face independent of the one before) or ``"totals"`` (do an expression's totals
    follow its exact odds); ``subject`` the die (``"d20"``) or the expression; ``count``
    the faces, pairs of consecutive faces or rolls tested; ``method`` ``"exact"`` or
    ``"chi-square"`` and ``why`` which test in words and why it applies; ``statistic``
    Pearson's chi-square statistic and ``df`` its degrees of freedom; ``p_value`` the
    test's own p-value and ``p_adjusted`` that after Holm's correction for the number
    of tests; ``biased`` whether ``p_adjusted`` is at most the audit's alpha.
    ``deviation`` says the largest deviation in words, ``power`` the smallest bias of
    the test's kind that the audit catches 80% of the time, and ``effect_caught`` that
    bias as a number (the share of the die's highest face, the chance of repeating the
    last face, the share of totals raised by one; None when even the most is caught
    less often). ``cells`` are the bars of its chart.
    """

    kind: str
    subject: str
    count: int
    method: str
    why: str
    statistic: float
    df: int
    p_value: float
    p_adjusted: float
    biased: bool
    deviation: str
    power: str
    effect_caught: float | None
    cells: tuple[Cell, ...]
    level: float
    _power: Callable[[float, float], float] = field(repr=False, compare=False)

    def power_at(self, effect: float) -> float:
        """The chance that this audit finds a bias of ``effect`` (in the units of
        ``effect_caught``) with this many faces or rolls, this test alone deciding at
        the audit's alpha divided by the number of tests (Holm's first step)."""
        return self._power(effect, self.level)

    def to_dict(self) -> dict[str, Any]:
        return {
            "kind": self.kind,
            "subject": self.subject,
            "count": self.count,
            "method": self.method,
            "why": self.why,
            "statistic": _finite(self.statistic),
            "df": self.df,
            "p_value": self.p_value,
            "p_adjusted": self.p_adjusted,
            "biased": self.biased,
            "deviation": self.deviation,
            "power": self.power,
            "effect_caught": self.effect_caught,
            "cells": [
                {
                    "label": c.label,
                    "observed": c.observed,
                    "trials": c.trials,
                    "expected": c.expected,
                }
                for c in self.cells
            ],
        }


def _finite(value: float) -> float | None:
    return value if math.isfinite(value) else None
