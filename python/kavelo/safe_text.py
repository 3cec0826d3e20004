"""Text from a player made safe for where it is shown: a terminal, a chat message in
Markdown, an XML document. The text still reads as typed; it only does nothing else."""

from __future__ import annotations

import html
import re
import unicodedata

_MARKDOWN_SPECIAL = re.compile(r"([\\`*_~\[\]()#<>|!])")
# A list item's marker where the message starts (``- x``, ``+ x``, ``1. x``, ``1) x``).
_LIST_MARKER = re.compile(r"^(\s*)(?:([-+])|(\d+)([.)]))(?=\s|$)")
# A mass mention, and where a chat client would turn text into a link with a preview.
_MASS_MENTION = re.compile(r"@(everyone|here)", re.IGNORECASE)
# "www" starts a link where no letter or digit comes before it (after "_" too, which
# Markdown's autolinks accept as a delimiter).
_LINK_START = re.compile(r"(://|(?<![^\W_])www)(?=\S)", re.IGNORECASE)
# Our own mark inside a mention or a link: the text reads the same, the chat client
# sees neither. A player's own invisible characters are shown as escapes (below), so
# every zero-width space in the Markdown form is one of these.
_UNLINK = "\u200b"
# Characters that change how a line reads without being seen: every control (C0, DEL,
# C1), every format character (zero-width spaces and joiners, bidirectional controls,
# the soft hyphen, tags), line and paragraph separators, lone surrogates, and the Hangul
# fillers that render as blanks. They are shown as ``\u200b``-style escapes.
_INVISIBLE_CATEGORIES = frozenset({"Cc", "Cf", "Cs", "Zl", "Zp"})
_FILLERS = frozenset("\u115f\u1160\u3164\uffa0")


def _invisible(char: str) -> bool:
    return unicodedata.category(char) in _INVISIBLE_CATEGORIES or char in _FILLERS


def escape_text(text: str) -> str:
    """``text`` with every control, format and separator character shown as an escape,
    so that a comment from a chat can neither act on a terminal, nor reorder or hide
    part of the line, nor start a new one."""
    if text.isascii() and text.isprintable():
        return text
    return "".join(_escape(c) if _invisible(c) else c for c in text)


def _escape(char: str) -> str:
    shown = repr(char)[1:-1]
    if shown != char:
        return shown
    # Printable to Python but blank on screen (the fillers).
    return f"\\u{ord(char):04x}"


def escape_markdown(text: str) -> str:
    """``text`` (already through :func:`escape_text`) for the start of a chat message:
    Markdown's special characters and a leading list marker escaped with a backslash,
    ``@everyone``/``@here`` and links broken by a zero-width space after ``@``, ``://``
    and ``www``, so the message reads as the text and does nothing else."""
    shown = _MARKDOWN_SPECIAL.sub(r"\\\1", text)
    shown = _LIST_MARKER.sub(
        lambda m: f"{m[1]}\\{m[2]}" if m[2] else f"{m[1]}{m[3]}\\{m[4]}", shown
    )
    shown = _MASS_MENTION.sub(lambda m: "@" + _UNLINK + m[1], shown)
    return _LINK_START.sub(lambda m: m[1] + _UNLINK, shown)


# What XML 1.0 allows in a document, even as a character reference.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def xml_text(text: str) -> str:
    """``text`` for the content or an attribute of an XML document: controls, format and
    separator characters shown as escapes (as in the traces), anything else XML forbids
    (U+FFFE, U+FFFF) replaced by U+FFFD, and the markup characters escaped. The document
    parses whatever the text."""
    return html.escape(_NOT_XML.sub("\ufffd", escape_text(text)))
