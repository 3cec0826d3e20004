"""kavelo against the dice libraries a Python user would pick instead.

Measures kavelo and its peers in one run on one machine and prints a Markdown table of
median microseconds per call and the ratio peer/kavelo. Installs nothing: the peers
are used when they are installed (`pip install d20==1.1.2 dice==4.0.0 numpy`) and
skipped otherwise.

    python benchmarks/compare.py [--rounds N] [--quick]

Every kavelo request takes 32 bytes of fresh OS entropy; `os.getrandom(32)`, timed in
the same run, is that floor, and "overhead" is kavelo's time above it.
"""

import argparse
import os
import platform
import time
from collections.abc import Callable
from typing import Any

import kavelo
from bench_kavelo import median_seconds

try:
    import d20
except ImportError:  # pragma: no cover - optional peer
    d20 = None
try:
    import dice
except ImportError:  # pragma: no cover - optional peer
    dice = None
# Typed as Any: NumPy ships its own types when it is installed, and None is no module.
numpy: Any
try:
    import numpy as numpy_module

    numpy = numpy_module
except ImportError:  # pragma: no cover - optional peer
    numpy = None


def median_us(fn: Callable[[], Any], rounds: int, min_time: float) -> float:
    return median_seconds(fn, rounds, min_time) * 1e6


def raised_policy() -> kavelo.ResourcePolicy:
    policy = kavelo.ResourcePolicy()
    for name, value in policy.hard_limits().items():
        policy = policy.with_limit(name, value)
    return policy


Call = Callable[[], Any]
# A peer's call, or a call that does 1/n of the work and is scaled by n.
PeerCall = Call | tuple[Call, int]


def workloads() -> list[tuple[str, Call, dict[str, PeerCall]]]:
    """(name, kavelo call, {peer: call or (call, calls per kavelo call)})"""
    raised = kavelo.Kavelo(raised_policy())
    chain = "+".join(["1d6"] * 20)
    program = ";".join(["1d20+5"] * 100)
    rows: list[tuple[str, Call, dict[str, PeerCall]]] = [
        (
            "1d20+5",
            lambda: kavelo.roll_dice("1d20+5"),
            {"d20": lambda: d20.roll("1d20+5"), "dice": lambda: dice.roll("1d20+5")},
        ),
        (
            "4d6 keep highest 3, +2",
            lambda: kavelo.roll_dice("4d6kh3+2"),
            {"d20": lambda: d20.roll("4d6kh3+2"), "dice": lambda: dice.roll("4d6h3t+2")},
        ),
        (
            "10d6 exploding on 6",
            lambda: kavelo.roll_dice("10d6!"),
            {"d20": lambda: d20.roll("10d6e6"), "dice": lambda: dice.roll("10d6xt")},
        ),
        (
            "100d6",
            lambda: kavelo.roll_dice("100d6"),
            {"d20": lambda: d20.roll("100d6"), "dice": lambda: dice.roll("100d6t")},
        ),
        (
            "1000d6",
            lambda: kavelo.roll_dice("1000d6"),
            {"d20": lambda: d20.roll("1000d6"), "dice": lambda: dice.roll("1000d6t")},
        ),
        (
            "twenty 1d6 added",
            lambda: kavelo.roll_dice(chain),
            {"d20": lambda: d20.roll(chain), "dice": lambda: dice.roll(chain)},
        ),
        (
            "program of 100 instructions (peers: 100 calls)",
            lambda: kavelo.run_program(program),
            {
                "d20": lambda: [d20.roll("1d20+5") for _ in range(100)],
                "dice": lambda: [dice.roll("1d20+5") for _ in range(100)],
            },
        ),
        (
            'roll_multiple("4d6kh3", 10000) (peers: 10,000 calls)',
            lambda: raised.roll_multiple("4d6kh3", 10000),
            {
                "d20": lambda: [d20.roll("4d6kh3") for _ in range(10000)],
                # The dice package takes milliseconds per call: 10,000 calls are timed as
                # 100 calls and scaled.
                "dice": (lambda: [dice.roll("4d6h3t") for _ in range(100)], 100),
            },
        ),
        (
            "sum of 100,000 d6 (raised policy; numpy: fresh generator)",
            lambda: raised.roll_simple(100000, 6),
            {"numpy": lambda: numpy.random.default_rng().integers(1, 7, size=100_000).sum()},
        ),
    ]
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="shorter rounds (noisier)")
    args = parser.parse_args()
    min_time = 0.02 if args.quick else 0.1
    available = {"d20": d20 is not None, "dice": dice is not None, "numpy": numpy is not None}

    floor = median_us(lambda: os.getrandom(32), args.rounds, min_time)
    peers = ["d20", "dice", "numpy"]
    header = ["workload", "kavelo µs", "overhead µs"]
    for peer in peers:
        header += [f"{peer} µs", f"{peer}/kavelo"]
    print(
        f"Python {platform.python_version()}, {platform.machine()}, "
        f"{os.cpu_count()} cores, {time.strftime('%Y-%m-%d')}; kavelo {kavelo.__version__}; "
        f"entropy floor os.getrandom(32) = {floor:.2f} µs"
    )
    print()
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join(["---"] + ["---:"] * (len(header) - 1)) + "|")
    for name, ours, theirs in workloads():
        mine = median_us(ours, args.rounds, min_time)
        cells = [name, f"{mine:,.2f}", f"{mine - floor:,.2f}"]
        for peer in peers:
            call = theirs.get(peer)
            if call is None or not available[peer]:
                cells += ["", ""]
                continue
            scale = 1
            if isinstance(call, tuple):
                call, per = call
                scale = 10000 // per
            t = median_us(call, max(3, args.rounds // 2), min_time) * scale
            cells += [f"{t:,.1f}", f"{t / mine:,.1f}×"]
        print("| " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
