"""The audit's speed, memory and error rates (not a test: time depends on the machine,
and the rolls here are kavelo's own, unseeded).

    python benchmarks/audit_bench.py [--runs N]

- speed: one million d20 faces audited through kavelo.audit and through ``kavelo audit
  --sides 20`` (CPU seconds of the calling process, best of three, with the peak
  resident size of a fresh interpreter for the command);
- calibration: N audits of fresh kavelo rolls (200 d20 faces, 300 rolls of 4d6kh3 each):
  the share of p-values at most 0.05 per test, and the Kolmogorov-Smirnov distance of
  the p-values from uniform with its p-value;
- power: N audits of loaded dice, the share caught against the power the report states.
"""

from __future__ import annotations

import argparse
import math
import random
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

import kavelo


def _cpu(call: Callable[[], object]) -> float:
    best = math.inf
    for _ in range(3):
        start = time.process_time()
        call()
        best = min(best, time.process_time() - start)
    return best


def speed() -> None:
    rng = random.Random(1)
    faces = [rng.randint(1, 20) for _ in range(1_000_000)]
    seconds = _cpu(lambda: kavelo.audit([{"sides": 20, "faces": faces}]))
    print(f"kavelo.audit, 1,000,000 d20 faces in one record: {seconds:.3f} s CPU")
    chunks = [{"sides": 20, "faces": faces[i : i + 20]} for i in range(0, len(faces), 20)]
    seconds = _cpu(lambda: kavelo.audit(chunks))
    print(f"kavelo.audit, 1,000,000 d20 faces in 50,000 records: {seconds:.3f} s CPU")
    with tempfile.NamedTemporaryFile("w", suffix=".txt") as log:
        log.write("\n".join(map(str, faces)) + "\n")
        log.flush()
        # The peak is the command's own VmHWM: getrusage's peak of a child carries over
        # the pages it shared with this process (and its million faces) until its exec.
        command = [sys.executable, "-c", _COMMAND, log.name]
        best, peak = math.inf, 0.0
        for _ in range(3):
            done = subprocess.run(command, check=True, capture_output=True, text=True)
            cpu, rss = map(float, done.stderr.split())
            best, peak = min(best, cpu), max(peak, rss)
        print(
            f"kavelo audit --sides 20, a file of 1,000,000 lines: {best:.3f} s CPU "
            f"(whole process), peak {peak:.0f} MiB"
        )


_COMMAND = """
import contextlib, io, os, resource, sys
from kavelo.cli import main
with contextlib.redirect_stdout(io.StringIO()):
    main(["audit", "--sides", "20", sys.argv[1]])
usage = resource.getrusage(resource.RUSAGE_SELF)
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
print(usage.ru_utime + usage.ru_stime, peak / 1024, file=sys.stderr)
"""


def _ks(p_values: list[float]) -> tuple[float, float]:
    """The Kolmogorov-Smirnov distance from uniform and its asymptotic p-value."""
    ordered = sorted(p_values)
    n = len(ordered)
    d = max(max((i + 1) / n - p, p - i / n) for i, p in enumerate(ordered))
    t = d * math.sqrt(n)
    p = 2 * sum((-1) ** (k - 1) * math.exp(-2 * k * k * t * t) for k in range(1, 101))
    return d, min(max(p, 0.0), 1.0)


def calibration(runs: int) -> None:
    p_values: dict[str, list[float]] = {}
    alarms = 0
    for _ in range(runs):
        traces = [kavelo.trace("4d6kh3") for _ in range(300)]
        d20 = [kavelo.roll_simple(1, 20) for _ in range(200)]
        report = kavelo.audit([*traces, {"sides": 20, "faces": d20}])
        alarms += report.p_value <= 0.05
        for test in report.tests:
            p_values.setdefault(f"{test.kind} {test.subject}", []).append(test.p_value)
    print(f"calibration, {runs} audits of fresh kavelo rolls:")
    for name, values in p_values.items():
        share = sum(p <= 0.05 for p in values) / len(values)
        d, p = _ks(values)
        print(f"  {name:14} share p <= 0.05: {share:.3f}   KS distance {d:.4f}, p = {p:.3g}")
    print(f"  whole audit (Holm over {len(p_values)} tests) p <= 0.05: {alarms / runs:.3f}")


def _loaded(rng: random.Random) -> list[object]:
    return [
        {
            "sides": 20,
            "faces": [20 if rng.random() < 0.07 else rng.randint(1, 19) for _ in range(2000)],
        }
    ]


def _sticky(rng: random.Random) -> list[object]:
    faces = [rng.randint(1, 6)]
    for _ in range(99):
        faces.append(faces[-1] if rng.random() < 0.25 else rng.randint(1, 6))
    return [{"sides": 6, "faces": faces}]


def _shifted(rng: random.Random) -> list[object]:
    pmf = kavelo.odds("4d6kh3").pmf
    shifted = {
        t: 0.9 * p + 0.1 * pmf.get(t - 1, 0.0) + (0.1 * p if t == 18 else 0.0)
        for t, p in pmf.items()
    }
    drawn = rng.choices(list(shifted), weights=list(shifted.values()), k=10_000)
    return [("4d6kh3", total) for total in drawn]


def power(runs: int) -> None:
    rng = random.Random()
    cases = [
        ("d20 showing 20 at 7%, 2,000 faces", _loaded, "faces", 0.07),
        ("d6 repeating its last face 25% of the time, 100 faces", _sticky, "serial", 0.25),
        ("4d6kh3 raised by one on 10% of 10,000 rolls", _shifted, "totals", 0.1),
    ]
    print(f"power, {runs} audits each (alpha 0.01):")
    for name, make, kind, effect in cases:
        caught = 0
        stated = 0.0
        for _ in range(runs):
            test = next(t for t in kavelo.audit(make(rng)).tests if t.kind == kind)
            caught += test.biased
            stated += test.power_at(effect)
        print(f"  {name}: caught {caught / runs:.3f}, stated power {stated / runs:.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1000)
    options = parser.parse_args()
    speed()
    calibration(options.runs)
    power(options.runs)


if __name__ == "__main__":
    main()
