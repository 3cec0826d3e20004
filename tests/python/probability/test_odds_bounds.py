"""The odds' own bounds against hostile callers: the native function's argument checks
(whoever calls it), texts measured before they are encoded, and the stack and memory
of long pool chains."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import tracemalloc
from typing import Any

import pytest

import kavelo
from kavelo import _odds, odds

U64_MAX = 2**64 - 1


class Real(float):
    def __float__(self) -> float:  # never consulted: the value is read directly
        raise AssertionError("called")


class Count(int):
    def __index__(self) -> int:  # never consulted either
        raise AssertionError("called")


BAD_TOLERANCES = [
    (-1e-9, "got -1e-09"),
    (-1.0, "got -1.0"),
    (float("-inf"), "got -inf"),
    (float("inf"), "got inf"),
    (float("nan"), "got nan"),
    (0.0, "got 0.0"),
    (1.0, "got 1.0"),
    (2.5, "got 2.5"),
    (0, "got 0"),
    (-3, "got -3"),
    (10**400, "got an integer above 18446744073709551615"),
    (-(10**400), "got an integer below -9223372036854775808"),
    (2**64 - 1, "got 18446744073709551615"),
]


@pytest.mark.parametrize("tolerance,shown", BAD_TOLERANCES)
@pytest.mark.parametrize("text", ["1d6!", "1d6"])
def test_a_tolerance_out_of_range_is_refused_by_the_native_function(
    text: str, tolerance: float, shown: str
) -> None:
    message = f"[odds.invalid_argument] tolerance must lie strictly between 0 and 1: {shown}"
    with pytest.raises(ValueError) as native:
        _odds.distribution(text, tolerance, 1000, 10**6)
    assert str(native.value) == message
    with pytest.raises(ValueError) as wrapped:
        odds(text, tolerance=tolerance)
    assert str(wrapped.value) == message


BAD_COUNTS = [
    (0, "got 0"),
    (-1, "got -1"),
    (2**64, "got an integer above 18446744073709551615"),
    # Past the interpreter's limit for writing an int in decimal.
    pytest.param(10**5000, "got an integer above 18446744073709551615", id="10**5000"),
    pytest.param(-(10**5000), "got an integer below -9223372036854775808", id="-10**5000"),
    (-(2**63), "got -9223372036854775808"),
]


@pytest.mark.parametrize("value,shown", BAD_COUNTS)
@pytest.mark.parametrize("name", ["max_outcomes", "max_work"])
def test_a_count_out_of_range_is_refused_whatever_its_size(
    name: str, value: int, shown: str
) -> None:
    message = f"[odds.invalid_argument] {name} must lie between 1 and {U64_MAX}: {shown}"
    limits: dict[str, Any] = {"max_outcomes": 1000, "max_work": 10**6, name: value}
    with pytest.raises(ValueError) as native:
        _odds.distribution("1d6", 0.5, limits["max_outcomes"], limits["max_work"])
    assert str(native.value) == message
    with pytest.raises(ValueError) as wrapped:
        odds("1d6", **{name: value})
    assert str(wrapped.value) == message


@pytest.mark.parametrize(
    "args,message",
    [
        ((None, 0.5, 10, 10), "argument 'expression': 'NoneType' object cannot be converted"),
        ((b"1d6", 0.5, 10, 10), "argument 'expression': 'bytes' object cannot be converted"),
        (("1d6", True, 10, 10), "argument 'tolerance': must be a real number, not 'bool'"),
        (("1d6", "0.5", 10, 10), "argument 'tolerance': must be a real number, not 'str'"),
        (("1d6", None, 10, 10), "argument 'tolerance': must be a real number, not 'NoneType'"),
        (("1d6", 0.5, True, 10), "argument 'max_outcomes': 'bool' object cannot be interpreted"),
        (("1d6", 0.5, 10.0, 10), "argument 'max_outcomes': 'float' object cannot be interpreted"),
        (("1d6", 0.5, 10, False), "argument 'max_work': 'bool' object cannot be interpreted"),
        (("1d6", 0.5, 10, "9"), "argument 'max_work': 'str' object cannot be interpreted"),
    ],
)
def test_arguments_of_the_wrong_type(args: tuple[Any, ...], message: str) -> None:
    with pytest.raises(TypeError, match="^" + message.replace("(", r"\(")):
        _odds.distribution(*args)


@pytest.mark.parametrize("count", [0, 3, 5])
def test_the_native_function_takes_four_arguments(count: int) -> None:
    args: list[Any] = ["1d6", 0.5, 10, 10, 10]
    with pytest.raises(TypeError, match="distribution"):
        _odds.distribution(*args[:count])


def test_subclasses_are_read_as_their_values_and_the_extremes_pass() -> None:
    pmf, failures, truncated, work = _odds.distribution("1d2", Real(0.25), Count(10), Count(10**6))
    assert pmf == {1: 0.5, 2: 0.5} and failures == {} and truncated == 0.0 and work > 0
    assert odds("1d6", max_outcomes=U64_MAX, max_work=U64_MAX).pmf[6] == pytest.approx(1 / 6)
    # The smallest tolerance: the explosions are followed until their chance underflows.
    exploding = odds("1d2!", tolerance=5e-324)
    assert exploding.truncated == 0.0 and len(exploding.pmf) > 1000


HANG_CHILD = textwrap.dedent(
    """
    import sys
    from kavelo import _odds
    for tolerance in (-1.0, float("-inf"), float("nan")):
        try:
            _odds.distribution("1d6!", tolerance, 1000, 10**6)
        except ValueError as error:
            print(str(error)[:24])
    """
)


def test_a_negative_tolerance_never_reaches_the_explosions() -> None:
    # The explosion loop used to run forever on these (without the interpreter lock, so
    # Ctrl-C could not stop it): run apart, with a limit far beyond a refusal's time.
    done = subprocess.run(
        [sys.executable, "-c", HANG_CHILD], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["[odds.invalid_argument] "] * 3


@pytest.mark.parametrize(
    "text",
    [
        "1" * 20_000_000,
        "é" * 10_000_000,
        "1d6 # " + "😀" * 5_000_000,
        "1d6 # " + "x" * 70_000,
    ],
)
def test_a_text_too_long_is_measured_not_encoded(text: str) -> None:
    tracemalloc.start()
    try:
        with pytest.raises(ValueError) as computed:
            odds(text)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    with pytest.raises(ValueError) as rolled:
        kavelo.roll_dice(text)
    assert str(computed.value) == str(rolled.value)
    assert str(computed.value).startswith("[limit.source_bytes] ")
    # Slices of the text are encoded one at a time, never all of it.
    assert peak < 2 << 20


@pytest.mark.parametrize("text", ["1d6 # \ud800", "1d6 # " + "x" * 70_000 + "\udcff\udcfe"])
def test_a_lone_surrogate_fails_as_it_does_for_a_roll(text: str) -> None:
    with pytest.raises(UnicodeEncodeError) as computed:
        odds(text)
    with pytest.raises(UnicodeEncodeError) as rolled:
        kavelo.roll_dice(text)
    assert str(computed.value) == str(rolled.value)


CHAIN_CHILD = textwrap.dedent(
    """
    import json, resource, sys, threading
    import kavelo
    texts = json.loads(sys.argv[2])
    out = []
    def run():
        for text in texts:
            base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            try:
                outcome = f"result {len(kavelo.odds(text).pmf)}"
            except ValueError as error:
                outcome = str(error)
            grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) / 1024
            out.append([outcome, grown])
    threading.stack_size(int(sys.argv[1]) * 1024)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    print(json.dumps(out))
    """
)


def run_chain_child(texts: list[str], stack_kib: int) -> list[list[Any]]:
    done = subprocess.run(
        [sys.executable, "-c", CHAIN_CHILD, str(stack_kib), json.dumps(texts)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, f"child ended with {done.returncode}: {done.stderr[-500:]}"
    result: list[list[Any]] = json.loads(done.stdout)
    return result


def test_long_pool_chains_need_no_deep_stack() -> None:
    # Thousands of drops and uniques in a row: the steps are walked with a stack of their
    # own. They were walked recursively, and a 32 KiB thread crashed on them.
    texts = ["10000d6" + "dl1u" * n for n in (30, 1000, 2000)] + ["200d6!" + "kl199u" * 1000]
    # AddressSanitizer's frames carry guard zones several times their size.
    results = run_chain_child(texts, 256 if "libasan" in os.environ.get("LD_PRELOAD", "") else 32)
    assert len(results) == len(texts)
    for outcome, _ in results:
        assert outcome.startswith(("result", "[odds.")), outcome


def test_guesses_of_the_values_to_come_are_bounded_before_they_are_made() -> None:
    # Keeps of the lowest and of the highest after each unique: every step guesses how
    # many values are still to come, and the branches multiply. They were built in full
    # before anything was charged for them (387 MiB); now each one is held first.
    texts = [
        "200d1000!kl150ukh140ukl130ukh120ukl110ukh100ukl90ukh80",
        "20d1000!kl19ukh18ukl17ukh16ukl15ukh14ukl13ukh12ukl11ukh10",
    ]
    for outcome, grown in run_chain_child(texts, 1024):
        assert outcome.startswith("[odds.too_complex]"), outcome
        assert grown < 256, outcome


@pytest.mark.parametrize(
    ("text", "where"),
    [
        ("1d1000000", "max_outcomes"),
        ("100000d6", "steps"),
        ("1d99999*1d99999", "steps"),
        ("10000d6", "steps"),
        ("1d100000+1d100000", "max_outcomes"),
    ],
)
def test_the_defaults_refuse_what_a_hostile_message_could_make_expensive(
    text: str, where: str
) -> None:
    with pytest.raises(ValueError, match=r"^\[odds\.too_complex\]") as refused:
        odds(text)
    assert where in str(refused.value)
