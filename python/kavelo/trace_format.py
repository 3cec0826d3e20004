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
from typing import TYPE_CHECKING, Literal

if TYPE_CHECKING:
    from .traces import DerivedValue, Face, Term, Trace

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
_MARKDOWN_SPECIAL = re.compile(r"([\\`*_~\[\]()#<>|!])")
# Controls, DEL, C1, bidirectional controls and lone surrogates in a comment, shown as
# escapes so that a comment from a chat cannot act on a terminal or reorder the line.
_UNSAFE = re.compile(
    "[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff]"
)


def escape_text(text: str) -> str:
    """``text`` with every control character shown as an escape."""
    return _UNSAFE.sub(lambda m: repr(m.group())[1:-1], text)


def _struck(shown: str, style: Style) -> str:
    if style == "markdown":
        return f"~~{shown}~~"
    if style == "text":
        return f"~{shown}~"
    return f"{_REMOVED}{shown}{_RESET}"


def _face(face: Face, sides: int, style: Style, counts: bool) -> str:
    shown = str(face.value)
    if not counts:
        return _struck(shown, style)
    if style != "text" and (face.value == sides or face.value == 1):
        return f"**{shown}**" if style == "markdown" else f"{_BOLD}{shown}{_RESET}"
    return shown


def _explodes(faces: tuple[Face, ...], i: int) -> bool:
    """Whether face ``i`` made its die explode: the die's next face is an explosion."""
    following = faces[i + 1] if i + 1 < len(faces) else None
    return following is not None and following.die == faces[i].die and following.origin == "explode"


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
    sides = term.sides
    if not derived:
        return ", ".join(
            _face(face, sides, style, face.fate not in _REMOVED_FATES)
            + ("!" if _explodes(faces, i) else "")
            for i, face in enumerate(faces)
        )
    roots = _sum_roots(derived)
    # Each shown value: a face index alone, or the root sum with its faces' indices.
    items: list[tuple[int | None, list[int]]] = []
    slot_of_sum: dict[int, int] = {}
    for i, face in enumerate(faces):
        into = face.into
        if into is None or derived[into].kind != "sum":
            items.append((None, [i]))
            continue
        root = roots[into]
        slot = slot_of_sum.get(root)
        if slot is None:
            slot_of_sum[root] = len(items)
            items.append((root, [i]))
        else:
            items[slot][1].append(i)
    pieces: list[str] = []
    for root, members in items:
        if root is None:
            face = faces[members[0]]
            counts = face.fate not in _REMOVED_FATES
            explodes = "!" if _explodes(faces, members[0]) else ""
            pieces.append(_face(face, sides, style, counts) + explodes)
            continue
        counts = derived[root].fate not in _REMOVED_FATES
        shown = "+".join(
            _face(faces[j], sides, style if counts else "text", True)
            + ("!" if _explodes(faces, j) else "")
            for j in members
        )
        pieces.append(shown if counts else _struck(shown, style))
    shown = ", ".join(pieces)
    for value in derived:
        if value.kind == "count":
            number = str(value.value)
            if value.fate in _REMOVED_FATES:
                number = _struck(number, style)
            shown += _COUNT_ARROW + number
    return shown


def _term(term: Term, style: Style) -> str:
    return f"{term.notation} ({term_faces(term, style)})"


def _layout(trace: Trace, style: Style) -> str | None:
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
    return "".join(out)


def _rebuilt(trace: Trace, style: Style) -> str:
    """The result's rebuilt expression with each ``NdM`` replaced by its term."""
    terms = iter(trace.terms)

    def replace(match: re.Match[str]) -> str:
        term = next(terms, None)
        return match.group() if term is None else _term(term, style)

    return re.sub(r"-?\d+d\d+", replace, trace.result["expression"])


def _comment(comment: str, style: Style) -> str:
    if not comment:
        return ""
    if style == "markdown":
        return _MARKDOWN_SPECIAL.sub(r"\\\1", escape_text(comment)) + ": "
    return escape_text(comment) + ": "


_TOTAL: dict[Style, Callable[[int], str]] = {
    "markdown": lambda total: f"`{total}`",
    "text": str,
    "ansi": lambda total: f"{_BOLD}{total}{_RESET}",
}


def format_trace(trace: Trace, style: Style, *, comment: bool = True) -> str:
    """The trace in ``style``: ``"markdown"``, ``"text"`` or ``"ansi"``; without its
    comment when ``comment`` is false."""
    body = _layout(trace, style)
    if body is None:
        body = _rebuilt(trace, style)
    shown = _comment(trace.result["comment"], style) if comment else ""
    return f"{shown}{body} = {_TOTAL[style](trace.total)}"
