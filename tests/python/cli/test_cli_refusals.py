"""The command line reports what it could not write: --help and --version on a full or
closed standard output, and a chart path that is not a regular file or a new one."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

import pytest

KAVELO = [sys.executable, "-m", "kavelo"]


@pytest.mark.parametrize("option", ["-V", "--version", "--help"])
@pytest.mark.parametrize("stdout", ["full", "closed"])
def test_help_and_version_exit_74_when_standard_output_fails(option: str, stdout: str) -> None:
    command = " ".join([*KAVELO, option])
    redirect = ">/dev/full" if stdout == "full" else ">&-"
    result = subprocess.run(
        ["sh", "-c", f"exec {command} {redirect}"], stderr=subprocess.PIPE, timeout=60, check=False
    )
    assert result.returncode == 74
    assert result.stderr.decode().startswith("kavelo: error: ")


@pytest.mark.parametrize("option", ["-V", "--help"])
def test_help_and_version_still_print_and_succeed(option: str) -> None:
    result = subprocess.run([*KAVELO, option], capture_output=True, timeout=60, check=False)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.startswith(b"kavelo " if option == "-V" else b"usage: kavelo")


@pytest.mark.parametrize("kind", ["fifo", "directory", "link to a device"])
def test_a_chart_is_not_written_to_anything_but_a_regular_or_new_file(
    tmp_path: pathlib.Path, kind: str
) -> None:
    path = tmp_path / "chart.svg"
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        path.mkdir()
    else:
        path.symlink_to("/dev/null")
    before = os.lstat(path)
    result = subprocess.run(
        [*KAVELO, "--odds", "--plot", str(path), "1d6"],
        capture_output=True,
        timeout=60,
        check=False,
    )
    assert result.returncode == 74
    assert b"not a regular file" in result.stderr
    after = os.lstat(path)
    assert (after.st_mode, after.st_ino) == (before.st_mode, before.st_ino)


def test_a_chart_replaces_a_regular_file_and_creates_a_new_one(tmp_path: pathlib.Path) -> None:
    old, new = tmp_path / "old.svg", tmp_path / "new.svg"
    old.write_text("x" * 100_000, encoding="utf-8")
    for path in (old, new):
        result = subprocess.run(
            [*KAVELO, "--odds", "--plot", str(path), "1d6"],
            capture_output=True,
            timeout=60,
            check=False,
        )
        assert result.returncode == 0, result.stderr
        assert path.read_text(encoding="utf-8").rstrip().endswith("</svg>")
