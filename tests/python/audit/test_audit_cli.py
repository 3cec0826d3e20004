"""``kavelo audit FILE...``: what kavelo --json writes is auditable as it stands, plain
lists of faces are read, and bad or hostile files end in one line naming the file and
the line, with the exit status saying so."""

from __future__ import annotations

import json
import pathlib
import random
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

from kavelo.audit import logs
from kavelo.cli import run

KAVELO = [sys.executable, "-m", "kavelo"]


def _audit(*args: str, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [*KAVELO, "audit", *args], input=stdin, capture_output=True, timeout=120, check=False
    )


def test_json_output_of_kavelo_is_auditable_as_it_stands(tmp_path: pathlib.Path) -> None:
    rolled = subprocess.run(
        [*KAVELO, "--json", *(["1d20+5", "4d6kh3", "2d6 # damage", "1d0"] * 60)],
        capture_output=True,
        timeout=120,
        check=False,
    )
    assert rolled.returncode == 1  # the 1d0 fails, and is written as a failed roll
    log = tmp_path / "rolls.jsonl"
    log.write_bytes(rolled.stdout)
    done = _audit("--json", str(log))
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["records"] == 240 and report["failed_rolls"] == 60
    counts = {(t["kind"], t["subject"]): t["count"] for t in report["tests"]}
    assert counts[("faces", "d20")] == 60
    assert counts[("faces", "d6")] == 60 * 4 + 60 * 2
    assert counts[("totals", "4d6kh3")] == 60 and counts[("totals", "2d6")] == 60


def test_plain_faces_one_per_line_or_separated_by_commas(tmp_path: pathlib.Path) -> None:
    rng = random.Random(2)
    faces = [rng.randint(1, 20) for _ in range(500)]
    lines = [str(f) for f in faces[:250]] + [
        ", ".join(map(str, faces[i : i + 10])) for i in range(250, 500, 10)
    ]
    log = tmp_path / "d20.txt"
    log.write_text("\n".join(lines) + "\n\n", encoding="utf-8")
    plot = tmp_path / "d20.svg"
    done = _audit("--sides", "20", "--json", "--plot", str(plot), str(log))
    assert done.returncode == 0, done.stderr
    test = json.loads(done.stdout)["tests"][0]
    assert test["count"] == 500
    assert [c["observed"] for c in test["cells"]] == [faces.count(f) for f in range(1, 21)]
    ET.fromstring(plot.read_text(encoding="utf-8"))


@pytest.mark.parametrize(
    ("content", "args", "message"),
    [
        (b'{"sides": 6, "faces": [1, 2]}\n{"sides": 6, "faces": [1, 2', [], "log line 2: not JSON"),
        (b'\n\n{"sides": 6, "faces": [1, 9]}\n', [], "log line 3: faces[1] is 9"),
        (b"[" * 100_000 + b"\n", [], "log line 1: JSON nested too deeply"),
        (
            b'{"sides": ' + b"9" * 5000 + b', "faces": []}\n',
            [],
            "log line 1: not JSON kavelo reads",
        ),
        (b'{"sides": 6, "faces": [NaN]}\n', [], "faces[0] must be an int, not nan"),
        (b'["1d6", Infinity]\n', [], "must be an int, not inf"),
        (b"\xff\xfe1\n", [], "log line 1: not UTF-8"),
        (
            b"1\n2\n=cmd|' /C calc'!A0\n",
            ["--sides", "6"],
            'log line 3: item 1 is "=cmd|\'", not a face of a die with 6 sides',
        ),
        (b"1,2,7\n", ["--sides", "6"], 'log line 1: item 3 is "7"'),
        (b"1\n\xe2\x80\xae3\n", ["--sides", "6"], 'log line 2: item 1 is "\\u202e3"'),
    ],
)
def test_a_bad_line_stops_with_one_line_naming_it(
    tmp_path: pathlib.Path, content: bytes, args: list[str], message: str
) -> None:
    log = tmp_path / "log"
    log.write_bytes(content)
    done = _audit(*args, str(log))
    assert done.returncode == 1 and done.stdout == b""
    error = done.stderr.decode("utf-8")
    assert error.count("\n") == 1 and error.startswith("kavelo audit: [audit.")
    assert message in error
    skipped = _audit("--skip-bad", "--json", *args, str(log))
    assert skipped.returncode == 0
    assert json.loads(skipped.stdout)["skipped"] >= 1


@pytest.mark.parametrize("block", [100, 1 << 20])
@pytest.mark.parametrize("sides", [None, "6"])
def test_an_over_long_line_is_refused_without_being_held(
    tmp_path: pathlib.Path,
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
    block: int,
    sides: str | None,
) -> None:
    monkeypatch.setattr(logs, "MAX_LINE_BYTES", 1000)
    monkeypatch.setattr(logs, "BLOCK_BYTES", block)
    log = tmp_path / "long.txt"
    face = "3" if sides else '{"sides": 6, "faces": [3]}'
    long = "3," * 5000 if sides else '{"sides": 6, "faces": [' + "3, " * 3333 + "3]}"
    log.write_text(f"{face}\n{long}\n{face}\n{face}", encoding="ascii")
    options = ["--sides", sides] if sides else []
    assert run(["audit", *options, str(log)]) == 1
    assert f"line 2: longer than 1,000 bytes ({len(long):,} bytes)" in capsys.readouterr().err
    assert run(["audit", *options, "--skip-bad", "--json", str(log)]) == 0
    report = json.loads(capsys.readouterr().out)
    assert report["skipped"] == 1 and report["tests"][0]["count"] == 3


@pytest.mark.parametrize("block", [7, 64, 1 << 20])
def test_faces_are_read_whole_whatever_the_blocks(
    tmp_path: pathlib.Path,
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
    block: int,
) -> None:
    monkeypatch.setattr(logs, "BLOCK_BYTES", block)
    rng = random.Random(block)
    faces = [rng.randint(1, 12) for _ in range(400)]
    text = "".join(f"{f}{rng.choice([chr(10), ',', ' , ', chr(13) + chr(10)])}" for f in faces)
    log = tmp_path / "faces.txt"
    log.write_text(text, encoding="ascii")
    assert run(["audit", "--sides", "12", "--json", str(log)]) == 0
    cells = json.loads(capsys.readouterr().out)["tests"][0]["cells"]
    assert [c["observed"] for c in cells] == [faces.count(f) for f in range(1, 13)]


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["--sides", "0", "x"], 2, "sides must be a whole number"),
        (["--sides", "99999999999", "x"], 2, "sides must be a whole number"),
        (["--alpha", "nan", "x"], 2, "alpha must lie strictly between 0 and 1"),
        (["--plot", "chart.exe", "x"], 2, "--plot FILE must end in .svg"),
        (["-", "-"], 2, "standard input ('-') can be read only once"),
        (["--json", "--markdown", "x"], 2, "not allowed with argument"),
        (["/no/such/file"], 74, "kavelo audit: error: cannot read '/no/such/file'"),
        (["/"], 74, "cannot read '/': Is a directory"),
    ],
)
def test_usage_and_reading_errors(args: list[str], status: int, message: str) -> None:
    done = _audit(*args)
    assert done.returncode == status
    assert message in done.stderr.decode("utf-8")


def test_standard_input_and_markdown(capsys: pytest.CaptureFixture[str]) -> None:
    done = _audit("--sides", "6", "--markdown", "-", stdin=b"1\n2\n3\n4\n5\n6\n" * 20)
    assert done.returncode == 0
    text = done.stdout.decode("utf-8")
    assert text.startswith("**Dice audit: evidence of bias**")  # 1..6 in turn, each time
    assert "one face after another" in text
