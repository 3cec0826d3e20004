"""Every example of the README runs as shown: the Python blocks as one doctest session
in order, and each ``$ command`` of the console blocks through the shell, with the
installed ``kavelo`` command first on the path.

An example whose command or Python line ends with a ``# for example`` comment shows one
possible roll: its output is compared by shape (numbers, their count in a list or in
parentheses, and the marks of struck, bold and exploded faces may differ; every other
character must match). Every other example must match exactly."""

from __future__ import annotations

import doctest
import os
import pathlib
import re
import subprocess
import sys
from collections.abc import Callable

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
FOR_EXAMPLE = re.compile(r"#\s*for example")


def shape(text: str) -> str:
    """``text`` with every number written N, face marks dropped and runs of numbers or
    one-number groups collapsed to one."""
    text = re.sub(r"\d+", "N", text)
    text = re.sub(r"[~*]", "", text)
    text = re.sub(r"N!", "N", text)
    previous = None
    while previous != text:
        previous = text
        text = re.sub(r"N(?:(?: \+ |, |\+)N)+", "N", text)
        text = re.sub(r"\[N\](?:, \[N\])+", "[N]", text)
    return text


def blocks(language: str) -> list[tuple[int, str]]:
    """The README's fenced blocks of ``language``, with the line each starts on."""
    text = README.read_text(encoding="utf-8")
    found = []
    for match in re.finditer(rf"^```{language}\n(.*?)^```$", text, re.M | re.S):
        found.append((text.count("\n", 0, match.start()) + 1, match.group(1)))
    return found


class _ShapeChecker(doctest.OutputChecker):
    """Exact for most examples, by shape for those marked ``# for example``."""

    def __init__(self) -> None:
        super().__init__()
        self.loose = False

    def check_output(self, want: str, got: str, optionflags: int) -> bool:
        if self.loose:
            return shape(want) == shape(got)
        return super().check_output(want, got, optionflags)


class _Runner(doctest.DocTestRunner):
    def __init__(self, checker: _ShapeChecker) -> None:
        super().__init__(checker=checker, optionflags=doctest.ELLIPSIS)
        self.shape_checker = checker

    def report_start(
        self, out: Callable[[str], object], test: doctest.DocTest, example: doctest.Example
    ) -> None:
        # Called before each example is checked (whatever the verbosity).
        self.shape_checker.loose = bool(FOR_EXAMPLE.search(example.source))


def test_python_blocks_run_as_shown() -> None:
    found = blocks("python")
    assert len(found) >= 15
    source = "".join(body for _, body in found)
    test = doctest.DocTestParser().get_doctest(source, {}, "README", str(README), 0)
    runner = _Runner(_ShapeChecker())
    reports: list[str] = []
    runner.run(test, out=reports.append, clear_globs=True)
    assert runner.summarize(verbose=False).failed == 0, "".join(reports)


def console_examples() -> list[tuple[str, str, str]]:
    """(where, command, expected output) for each ``$`` line of the console blocks."""
    examples = []
    for start, body in blocks("console"):
        lines = body.splitlines()
        i = 0
        while i < len(lines):
            assert lines[i].startswith("$ "), f"README line {start + 1 + i}: {lines[i]!r}"
            command = lines[i][2:]
            j = i + 1
            while j < len(lines) and not lines[j].startswith("$ "):
                j += 1
            expected = "".join(line + "\n" for line in lines[i + 1 : j])
            examples.append((f"README line {start + 1 + i}", command, expected))
            i = j
    return examples


CONSOLE = console_examples()


@pytest.mark.parametrize("where, command, expected", CONSOLE, ids=[c[0] for c in CONSOLE])
def test_console_examples_print_as_shown(where: str, command: str, expected: str) -> None:
    bin_dir = os.path.dirname(sys.executable)
    env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
    for name in ("NO_COLOR", "COLUMNS", "KAVELO_PROGRESS_DELAY"):
        env.pop(name, None)
    done = subprocess.run(
        ["bash", "-c", command],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        env=env,
        cwd=README.parent,
        timeout=120,
    )
    shown = done.stdout.decode("utf-8")
    if FOR_EXAMPLE.search(command):
        assert shape(shown) == shape(expected), where
    else:
        assert shown == expected, where


@pytest.mark.parametrize(
    "a, b",
    [
        ("13\t4d6kh3 (~2~, 3, 4, 4) + 2 = 13", "9\t4d6kh3 (1, 2, ~1~, 6) + 2 = 9"),
        ("[[5], [2], [3], [6, 6, 2]]", "[[1], [4], [6, 1], [2]]"),
        ("2d6! (**6**!, 3, 2) = 11", "2d6! (4, 5) = 9"),
    ],
)
def test_shape_ignores_what_a_roll_varies(a: str, b: str) -> None:
    assert shape(a) == shape(b)


@pytest.mark.parametrize(
    "a, b",
    [
        ("13\t4d6kh3 (2, 3) + 2 = 13", "13\t4d6kh3 (2, 3) - 2 = 13"),
        ("{'total': 3}", "{'sum': 3}"),
        ("13\t11 + 2 = 13", "13\t4d6kh3 (2, 3, 4, 4) + 2 = 13"),
    ],
)
def test_shape_keeps_everything_else(a: str, b: str) -> None:
    assert shape(a) != shape(b)
