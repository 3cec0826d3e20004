"""The chat-spelling normaliser: it rewrites the spellings it knows, refuses the ones
with two readings, leaves kavelo's own language and every comment untouched."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kavelo import roll_dice, run_program
from kavelo.chat import SpellingError, normalize


@pytest.mark.parametrize(
    "typed, rewritten",
    [
        ("d20", "1d20"),
        ("d20+5", "1d20+5"),
        ("D20", "1d20"),
        ("2D6", "2d6"),
        ("2 D 6", "2 d 6"),
        ("d%", "1d100"),
        ("3d%+2", "3d100+2"),
        ("1d6-d4", "1d6-1d4"),
        ("(d6)*D8", "(1d6)*1d8"),
        ("1d20 + d4 - 1", "1d20 + 1d4 - 1"),
        ("d20; d6 # attack; D8", "1d20; 1d6 # attack; D8"),
        ("1d6\u22122\u00d73\u00f71", "1d6-2*3/1"),
        ("\uff12\uff44\uff16\uff0b\uff13", "2d6+3"),
        ("\uff12\uff44\uff16 \uff03 \uff44\uff12\uff10", "2d6 # \uff44\uff12\uff10"),
        ("2d6 # d20 2D6 @everyone", "2d6 # d20 2D6 @everyone"),
    ],
)
def test_known_spellings_are_rewritten_and_roll(typed: str, rewritten: str) -> None:
    assert normalize(typed) == rewritten
    if ";" in rewritten:
        assert len(run_program(rewritten)["results"]) == 2
    else:
        assert isinstance(roll_dice(rewritten)["total"], int)


@pytest.mark.parametrize(
    "typed, hint",
    [
        ("2d20kh", "kh1"),
        ("4d6 dl + 1", "dl1"),
        ("2d6ro", "ro1"),
        ("4D6KH3", "lower case"),
        ("4d6Kh3", "lower case"),
        ("2x3", "*"),
        ("1d6 X 2", "*"),
        ("(1d6)x2", "*"),
        ("-d4", "0-1d4"),
        ("1d6 * -d4", "0-1d4"),
    ],
)
def test_spellings_with_two_readings_are_refused(typed: str, hint: str) -> None:
    with pytest.raises(SpellingError) as caught:
        normalize(typed)
    assert caught.value.code == "spelling.ambiguous" and hint in caught.value.hint
    assert isinstance(caught.value, ValueError) and caught.value.text == typed
    # The player's text is kept on the error, not in its message (a bot may post it).
    assert typed not in str(caught.value)


@pytest.mark.parametrize("value", [None, b"d20", 20])
def test_only_text_is_taken(value: object) -> None:
    with pytest.raises(TypeError):
        normalize(value)  # type: ignore[arg-type]


MODIFIERS = [
    "!",
    "e",
    "K2",
    "r1",
    "ro1",
    "R1",
    "a1",
    "k2",
    "kh2",
    "kl2",
    "dh1",
    "dl1",
    "u",
    "s",
    "c6",
]
WHITESPACE = st.sampled_from(["", "", " ", "\t"])


@st.composite
def notation(draw: st.DrawFn, depth: int = 0) -> str:
    """An expression in kavelo's own language, whitespace and modifiers included."""
    pieces = []
    for i in range(draw(st.integers(1, 3))):
        if i:
            pieces.append(draw(WHITESPACE) + draw(st.sampled_from("+-*/^")) + draw(WHITESPACE))
        kind = draw(st.integers(0, 2 if depth < 2 else 1))
        if kind == 0:
            pieces.append(str(draw(st.integers(0, 99))))
        elif kind == 1:
            term = f"{draw(st.integers(1, 20))}{draw(WHITESPACE)}d{draw(WHITESPACE)}{draw(st.integers(1, 100))}"
            for modifier in draw(st.lists(st.sampled_from(MODIFIERS), max_size=3)):
                term += draw(WHITESPACE) + modifier
            pieces.append(term)
        else:
            pieces.append("(" + draw(notation(depth + 1)) + ")")
    return "".join(pieces)


@settings(max_examples=300, deadline=None)
@given(notation(), st.text(max_size=10))
def test_kavelo_notation_and_comments_come_back_unchanged(text: str, comment: str) -> None:
    assert normalize(text) == text
    assert normalize(f"{text} # {comment}") == f"{text} # {comment}"


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=st.sampled_from("dD%0123456789+-*/()# \u2212\uff12\uff44xkh"), max_size=20))
def test_normalizing_twice_changes_nothing_more(text: str) -> None:
    try:
        once = normalize(text)
    except SpellingError:
        return
    assert normalize(once) == once


@pytest.mark.parametrize("repeated", ["d6+", "2D6 ", "(d%)", "\uff44\uff16\uff0b"])
def test_long_texts_are_rewritten_up_to_the_bound_and_left_beyond(repeated: str) -> None:
    from kavelo.chat.normalize import LONGEST

    fits = repeated * (LONGEST // len(repeated))
    assert normalize(fits) != fits
    beyond = fits + repeated
    assert len(beyond) > LONGEST and normalize(beyond) == beyond
