"""Checks that every C++ source file of the tree is named in a CMakeLists.txt.

The CMake files list their sources one by one instead of globbing them, so a new file
that nobody adds to a list would silently stay out of the build; for a test file, its
tests would silently never run. This script fails on any such file, and on any listed
file that does not exist.

    python scripts/check_cmake_sources.py
"""

from __future__ import annotations

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
# The folders whose .cpp files belong to some target.
SOURCE_FOLDERS = ("src", "tests/cpp", "bench", "fuzz")
# A word ending in .cpp, optionally prefixed by one of the two folder variables.
LISTED = re.compile(r"(\$\{(?:PROJECT_SOURCE_DIR|CMAKE_CURRENT_SOURCE_DIR)\}/)?([\w./-]+\.cpp)\b")


def listed_sources() -> set[pathlib.Path]:
    listed: set[pathlib.Path] = set()
    for cmake_file in ROOT.glob("**/CMakeLists.txt"):
        if cmake_file.relative_to(ROOT).parts[0] in {"build", ".venv"}:
            continue
        for match in LISTED.finditer(cmake_file.read_text(encoding="utf-8")):
            prefix, name = match.groups()
            base = ROOT if prefix == "${PROJECT_SOURCE_DIR}/" else cmake_file.parent
            listed.add((base / name).resolve())
    return listed


def main() -> int:
    listed = listed_sources()
    present = {
        path.resolve() for folder in SOURCE_FOLDERS for path in (ROOT / folder).glob("**/*.cpp")
    }
    problems = [
        f"{path.relative_to(ROOT)}: in no CMakeLists.txt" for path in sorted(present - listed)
    ]
    problems += [
        f"{path.relative_to(ROOT)}: listed but missing" for path in sorted(listed - present)
    ]
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    print(f"CMake source lists: all {len(present)} C++ source files listed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
