"""Text from a log, made safe for where a report shows it.

An expression in a log comes from a player or a bot, and the report ends up on a
terminal, in a chat message and in an SVG file. In every form, controls, format
characters (bidirectional controls, zero-width characters), line separators and lone
surrogates are shown as escapes (``\\x1b``, ``\\u202e``) so that they cannot act on a
terminal or reorder a line; Markdown's special characters get a backslash and mass
mentions and links are broken; and an SVG holds no character that XML 1.0 forbids.
"""

from __future__ import annotations

import re

from ..safe_text import escape_markdown, escape_text

# Every character XML 1.0 allows in a document, even as a character reference: tab,
# line feed, carriage return and the rest of the Basic Multilingual Plane from U+0020
# up, but for the surrogates, U+FFFE and U+FFFF; and the planes above it.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")
_MARKUP = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;"}
_MARKUP_CHARS = re.compile("[&<>\"']")


def plain_text(text: str) -> str:
    """``text`` with every control, format and separator character and every lone
    surrogate shown as an escape."""
    return escape_text(text)


def markdown_text(text: str) -> str:
    """``text`` for a Markdown chat message: escaped as :func:`plain_text`, then every
    character that Markdown would read as markup preceded by a backslash, and
    ``@everyone``, ``@here`` and links broken."""
    return escape_markdown(escape_text(text))


def _not_xml(match: re.Match[str]) -> str:
    return f"\\u{ord(match.group()):04x}"


def xml_text(text: str) -> str:
    """``text`` for the character data or an attribute value of an XML (SVG) document:
    escaped as :func:`plain_text`; every character XML 1.0 still forbids (U+FFFE,
    U+FFFF) shown as an escape too; ``&``, ``<``, ``>``, ``"`` and ``'`` as entities.
    The document parses whatever the text."""
    shown = _NOT_XML.sub(_not_xml, escape_text(text))
    return _MARKUP_CHARS.sub(lambda m: _MARKUP[m.group()], shown)
