"""The chat-ready forms of a :class:`kavelo.Trace`.

The expression is written as given, spaced around its operators, with each dice term
followed by its faces in draw order in parentheses, then ``=`` and the total::

    2d20kh1 (~~4~~, **20**) + 5 = `25`          markdown
    2d20kh1 (~4~, 20) + 5 = 25                  text
    2d20kh1 (4, 20) + 5 = 25                    ansi (4 dim and struck, 20 and 25 bold)

In every form:

- each value of the term is shown once, in the order of its first face: a face, or
  the faces of one reroll-and-add sum joined by ``+`` (``2+5``, ``1+1+4`` for a die
  that added twice), however many ``a`` modifiers made it;
- a value that does not count (dropped, rerolled, removed by unique, not matched by
  count, or gone into a sum or count that was itself removed) is struck: ``~~4~~`` in
  Markdown, ``~4~`` in text, dim and struck in ANSI; a sum is struck as a whole
  (``~~2+1~~``);
- each count follows the values it looked at, as ``→`` and the number it gave
  (``6, ~2~, 6 → 2``): the values before it that are not struck are the ones it
  counted, and it is struck in turn when a later modifier removed it; a later count
  follows it (``→ 0 → 1``);
- so what is not struck after the last ``→`` (or in the whole list, without a count)
  is exactly the term's values;
- a face that made its die explode is followed by ``!`` (``**6**!, 2``);
- Markdown and ANSI show a counting face equal to the die's maximum or to 1 in bold
  (a critical), the total in backticks (Markdown) or bold (ANSI).

A comment is put in front, followed by ``: ``. A term that drew no face at all (all of
its dice refused) shows ``()``.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from itertools import pairwise
from typing import Literal, Protocol

from ..results import DiceRollResult
from ..safe_text import escape_markdown, escape_text
from .records import DerivedValue, Face, Term


class Shown(Protocol):
    """What the forms read of a trace (kavelo.Trace has it)."""

    @property
    def source(self) -> str: ...
    @property
    def total(self) -> int: ...

    result: DiceRollResult
    terms: tuple[Term, ...]


Style = Literal["markdown", "text", "ansi"]

_BOLD = "\x1b[1m"
_REMOVED = "\x1b[2;9m"
_RESET = "\x1b[0m"

_REMOVED_FATES = frozenset({"dropped", "rerolled", "duplicate", "uncounted"})
_COUNT_ARROW = " \N{RIGHTWARDS ARROW} "

# A dice term as the parser accepts it: count, d, sides, then modifiers, whitespace
# allowed between the parts and before a modifier's number.
_NUMBER = r"\s*-?\s*\d+"
_MODIFIER = rf"(?:!|e|u|s|(?:ro|kh|kl|dh|dl|r|R|a|K|k|c){_NUMBER})"
_TERM = re.compile(rf"\d+\s*d\s*\d+(?:\s*{_MODIFIER})*")
_UNARY_TERM = re.compile(rf"-\d+\s*d\s*\d+(?:\s*{_MODIFIER})*")
_INTEGER = re.compile(r"-?\d+")
_STRUCK: dict[Style, str] = {"markdown": "~~{}~~", "text": "~{}~", "ansi": _REMOVED + "{}" + _RESET}
_CRITICAL: dict[Style, str] = {"markdown": "**{}**", "text": "{}", "ansi": _BOLD + "{}" + _RESET}

# How a face is shown: struck alone, counting alone (bold when critical), or as a part
# of a struck sum (the sum is struck as a whole).
_STRUCK_FACE, _COUNTING_FACE, _PART_OF_STRUCK = 0, 1, 2


class _FaceTexts:
    """The text of each face as shown, made once per value, way and "!"."""

    def __init__(self, sides: int, style: Style) -> None:
        self._sides = sides
        self._struck = _STRUCK[style].format
        self._critical = _CRITICAL[style].format
        self.made: dict[int, str] = {}

    def make(self, key: int) -> str:
        value, way, explodes = key >> 3, (key >> 1) & 3, key & 1
        shown = str(value)
        if way == _STRUCK_FACE:
            shown = self._struck(shown)
        elif way == _COUNTING_FACE and (value == self._sides or value == 1):
            shown = self._critical(shown)
        if explodes:
            shown += "!"
        self.made[key] = shown
        return shown

    def __call__(self, value: int, way: int, explodes: bool) -> str:
        key = (value << 3) | (way << 1) | explodes
        return self.made.get(key) or self.make(key)


def _explosions(faces: tuple[Face, ...]) -> list[bool]:
    """For each face, whether it made its die explode: the die's next face is an
    explosion."""
    return [
        following.origin == "explode" and following.die == face.die
        for face, following in pairwise(faces)
    ] + [False]


def _sum_roots(derived: tuple[DerivedValue, ...]) -> list[int]:
    """For each derived value, the outermost sum it belongs to: itself, or the root of
    the sum it was added into. A value goes only into one made after it, so one pass
    backwards settles every chain."""
    roots = list(range(len(derived)))
    for i in range(len(derived) - 1, -1, -1):
        into = derived[i].into
        if into is not None and derived[into].kind == "sum" and derived[i].kind == "sum":
            roots[i] = roots[into]
    return roots


def term_faces(term: Term, style: Style) -> str:
    """The term's values as they stand inside the parentheses: its faces in draw order,
    those of one reroll-and-add sum together, then each count."""
    faces = term.faces
    derived = term.derived
    text_of = _FaceTexts(term.sides, style)
    explodes = _explosions(faces)
    removed = _REMOVED_FATES
    if not derived:
        # The common case, inlined: most faces of a large term repeat a text made already.
        made, make = text_of.made, text_of.make
        texts = []
        for face, bang in zip(faces, explodes, strict=True):
            way = _STRUCK_FACE if face.fate in removed else _COUNTING_FACE
            key = (face.value << 3) | (way << 1) | bang
            texts.append(made.get(key) or make(key))
        return ", ".join(texts)
    roots = _sum_roots(derived)
    # Each shown value: a face alone (root None), or a root sum with its faces.
    items: list[tuple[int | None, list[int]]] = []
    slot_of_sum: dict[int, int] = {}
    for i, face in enumerate(faces):
        into = face.into
        if into is None or derived[into].kind != "sum":
            items.append((None, [i]))
            continue
        sum_root = roots[into]
        slot = slot_of_sum.get(sum_root)
        if slot is None:
            slot_of_sum[sum_root] = len(items)
            items.append((sum_root, [i]))
        else:
            items[slot][1].append(i)
    struck = _STRUCK[style].format
    pieces: list[str] = []
    for root, members in items:
        if root is None:
            face = faces[members[0]]
            way = _STRUCK_FACE if face.fate in removed else _COUNTING_FACE
            pieces.append(text_of(face.value, way, explodes[members[0]]))
            continue
        counts = derived[root].fate not in removed
        way = _COUNTING_FACE if counts else _PART_OF_STRUCK
        shown = "+".join(text_of(faces[j].value, way, explodes[j]) for j in members)
        pieces.append(shown if counts else struck(shown))
    shown = ", ".join(pieces)
    for value in derived:
        if value.kind == "count":
            number = str(value.value)
            shown += _COUNT_ARROW + (struck(number) if value.fate in removed else number)
    return shown


def _term(term: Term, style: Style) -> str:
    return f"{term.notation} ({term_faces(term, style)})"


def _layout(trace: Shown, style: Style) -> str | None:
    """The expression as given, each dice term followed by its faces; None when the
    text cannot be matched with the terms (then the rebuilt expression is used)."""
    source = trace.source.split("#", 1)[0]
    terms = trace.terms
    out: list[str] = []
    used = 0
    operand_before = False  # a number, term or ")" just ended: "-" is an operator
    i = 0
    while i < len(source):
        char = source[i]
        if char.isspace():
            i += 1
            continue
        if char != "-" or not operand_before:
            pattern = _UNARY_TERM if char == "-" else _TERM
            term_match = pattern.match(source, i)
            if term_match is not None:
                if used >= len(terms):
                    return None
                out.append(_term(terms[used], style))
                used += 1
                i = term_match.end()
                operand_before = True
                continue
            number = _INTEGER.match(source, i)
            if number is not None:
                out.append(number.group())
                i = number.end()
                operand_before = True
                continue
        if char in "+-*/^":
            out.append(f" {char} ")
            operand_before = False
        elif char == "(":
            out.append("(")
            operand_before = False
        elif char == ")":
            out.append(")")
            operand_before = True
        else:
            return None
        i += 1
    if used != len(terms):
        return None
    return _grouped(out)


_PRECEDENCE = {" + ": 1, " - ": 1, " * ": 2, " / ": 2, " ^ ": 3}


class _Level:
    """One parenthesis level of the laid-out expression, as the engine groups it."""

    __slots__ = ("pieces", "top")

    def __init__(self) -> None:
        self.pieces: list[str] = []
        self.top = 0  # the precedence of the level's last operator, 0 before any


def _grouped(tokens: list[str]) -> str:
    """The laid-out tokens with the grouping the engine used made visible: it evaluates
    left to right, so ``1d20 + 2 * 3`` is ``(1d20 + 2) * 3``. Where a reader would bind
    an operator tighter than the ones before it (``*`` after ``+``, ``^`` after ``*`` or
    after another ``^``), what came before is put in parentheses; elsewhere the text
    stays as typed."""
    levels = [_Level()]
    for token in tokens:
        level = levels[-1]
        if token == "(":
            levels.append(_Level())
        elif token == ")" and len(levels) > 1:
            inner = levels.pop()
            levels[-1].pieces.append("(" + "".join(inner.pieces) + ")")
        elif token in _PRECEDENCE:
            rank = _PRECEDENCE[token]
            if level.top and (rank > level.top or (rank == 3 and level.top == 3)):
                level.pieces = ["(", *level.pieces, ")"]
            level.top = rank
            level.pieces.append(token)
        else:
            level.pieces.append(token)
    while len(levels) > 1:  # unbalanced: the text as laid out
        inner = levels.pop()
        levels[-1].pieces.append("(" + "".join(inner.pieces))
    return "".join(levels[0].pieces)


def _rebuilt(trace: Shown, style: Style) -> str:
    """The result's rebuilt expression with each ``NdM`` replaced by its term."""
    terms = iter(trace.terms)

    def replace(match: re.Match[str]) -> str:
        term = next(terms, None)
        return match.group() if term is None else _term(term, style)

    return re.sub(r"-?\d+d\d+", replace, trace.result["expression"])


def comment_prefix(comment: str, style: Style) -> str:
    if not comment:
        return ""
    if style == "markdown":
        return escape_markdown(escape_text(comment)) + ": "
    return escape_text(comment) + ": "


TOTAL: dict[Style, Callable[[int], str]] = {
    "markdown": lambda total: f"`{total}`",
    "text": str,
    "ansi": lambda total: f"{_BOLD}{total}{_RESET}",
}


def format_trace(trace: Shown, style: Style, *, comment: bool = True) -> str:
    """The trace in ``style``: ``"markdown"``, ``"text"`` or ``"ansi"``; without its
    comment when ``comment`` is false."""
    body = _layout(trace, style)
    if body is None:
        body = _rebuilt(trace, style)
    shown = comment_prefix(trace.result["comment"], style) if comment else ""
    return f"{shown}{body} = {TOTAL[style](trace.total)}"
