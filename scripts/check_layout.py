"""Checks the shape of the source tree: files and functions a reader can take in at once,
and a Python package whose modules import each other without circles.

    python3 scripts/check_layout.py        prints each finding; exit status 1 if any

- every C++ and Python source file under src/ and python/kavelo/ has at most
  MAX_FILE_LINES lines (tables excepted);
- every Python function or method there has at most MAX_FUNCTION_LINES lines (C++
  functions are held to the same bound by clang-tidy's readability-function-size, see
  .clang-tidy);
- the import graph of the package's modules has no cycle, counting every import
  (module level, inside functions and under ``if TYPE_CHECKING``): a cycle of type-only
  imports still means two modules that cannot be read apart.

Standard library only: CI runs it before anything is installed.
"""

from __future__ import annotations

import ast
import pathlib
import sys
from collections.abc import Iterator

ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "python" / "kavelo"
MAX_FILE_LINES = 600
MAX_FUNCTION_LINES = 80
# Tables, read row by row rather than as prose: the generated grammar, the error rows.
TABLES = {"src/parser/kavelo/grammar.cpp", "src/errors/error_table.hpp"}


def _sources() -> Iterator[pathlib.Path]:
    for pattern in ("src/**/*.cpp", "src/**/*.hpp", "python/kavelo/**/*.py"):
        yield from sorted(ROOT.glob(pattern))


def long_files() -> Iterator[str]:
    for path in _sources():
        name = path.relative_to(ROOT).as_posix()
        lines = len(path.read_text(encoding="utf-8").splitlines())
        if lines > MAX_FILE_LINES and name not in TABLES:
            yield f"{name}: {lines} lines (at most {MAX_FILE_LINES})"


def long_functions() -> Iterator[str]:
    for path in sorted(PACKAGE.rglob("*.py")):
        tree = ast.parse(path.read_text(encoding="utf-8"))
        for node in ast.walk(tree):
            if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef):
                first = min([node.lineno, *(d.lineno for d in node.decorator_list)])
                lines = (node.end_lineno or node.lineno) - first + 1
                if lines > MAX_FUNCTION_LINES:
                    name = path.relative_to(ROOT).as_posix()
                    yield f"{name}:{node.lineno}: {node.name} has {lines} lines"


def module_name(path: pathlib.Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def _resolve(importer: str, is_package: bool, node: ast.ImportFrom) -> list[str]:
    if node.level == 0:
        base = node.module or ""
    else:
        parts = importer.split(".")
        keep = len(parts) - node.level + (1 if is_package else 0)
        base = ".".join(parts[:keep] + ([node.module] if node.module else []))
    # "from . import x" may name a module: both the base and base.x are candidates.
    return [base, *(f"{base}.{alias.name}" for alias in node.names)]


def import_graph() -> dict[str, set[str]]:
    paths = sorted(PACKAGE.rglob("*.py"))
    modules = {module_name(p): p for p in paths}
    graph: dict[str, set[str]] = {name: set() for name in modules}
    for name, path in modules.items():
        is_package = path.name == "__init__.py"
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                targets = [alias.name for alias in node.names]
            elif isinstance(node, ast.ImportFrom):
                targets = _resolve(name, is_package, node)
            else:
                continue
            for target in targets:
                if target in modules and target != name and not name.startswith(target + "."):
                    graph[name].add(target)
    return graph


def cycles(graph: dict[str, set[str]]) -> Iterator[str]:
    """One line per strongly connected component of more than one module (Tarjan)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph[node]):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            component = []
            while True:
                top = stack.pop()
                on_stack.discard(top)
                component.append(top)
                if top == node:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    for component in found:
        yield "import circle: " + " <-> ".join(component)


def main() -> int:
    findings = [*long_files(), *long_functions(), *cycles(import_graph())]
    for line in findings:
        print(line)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
