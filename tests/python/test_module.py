"""Module initialisation and the error conversion of the extension."""

import importlib.metadata
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import kavelo
import kavelo._core as core
from project_version import VERSION


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_version() -> None:
    assert re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", VERSION)
    assert core.__version__ == VERSION
    assert kavelo.__version__ == VERSION
    assert importlib.metadata.version("kavelo") == VERSION


def test_all_is_ordered_and_reexported() -> None:
    final_order = [
        "__version__",
        "roll_dice",
        "run_program",
        "roll_simple",
        "ResourcePolicy",
        "Kavelo",
    ]
    assert kavelo.__all__ == core.__all__ + [
        "odds",
        "Odds",
        "trace",
        "replay",
        "Trace",
        "explain",
        "Explanation",
        "normalize",
        "audit",
        "Audit",
        "trace_program",
        "replay_program",
        "ProgramTrace",
    ]
    assert [name for name in final_order if name in core.__all__] == core.__all__
    for name in core.__all__:
        assert getattr(kavelo, name) is getattr(core, name)


def test_module_is_built_for_the_stable_abi() -> None:
    assert core.__file__.endswith(".abi3.so")
    assert core.__name__ == "kavelo._core"
    assert core.__doc__ == ""


def test_second_initialisation_fails_with_import_error() -> None:
    result = run_python(
        """
        import sys, importlib
        import kavelo._core
        del sys.modules["kavelo._core"]
        try:
            importlib.import_module("kavelo._core")
        except ImportError as exc:
            print("ImportError:", exc)
        else:
            print("imported twice")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "ImportError: kavelo._core may only be initialized once per interpreter process"
    )


def test_internal_fault_type_derives_from_base_exception_only() -> None:
    fault = core.InternalFault
    assert issubclass(fault, BaseException)
    assert not issubclass(fault, Exception)
    assert "InternalFault" not in core.__all__


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
def test_only_the_init_function_is_exported() -> None:
    # Nothing of the core or of the statically linked C++ runtime: another library in the
    # process could interpose exported copies. That includes GNU-unique symbols (the digit
    # tables of std::to_chars), which would also keep the module from ever being unloaded.
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", core.__file__], capture_output=True, text=True, check=True
    )
    exported = {fields[2] for fields in map(str.split, listing.stdout.splitlines())}
    assert exported == {"PyInit__core"}
