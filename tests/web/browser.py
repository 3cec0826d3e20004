"""Helpers of the browser tests: running the module in the page, and the Python module's
answers written the way the browser's are compared."""

from __future__ import annotations

import json
from typing import Any

from kavelo.errors import match_error

# Defines, in the page, `engine` (the module), `dump` (JSON with BigInt as numbers) and
# `policyOf` (a ResourcePolicy from a dict of limits). Prepended to every script below.
PRELUDE = """
const engine = await import(arguments[0] + "/kavelo.mjs");
const dump = (value) => JSON.stringify(value, (key, x) => (typeof x === "bigint" ? JSON.rawJSON(String(x)) : x));
const policyOf = (limits) =>
  limits === null ? undefined : Object.entries(limits).reduce((p, [n, v]) => p.withLimit(n, v), new engine.ResourcePolicy());
const outcome = (body) => {
  try {
    return "ok:" + dump(body());
  } catch (error) {
    if (error instanceof engine.KaveloError) return `error:${error.code}\\u0000${error.message}`;
    return `${error.name}:${error.message}`;
  }
};
"""


def run_in_page(driver: Any, base: str, body: str, *arguments: Any) -> Any:
    """Runs `body` (the PRELUDE's names in scope; its arguments from arguments[1] on) in
    the page and returns what it returns."""
    return driver.execute_script(PRELUDE + body, base, *arguments)


def dumps(value: Any) -> str:
    """JSON as the page's dump writes it (the Python dictionaries keep their key order)."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def code_of(message: str) -> str:
    """The stable code of an error text, as kavelo.explain gives it ("" for a text no
    row of the error table produces)."""
    found = match_error(message)
    return found.code if found else ""


def python_outcome(body: Any) -> str:
    """What the page's outcome() gives for the same request made in Python."""
    try:
        return "ok:" + dumps(body())
    except ValueError as error:
        return f"error:{code_of(str(error))}\x00{error}"
