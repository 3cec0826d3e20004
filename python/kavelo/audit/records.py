"""What a record of a log holds, read and checked before anything of it is counted.

A record is one of:

- a :class:`kavelo.Trace`, or its ``to_dict()`` form (``{"result": ..., "terms": ...}``),
  or a line of ``kavelo --json`` for one expression (``{"results": [...], "trace": ...}``):
  every face drawn, with its die's sides, and the total of its expression;
- a :class:`kavelo.ProgramTrace`, its ``to_dict()`` form (``{"result": ...,
  "traces": [...]}``), or a line of ``kavelo --json`` for a program (``{"results":
  [...], "traces": [...]}``): each instruction as a trace;
- ``{"sides": 20, "faces": [17, 3, ...]}``: faces of one die, for physical dice;
- ``(expression, total)``, a pair (a two-element list in JSON): one roll's total;
- ``{"expression": ..., "counts": [[total, count], ...]}``: the totals of many rolls, as
  ``kavelo --json -n N --stats`` writes them;
- ``{"input": ..., "error": ..., "code": ...}``: a roll that failed (``kavelo --json``
  writes one for each), which drew no dice; it is counted, not tested.

Only the keys named here are read (``terms[*].sides``, ``terms[*].notation`` and
``terms[*].faces[*].value`` of a trace); other keys are ignored. A record that is not
one of these, or holds a wrong type or an impossible value, raises ValueError with a
message that says what is wrong; nothing of it is counted.
"""

from __future__ import annotations

import math
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from ..tracing import ProgramTrace, Trace

#: The most sides a die can have (the dice language's own bound).
MAX_SIDES = 2**31 - 1
#: Most characters of an expression (with its comment): a dice expression from a chat
#: is far shorter, and every distinct expression is kept until the report.
MAX_EXPRESSION_CHARS = 1000
#: Most rolls one [total, count] pair may stand for.
MAX_COUNT = 10**15
#: Characters of a value from the record quoted in a message.
QUOTE_CHARS = 40

# A dice term written back (``4d6kh3``, ``1d6r-2!``): what may replace ``NdM`` in a
# result's expression, in the grammar of the dice language's modifiers.
_NOTATION = re.compile(r"([0-9]+)d([0-9]+)(?:!|e|u|s|(?:ro|kh|kl|dh|dl|r|R|a|K|k|c)-?[0-9]+)*")
# ``NdM`` in a result's expression, which writes every term without its modifiers.
_BARE_TERM = re.compile(r"[0-9]+d[0-9]+")
# A parenthesized number or dice term, whose parentheses say nothing.
_ATOM_IN_PARENS = re.compile(r"\((-?[0-9]+(?:d[^()\s]+)?)\)")


class RecordError(ValueError):
    """A record that cannot be audited; the message says why, without saying where
    (the audit adds the place and the code)."""

    code = "audit.bad_record"


class LimitError(RecordError):
    """A record that would take the audit past one of its bounds."""

    code = "audit.limit"


@dataclass
class Record:
    """What one record adds: faces by die size in draw order, totals by expression,
    and whether it is a failed roll."""

    faces: list[tuple[int, list[int]]] = field(default_factory=list)
    # (expression as written in the log, its key, the totals with their counts)
    totals: list[tuple[str, str, dict[int, int]]] = field(default_factory=list)
    # The expression's odds need not exist for the record to count: a trace's faces are
    # audited even when the odds of its expression are too costly to compute.
    totals_optional: bool = False
    failed: bool = False


def quote(value: object) -> str:
    """A short, printable rendering of a value from a record, for a message: at most
    about ``QUOTE_CHARS`` characters whatever its size, controls escaped."""
    if isinstance(value, bool) or value is None:
        return repr(value)
    if isinstance(value, int):
        if value.bit_length() > 64:
            return f"an integer of {value.bit_length()} bits"
        return str(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, str):
        shown = repr(value[: QUOTE_CHARS + 1])
        return shown if len(value) <= QUOTE_CHARS else shown[:-1] + "…" + shown[-1]
    if isinstance(value, (list, tuple, dict)):
        return f"a {type(value).__name__} of {len(value)} items"
    return f"a {type(value).__name__}"


def _is_int(value: object) -> bool:
    return type(value) is int


def check_sides(sides: object, what: str = "sides") -> int:
    if not _is_int(sides):
        raise RecordError(f"{what} must be an int, not {quote(sides)}")
    assert isinstance(sides, int)
    if not 1 <= sides <= MAX_SIDES:
        raise RecordError(f"{what} must lie from 1 to {MAX_SIDES}: got {quote(sides)}")
    return sides


def check_faces(faces: object, sides: int, what: str = "faces") -> list[int]:
    """``faces`` as a list of ints from 1 to ``sides``. The types are checked in one
    pass over the list, the range by its least and greatest face, and only a failing
    list is searched for the face to name."""
    if not isinstance(faces, (list, tuple)):
        raise RecordError(f"{what} must be a list of ints, not {quote(faces)}")
    if not faces:
        return []
    if set(map(type, faces)) != {int}:
        for i, face in enumerate(faces):
            if not _is_int(face):
                raise RecordError(f"{what}[{i}] must be an int, not {quote(face)}")
    if min(faces) < 1 or max(faces) > sides:
        for i, face in enumerate(faces):
            if not 1 <= face <= sides:
                raise RecordError(
                    f"{what}[{i}] is {quote(face)}, not a face of a die with {sides} sides "
                    f"(1 to {sides})"
                )
    return faces if isinstance(faces, list) else list(faces)


def check_total(total: object, what: str = "total") -> int:
    if not _is_int(total):
        if isinstance(total, float) and math.isnan(total):
            raise RecordError(f"{what} is NaN, not an int")
        raise RecordError(f"{what} must be an int, not {quote(total)}")
    assert isinstance(total, int)
    return total


def check_expression(expression: object, what: str = "expression") -> str:
    if not isinstance(expression, str):
        raise RecordError(f"{what} must be a str, not {quote(expression)}")
    if len(expression) > MAX_EXPRESSION_CHARS:
        raise LimitError(
            f"{what} has {len(expression):,} characters, more than the {MAX_EXPRESSION_CHARS:,} "
            "an audited expression may have"
        )
    return expression


def expression_key(expression: str) -> str:
    """The expression without its comment and its whitespace: rolls of the same
    expression written with other spacing or comments are tested together."""
    return "".join(expression.split("#", 1)[0].split())


def expression_text(expression: str) -> str:
    """The expression as shown and computed: without its comment, each run of
    whitespace one space."""
    return " ".join(expression.split("#", 1)[0].split())


def _totals(expression: str, counts: dict[int, int]) -> tuple[str, str, dict[int, int]]:
    return expression_text(expression), expression_key(expression), counts


def simplify(expression: str) -> str:
    """A result's fully parenthesized expression with the parentheses around single
    numbers and dice terms taken away: ``(4d6kh3) + (2)`` becomes ``4d6kh3 + 2``. The
    language has no precedence, so the remaining parentheses keep the meaning."""
    previous = None
    while previous != expression:
        previous = expression
        expression = _ATOM_IN_PARENS.sub(r"\1", expression)
    return expression


def rebuild(expression: object, terms: Sequence[Mapping[str, Any]], what: str) -> str:
    """The expression a trace rolled, from its result's expression (which writes every
    dice term as ``NdM`` alone) with each term's notation put back in order."""
    text = check_expression(expression, f"{what}['expression']")
    bare = _BARE_TERM.findall(text)
    if len(bare) != len(terms):
        raise RecordError(
            f"{what}['expression'] holds {len(bare)} dice terms and the trace {len(terms)}"
        )
    notations: list[str] = []
    for i, term in enumerate(terms):
        notation = term.get("notation")
        if not isinstance(notation, str):
            raise RecordError(f"terms[{i}]['notation'] must be a str, not {quote(notation)}")
        match = _NOTATION.fullmatch(notation)
        if match is None or match.group(2) != str(term.get("sides")):
            raise RecordError(f"terms[{i}]['notation'] is not a dice term: {quote(notation)}")
        notations.append(notation)
    pieces = iter(notations)
    return simplify(_BARE_TERM.sub(lambda _: next(pieces), text))


def _term_faces(terms: object, what: str) -> list[tuple[int, list[int]]]:
    if not isinstance(terms, list):
        raise RecordError(f"{what} must be a list of terms, not {quote(terms)}")
    out: list[tuple[int, list[int]]] = []
    for i, term in enumerate(terms):
        if not isinstance(term, Mapping):
            raise RecordError(f"{what}[{i}] must be an object, not {quote(term)}")
        sides = check_sides(term.get("sides"), f"{what}[{i}]['sides']")
        faces = term.get("faces")
        if not isinstance(faces, list):
            raise RecordError(f"{what}[{i}]['faces'] must be a list, not {quote(faces)}")
        values: list[object] = []
        for j, face in enumerate(faces):
            if not isinstance(face, Mapping) or "value" not in face:
                raise RecordError(
                    f"{what}[{i}]['faces'][{j}] must be an object with a 'value', not {quote(face)}"
                )
            values.append(face["value"])
        out.append((sides, check_faces(values, sides, f"{what}[{i}] face values")))
    return out


def _traced(result: object, terms: object, what: str) -> Record:
    """A trace as plain data: the result dictionary and its terms."""
    if not isinstance(result, Mapping):
        raise RecordError(f"{what} must be an object, not {quote(result)}")
    faces = _term_faces(terms, "terms")
    assert isinstance(terms, list)
    expression = rebuild(result.get("expression"), terms, what)
    total = check_total(result.get("total"), f"{what}['total']")
    return Record(
        faces=faces,
        totals=[_totals(expression, {total: 1})],
        totals_optional=True,
    )


def _from_trace(trace: Trace) -> Record:
    faces: list[tuple[int, list[int]]] = []
    for i, term in enumerate(trace.terms):
        sides = check_sides(term.sides, f"terms[{i}].sides")
        values = [face.value for face in term.faces]
        faces.append((sides, check_faces(values, sides, f"terms[{i}] face values")))
    expression = rebuild(
        trace.result.get("expression"),
        [{"notation": t.notation, "sides": t.sides} for t in trace.terms],
        "result",
    )
    total = check_total(trace.result.get("total"), "result['total']")
    return Record(
        faces=faces,
        totals=[_totals(expression, {total: 1})],
        totals_optional=True,
    )


def _stats_counts(record: Mapping[str, Any]) -> Record:
    expression = check_expression(record.get("expression"), "'expression'")
    if "counts" not in record:
        raise RecordError(
            "totals counted in bins of several totals (the 'bins' of --stats) cannot be audited"
        )
    pairs = record["counts"]
    if not isinstance(pairs, list):
        raise RecordError(f"'counts' must be a list of [total, count] pairs, not {quote(pairs)}")
    counts: dict[int, int] = {}
    for i, pair in enumerate(pairs):
        if not isinstance(pair, (list, tuple)) or len(pair) != 2:
            raise RecordError(f"counts[{i}] must be a [total, count] pair, not {quote(pair)}")
        total = check_total(pair[0], f"counts[{i}] total")
        count = pair[1]
        if not _is_int(count) or not 0 <= count <= MAX_COUNT:
            raise RecordError(
                f"counts[{i}] count must be an int from 0 to {MAX_COUNT:,}, not {quote(count)}"
            )
        counts[total] = counts.get(total, 0) + count
    return Record(totals=[_totals(expression, counts)])


_KINDS = (
    "expected a trace or a program's trace (or its to_dict() form, or a line of kavelo "
    "--json), "
    '{"sides": N, "faces": [...]}, an [expression, total] pair, '
    'or {"expression": ..., "counts": [...]} as kavelo --stats writes'
)


def _merged(parts: list[Record]) -> Record:
    """One record of a program's instructions: their faces in draw order, their totals."""
    return Record(
        faces=[entry for part in parts for entry in part.faces],
        totals=[entry for part in parts for entry in part.totals],
        totals_optional=True,
    )


def _program(record: Mapping[str, Any]) -> Record:
    """A program's traces as plain data: ``kavelo --json``'s line (``results`` and a
    list of terms per instruction in ``traces``) or ``ProgramTrace.to_dict()``
    (``result`` and a ``{"result", "terms"}`` per instruction in ``traces``)."""
    traces = record["traces"]
    if not isinstance(traces, list) or not traces:
        raise RecordError(
            f"'traces' must be a list of one trace per instruction, not {quote(traces)}"
        )
    if "results" in record:
        results = record["results"]
        if not isinstance(results, list) or len(results) != len(traces):
            raise RecordError(
                f"'results' must be a list of one result per trace ({len(traces)}), not "
                f"{quote(results)}"
            )
        return _merged(
            [_traced(results[i], traces[i], f"results[{i}]") for i in range(len(traces))]
        )
    parts = []
    for i, traced in enumerate(traces):
        if not isinstance(traced, Mapping) or "result" not in traced or "terms" not in traced:
            raise RecordError(f"traces[{i}] must be a trace's to_dict() form, not {quote(traced)}")
        parts.append(_traced(traced["result"], traced["terms"], f"traces[{i}].result"))
    return _merged(parts)


def read_record(record: object) -> Record:
    """What ``record`` adds to an audit, checked whole; RecordError says what is wrong."""
    if isinstance(record, Trace):
        return _from_trace(record)
    if isinstance(record, ProgramTrace):
        return _merged([_from_trace(traced) for traced in record.traces])
    if isinstance(record, (list, tuple)):
        if len(record) == 2 and isinstance(record[0], str):
            expression = check_expression(record[0], "the expression (item 0)")
            total = check_total(record[1], "the total (item 1)")
            return Record(totals=[_totals(expression, {total: 1})])
        if record and all(isinstance(item, Mapping) and "rolls" in item for item in record[:1]):
            raise RecordError(
                "a list of samples (kavelo --json -n) holds no faces, and its expressions lack "
                "their modifiers: audit single rolls, or the totals of kavelo --json -n N --stats"
            )
        raise RecordError(f"not a record kavelo can audit ({quote(record)}): {_KINDS}")
    if not isinstance(record, Mapping):
        raise RecordError(f"not a record kavelo can audit ({quote(record)}): {_KINDS}")
    if "trace" in record:
        results = record.get("results")
        if not isinstance(results, list) or len(results) != 1:
            raise RecordError(
                f"'results' of a traced roll must be a list of one result, not {quote(results)}"
            )
        return _traced(results[0], record["trace"], "results[0]")
    if "traces" in record and ("results" in record or "result" in record):
        return _program(record)
    if "terms" in record and "result" in record:
        return _traced(record["result"], record["terms"], "result")
    if "faces" in record or "sides" in record:
        sides = check_sides(record.get("sides"))
        return Record(faces=[(sides, check_faces(record.get("faces"), sides))])
    if "error" in record and "input" in record:
        return Record(failed=True)
    if "expression" in record and ("counts" in record or "bins" in record):
        return _stats_counts(record)
    if "results" in record:
        raise RecordError(
            "a program's result holds no faces: audit its trace (kavelo --json writes it, "
            "or kavelo.trace_program)"
        )
    if "expression" in record and "total" in record:
        raise RecordError(
            "a result dictionary writes its expression without the modifiers: audit its "
            "trace, or an (expression, total) pair"
        )
    raise RecordError(f"not a record kavelo can audit ({quote(record)}): {_KINDS}")
