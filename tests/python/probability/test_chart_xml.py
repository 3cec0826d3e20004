"""Every chart is an XML document whatever text it shows: a title or a comment with
controls, separators, U+FFFE/U+FFFF or markup still parses and reads as the text."""

from __future__ import annotations

import pathlib
import subprocess
import sys
import unicodedata
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kavelo import odds
from kavelo.odds_display import svg_chart

SVG = "{http://www.w3.org/2000/svg}"
HOSTILE = [
    "\x00\x01\x1b[31m",
    "\ufffe\uffff",
    "a\u2028b",
    "<svg onload=x>&amp;",
    "\u202eevil",
    "]]>",
    "\ud800",
]


def visible(text: str) -> bool:
    return all(unicodedata.category(c) not in {"Cc", "Cf", "Cs", "Zl", "Zp"} for c in text)


def texts(document: str) -> list[str]:
    return [e.text or "" for e in ET.fromstring(document).iter(f"{SVG}text")]


@pytest.mark.parametrize("text", HOSTILE)
def test_a_hostile_title_and_comment_still_make_a_document(text: str) -> None:
    comment = text if "\ud800" not in text else "x"
    shown = texts(svg_chart([odds(f"1d4 # {comment}")], title=text))
    assert all(visible(t) for t in shown)
    # Markup in the text is shown as the text, not read as markup.
    assert shown[0] == text or not text.isprintable()


@settings(max_examples=200, deadline=None)
@given(st.text(max_size=30))
def test_any_title_parses_and_shows_only_visible_characters(title: str) -> None:
    shown = texts(svg_chart([odds("1d4")], title=title or "x"))
    assert visible(shown[0])


def test_the_command_line_writes_a_document_for_a_hostile_comment(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "chart.svg"
    result = subprocess.run(
        [sys.executable, "-m", "kavelo", "--odds", "--plot", str(path), "2d6 # \x01\ufffe <b>&"],
        capture_output=True,
        timeout=60,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    assert any("\\x01\ufffd <b>&" in t for t in texts(path.read_text(encoding="utf-8")))
