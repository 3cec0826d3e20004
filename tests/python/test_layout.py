"""The source tree keeps the shape scripts/check_layout.py holds it to, and the checker
itself finds what it claims to find."""

from __future__ import annotations

import importlib.util
import pathlib
import sys
import textwrap

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check_layout.py"
_spec = importlib.util.spec_from_file_location("check_layout", SCRIPT)
assert _spec is not None and _spec.loader is not None
layout = importlib.util.module_from_spec(_spec)
sys.modules["check_layout"] = layout
_spec.loader.exec_module(layout)


def test_the_tree_has_no_long_file_long_function_or_import_circle() -> None:
    findings = [
        *layout.long_files(),
        *layout.long_functions(),
        *layout.cycles(layout.import_graph()),
    ]
    assert findings == []


@pytest.mark.parametrize(
    ("graph", "expected"),
    [
        ({"a": {"b"}, "b": set()}, []),
        ({"a": {"b"}, "b": {"a"}}, ["import circle: a <-> b"]),
        ({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}, ["import circle: a <-> b <-> c"]),
        (
            {"a": {"b"}, "b": {"a"}, "c": {"d"}, "d": {"c"}},
            ["import circle: a <-> b", "import circle: c <-> d"],
        ),
    ],
)
def test_cycles_are_found_whole_and_only_where_they_are(
    graph: dict[str, set[str]], expected: list[str]
) -> None:
    assert list(layout.cycles(graph)) == expected


def test_imports_of_every_kind_make_an_arrow(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    package = tmp_path / "kavelo"
    (package / "sub").mkdir(parents=True)
    files = {
        "__init__.py": "from .one import x\n",
        "one.py": "def f():\n    from .two import y\n",
        "two.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from . import one\n",
        "sub/__init__.py": "from .. import two\n",
        "sub/leaf.py": "from . import other\nimport kavelo.one\n",
        "sub/other.py": "",
    }
    for name, text in files.items():
        (package / name).write_text(textwrap.dedent(text), encoding="utf-8")
    monkeypatch.setattr(layout, "PACKAGE", package)
    graph = layout.import_graph()
    assert graph["kavelo.one"] == {"kavelo.two"}
    assert graph["kavelo.two"] == {"kavelo.one"}
    assert graph["kavelo.sub"] == {"kavelo.two"}
    assert graph["kavelo.sub.leaf"] == {"kavelo.sub.other", "kavelo.one"}
    assert list(layout.cycles(graph)) == ["import circle: kavelo.one <-> kavelo.two"]
