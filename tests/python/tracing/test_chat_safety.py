"""A player's comment in a trace's forms reads as typed and does nothing else: no mention
of everyone, no link or preview, no list or heading, nothing hidden, no second line."""

from __future__ import annotations

import re
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kavelo import replay

ZWSP = "\u200b"


def comment_of(form: str) -> str:
    """The comment part of a form: everything before the last ': ' ahead of the dice."""
    return form[: form.rindex(": 1d6 (")]


def read_markdown(shown: str) -> str:
    """What a Markdown reader sees: our zero-width marks unseen, backslash escapes undone."""
    return re.sub(r"\\(.)", r"\1", shown.replace(ZWSP, ""))


@pytest.mark.parametrize(
    ("comment", "markdown"),
    [
        ("@everyone look", "@\u200beveryone look"),
        ("hi @HERE", "hi @\u200bHERE"),
        ("see https://evil.example/x", "see https://\u200bevil.example/x"),
        ("www.evil.example", "www\u200b.evil.example"),
        ("_www.evil.example", "\\_www\u200b.evil.example"),
        ("0www0", "0www0"),
        ("- not a list", "\\- not a list"),
        ("  + not a list", "\\+ not a list"),
        ("1. not a list", "1\\. not a list"),
        ("# not a heading", "\\# not a heading"),
        ("> not a quote", "\\> not a quote"),
        ("-5 to hit", "-5 to hit"),
        ("<@123> <@&9> <#5>", "\\<@123\\> \\<@&9\\> \\<\\#5\\>"),
        ("a\u2028b\u2029c", "a\\\\u2028b\\\\u2029c"),
        ("zero\u200bwidth\u2060joiner\ufeff", "zero\\\\u200bwidth\\\\u2060joiner\\\\ufeff"),
        ("soft\u00adhyphen", "soft\\\\xadhyphen"),
        ("rtl\u202eevil", "rtl\\\\u202eevil"),
        ("tag\U000e0041", "tag\\\\U000e0041"),
        ("filler\u3164", "filler\\\\u3164"),
        ("中文　注释", "中文　注释"),
    ],
)
def test_markdown_comment_is_neutral(comment: str, markdown: str) -> None:
    assert comment_of(replay(f"1d6 # {comment}", [3]).markdown()) == markdown


@pytest.mark.parametrize(
    "char", ["\u2028", "\u2029", "\u200b", "\u200d", "\u00ad", "\u202e", "\x1b", "\x85"]
)
def test_invisible_characters_are_escapes_in_every_form(char: str) -> None:
    t = replay(f"1d6 # a{char}b", [3])
    for form in (t.text(), t.ansi(), t.markdown()):
        assert char not in form.replace("\x1b[", "")
    assert comment_of(t.text()) == "a" + repr(char)[1:-1] + "b"


def _visible_only(text: str) -> bool:
    return all(unicodedata.category(c) not in {"Cc", "Cf", "Cs", "Zl", "Zp"} for c in text)


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=st.characters(codec="utf-8", exclude_characters="\n\r#"), max_size=40))
def test_markdown_reads_as_the_text_form_and_does_nothing_else(comment: str) -> None:
    t = replay(f"1d6 # {comment}", [3])
    if not t.result["comment"]:
        return
    text, markdown = comment_of(t.text()), comment_of(t.markdown())
    # A reader of the Markdown sees exactly the text form's comment.
    assert read_markdown(markdown) == text
    # Nothing the player typed survives as an invisible character: the only one left is
    # our mark, and only after '@' or inside a link's start.
    assert _visible_only(markdown.replace(ZWSP, ""))
    assert re.search(r"@(?i:everyone|here)", markdown) is None
    # A link starts with a scheme's "://" or with "www" where no letter or digit comes
    # before it ("0www0" is no link, "_www.x" can be one).
    assert re.search(r"(?i:://|(?<![^\W_])www)(?!\u200b|$)(?=\S)", markdown) is None
    assert re.match(r"\s*([-+]|\d+[.)])(\s|$)", markdown) is None
