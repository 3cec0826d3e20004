"""Chat spellings of dice notation rewritten into kavelo's own language.

Players type what other dice bots taught them: ``d20`` for one twenty-sided die,
``2D6`` with a capital D, ``d%`` for a percentile die, a typographic minus or times
sign, full-width digits from an East Asian keyboard. :func:`normalize` rewrites exactly
these spellings, each of which has one meaning, and returns the text to roll; it never
changes how the engine reads its own language, and it is only used when a caller asks.

>>> normalize("d20+5")
'1d20+5'
>>> normalize("2D6 + d% # 伤害")
'2d6 + 1d100 # 伤害'
>>> normalize("4d6kh3")
'4d6kh3'

Spellings that a reader could take two ways are refused with a :class:`SpellingError`
(a ``ValueError``) that says what to write instead, rather than guessed: ``2d20kh``
(keep how many?), ``2x3`` (the letter x), ``-d4`` where no operand precedes it (a
count of -1?), ``4D6KH3`` (capital modifiers mean other modifiers in kavelo: ``K`` and
``R`` are not ``k`` and ``r``).
"""

from __future__ import annotations

import re

__all__ = ["LONGEST", "SpellingError", "normalize"]

#: Texts longer than this many characters come back unchanged, so that a hostile message
#: costs at most a few milliseconds here: it is what the default policy lets the engine
#: read (``source_bytes``), far beyond anything a player types.
LONGEST = 1 << 16


class SpellingError(ValueError):
    """A chat spelling with more than one reading. ``code`` is ``"spelling.ambiguous"``;
    ``hint`` says, in English, what to write instead."""

    code = "spelling.ambiguous"

    def __init__(self, text: str, hint: str) -> None:
        super().__init__(f"[{self.code}] {hint}")
        self.text = text
        self.hint = hint


# The number sign or its full-width form: the first of them starts the comment.
_COMMENT_SIGN = re.compile("[#\uff03]")
# Full-width forms (U+FF01 to U+FF5E) and the ideographic space, as East Asian keyboards
# type them, become their ASCII characters; the minus, times and division signs mean one
# ASCII operator wherever they stand in notation. Nothing else is folded: a superscript
# two, say, is not the digit 2 in a die.
_FOLD = str.maketrans(
    {chr(0xFF01 + i): chr(0x21 + i) for i in range(0x5E)}
    | {"\u3000": " ", "\u2212": "-", "\u00d7": "*", "\u00f7": "/"}
)

# Where a die with no count can start: the start of an instruction, after an operator
# or an opening bracket (whitespace allowed in between).
_NO_COUNT = re.compile(r"(^|[;+\-*/^(])(\s*)[dD](?=\s*(?:\d|%))")
# A minus before a die with no count where no operand precedes it: "-1d4" would be a
# count of -1 (refused when rolled), and "0-1d4" is only one of the readings.
_UNARY_MINUS = re.compile(r"(?:^|[;+\-*/^(])\s*-\s*[dD](?=\s*(?:\d|%))")
# A capital D between a count and the sides (a count starts an instruction or follows an
# operator or bracket, so the D of a modifier position is never taken for a die).
_CAPITAL_D = re.compile(r"((?:^|[;+\-*/^(])\s*\d+\s*)D(?=\s*(?:\d|%))")
# A percentile die: d% is d100.
_PERCENT = re.compile(r"(d\s*)%")
# Modifiers written with a number missing: kh, kl, dh, dl and ro take one.
_MISSING_NUMBER = re.compile(r"(?<=\d)\s*(kh|kl|dh|dl|ro)(?!\s*-?\s*\d)")
# Upper-case two-letter modifiers: in kavelo K and R alone are modifiers of their own.
_CAPITAL_MODIFIER = re.compile(r"(?<=\d)\s*(KH|KL|DH|DL|Kh|Kl|Dh|Dl|kH|kL|dH|dL|RO|Ro|rO)")
# The letter x (or X) between two numbers or a die and a number: times, or a repeat?
_LETTER_X = re.compile(r"(?<=[\d)])\s*[xX]\s*(?=[\d(])")


def normalize(text: str) -> str:
    """``text`` with the chat spellings above rewritten; the comment (``#`` onwards) is
    kept as it is. Text already in kavelo's language comes back unchanged; text that is
    not notation at all also comes back unchanged, for the engine to report.

    Texts longer than :data:`LONGEST` characters come back unchanged.

    Raises:
        SpellingError: a spelling with more than one reading (see the module's text).
        TypeError: ``text`` is not a ``str``.
    """
    if not isinstance(text, str):
        raise TypeError(f"normalize() takes a str, not {type(text).__name__}")
    if len(text) > LONGEST:
        return text
    # Full-width digits, letters and signs become ASCII up to the comment (whose first
    # sign may be a full-width one too); the comment stays as the player wrote it.
    found = _COMMENT_SIGN.search(text)
    end = len(text) if found is None else found.start()
    notation = text[:end].translate(_FOLD)
    comment = "" if found is None else "#" + text[end + 1 :]
    # Checked before the rewrites (which would hide a unary minus) and after them
    # (which can complete a spelling such as "d%x2" into one with two readings).
    _refuse_ambiguous(notation, text)
    rewritten = _CAPITAL_D.sub(r"\1d", notation)
    rewritten = _NO_COUNT.sub(lambda m: f"{m.group(1)}{m.group(2)}1d", rewritten)
    rewritten = _PERCENT.sub(r"\g<1>100", rewritten)
    if rewritten != notation:
        _refuse_ambiguous(rewritten, text)
    return rewritten + comment


_AMBIGUOUS = (
    (_MISSING_NUMBER, "write how many: kh1, kl1, dh1, dl1, ro1"),
    (_CAPITAL_MODIFIER, "modifiers are lower case here: kh3, not KH3"),
    (_LETTER_X, "write * to multiply"),
    (_UNARY_MINUS, "a die cannot be negative: write 0-1d4 to subtract one"),
)


def _refuse_ambiguous(notation: str, text: str) -> None:
    for pattern, hint in _AMBIGUOUS:
        if pattern.search(notation):
            raise SpellingError(text, hint)
