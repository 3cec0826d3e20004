"""Times kavelo.odds against the exact-probability library icepool and prints a table.

icepool 2.2.2 needs Python 3.12 or newer, so it runs in an interpreter of its own
(a virtual environment made for it), in child processes:

    python3.12 -m venv .venv-icepool && .venv-icepool/bin/pip install icepool==2.2.2
    python benchmarks/odds_compare.py --icepool-python .venv-icepool/bin/python

kavelo: the median, over --repeat rounds, of the time per call in a batch of calls.
icepool keeps caches of what it has computed, and kavelo keeps nothing, so icepool is
timed twice per child process: "cold" is the first evaluation in a fresh interpreter
(after importing icepool), "warm" a second evaluation of the same expression, which
its caches serve; each is the median over --processes children. The machine is
shared: compare the ratios of one run, not absolute times across runs.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from typing import Any

import kavelo

# (kavelo text, icepool expression or None when icepool cannot state it)
CASES = [
    ("4d6kh3", "d6.pool(4).highest(3).sum()"),
    ("2d20kh1+5", "d20.pool(2).highest(1).sum() + 5"),
    ("8d6", "8 @ d6"),
    ("1d20+1d4+3", "d20 + d4 + 3"),
    ("10d10kh5", "d10.pool(10).highest(5).sum()"),
    # Explosions followed to the same depth as kavelo's default tolerance: 21 sixes in
    # a row have a chance below 1e-15 / 20 per die.
    ("20d6!", "20 @ d6.explode(depth=21)"),
    ("6d6u", "d6.pool(6).unique().sum()"),
    ("5d6c6", "5 @ (d6 == 6)"),
    ("4d6ro1kh3", "d6.reroll([1], depth=1).pool(4).highest(3).sum()"),
    # r1 rerolls a die whose group holds a 1 anywhere, explosions included; icepool's
    # reroll sees the exploded total only.
    ("3d6!r1", None),
    ("100d6", "100 @ d6"),
    ("100d6kh50", "d6.pool(100).highest(50).sum()"),
    ("1000d6", "1000 @ d6"),
]

CHILD = r"""
import json, sys, time
sys.setrecursionlimit(100000)
import icepool
from icepool import d4, d6, d10, d20
expression = sys.argv[1]
times = []
for _ in range(2):
    start = time.perf_counter()
    die = eval(expression)
    die.probabilities()
    times.append(time.perf_counter() - start)
print(json.dumps({"cold": times[0], "warm": times[1], "version": icepool.__version__, "python": sys.version.split()[0]}))
"""


def time_kavelo(text: str, repeat: int) -> float:
    kavelo.odds(text)
    start = time.perf_counter()
    kavelo.odds(text)
    once = time.perf_counter() - start
    number = max(1, int(0.05 / max(once, 1e-7)))
    rounds = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            kavelo.odds(text)
        rounds.append((time.perf_counter() - start) / number)
    return statistics.median(rounds)


def time_icepool(python: str, expression: str, processes: int) -> dict[str, Any]:
    runs = []
    for _ in range(processes):
        done = subprocess.run(
            [python, "-c", CHILD, expression], capture_output=True, text=True, timeout=600
        )
        if done.returncode != 0:
            raise RuntimeError(f"icepool failed on {expression}: {done.stderr[-500:]}")
        runs.append(json.loads(done.stdout))
    return {
        "cold": statistics.median(r["cold"] for r in runs),
        "warm": statistics.median(r["warm"] for r in runs),
        "version": runs[0]["version"],
        "python": runs[0]["python"],
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default = os.path.join(os.path.dirname(__file__), "..", ".venv-icepool", "bin", "python")
    parser.add_argument(
        "--icepool-python", default=default, help="an interpreter with icepool installed"
    )
    parser.add_argument("--repeat", type=int, default=7, help="rounds of kavelo timing (median)")
    parser.add_argument(
        "--processes", type=int, default=5, help="icepool child processes per expression (median)"
    )
    options = parser.parse_args()

    rows = []
    icepool_info = None
    for text, expression in CASES:
        ours = time_kavelo(text, options.repeat)
        theirs = (
            time_icepool(options.icepool_python, expression, options.processes)
            if expression
            else None
        )
        if theirs:
            icepool_info = theirs
        rows.append((text, ours, theirs))
        print(f"  {text}: done", file=sys.stderr, flush=True)

    print(
        f"Python {platform.python_version()} (kavelo {kavelo.__version__}), "
        f"icepool {icepool_info['version'] if icepool_info else '?'} on Python {icepool_info['python'] if icepool_info else '?'}, "
        f"{platform.machine()}, {os.cpu_count()} cores, {datetime.date.today().isoformat()}; medians"
    )
    print()
    print(
        "| expression | kavelo µs | icepool cold µs | cold/kavelo | icepool warm µs | warm/kavelo |"
    )
    print("|---|---:|---:|---:|---:|---:|")
    for text, ours, theirs in rows:
        if theirs is None:
            print(f"| `{text}` | {ours * 1e6:,.1f} | (cannot state it) | | | |")
            continue
        print(
            f"| `{text}` | {ours * 1e6:,.1f} | {theirs['cold'] * 1e6:,.0f} | {theirs['cold'] / ours:,.0f}× | "
            f"{theirs['warm'] * 1e6:,.0f} | {theirs['warm'] / ours:,.0f}× |"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
