"""The forms of a report show what was computed, and text from a log can change nothing
about a terminal, a chat message, a JSON document or an SVG file."""

from __future__ import annotations

import dataclasses
import json
import random
import re
import xml.etree.ElementTree as ET

import pytest

import kavelo
from kavelo.audit import AuditTest, chart
from kavelo.audit.safe import markdown_text, plain_text, xml_text
from kavelo.audit.words import p_value

HOSTILE = [
    "\x00\x01\x08\x0b\x0c\x1b[31mred\x7f",
    "\ufffe\uffff end",
    "lone \ud800 and \udfff surrogates",
    "\u202eevil\u2066 bidi \u200b zero width \u2028 line",
    "]]><!ENTITY x 'y'>&x;<script>alert(1)</script>\"'",
    "@everyone look at https://example.com **bold** `code` [a](b)",
    '=HYPERLINK("http://x")|calc!A0,+1,-1',
    "\U0001f3b2 \u9ab0\u5b50 plain Unicode stays",
]


@pytest.mark.parametrize("text", HOSTILE)
def test_xml_text_parses_in_data_and_attributes(text: str) -> None:
    shown = xml_text(text)
    document = f"<svg a=\"{shown}\" b='{shown}'><text>{shown}</text></svg>"
    root = ET.fromstring(document)
    assert root.get("a") == root.get("b") == root.find("text").text  # type: ignore[union-attr]
    # The parsed text reads as the terminal form: escaped controls, the same letters.
    parsed = root.get("a") or ""
    assert parsed.replace("\\ufffe", "").replace("\\uffff", "") == plain_text(text).replace(
        "\ufffe", ""
    ).replace("\uffff", "")


@pytest.mark.parametrize("text", HOSTILE)
def test_terminal_and_markdown_forms_hold_no_control_or_live_markup(text: str) -> None:
    for shown in (plain_text(text), markdown_text(text)):
        assert not re.search(
            "[\x00-\x1f\x7f-\x9f\u200b-\u200f\u2028-\u202e\u2066-\u2069\ud800-\udfff]",
            shown.replace("@\u200b", "@").replace("://\u200b", "://"),
        )
    md = markdown_text(text)
    assert "@everyone" not in md
    assert not re.search(r"(?<!\\)[*`\[\]<>]", md)


def _fair_audit() -> kavelo.Audit:
    rng = random.Random(5)
    return kavelo.audit(
        [
            {"sides": 20, "faces": [rng.randint(1, 20) for _ in range(400)]},
            {"sides": 6, "faces": [rng.randint(1, 6) for _ in range(12)]},
            *(("2d6+1", rng.randint(1, 6) + rng.randint(1, 6) + 1) for _ in range(300)),
        ]
    )


def test_svg_with_hostile_text_everywhere_parses_and_shows_it_escaped() -> None:
    report = _fair_audit()
    hostile = " ".join(HOSTILE)
    tests = tuple(
        dataclasses.replace(
            t,
            subject=hostile,
            cells=tuple(dataclasses.replace(c, label=hostile) for c in t.cells),
        )
        for t in report.tests
    )

    @dataclasses.dataclass
    class Shown:
        tests: tuple[AuditTest, ...]
        alpha: float = 0.01
        verdict: str = hostile
        p_value: float = 0.5
        correction: str = hostile

    root = ET.fromstring(chart.svg_chart(Shown(tests)))
    texts = " ".join("".join(e.itertext()) for e in root.iter())
    assert "\\x1b" in texts and "\\u202e" in texts and "\x1b" not in texts
    assert "<script>" in texts  # shown as text, not markup
    assert not list(root.iter("{http://www.w3.org/2000/svg}script"))


def test_svg_bars_show_the_observed_and_expected_shares() -> None:
    report = _fair_audit()
    root = ET.fromstring(report.svg())
    ns = "{http://www.w3.org/2000/svg}"
    titles = [e.findtext(f"{ns}title") for e in root.iter(f"{ns}rect") if e.get("class") == "bar"]
    expected = []
    for test in report.tests:
        for cell in test.cells:
            share = cell.observed / cell.trials
            expected.append(
                f"{cell.label}: {100 * share:.3g}% observed, {100 * cell.expected:.3g}% expected"
            )
    assert titles == expected
    headings = [e.text for e in root.iter(f"{ns}text") if e.text and "adjusted p" in e.text]
    assert [
        f"adjusted p = {p_value(t.p_adjusted)}" in h
        for t, h in zip(report.tests, headings, strict=True)
    ] == [True] * len(report.tests)


def test_text_markdown_and_dict_state_the_same_numbers() -> None:
    report = _fair_audit()
    data = json.loads(json.dumps(report.to_dict(), allow_nan=False))
    assert data["p_value"] == report.p_value and data["correction"] == "Holm"
    text, md = report.text(), report.markdown()
    for test, shown in zip(report.tests, data["tests"], strict=True):
        assert shown["p_adjusted"] == test.p_adjusted
        assert f"adjusted p = {p_value(test.p_adjusted)}" in text
        assert f"p = {p_value(test.p_adjusted)}." in md
        assert f"p = {p_value(test.p_value)} ({test.method})" in text
        assert test.deviation[1:] in text and test.power[1:] in text
    assert report.verdict in text.splitlines()[0]
    assert "not proof of fairness" in text and "not proof of fairness" in md


def test_hostile_record_text_reaches_no_form_raw() -> None:
    bad = ("\x1b]0;pwned\x07 @everyone", 3)
    report = kavelo.audit([{"sides": 6, "faces": [1, 2, 3]}, bad], skip_bad=True)
    assert report.skipped == 1
    text, md = report.text(), report.markdown()
    assert "\x1b" not in text and "\x07" not in text
    assert "\x1b" not in md and "@everyone" not in md
    assert "\\x1b" in text
    json.loads(json.dumps(report.to_dict(), allow_nan=False))


def test_write_plot_svg_refuses_a_non_regular_file(tmp_path: object) -> None:
    import os
    import pathlib

    assert isinstance(tmp_path, pathlib.Path)
    report = _fair_audit()
    fifo = tmp_path / "pipe.svg"
    os.mkfifo(fifo)
    with pytest.raises(OSError):
        report.write_plot(str(fifo), "svg")
    target = tmp_path / "chart.svg"
    assert report.write_plot(str(target), "svg") == "svg"
    ET.fromstring(target.read_text(encoding="utf-8"))


def _many_tests_audit() -> kavelo.Audit:
    rng = random.Random(7)
    records: list[object] = [
        {"sides": sides, "faces": [rng.randint(1, sides) for _ in range(300)]}
        for sides in range(2, 30)
    ]
    records.append({"sides": 20, "faces": [20] * 200})
    return kavelo.audit(records)


@pytest.mark.parametrize("max_length", [300, 700, 2000, 4000])
def test_markdown_within_a_length_keeps_verdict_biased_tests_and_a_count(
    max_length: int,
) -> None:
    report = _many_tests_audit()
    full = report.markdown()
    assert len(full) > 4000
    md = report.markdown(max_length=max_length)
    assert len(md) <= max_length
    lines = md.splitlines()
    assert lines[0] == full.splitlines()[0] and lines[-1] == full.splitlines()[-1]
    tests = [line for line in lines if line.startswith("- ") and "**:" in line]
    assert all(line in full.splitlines() for line in tests)
    more = re.fullmatch(r"- … (\d+) more tests? in the full report", lines[-2])
    assert more is not None and len(tests) + int(more.group(1)) == len(report.tests)
    # The biased d20 comes first whenever any test is shown.
    if tests:
        assert tests[0].startswith("- ⚠️ **d20 faces**")


def test_markdown_within_a_length_too_small_or_not_an_int() -> None:
    report = _many_tests_audit()
    with pytest.raises(ValueError, match="max_length must be at least"):
        report.markdown(max_length=40)
    with pytest.raises(TypeError):
        report.markdown(max_length=True)
    assert report.markdown(max_length=10**6) == report.markdown()
