"""Exact odds: :func:`odds` and the :class:`Odds` of an expression (in :mod:`.odds`),
and their tables, comparisons, JSON and charts (:mod:`.display`)."""

from .display import svg_chart
from .odds import Odds, odds


def _repr_svg_(self: Odds) -> str:
    """How a notebook shows odds: their chart."""
    return svg_chart([self])


# Attached here rather than in odds.py, which the charts import: the odds module stays
# free of the display it does not need.
setattr(Odds, "_repr_svg_", _repr_svg_)  # noqa: B010

__all__ = ["Odds", "odds"]
