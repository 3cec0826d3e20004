"""What a bot reads off a trace without parsing its text: the notation, the comment,
the faces that were criticals or fumbles; and how a notebook shows traces and odds."""

from __future__ import annotations

import xml.etree.ElementTree as ET

import pytest

from kavelo import odds, replay


@pytest.mark.parametrize(
    ("text", "faces", "notation", "comment", "criticals", "fumbles"),
    [
        ("2d20kh1+5 # attack", [20, 1], "2d20kh1+5", "attack", [20], []),
        ("2d20kl1+5 # attack", [20, 1], "2d20kl1+5", "attack", [], [1]),
        ("1d20+5", [20], "1d20+5", "", [20], []),
        ("2d6!", [6, 1, 3], "2d6!", "", [6], [1]),
        ("1d6r1", [1, 6], "1d6r1", "", [6], []),
        ("3d6u", [1, 1, 6], "3d6u", "", [6], [1]),
        ("1d1", [1], "1d1", "", [1], [1]),
        ("  1d4 #  # twice", [4], "1d4", "# twice", [4], []),
    ],
)
def test_parts(
    text: str,
    faces: list[int],
    notation: str,
    comment: str,
    criticals: list[int],
    fumbles: list[int],
) -> None:
    t = replay(text, faces)
    assert (t.notation, t.comment) == (notation, comment)
    assert [f.value for f in t.criticals] == criticals
    assert [f.value for f in t.fumbles] == fumbles
    assert all(
        f.fate not in {"dropped", "rerolled", "duplicate", "uncounted"}
        for f in t.criticals + t.fumbles
    )


def test_a_notebook_shows_a_trace_in_markdown_and_odds_as_a_chart() -> None:
    t = replay("2d20kh1+5 # <b>", [4, 20])
    assert t._repr_markdown_() == t.markdown()
    chart = odds("2d6 # <script>")._repr_svg_()  # type: ignore[attr-defined]
    root = ET.fromstring(chart)
    assert root.tag == "{http://www.w3.org/2000/svg}svg"
    assert "<script>" not in chart


@pytest.mark.parametrize(
    ("text", "faces"),
    [("4d6kh3+2", [6, 1, 4, 4]), ("2d6a2c5", [2, 3, 4]), ("1d2+1d3", [2, 3]), ("3", [])],
)
def test_a_recorded_term_equals_the_term_built_from_its_parts(text: str, faces: list[int]) -> None:
    import copy
    import gc
    import pickle

    from kavelo.tracing.records import Term

    for term in replay(text, faces).terms:
        built = Term(term.count, term.sides, term.modifiers, term.faces, term.values, term.derived)
        assert term == built and repr(term) == repr(built)
    # Read only once the trace and its other parts are gone: the records outlive them.
    terms = replay(text, faces).terms
    gc.collect()
    for term in terms:
        again = pickle.loads(pickle.dumps(term))
        assert again == term == copy.deepcopy(term)
        assert sum(sum(group) for group in again.values) == term.total
        with pytest.raises(AttributeError):
            term.count = 1  # type: ignore[misc]
        with pytest.raises(TypeError):
            hash(term)


def test_a_changed_limits_dict_is_read_again() -> None:
    from kavelo import ResourcePolicy, _trace

    limits = ResourcePolicy().with_limit("generated_values", 3).limits()
    assert _trace.trace("2d6", limits).total >= 2
    limits["generated_values"] = 1
    with pytest.raises(ValueError, match="generated_values"):
        _trace.trace("2d6", limits)
    limits["generated_values"] = 5
    assert _trace.trace("3d6", limits).total >= 3
    del limits["generated_values"]
    # The default generated_values limit applies again.
    assert _trace.trace("5d6", limits).total >= 5
