"""The shipped type information checks under mypy --strict and matches the module."""

import inspect
import pathlib
import re
import subprocess
import sys

import pytest

import kavelo
import kavelo._core as core

EXAMPLE = pathlib.Path(__file__).parent / "typing" / "uses_every_entry_point.py"
BOT = pathlib.Path(__file__).parent / "typing" / "bot_annotations.py"
TRACE_BOT = pathlib.Path(__file__).parent / "typing" / "trace_bot.py"


def test_package_ships_stub_and_marker() -> None:
    package = pathlib.Path(kavelo.__file__).parent
    assert (package / "py.typed").exists()
    assert (package / "_core.pyi").exists()


@pytest.mark.parametrize(
    "example", [EXAMPLE, BOT, TRACE_BOT], ids=["entry_points", "bot", "trace_bot"]
)
def test_example_runs(example: pathlib.Path) -> None:
    result = subprocess.run(
        [sys.executable, str(example)], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(
    "example", [EXAMPLE, BOT, TRACE_BOT], ids=["entry_points", "bot", "trace_bot"]
)
def test_example_passes_mypy_strict(tmp_path: pathlib.Path, example: pathlib.Path) -> None:
    pytest.importorskip("mypy")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--cache-dir",
            str(tmp_path),
            str(example),
        ],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_documents_every_public_name() -> None:
    stub = (pathlib.Path(kavelo.__file__).parent / "_core.pyi").read_text(encoding="utf-8")
    for name in core.__all__:
        if name == "__version__":
            continue
        assert f"def {name}(" in stub or f"class {name}" in stub, name
    for cls in (core.Kavelo, core.ResourcePolicy):
        for method, _ in inspect.getmembers(cls, callable):
            if not method.startswith("_"):
                assert re.search(rf"def {method}\(\s*self", stub), method


def test_stub_examples_run_as_written() -> None:
    import ast
    import doctest

    stub = (pathlib.Path(kavelo.__file__).parent / "_core.pyi").read_text(encoding="utf-8")
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    examples = 0
    for node in ast.walk(ast.parse(stub)):
        if isinstance(node, (ast.FunctionDef, ast.ClassDef, ast.Module)):
            docstring = ast.get_docstring(node)
            if not docstring:
                continue
            globs = {name: getattr(core, name) for name in core.__all__}
            test = parser.get_doctest(
                docstring, globs, getattr(node, "name", "module"), "_core.pyi", 0
            )
            examples += len(test.examples)
            runner.run(test)
    assert examples >= 15
    assert runner.failures == 0


@pytest.mark.parametrize(
    "name", ["DiceRollResult", "ProgramResult", "ProgramRunResult", "ModifierRollResult"]
)
def test_result_types_exist_at_run_time(name: str) -> None:
    import typing

    cls = getattr(kavelo, name)
    assert typing.is_typeddict(cls)
    assert cls.__module__ == "kavelo.results"


def test_result_types_list_the_keys_the_module_returns() -> None:
    roller = kavelo.Kavelo()
    assert list(kavelo.DiceRollResult.__annotations__) == list(kavelo.roll_dice("1d1 # x"))
    assert list(kavelo.ProgramResult.__annotations__) == list(kavelo.run_program("1"))
    assert list(kavelo.ModifierRollResult.__annotations__) == list(
        roller.roll_with_modifiers(1, 1, [])
    )
    # The types are importable but not star-exported: __all__ is the module's own names
    # followed by the package's additions.
    assert kavelo.__all__[: len(core.__all__)] == core.__all__
    assert not {"DiceRollResult", "ProgramResult", "ModifierRollResult"} & set(kavelo.__all__)
