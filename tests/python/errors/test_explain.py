"""kavelo.explain gives every error kavelo can raise a stable code and an English
message: the whole README catalogue, every other error of the package, the chat
normaliser's refusals, and nothing it does not raise."""

from __future__ import annotations

import re

import pytest
from test_errors import CASES, Case, CatalogueExample, catalogue, raised, run_example

import kavelo
from kavelo import explain


def _english(text: str) -> bool:
    return bool(text) and re.search(r"[\u4e00-\u9fff]", text) is None


@pytest.mark.parametrize("example", catalogue(), ids=lambda e: e.call)
def test_every_catalogue_error_has_a_code_and_an_english_message(example: CatalogueExample) -> None:
    error = run_example(example)
    why = explain(error)
    assert re.fullmatch(r"[a-z_]+\.[a-z_]+", why.code)
    assert _english(why.message), why
    assert why.text == str(error)
    if why.code == "parse.syntax":
        assert why.line is not None and why.column is not None and why.shown_line is not None
        assert why.expected and all(_english(words) for words in why.expected)
        assert f"line {why.line}, column {why.column}" in why.message
    else:
        assert (why.line, why.column, why.expected) == (None, None, ())


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.label)
def test_every_other_error_of_the_package_is_explained(case: Case) -> None:
    error = raised(case.call)
    why = explain(error)
    assert why.code and _english(why.message)


@pytest.mark.parametrize(
    ("text", "line", "column", "shown", "expected"),
    [
        ("2d", 1, 3, "2d", ("a number of sides after d",)),
        ("1d6 +\n 3 ** x", 2, 5, " 3 ** x", ("a roll like 2d6, a number or a (",)),
    ],
)
def test_a_syntax_report_is_pointed_at(
    text: str, line: int, column: int, shown: str, expected: tuple[str, ...]
) -> None:
    why = explain(raised(lambda: kavelo.roll_dice(text)))
    assert (why.line, why.column, why.shown_line, why.expected) == (line, column, shown, expected)


def test_texts_without_a_code_get_one() -> None:
    why = explain(raised(lambda: kavelo.roll_dice("1d0")))
    assert why.code == "dice.not_positive"
    assert "[" not in why.text


def test_the_chat_normaliser_refusals_are_explained() -> None:
    why = explain(raised(lambda: kavelo.normalize("2d6kh")))
    assert why.code == "spelling.ambiguous"
    assert _english(why.message)


@pytest.mark.parametrize("error", [ValueError("some other text"), KeyError("x"), OSError(5, "I/O")])
def test_errors_kavelo_does_not_raise_are_refused(error: BaseException) -> None:
    with pytest.raises(ValueError, match="not an error kavelo raises") as refused:
        explain(error)
    assert refused.value.__cause__ is error
