"""kavelo.trace and kavelo.replay: replayed traces, fates per modifier kind, the three
formats on certain faces, and the errors of texts and faces."""

from __future__ import annotations

import gc
from collections.abc import Iterator

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kavelo
from kavelo import Kavelo, ResourcePolicy, Trace, _trace, replay, roll_dice, trace
from kavelo.tracing import DerivedValue, Face

SPACE = st.sampled_from(["", "", " "])
VALUED = ["K", "r", "ro", "R", "a", "k", "kh", "kl", "dh", "dl", "c"]
FLAGS = ["!", "e", "u", "s"]


@st.composite
def dice_terms(draw: st.DrawFn) -> str:
    count = draw(st.integers(1, 8))
    sides = draw(st.integers(1, 12))
    modifiers = draw(
        st.lists(
            st.one_of(
                st.sampled_from(FLAGS),
                st.builds(lambda k, v: f"{k}{v}", st.sampled_from(VALUED), st.integers(-1, 8)),
            ),
            max_size=3,
        )
    )
    return f"{count}d{sides}" + "".join(draw(SPACE) + m for m in modifiers)


OPERAND = st.one_of(dice_terms(), st.integers(-20, 20).map(str))
EXPRESSIONS = st.recursive(
    OPERAND,
    lambda inner: st.tuples(
        st.one_of(inner, inner.map(lambda e: f"({e})")),
        st.lists(st.tuples(st.sampled_from("+-*/"), inner), max_size=3),
    ).map(lambda parts: parts[0] + "".join(f"{op}{t}" for op, t in parts[1])),
    max_leaves=6,
)


def traced(text: str) -> Trace | None:
    """The trace of `text`, or None when rolling it fails (a limit, an overflow, ...)."""
    try:
        return trace(text)
    except ValueError:
        return None


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(EXPRESSIONS, st.sampled_from(["", " # note"]))
def test_replaying_a_trace_gives_its_result(text: str, comment: str) -> None:
    t = traced(text + comment)
    if t is None:
        return
    faces = [f.value for term in t.terms for f in term.faces]
    again = replay(text + comment, faces)
    assert again.result == t.result
    assert again.to_dict() == t.to_dict() and again.markdown() == t.markdown()
    assert [term.values for term in t.terms] == [term.values for term in again.terms]
    assert [v for term in t.terms for v in term.values] == t.result["rolls"]
    for term in t.terms:
        assert all(1 <= f.value <= term.sides for f in term.faces)
        assert all((f.fate == "kept") == (f.by is None) for f in term.faces)


@pytest.mark.parametrize(
    "text", ["1d20+5", "4d6kh3+2", "20d2kh7+20d2kl7", "40d3kh20", "3d6kh0", "129d6kl100", "2*3"]
)
def test_the_common_rolls_trace_as_their_replay(text: str) -> None:
    # A traced roll of this shape takes the common rolls' path, a replay the general one:
    # the same faces must give the same trace, down to which equal faces a keep drops.
    for _ in range(20):
        t = trace(text)
        again = replay(text, t.faces())
        assert again.to_dict() == t.to_dict()
        assert (again.markdown(), again.text(), again.ansi()) == (t.markdown(), t.text(), t.ansi())


def fates(text: str, faces: list[int]) -> list[tuple[int, int, str, str, str | None]]:
    t = replay(text, faces)
    return [(f.value, f.die, f.origin, f.fate, f.by) for term in t.terms for f in term.faces]


@pytest.mark.parametrize(
    "text,faces,expected",
    [
        (
            "3d6kh2",
            [2, 6, 4],
            [
                (2, 0, "roll", "dropped", "kh2"),
                (6, 1, "roll", "kept", None),
                (4, 2, "roll", "kept", None),
            ],
        ),
        (
            "3d6k1",
            [2, 6, 4],
            [
                (2, 0, "roll", "dropped", "k1"),
                (6, 1, "roll", "kept", None),
                (4, 2, "roll", "dropped", "k1"),
            ],
        ),
        (
            "3d6K1",
            [2, 6, 4],
            [
                (2, 0, "roll", "dropped", "K1"),
                (6, 1, "roll", "kept", None),
                (4, 2, "roll", "dropped", "K1"),
            ],
        ),
        ("2d6kl1", [2, 6], [(2, 0, "roll", "kept", None), (6, 1, "roll", "dropped", "kl1")]),
        ("2d6dh1", [2, 6], [(2, 0, "roll", "kept", None), (6, 1, "roll", "dropped", "dh1")]),
        ("2d6dl1", [2, 6], [(2, 0, "roll", "dropped", "dl1"), (6, 1, "roll", "kept", None)]),
        (
            "3d6u",
            [4, 4, 1],
            [
                (4, 0, "roll", "kept", None),
                (4, 1, "roll", "duplicate", "u"),
                (1, 2, "roll", "kept", None),
            ],
        ),
        (
            "3d6c4",
            [4, 2, 4],
            [
                (4, 0, "roll", "counted", "c4"),
                (2, 1, "roll", "uncounted", "c4"),
                (4, 2, "roll", "counted", "c4"),
            ],
        ),
        (
            "2d6!",
            [6, 6, 3, 2],
            [
                (6, 0, "roll", "kept", None),
                (6, 0, "explode", "kept", None),
                (3, 0, "explode", "kept", None),
                (2, 1, "roll", "kept", None),
            ],
        ),
        ("1d6e", [6, 1], [(6, 0, "roll", "kept", None), (1, 0, "explode", "kept", None)]),
        (
            "2d6r2",
            [1, 1, 5],
            [
                (1, 0, "roll", "rerolled", "r2"),
                (1, 0, "reroll", "kept", None),
                (5, 1, "roll", "kept", None),
            ],
        ),
        (
            "1d6!ro2",
            [6, 1, 4],
            [
                (6, 0, "roll", "kept", None),
                (1, 0, "explode", "rerolled", "ro2"),
                (4, 0, "reroll", "kept", None),
            ],
        ),
        (
            "1d6R3",
            [1, 2, 5],
            [
                (1, 0, "roll", "rerolled", "R3"),
                (2, 0, "reroll", "rerolled", "R3"),
                (5, 0, "reroll", "kept", None),
            ],
        ),
        ("1d6a2", [2, 4], [(2, 0, "roll", "added", "a2"), (4, 0, "reroll", "added", "a2")]),
        (
            "2d6a2kh1",
            [2, 4, 5],
            [
                (2, 0, "roll", "added", "a2"),
                (4, 0, "reroll", "added", "a2"),
                (5, 1, "roll", "dropped", "kh1"),
            ],
        ),
        ("4d6s", [3, 1, 2, 6], [(v, d, "roll", "kept", None) for d, v in enumerate([3, 1, 2, 6])]),
    ],
)
def test_fates_of_every_modifier_kind(
    text: str, faces: list[int], expected: list[tuple[int, int, str, str, str | None]]
) -> None:
    assert fates(text, faces) == expected


@pytest.mark.parametrize(
    "text,faces,markdown,plain",
    [
        ("2d20kh1+5", [4, 20], "2d20kh1 (~~4~~, **20**) + 5 = `25`", "2d20kh1 (~4~, 20) + 5 = 25"),
        ("1d20+5+1d4", [1, 2], "1d20 (**1**) + 5 + 1d4 (2) = `8`", "1d20 (1) + 5 + 1d4 (2) = 8"),
        ("2d6!", [6, 3, 2], "2d6! (**6**!, 3, 2) = `11`", "2d6! (6!, 3, 2) = 11"),
        ("1d6a2 # heal", [2, 5], "heal: 1d6a2 (2+5) = `7`", "heal: 1d6a2 (2+5) = 7"),
        (
            "(2d4r1)*2",
            [1, 3, 4],
            "(2d4r1 (~~1~~, 3, **4**)) * 2 = `14`",
            "(2d4r1 (~1~, 3, 4)) * 2 = 14",
        ),
        (
            "3d6c6-1",
            [6, 2, 6],
            "3d6c6 (**6**, ~~2~~, **6** → 2) - 1 = `1`",
            "3d6c6 (6, ~2~, 6 → 2) - 1 = 1",
        ),
        # A sum a later modifier removes is struck with all its faces, after drop,
        # keep-zero, unique, a later reroll and count.
        ("2d6a6kh1", [3, 4, 2, 1], "2d6a6kh1 (3+4, ~~2+1~~) = `7`", "2d6a6kh1 (3+4, ~2+1~) = 7"),
        (
            "2d6a6dh1",
            [3, 4, 2, 1],
            "2d6a6dh1 (~~3+4~~, 2+**1**) = `3`",
            "2d6a6dh1 (~3+4~, 2+1) = 3",
        ),
        ("1d6a6k0", [3, 4], "1d6a6k0 (~~3+4~~) = `0`", "1d6a6k0 (~3+4~) = 0"),
        (
            "2d6a2u",
            [1, 3, 2, 2],
            "2d6a2u (**1**+3, ~~2+2~~) = `4`",
            "2d6a2u (1+3, ~2+2~) = 4",
        ),
        ("1d6a3r5", [1, 2, 6], "1d6a3r5 (~~1+2~~, **6**) = `6`", "1d6a3r5 (~1+2~, 6) = 6"),
        (
            "2d6a2c7",
            [2, 5, 3],
            "2d6a2c7 (2+5, ~~3~~ → 1) = `1`",
            "2d6a2c7 (2+5, ~3~ → 1) = 1",
        ),
        (
            "2d6a2c5",
            [2, 5, 3],
            "2d6a2c5 (~~2+5~~, ~~3~~ → 0) = `0`",
            "2d6a2c5 (~2+5~, ~3~ → 0) = 0",
        ),
        # Faces summed by two reroll-and-adds are one value.
        ("1d6a2a8", [1, 1, 4], "1d6a2a8 (**1**+**1**+4) = `6`", "1d6a2a8 (1+1+4) = 6"),
        (
            "1d6!ro1a6",
            [6, 1, 3, 2],
            "1d6!ro1a6 (**6**!+3+2, ~~1~~) = `11`",
            "1d6!ro1a6 (6!+3+2, ~1~) = 11",
        ),
        # What later modifiers did to a count.
        (
            "6d8c8dl1",
            [8, 8, 1, 2, 3, 4],
            "6d8c8dl1 (~~8~~, ~~8~~, ~~1~~, ~~2~~, ~~3~~, ~~4~~ → ~~2~~) = `0`",
            "6d8c8dl1 (~8~, ~8~, ~1~, ~2~, ~3~, ~4~ → ~2~) = 0",
        ),
        (
            "3d3c5c0",
            [1, 2, 3],
            "3d3c5c0 (~~1~~, ~~2~~, ~~3~~ → 0 → 1) = `1`",
            "3d3c5c0 (~1~, ~2~, ~3~ → 0 → 1) = 1",
        ),
        ("2d3c3c1", [3, 1], "2d3c3c1 (**3**, ~~1~~ → 1 → 1) = `1`", "2d3c3c1 (3, ~1~ → 1 → 1) = 1"),
        (
            "2d3c3c2",
            [3, 1],
            "2d3c3c2 (~~3~~, ~~1~~ → ~~1~~ → 0) = `0`",
            "2d3c3c2 (~3~, ~1~ → ~1~ → 0) = 0",
        ),
        ("-1*1d1", [1], "-1 * 1d1 (**1**) = `-1`", "-1 * 1d1 (1) = -1"),
        (
            "4 d 6 kh 3",
            [1, 6, 3, 3],
            "4d6kh3 (~~1~~, **6**, 3, 3) = `12`",
            "4d6kh3 (~1~, 6, 3, 3) = 12",
        ),
    ],
)
def test_markdown_and_text(text: str, faces: list[int], markdown: str, plain: str) -> None:
    t = replay(text, faces)
    assert t.markdown() == markdown
    assert t.text() == plain
    assert str(t) == plain


def test_ansi_marks_removed_and_critical_faces() -> None:
    t = replay("3d6kh2+1", [1, 6, 4])
    dim, bold, reset = "\x1b[2;9m", "\x1b[1m", "\x1b[0m"
    assert t.ansi() == f"3d6kh2 ({dim}1{reset}, {bold}6{reset}, 4) + 1 = {bold}11{reset}"
    t = replay("2d6a6kh1c7", [3, 4, 2, 1])
    assert t.ansi() == f"2d6a6kh1c7 (3+4, {dim}2+1{reset} → 1) = {bold}1{reset}"


@pytest.mark.parametrize(
    "text,faces,derived,faces_into",
    [
        (
            "2d6a6kh1",
            [3, 4, 2, 1],
            [(7, "sum", "a6", 0, "kept", None, None), (3, "sum", "a6", 1, "dropped", "kh1", None)],
            [0, 0, 1, 1],
        ),
        (
            "1d6a2a8",
            [1, 1, 4],
            [(2, "sum", "a2", 0, "added", "a8", 1), (6, "sum", "a8", 0, "kept", None, None)],
            [0, 0, 1],
        ),
        (
            "3d3c5c0",
            [1, 2, 3],
            [
                (0, "count", "c5", None, "counted", "c0", 1),
                (1, "count", "c0", None, "kept", None, None),
            ],
            [0, 0, 0],
        ),
        ("2d6kh1", [3, 4], [], [None, None]),
    ],
)
def test_derived_values_and_what_faces_went_into(
    text: str, faces: list[int], derived: list[tuple[object, ...]], faces_into: list[int | None]
) -> None:
    t = replay(text, faces)
    assert [tuple(d) for d in t.terms[0].derived] == derived
    assert [f.into for f in t.terms[0].faces] == faces_into
    data = t.to_dict()["terms"][0]  # type: ignore[index]
    assert [list(d.values()) for d in data["derived"]] == [list(d) for d in derived]
    assert list(data["faces"][0]) == ["value", "die", "origin", "fate", "by", "into"]
    assert list(data) == ["notation", "count", "sides", "faces", "values", "derived"]


def test_faces_and_derived_values_are_named_tuples() -> None:
    face = Face(4, 0, "roll", "dropped", "kh1")
    assert face.into is None and face == (4, 0, "roll", "dropped", "kh1", None)
    assert replay("2d20kh1", [4, 20]).terms[0].faces[0] == face
    value = replay("1d6a6", [1, 2]).terms[0].derived[0]
    assert value == DerivedValue(3, "sum", "a6", 0, "kept", None)
    assert repr(value) == (
        "DerivedValue(value=3, kind='sum', made_by='a6', die=0, fate='kept', by=None, into=None)"
    )


def test_the_native_module_checks_the_classes_it_makes() -> None:
    from kavelo.tracing.records import Term

    class Loose(Trace):  # a __dict__ of its own: fields the module would not fill
        pass

    wrong = [
        (Trace, Term, dict, DerivedValue),
        (Trace, Term, Face, 3),
        (Trace, Term, Face, None),
        (Loose, Term, Face, DerivedValue),
        (Trace, Trace, Face, DerivedValue),
        (dict, Term, Face, DerivedValue),
    ]
    for classes in wrong:
        with pytest.raises(TypeError):
            _trace.register(*classes)  # type: ignore[arg-type]
        # A refused registration leaves the classes as they were.
        assert type(replay("2d20kh1", [4, 20]).terms[0].faces[0]) is Face

    class WithDict(tuple):  # type: ignore[type-arg]
        pass

    # Any tuple subclass will do, even one with a __dict__ (then kept in the collector).
    try:
        _trace.register(Trace, Term, WithDict, WithDict)
        plain = _trace.replay("2d6a6", [1, 2, 3, 4], None)
        face: object = plain.terms[0].faces[0]
        assert type(face) is WithDict and face == (1, 0, "roll", "added", "a6", 0)
        assert gc.is_tracked(face)
    finally:
        _trace.register(Trace, Term, Face, DerivedValue)
    named = _trace.replay("2d6a6", [1, 2, 3, 4], None)
    assert type(named) is Trace and not gc.is_tracked(named.terms[0].faces[0])
    records = named.terms[0]._records
    assert records is not None
    with pytest.raises(IndexError):
        records.term(1)
    with pytest.raises(TypeError):
        type(records)()


def test_a_trace_survives_copying_and_pickling() -> None:
    import copy
    import pickle

    traced = replay("4d6kh3+2 # attack", [6, 1, 4, 4])
    for again in [pickle.loads(pickle.dumps(traced)), copy.deepcopy(traced), copy.copy(traced)]:
        assert type(again) is Trace and again.source == traced.source
        assert again.markdown() == traced.markdown() and again.to_dict() == traced.to_dict()


def test_comments_cannot_act_on_a_terminal_or_on_markdown() -> None:
    t = replay("1d2 # \x1b]0;x\x07*bold*", [2])
    assert t.ansi().startswith("\\x1b]0;x\\x07*bold*: 1d2 (")
    assert "\x07" not in t.text()
    assert t.markdown().startswith("\\\\x1b\\]0;x\\\\x07\\*bold\\*: ")


@pytest.mark.parametrize("text", ["3d1a1", "5d1c1", "4d1kh3+2 # x", "2d1kh1s"])
def test_one_sided_dice_trace_like_roll_dice(text: str) -> None:
    assert trace(text).result == roll_dice(text)


@pytest.mark.parametrize(
    "text",
    [
        "",
        "1d",
        "2d6kh",
        "1d6 2",
        "1d6;2",
        "0d6",
        "1d6/0",
        "2^-1",
        "x" * 20000,
        "10000d6",
        "6d1!r0u",
    ],
)
def test_texts_fail_with_the_errors_of_roll_dice(text: str) -> None:
    with pytest.raises(ValueError) as plain_error:
        roll_dice(text)
    with pytest.raises(ValueError) as traced_error:
        trace(text)
    assert str(traced_error.value) == str(plain_error.value)


@pytest.mark.parametrize(
    "text,faces,nodes",
    [
        ("30d6", None, 30),
        ("4d6", [1, 2, 3, 4], 4),
        ("2d6!", [6, 1, 2], 3),
        ("2d6a6", [1, 2, 3, 4], 6),
        ("3d6c6kh1", [6, 2, 6], 4),
    ],
)
def test_trace_nodes_bound_a_trace(text: str, faces: list[int] | None, nodes: int) -> None:
    def traced(limit: int) -> Trace:
        policy = ResourcePolicy().with_limit("trace_nodes", limit)
        return trace(text, policy) if faces is None else replay(text, faces, policy)

    term = traced(nodes).terms[0]
    assert len(term.faces) + len(term.derived) == nodes
    with pytest.raises(ValueError) as error:
        traced(nodes - 1)
    assert str(error.value) == (
        f"[limit.trace_nodes] 计算预算已耗尽: used {nodes - 1}, requested 1, limit {nodes - 1}"
    )
    # A plain roll records nothing and is not bounded by it.
    zero = ResourcePolicy().with_limit("trace_nodes", 0)
    assert Kavelo(zero).roll(text)["expression"] == roll_dice(text)["expression"]


def test_policy_limits_apply() -> None:
    tight = ResourcePolicy().with_limit("generated_values", 3)
    with pytest.raises(ValueError, match=r"^\[limit\.generated_values\]"):
        trace("4d6", tight)
    with pytest.raises(ValueError, match=r"^\[limit\.generated_values\]"):
        replay("4d6", [1, 2, 3], tight)
    assert trace("3d1", tight).total == 3
    with pytest.raises(TypeError, match="policy"):
        trace("1d6", {"generated_values": 3})  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="expression"):
        trace(3)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "text,faces,message",
    [
        ("2d6", [3], "the expression draws more faces than the 1 given"),
        ("1d4+1d6", [2, 7], r"face 2 \(7\) is not a face of a die with 6 sides"),
        ("1d4+2", [1, 2, 3], "2 of the 3 faces left over"),
        ("1d4", [0], r"face 1 \(0\) is not a face of any die"),
        ("1d4", [2**70], r"face 1 \(too large\) is not a face of any die"),
        ("1d4", ["2"], "face 1 is a 'str', not an int"),
        ("1d4", [2.0], "face 1 is a 'float', not an int"),
        ("1d4", [True], "face 1 is a 'bool', not an int"),
        ("1d4", [1] * 10001, "10001 faces are more than any roll can draw"),
    ],
)
def test_replay_refuses_faces_that_do_not_fit(text: str, faces: list[object], message: str) -> None:
    with pytest.raises(ValueError, match=message):
        replay(text, faces)  # type: ignore[arg-type]


def test_replay_reads_no_more_of_an_endless_iterator_than_the_limit() -> None:
    def endless() -> Iterator[int]:
        while True:
            yield 1

    with pytest.raises(ValueError, match="faces are more than any roll can draw"):
        replay("1d1", endless())
    assert replay("2d3", iter([3, 1])).faces() == [3, 1]


def test_trace_as_data_and_package_names() -> None:
    t = replay("2d20kh1+5", (4, 20))
    data = t.to_dict()
    assert data["result"] == t.result
    assert t.terms[0].notation == "2d20kh1" and t.terms[0].total == 20
    assert {"trace", "replay", "Trace"} <= set(kavelo.__all__)
