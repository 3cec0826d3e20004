"""Exact odds: :func:`odds` and the :class:`Odds` of an expression (in :mod:`.odds`),
and their tables, comparisons, JSON and charts (:mod:`.display`)."""

from .odds import Odds, odds

__all__ = ["Odds", "odds"]
