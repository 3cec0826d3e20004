"""Every entry point fails cleanly when the interpreter cannot allocate.

The interpreter's allocation hooks (from CPython's own test module) make the n-th
allocation fail, for every n across a whole call: each call either succeeds or raises
MemoryError, never anything else, and a partly built result leaks nothing.
"""

import gc
import sys
from collections.abc import Callable

import pytest

import kavelo

testcapi = pytest.importorskip("_testcapi")

ROLLER = kavelo.Kavelo()

CALLS = {
    "roll_dice": lambda: kavelo.roll_dice("4d6kh3+2 # 注释"),
    "run_program": lambda: kavelo.run_program("1d6; 2d6 # c"),
    "roll_simple": lambda: kavelo.roll_simple(3, 1000),  # totals above the cached small ints
    "roll_multiple": lambda: ROLLER.roll_multiple("2d6", 5),
    "roll_with_modifiers": lambda: ROLLER.roll_with_modifiers(4, 6, ["kh3", "!"]),
    "limits": lambda: kavelo.ResourcePolicy().limits(),
    "with_limit": lambda: kavelo.ResourcePolicy().with_limit("work_units", 5),
    "parse_error": lambda: kavelo.roll_dice("2d6 x"),
}


def fail_each_allocation(call: Callable[[], object], allocations: int = 80) -> set[str]:
    outcomes = set()
    for start in range(allocations):
        error = None
        testcapi.set_nomemory(start, start + 1)
        try:
            call()
        except BaseException as exc:  # classified below, once allocation works again
            error = exc
        finally:
            testcapi.remove_mem_hooks()
        if error is None:
            outcomes.add("ok")
        elif type(error) is MemoryError:
            outcomes.add("MemoryError")
        elif type(error) is ValueError and str(error).startswith("解析错误"):
            outcomes.add("ValueError")
        else:
            outcomes.add(repr(error))
    return outcomes


@pytest.mark.parametrize("name", list(CALLS))
def test_allocation_failure_raises_memory_error_and_leaks_nothing(name: str) -> None:
    call = CALLS[name]
    outcomes = fail_each_allocation(call)
    assert "MemoryError" in outcomes
    assert outcomes <= {"ok", "MemoryError", "ValueError"}, outcomes
    # Warm up, then count: a leak on any failure path would add blocks every round.
    fail_each_allocation(call)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(3):
        fail_each_allocation(call)
    gc.collect()
    assert sys.getallocatedblocks() - before < 20
    # The roller is usable again afterwards.
    assert ROLLER.roll_simple(2, 1) == 2
