"""kavelo.mjs in Chromium: where its randomness comes from, its policy object, its
arguments and their errors, integers past 2^53, running out of memory, and its exports
against kavelo.d.ts."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
from typing import Any

import pytest

import kavelo
from browser import python_outcome, run_in_page
from conftest import ROOT, WEB

pytestmark = pytest.mark.browser

VECTORS = json.loads((ROOT / "tests" / "data" / "chacha12_vectors.json").read_text())


@pytest.fixture
def page(driver: Any, server: str) -> Any:
    driver.get(server + "/blank.html")
    return driver


def faces_from_draws(draws: list[int], bounds: list[int]) -> list[int]:
    """The faces a generator gives for dice of `bounds` sides from its 64-bit draws: each
    by rejection below the largest multiple of the sides, plus 1."""
    faces, at = [], 0
    for sides in bounds:
        zone = 2**64 - (2**64 % sides)
        while draws[at] >= zone:
            at += 1
        faces.append(draws[at] % sides + 1)
        at += 1
    return faces


KEYED = """
const key = arguments[1];
const calls = [];
crypto.getRandomValues = (view) => {
  calls.push(view.length);
  view.set(key.slice(0, view.length));
  return view;
};
Math.random = () => { throw new Error("Math.random was called"); };
const traced = engine.trace(arguments[2]);
const again = engine.trace(arguments[2]);
const plain = engine.roll("1+2");
const odds = engine.odds("3d6");
return [engine.faces(traced), engine.faces(again), calls];
"""


@pytest.mark.parametrize(
    "text, bounds",
    [("8d16", [16] * 8), ("3d6+2d20+1d2147483647", [6] * 3 + [20] * 2 + [2147483647])],
)
def test_each_request_keys_its_chacha12_generator_from_get_random_values(
    page: Any, server: str, text: str, bounds: list[int]
) -> None:
    vector = VECTORS["keys"][0]
    key = list(bytes.fromhex(vector["key_hex"]))
    draws = [int(word, 16) for word in vector["draws_u64_hex"]]
    first, second, calls = run_in_page(page, server, KEYED, key, text)
    # The known key stream of that key, read as the request generator reads it.
    assert first == faces_from_draws(draws, bounds)
    assert second == first  # the same key again: the same stream from its start
    # One 32-byte key per request, the request without dice too; none for the odds.
    assert calls == [32, 32, 32]


FRESH = """
const seen = new Set();
for (let i = 0; i < 200; i += 1) seen.add(engine.roll("1d2147483647").total);
return seen.size;
"""


def test_every_request_draws_a_fresh_key(page: Any, server: str) -> None:
    assert run_in_page(page, server, FRESH) == 200


REFUSED = """
crypto.getRandomValues = () => { throw new Error("no entropy here"); };
return [outcome(() => engine.roll("1d6")), outcome(() => engine.roll("1+2"))];
"""


def test_refused_entropy_fails_the_request_with_the_entropy_error(page: Any, server: str) -> None:
    for out in run_in_page(page, server, REFUSED):
        assert out.startswith(
            "error:random.entropy_unavailable\x00[random.entropy_unavailable] "
            "operating-system entropy is unavailable: OS Error: "
        )


POLICY = """
const policy = new engine.ResourcePolicy();
const tight = policy.withLimit("generated_values", 5).withLimit("work_units", 7n);
return {
  limits: Object.entries(policy.limits()),
  hard: Object.entries(policy.hardLimits()),
  tight: Object.entries(tight.limits()),
  frozen: Object.isFrozen(policy),
  errors: arguments[1].map(([name, limit]) => outcome(() => policy.withLimit(name, limit))),
  roll: outcome(() => engine.roll("6d6", policy.withLimit("generated_values", 5))),
  typeErrors: [
    outcome(() => policy.withLimit("ast_nodes", "10")),
    outcome(() => policy.withLimit("ast_nodes", 1.5)),
    outcome(() => policy.withLimit("ast_nodes", 2n ** 63n)),
    outcome(() => engine.roll("1d6", { limits: () => ({}) })),
  ],
};
"""


def test_the_policy_object_has_the_python_limits_and_errors(page: Any, server: str) -> None:
    bad = [["work_units", -1], ["WORK_UNITS", 5], ["ast_nodes", 65537], ["work_units", 0]]
    got = run_in_page(page, server, POLICY, bad)
    policy = kavelo.ResourcePolicy()
    # In the same order, from source_bytes to batch_samples.
    assert got["limits"] == [list(item) for item in policy.limits().items()]
    assert got["hard"] == [list(item) for item in policy.hard_limits().items()]
    tight = policy.with_limit("generated_values", 5).with_limit("work_units", 7)
    assert got["tight"] == [list(item) for item in tight.limits().items()]
    assert got["frozen"] is True
    for (name, limit), out in zip(bad, got["errors"], strict=True):
        want = python_outcome(lambda n=name, v=limit: policy.with_limit(n, v).limits())
        if want.startswith("ok:"):
            assert out.startswith("ok:")  # a new policy (an object without own keys)
        else:
            assert out == want
    roller = kavelo.Kavelo(policy.with_limit("generated_values", 5))
    assert got["roll"] == python_outcome(lambda: roller.roll("6d6"))
    assert got["typeErrors"] == [
        "TypeError:argument 'limit': 'str' object cannot be interpreted as an integer",
        "TypeError:argument 'limit': 'float' object cannot be interpreted as an integer",
        "RangeError:Python int too large to convert to C long",
        "TypeError:argument 'policy': 'object' object is not a ResourcePolicy",
    ]


ARGUMENTS = """
const lone = (codes) => String.fromCharCode(...codes);
return {
  notText: [outcome(() => engine.roll(null)), outcome(() => engine.run(5)), outcome(() => engine.odds(["1d6"]))],
  surrogates: [
    outcome(() => engine.roll(lone([0xdcff]))),
    outcome(() => engine.trace("x" + lone([0xd800, 0xd800]) + "y")),
    outcome(() => engine.odds("😀" + lone([0xdfff]))),
  ],
  faces: arguments[1].map((faces) => outcome(() => engine.replay("1d6", faces))),
  special: [
    outcome(() => engine.replay("1d6", [1.5])),
    outcome(() => engine.replay("1d6", [2 ** 63])),
    outcome(() => engine.replay("1d6", [-(2n ** 63n) - 1n])),
    outcome(() => engine.replay("1d6", 5)),
    outcome(() => engine.replay("2d6", new Set([3, 4]))),
    outcome(() => engine.replay("2d6", (function* () { yield 3; yield 4n; })())),
    outcome(() => engine.replay("1d6", (function* () { for (;;) yield 1; })())),
  ],
  options: arguments[2].map((options) => outcome(() => engine.odds("1d6", options))),
  badOptions: [
    outcome(() => engine.odds("1d6", { tolerance: NaN })),
    outcome(() => engine.odds("1d6", { tolerance: "x" })),
    outcome(() => engine.odds("1d6", { maxOutcomes: 2n ** 64n })),
    outcome(() => engine.odds("1d6", { maxWork: 1.5 })),
  ],
};
"""


def test_argument_errors_have_the_python_texts(page: Any, server: str) -> None:
    faces = [["3"], [True], [None], [0], [-(2**63)], [7], [3, 4], [], [1] * 10001]
    options: list[dict[str, Any]] = [
        {"tolerance": 2},
        {"tolerance": 1e20},
        {"tolerance": 0},
        {"tolerance": 1.5e-5},
        {"maxOutcomes": 0},
        {"maxWork": -3},
        {"maxOutcomes": 3, "maxWork": 5},
    ]
    got = run_in_page(page, server, ARGUMENTS, faces, options)
    assert got["notText"] == [
        "TypeError:argument 'expression': 'NoneType' object cannot be converted to 'PyString'",
        "TypeError:argument 'program': 'int' object cannot be converted to 'PyString'",
        "TypeError:argument 'expression': 'list' object cannot be converted to 'PyString'",
    ]
    # The text Python's UTF-8 encoder raises, positions counted in code points.
    for out, text in zip(got["surrogates"], ("\udcff", "x\ud800\ud800y", "😀\udfff"), strict=True):
        with pytest.raises(UnicodeEncodeError) as raised:
            kavelo.roll_dice(text)
        assert out == f"RangeError:{raised.value}"
    for out, given in zip(got["faces"], faces, strict=True):
        assert out == python_outcome(lambda f=given: kavelo.replay("1d6", f).to_dict())
    python_special = [
        python_outcome(lambda: kavelo.replay("1d6", [1.5]).to_dict()),  # type: ignore[list-item]
        python_outcome(lambda: kavelo.replay("1d6", [2**63]).to_dict()),
        python_outcome(lambda: kavelo.replay("1d6", [-(2**63) - 1]).to_dict()),
        "TypeError:'int' object is not iterable",
        python_outcome(lambda: kavelo.replay("2d6", [3, 4]).to_dict()),
        python_outcome(lambda: kavelo.replay("2d6", [3, 4]).to_dict()),
        python_outcome(lambda: kavelo.replay("1d6", iter(int, 1)).to_dict()),
    ]
    assert got["special"] == python_special
    keywords = {"tolerance": "tolerance", "maxOutcomes": "max_outcomes", "maxWork": "max_work"}
    for out, given in zip(got["options"], options, strict=True):
        python = {keywords[k]: v for k, v in given.items()}
        if isinstance(python.get("tolerance"), int):
            # A JavaScript number is a double: 2 there is Python's 2.0.
            python["tolerance"] = float(python["tolerance"])
        want = python_outcome(lambda p=python: kavelo.odds("1d6", **p).to_dict())
        if want.startswith("ok:"):
            assert odds_data(out) == odds_data(want)
        else:
            assert out == want
    assert got["badOptions"] == [
        python_outcome(lambda: kavelo.odds("1d6", tolerance=float("nan")).to_dict()),
        "TypeError:argument 'tolerance': must be a real number, not 'str'",
        python_outcome(lambda: kavelo.odds("1d6", max_outcomes=2**64).to_dict()),
        "TypeError:argument 'max_work': 'float' object cannot be interpreted as an integer",
    ]


def odds_data(out: str) -> dict[str, Any]:
    """The odds of an "ok:" outcome with every probability and moment as a float (the page
    writes 0.0 as 0, and a large mean without its exponent)."""
    assert out.startswith("ok:"), out
    data: dict[str, Any] = json.loads(out[3:])
    data["pmf"] = [[x, float(p)] for x, p in data["pmf"]]
    for key in ("mean", "stdev"):
        data[key] = None if data[key] is None else float(data[key])
    data["truncated"] = float(data["truncated"])
    data["failures"] = {k: float(v) for k, v in data["failures"].items()}
    return data


SIZES = """
return arguments[1].map(([piece, times]) => outcome(() => engine.roll(piece.repeat(times))));
"""


@pytest.mark.parametrize(
    "piece, times",
    [("1", 1 << 20), ("é", 70000), ("😀", 30000), ("1", 65536), ("(", 100000), ("1d6+", 20000)],
)
def test_long_texts_fail_with_the_python_source_error(
    page: Any, server: str, piece: str, times: int
) -> None:
    (out,) = run_in_page(page, server, SIZES, [[piece, times]])
    assert out == python_outcome(lambda: kavelo.roll_dice(piece * times))


WIDE = """
const roll = engine.roll("9223372036854775807+0");
const small = engine.roll("9007199254740991+0");
const odds = engine.odds("1d2*4611686018427387904");
return [typeof roll.total, String(roll.total), typeof small.total, typeof odds.max,
        JSON.stringify(odds), dump(engine.trace("1d1*9223372036854775807"))];
"""


def test_integers_past_2_53_stay_exact(page: Any, server: str) -> None:
    kind, total, small, outcome_kind, odds_json, traced = run_in_page(page, server, WIDE)
    assert (kind, total, small, outcome_kind) == (
        "bigint",
        "9223372036854775807",
        "number",
        "bigint",
    )
    assert odds_data("ok:" + odds_json) == odds_data(
        "ok:" + json.dumps(kavelo.odds("1d2*4611686018427387904").to_dict())
    )
    assert (
        traced
        == python_outcome(lambda: kavelo.replay("1d1*9223372036854775807", [1]).to_dict())[3:]
    )


NODE_WIDE = """
import { roll, trace } from "%s";
console.log(JSON.stringify([String(roll("9223372036854775807+0").total),
  String(roll("-9223372036854775808 # \\"12345678901234567890\\"").total),
  roll("-9223372036854775808 # \\"12345678901234567890\\"").comment,
  String(trace("1d1*-9007199254740993").result.total), typeof roll("9007199254740991+0").total]));
"""


def test_integers_past_2_53_stay_exact_without_json_source_access() -> None:
    # Node.js 20 has no source text in JSON.parse revivers: the module's other path.
    node = shutil.which("node")
    if node is None:
        pytest.skip("node is missing")
    script = NODE_WIDE % (WEB / "kavelo.mjs").as_uri()
    done = subprocess.run(
        [node, "--input-type=module", "-e", script], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [
        "9223372036854775807",
        "-9223372036854775808",
        '"12345678901234567890"',
        "-9007199254740993",
        "number",
    ]


MEMORY = """
const first = outcome(() => engine.odds("1d200000000", { maxOutcomes: 10n ** 10n, maxWork: 10n ** 15n }));
const fault = (() => {
  try { engine.odds("1d200000000", { maxOutcomes: 10n ** 10n, maxWork: 10n ** 15n }); } catch (e) {
    return [e instanceof engine.KaveloFault, e.outOfMemory];
  }
})();
return [first, fault, outcome(() => engine.roll("3d1+1")), outcome(() => engine.odds("2d6").toDict().max)];
"""


def test_running_out_of_memory_throws_a_fault_and_the_next_call_works(
    page: Any, server: str
) -> None:
    first, fault, after, odds_after = run_in_page(page, server, MEMORY)
    assert first.startswith("KaveloFault:out of memory")
    assert fault == [True, True]
    assert after == python_outcome(lambda: kavelo.roll_dice("3d1+1"))
    assert odds_after == "ok:12"


EXPORTS = """
const error = engine.check("2d6 x");
return [Object.keys(engine).sort(), engine.version,
        [error instanceof engine.KaveloError, error.message, error.code, error.english],
        engine.check("2d6 # fine"), engine.check("1d1!"), outcome(() => engine.check(7))];
"""


def declared_names() -> list[str]:
    text = (WEB / "kavelo.d.ts").read_text(encoding="utf-8")
    return sorted(set(re.findall(r"^export (?:function|class|const) (\w+)", text, re.M)))


def test_exports_are_the_declared_ones_and_check_reports_syntax(page: Any, server: str) -> None:
    names, version, syntax, fine, unbounded, not_text = run_in_page(page, server, EXPORTS)
    assert names == declared_names()
    assert version == (ROOT / "VERSION").read_text().strip() == kavelo.__version__
    with pytest.raises(ValueError) as raised:
        kavelo.roll_dice("2d6 x")
    # check() hands the error back, with roll_dice's text and the code and English text
    # kavelo.explain gives it.
    why = kavelo.explain(raised.value)
    assert syntax == [True, str(raised.value), why.code, why.message]
    assert fine is None
    assert unbounded is None  # it parses: its limit is met only when it is rolled
    assert not_text.startswith("TypeError:argument 'expression'")


def test_typescript_declarations_compile_against_their_uses() -> None:
    tsc = shutil.which("tsc")
    if tsc is None:
        pytest.skip("the TypeScript compiler is missing (Debian's node-typescript)")
    typing = ROOT / "web" / "typing"
    done = subprocess.run(
        [tsc, "--project", str(typing / "tsconfig.json")],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
