"""The browser module gives the Python module's answers: over 1,200 generated texts
(every modifier, operator and failure), replay with the same faces gives byte-identical
results and error texts, the odds agree within 1e-12, and tight limits end the same
requests with the same codes and texts."""

from __future__ import annotations

import json
import math
import random
from collections.abc import Callable
from typing import Any

import pytest

import kavelo
from browser import python_outcome, run_in_page
from generated import FAILING, texts

pytestmark = pytest.mark.browser

TEXTS = texts(1200, seed=27)


def faces_of(text: str, policy: kavelo.ResourcePolicy | None = None) -> list[int]:
    """The faces of one roll of `text`, or none when it cannot be rolled."""
    try:
        return kavelo.trace(text, policy).faces()
    except ValueError:
        return []


def replay_cases() -> list[dict[str, Any]]:
    """Each text with the faces of a roll, and with those faces one short, one over and
    one out of its die's range."""
    rng = random.Random(5)
    cases: list[dict[str, Any]] = []
    for text in TEXTS:
        faces = faces_of(text)
        cases.append({"text": text, "faces": faces, "limits": None})
        if not faces:
            cases.append({"text": text, "faces": [rng.randint(1, 6)], "limits": None})
            continue
        cases.append({"text": text, "faces": faces[:-1], "limits": None})
        cases.append({"text": text, "faces": faces + [1], "limits": None})
        broken = list(faces)
        at = rng.randrange(len(broken))
        broken[at] = rng.choice((0, 2147483647, broken[at] + 1000, -5))
        cases.append({"text": text, "faces": broken, "limits": None})
    return cases


def policy_of(limits: dict[str, int] | None) -> kavelo.ResourcePolicy | None:
    if limits is None:
        return None
    policy = kavelo.ResourcePolicy()
    for name, value in limits.items():
        policy = policy.with_limit(name, value)
    return policy


def mismatches(expected: list[str], got: list[str], cases: list[Any]) -> list[str]:
    return [
        f"{case!r}\n  python:  {want!r}\n  browser: {have!r}"
        for case, want, have in zip(cases, expected, got, strict=True)
        if want != have
    ]


REPLAY = """
return arguments[1].map((c) => outcome(() => engine.replay(c.text, c.faces, policyOf(c.limits))));
"""


def check_replays(driver: Any, server: str, cases: list[dict[str, Any]]) -> None:
    expected = [
        python_outcome(
            lambda c=case: kavelo.replay(c["text"], c["faces"], policy_of(c["limits"])).to_dict()
        )
        for case in cases
    ]
    got = run_in_page(driver, server, REPLAY, cases)
    wrong = mismatches(expected, got, cases)
    assert not wrong, f"{len(wrong)} of {len(cases)} differ:\n" + "\n".join(wrong[:10])


def test_replay_gives_the_python_results_and_errors_byte_for_byte(driver: Any, server: str) -> None:
    driver.get(server + "/blank.html")
    cases = replay_cases()
    assert len({case["text"] for case in cases}) >= 1000
    # The cases reach every modifier, results and errors both.
    outcomes = [kavelo.replay(c["text"], c["faces"]) for c in cases[:400] if _replays(c)]
    modifiers = {face.by for t in outcomes for term in t.terms for face in term.faces}
    assert {"kh", "kl", "dh", "dl", "r", "ro", "R", "a", "u", "c", "k", "K"} <= {
        m.rstrip("-0123456789") for m in modifiers if m
    }
    check_replays(driver, server, cases)


def _replays(case: dict[str, Any]) -> bool:
    try:
        kavelo.replay(case["text"], case["faces"])
        return True
    except ValueError:
        return False


def close(a: float | None, b: float | None, relative: bool = False) -> bool:
    if a is None or b is None:
        return a is b
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    bound = 1e-12 * max(1.0, abs(a)) if relative else 1e-12
    return abs(a - b) <= bound


def odds_differences(want: dict[str, Any], have: dict[str, Any]) -> list[str]:
    problems = []
    for key in ("expression", "min", "max"):
        if want[key] != have[key]:
            problems.append(f"{key}: {want[key]!r} != {have[key]!r}")
    if [x for x, _ in want["pmf"]] != [x for x, _ in have["pmf"]]:
        problems.append("the totals differ")
    else:
        far = [
            x for (x, p), (_, q) in zip(want["pmf"], have["pmf"], strict=True) if not close(p, q)
        ]
        if far:
            problems.append(f"probabilities beyond 1e-12 at {far[:5]}")
    if want["failures"].keys() != have["failures"].keys() or not all(
        close(p, have["failures"][k]) for k, p in want["failures"].items()
    ):
        problems.append(f"failures {want['failures']} != {have['failures']}")
    if not close(want["truncated"], have["truncated"]):
        problems.append(f"truncated {want['truncated']} != {have['truncated']}")
    for key in ("mean", "stdev"):
        if not close(want[key], have[key], relative=True):
            problems.append(f"{key} {want[key]} != {have[key]}")
    return problems


ODDS = """
return arguments[1].map((text) => outcome(() => engine.odds(text).toDict()));
"""


def test_odds_agree_with_python_within_1e_12(driver: Any, server: str) -> None:
    driver.get(server + "/blank.html")
    got = run_in_page(driver, server, ODDS, TEXTS)
    wrong = []
    computed = 0
    for text, have in zip(TEXTS, got, strict=True):
        want = python_outcome(lambda t=text: kavelo.odds(t).to_dict())
        if want.startswith("error:") or have.startswith("error:"):
            if want != have:
                wrong.append(f"{text!r}: {want!r} != {have!r}")
            continue
        computed += 1
        problems = odds_differences(json.loads(want[3:]), json.loads(have[3:]))
        if problems:
            wrong.append(f"{text!r}: " + "; ".join(problems))
    assert computed >= 1000
    assert not wrong, f"{len(wrong)} differ:\n" + "\n".join(wrong[:10])


# Limits that a request charges or checks, each tightened so that some of the texts
# below pass it and some do not.
TIGHT = {
    "source_bytes": 12,
    "parse_depth": 2,
    "ast_nodes": 9,
    "nesting_depth": 3,
    "source_items": 4,
    "generated_values": 6,
    "rng_words": 5,
    "collection_items": 4,
    "output_items": 4,
    "output_bytes": 120,
    "work_units": 14,
}
LIMIT_TEXTS = (
    "1d6",
    "4d6",
    "5d6kh3",
    "3d6+2d6",
    "((1))",
    "(((2d6)))",
    "1+2+3+4",
    "3d2!",
    "4d6r2",
    "2d6 # a comment that is long",
    "4d6s s s s",
    "6d6ukh2",
)


def test_tight_limits_end_the_same_requests_with_the_same_codes(driver: Any, server: str) -> None:
    driver.get(server + "/blank.html")
    rng = random.Random(8)
    cases = []
    for name, value in TIGHT.items():
        for text in LIMIT_TEXTS + tuple(rng.sample(TEXTS[:1200], 12)):
            limits = {name: value}
            # The faces of an unlimited roll: replay then meets the limit where it is.
            faces = faces_of(text)
            cases.append({"text": text, "faces": faces, "limits": limits})
            # Fewer faces than a roll draws: the limit on faces drawn comes before the
            # replay runs out.
            cases.append({"text": text, "faces": faces[:value], "limits": limits})
    expected = [
        python_outcome(
            lambda c=case: kavelo.replay(c["text"], c["faces"], policy_of(c["limits"])).to_dict()
        )
        for case in cases
    ]
    codes = {f"limit.{name}" for name in TIGHT}
    reached = {out.split("\x00")[0][len("error:") :] for out in expected} & codes
    # Each tightened limit ends at least one request (rng_words only behind generated_values
    # under the defaults, so it is reached here alone).
    assert reached == codes, codes - reached
    got = run_in_page(driver, server, REPLAY, cases)
    wrong = mismatches(expected, got, cases)
    assert not wrong, f"{len(wrong)} of {len(cases)} differ:\n" + "\n".join(wrong[:10])


DETERMINISTIC = (
    "3d1",
    "4d1kh3+2 # fixed",
    "3d1a1",
    "5d1c1",
    "1+2*3",
    "2^62",
    "(-2)^63",
    "-7/2",
    "9223372036854775807+0",
    "-9223372036854775808",
    "1d1*9223372036854775807",
)
PROGRAMS = (
    "3d1; 2*2 # 两次",
    "1d1 # note; 2d6",
    ";".join(["1"] * 1001),
    ";".join(["2d1"] * 20),
    "1;;2",
    "1d1;1/0",
    "4611686018427387904*2;1",
)

REQUESTS = """
const [texts, programs] = [arguments[1], arguments[2]];
return [
  texts.map((t) => outcome(() => engine.roll(t))),
  programs.map((t) => outcome(() => engine.run(t))),
];
"""


@pytest.mark.parametrize(
    "entry, texts",
    [
        ("roll", DETERMINISTIC + FAILING),
        # A program of random rolls succeeds with other totals: the failing texts without it.
        ("run", PROGRAMS + DETERMINISTIC + tuple(t for t in FAILING if t != "1d6; 2d6")),
    ],
)
def test_roll_and_run_give_the_python_results_and_errors(
    driver: Any, server: str, entry: str, texts: tuple[str, ...]
) -> None:
    driver.get(server + "/blank.html")
    rolls, runs = run_in_page(driver, server, REQUESTS, list(texts), list(texts))
    function: Callable[[str], Any] = kavelo.roll_dice if entry == "roll" else kavelo.run_program
    got = rolls if entry == "roll" else runs
    expected = [python_outcome(lambda t=text: function(t)) for text in texts]
    wrong = mismatches(expected, got, list(texts))
    assert not wrong, "\n".join(wrong[:10])
    # Totals past 2^53 come through exactly (as BigInt in the page).
    assert any("9223372036854775807" in out for out in got if out.startswith("ok:"))
