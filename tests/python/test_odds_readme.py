"""The examples of the README's odds section run as written (one session, in order)."""

from __future__ import annotations

import doctest
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_odds_section_examples():
    text = README.read_text(encoding="utf-8")
    section = text[text.index("\n## Odds\n"):]
    section = section[: section.index("\n## ", 1)]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(blocks) >= 4
    # One doctest of all blocks: each block goes on with the names of the ones before.
    test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, "odds section", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0
    assert runner.tries >= 12
