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
