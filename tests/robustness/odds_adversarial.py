"""Adversarial inputs for kavelo.odds under its default limits: huge counts and sides,
long modifier chains, products of wide supports, deep nesting. Each case runs in a
child process of its own; it must end with a result or an "[odds." error, within the
time goal (the CPU time of the calling thread, which other work on the machine does not
lengthen) and the memory goal (peak RSS of the child above the interpreter's own).

    python tests/robustness/odds_adversarial.py                 # the table, goals 1 s and 256 MiB
    python tests/robustness/odds_adversarial.py --time-slack 3  # CI: time goal tripled
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import textwrap
from typing import Any

CASES = [
    ("huge count and sides", "2147483647d2147483647"),
    ("huge sides", "1d2147483647"),
    ("a million sides", "1d1000000"),
    ("100,000 dice", "100000d6"),
    ("10,000 dice", "10000d6"),
    ("1,000 dice of 1,000", "1000d1000"),
    ("keep half of 1,000", "1000d6kh500"),
    ("two dice of a million, keep one", "2d1000000kh1"),
    ("keep one of 20 million", "20000000d6kh1"),
    ("keep one of 800,000 d1000", "800000d1000kh1"),
    ("keep half of 100,000", "100000d6kh50000"),
    ("exploding reroll chain of millions", "6766664d6!ro6!r6!k6666666"),
    ("two-way split of 20 million", "20000000d2!r1k2"),
    ("unique of 300", "300d6u"),
    ("unique of 20d20", "20d20u"),
    ("exploding pool, keep", "100d2!kh50"),
    ("exploding, reroll once, two far keeps", "12d6!ro6kl3kh2"),
    ("1,000 alternating keeps", "4d6" + "kh3kl2" * 1000),
    ("1,000 reroll-and-adds", "1d6" + "a6" * 1000),
    ("reroll-and-add growth", "1d1000" + "a1000" * 40),
    ("100 reroll-onces on explosions", "1d2!" + "ro2" * 100),
    ("product of three d1000", "(1d1000)*(1d1000)*(1d1000)"),
    ("power of wide supports", "1d1000^1d1000"),
    ("product of d100000", "1d100000*1d100000"),
    ("2,000 terms added", "+".join(["1d6"] * 2000)),
    ("60 nested products", "(" * 60 + "1d100" + "*1d100)" * 60),
    ("division chain", "1d1000/" + "/".join(["(1d7-4)"] * 30)),
    ("2,000 drops and uniques in turn", "10000d6" + "dl1u" * 1000),
    ("guesses after every unique", "200d1000!kl150ukh140ukl130ukh120ukl110ukh100ukl90ukh80"),
    ("ten guessing keeps", "20d1000!kl19ukh18ukl17ukh16ukl15ukh14ukl13ukh12ukl11ukh10"),
    ("1,000 keeps after uniques on explosions", "200d6!" + "kl199u" * 1000),
]

CHILD = textwrap.dedent(
    """
    import json, resource, sys, time
    import kavelo
    text = sys.argv[1]
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.thread_time()
    try:
        result = kavelo.odds(text)
        outcome = f"result ({len(result.pmf)} outcomes)"
    except ValueError as error:
        outcome = str(error)
    elapsed = time.thread_time() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"outcome": outcome, "seconds": elapsed, "mib": (peak - base) / 1024}))
    """
)


def run_case(text: str) -> dict[str, Any]:
    done = subprocess.run(
        [sys.executable, "-c", CHILD, text], capture_output=True, text=True, timeout=120
    )
    if done.returncode != 0:
        return {
            "outcome": f"child failed ({done.returncode}): {done.stderr[-300:]}",
            "seconds": 0.0,
            "mib": 0.0,
        }
    row: dict[str, Any] = json.loads(done.stdout)
    return row


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--time-slack", type=float, default=1.0, help="multiply the time goal by this"
    )
    parser.add_argument("--seconds", type=float, default=1.0, help="time goal per case")
    parser.add_argument("--mib", type=float, default=256.0, help="memory goal per case")
    options = parser.parse_args()
    goal = options.seconds * options.time_slack
    failures = 0
    print("| Case | Input | Ends with | Time | Peak RSS growth |")
    print("|---|---|---|---:|---:|")
    for name, text in CASES:
        row = run_case(text)
        if row["seconds"] > goal:
            row = min(
                row, run_case(text), key=lambda r: r["seconds"]
            )  # a stall of the machine: once more
        outcome = row["outcome"]
        ok = (
            outcome.startswith(("result", "[odds."))
            and row["seconds"] <= goal
            and row["mib"] <= options.mib
        )
        failures += not ok
        shown = text if len(text) <= 32 else text[:29] + "..."
        ends = outcome if outcome.startswith("result") else outcome.split("]")[0] + "]"
        print(
            f"| {name} | `{shown}` | {ends} | {row['seconds'] * 1000:.1f} ms | {row['mib']:.1f} MiB |"
            + ("" if ok else f" FAILED: {outcome[:120]}"),
            flush=True,
        )
    print(f"{len(CASES) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
