"""Traces of whole programs: every instruction traced under one request's limits, each
instruction's trace the one its expression alone would give with the same faces, and
forms for one chat reply."""

from __future__ import annotations

import json
import pickle
import re

import pytest

import kavelo
from kavelo import ProgramTrace, ResourcePolicy, replay, replay_program, trace_program
from kavelo.tracing.forms import TOTAL, Style

PROGRAMS = [
    "1d20+5; 2d6 # attack",
    "4d6kh3; 4d6kh3; 4d6kh3; 4d6kh3; 4d6kh3; 4d6kh3",
    "2d6a2c5; 3d6!r1; 10d10u; 7",
    "(1d20+2)*3; 2d20kl1 - 1d4 ; 1d1",
    "  1d6 ;2d6   # a;b#c",
]


@pytest.mark.parametrize("program", PROGRAMS)
def test_each_instruction_traces_as_its_expression_alone(program: str) -> None:
    traced = trace_program(program)
    assert isinstance(traced, ProgramTrace)
    instructions = program.split("#", 1)[0].split(";")
    assert len(traced.traces) == len(instructions) == len(traced.result["results"])
    for text, shown in zip(instructions, traced.traces, strict=True):
        alone = replay(text, shown.faces())
        assert alone.result == shown.result
        assert (alone.text(), alone.markdown(), alone.ansi()) == (
            shown.text(),
            shown.markdown(),
            shown.ansi(),
        )
        assert alone.to_dict() == shown.to_dict()
    again = replay_program(program, traced.faces())
    assert again.result == traced.result
    assert again.text() == traced.text() == str(traced)
    comment = traced.result["comment"]
    assert traced.text() == (f"{comment}: " if comment else "") + "; ".join(
        shown.text() for shown in traced.traces
    )
    assert traced.totals == [item["total"] for item in traced.result["results"]]
    json.dumps(traced.to_dict(), allow_nan=False)
    # A copy holds its own records: the same forms and data.
    copied = pickle.loads(pickle.dumps(traced))
    assert copied.markdown() == traced.markdown() and copied.to_dict() == traced.to_dict()


def test_the_instructions_share_one_request() -> None:
    policy = ResourcePolicy().with_limit("generated_values", 5)
    assert len(trace_program("3d6", policy).faces()) == 3
    with pytest.raises(ValueError) as traced:
        trace_program("3d6; 3d6", policy)
    with pytest.raises(ValueError) as ran:
        kavelo.Kavelo(policy).run("3d6; 3d6")
    assert str(traced.value) == str(ran.value)
    assert str(traced.value).startswith("[limit.generated_values]")


@pytest.mark.parametrize(
    ("faces", "message"),
    [
        ([17, 3], "more faces than the 2 given"),
        ([17, 3, 4, 5], "left over"),
        ([21, 3, 4], "not a face of a die with 20 sides"),
    ],
)
def test_a_replay_needs_exactly_the_program_s_faces(faces: list[int], message: str) -> None:
    with pytest.raises(ValueError, match=message):
        replay_program("1d20+5; 2d6", faces)


def test_program_errors_are_those_of_run_program() -> None:
    for program in ["1d6;", "1d6;;2d6", "2d", "1/0; 1d6"]:
        with pytest.raises(ValueError) as traced:
            trace_program(program)
        with pytest.raises(ValueError) as ran:
            kavelo.run_program(program)
        assert str(traced.value) == str(ran.value)
    with pytest.raises(TypeError):
        trace_program(b"1d6")  # type: ignore[arg-type]


@pytest.mark.parametrize("extra", [0, 12, 150, 1950])
@pytest.mark.parametrize("style", ["markdown", "text", "ansi"])
def test_a_long_program_fits_a_length_with_every_total(style: Style, extra: int) -> None:
    policy = ResourcePolicy().with_limit("generated_values", 20000)
    traced = trace_program("3000d6; 1d20+3; 4d6kh3 # " + "@everyone " * 300, policy)
    form = getattr(traced, style)
    # Every total whole needs "… = total" for each instruction and the separators.
    every = sum(len("… = " + TOTAL[style](total)) for total in traced.totals) + 2 * 2
    max_length = every + extra
    shown = form(max_length=max_length)
    assert len(shown) <= max_length
    for total in traced.totals:
        assert re.search(rf"= (`|\x1b\[1m)?{total}\b", shown), (total, shown)
    # One less: the first totals whole, and a count of the instructions left out.
    short = form(max_length=every - 1)
    assert len(short) <= every - 1 and re.search(r"… [123] more instructions?$", short), short
    with pytest.raises(ValueError, match="for this program"):
        form(max_length=8)
    assert "@everyone" not in traced.markdown(max_length=max(max_length, 100))
    assert form(max_length=10**6) == form()


def test_a_program_too_long_for_a_chat_message_is_counted() -> None:
    # A thousand instructions cannot all show a total in 2,000 characters: as many as
    # fit do, whole, and the rest are counted.
    traced = trace_program(";".join(["1d6+1d4"] * 1000) + " # many")
    shown = traced.markdown(max_length=2000)
    assert len(shown) <= 2000
    parts = shown.split("; ")
    more = re.fullmatch(r"… (\d+) more instructions", parts[-1])
    assert more is not None
    assert len(parts) - 1 + int(more.group(1)) == 1000
    for part, total in zip(parts[:-1], traced.totals, strict=False):
        assert part.endswith(f"= `{total}`"), part


def test_a_length_too_small_for_the_totals() -> None:
    traced = replay_program("1d20+5; 2d6", [17, 3, 4])
    with pytest.raises(ValueError, match="at least"):
        traced.markdown(max_length=10)
    with pytest.raises(TypeError):
        traced.text(max_length="20")  # type: ignore[arg-type]
