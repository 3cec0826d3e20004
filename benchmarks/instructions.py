"""Instructions per call of kavelo's rolls (and d20's), counted by callgrind.

Wall time on a shared machine swings by a factor of 1.5 to 3 between runs; the number of
instructions a call executes does not. Each figure is the instruction count of a script
that makes N calls, minus that of the same script making 0 calls, divided by N, under
`valgrind --tool=callgrind`, with the kavelo (and d20) installed in the interpreter that
runs this script. Both scripts import the library and make a few unmeasured calls
first, so imports and first-call set-up cancel out. Not a test: run

    python benchmarks/instructions.py [--calls N] [--only TEXT] [--no-d20]

It needs valgrind on PATH and takes about a minute (d20, when installed, the most).

The floor column is the part of each call that is the interpreter's own: the same
call made to the measurement module `kavelo_floor` (bench/floor_module), which binds
and reads its argument through roll_dice's own entry and converts a result rolled
once before, through roll_dice's own conversion, so it parses and rolls nothing. The
script builds that module with CMake in build/floor (with the interpreter running it)
unless --no-floor is given; "parse and roll" is the difference, kavelo's own work.
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
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FLOOR_BUILD = os.path.join(ROOT, "build", "floor")
FLOOR_MODULE_DIR = os.path.join(FLOOR_BUILD, "bench", "floor_module")


@dataclass
class Row:
    text: str
    kavelo: float
    d20: float | None
    floor: float | None = None


def child(library: str, text: str, calls: int) -> None:
    """The measured script: imports the library, warms up, then makes `calls` calls."""
    if library == "kavelo":
        import kavelo

        roll = kavelo.roll_dice
    elif library == "floor":
        import kavelo_floor

        kavelo_floor.prepare(text)
        roll = kavelo_floor.roll
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
    environment = child_environment(library)
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
        [sys.executable, os.path.abspath(__file__), "--child", library, text, "0"],
        check=True,
        env=child_environment(library),
    )
    empty = instructions(library, text, 0)
    full = instructions(library, text, calls)
    return (full - empty) / calls


def child_environment(library: str) -> dict[str, str]:
    # A fixed hash seed: the same script then runs the same interpreter paths.
    environment = dict(os.environ, PYTHONHASHSEED="0")
    if library == "floor":
        path = environment.get("PYTHONPATH")
        environment["PYTHONPATH"] = FLOOR_MODULE_DIR + (os.pathsep + path if path else "")
    return environment


def build_floor() -> None:
    """Configures and builds kavelo_floor in build/floor for this interpreter."""
    if not os.path.exists(os.path.join(FLOOR_BUILD, "CMakeCache.txt")):
        configure = [
            "cmake",
            "-S",
            ROOT,
            "-B",
            FLOOR_BUILD,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DKAVELO_BUILD_BENCH=ON",
            "-DKAVELO_BUILD_PYTHON=ON",
            f"-DPython_EXECUTABLE={sys.executable}",
        ]
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    build = ["cmake", "--build", FLOOR_BUILD, "--target", "kavelo_floor"]
    subprocess.run(build, check=True, stdout=subprocess.DEVNULL)
    if not any(name.startswith("kavelo_floor.") for name in os.listdir(FLOOR_MODULE_DIR)):
        raise SystemExit(f"the build made no kavelo_floor module in {FLOOR_MODULE_DIR}")


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


def table(rows: list[Row], with_d20: bool, with_floor: bool) -> str:
    header = "| call | kavelo |"
    rule = "|---|---:|"
    if with_floor:
        header += " floor | parse and roll |"
        rule += "---:|---:|"
    if with_d20:
        header += f" d20 {version_of('d20')} | d20/kavelo |"
        rule += "---:|---:|"
    lines = [header, rule]
    for row in rows:
        line = f'| `roll_dice("{row.text}")` | {row.kavelo:,.0f} |'
        if with_floor and row.floor is not None:
            line += f" {row.floor:,.0f} | {row.kavelo - row.floor:,.0f} |"
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
    parser.add_argument(
        "--no-floor", action="store_true", help="leave out the interpreter's own part (no build)"
    )
    args = parser.parse_args(argv)
    if shutil.which("valgrind") is None:
        print("valgrind is not on PATH (Debian: apt-get install valgrind)", file=sys.stderr)
        return 1
    with_d20 = has_d20() and not args.no_d20
    with_floor = not args.no_floor
    if with_floor:
        build_floor()
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
        floor_figure = per_call("floor", text, count) if with_floor else None
        rows.append(Row(text, kavelo_figure, d20_figure, floor_figure))
    print(
        f"Instructions per call (valgrind --tool=callgrind, N calls minus 0 calls, / N); "
        f"Python {platform.python_version()}, {platform.machine()}, kavelo {version_of('kavelo')}"
    )
    print()
    print(table(rows, with_d20, with_floor))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
