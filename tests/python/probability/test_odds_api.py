"""kavelo.odds and the Odds class: summaries, errors, arguments and limits."""

from __future__ import annotations

import json
import math
import threading
from typing import Any

import pytest

import kavelo
from kavelo import Odds, odds


def test_two_dice_summaries() -> None:
    d = odds("2d6")
    assert list(d.pmf) == list(range(2, 13))
    assert d.probability(7) == pytest.approx(6 / 36, abs=1e-15)
    assert d.probability(1) == 0.0 and d.probability(6.5) == 0.0
    assert d.mean == pytest.approx(7.0, abs=1e-12)
    assert d.stdev == pytest.approx(math.sqrt(35 / 6), abs=1e-12)
    assert (d.min, d.max) == (2, 12)
    assert d.outcomes == list(range(2, 13))
    assert d.failures == {} and d.truncated == 0.0


@pytest.mark.parametrize(
    "x,least,most",
    [
        (2, 1.0, 1 / 36),
        (7, 21 / 36, 21 / 36),
        (12, 1 / 36, 1.0),
        (1, 1.0, 0.0),
        (13, 0.0, 1.0),
        (6.5, 21 / 36, 15 / 36),
    ],
)
def test_at_least_and_at_most(x: float, least: float, most: float) -> None:
    d = odds("2d6")
    assert d.at_least(x) == pytest.approx(least, abs=1e-15)
    assert d.at_most(x) == pytest.approx(most, abs=1e-15)


def test_tails_keep_their_accuracy() -> None:
    # The chance of 60 on 10d6 is 6^-10; summed from the top it is not lost in rounding.
    d = odds("10d6")
    assert d.at_least(60) == pytest.approx(6.0**-10, rel=1e-12)
    assert d.at_most(10) == pytest.approx(6.0**-10, rel=1e-12)


def test_large_sums_list_every_outcome() -> None:
    d = odds("1000d6")
    assert (d.min, d.max) == (1000, 6000) and len(d.pmf) == 5001
    assert d.probability(1000) >= 0.0
    assert d.mean == pytest.approx(3500, abs=1e-8)
    assert d.stdev == pytest.approx(math.sqrt(1000 * 35 / 12), rel=1e-12)


@pytest.mark.parametrize(
    "text", ["4294965d3!c37", "2^4294965d3!c37!c3", "1000d3!c3", "1000d6", "30000d2"]
)
def test_many_dice_keep_their_total_mass(text: str) -> None:
    # Summing n copies of a die multiplies the rounding of its total by n; four million
    # dice once gave a certain outcome the probability 1 + 2e-9.
    d = odds(text, max_work=400_000_000)
    assert max(d.pmf.values()) <= 1.0
    assert math.fsum([*d.pmf.values(), *d.failures.values(), d.truncated]) == pytest.approx(
        1, abs=1e-13
    )


def test_failures_and_the_total_mass() -> None:
    d = odds("10/(1d4-1)")
    assert d.failures == {"arithmetic.divide_by_zero": pytest.approx(0.25, abs=1e-15)}
    assert d.pmf == {3: pytest.approx(0.25), 5: pytest.approx(0.25), 10: pytest.approx(0.25)}
    assert d.mean == pytest.approx(6.0)  # over the rolls that give a total
    assert sum(d.pmf.values()) + sum(d.failures.values()) + d.truncated == pytest.approx(
        1, abs=1e-15
    )


def test_a_roll_that_never_gives_a_total() -> None:
    d = odds("1/0")
    assert d.pmf == {} and d.failures == {"arithmetic.divide_by_zero": 1.0}
    assert d.min is None and d.max is None and math.isnan(d.mean) and math.isnan(d.stdev)
    assert d.at_least(0) == 0.0 and d.at_most(0) == 0.0
    assert "no total" in repr(d)


def test_invalid_terms_fail_with_their_text() -> None:
    assert odds("0d6").failures == {"无效的骰子表达式: 骰子数量和面数必须大于0": 1.0}


def test_explosions_are_truncated_within_the_tolerance() -> None:
    exact = odds("1d2!")
    assert 0 < exact.truncated <= 1e-15
    loose = odds("1d2!", tolerance=1e-3)
    assert 0 < loose.truncated <= 1e-3
    assert loose.max is not None and exact.max is not None and loose.max < exact.max
    # 1d2!: 2k + 1 with probability 2^-(k+1).
    assert all(
        exact.probability(2 * k + 1) == pytest.approx(2.0 ** -(k + 1), rel=1e-12) for k in range(20)
    )


def test_comment_allowed_and_text_kept() -> None:
    d = odds("1d20+5 # attack")
    assert d.expression == "1d20+5 # attack"
    assert d.at_least(15) == pytest.approx(0.55, abs=1e-15)
    assert "1d20+5" in repr(d)


def test_to_dict_is_json() -> None:
    data = json.loads(json.dumps(odds("1d4").to_dict()))
    assert data["pmf"] == [[1, 0.25], [2, 0.25], [3, 0.25], [4, 0.25]]
    assert (
        data["min"] == 1
        and data["max"] == 4
        and data["failures"] == {}
        and data["truncated"] == 0.0
    )
    assert json.loads(json.dumps(odds("1/0").to_dict()))["mean"] is None


@pytest.mark.parametrize(
    "text,message",
    [
        ("1d6; 1d6", "[odds.program] odds() takes one expression, not a program of 2 instructions"),
        ("1d1!", "[odds.endless] 1d1! never ends: a one-sided die explodes on every face"),
        ("4d6R6", "[odds.endless] 4d6R6 can reroll without end: R6 matches every face of a d6"),
        ("2*1d6a6R6", "[odds.endless] 1d6a6R6 can reroll without end"),
        (
            "1d2147483647",
            "[odds.too_complex] one die's faces has 2147483647 outcomes, more than 100000 (max_outcomes)",
        ),
    ],
)
def test_refusals(text: str, message: str) -> None:
    with pytest.raises(ValueError) as caught:
        odds(text)
    assert str(caught.value).startswith(message)


def test_endless_term_after_a_certain_failure_is_never_reached() -> None:
    # The left operand always fails, so the right one is never rolled.
    assert odds("(1/0)+1d1!").failures == {"arithmetic.divide_by_zero": 1.0}


@pytest.mark.parametrize("text", ["2d6 x", "d6", "(" * 65 + "1" + ")" * 65, "2D6"])
def test_syntax_errors_are_those_of_a_roll(text: str) -> None:
    with pytest.raises(ValueError) as rolled:
        kavelo.roll_dice(text)
    with pytest.raises(ValueError) as computed:
        odds(text)
    assert str(computed.value) == str(rolled.value)


def test_own_limits() -> None:
    with pytest.raises(ValueError, match=r"^\[odds.too_complex\] .* \(max_work\)$"):
        odds("100d6", max_work=1000)
    with pytest.raises(ValueError, match=r"^\[odds.too_complex\] .*more than 50 \(max_outcomes\)$"):
        odds("1d100", max_outcomes=50)
    # Twenty pending left operands of 40 outcomes each, though every result is small.
    nested = "1d40*(" * 20 + "0" + ")" * 20
    assert odds(nested).pmf == {0: pytest.approx(1.0, abs=1e-14)}
    with pytest.raises(
        ValueError, match=r"^\[odds.too_complex\] the odds need more than 1200 probabilities stored"
    ):
        odds(nested, max_outcomes=100)
    assert len(odds("100d6", max_work=10**9).pmf) == 501


@pytest.mark.parametrize(
    "kwargs,error",
    [
        ({"tolerance": 0.0}, ValueError),
        ({"tolerance": 1.0}, ValueError),
        ({"tolerance": float("nan")}, ValueError),
        ({"tolerance": -1e-9}, ValueError),
        ({"tolerance": "small"}, TypeError),
        ({"tolerance": True}, TypeError),
        ({"max_outcomes": 0}, ValueError),
        ({"max_work": -1}, ValueError),
        ({"max_work": 2**64}, ValueError),
        ({"max_outcomes": 10.0}, TypeError),
        ({"max_work": True}, TypeError),
    ],
)
def test_argument_checks(kwargs: dict[str, Any], error: type[Exception]) -> None:
    with pytest.raises(error) as caught:
        odds("1d6", **kwargs)
    if error is ValueError:
        assert str(caught.value).startswith("[odds.invalid_argument] ")


def test_expression_must_be_text() -> None:
    with pytest.raises(
        TypeError,
        match="argument 'expression': 'NoneType' object cannot be converted to 'PyString'",
    ):
        odds(None)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        odds("1d6", 1e-9)  # type: ignore[call-arg]  # the limits are keyword-only
    with pytest.raises(UnicodeEncodeError):
        odds("1d6 # \ud800")


def test_odds_is_exported() -> None:
    assert kavelo.odds is odds and kavelo.Odds is Odds
    assert isinstance(odds("1d6"), Odds)


def test_threads_compute_at_once() -> None:
    # The native work runs without the interpreter lock; results stay independent.
    results: dict[int, float] = {}

    def work(i: int) -> None:
        results[i] = odds(f"{100 + i}d6").mean

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {i: pytest.approx(3.5 * (100 + i)) for i in range(4)}


SMALL_STACK_CHILD = r"""
import json, sys, threading
import kavelo
texts = ["(" * 64 + "1d6" + ")" * 64, "+".join(["1d6"] * 1000), "(" * 60 + "1d4" + "*1d2)" * 60,
         "1d6" + "kh3kl2u" * 500]
out = []
def run():
    for text in texts:
        try:
            out.append(len(kavelo.odds(text).pmf))
        except ValueError as error:
            out.append(str(error)[:40])
threading.stack_size(int(sys.argv[1]) * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(json.dumps(out))
"""


def test_deep_text_on_a_small_stack() -> None:
    # The evaluator walks the tree with its own stack, and so does the parser. Frames are
    # larger under AddressSanitizer.
    import json
    import os
    import subprocess
    import sys

    stack_kib = 256 if "libasan" in os.environ.get("LD_PRELOAD", "") else 128
    done = subprocess.run(
        [sys.executable, "-c", SMALL_STACK_CHILD, str(stack_kib)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    # 60 nested products of a d4 by a d2: 124 distinct products.
    assert json.loads(done.stdout) == [6, 5001, 124, 6]
