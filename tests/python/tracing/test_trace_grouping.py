"""The engine evaluates left to right; every form shows the grouping it used where a
reader, binding * tighter than + and ^ tighter than both, would group otherwise. So each
form, read with ordinary precedence, gives the total."""

from __future__ import annotations

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kavelo import replay, trace

TERM = re.compile(r"\d+d\d+\S* \([^()]*\)")


def read_as_a_reader(form: str, term_totals: list[int]) -> int:
    """The form's expression with each term replaced by its total, evaluated with
    ordinary precedence (^ binding tightest and from the right)."""
    expression = form.rsplit(" = ", 1)[0]
    totals = iter(term_totals)
    plain = TERM.sub(lambda _: str(next(totals)), expression)
    assert re.fullmatch(r"[\d ()+\-*^]*", plain), plain
    value: int = eval(plain.replace("^", "**"), {"__builtins__": {}})
    return value


@pytest.mark.parametrize(
    ("text", "faces", "shown"),
    [
        ("1d20+2*3", [17], "(1d20 (17) + 2) * 3 = 57"),
        ("2*3^2", [], "(2 * 3) ^ 2 = 36"),
        ("2^3^2", [], "(2 ^ 3) ^ 2 = 64"),
        ("1+2*3-4", [], "(1 + 2) * 3 - 4 = 5"),
        ("1d6-2-3", [6], "1d6 (6) - 2 - 3 = 1"),
        ("(1+2)*3", [], "(1 + 2) * 3 = 9"),
        ("1+2+3*4*5+6", [], "(1 + 2 + 3) * 4 * 5 + 6 = 126"),
        ("2*(1d4+1)^2", [3], "(2 * (1d4 (3) + 1)) ^ 2 = 64"),
    ],
)
def test_the_engine_grouping_is_shown(text: str, faces: list[int], shown: str) -> None:
    t = replay(text, faces)
    assert t.text() == shown
    assert t.markdown().replace("**", "").rsplit(" = ", 1)[0] == shown.rsplit(" = ", 1)[0]
    assert read_as_a_reader(t.text(), [term.total for term in t.terms]) == t.total


operand = st.one_of(st.integers(0, 9).map(str), st.sampled_from(["1d4", "2d6", "1d20", "3d6kh2"]))


@st.composite
def expressions(draw: st.DrawFn, depth: int = 0) -> str:
    parts = [draw(operand)]
    for _ in range(draw(st.integers(0, 4))):
        op = draw(st.sampled_from(["+", "-", "*", "^"]))
        right = draw(operand)
        if depth < 2 and draw(st.integers(0, 4)) == 0:
            right = "(" + draw(expressions(depth + 1)) + ")"
        parts += [op, right]
    return "".join(parts)


@settings(max_examples=500, deadline=None)
@given(expressions())
def test_every_form_read_with_ordinary_precedence_gives_the_total(text: str) -> None:
    try:
        t = trace(text)
    except ValueError:
        return  # an overflow or a power the engine refuses: nothing is shown
    totals = [term.total for term in t.terms]
    for form in (t.text(), re.sub(r"\x1b\[[0-9;]*m", "", t.ansi())):
        assert read_as_a_reader(form.replace("~", ""), totals) == t.total, form
