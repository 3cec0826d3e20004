"""The command line for players and scripts: any number of samples under the default
limits, failures that name their input, one JSON value per input, English glosses of
the Chinese error texts, and the help. Run as separate processes, like test_cli.py."""

import itertools
import json
import os
import random
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kavelo import ResourcePolicy
from kavelo.cli import Summary, build_parser, histogram_rows, row_width
from kavelo.cli.glossary import error_code, gloss
from kavelo.cli.progress import delay_from
from kavelo.cli.stats import MAX_BINS

KAVELO = [sys.executable, "-m", "kavelo"]


def kavelo(
    *args: str, stdin: bytes = b"", env: dict[str, str] | None = None, timeout: float = 120
) -> subprocess.CompletedProcess[bytes]:
    environment = dict(os.environ, **(env or {}))
    return subprocess.run(
        KAVELO + list(args), input=stdin, capture_output=True, env=environment, timeout=timeout
    )


def lines(stream: bytes) -> list[str]:
    return stream.decode("utf-8").splitlines()


# ---------------------------------------------------------------- samples in requests


@pytest.mark.parametrize(
    "args, samples",
    [
        # 2 output items a sample: 5000 fit in one request under the defaults.
        (["-n", "1000000", "--stats", "1d20"], 1000000),
        # 4 output items a sample: 2500 fit in one request.
        (["-n", "2501", "--stats", "3d6"], 2501),
        (["-n", "10000", "--stats", "1d20"], 10000),
        # Explosions cost a varying number of faces a sample.
        (["-n", "30000", "--stats", "5d2!"], 30000),
    ],
)
def test_stats_of_any_size_under_the_default_limits(args: list[str], samples: int) -> None:
    result = kavelo(*args, env={"COLUMNS": "80"})
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""
    out = lines(result.stdout)
    assert out[1] == f"samples     {samples}"
    assert sum(int(row.split()[1]) for row in out[7:]) == samples


def test_json_stats_of_many_samples_count_them_all() -> None:
    result = kavelo("--json", "-n", "12345", "--stats", "1d6")
    summary = json.loads(result.stdout)
    assert result.returncode == 0 and summary["samples"] == 12345
    assert [value for value, _ in summary["counts"]] == [1, 2, 3, 4, 5, 6]
    assert sum(count for _, count in summary["counts"]) == 12345


@pytest.mark.parametrize("json_output", [False, True])
def test_samples_beyond_one_request_are_all_printed(json_output: bool) -> None:
    args = ["-n", "12001", "3d1 # x"]
    result = kavelo(*(["--json"] if json_output else []), *args)
    assert result.returncode == 0, result.stderr
    if json_output:
        [document] = lines(result.stdout)
        samples = json.loads(document)
        assert len(samples) == 12001 and {s["total"] for s in samples} == {3}
    else:
        out = lines(result.stdout)
        assert out[-1] == "# x" and len(out) == 12002


@pytest.mark.parametrize(
    "args, message",
    [
        # One sample alone passes the limit: the error of the expression itself.
        (
            ["-n", "50", "1d1!"],
            "[limit.generated_values] 计算预算已耗尽: 最多生成 10000 个骰子结果; used 10000, requested 1",
        ),
        (
            ["-n", "5", "--limit", "output_items=1", "1d1"],
            "[limit.output_items] 计算预算已耗尽: used 0, requested 2, limit 1",
        ),
        # An error that does not depend on the size of the request is not retried.
        (["-n", "20000", "1d6/0"], "[arithmetic.divide_by_zero] 除零错误"),
    ],
)
def test_samples_that_cannot_fit_fail_with_the_roll_error(args: list[str], message: str) -> None:
    result = kavelo("--json", *args)
    assert result.returncode == 1
    [document] = lines(result.stdout)
    assert json.loads(document)["error"] == message


# ---------------------------------------------------------------- naming the input


def test_stdin_failure_names_its_line() -> None:
    result = kavelo(stdin=b"1d6\n\n1d0\n2d8\n")
    assert result.returncode == 1
    assert len(lines(result.stdout)) == 2
    assert result.stderr.decode() == (
        "kavelo: line 3: 无效的骰子表达式: 骰子数量和面数必须大于0 "
        "(invalid dice: the number of dice and the number of sides must both be at least 1)\n"
    )


def test_argument_failure_names_its_position() -> None:
    result = kavelo("1d6", "2", "1/0")
    assert lines(result.stderr) == [
        "kavelo: argument 3: [arithmetic.divide_by_zero] 除零错误 (division by zero)"
    ]


@pytest.mark.parametrize("source", ["stdin", "arguments"])
def test_json_gives_one_value_per_input(source: str) -> None:
    texts = ["1d1", "2d", "2d1", "1d0", "\udcff", "1/0 # z"]
    if source == "stdin":
        # An undecodable byte read from standard input becomes U+FFFD: a syntax error.
        result = kavelo("--json", stdin="\n".join(texts).encode("utf-8", "surrogateescape"))
        fifth = ("\ufffd", "parse.syntax")
    else:
        # The same byte in an argument reaches the roller as a lone surrogate.
        result = kavelo("--json", *texts)
        fifth = ("\udcff", "input.encoding")
    assert result.returncode == 1 and result.stderr == b""
    documents = [json.loads(line) for line in lines(result.stdout)]
    assert len(documents) == len(texts)
    assert [documents[i]["results"][0]["total"] for i in (0, 2)] == [1, 2]
    failures = [(d["input"], d["code"]) for d in documents[1::2]] + [
        (documents[4]["input"], documents[4]["code"])
    ]
    assert failures == [
        ("2d", "parse.syntax"),
        ("1d0", "dice.not_positive"),
        ("1/0 # z", "arithmetic.divide_by_zero"),
        fifth,
    ]
    assert documents[3]["error"] == "无效的骰子表达式: 骰子数量和面数必须大于0"


# ---------------------------------------------------------------- glosses


#: One text for each Chinese error text the roller gives under the default limits.
GLOSSED_TEXTS = [
    "2d",
    "9223372036854775808",
    "2147483648d6",
    "2d2147483648",
    "4d6K99999999999",
    "4d6r99999999999",
    "4d6ro99999999999",
    "4d6R99999999999",
    "4d6a99999999999",
    "4d6kh99999999999",
    "4d6kl99999999999",
    "4d6dh99999999999",
    "4d6dl99999999999",
    "4d6c99999999999",
    "0d6",
    "1/0",
    "10001d6",
    "1d1!",
    ";".join(["1"] * 1001),
]


@pytest.mark.parametrize("text", GLOSSED_TEXTS)
def test_every_chinese_error_text_has_a_gloss_and_a_code(text: str) -> None:
    from kavelo import Kavelo

    with pytest.raises(ValueError) as raised:
        Kavelo(ResourcePolicy()).run(text)
    message = str(raised.value)
    assert gloss(message), message
    assert error_code(raised.value) != "error"


def test_the_command_line_says_what_kavelo_explain_says() -> None:
    from kavelo import Kavelo, explain

    for text in GLOSSED_TEXTS:
        with pytest.raises(ValueError) as raised:
            Kavelo().run(text)
        why = explain(raised.value)
        glossed = gloss(str(raised.value))
        if glossed is not None:
            assert glossed == why.message.split("\n")[0], text
        assert error_code(raised.value) == why.code, text
    # The one text the command line words its own way: it has no roll() or run().
    with pytest.raises(ValueError) as raised:
        Kavelo().roll_multiple("1d6; 1d6", 2)
    assert explain(raised.value).code == "parse.one_instruction"
    assert gloss(str(raised.value)) == "-n rolls one expression, not a program of several"


@pytest.mark.parametrize(
    "message, expected",
    [
        # English texts need none.
        ("[arithmetic.overflow] checked i64 overflow during addition", None),
        ("[odds.program] odds() takes one expression, not a program of 2 instructions", None),
        (
            "[limit.work_units] 计算预算已耗尽: used 4, requested 1, limit 4",
            "limit reached: work_units used 4, requested 1, limit 4",
        ),
        (
            "[limit.parsed_instructions] 程序指令数量超过限制: 最多 1000 条",
            "limit reached: a program has at most 1000 instructions (parsed_instructions)",
        ),
        ("解析错误: 无效数字x", None),  # whole texts only
        ("1d6", None),
    ],
)
def test_gloss_lookup(message: str, expected: str | None) -> None:
    assert gloss(message) == expected


# ---------------------------------------------------------------- help


def test_help_explains_arithmetic_and_every_exit_status() -> None:
    out = kavelo("--help").stdout.decode()
    assert "left to right" in out and "(2d6+1d4)*2" in out
    statuses = out.split("exit status:", 1)[1]
    for status in ("0", "1", "2", "74", "130", "141"):
        assert f"\n  {status} " in statuses
    assert all(flag in out for action in build_parser()._actions for flag in action.option_strings)


# ---------------------------------------------------------------- histogram cost


def _brute_width(span: int, max_rows: int = 40) -> int:
    width = -(-span // max_rows)
    return next((w for w in range(width, 2 * width + 1) if span % w == 0), width)


@settings(deadline=None)  # a loaded machine must not fail it
@given(st.integers(min_value=1, max_value=200000))
def test_row_width_matches_the_search_over_every_width(span: int) -> None:
    assert row_width(span) == _brute_width(span)


@pytest.mark.parametrize("span", [2**31, 2**62, 2**64 + 13, 4611686014132420609])
def test_row_width_of_huge_spans(span: int) -> None:
    width = row_width(span)
    smallest = -(-span // 40)
    assert smallest <= width <= 2 * smallest
    assert -(-span // width) <= 40


def test_folded_summary_keeps_exact_totals_and_row_counts() -> None:
    rng = random.Random(7)
    totals = [rng.randrange(-(2**40), 2**40) for _ in range(3 * MAX_BINS)] + [5, 5]
    summary = Summary()
    for start in range(0, len(totals), 5000):
        summary.add(totals[start : start + 5000])
    assert summary.shift > 0 and len(summary.bins) <= MAX_BINS
    assert (summary.minimum, summary.maximum, summary.samples) == (
        min(totals),
        max(totals),
        len(totals),
    )
    assert summary.mean == pytest.approx(sum(totals) / len(totals))
    rows = histogram_rows(summary)
    assert len(rows) <= 40 and sum(count for _, count in rows) == len(totals)
    # Each row's count is the number of totals inside its label's range.
    for label, count in rows:
        low, _, high = label.partition("..")
        low_value, high_value = int(low), int(high or low)
        assert count == sum(low_value <= t <= high_value for t in totals)


# ---------------------------------------------------------------- progress


def _stderr_seen(args: list[str], env: dict[str, str], terminal: bool) -> tuple[int, str, str]:
    """Runs the command with standard error on a pseudo-terminal (or a pipe); returns
    the exit status, standard output and what standard error showed."""
    import pty

    environment = dict(os.environ, COLUMNS="80", **env)
    if not terminal:
        result = subprocess.run(KAVELO + args, capture_output=True, env=environment, timeout=300)
        return result.returncode, result.stdout.decode(), result.stderr.decode()
    controller, end = pty.openpty()
    try:
        result = subprocess.run(
            KAVELO + args, stdout=subprocess.PIPE, stderr=end, env=environment, timeout=300
        )
        os.close(end)
        end = -1
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
        if end >= 0:
            os.close(end)
    return result.returncode, result.stdout.decode(), shown.decode("utf-8")


@pytest.mark.parametrize(
    "terminal, delay, shown",
    [(True, "0", True), (False, "0", False), (True, "3600", False)],
)
def test_progress_bar_only_on_a_terminal_after_its_delay_and_erased_at_the_end(
    terminal: bool, delay: str, shown: bool
) -> None:
    # The delay comes from the environment, so the bar does not depend on how fast the
    # machine finishes the work: 0 shows it from the first request, an hour never.
    status, out, err = _stderr_seen(
        ["-n", "30000", "--stats", "1d6"], {"KAVELO_PROGRESS_DELAY": delay}, terminal
    )
    assert status == 0
    assert out.splitlines()[1] == "samples     30000"
    if shown:
        assert "%" in err and "/30000 1d6" in err
        assert err.endswith("\r\x1b[K")
    else:
        assert err == ""


@pytest.mark.parametrize(
    "text, seconds",
    [(None, 1.0), ("0", 0.0), ("2.5", 2.5), ("-1", 1.0), ("nan", 1.0), ("inf", 1.0), ("x", 1.0)],
)
def test_progress_delay_from_the_environment(text: str | None, seconds: float) -> None:
    environ = {} if text is None else {"KAVELO_PROGRESS_DELAY": text}
    assert delay_from(environ) == seconds


def test_folded_summary_as_json_gives_bins_that_cover_every_total() -> None:
    totals = list(range(0, 4 * MAX_BINS, 3)) + [-7]
    summary = Summary(totals)
    data = summary.to_dict("x")
    assert "counts" not in data and summary.shift > 0
    bins = data["bins"]
    assert bins[0][0] == -7 and bins[-1][1] == max(totals)
    assert all(low <= high for low, high, _ in bins)
    assert all(previous[1] < following[0] for previous, following in itertools.pairwise(bins))
    assert sum(count for _, _, count in bins) == len(totals)
    with pytest.raises(ValueError):
        _ = summary.counts
