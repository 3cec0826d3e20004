"""Instructions per call of kavelo's rolls (and d20's), counted by callgrind.

Wall time on a shared machine swings by a factor of 1.5 to 3 between runs; the number of
instructions a call executes does not. Each figure is the instruction count of a script
that makes N calls, minus that of the same script making 0 calls, divided by N, under
`valgrind --tool=callgrind`, with the kavelo (and d20) installed in the interpreter that
runs this script. Both scripts import the library and make a few unmeasured calls
first, so imports and first-call set-up cancel out. Not a test: run

    python benchmarks/instructions.py [--calls N] [--only TEXT] [--no-d20]

It needs valgrind on PATH and takes about a minute (d20, when installed, the most).
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from importlib import metadata

# The rolls measured, and how many calls a run of the default size makes for each.
# d20 is several times slower per call, so it makes a fifth as many.
WORKLOADS: list[tuple[str, int]] = [
    ("1d20+5", 2000),
    ("4d6kh3+2", 2000),
    ("100d6", 500),
    ("1000d6", 100),
]
D20_SHARE = 5
WARM_UP_CALLS = 5
COLLECTED = re.compile(r"Collected\s*:\s*(\d+)")


@dataclass
class Row:
    text: str
    kavelo: float
    d20: float | None


def child(library: str, text: str, calls: int) -> None:
    """The measured script: imports the library, warms up, then makes `calls` calls."""
    if library == "kavelo":
        import kavelo

        roll = kavelo.roll_dice
    else:
        import d20

        roll = d20.roll
    for _ in range(WARM_UP_CALLS):
        roll(text)
    for _ in range(calls):
        roll(text)


def instructions(library: str, text: str, calls: int) -> int:
    """Instructions callgrind counts for the whole child script."""
    command = [
        "valgrind",
        "--tool=callgrind",
        "--callgrind-out-file=/dev/null",
        sys.executable,
        os.path.abspath(__file__),
        "--child",
        library,
        text,
        str(calls),
    ]
    # A fixed hash seed: the same script then runs the same interpreter paths.
    environment = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run(command, capture_output=True, text=True, env=environment, check=False)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed:\n{done.stderr}")
    found = COLLECTED.findall(done.stderr)
    if not found:
        raise SystemExit(f"no instruction count in callgrind's output:\n{done.stderr}")
    return int(found[-1])


def per_call(library: str, text: str, calls: int) -> float:
    """(instructions with `calls` calls - instructions with none) / calls."""
    # One plain run first, so that neither measured run compiles a module's bytecode.
    subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", library, text, "0"], check=True
    )
    empty = instructions(library, text, 0)
    full = instructions(library, text, calls)
    return (full - empty) / calls


def has_d20() -> bool:
    try:
        import d20  # noqa: F401
    except ImportError:
        return False
    return True


def version_of(package: str) -> str:
    try:
        return metadata.version(package)
    except metadata.PackageNotFoundError:
        return "?"


def table(rows: list[Row], with_d20: bool) -> str:
    header = "| call | kavelo |"
    rule = "|---|---:|"
    if with_d20:
        header += f" d20 {version_of('d20')} | d20/kavelo |"
        rule += "---:|---:|"
    lines = [header, rule]
    for row in rows:
        line = f'| `roll_dice("{row.text}")` | {row.kavelo:,.0f} |'
        if with_d20:
            if row.d20 is None:
                line += "  |  |"
            else:
                line += f" {row.d20:,.0f} | {row.d20 / row.kavelo:.1f}× |"
        lines.append(line)
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    if argv[:1] == ["--child"]:
        child(argv[1], argv[2], int(argv[3]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--calls",
        type=float,
        default=1.0,
        help="scale the number of calls of every row (default 1: 2,000 calls of a small roll)",
    )
    parser.add_argument(
        "--only", action="append", help="measure only this text, which may be any (repeatable)"
    )
    parser.add_argument("--no-d20", action="store_true", help="leave d20 out even when installed")
    args = parser.parse_args(argv)
    if shutil.which("valgrind") is None:
        print("valgrind is not on PATH (Debian: apt-get install valgrind)", file=sys.stderr)
        return 1
    with_d20 = has_d20() and not args.no_d20
    rows: list[Row] = []
    workloads = WORKLOADS
    if args.only:
        # Any text may be measured; one not in the table makes 1,000 calls.
        known = dict(WORKLOADS)
        workloads = [(text, known.get(text, 1000)) for text in args.only]
    for text, calls in workloads:
        count = max(1, round(calls * args.calls))
        kavelo_figure = per_call("kavelo", text, count)
        d20_figure = per_call("d20", text, max(1, count // D20_SHARE)) if with_d20 else None
        rows.append(Row(text, kavelo_figure, d20_figure))
    print(
        f"Instructions per call (valgrind --tool=callgrind, N calls minus 0 calls, / N); "
        f"Python {platform.python_version()}, {platform.machine()}, kavelo {version_of('kavelo')}"
    )
    print()
    print(table(rows, with_d20))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
