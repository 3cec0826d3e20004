"""The ways to show odds: table and histogram, comparison, JSON and SVG charts."""

from __future__ import annotations

import json
import math
import pathlib
import xml.etree.ElementTree as ET

import pytest

from kavelo import odds
from kavelo.probability.display import (
    _series,
    _thin,
    _visible_range,
    comparison_lines,
    json_text,
    svg_chart,
    table_lines,
    write_plot,
)
from svg_parts import SVG, attribute, text_of


def test_table_rows_and_summary() -> None:
    lines = table_lines(odds("2d6"), columns=72)
    assert lines[:5] == [
        "expression  2d6",
        "mean        7.0000",
        "stdev       2.4152",
        "min         2",
        "max         12",
    ]
    rows = {line.split()[0]: line for line in lines[7:]}
    assert rows["7"].split()[1:4] == ["16.67%", "58.33%", "58.33%"]
    assert rows["2"].split()[1:4] == ["2.78%", "100.00%", "2.78%"]
    # The most likely total has the longest bar, one column short of the terminal.
    assert max(len(line) for line in lines) == len(rows["7"]) == 71
    assert len(rows["2"].split()[4]) < len(rows["7"].split()[4])


def test_table_shows_failures_and_truncation() -> None:
    lines = table_lines(odds("10/(1d4-1)"))
    assert "fails       25.00% arithmetic.divide_by_zero" in lines
    assert any(line.startswith("truncated") for line in table_lines(odds("1d2!", tolerance=1e-6)))
    assert table_lines(odds("1/0")) == [
        "expression  1/0",
        "no roll gives a total",
        "fails       100.00% arithmetic.divide_by_zero",
    ]


def test_many_totals_share_rows() -> None:
    lines = table_lines(odds("1d100"))
    rows = lines[7:]
    assert len(rows) == 25 and rows[0].split()[0] == "1..4" and rows[-1].split()[0] == "97..100"
    assert rows[0].split()[1:4] == ["4.00%", "100.00%", "4.00%"]


def test_comparison_columns() -> None:
    lines = comparison_lines([odds("2d20kh1"), odds("1d20+5")])
    assert lines[0] == "at least (%)"
    assert lines[1].split() == ["total", "2d20kh1", "1d20+5"]
    rows = {line.split()[0]: line.split()[1:] for line in lines[2:]}
    assert rows["15"] == ["51.00", "55.00"]
    assert rows["25"] == ["0.00", "5.00"]
    assert rows["mean"] == ["13.8250", "15.5000"]
    probabilities = comparison_lines([odds("1d4"), odds("1d6")], column="probability")
    assert probabilities[2].split() == ["1", "25.00", "16.67"]
    assert comparison_lines([odds("1d4")], column="at_most")[3].split() == ["2", "50.00"]
    with pytest.raises(ValueError):
        comparison_lines([odds("1d4")], column="mode")


def test_json_one_and_several() -> None:
    one = json.loads(json_text([odds("1d2 # 两")]))
    assert one["expression"] == "1d2 # 两" and one["pmf"] == [[1, 0.5], [2, 0.5]]
    assert "两" in json_text([odds("1d2 # 两")])
    several = json.loads(json_text([odds("1d2"), odds("1/0")]))
    assert [d["expression"] for d in several] == ["1d2", "1/0"]
    assert (
        several[1]["failures"] == {"arithmetic.divide_by_zero": 1.0} and several[1]["min"] is None
    )


def test_svg_is_a_document_with_one_series_per_expression() -> None:
    root = ET.fromstring(
        svg_chart([odds("2d20kh1"), odds("1d20+5")], "at_least", title="a < b & c")
    )
    assert root.tag == SVG + "svg"
    series = root.findall(f"{SVG}g")
    assert len(series) == 2 and all(g.find(f"{SVG}polyline") is not None for g in series)
    texts = [text_of(t) for t in root.iter(f"{SVG}text")]
    assert "a < b & c" in texts and any(t.startswith("2d20kh1") for t in texts)
    bars = ET.fromstring(svg_chart([odds("4d6kh3")])).findall(f"{SVG}g/{SVG}rect")
    assert len(bars) == 16
    heights = [float(attribute(r, "height")) for r in bars]
    assert heights.index(max(heights)) == 13 - 3  # 13 is the most likely total


def test_write_plot_svg(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "chart.svg"
    assert write_plot(str(path), [odds("3d6")], backend="svg") == "svg"
    assert ET.parse(path).getroot().tag == SVG + "svg"
    with pytest.raises(ValueError):
        write_plot(str(path), [odds("3d6")], backend="png")


def test_write_plot_matplotlib(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("matplotlib")
    path = tmp_path / "chart.png"
    # A pair of '$' in a label is shown as it is, not read as (broken) mathematics.
    assert (
        write_plot(str(path), [odds("3d6 # $\\frac{$"), odds("1d20")], column="at_least")
        == "matplotlib"
    )
    assert path.read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize(
    "texts", [["8d6!", "10d6"], ["1d2!"], ["1/0", "1d20"], ["1/(0^(1000d6-1000))"], ["1d100000"]]
)
def test_visible_range_found_by_bisection_is_the_run_of_totals_above_both_tails(
    texts: list[str],
) -> None:
    odds_list, shown = [odds(text) for text in texts], []
    for d in odds_list:
        run = [x for x in d.pmf if d.at_most(x) >= 1e-4 and d.at_least(x) >= 1e-4] or list(d.pmf)
        shown += run[:1] + run[-1:]
    assert _visible_range(odds_list) == (
        (min(shown), max(shown)) if shown else (math.inf, -math.inf)
    )


@pytest.mark.parametrize("column", ["probability", "at_least", "at_most"])
def test_long_series_are_thinned(column: str) -> None:
    full = _series(odds("2d3000"), column)
    thinned = _thin(full, column, max_points=100)
    assert len(thinned) <= 101 and _thin(full[:100], column, max_points=100) == full[:100]
    if column == "probability":  # group means: within the values' range, the peak kept in place
        assert (
            min(p for _, p in full)
            <= min(p for _, p in thinned)
            <= max(p for _, p in thinned)
            <= max(p for _, p in full)
        )
        assert abs(max(thinned, key=lambda point: point[1])[0] - 3001) <= 60
    else:  # exact values at some totals, the first and the last among them
        assert set(thinned) <= set(full) and (thinned[0], thinned[-1]) == (full[0], full[-1])
