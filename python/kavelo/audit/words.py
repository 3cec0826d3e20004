"""Numbers as a player reads them: shares in percent, counts with thousands separators,
p-values to a few significant digits."""

from __future__ import annotations

import math

from .stats import TINY


def percent(share: float) -> str:
    """``0.05`` as ``5%``, ``0.0912`` as ``9.1%``, ``0.00463`` as ``0.46%``: one decimal
    from 1% up (none when it is 0), two significant digits below."""
    value = 100.0 * share
    if value == 0.0:
        return "0%"
    if abs(value) >= 1.0:
        text = f"{value:.1f}"
        return (text[:-2] if text.endswith(".0") else text) + "%"
    digits = max(1, 1 - math.floor(math.log10(abs(value))))
    return f"{value:.{digits}f}%"


def count(n: int) -> str:
    """``2000`` as ``2,000``."""
    return f"{n:,}"


def p_value(p: float) -> str:
    """A p-value to three significant digits; below ``TINY`` as ``< 1e-300``."""
    if p < TINY:
        return "< 1e-300"
    if p >= 0.001:
        return f"{p:.3f}".rstrip("0").rstrip(".") if p < 1.0 else "1"
    return f"{p:.3g}"


def percents(share: float, expected: float) -> tuple[str, str]:
    """Two shares as :func:`percent` shows them, with more digits while they would read
    the same and differ (``5.04%`` against ``5%``, not ``5%`` against ``5%``)."""
    shown, wanted = percent(share), percent(expected)
    digits = 2
    while shown == wanted and share != expected and digits <= 6:
        shown, wanted = f"{100 * share:.{digits}f}%", f"{100 * expected:.{digits}f}%"
        digits += 1
    return shown, wanted
