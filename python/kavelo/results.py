"""The dictionaries that kavelo's functions return, as ``TypedDict`` classes usable at
run time (``from kavelo import DiceRollResult``) and by type checkers.

They describe plain ``dict`` objects: the functions return ordinary dictionaries with
exactly these keys, in this order.
"""

from __future__ import annotations

from typing import TypedDict

__all__ = ["DiceRollResult", "ProgramResult", "ProgramRunResult", "ModifierRollResult"]


class DiceRollResult(TypedDict):
    """The result of one expression.

    Keys, always in this order:

    - ``expression``: the expression rebuilt as text, binary operations fully
      parenthesised, dice written as ``count d sides`` without modifiers
      (``"(4d6) + (2)"``).
    - ``total``: the value of the expression.
    - ``rolls``: the kept values of every dice term, one inner list per group, in
      evaluation order. A group holds a die and its explosions until a keep, drop,
      unique, sort or count modifier turns every value into a group of its own.
    - ``details``: a readable account, e.g. ``"4d6kh3 = 14 (详情: [[6], [5], [3]])"`` for
      a dice term or ``"14 + 2 = 16"`` for an operation.
    - ``comment``: the text after ``#`` (trimmed), or ``""`` when there is none.
    """

    expression: str
    total: int
    rolls: list[list[int]]
    details: str
    comment: str


class ProgramResult(TypedDict):
    """The result of a program: one :class:`DiceRollResult` per instruction, in order,
    and the program's trailing comment (``""`` when there is none)."""

    results: list[DiceRollResult]
    comment: str


#: The name the type information used first for :class:`ProgramResult`.
ProgramRunResult = ProgramResult


class ModifierRollResult(TypedDict):
    """The result of :meth:`Kavelo.roll_with_modifiers`: ``total``, ``rolls`` and
    ``details`` as in :class:`DiceRollResult`."""

    total: int
    rolls: list[list[int]]
    details: str
