"""The kavelo command, run as a separate process through `python -m kavelo` and the
installed `kavelo` script."""

import json
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import sysconfig

import pytest

from kavelo import ResourcePolicy
from kavelo.cli import Summary, bar, histogram_rows
from project_version import VERSION

SYNTAX_GLOSS = "(syntax error at line 1, column 3: expected a number of sides after d)\n"
INVALID_DICE = "无效的骰子表达式: 骰子数量和面数必须大于0"
INVALID_DICE_GLOSS = (
    " (invalid dice: the number of dice and the number of sides must both be at least 1)"
)

# One expression shows every die's faces; a program's instructions show their details.
THREE_ONES = "3\t3d1 (1, 1, 1) = 3\n"
THREE_ONES_DETAILS = "3\t3d1 = 3 (详情: [[1], [1], [1]])\n"
SYNTAX_2D = "解析错误:  --> 1:3\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected dice_sides\n"


def _script() -> str | None:
    for folder in (sysconfig.get_path("scripts"), os.path.dirname(sys.executable)):
        path = os.path.join(folder, "kavelo")
        if os.access(path, os.X_OK):
            return path
    return shutil.which("kavelo")


MODULE = [sys.executable, "-m", "kavelo"]
SCRIPT = _script()
COMMANDS = {"module": MODULE, "script": None if SCRIPT is None else [SCRIPT]}


@pytest.fixture(params=sorted(COMMANDS))
def command(request: pytest.FixtureRequest) -> list[str]:
    found = COMMANDS[request.param]
    if found is None:
        pytest.skip("the kavelo script is not installed")
    return found


def kavelo(
    *args: str, stdin: str = "", columns: int | None = None, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[bytes]:
    environment = dict(os.environ, **(env or {}))
    if columns is not None:
        environment["COLUMNS"] = str(columns)
    return subprocess.run(
        MODULE + list(args),
        input=stdin.encode("utf-8"),
        capture_output=True,
        env=environment,
        timeout=60,
    )


def text(stream: bytes) -> str:
    return stream.decode("utf-8")


# ---------------------------------------------------------------- output


@pytest.mark.parametrize(
    "args, expected",
    [
        (["3d1"], THREE_ONES),
        (["1+2*3"], "9\t3 * 3 = 9\n"),
        (["7/-2"], "-3\t7 / -2 = -3\n"),
        (["5", "2^3"], "5\t5\n8\t2 ^ 3 = 8\n"),
        # A program's instructions each traced, its comment once.
        (["3d1; 2*2 # two rolls"], THREE_ONES + "4\t2 * 2 = 4\n# two rolls\n"),
        (["1d1+2d1kh1; 2"], "2\t1d1 (1) + 2d1kh1 (~1~, 1) = 2\n2\t2\n"),
        (["-n", "2", "3d1 # fixed"], THREE_ONES_DETAILS * 2 + "# fixed\n"),
        (["--", "-1+2d1"], "1\t-1 + 2d1 (1, 1) = 1\n"),
        (["2d1kh1 # best"], "1\t2d1kh1 (~1~, 1) = 1\n# best\n"),
    ],
)
def test_lines(command: list[str], args: list[str], expected: str) -> None:
    result = subprocess.run(command + args, capture_output=True, timeout=60)
    assert (result.returncode, text(result.stdout), result.stderr) == (0, expected, b"")


def test_random_roll_line_agrees_with_itself() -> None:
    result = kavelo("4d6kh3+2")
    total, shown = text(result.stdout).rstrip("\n").split("\t")
    match = re.fullmatch(r"4d6kh3 \((.*)\) \+ 2 = (\d+)", shown)
    assert match is not None, shown
    faces = match.group(1).split(", ")
    kept = [int(face) for face in faces if not face.startswith("~")]
    dropped = [int(face.strip("~")) for face in faces if face.startswith("~")]
    assert len(kept) == 3 and len(dropped) == 1 and dropped[0] <= min(kept)
    assert sum(kept) + 2 == int(match.group(2)) == int(total)
    assert 5 <= int(total) <= 20


@pytest.mark.parametrize(
    "args, start, inside",
    [(["-V"], f"kavelo {VERSION}\n", ""), (["--help"], "usage: kavelo", "\nexamples:\n")],
)
def test_version_and_help(args: list[str], start: str, inside: str) -> None:
    result = kavelo(*args)
    assert result.returncode == 0
    assert text(result.stdout).startswith(start) and inside in text(result.stdout)


# ---------------------------------------------------------------- JSON


@pytest.mark.parametrize(
    "args, expected",
    [
        (
            ["--json", "3d1; 2 # 混合"],
            {
                "results": [
                    {
                        "expression": "3d1",
                        "total": 3,
                        "rolls": [[1], [1], [1]],
                        "details": "3d1 = 3 (详情: [[1], [1], [1]])",
                        "comment": "",
                    },
                    {"expression": "2", "total": 2, "rolls": [], "details": "2", "comment": ""},
                ],
                "comment": "混合",
                "traces": [
                    [
                        {
                            "notation": "3d1",
                            "count": 3,
                            "sides": 1,
                            "faces": [
                                {
                                    "value": 1,
                                    "die": die,
                                    "origin": "roll",
                                    "fate": "kept",
                                    "by": None,
                                    "into": None,
                                }
                                for die in range(3)
                            ],
                            "values": [[1], [1], [1]],
                            "derived": [],
                        }
                    ],
                    [],
                ],
            },
        ),
        (
            ["--json", "-n", "2", "1d1+1 # x"],
            [
                {
                    "expression": "(1d1) + (1)",
                    "total": 2,
                    "rolls": [[1]],
                    "details": "1 + 1 = 2",
                    "comment": "x",
                }
            ]
            * 2,
        ),
        (
            ["--json", "-n", "3", "--stats", "3d1"],
            {
                "expression": "3d1",
                "samples": 3,
                "mean": 3.0,
                "stdev": 0.0,
                "min": 3,
                "max": 3,
                "counts": [[3, 3]],
            },
        ),
    ],
)
def test_json(args: list[str], expected: object) -> None:
    # An ASCII-only interpreter default must not turn the output into escapes.
    result = kavelo(*args, env={"PYTHONIOENCODING": "ascii"})
    assert result.returncode == 0
    assert result.stdout.count(b"\n") == 1
    assert json.loads(text(result.stdout)) == expected
    assert b"\\u" not in result.stdout


def test_json_one_document_per_text() -> None:
    lines = text(kavelo("--json", "1", "2d1").stdout).splitlines()
    assert [json.loads(line)["results"][0]["total"] for line in lines] == [1, 2]


# ---------------------------------------------------------------- limits


def test_limits_table_shows_current_and_hard_values() -> None:
    lines = text(
        kavelo("--limits", "--limit", "work_units=10", "--limit", "trace_nodes=0").stdout
    ).splitlines()
    assert lines[0].split() == ["name", "limit", "hard", "maximum"]
    rows = [line.split() for line in lines[1:]]
    expected = ResourcePolicy().with_limit("work_units", 10).with_limit("trace_nodes", 0)
    hard = expected.hard_limits()
    assert rows == [
        [name, str(value), str(hard[name])] for name, value in expected.limits().items()
    ]
    assert len({len(line) for line in lines}) == 1  # aligned columns


def test_limits_as_json() -> None:
    shown = json.loads(text(kavelo("--limits", "--json", "--limit", "ast_nodes=65536").stdout))
    policy = ResourcePolicy().with_limit("ast_nodes", 65536)
    assert shown == {"limits": policy.limits(), "hard_limits": policy.hard_limits()}
    assert list(shown["limits"]) == list(policy.limits())


@pytest.mark.parametrize(
    "args, stderr",
    [
        (
            ["--limit", "generated_values=2", "3d1"],
            (
                "kavelo: argument 1: [limit.generated_values] 计算预算已耗尽: 最多生成 2 个骰子结果; "
                "used 2, requested 1 (limit reached: at most 2 faces are rolled (generated_values); "
                "used 2, requested 1)\n"
            ),
        ),
        # The last of two settings of one limit wins.
        (
            ["--limit", "source_items=1", "--limit", "source_items=2", "3d1"],
            (
                "kavelo: argument 1: [limit.source_items] 计算预算已耗尽: used 0, requested 3, limit 2 "
                "(limit reached: source_items used 0, requested 3, limit 2)\n"
            ),
        ),
        # Samples are split into requests, but not below one sample each.
        (
            ["--limit", "batch_samples=0", "-n", "2", "1d1"],
            (
                "kavelo: argument 1: [limit.batch_samples] 计算预算已耗尽: used 0, requested 1, limit 0 "
                "(limit reached: batch_samples used 0, requested 1, limit 0)\n"
            ),
        ),
    ],
)
def test_limit_applies_to_the_roll(args: list[str], stderr: str) -> None:
    result = kavelo(*args)
    assert (result.returncode, result.stdout, text(result.stderr)) == (1, b"", stderr)


@pytest.mark.parametrize(
    "setting, message",
    [
        ("WORK_UNITS=5", "[policy.invalid_limit] unknown resource limit: WORK_UNITS"),
        (
            "ast_nodes=65537",
            "[policy.limit_above_hard_max] ast_nodes limit 65537 exceeds hard maximum 65536",
        ),
        ("work_units=-1", "[policy.invalid_limit] work_units limit must be non-negative"),
        ("work_units", "argument --limit: expected NAME=VALUE: 'work_units'"),
        ("work_units=ten", "argument --limit: invalid limit value: 'work_units=ten'"),
    ],
)
def test_bad_limit_is_a_usage_error(setting: str, message: str) -> None:
    result = kavelo("--limit", setting, "1d6")
    assert result.returncode == 2
    assert text(result.stderr).startswith("usage: kavelo")
    assert text(result.stderr).endswith(f"kavelo: error: {message}\n")


# ---------------------------------------------------------------- statistics


@pytest.mark.parametrize("columns", [30, 60, 200])
def test_stats_of_a_fixed_roll(columns: int) -> None:
    result = kavelo("-n", "50", "--stats", "3d1", columns=columns)
    lines = text(result.stdout).splitlines()
    assert lines[:7] == [
        "expression  3d1",
        "samples     50",
        "mean        3.0000",
        "stdev       0.0000",
        "min         3",
        "max         3",
        "",
    ]
    assert len(lines) == 8
    prefix = "3  50 100.00% "
    assert lines[7].startswith(prefix)
    blocks = lines[7][len(prefix) :]
    assert blocks == "█" * len(blocks)
    # The full bar reaches one column short of the terminal's width, and is never
    # shorter than ten cells.
    assert len(blocks) == max(10, columns - 1 - len(prefix))


def test_stats_of_a_random_roll() -> None:
    result = kavelo("-n", "2000", "--stats", "2d6", columns=70)
    lines = text(result.stdout).splitlines()
    summary = dict(line.split(None, 1) for line in lines[:6])
    rows = [line.split() for line in lines[7:]]
    values = [int(row[0]) for row in rows]
    counts = [int(row[1]) for row in rows]
    assert values == sorted(values) and set(values) <= set(range(2, 13))
    assert sum(counts) == int(summary["samples"]) == 2000
    assert (int(summary["min"]), int(summary["max"])) == (values[0], values[-1])
    mean = sum(v * c for v, c in zip(values, counts, strict=True)) / 2000
    assert float(summary["mean"]) == pytest.approx(mean, abs=5e-5)
    assert 6.5 < mean < 7.5
    # The most frequent totals draw the full bar, one column short of the width.
    widths = [len(line) for line in lines[7:]]
    assert max(widths) == 69
    assert {w for w, c in zip(widths, counts, strict=True) if c == max(counts)} == {69}


@pytest.mark.parametrize(
    "totals, labels, row_counts",
    [
        ([1, 1, 2, 5], ["1", "2", "5"], [2, 1, 1]),  # distinct values, gaps not drawn
        (list(range(1, 101)), [f"{i}..{i + 3}" for i in range(1, 101, 4)], [4] * 25),
        (
            list(range(1, 102)),
            [f"{i}..{i + 2}" for i in range(1, 100, 3)] + ["100..101"],
            [3] * 33 + [2],
        ),
        (list(range(41)), [f"{i}..{i + 1}" for i in range(0, 40, 2)] + ["40"], [2] * 20 + [1]),
        (
            list(range(50)) + [200],
            [f"{i}..{i + 5}" for i in range(0, 198, 6)] + ["198..200"],
            [6] * 8 + [2] + [0] * 24 + [1],
        ),
    ],
)
def test_histogram_rows(totals: list[int], labels: list[str], row_counts: list[int]) -> None:
    rows = histogram_rows(Summary(totals))
    assert [label for label, _ in rows] == labels
    assert [count for _, count in rows] == row_counts


@pytest.mark.parametrize(
    "count, largest, width, expected",
    [(8, 8, 5, "█████"), (4, 8, 5, "██▌"), (1, 1000, 5, "▏"), (0, 8, 5, ""), (7, 8, 1, "▉")],
)
def test_bar(count: int, largest: int, width: int, expected: str) -> None:
    assert bar(count, largest, width) == expected


@pytest.mark.parametrize(
    "totals, mean, stdev",
    [
        ([3, 3, 3], 3.0, 0.0),
        ([1, 2, 3, 4], 2.5, 1.118033988749895),
        ([2**62, -(2**62)], 0.0, 2.0**62),
    ],
)
def test_summary(totals: list[int], mean: float, stdev: float) -> None:
    summary = Summary(totals)
    assert summary.mean == pytest.approx(mean) and summary.stdev == pytest.approx(stdev)
    assert (summary.minimum, summary.maximum, summary.samples) == (
        min(totals),
        max(totals),
        len(totals),
    )


# ---------------------------------------------------------------- standard input


def test_stdin_one_text_per_line(command: list[str]) -> None:
    result = subprocess.run(
        command,
        input=b"3d1\n\n   \r\n1+2*3 # nine\r\n5",
        capture_output=True,
        timeout=60,
    )
    assert (result.returncode, text(result.stdout), result.stderr) == (
        0,
        THREE_ONES + "9\t3 * 3 = 9\n# nine\n5\t5\n",
        b"",
    )


def test_stdin_goes_on_after_a_failed_line() -> None:
    result = kavelo(stdin="2d\n3d1\n")
    assert (result.returncode, text(result.stdout), text(result.stderr)) == (
        1,
        THREE_ONES,
        "kavelo: line 1: " + SYNTAX_2D + SYNTAX_GLOSS,
    )


def test_arguments_win_over_stdin() -> None:
    assert text(kavelo("5", stdin="3d1\n").stdout) == "5\t5\n"


# ---------------------------------------------------------------- exit statuses


@pytest.mark.parametrize(
    "args, stderr",
    [
        (["2d"], SYNTAX_2D + SYNTAX_GLOSS),
        (["1/0"], "[arithmetic.divide_by_zero] 除零错误 (division by zero)\n"),
        (["2^-1"], "[arithmetic.invalid_exponent] exponent -1 must fit unsigned 32-bit range\n"),
        (["0d6"], INVALID_DICE + INVALID_DICE_GLOSS + "\n"),
        (
            ["-n", "2", "1d6; 1d6"],
            (
                "解析错误: roll() 只接受一条指令；多条指令请使用 run() "
                "(-n rolls one expression, not a program of several)\n"
            ),
        ),
        (
            ["-n", "2", "1d1!"],
            (
                "[limit.generated_values] 计算预算已耗尽: 最多生成 10000 个骰子结果; "
                "used 10000, requested 1 (limit reached: at most 10000 faces are rolled "
                "(generated_values); used 10000, requested 1)\n"
            ),
        ),
    ],
)
def test_roll_failure_exits_1_with_the_message(
    command: list[str], args: list[str], stderr: str
) -> None:
    result = subprocess.run(command + args, capture_output=True, timeout=60)
    assert (result.returncode, result.stdout, text(result.stderr)) == (
        1,
        b"",
        "kavelo: argument 1: " + stderr,
    )


def test_failure_does_not_stop_later_arguments() -> None:
    result = kavelo("1/0", "3d1")
    assert (result.returncode, text(result.stdout)) == (1, THREE_ONES)
    assert (
        text(result.stderr)
        == "kavelo: argument 1: [arithmetic.divide_by_zero] 除零错误 (division by zero)\n"
    )


@pytest.mark.parametrize(
    "args, message",
    [
        (["--stats", "1d6"], "--stats needs -n/--times"),
        (["-n", "0", "1d6"], "argument -n/--times: count must be at least 1: '0'"),
        (["-n", "many", "1d6"], "argument -n/--times: invalid count: 'many'"),
        (["--limits", "1d6"], "--limits takes no EXPRESSION"),
        (["--bogus", "1d6"], "unrecognized arguments: --bogus"),
        (["-2d6"], "unrecognized arguments: -2d6"),
    ],
)
def test_usage_error_exits_2(command: list[str], args: list[str], message: str) -> None:
    result = subprocess.run(command + args, capture_output=True, timeout=60)
    assert result.returncode == 2
    assert result.stdout == b""
    assert text(result.stderr).startswith("usage: kavelo ")
    assert text(result.stderr).endswith(f"kavelo: error: {message}\n")


def test_no_expression_on_a_terminal_is_a_usage_error() -> None:
    controller, terminal = pty.openpty()
    try:
        result = subprocess.run(MODULE, stdin=terminal, capture_output=True, timeout=60)
    finally:
        os.close(controller)
        os.close(terminal)
    assert result.returncode == 2
    assert text(result.stderr).endswith(
        "kavelo: error: no EXPRESSION given and standard input is a terminal\n"
    )


def test_interrupt_while_reading_stdin_exits_130_quietly(command: list[str]) -> None:
    # A shell that starts jobs in the background hands them SIGINT ignored, and Python
    # then keeps it ignored: give the command the default handling whatever ran pytest.
    process = subprocess.Popen(
        command,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    assert process.stdin is not None and process.stdout is not None
    try:
        process.stdin.write(b"3d1\n")
        process.stdin.flush()
        # Once the answer is out the process is waiting for the next line.
        assert text(process.stdout.readline()) == THREE_ONES
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=30)
    finally:
        process.kill()
    assert (process.returncode, out, err) == (130, b"", b"")


def test_closed_output_ends_quietly() -> None:
    process = subprocess.Popen(
        MODULE + ["-n", "5000", "1d1"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert process.stdout is not None and process.stderr is not None
    try:
        assert process.stdout.readline() == b"1\t1d1 = 1 (\xe8\xaf\xa6\xe6\x83\x85: [[1]])\n"
        process.stdout.close()
        err = process.stderr.read()
        process.wait(timeout=30)
    finally:
        process.kill()
    assert (process.returncode, err) == (141, b"")


# ---------------------------------------------------------------- traces


def on_terminal(*args: str, env: dict[str, str] | None = None) -> str:
    """The command's standard output when it is a terminal."""
    controller, terminal = pty.openpty()
    try:
        environment = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
        environment.update(env or {})
        result = subprocess.run(
            MODULE + list(args),
            stdout=terminal,
            stderr=subprocess.PIPE,
            env=environment,
            timeout=60,
        )
        assert result.returncode == 0, result.stderr
        return os.read(controller, 65536).decode().replace("\r\n", "\n")
    finally:
        os.close(controller)
        os.close(terminal)


@pytest.mark.parametrize(
    "env, expected",
    [
        (None, "1\t2d1kh1 (\x1b[2;9m1\x1b[0m, \x1b[1m1\x1b[0m) = \x1b[1m1\x1b[0m\n"),
        ({"NO_COLOR": "1"}, "1\t2d1kh1 (~1~, 1) = 1\n"),
    ],
)
def test_terminal_shows_the_ansi_form_unless_no_color(
    env: dict[str, str] | None, expected: str
) -> None:
    assert on_terminal("2d1kh1", env=env) == expected


def test_json_adds_the_trace_of_one_expression() -> None:
    result = kavelo("--json", "2d1kh1+1 # best")
    document = json.loads(text(result.stdout))
    assert document["results"] == [
        {
            "expression": "(2d1) + (1)",
            "total": 2,
            "rolls": [[1]],
            "details": "1 + 1 = 2",
            "comment": "",
        }
    ]
    assert document["comment"] == "best"
    assert document["trace"] == [
        {
            "notation": "2d1kh1",
            "count": 2,
            "sides": 1,
            "values": [[1]],
            "faces": [
                {
                    "value": 1,
                    "die": 0,
                    "origin": "roll",
                    "fate": "dropped",
                    "by": "kh1",
                    "into": None,
                },
                {"value": 1, "die": 1, "origin": "roll", "fate": "kept", "by": None, "into": None},
            ],
            "derived": [],
        }
    ]
    # A program has a list of terms per instruction, under "traces".
    program = json.loads(text(kavelo("--json", "2d1; 1").stdout))
    assert "trace" not in program and [len(terms) for terms in program["traces"]] == [1, 0]
