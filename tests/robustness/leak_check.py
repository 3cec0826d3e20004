"""Reference and memory leak check, in the manner of CPython's -R runs.

Every entry point, on success and on every error path (parse errors, each limit that
something charges or checks, binding and conversion errors, "Already borrowed"), is one
case. A case runs warm-up rounds, then counted rounds of a few thousand calls; after
each round the collector runs and sys.getallocatedblocks() and the resident set size
are read. A case leaks when a measure grew in every counted round. Results use values
above 256, which are new int objects each time: a leaked reference to a cached small
int would go unseen.

    python tests/robustness/leak_check.py                      # CI size
    python tests/robustness/leak_check.py --calls 20000 --rounds 8
"""

import argparse
import gc
import sys
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import TypeVar

from common import check_module_origin, policy_with, rss_bytes
from kavelo import Kavelo, ResourcePolicy, roll_dice, roll_simple, run_program

POLICY = ResourcePolicy().with_limit("work_units", 500000)
ROLLER = Kavelo(POLICY)

# One case: a call of the module with the checks of what it returned or raised.
Case = Callable[[], None]
Result = TypeVar("Result")


def tight(**limits: int) -> Kavelo:
    return Kavelo(policy_with(**limits))


def expect(call: Callable[[], Result], check: Callable[[Result], object]) -> Case:
    def case() -> None:
        check(call())

    return case


def expect_error(call: Callable[[], object], error: type[BaseException], starts: str = "") -> Case:
    def case() -> None:
        try:
            call()
        except error as exc:
            if type(exc) is not error or not str(exc).startswith(starts):
                raise AssertionError(f"unexpected {type(exc).__name__}: {exc}") from None
        else:
            raise AssertionError(f"no {error.__name__}")

    return case


def big_total(result: Mapping[str, object]) -> None:
    assert isinstance(result["total"], int) and result["total"] > 256, result


def big_totals(results: Iterable[Mapping[str, object]]) -> None:
    for result in results:
        big_total(result)


def is_int_above_256(value: object) -> None:
    assert isinstance(value, int) and value > 256, value


def int_total(result: Mapping[str, object]) -> None:
    assert isinstance(result["total"], int), result


class CallsBack:
    """A modifiers sequence whose iteration calls back into the roller iterating it."""

    def __init__(self, roller: Kavelo, catch: bool) -> None:
        self.roller, self.catch = roller, catch

    def __len__(self) -> int:
        return 1

    def __getitem__(self, index: int) -> str:
        if index > 0:
            raise IndexError(index)
        if not self.catch:
            self.roller.roll("1d6")  # RuntimeError leaves through the conversion
        try:
            self.roller.roll("1d6")
        except RuntimeError as exc:
            assert str(exc) == "Already borrowed"
        return "kh3"


def limit_error(roller: Kavelo, method: str, *args: object, resource: str) -> Case:
    return expect_error(lambda: getattr(roller, method)(*args), ValueError, f"[limit.{resource}]")


class LengthFails:
    """A modifier sequence whose length hint raises `error`."""

    def __init__(self, error: type[BaseException]) -> None:
        self.error = error

    def __len__(self) -> int:
        raise self.error("length")

    def __getitem__(self, i: int) -> str:
        if i > 0:
            raise IndexError
        return "kh2"


def cases() -> Iterator[tuple[str, Case]]:
    roller = ROLLER
    policy = POLICY
    yield from [
        # Successes, every entry point.
        ("roll_dice", expect(lambda: roll_dice("3d1000+1000 # note"), big_total)),
        (
            "run_program",
            expect(
                lambda: run_program("3d1000+300; 2d1000+999 # c"),
                lambda r: big_totals(r["results"]),
            ),
        ),
        ("roll_simple", expect(lambda: roll_simple(300, 1000), is_int_above_256)),
        ("Kavelo()", expect(lambda: Kavelo(policy), lambda r: None)),
        ("Kavelo.roll", expect(lambda: roller.roll("4d1000kh3+300"), big_total)),
        (
            "Kavelo.run",
            expect(lambda: roller.run("2d1000+300;1d1000*300"), lambda r: big_totals(r["results"])),
        ),
        ("Kavelo.roll_multiple", expect(lambda: roller.roll_multiple("2d1000+300", 5), big_totals)),
        ("Kavelo.roll_simple", expect(lambda: roller.roll_simple(300, 1000), is_int_above_256)),
        (
            "Kavelo.roll_with_modifiers list",
            expect(lambda: roller.roll_with_modifiers(6, 1000, ["!", "r300", "kh3"]), int_total),
        ),
        (
            "Kavelo.roll_with_modifiers tuple",
            expect(lambda: roller.roll_with_modifiers(6, 1000, ("ro300", "dl1", "dh1")), int_total),
        ),
        ("ResourcePolicy()", expect(ResourcePolicy, lambda r: None)),
        (
            "ResourcePolicy.with_limit",
            expect(lambda: policy.with_limit("work_units", 123456), lambda p: None),
        ),
        ("ResourcePolicy.limits", expect(policy.limits, lambda d: len(d) == 17)),
        ("ResourcePolicy.hard_limits", expect(policy.hard_limits, lambda d: len(d) == 17)),
        # Errors of the language and of evaluation.
        ("parse error", expect_error(lambda: roll_dice("2d6 x"), ValueError, "解析错误")),
        ("parse error program", expect_error(lambda: run_program("1d6;"), ValueError, "解析错误")),
        (
            "one instruction only",
            expect_error(lambda: roller.roll("1d6;2d6"), ValueError, "解析错误"),
        ),
        (
            "builder conversion",
            expect_error(lambda: roll_dice("2147483648d6"), ValueError, "解析错误"),
        ),
        ("invalid dice", expect_error(lambda: roll_dice("0d6"), ValueError, "无效的骰子表达式")),
        (
            "division by zero",
            expect_error(lambda: roll_dice("1000/0"), ValueError, "[arithmetic.divide_by_zero]"),
        ),
        (
            "overflow",
            expect_error(
                lambda: roll_dice("9223372036854775807+1000"), ValueError, "[arithmetic.overflow]"
            ),
        ),
        (
            "invalid exponent",
            expect_error(lambda: roll_dice("2^-1000"), ValueError, "[arithmetic.invalid_exponent]"),
        ),
        # Each limit that something charges or checks.
        (
            "limit source_bytes",
            limit_error(tight(source_bytes=10), "roll", "1+1+1+1+1+1+1", resource="source_bytes"),
        ),
        (
            "limit parse_depth",
            limit_error(tight(parse_depth=2), "roll", "(((1000)))", resource="parse_depth"),
        ),
        (
            "limit ast_nodes",
            limit_error(tight(ast_nodes=3), "roll", "1000+2000+3000", resource="ast_nodes"),
        ),
        (
            "limit parsed_instructions",
            limit_error(
                tight(parsed_instructions=2),
                "run",
                "1000;2000;3000",
                resource="parsed_instructions",
            ),
        ),
        (
            "limit executed_instructions",
            limit_error(
                tight(executed_instructions=3),
                "roll_multiple",
                "1000",
                5,
                resource="executed_instructions",
            ),
        ),
        (
            "limit nesting_depth",
            limit_error(tight(nesting_depth=2), "roll", "((1000))", resource="nesting_depth"),
        ),
        (
            "limit source_items",
            limit_error(tight(source_items=5), "roll", "6d1000", resource="source_items"),
        ),
        (
            "limit generated_values",
            limit_error(tight(generated_values=5), "roll", "6d1000", resource="generated_values"),
        ),
        (
            "limit rng_words",
            limit_error(tight(rng_words=5), "roll", "6d1000", resource="rng_words"),
        ),
        (
            "limit collection_items",
            limit_error(tight(collection_items=5), "roll", "6d1000", resource="collection_items"),
        ),
        (
            "limit output_items",
            limit_error(tight(output_items=3), "roll", "6d1000", resource="output_items"),
        ),
        (
            "limit output_bytes",
            limit_error(tight(output_bytes=20), "roll", "6d1000", resource="output_bytes"),
        ),
        (
            "limit work_units",
            limit_error(tight(work_units=5), "roll", "6d1000", resource="work_units"),
        ),
        (
            "limit batch_samples",
            limit_error(
                tight(batch_samples=3), "roll_multiple", "1d1000", 5, resource="batch_samples"
            ),
        ),
        # Binding and conversion errors.
        ("missing argument", expect_error(lambda: roll_dice(), TypeError)),  # type: ignore[call-arg]
        ("too many arguments", expect_error(lambda: roll_simple(1, 2, 3), TypeError)),  # type: ignore[call-arg]
        ("unknown keyword", expect_error(lambda: roll_simple(dice_count=1, sides=2), TypeError)),  # type: ignore[call-arg]
        ("doubled argument", expect_error(lambda: roll_simple(1, dice_count=1), TypeError)),  # type: ignore[call-arg, misc]
        ("text type", expect_error(lambda: roll_dice(None), TypeError, "argument 'expression'")),  # type: ignore[arg-type]
        (
            "integer type",
            expect_error(
                lambda: roll_simple("3", 6),  # type: ignore[arg-type]
                TypeError,
                "argument 'dice_count'",
            ),
        ),
        ("integer range", expect_error(lambda: roll_simple(2**31, 6), OverflowError)),
        ("negative times", expect_error(lambda: roller.roll_multiple("1d6", -1), OverflowError)),
        ("modifiers str", expect_error(lambda: roller.roll_with_modifiers(3, 6, "kh3"), TypeError)),
        (
            "modifiers not a sequence",
            expect_error(
                lambda: roller.roll_with_modifiers(3, 6, 5),  # type: ignore[arg-type]
                TypeError,
            ),
        ),
        (
            "modifier not a str",
            expect_error(
                lambda: roller.roll_with_modifiers(3, 6, ["kh3", 5]),  # type: ignore[list-item]
                TypeError,
            ),
        ),
        (
            "modifier refused",
            expect_error(
                lambda: roller.roll_with_modifiers(3, 6, ["kh"]), ValueError, "无效的取高数值"
            ),
        ),
        ("unencodable text", expect_error(lambda: roll_dice("1d6\ud800"), UnicodeEncodeError)),
        # Texts and modifier lists refused before they are read in full.
        (
            "text over source_bytes",
            limit_error(tight(source_bytes=10), "roll", "1+" * 20 + "1", resource="source_bytes"),
        ),
        (
            "wide text over source_bytes",
            limit_error(tight(source_bytes=10), "roll", "中" * 11, resource="source_bytes"),
        ),
        (
            "unencodable long text",
            expect_error(lambda: tight(source_bytes=4).roll("1234\ud800"), UnicodeEncodeError),
        ),
        (
            "modifier list over ast_nodes",
            limit_error(
                tight(ast_nodes=5),
                "roll_with_modifiers",
                3,
                6,
                ["kh1", "kl1", "s1"],
                resource="ast_nodes",
            ),
        ),
        (
            "modifier list over source_bytes",
            limit_error(
                tight(source_bytes=5),
                "roll_with_modifiers",
                3,
                6,
                ["kh1", "kl1"],
                resource="source_bytes",
            ),
        ),
        (
            "interrupted length hint",
            expect_error(
                lambda: roller.roll_with_modifiers(3, 6, LengthFails(KeyboardInterrupt)),  # type: ignore[arg-type]
                KeyboardInterrupt,
            ),
        ),
        (
            "failing length hint",
            expect(lambda: roller.roll_with_modifiers(3, 1000, LengthFails(ValueError)), int_total),  # type: ignore[arg-type]
        ),
        ("policy type", expect_error(lambda: Kavelo(5), TypeError, "argument 'policy'")),  # type: ignore[arg-type]
        ("policy arguments", expect_error(lambda: ResourcePolicy(1), TypeError)),  # type: ignore[call-arg]
        (
            "negative limit",
            expect_error(
                lambda: policy.with_limit("work_units", -1), ValueError, "[policy.invalid_limit]"
            ),
        ),
        (
            "unknown limit",
            expect_error(
                lambda: policy.with_limit("nope", 5), ValueError, "[policy.invalid_limit]"
            ),
        ),
        (
            "limit above hard maximum",
            expect_error(
                lambda: policy.with_limit("ast_nodes", 65537),
                ValueError,
                "[policy.limit_above_hard_max]",
            ),
        ),
        ("limit type", expect_error(lambda: policy.with_limit("ast_nodes", "10"), TypeError)),  # type: ignore[arg-type]
        ("limit range", expect_error(lambda: policy.with_limit("ast_nodes", 2**63), OverflowError)),
        ("wrong receiver", expect_error(lambda: Kavelo.roll(policy, "1d6"), TypeError)),  # type: ignore[arg-type]
        # The borrow flag: refused inside, and refused through the conversion.
        (
            "Already borrowed, caught",
            expect(lambda: roller.roll_with_modifiers(4, 1000, CallsBack(roller, True)), int_total),  # type: ignore[arg-type]
        ),
        (
            "Already borrowed, raised",
            expect_error(
                lambda: roller.roll_with_modifiers(4, 1000, CallsBack(roller, False)),  # type: ignore[arg-type]
                RuntimeError,
                "Already borrowed",
            ),
        ),
    ]


def measure(case: Case, calls: int, warmup: int, rounds: int) -> tuple[list[int], list[int]]:
    # The measuring itself must not allocate a block per round: the deltas go into lists
    # made beforehand, and each new reading replaces the one before it.
    block_deltas = [0] * rounds
    rss_deltas = [0] * rounds
    for _ in range(warmup):
        for _ in range(calls):
            case()
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    rss_before = rss_bytes()
    for index in range(rounds):
        for _ in range(calls):
            case()
        gc.collect()
        blocks_after = sys.getallocatedblocks()
        rss_after = rss_bytes()
        block_deltas[index] = blocks_after - blocks_before
        rss_deltas[index] = (rss_after - rss_before) // 1024
        blocks_before = blocks_after
        rss_before = rss_after
    return block_deltas, rss_deltas


def self_test_cases() -> list[tuple[str, Case]]:
    """Cases that do leak, one through references and one below Python's allocator: the
    check must flag both, or it proves nothing."""
    import ctypes

    kept: list[object] = []
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]

    def leak_reference() -> None:
        kept.append(roll_dice("3d1000+1000"))

    def leak_memory() -> None:
        pointer = libc.malloc(512)
        ctypes.memset(pointer, 1, 512)  # touched, so that it is resident

    return [("leaks a result per call", leak_reference), ("leaks 512 bytes per call", leak_memory)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=3000, help="calls per round")
    parser.add_argument("--warmup", type=int, default=2, help="warm-up rounds")
    parser.add_argument("--rounds", type=int, default=4, help="counted rounds")
    parser.add_argument(
        "--self-test", action="store_true", help="check that leaking cases are flagged, then stop"
    )
    args = parser.parse_args()
    check_module_origin()

    if args.self_test:
        missed = []
        for name, case in self_test_cases():
            block_deltas, rss_deltas = measure(case, args.calls, args.warmup, args.rounds)
            flagged = all(d >= 1 for d in block_deltas) or all(d > 0 for d in rss_deltas)
            print(
                f"{name:36} {block_deltas!s:28} {rss_deltas!s:28} "
                f"{'flagged' if flagged else 'MISSED'}"
            )
            if not flagged:
                missed.append(name)
        return 1 if missed else 0

    leaks = []
    print(f"{'case':36} {'blocks per round':28} {'RSS KiB per round':28} verdict")
    for name, case in cases():
        block_deltas, rss_deltas = measure(case, args.calls, args.warmup, args.rounds)
        leaked = all(d >= 1 for d in block_deltas) or all(d > 0 for d in rss_deltas)
        if leaked:
            leaks.append(name)
        print(f"{name:36} {block_deltas!s:28} {rss_deltas!s:28} {'LEAK' if leaked else 'ok'}")
    total = len(list(cases()))
    print(
        f"{total} cases, {args.calls} calls per round, {args.warmup} warm-up and "
        f"{args.rounds} counted rounds: {len(leaks)} leaking"
    )
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
