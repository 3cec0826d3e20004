"""The costliest odds requests found under the default limits, each timed in a fresh
interpreter with its peak resident size (not a test: time depends on the machine).

    python benchmarks/odds_worst.py [TEXT ...]

Each line: the text, the wall time of the call, the peak resident size of the whole
interpreter, the interpreter's own size before the call, and what the call gave.
"""

from __future__ import annotations

import subprocess
import sys

TEXTS = [
    "1d100000^2",
    "1d1000000",
    "100000d6",
    "1d100000+1d100000",
    "1d99999*1d99999",
    "1d50000*1d2",
    "1d316*1d316",
    "40d20ukh10",
    "10000d6",
    "1d1000!",
]

ONE = """
import resource, sys, time
import kavelo
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
start = time.perf_counter()
try:
    shown = f"{len(kavelo.odds(sys.argv[1]).pmf)} outcomes"
except ValueError as error:
    shown = str(error)[:48]
took = 1000 * (time.perf_counter() - start)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(f"{sys.argv[1]:22} {took:7.1f} ms {peak:6.1f} MB (before {before:5.1f} MB)  {shown}")
"""


def main() -> None:
    for text in sys.argv[1:] or TEXTS:
        subprocess.run([sys.executable, "-c", ONE, text], check=True)


if __name__ == "__main__":
    main()
