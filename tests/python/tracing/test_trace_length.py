"""Trace forms within a length: never longer than asked, the total always whole at the
end, nothing escaped cut in half, and the full form whenever it fits."""

from __future__ import annotations

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kavelo
from kavelo import replay, trace

STYLES = ["markdown", "text", "ansi"]
TOTAL_AT_END = {
    "markdown": re.compile(r" = `(-?\d+)`$"),
    "text": re.compile(r" = (-?\d+)$"),
    "ansi": re.compile(r" = \x1b\[1m(-?\d+)\x1b\[0m$"),
}


def form(t: kavelo.Trace, style: str, **kw: int) -> str:
    shown: str = getattr(t, style)(**kw)
    return shown


@pytest.mark.parametrize("style", STYLES)
def test_a_form_that_fits_is_the_full_form(style: str) -> None:
    t = replay("2d20kh1+5 # to hit", [4, 20])
    full = form(t, style)
    assert form(t, style, max_length=len(full)) == full


@pytest.mark.parametrize("style", STYLES)
def test_a_discord_reply_of_a_huge_pool_fits_and_counts_the_dice(style: str) -> None:
    t = trace("9999d6 # fireball")
    assert len(form(t, style)) > 2000
    short = form(t, style, max_length=2000)
    assert len(short) <= 2000
    assert "faces left out: 9,999 dice" in short
    found = TOTAL_AT_END[style].search(short)
    assert found is not None and int(found.group(1)) == t.total


comments = st.text(alphabet=st.characters(codec="utf-8", exclude_characters="\n\r#"), max_size=60)


@settings(max_examples=300, deadline=None)
@given(
    count=st.integers(1, 300),
    comment=comments,
    style=st.sampled_from(STYLES),
    limit=st.integers(0, 400),
)
def test_any_length_is_kept_or_refused_and_the_total_is_whole(
    count: int, comment: str, style: str, limit: int
) -> None:
    t = trace(f"{count}d6kh{max(count // 2, 1)}+3 # {comment}")
    try:
        short = form(t, style, max_length=limit)
    except ValueError as error:
        assert "max_length must be at least" in str(error)
        assert limit < len(form(t, style, max_length=1000))
        return
    assert len(short) <= limit
    found = TOTAL_AT_END[style].search(short)
    assert found is not None and int(found.group(1)) == t.total
    # Escapes are whole: every backslash escape in Markdown pairs up, every ANSI
    # sequence is complete.
    if style == "markdown":
        assert not re.search(r"(?<!\\)(\\\\)*\\$", short.split(" = `")[0])
    if style == "ansi":
        assert re.sub(r"\x1b\[[0-9;]*m", "", short).count("\x1b") == 0


@pytest.mark.parametrize("bad", [True, 2.5, "2000"])
def test_max_length_must_be_an_int(bad: object) -> None:
    with pytest.raises(TypeError, match="max_length"):
        replay("1d6", [3]).markdown(max_length=bad)  # type: ignore[arg-type]
