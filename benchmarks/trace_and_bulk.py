"""Two ratios measured side by side in one run, each pair of calls alternating so that
the machine's drift touches both alike:

- a traced roll (kavelo.trace) against the plain roll (kavelo.roll_dice, or a Kavelo
  under the same raised policy for the sizes past the default limits), at several sizes;
- the sum of 100,000 d6 by roll_simple against NumPy's
  default_rng().integers(1, 7, 100_000).sum() (a fresh generator each call, as kavelo
  keys a fresh generator from the operating system for each request).

    pip install numpy                  # for the second table; skipped without it
    python benchmarks/trace_and_bulk.py
"""

from __future__ import annotations

import platform
import statistics
import time
from collections.abc import Callable
from functools import partial
from typing import Any

import kavelo

numpy: Any
try:
    import numpy as numpy_module

    numpy = numpy_module
except ImportError:  # the bulk table needs it
    numpy = None


def raised_policy() -> kavelo.ResourcePolicy:
    policy = kavelo.ResourcePolicy()
    for name, value in policy.hard_limits().items():
        policy = policy.with_limit(name, value)
    return policy


def paired(
    first: Callable[[], Any], second: Callable[[], Any], seconds: float = 1.5
) -> tuple[float, float]:
    """Median time per call of each, in microseconds, calling them in turn."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            first()
        if time.perf_counter() - start > 0.002:
            break
        number *= 2
    a: list[float] = []
    b: list[float] = []
    end = time.perf_counter() + seconds
    while time.perf_counter() < end or len(a) < 5:
        for calls, times in ((first, a), (second, b)):
            start = time.perf_counter()
            for _ in range(number):
                calls()
            times.append((time.perf_counter() - start) / number * 1e6)
    return statistics.median(a), statistics.median(b)


def main() -> None:
    print(f"Python {platform.python_version()}, {platform.machine()}, kavelo {kavelo.__version__}")
    policy = raised_policy()
    raised = kavelo.Kavelo(policy)
    print("\n| roll | plain µs | traced µs | traced/plain |\n|---|---:|---:|---:|")
    for text in ["1d20+5", "4d6kh3+2", "10d6!", "20d6r1kh10", "100d6"]:
        plain, traced = paired(partial(kavelo.roll_dice, text), partial(kavelo.trace, text))
        print(f"| `{text}` | {plain:,.2f} | {traced:,.2f} | {traced / plain:.2f} |")
    for text in ["1000d6", "10000d6"]:
        plain, traced = paired(partial(raised.roll, text), partial(kavelo.trace, text, policy))
        print(f"| `{text}` (raised policy) | {plain:,.2f} | {traced:,.2f} | {traced / plain:.2f} |")
    if numpy is None:
        print("\nNumPy is not installed: no bulk table")
        return
    print("\n| sum of 100,000 d6 | kavelo µs | NumPy µs | kavelo/NumPy |\n|---|---:|---:|---:|")
    ours, theirs = paired(
        lambda: raised.roll_simple(100_000, 6),
        lambda: numpy.random.default_rng().integers(1, 7, size=100_000).sum(),
        seconds=3.0,
    )
    print(
        f"| `roll_simple(100000, 6)` (raised policy) | {ours:,.1f} | {theirs:,.1f} | {ours / theirs:.2f} |"
    )


if __name__ == "__main__":
    main()
