"""``kavelo --odds``, run as a separate process: tables, side-by-side columns, JSON and
charts, failures that name their input, refused combinations, bounds. (Hostile text and
full disks: test_cli_hostile.py.)"""

import json
import os
import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

from kavelo import odds
from svg_parts import SVG, attribute, child, text_of

KAVELO = [sys.executable, "-m", "kavelo"]
CONTROLS = "\x1b\x07\r\x9b\u202e\x7f"


def kavelo(
    *args: str, stdin: bytes = b"", columns: str = "80", env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[bytes]:
    environment = dict(os.environ if env is None else env, COLUMNS=columns)
    return subprocess.run(
        KAVELO + list(args),
        input=stdin,
        capture_output=True,
        env=environment,
        timeout=120,
        check=False,
    )


def out_lines(result: subprocess.CompletedProcess[bytes]) -> list[str]:
    return result.stdout.decode().splitlines()


@pytest.mark.parametrize("columns", ["40", "72", "99999999999"])
def test_table_of_one_expression(columns: str) -> None:
    result = kavelo("--odds", "2d6", columns=columns)
    lines = out_lines(result)
    assert (result.returncode, result.stderr) == (0, b"")
    assert lines[:6] == [
        "expression  2d6",
        "mean        7.0000",
        "stdev       2.4152",
        "min         2",
        "max         12",
        "",
    ]
    rows = {line.split()[0]: line.split()[1:4] for line in lines[7:]}
    assert rows["7"] == ["16.67%", "58.33%", "58.33%"] and rows["12"] == [
        "2.78%",
        "2.78%",
        "100.00%",
    ]
    # The longest bar ends one column short of the width (at most 1000), and has ten cells at least.
    assert max(len(line) for line in lines) == max(min(int(columns), 1000) - 1, 48)


@pytest.mark.parametrize(
    "column, method, heading",
    [
        (None, "at_least", "at least (%)"),
        ("probability", "probability", "probability (%)"),
        ("at-most", "at_most", "at most (%)"),
    ],
)
def test_side_by_side_columns(column: str | None, method: str, heading: str) -> None:
    texts = ["2d20kh1", "1d20+5", "1d2!"]
    result = kavelo(
        "--odds", "--tolerance", "1e-3", *(["--column", column] if column else []), *texts
    )
    lines = out_lines(result)
    assert (result.returncode, lines[0], lines[1].split()) == (0, heading, ["total", *texts])
    rows = {line.split()[0]: line.split()[1:] for line in lines[2:]}
    expected = [odds(text, tolerance=1e-3) for text in texts]
    for total in ("1", "15", "25"):
        assert rows[total] == [f"{100 * getattr(d, method)(int(total)):.2f}" for d in expected]
    assert rows["mean"] == [f"{d.mean:.4f}" for d in expected]
    assert rows["truncated"][:2] == ["0", "0"] and 0 < float(rows["truncated"][2]) < 1e-3


def test_json_one_value_per_input_and_failures_as_objects() -> None:
    texts = ["1d100000", "1/(0^(1000d6-1000))", "2d", "10/(1d4-1) # 十", *["1d6"] * 20]
    result = kavelo("--odds", "--json", *texts)
    documents = [json.loads(line) for line in out_lines(result)]
    assert (result.returncode, result.stderr, len(documents)) == (1, b"", 24)
    assert documents[0] == odds(texts[0]).to_dict() and documents[3] == odds(texts[3]).to_dict()
    # No total has a probability above zero: no mean (JSON has no NaN).
    assert (documents[1]["pmf"], documents[1]["mean"], documents[1]["stdev"]) == (
        [[1, 0.0]],
        None,
        None,
    )
    assert (documents[2]["input"], documents[2]["code"]) == ("2d", "parse.syntax")


def test_failures_name_their_argument_and_the_rest_are_compared() -> None:
    result = kavelo("--odds", "1d4", "2d", "1d6; 1d6", "1d1!", "1d6")
    assert result.returncode == 1 and out_lines(result)[1].split() == ["total", "1d4", "1d6"]
    errors = [
        line.split(": ")[1:3]
        for line in result.stderr.decode().splitlines()
        if line.startswith("kavelo:")
    ]
    program = "[odds.program] odds() takes one expression, not a program of 2 instructions; ask for each instruction on its own"
    assert errors == [
        ["argument 2", "解析错误"],
        ["argument 3", program],
        ["argument 4", "[odds.endless] 1d1! never ends"],
    ]


def test_stdin_lines_get_a_table_each() -> None:
    result = kavelo("--odds", stdin=b"1d4\n\n1/0\n2d\n3\n")
    lines = out_lines(result)
    starts = [i for i, line in enumerate(lines) if line.startswith("expression")]
    assert [lines[i] for i in starts] == ["expression  1d4", "expression  1/0", "expression  3"]
    assert [lines[i - 1] for i in starts[1:]] == ["", ""]  # tables set apart
    assert lines[starts[1] + 1 : starts[2] - 1] == [
        "no roll gives a total",
        "fails       100.00% arithmetic.divide_by_zero",
    ]
    assert result.returncode == 1 and result.stderr.decode().startswith("kavelo: line 4: 解析错误")


def test_outcomes_held_together_are_bounded_by_max_outcomes() -> None:
    result = kavelo("--odds", "--max-outcomes", "100", "1d60", "1d60", "1d30")
    assert result.returncode == 1 and out_lines(result)[1].split() == ["total", "1d60", "1d30"]
    assert result.stderr.decode() == (
        "kavelo: argument 2: [odds.too_complex] the EXPRESSIONs shown together would "
        "have more than 100 outcomes in all: show fewer, or raise --max-outcomes\n"
    )


@pytest.mark.parametrize(
    "args, message",
    [
        *[
            ([flag, value, "1d6"], f"{flag} needs --odds")
            for flag, value in [("--plot", "a.svg"), ("--max-outcomes", "9")]
        ],
        (["--odds", "-n", "3", "1d6"], "--odds rolls nothing: it takes no -n/--times"),
        (
            ["--odds", "--stats", "1d6"],
            "--odds takes no --stats: its table has the mean, the deviation and a histogram",
        ),
        (
            ["--odds", "--limits"],
            "--limits lists the roller's limits; the odds have --tolerance, --max-outcomes and --max-work",
        ),
        (
            ["--odds", "--limit", "work_units=5", "1d6"],
            (
                "--limit sets the roller's limits, which --odds does not use: see "
                "--tolerance, --max-outcomes, --max-work"
            ),
        ),
        (
            ["--odds", "--plot", "a.svg"],
            "--plot needs EXPRESSION arguments (lines of standard input get a table each)",
        ),
        (
            ["--odds", "--plot", "chart.gif", "1d6"],
            "--plot FILE must end in .svg, .png or .pdf: 'chart.gif'",
        ),
        (
            ["--odds", "--json", "--plot", "a.svg", *["1d6"] * 17],
            (
                "--odds shows at most 16 EXPRESSIONs together (--json "
                "without --plot takes any number)"
            ),
        ),
        (["--odds", "--tolerance", "inf", "1d6"], "argument --tolerance: invalid number: 'inf'"),
        (
            ["--odds", "--max-work", "0", "1d6"],
            "argument --max-work: count must lie between 1 and 18446744073709551615: '0'",
        ),
    ],
)
def test_combinations_refused_as_usage_errors(args: list[str], message: str) -> None:
    result = kavelo(*args, stdin=b"1d6\n")
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode().endswith(f"kavelo: error: {message}\n")


@pytest.fixture
def plain_svg(tmp_path: pathlib.Path) -> dict[str, str]:
    """matplotlib made unimportable: charts are plain SVG."""
    (tmp_path / "hide" / "matplotlib").mkdir(parents=True)
    (tmp_path / "hide" / "matplotlib" / "__init__.py").write_text("raise ImportError('hidden')\n")
    return dict(
        os.environ,
        PYTHONPATH=os.pathsep.join([str(tmp_path / "hide"), os.environ.get("PYTHONPATH", "")]),
    )


def test_plot_draws_every_expression_in_one_svg(
    tmp_path: pathlib.Path, plain_svg: dict[str, str]
) -> None:
    path = tmp_path / "chart.svg"
    result = kavelo(
        "--odds",
        "--plot",
        str(path),
        "8d6!",
        "10d6",
        f"3d6 # \x1b]0;x\x07{CONTROLS}",
        env=plain_svg,
    )
    assert result.returncode == 0 and out_lines(result)[1].split()[1:3] == ["8d6!", "10d6"]
    root = ET.parse(path).getroot()
    assert len(root.findall(f"{SVG}g")) == 3 and "at least" in [
        t.text for t in root.iter(f"{SVG}text")
    ]
    assert any(
        text_of(t).startswith("3d6 # \\x1b]0;x\\x07\\x1b\\x07\\r\\x9b\\u202e\\x7f")
        for t in root.iter(f"{SVG}text")
    )


def test_plot_of_a_million_totals_stays_small(
    tmp_path: pathlib.Path, plain_svg: dict[str, str]
) -> None:
    path = tmp_path / "chart.svg"
    result = kavelo(
        "--odds", "--max-outcomes", "1000000", "--plot", str(path), "1d1000000", env=plain_svg
    )
    assert result.returncode == 0 and path.stat().st_size < 100_000
    [series] = ET.parse(path).getroot().findall(f"{SVG}g")
    assert len(attribute(child(series, f"{SVG}polyline"), "points").split()) <= 1001


def test_plot_that_cannot_be_written_is_one_line_and_status_74(tmp_path: pathlib.Path) -> None:
    target = tmp_path / "missing" / "chart.svg"
    result = kavelo("--odds", "--plot", str(target), "1d6")
    assert result.returncode == 74 and result.stdout.decode().startswith("expression  1d6")
    assert (
        result.stderr.decode()
        == f"kavelo: error: cannot write the plot '{target}': No such file or directory\n"
    )
