"""The tables, comparisons, JSON and charts of odds, under the import path they were
first published at; they live in :mod:`kavelo.probability.display`."""

from .probability.display import (
    COLUMNS,
    comparison_lines,
    json_text,
    svg_chart,
    table_lines,
    write_plot,
)

__all__ = ["COLUMNS", "table_lines", "comparison_lines", "json_text", "svg_chart", "write_plot"]
