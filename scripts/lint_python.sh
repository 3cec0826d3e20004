#!/usr/bin/env bash
# Lints the Python tree with the settings in pyproject.toml: ruff's rules, ruff's
# formatting, and mypy --strict over the package, the tests, the benchmarks and the
# scripts. Runs all three and fails if any fails.
#
#   bash scripts/lint_python.sh          check only (what CI runs)
#   bash scripts/lint_python.sh --fix    apply ruff's fixes and its formatting first
#
# ruff and mypy come into the checkout's .venv at the versions scripts/venv.sh pins, so
# every checkout formats and checks alike; pytest, hypothesis and Selenium come too, since
# mypy reads the tests' imports of them. Nothing is built: mypy reads the package from
# python/ and the native modules from their stubs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

fix=0
for arg in "$@"; do
  case "$arg" in
    --fix) fix=1 ;;
    *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
  esac
done

kavelo_venv
venv_pip "${KAVELO_LINT_TOOLS[@]}" "pytest>=7" "hypothesis>=6" "${KAVELO_WEB_TEST_TOOLS[@]}"
bin=$(dirname "$VENV_PYTHON")

if [ "$fix" -eq 1 ]; then
  "$bin/ruff" check --fix --quiet . || true
  "$bin/ruff" format --quiet .
fi

failed=()
echo "== ruff check"
"$bin/ruff" check . || failed+=("ruff check")
echo "== ruff format --check"
"$bin/ruff" format --check . || failed+=("ruff format (run: bash scripts/lint_python.sh --fix)")
echo "== mypy --strict"
"$bin/mypy" || failed+=("mypy")

if [ "${#failed[@]}" -gt 0 ]; then
  printf '%s: failed: %s\n' "$0" "${failed[*]}" >&2
  exit 1
fi
