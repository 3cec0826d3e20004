"""Hostile calls: inputs that drive one entry point into work, memory or stack use that
its limits might not bound. Each case runs in a child process of its own (address space
capped, deadline enforced) and reports how it ended, the median and worst time of its
calls, the peak RSS growth over the RSS before the first call and, for results, the bytes
of the Python objects returned.

    python tests/robustness/hostile_calls.py                 # every case, table
    python tests/robustness/hostile_calls.py --only batch    # cases whose name holds "batch"
    python tests/robustness/hostile_calls.py --repeats 3 --timeout 900

The adversarial limits (adversarial.py) hold the same shapes with pass/fail goals; this
script measures them, including the ones whose inputs crash or run for minutes on an
unguarded build.
"""

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

CHILD_ADDRESS_SPACE = 4 * 2**30

# name: (policy, repeats, source of a function `call()` making one call).
# `roller` is a Kavelo under the policy, `kavelo` the package.
CASES = {
    "modifier list of a million rerolls": (
        "default",
        5,
        "lambda: roller.roll_with_modifiers(10000, 6, ['kh0'] + ['r0'] * 1_000_000)",
    ),
    "10000d6k0 and 4088 rerolls": ("default", 20, "lambda: roller.roll('10000d6k0' + 'r0' * 4088)"),
    "batch: 4088 keeps of an empty pool": (
        "default",
        5,
        "lambda: roller.roll_multiple('0+1d6kh0' + 'kh0' * 4088, 10000)",
    ),
    "batch: 4088 rerolls that never match": (
        "default",
        5,
        "lambda: roller.roll_multiple('1d6kh0' + 'r-2147483648' * 4088, 10000)",
    ),
    "hard: 100000d6k0 and 65500 rerolls": (
        "hard",
        3,
        "lambda: roller.roll('100000d6k0' + 'r0' * 65500)",
    ),
    "hard: batch of 65500 rerolls that never match": (
        "hard",
        3,
        "lambda: roller.roll_multiple('1d6kh0' + 'r-2147483648' * 65500, 100000)",
    ),
    "work_units 4: 4001 keeps": ("work4", 20, "lambda: roller.roll('1d6kh0' + 'kh0' * 4000)"),
    "2000 references to a 1 MB modifier string": (
        "default",
        3,
        "lambda: roller.roll_with_modifiers(1, 6, ['r' + '0' * 10**6 + '1'] * 2000)",
    ),
    "hard: batch of 63 with a 1 MiB astral comment": (
        "hard",
        3,
        "lambda: roller.roll_multiple('1 # \\U0001F600' + 'a' * (2**20 - 21), 63)",
    ),
    "batch of 127 with a 64 KiB astral comment": (
        "default",
        5,
        "lambda: roller.roll_multiple('1 # \\U0001F600' + 'a' * 65515, 127)",
    ),
    "500,000,000-character text": ("default", 3, "lambda: kavelo.roll_dice(TEXT)"),
    "batch of a power tree": (
        "default",
        10,
        "lambda: roller.roll_multiple(tree(3, 5, powers(8)), 10000)",
    ),
    "batch of a plain tree": ("default", 10, "lambda: roller.roll_multiple(tree(4, 6), 10000)"),
    "hard: batch of a power tree": (
        "hard",
        3,
        "lambda: roller.roll_multiple(tree(3, 11, powers(20)), 1000)",
    ),
    "hard: batch of a plain tree": ("hard", 3, "lambda: roller.roll_multiple(tree(3, 31), 1000)"),
}

# Built before the baseline RSS is read, so that the text itself is not counted.
PREPARED = {"500,000,000-character text": "TEXT = '1' * 500_000_000"}

CHILD = r"""
import json, resource, statistics, sys, time
sys.path.insert(0, sys.argv[1])
from common import hard_policy, peak_rss_bytes, policy_with, reset_peak_rss, rss_bytes
import kavelo
from kavelo import Kavelo, ResourcePolicy

def tree(levels, width, leaf="1"):
    if levels == 0:
        return leaf
    return "(" + "+".join([tree(levels - 1, width, leaf)] * width) + ")"

def powers(n):
    # (1^4294967295^...): n powers of 1 with a 32-bit exponent, all ones.
    return "(1" + "^4294967295" * n + ")"

def python_bytes(obj, seen):
    if id(obj) in seen:
        return 0
    seen.add(id(obj))
    size = sys.getsizeof(obj)
    if isinstance(obj, dict):
        size += sum(python_bytes(k, seen) + python_bytes(v, seen) for k, v in obj.items())
    elif isinstance(obj, list):
        size += sum(python_bytes(item, seen) for item in obj)
    return size

case = json.loads(sys.argv[2])
resource.setrlimit(resource.RLIMIT_AS, (case["address_space"],) * 2)
policies = {"default": ResourcePolicy(), "hard": hard_policy(),
            "work4": policy_with(work_units=4)}
roller = Kavelo(policies[case["policy"]])
exec(case.get("prepare", ""))
call = eval(case["call"])
baseline = rss_bytes()
reset_peak_rss()
times, outcome, result_bytes = [], None, None
for _ in range(case["repeats"]):
    started = time.perf_counter()
    try:
        result = call()
        outcome = "result"
    except ValueError as error:
        message = str(error)
        outcome = message[: message.index("]") + 1] if message.startswith("[") else message[:40]
        result = None
    except MemoryError:
        outcome, result = "MemoryError", None
    times.append(time.perf_counter() - started)
    if result is not None and result_bytes is None:
        result_bytes = python_bytes(result, set())
    result = None
print(json.dumps({"outcome": outcome, "median_s": statistics.median(times),
                  "worst_s": max(times), "calls": len(times),
                  "peak_growth_mib": max(peak_rss_bytes() - baseline, 0) / 2**20,
                  "result_mib": None if result_bytes is None else result_bytes / 2**20}))
"""


def run(name: str, repeats: int | None, timeout: float) -> dict[str, Any]:
    policy, default_repeats, call = CASES[name]
    case = {
        "policy": policy,
        "call": call,
        "repeats": repeats or default_repeats,
        "prepare": PREPARED.get(name, ""),
        "address_space": CHILD_ADDRESS_SPACE,
    }
    here = str(Path(__file__).resolve().parent)
    started = time.perf_counter()
    try:
        child = subprocess.run(
            [sys.executable, "-c", CHILD, here, json.dumps(case)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        return {"outcome": f"no end within {timeout} s"}
    if child.returncode != 0:
        tail = child.stderr.strip().splitlines()[-1:] or [""]
        return {
            "outcome": f"exit status {child.returncode} {tail[0][:80]}".strip(),
            "wall_s": time.perf_counter() - started,
        }
    measured: dict[str, Any] = json.loads(child.stdout)
    return measured


def cell(measured: dict[str, Any], key: str, unit: str, scale: float) -> str:
    """One measurement of the table, scaled to its unit, or nothing when it was not taken."""
    value = measured.get(key)
    return f"{value * scale:.1f} {unit}" if value is not None else ""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default="", help="run the cases whose name holds this")
    parser.add_argument("--repeats", type=int, default=None, help="calls per case")
    parser.add_argument("--timeout", type=float, default=900, help="seconds per case")
    args = parser.parse_args()
    import kavelo._core

    print("measuring", kavelo._core.__file__, file=sys.stderr)
    print(
        "| Case | Policy | Ends with | Median | Worst | Calls | Peak RSS growth | Result objects |"
    )
    print("|---|---|---|---:|---:|---:|---:|---:|")
    for name in CASES:
        if args.only not in name:
            continue
        m = run(name, args.repeats, args.timeout)
        print(
            f"| {name} | {CASES[name][0]} | {m['outcome']} | {cell(m, 'median_s', 'ms', 1000)} | "
            f"{cell(m, 'worst_s', 'ms', 1000)} | {m.get('calls', '')} | "
            f"{cell(m, 'peak_growth_mib', 'MiB', 1)} | {cell(m, 'result_mib', 'MiB', 1)} |",
            flush=True,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
