"""An exact reference for the odds: every draw sequence of every die, in fractions.

Written from the roller's rules, independently of the native evaluator: each die is
rolled draw by draw (first face, explosions while the last face shows the sides,
rerolls in written order), the dice's groups are joined in die order, the pool
modifiers act on that list exactly as the roller's do (sorting, first occurrences,
counting), and expressions are evaluated left to right with checked 64-bit
arithmetic. Draw sequences that lead to the same group are merged as they are made,
which keeps the enumeration small without changing any probability.

Explosions and reroll-until loops are followed until the mass still going on is below
``cut``; that mass is reported, so a comparison can allow for it.
"""

from __future__ import annotations

from collections.abc import Sequence
from fractions import Fraction
from typing import Any

I64_MIN = -(2**63)
I64_MAX = 2**63 - 1

# A term: ("dice", count, sides, ((kind, n), ...)); a number: ("num", v);
# an operation: ("op", symbol, left, right); parentheses: ("paren", inner).
Node = tuple[Any, ...]

MODIFIER_TEXT = {
    "explode": "!",
    "explode_alias": "e",
    "explode_keep_high": "K",
    "reroll": "r",
    "reroll_once": "ro",
    "reroll_until": "R",
    "reroll_add": "a",
    "keep_alias": "k",
    "keep_high": "kh",
    "keep_low": "kl",
    "drop_high": "dh",
    "drop_low": "dl",
    "unique": "u",
    "sort": "s",
    "count": "c",
}
FLAGS = {"explode", "explode_alias", "unique", "sort"}
PER_DIE = {"explode", "explode_alias", "reroll", "reroll_once", "reroll_until", "reroll_add"}

OVERFLOW = "arithmetic.overflow"
DIVIDE_BY_ZERO = "arithmetic.divide_by_zero"
INVALID_EXPONENT = "arithmetic.invalid_exponent"
INVALID_DICE = "无效的骰子表达式: 骰子数量和面数必须大于0"


class EndlessRoll(Exception):
    """A die that goes on without end with a probability that never shrinks."""


def text_of(node: Node) -> str:
    """The expression as dice text."""
    kind = node[0]
    if kind == "num":
        return str(node[1])
    if kind == "dice":
        _, count, sides, mods = node
        out = f"{count}d{sides}"
        for name, n in mods:
            out += MODIFIER_TEXT[name] + ("" if name in FLAGS else str(n))
        return out
    if kind == "paren":
        return "(" + text_of(node[1]) + ")"
    _, symbol, left, right = node
    right_text = text_of(right)
    if right[0] == "op":
        right_text = "(" + right_text + ")"
    return f"{text_of(left)}{symbol}{right_text}"


class Dist:
    """Outcomes (or, for a die, groups) to exact probabilities, with failures and the
    mass cut off."""

    def __init__(self) -> None:
        # Totals, or a die's groups (tuples of faces), to their probabilities.
        self.pmf: dict[Any, Fraction] = {}
        self.failures: dict[str, Fraction] = {}
        self.cut = Fraction(0)

    def add(self, key: Any, p: Fraction) -> None:
        self.pmf[key] = self.pmf.get(key, Fraction(0)) + p

    def fail(self, code: str, p: Fraction) -> None:
        self.failures[code] = self.failures.get(code, Fraction(0)) + p

    def mass(self) -> Fraction:
        return sum(self.pmf.values(), Fraction(0))


def die_groups(sides: int, mods: Sequence[tuple[str, int]], cut: Fraction) -> Dist:
    """Every group one die can end with, by drawing face after face."""
    d = Dist()
    face = Fraction(1, sides)
    explode = any(name in ("explode", "explode_alias") for name, _ in mods)
    if explode and sides == 1:
        raise EndlessRoll("a one-sided die explodes on every face")
    # Explosions: draw while the last face shows the sides.
    pending: dict[tuple[int, ...], Fraction] = {(): Fraction(1)}
    while pending:
        nxt: dict[tuple[int, ...], Fraction] = {}
        for group, p in pending.items():
            for f in range(1, sides + 1):
                g = group + (f,)
                q = p * face
                if explode and f == sides:
                    if q < cut:
                        d.cut += q
                    else:
                        nxt[g] = nxt.get(g, Fraction(0)) + q
                else:
                    d.add(g, q)
        pending = nxt
    # Rerolls, in written order.
    for name, n in mods:
        if name not in ("reroll", "reroll_once", "reroll_until", "reroll_add"):
            continue
        out = Dist()
        out.cut = d.cut
        for group, p in d.pmf.items():
            if name == "reroll":
                if any(v <= n for v in group):
                    for f in range(1, sides + 1):
                        out.add((f,), p * face)
                else:
                    out.add(group, p)
            elif name == "reroll_once":
                at = next((i for i, v in enumerate(group) if v <= n), None)
                if at is None:
                    out.add(group, p)
                else:
                    for f in range(1, sides + 1):
                        out.add(group[:at] + (f,) + group[at + 1 :], p * face)
            elif name == "reroll_add":
                if any(v <= n for v in group):
                    s = sum(group)
                    for f in range(1, sides + 1):
                        out.add((s + f,), p * face)
                else:
                    out.add(group, p)
            else:  # reroll_until: draw until the face is above n
                if group[-1] > n:
                    out.add(group, p)
                    continue
                if n >= sides:
                    raise EndlessRoll("reroll-until matches every face")
                left = p
                while left >= cut:
                    for f in range(1, sides + 1):
                        if f > n:
                            out.add((f,), left * face)
                    left = left * Fraction(min(n, sides), sides)
                    if left == 0:
                        break
                out.cut += left
        d = out
    return d


def apply_pool(values: list[int], mods: Sequence[tuple[str, int]]) -> list[int]:
    """The pool phase as the roller runs it on the list of values."""

    def count(n: int) -> int:
        # A negative n counts as more than any pool.
        return n if n >= 0 else 2**64

    steps = [m for m in mods if m[0] == "keep_alias"] + [m for m in mods if m[0] != "keep_alias"]
    if not mods:
        return values
    for name, n in steps:
        if name in PER_DIE:
            continue
        if name in ("keep_alias", "keep_high", "explode_keep_high"):
            values = sorted(values, reverse=True)[: count(n)]
        elif name == "keep_low":
            values = sorted(values)[: count(n)]
        elif name == "drop_high":
            values = sorted(values, reverse=True)[count(n) :]
        elif name == "drop_low":
            values = sorted(values)[count(n) :]
        elif name == "unique":
            seen = set()
            kept = []
            for v in values:
                if v not in seen:
                    seen.add(v)
                    kept.append(v)
            values = kept
        elif name == "sort":
            values = sorted(values)
        elif name == "count":
            values = [sum(1 for v in values if v == n)]
    return values


def dice_odds(count: int, sides: int, mods: Sequence[tuple[str, int]], cut: Fraction) -> Dist:
    out = Dist()
    if count < 1 or sides < 1:
        out.fail(INVALID_DICE, Fraction(1))
        return out
    one = die_groups(sides, mods, cut)
    # The dice one after another: ordered lists of groups.
    rolls: dict[tuple[tuple[int, ...], ...], Fraction] = {(): Fraction(1)}
    for _ in range(count):
        nxt: dict[tuple[tuple[int, ...], ...], Fraction] = {}
        for groups, p in rolls.items():
            for group, q in one.pmf.items():
                key = groups + (group,)
                nxt[key] = nxt.get(key, Fraction(0)) + p * q
        rolls = nxt
    finished = sum(one.pmf.values(), Fraction(0))
    out.cut = 1 - finished**count
    for groups, p in rolls.items():
        values = [v for g in groups for v in g]
        total = sum(apply_pool(values, mods))
        out.add(total, p)
    return out


def _checked(value: int) -> int | str:
    return value if I64_MIN <= value <= I64_MAX else OVERFLOW


def operate(symbol: str, a: int, b: int) -> int | str:
    """One checked operation: the value, or the code of its failure."""
    if symbol == "+":
        return _checked(a + b)
    if symbol == "-":
        return _checked(a - b)
    if symbol == "*":
        return _checked(a * b)
    if symbol == "/":
        if b == 0:
            return DIVIDE_BY_ZERO
        q = abs(a) // abs(b)
        return _checked(q if (a < 0) == (b < 0) else -q)
    if b < 0 or b > 2**32 - 1:
        return INVALID_EXPONENT
    if b == 0 or a in (0, 1):
        return 1 if b == 0 else a
    if a == -1:
        return 1 if b % 2 == 0 else -1
    if b > 64:
        return OVERFLOW
    return _checked(a**b)


def odds(node: Node, cut: Fraction = Fraction(1, 10**14)) -> Dist:
    """The exact distribution of an expression."""
    kind = node[0]
    if kind == "num":
        d = Dist()
        d.add(node[1], Fraction(1))
        return d
    if kind == "dice":
        return dice_odds(node[1], node[2], node[3], cut)
    if kind == "paren":
        return odds(node[1], cut)
    _, symbol, left_node, right_node = node
    left = odds(left_node, cut)
    out = Dist()
    out.failures = dict(left.failures)
    out.cut = left.cut
    if not left.pmf:
        return out
    right = odds(right_node, cut)
    left_mass = left.mass()
    for code, p in right.failures.items():
        out.fail(code, left_mass * p)
    out.cut += left_mass * right.cut
    for a, p in left.pmf.items():
        for b, q in right.pmf.items():
            r = operate(symbol, a, b)
            if isinstance(r, str):
                out.fail(r, p * q)
            else:
                out.add(r, p * q)
    return out
