"""Median per-call time of kavelo's entry points, and the time above the entropy floor.

Every request takes one 32-byte getentropy call, so os.getrandom(32), measured in the
same run, is the floor of every single roll. Not a test: run

    python benchmarks/bench_kavelo.py [--rounds N]
"""

import argparse
import os
import statistics
import time
from collections.abc import Callable
from typing import Any

import kavelo


def median_seconds(fn: Callable[[], Any], rounds: int, min_time: float = 0.05) -> float:
    """Median over `rounds` of the mean time per call within a round of >= min_time."""
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        if time.perf_counter() - start >= min_time:
            break
        calls *= 2
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        samples.append((time.perf_counter() - start) / calls)
    return statistics.median(samples)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()

    # Ten thousand samples of 4d6kh3 draw 40,000 faces: more than the default limits allow.
    raised = kavelo.ResourcePolicy()
    for name in ("generated_values", "rng_words", "output_items"):
        raised = raised.with_limit(name, raised.hard_limits()[name])
    roller = kavelo.Kavelo(raised)
    cases = [
        ('roll_dice("1d20+5")', lambda: kavelo.roll_dice("1d20+5")),
        ('roll_dice("4d6kh3+2")', lambda: kavelo.roll_dice("4d6kh3+2")),
        ('roll_dice("10d6!")', lambda: kavelo.roll_dice("10d6!")),
        ('roll_dice("100d6")', lambda: kavelo.roll_dice("100d6")),
        ("roll_simple(3, 6)", lambda: kavelo.roll_simple(3, 6)),
        (
            'Kavelo(raised).roll_multiple("4d6kh3", 10000)',
            lambda: roller.roll_multiple("4d6kh3", 10000),
        ),
    ]
    floor = median_seconds(lambda: os.getrandom(32), args.rounds)
    print(f"entropy floor os.getrandom(32): {floor * 1e6:.3f} us")
    print(f"{'call':44} {'median us':>12} {'above floor':>12}")
    for name, fn in cases:
        t = median_seconds(fn, args.rounds)
        print(f"{name:44} {t * 1e6:12.3f} {(t - floor) * 1e6:12.3f}")


if __name__ == "__main__":
    main()
