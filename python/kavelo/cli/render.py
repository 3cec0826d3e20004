"""The output forms of results: plain lines for people and one JSON value per text for
scripts. Everything that came from the input is escaped here (see ``escape``)."""

from __future__ import annotations

import json
from collections.abc import Iterable
from typing import Any

from .. import DiceRollResult, ProgramTrace, Trace
from ..tracing.forms import Style, format_trace
from .escape import escape_json, escape_text


def to_json(value: Any) -> str:
    """One line of JSON, not ASCII-escaped except for the characters that are unsafe on
    a terminal."""
    return escape_json(json.dumps(value, ensure_ascii=False))


class PlainRenderer:
    """An instruction as its total, a tab and its faces (its details without dice); a
    comment as ``# comment``."""

    def instruction_line(self, result: DiceRollResult) -> str:
        return f"{result['total']}\t{escape_text(result['details'])}"

    def comment_line(self, comment: str) -> str:
        return f"# {escape_text(comment)}"

    def traced(self, traced: Trace, style: Style) -> list[str]:
        """One expression as its total, a tab and every term's faces (see
        ``kavelo.tracing.forms``), then its comment. Without dice, its details."""
        lines = [self._traced_line(traced, style)]
        if traced.result["comment"]:
            lines.append(self.comment_line(traced.result["comment"]))
        return lines

    def traced_program(self, program: ProgramTrace, style: Style) -> list[str]:
        """A program's instructions as :meth:`traced` shows one each, then its comment."""
        lines = [self._traced_line(traced, style) for traced in program.traces]
        if program.comment:
            lines.append(self.comment_line(program.comment))
        return lines

    def _traced_line(self, traced: Trace, style: Style) -> str:
        if traced.terms:
            return f"{traced.total}\t{format_trace(traced, style, comment=False)}"
        return self.instruction_line(traced.result)

    def samples(self, batch: Iterable[DiceRollResult]) -> list[str]:
        return [self.instruction_line(r) for r in batch]


class JsonRenderer:
    """The result dictionary of an expression or a program with its trace; the list of
    sample dictionaries; a failure as an object naming the input, the error text and
    its code."""

    def traced(self, traced: Trace) -> list[str]:
        """The result of one expression shaped as a program's, with its trace's terms
        under ``"trace"``."""
        result = dict(traced.result)
        comment = result.pop("comment")
        document = {
            "results": [{**result, "comment": ""}],
            "comment": comment,
            "trace": traced.to_dict()["terms"],
        }
        return [to_json(document)]

    def traced_program(self, program: ProgramTrace) -> list[str]:
        """The result of a program, with each instruction's terms under ``"traces"``
        (a list per instruction, in order)."""
        document: dict[str, Any] = {
            "results": [dict(result) for result in program.result["results"]],
            "comment": program.comment,
            "traces": [traced.to_dict()["terms"] for traced in program.traces],
        }
        return [to_json(document)]

    def sample_items(self, batch: Iterable[DiceRollResult]) -> list[str]:
        return [to_json(r) for r in batch]

    def failure(self, text: str, message: str, code: str) -> str:
        return to_json({"input": text, "error": message, "code": code})
