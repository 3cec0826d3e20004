"""The English text and the code of an error on the command line, from the package's
error table (:mod:`kavelo.errors`): the command line and :func:`kavelo.explain` say the
same thing in the same words, and the module's own texts are shown unchanged before it.
"""

from __future__ import annotations

import re

from ..errors import explain, match_error

# The module's Chinese texts: CJK ideographs and full-width punctuation.
_CHINESE = re.compile("[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]")

# Where the command line words an error its own way: the table's text names the Python
# functions, and a user of the command line typed -n.
_OWN_WORDING = {"parse.one_instruction": "-n rolls one expression, not a program of several"}


def gloss(message: str) -> str | None:
    """The English text of a Chinese error message (the first line of the table's
    English for its row; for a syntax report its position and expectation), or None for
    a message in English already or a text no row produces."""
    if _CHINESE.search(message) is None:
        return None
    found = match_error(message)
    if found is None:
        return None
    return _OWN_WORDING.get(found.code, found.english.split("\n", 1)[0])


def with_gloss(message: str) -> str:
    """The message followed by its gloss: in parentheses on the same line, or on a line
    of its own after a multi-line text."""
    text = gloss(message)
    if text is None:
        return message
    return f"{message}\n({text})" if "\n" in message else f"{message} ({text})"


def error_code(error: BaseException) -> str:
    """The stable code of the error's row in the error table (``limit.output_items``,
    ``parse.syntax``, ``dice.not_positive``, ``input.encoding``, ``input.memory``), as
    :func:`kavelo.explain` gives it; ``error`` for an exception kavelo does not raise."""
    try:
        return explain(error).code
    except ValueError:
        return "error"
