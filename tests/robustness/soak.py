"""Soak: millions of calls over a mixed adversarial set, watching latency and memory.

The set is every case of the leak check (each entry point on success and on every error
path) plus requests that run into the default limits the hard way (explosions without
end, the longest texts, the largest batches and programs), the heavy ones rarer. After a
warm-up, the resident set size must grow by less than --max-growth-mib per million
calls.

    python tests/robustness/soak.py --calls 2000000        # CI size
    python tests/robustness/soak.py --calls 5000000        # the long run
"""

import argparse
import random
import sys
import time
from array import array
from collections.abc import Callable, Sequence

from common import check_module_origin, rss_bytes
from kavelo import Kavelo, roll_dice, run_program
from leak_check import Case
from leak_check import cases as leak_cases

BUCKET_NS = 100  # latency histogram resolution
BUCKETS = 1_000_000  # up to 100 ms; slower calls land in the last bucket


def heavy_cases() -> list[tuple[str, Callable[[], object]]]:
    """Requests that reach a default limit only after real work, or produce the largest
    results the defaults allow."""
    roller = Kavelo()

    def fails(call: Callable[[], object], code: str) -> Case:
        def case() -> None:
            try:
                call()
            except ValueError as error:
                assert str(error).startswith(code), error
            else:
                raise AssertionError("no " + code)

        return case

    long_text = "1" + " " * 65536
    chain = "10" + "+1" * 32767
    deep = "(" * 65 + "1" + ")" * 65
    nested = "(" * 33 + "1" + ")" * 33
    program = "1;" * 1000 + "1"
    return [
        ("explode 1d1!", fails(lambda: roll_dice("1d1!"), "[limit.generated_values]")),
        ("reroll 4d6R6", fails(lambda: roll_dice("4d6R6"), "[limit.generated_values]")),
        ("10000d1", fails(lambda: roll_dice("10000d1"), "[limit.output_items]")),
        ("65537 bytes", fails(lambda: roll_dice(long_text), "[limit.source_bytes]")),
        ("65536-byte chain", fails(lambda: roll_dice(chain), "[limit.ast_nodes]")),
        ("65 brackets", fails(lambda: roll_dice(deep), "[limit.parse_depth]")),
        ("33 levels", fails(lambda: roll_dice(nested), "[limit.nesting_depth]")),
        ("1001 instructions", fails(lambda: run_program(program), "[limit.parsed_instructions]")),
        (
            "100 sorts of 10000",
            fails(lambda: roll_dice("10000d6" + "s" * 100), "[limit.work_units]"),
        ),
        ("batch of 10000", lambda: roller.roll_multiple("1000*1000", 10000)),
        ("batch of 5000 dice", lambda: roller.roll_multiple("1d6", 5000)),
        ("9999d6", lambda: roll_dice("9999d6")),
    ]


def schedule(seed: int) -> tuple[list[tuple[str, Callable[[], object]]], list[int]]:
    """Case order: every cheap case 400 times, every heavy case once, shuffled."""
    cheap = list(leak_cases())
    heavy = heavy_cases()
    order = [index for index in range(len(cheap)) for _ in range(400)]
    order += [len(cheap) + index for index in range(len(heavy))]
    random.Random(seed).shuffle(order)
    return cheap + heavy, order


def percentile(histogram: Sequence[int], total: int, fraction: float) -> int:
    wanted = fraction * total
    seen = 0
    for bucket, count in enumerate(histogram):
        seen += count
        if seen >= wanted:
            return (bucket + 1) * BUCKET_NS
    return BUCKETS * BUCKET_NS


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2_000_000)
    parser.add_argument("--warmup", type=int, default=300_000, help="calls before the baseline")
    parser.add_argument(
        "--max-growth-mib",
        type=float,
        default=1.0,
        help="largest RSS growth per million calls after the warm-up",
    )
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    check_module_origin()

    named, order = schedule(args.seed)
    functions = [function for _, function in named]
    histogram = array("q", bytes(8 * BUCKETS))  # made before the baseline is taken
    clock = time.perf_counter_ns
    slowest, slowest_name = 0, ""

    def run(first: int, last: int) -> None:
        nonlocal slowest, slowest_name
        for call in range(first, last):
            index = order[call % len(order)]
            function = functions[index]
            start = clock()
            function()
            elapsed = clock() - start
            bucket = elapsed // BUCKET_NS
            histogram[bucket if bucket < BUCKETS else BUCKETS - 1] += 1
            if elapsed > slowest:
                slowest, slowest_name = elapsed, named[index][0]

    run(0, args.warmup)
    for i in range(BUCKETS):
        histogram[i] = 0
    slowest = 0
    # Ten RSS readings over the counted calls. The heap settles at a level that moves by
    # a few hundred KiB as large results come and go, so the growth is taken between the
    # median of the first three readings and the median of the last three, seven tenths
    # of the counted calls apart.
    counted = args.calls - args.warmup
    step = max(counted // 10, 1)
    checkpoints: list[int] = []
    started = time.perf_counter()
    for first in range(args.warmup, args.calls, step):
        run(first, min(first + step, args.calls))
        checkpoints.append(rss_bytes())
    seconds = time.perf_counter() - started
    early = sorted(checkpoints[:3])[1]
    late = sorted(checkpoints[-3:])[1]
    per_million = (late - early) / (0.7 * counted / 1e6) / 2**20

    print(
        f"cases: {len(named)} ({len(order)} per cycle), calls: {counted} after "
        f"{args.warmup} warm-up calls, {seconds:.1f} s, {counted / seconds:,.0f} calls/s"
    )
    print(
        f"latency: p50 {percentile(histogram, counted, 0.50) / 1000:.1f} us, "
        f"p99 {percentile(histogram, counted, 0.99) / 1000:.1f} us, "
        f"p99.9 {percentile(histogram, counted, 0.999) / 1000:.1f} us, "
        f"max {slowest / 1e6:.2f} ms ({slowest_name})"
    )
    print(
        f"RSS at each tenth {[round(c / 2**20, 1) for c in checkpoints]} MiB; growth "
        f"{(late - early) / 1024:.0f} KiB = {per_million:.3f} MiB per million calls "
        f"(limit {args.max_growth_mib} MiB)"
    )
    return 0 if per_million <= args.max_growth_mib else 1


if __name__ == "__main__":
    sys.exit(main())
