"""The README's roll-trace section: its examples run as shown, and its table of forms
is what replay gives for the faces it names."""

from __future__ import annotations

import doctest
import pathlib
import re

import pytest

from kavelo import replay

README = pathlib.Path(__file__).resolve().parents[3] / "README.md"


def section() -> str:
    text = README.read_text(encoding="utf-8")
    start = text.index("## Roll traces\n")
    return text[start : text.index("\n## ", start + 1)]


def test_examples_run_as_shown() -> None:
    blocks = re.findall(r"```python\n(.*?)```", section(), re.S)
    assert len(blocks) == 4
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    # The blocks run one after another, like one session.
    test = parser.get_doctest("".join(blocks), {}, "README roll traces", str(README), 0)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


ROWS = re.findall(r"^\| `([^`]+)`, ([\d ]+) \| ``(.+)`` \|$", section(), re.M)


@pytest.mark.parametrize("text,faces,shown", ROWS)
def test_table_of_forms(text: str, faces: str, shown: str) -> None:
    assert replay(text, [int(f) for f in faces.split()]).markdown() == shown.strip()


def test_table_has_its_rows() -> None:
    assert len(ROWS) == 10
