"""The deepest nesting and the longest chains that the limits allow, each run on a thread
with a small stack, in a child process so that a stack overflow shows as a failed case.

The parser recurses once per bracket (parse_depth, at most 256) and the evaluator once
per nested node (nesting_depth, at most 128); everything else is iterative. Under
AddressSanitizer frames are several times larger, so the stack is 256 KiB there and
128 KiB otherwise (the normal build needs about 55 KiB for the worst case here).
"""

import json
import os
import subprocess
import sys

import pytest

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
STACK_KIB = 256 if UNDER_ASAN else 128

CHILD = r"""
import json, sys, threading
from kavelo import Kavelo, ResourcePolicy, trace, trace_program

case = json.load(sys.stdin)
policy = ResourcePolicy()
if case["policy"] == "hard":
    for name, value in policy.hard_limits().items():
        policy = policy.with_limit(name, value)
roller = Kavelo(policy)
text = eval(case["text"])
outcome = {}

def run():
    try:
        if case["method"] == "roll":
            outcome["total"] = roller.roll(text)["total"]
        elif case["method"] == "run":
            outcome["total"] = sum(r["total"] for r in roller.run(text)["results"])
        elif case["method"] == "trace":
            outcome["total"] = trace(text, policy).total
        elif case["method"] == "trace_program":
            outcome["total"] = sum(trace_program(text, policy).totals)
        else:
            outcome["total"] = sum(r["total"] for r in roller.roll_multiple(text, 10))
    except ValueError as error:
        outcome["error"] = str(error)

threading.stack_size(case["stack_kib"] * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(json.dumps(outcome))
"""

NESTING = "[limit.nesting_depth] 计算预算已耗尽: used {0}, requested 1, limit {0}"

CASES = [
    # Brackets at the parse_depth limit: the parser takes them, the evaluator stops at its
    # own limit.
    ("default", "roll", "'(' * 64 + '1' + ')' * 64", {"error": NESTING.format(32)}),
    ("hard", "roll", "'(' * 256 + '1' + ')' * 256", {"error": NESTING.format(128)}),
    ("hard", "run", "'1;' + '(' * 256 + '2d6' + ')' * 256", {"error": NESTING.format(128)}),
    (
        "hard",
        "roll",
        "'(' * 257 + '1' + ')' * 257",
        {"error": "[limit.parse_depth] 计算预算已耗尽: used 256, requested 1, limit 256"},
    ),
    # A syntax error at the innermost level unwinds all 256 levels and reports.
    ("hard", "roll", "'(' * 256 + '1 x' + ')' * 256", {"error_start": "解析错误: "}),
    # The deepest tree that evaluates: nesting_depth nodes on its deepest path.
    ("default", "roll", "'(' * 31 + '1' + ')' * 31", {"total": 1}),
    ("hard", "roll", "'(' * 127 + '1' + ')' * 127", {"total": 1}),
    ("hard", "batch", "'(' * 127 + '2' + ')' * 127", {"total": 20}),
    # Operator chains nest to the left: 127 operators make a tree 128 deep.
    ("hard", "roll", "'+'.join(['1'] * 128)", {"total": 128}),
    ("hard", "roll", "'+'.join(['1d1'] * 128)", {"total": 128}),
    ("hard", "run", "'+'.join(['1'] * 128) + ';' + '*'.join(['1'] * 128)", {"total": 129}),
    ("hard", "roll", "'+'.join(['1'] * 129)", {"error": NESTING.format(128)}),
    # The longest chains the node limit admits, and a 1 MiB one that it refuses after the
    # whole tree was built.
    ("hard", "roll", "'+'.join(['1'] * 32766)", {"error": NESTING.format(128)}),
    (
        "default",
        "roll",
        "'-'.join(['1'] * 32768)",
        {"error": "[limit.ast_nodes] 计算预算已耗尽: used 0, requested 65537, limit 4096"},
    ),
    (
        "hard",
        "roll",
        "'+'.join(['1'] * 524288)",
        {"error": "[limit.ast_nodes] 计算预算已耗尽: used 0, requested 1048577, limit 65536"},
    ),
    # Long flat lists: modifiers on one term, instructions in one program.
    ("hard", "roll", "'1d1' + 's' * 65530", {"total": 1}),
    ("hard", "run", "';'.join(['1'] * 10000)", {"total": 10000}),
    # Traces keep no stack of their own: as deep and as long as the rolls.
    ("hard", "trace", "'(' * 127 + '1d1' + ')' * 127", {"total": 1}),
    ("hard", "trace", "'(' * 128 + '1d1' + ')' * 128", {"error": NESTING.format(128)}),
    ("hard", "trace_program", "';'.join(['1d1'] * 10000)", {"total": 10000}),
    (
        "hard",
        "trace_program",
        "'1;' + '(' * 256 + '2d6' + ')' * 256",
        {"error": NESTING.format(128)},
    ),
]


@pytest.mark.parametrize("policy, method, text, expected", CASES)
def test_deep_input_on_a_small_stack(
    policy: str, method: str, text: str, expected: dict[str, int]
) -> None:
    case = {"policy": policy, "method": method, "text": text, "stack_kib": STACK_KIB}
    child = subprocess.run(
        [sys.executable, "-c", CHILD],
        input=json.dumps(case),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert child.returncode == 0, child.stderr[-3000:]
    outcome = json.loads(child.stdout)
    if "error_start" in expected:
        assert outcome.get("error", "").startswith(expected["error_start"]), outcome
    else:
        assert outcome == expected
