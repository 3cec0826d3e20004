"""A chat-bot reply built on kavelo: what a player typed in, one message out.

    $ python examples/bot.py "d20+5 # to hit"
    to hit: 1d20 (14) + 5 = `19`
    $ python examples/bot.py "d20+5; 2d6 # attack"
    attack: 1d20 (3) + 5 = `8`; 2d6 (4, 6) = `10`

Any chat library can call ``reply``: it never raises for anything a player types, and
its answer always fits in one Discord message.
"""

from __future__ import annotations

import sys

import kavelo
from kavelo.safe_text import escape_markdown, escape_text

#: Discord's limit for one message.
MESSAGE_LENGTH = 2000


def reply(typed: str) -> str:
    """The roll of ``typed`` (one expression, or several separated by ``;``) in
    Markdown, or one English line saying what is wrong."""
    try:
        notation = kavelo.normalize(typed)
        return kavelo.trace_program(notation).markdown(max_length=MESSAGE_LENGTH)
    except (ValueError, MemoryError) as error:
        why = kavelo.explain(error)
        # The message may quote what the player typed: made safe for Markdown too.
        line = escape_markdown(escape_text(why.message.splitlines()[0]))
        return f"Cannot roll that: {line[: MESSAGE_LENGTH - 100]}"


if __name__ == "__main__":
    print(reply(" ".join(sys.argv[1:])))
