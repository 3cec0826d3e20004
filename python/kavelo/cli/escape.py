"""Showing text that came from the input (a comment, an echoed source line, a limit
name) without letting it act on a terminal or fool its reader.

Texts rolled by kavelo often come from chat messages. Shown raw, an escape sequence in
one could retitle or clear the terminal, write the clipboard (OSC 52), or a carriage
return could draw a forged result line over the real one, and a bidirectional control
could reorder what the reader sees. Every C0 and C1 control, DEL, every bidirectional
control and every lone surrogate (an undecodable byte of an argument) is therefore
shown as an escape instead: ``\\t``, ``\\n``, ``\\r``, ``\\xNN`` or ``\\uNNNN``.
"""

from __future__ import annotations

import re

# DEL and C1; ALM, LRM, RLM, the embeddings and overrides, the isolates; surrogates.
_UNSAFE_ABOVE_C0 = "\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff"
_UNSAFE_CHAR = re.compile(f"[\x00-\x1f{_UNSAFE_ABOVE_C0}]")
_UNSAFE_EXCEPT_NEWLINE = re.compile(f"[\x00-\x09\x0b-\x1f{_UNSAFE_ABOVE_C0}]")
_NAMED = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape_char(match: re.Match[str]) -> str:
    char = match.group()
    named = _NAMED.get(char)
    if named is not None:
        return named
    code = ord(char)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def escape_text(text: str) -> str:
    """``text`` with every unsafe character escaped, line feeds included."""
    return _UNSAFE_CHAR.sub(_escape_char, text)


def escape_message(text: str) -> str:
    """An error message for the terminal: unsafe characters escaped except the line
    feeds, which structure the multi-line syntax reports (the source line they echo
    never holds one: a report shows a single line of the text)."""
    return _UNSAFE_EXCEPT_NEWLINE.sub(_escape_char, text)


def _json_escape(match: re.Match[str]) -> str:
    return f"\\u{ord(match.group()):04x}"


def escape_json(document: str) -> str:
    """A JSON text from ``json.dumps(..., ensure_ascii=False)`` with DEL, C1, the
    bidirectional controls and lone surrogates written as ``\\uNNNN`` escapes too.
    ``json.dumps`` already escapes C0; outside strings a JSON text is ASCII, so every
    character replaced lies inside a string and the value read back is unchanged."""
    return _UNSAFE_CHAR.sub(_json_escape, document)
