"""The command pointed at hostile text, as bots and scripts do with chat messages:
nothing from the input reaches the terminal raw, no input or environment makes it run
long or grow without bound, and closed or full streams end in one line and a status."""

import json
import os
import pathlib
import subprocess
import sys
from collections.abc import Callable
from types import FrameType
from typing import Any

import pytest

from kavelo.cli.stats import MAX_ROWS, Summary, stats_lines

KAVELO = [sys.executable, "-m", "kavelo"]
# What no output may hold raw: C0 but the line feed and the tab that kavelo itself
# writes, DEL, C1, and the bidirectional controls.
UNSAFE = (
    [chr(c) for c in range(0x20) if c not in (9, 10)]
    + [chr(c) for c in range(0x7F, 0xA0)]
    + [
        "\u061c",
        "\u200e",
        "\u200f",
        "\u202a",
        "\u202b",
        "\u202c",
        "\u202d",
        "\u202e",
        "\u2066",
        "\u2067",
        "\u2068",
        "\u2069",
    ]
)
HOSTILE = "\x1b]0;PWNED\x07\x1b[2J\r\x9b2J\u202e\x7f"


def kavelo(
    *args: str, stdin: bytes = b"", env: dict[str, str] | None = None, timeout: float = 60
) -> subprocess.CompletedProcess[bytes]:
    environment = dict(os.environ, **(env or {}))
    return subprocess.run(
        KAVELO + list(args),
        input=stdin,
        capture_output=True,
        check=False,
        env=environment,
        timeout=timeout,
    )


def assert_clean(*streams: bytes) -> None:
    for stream in streams:
        shown = stream.decode("utf-8")
        assert not [c for c in UNSAFE if c in shown], shown


# ---------------------------------------------------------------- escaping


@pytest.mark.parametrize(
    "args, stdin",
    [
        ([f"1d6 # {HOSTILE}"], b""),
        ([], f"1 # {HOSTILE}\n".encode()),
        ([], b"1 # \x1b]52;c;cHduZWQ=\x07\n"),
        (["--json", f"1d6 # {HOSTILE}"], b""),
        (["--json", f"2d{HOSTILE}"], b""),
        ([f"2d{HOSTILE}"], b""),  # the syntax report echoes the source line
        ([], f"2d {HOSTILE}\n".encode()),
        (["-n", "3", "--stats", f"1d1 # {HOSTILE}"], b""),
        (["-n", "3", f"1d1 # {HOSTILE}"], b""),
        (["--json", "-n", "3", "--stats", f"1d1 # {HOSTILE}"], b""),
        (["--json", "-n", "3", f"1d1 # {HOSTILE}"], b""),
        (["--limit", f"{HOSTILE}=5", "1d6"], b""),
        (["--limit", f"work_units={HOSTILE}", "1d6"], b""),
        ([f"--bogus{HOSTILE}"], b""),
        (["-n", HOSTILE, "1d6"], b""),
        (["--odds", f"1d6 # {HOSTILE}"], b""),
        (["--odds", "1d6", f"1d4 # {HOSTILE}"], b""),  # side by side
        (["--odds", "--json", f"1d6 # {HOSTILE}"], b""),
        (["--odds"], f"2d {HOSTILE}\n".encode()),
        (["--odds", "--plot", f"x{HOSTILE}.gif", "1d6"], b""),
        (["--odds", "--plot", f"/nonexistent/{HOSTILE}.svg", "1d6"], b""),
    ],
)
def test_nothing_from_the_input_is_shown_raw(args: list[str], stdin: bytes) -> None:
    result = kavelo(*args, stdin=stdin)
    assert_clean(result.stdout, result.stderr)
    assert result.stdout or result.stderr


def test_escapes_are_readable_and_json_reads_back_the_exact_text() -> None:
    comment = "a\x1b[2J\u202eb\x9b"
    plain = kavelo(f"1 # {comment}").stdout.decode()
    assert plain.splitlines()[-1] == "# a\\x1b[2J\\u202eb\\x9b"
    document = kavelo("--json", f"1 # {comment}").stdout
    assert b"\\u202e" in document and b"\\u009b" in document
    assert json.loads(document)["comment"] == comment


def test_a_carriage_return_cannot_forge_a_result_line() -> None:
    result = kavelo("1d1 # x\r3\t3d1 = 3")
    out = result.stdout.decode()
    assert out == "1\t1d1 (1) = 1\n# x\\r3\\t3d1 = 3\n"


def test_lone_surrogate_argument_is_an_error_with_its_input_escaped() -> None:
    plain = kavelo(b"1d6 # \xff".decode("utf-8", "surrogateescape"))
    assert plain.returncode == 1
    assert plain.stderr.decode().startswith(
        "kavelo: argument 1: 'utf-8' codec can't encode character '\\udcff'"
    )
    result = kavelo("--json", b"1d6 # \xff\xe2\x80\xae".decode("utf-8", "surrogateescape"))
    assert_clean(result.stdout)
    failure = json.loads(result.stdout)
    assert (failure["input"], failure["code"]) == ("1d6 # \udcff\u202e", "input.encoding")


# ---------------------------------------------------------------- bounded cost


@pytest.mark.parametrize(
    "text, samples",
    [
        ("1d2147483647*1d2147483647", 100),
        ("1d100000*1d100000", 200),
        ("1d2147483647-1d2147483647", 5000),
    ],
)
def test_histogram_of_a_wide_span_stays_small(text: str, samples: int) -> None:
    result = kavelo("-n", str(samples), "--stats", text, env={"COLUMNS": "100"})
    assert result.returncode == 0
    rows = result.stdout.decode().splitlines()[7:]
    assert 1 <= len(rows) <= 40
    assert sum(int(row.split()[1]) for row in rows) == samples


def _lines_executed(work: Callable[[], object]) -> int:
    """How many lines of Python ``work`` executes: a cost that does not depend on the
    machine's speed or load."""
    executed = 0

    def tracer(frame: FrameType, event: str, arg: object) -> Any:
        nonlocal executed
        if event == "line":
            executed += 1
        return tracer

    sys.settrace(tracer)
    try:
        work()
    finally:
        sys.settrace(None)
    return executed


@pytest.mark.parametrize("high", [2**31, 2**62, 2**200])
def test_histogram_costs_the_same_whatever_the_span(high: int) -> None:
    # Same number of totals and rows; only the span differs. Walking the span instead of
    # the counted bins would multiply the lines executed by about high / 100.
    narrow = Summary([0, 50, 100] * 5 + list(range(60)))
    wide = Summary([0, high // 2, high] * 5 + list(range(60)))
    cost_narrow = _lines_executed(lambda: stats_lines("x", narrow, 100))
    cost_wide = _lines_executed(lambda: stats_lines("x", wide, 100))
    assert len(stats_lines("x", wide, 100)) <= 7 + MAX_ROWS
    assert cost_wide <= 2 * cost_narrow


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_an_endless_line_is_refused_at_once_and_read_in_bounded_memory(
    tmp_path: pathlib.Path,
) -> None:
    # 64 MiB without a line feed, then one more text: the refusal comes first, the line
    # is skipped, the next text is rolled; memory stays far below the line's size.
    script = (
        "import sys\n"
        "chunk = b'1' * (1 << 20)\n"
        "for _ in range(64):\n"
        "    sys.stdout.buffer.write(chunk)\n"
        "sys.stdout.buffer.write(b'\\n3d1\\n')\n"
    )
    # The command's peak memory is its own VmHWM, read at its end: rusage would also
    # count the pytest process it was forked from.
    peak = tmp_path / "peak"
    command = [
        sys.executable,
        "-c",
        (
            "import sys\n"
            "from kavelo.cli import main\n"
            "status = main([])\n"
            "with open('/proc/self/status') as proc:\n"
            "    peak = next(line.split()[1] for line in proc if line.startswith('VmHWM:'))\n"
            "open(sys.argv[1], 'w').write(peak)\n"
            "sys.exit(status)\n"
        ),
        str(peak),
    ]
    producer = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE)
    assert producer.stdout is not None
    try:
        result = subprocess.run(
            command, stdin=producer.stdout, capture_output=True, timeout=120, check=False
        )
    finally:
        producer.stdout.close()
        producer.wait(timeout=60)
    assert result.returncode == 1
    assert result.stdout.decode() == "3\t3d1 (1, 1, 1) = 3\n"
    assert result.stderr.decode().startswith(
        "kavelo: line 1: [limit.source_bytes] 计算预算已耗尽: used 0, requested 65538, limit 65536"
    )
    # AddressSanitizer keeps freed memory in quarantine: the bound holds, but its peak
    # does not show it there.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert int(peak.read_text()) < 48 * 1024  # KiB, against 64 MiB in the line


@pytest.mark.parametrize("limit, accepted", [(10, b"1234567890\r\n"), (10, b"123456789 \n")])
def test_lines_up_to_the_limit_are_rolled(limit: int, accepted: bytes) -> None:
    result = kavelo("--limit", f"source_bytes={limit}", stdin=accepted + b"12345678901\n")
    assert result.stdout.decode().splitlines()[0].split("\t")[0] in ("1234567890", "123456789")
    assert "requested 11, limit 10" in result.stderr.decode()


@pytest.mark.parametrize(
    "columns", ["100000000", "2000000000", "99999999999999999999", "-5", "x", "0"]
)
def test_columns_are_clamped(columns: str) -> None:
    result = kavelo("-n", "20", "--stats", "1d1", env={"COLUMNS": columns})
    assert result.returncode == 0 and result.stderr == b""
    assert max(len(line) for line in result.stdout.decode().splitlines()) < 1000


# ---------------------------------------------------------------- streams and numbers


def test_closed_stdout_is_one_line_and_status_74() -> None:
    result = subprocess.run(
        KAVELO + ["1d6"], stderr=subprocess.PIPE, timeout=60, preexec_fn=lambda: os.close(1)
    )
    assert (result.returncode, result.stderr) == (74, b"kavelo: error: standard output is closed\n")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize(
    "args",
    [
        ["1d6"],
        ["-n", "20000", "1d6"],
        ["--json", "-n", "20000", "1d6"],
        ["--limits"],
        ["--odds", "1d6"],
        ["--odds", "1d6", "2d6"],
        ["--odds", "--json", "1d100000"],
    ],
)
def test_full_disk_is_one_line_and_status_74(args: list[str]) -> None:
    with open("/dev/full", "w") as full:
        result = subprocess.run(KAVELO + args, stdout=full, stderr=subprocess.PIPE, timeout=60)
    assert result.returncode == 74
    assert (
        result.stderr == b"kavelo: error: cannot write standard output: No space left on device\n"
    )


def test_closed_stdin_is_a_usage_error() -> None:
    result = subprocess.run(
        KAVELO, capture_output=True, timeout=60, stdin=None, preexec_fn=lambda: os.close(0)
    )
    assert result.returncode == 2
    assert result.stderr.decode().endswith(
        "kavelo: error: no EXPRESSION given and standard input is closed\n"
    )


@pytest.mark.parametrize("value", ["٥", "1_0", " 7 ", "+5", "0x10", "５", "7\n", "9" * 5000])
@pytest.mark.parametrize("option", ["--limit", "-n"])
def test_only_plain_decimal_numbers_are_taken(option: str, value: str) -> None:
    args = [option, f"work_units={value}" if option == "--limit" else value, "1d6"]
    result = kavelo(*args)
    assert result.returncode == 2 and result.stdout == b""
    assert_clean(result.stderr)


@pytest.mark.parametrize(
    "setting, message",
    [
        (
            "work_units=99999999999999999999",
            "[policy.limit_above_hard_max] work_units limit 99999999999999999999 exceeds hard maximum 50000000",
        ),
        (
            "work_units=-99999999999999999999",
            "[policy.invalid_limit] work_units limit must be non-negative",
        ),
        ("nope=99999999999999999999", "[policy.invalid_limit] unknown resource limit: nope"),
    ],
)
def test_limit_beyond_64_bits_is_refused_like_any_other(setting: str, message: str) -> None:
    result = kavelo("--limit", setting, "1d6")
    assert result.returncode == 2
    assert result.stderr.decode().endswith(f"kavelo: error: {message}\n")
