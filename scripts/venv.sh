# Sourced by the scripts in this folder. Creates or reuses the checkout's virtual
# environment and puts its bin folder first on PATH, so that python, pip, cmake, ninja
# and ctest all come from it; nothing is ever installed into the system Python.
#
#   KAVELO_VENV   the environment's folder (default: .venv in the checkout)
#   PYTHON        the interpreter that creates it (default: python3); when PYTHON is
#                 itself the interpreter of a virtual environment, that one is used
#
# Sets VENV_PYTHON to the environment's interpreter.

kavelo_venv() {
  local base=${PYTHON:-python3} folder=${KAVELO_VENV:-$PWD/.venv}
  if ! command -v "$base" >/dev/null 2>&1; then
    echo "$0: $base not found: install python3 (3.11 or newer)" >&2
    return 1
  fi
  if ! "$base" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
    echo "$0: kavelo needs Python 3.11 or newer; $base is $("$base" -c 'import sys; print(sys.version.split()[0])')" >&2
    return 1
  fi
  if "$base" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
    folder=$("$base" -c 'import sys; print(sys.prefix)')
  elif ! "$folder/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
    # Missing, or left broken (its interpreter moved or removed): make it afresh.
    if [ -e "$folder" ] && [ ! -e "$folder/pyvenv.cfg" ]; then
      echo "$0: $folder exists and is not a virtual environment; set KAVELO_VENV to another folder" >&2
      return 1
    fi
    echo "== creating the virtual environment $folder"
    rm -rf "$folder"
    if ! "$base" -m venv "$folder" >/dev/null; then
      rm -rf "$folder"
      echo "$0: $base cannot create a virtual environment: install python3-venv" >&2
      return 1
    fi
  fi
  VENV_PYTHON="$folder/bin/python"
  PATH="$folder/bin:$PATH"
  export PATH VENV_PYTHON
}

# pip install into the environment, quietly.
venv_pip() {
  "$VENV_PYTHON" -m pip install -q --disable-pip-version-check "$@"
}

# The Python lint tools at exact versions: a newer ruff formats and flags differently,
# a newer mypy finds other errors, and every checkout must agree with CI.
KAVELO_LINT_TOOLS=("ruff==0.17.6" "mypy==2.4.1")

# What the browser tests drive Chromium with (scripts/build_web.sh --test-tools).
KAVELO_WEB_TEST_TOOLS=("selenium==4.51.0")
