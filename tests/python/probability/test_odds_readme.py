"""The examples of the README's odds section run as written (one session, in order)."""

from __future__ import annotations

import doctest
import os
import pathlib
import re
import shlex
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parents[3] / "README.md"


def _odds_section() -> str:
    text = README.read_text(encoding="utf-8")
    section = text[text.index("\n## Odds\n") :]
    return section[: section.index("\n## ", 1)]


def test_odds_section_examples() -> None:
    section = _odds_section()
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(blocks) >= 4
    # One doctest of all blocks: each block goes on with the names of the ones before.
    test = doctest.DocTestParser().get_doctest(
        "\n".join(blocks), {}, "odds section", str(README), 0
    )
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0
    assert runner.tries >= 12


def test_odds_section_command_lines_print_what_is_shown() -> None:
    section = _odds_section()
    runs = re.findall(r"```console\n\$ kavelo (.*?)\n(.*?)```", section, re.DOTALL)
    assert len(runs) >= 2
    for args, shown in runs:
        result = subprocess.run(
            [sys.executable, "-m", "kavelo", *shlex.split(args)],
            capture_output=True,
            env=dict(os.environ, COLUMNS="80"),
            timeout=60,
            check=False,
        )
        assert (result.returncode, result.stdout.decode()) == (0, shown), args
