"""The bot example answers anything a player types with one message that fits."""

from __future__ import annotations

import importlib.util
import pathlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "bot.py"
_spec = importlib.util.spec_from_file_location("bot_example", EXAMPLE)
assert _spec is not None and _spec.loader is not None
bot = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bot)


@pytest.mark.parametrize(
    ("typed", "starts"),
    [
        ("d20+5 # to hit", "to hit: 1d20 ("),
        ("2D6", "2d6 ("),
        ("2d", "Cannot roll that: syntax error at line 1, column 3"),
        ("1d0", "Cannot roll that: invalid dice"),
        ("2d6kh", "Cannot roll that: write how many"),
        ("1d6; 1D8 # both", "both: 1d6 ("),
        ("1d6;", "Cannot roll that: syntax error"),
        (";".join(["d6+d4"] * 1000) + " # all", "all: "),
        ("99999999999d6", "Cannot roll that: "),
        ("9999d6 # @everyone", "@\u200beveryone: 9999d6 (faces left out: 9,999 dice) = `"),
    ],
)
def test_replies(typed: str, starts: str) -> None:
    answer = bot.reply(typed)
    assert answer.startswith(starts), answer
    assert len(answer) <= bot.MESSAGE_LENGTH


@settings(max_examples=300, deadline=None)
@given(st.text(max_size=300) | st.from_regex(r"[0-9d+\-*/()khlrRa!ecus#; ]{0,200}", fullmatch=True))
def test_any_text_gets_one_reply_that_fits(typed: str) -> None:
    answer = bot.reply(typed)
    assert 0 < len(answer) <= bot.MESSAGE_LENGTH
    assert "@everyone" not in answer.lower() and "@here" not in answer.lower()
