"""What the audit reads: every kind of record, and hostile or broken ones refused with a
message that names the record and what is wrong (or skipped and counted when asked)."""

from __future__ import annotations

import json
import math
from typing import Any

import pytest

import kavelo
from kavelo.audit import Auditor, AuditTest, tally

FAIR_D6 = {"sides": 6, "faces": [1, 2, 3, 4, 5, 6, 2, 4, 6, 1, 3, 5]}


def _faces(report: kavelo.Audit, subject: str) -> AuditTest:
    return next(t for t in report.tests if t.kind == "faces" and t.subject == subject)


@pytest.mark.parametrize(
    ("record", "fragment"),
    [
        ({"sides": 6, "faces": [1, 7]}, "faces[1] is 7, not a face of a die with 6 sides"),
        ({"sides": 6, "faces": [0]}, "faces[0] is 0"),
        ({"sides": 6, "faces": [1, "2"]}, "faces[1] must be an int, not '2'"),
        ({"sides": 6, "faces": [1.0]}, "faces[0] must be an int, not 1.0"),
        ({"sides": 6, "faces": [True]}, "faces[0] must be an int, not True"),
        ({"sides": 6, "faces": [math.nan]}, "faces[0] must be an int, not nan"),
        ({"sides": 6, "faces": "123"}, "faces must be a list of ints"),
        ({"sides": 0, "faces": [1]}, "sides must lie from 1 to"),
        ({"sides": 2**70, "faces": [1]}, "an integer of 71 bits"),
        ({"sides": "20", "faces": [1]}, "sides must be an int, not '20'"),
        ({"sides": 6}, "faces must be a list of ints, not None"),
        (("1d6", math.nan), "is NaN, not an int"),
        (("1d6", 7), "'1d6' cannot give the total 7"),
        (("1d6", "3"), "must be an int, not '3'"),
        (("1d", 3), "the odds of '1d' cannot be computed"),
        (("x" * 2000, 3), "more than the 1,000 an audited expression may have"),
        ({"expression": "1d6", "counts": [[3, -1]]}, "count must be an int from 0"),
        ({"expression": "1d6", "counts": [[3, 10**16]]}, "count must be an int from 0"),
        ({"expression": "1d6", "counts": [[9, 1]]}, "cannot give the total 9"),
        ({"expression": "1d6", "bins": []}, "bins of several totals"),
        ({"results": [{"total": 3}], "comment": ""}, "a program's result holds no faces"),
        ({"results": [{"total": 3}], "traces": [[], []]}, "one result per trace"),
        ({"result": {}, "traces": [{"terms": []}]}, "traces[0] must be a trace's to_dict"),
        ({"results": [], "traces": []}, "one trace per instruction"),
        ({"expression": "(1d6)", "total": 3}, "audit its trace"),
        ([{"rolls": [[1]]}], "a list of samples"),
        (None, "not a record kavelo can audit (None)"),
        (42, "not a record kavelo can audit (42)"),
        ("1d6", "not a record kavelo can audit ('1d6')"),
        ({"a": 1}, "not a record kavelo can audit (a dict of 1 items)"),
    ],
)
def test_a_bad_record_is_refused_naming_it(record: object, fragment: str) -> None:
    with pytest.raises(ValueError) as caught:
        kavelo.audit([FAIR_D6, record])
    message = str(caught.value)
    assert message.startswith(("[audit.bad_record] records[1]: ", "[audit.limit] records[1]: "))
    assert fragment in message
    assert len(message) < 400


@pytest.mark.parametrize(
    "record",
    [
        {"sides": 6, "faces": [1, 2, 9]},
        ("1d6", 12),
        {"expression": "1d6", "counts": [[1, 5], [9, 1]]},
        {
            "result": {"expression": "1d6", "total": 2},
            "terms": [{"notation": "1d6", "sides": 6, "faces": [{"value": 2}, {"value": 7}]}],
        },
    ],
)
def test_a_skipped_record_counts_nothing_of_itself(record: object) -> None:
    alone = kavelo.audit([FAIR_D6], skip_bad=True)
    both = kavelo.audit([FAIR_D6, record], skip_bad=True)
    assert both.skipped == 1 and both.records == 1
    assert both.skipped_reasons[0].startswith("[audit.bad_record] records[1]: ")
    assert [t.to_dict() for t in both.tests] == [t.to_dict() for t in alone.tests]
    assert "1 more skipped as bad" in both.text()


def test_skipped_reasons_are_capped_but_all_counted() -> None:
    report = kavelo.audit([None] * 50, skip_bad=True)
    assert report.skipped == 50 and len(report.skipped_reasons) == 10
    assert "and 40 more" in report.text()


def test_every_kind_of_record_adds_to_the_same_tests() -> None:
    t = kavelo.replay("2d6+1", [3, 5])
    data: dict[str, Any] = t.to_dict()
    line = json.loads(json.dumps({"results": [t.result], "comment": "", "trace": data["terms"]}))
    records = [
        t,
        t.to_dict(),
        line,
        {"sides": 6, "faces": [3, 5]},
        ("2d6 + 1", 9),
        ["2d6+1  # same expression, other spacing", 9],
        {"expression": "2d6+1", "counts": [[9, 2]]},
        {"input": "1d0", "error": "bad", "code": "dice.invalid"},
    ]
    report = kavelo.audit(records)
    assert report.records == 8 and report.failed_rolls == 1
    # Three traces and one list of faces: 8 faces of a d6, in this order.
    d6 = _faces(report, "d6")
    assert d6.count == 8
    assert [c.observed for c in d6.cells] == [0, 0, 4, 0, 4, 0]
    # One expression, however written: 3 traces, 2 pairs and 2 counted rolls, all 9.
    assert report.to_dict()["notes"][-1] == (
        "2d6 + 1: 7 rolls are too few to test the totals (each of two bins must expect at least 5)"
    )


def test_trace_of_a_modified_expression_is_tested_against_its_own_odds() -> None:
    # The result writes 4d6kh3 as 4d6: the audit puts the modifiers back from the trace.
    traces = [kavelo.replay("4d6kh3", [6, 6, 6, 1]) for _ in range(40)]
    report = kavelo.audit(traces)
    totals = next(t for t in report.tests if t.kind == "totals")
    assert totals.subject == "4d6kh3"
    assert totals.biased  # forty 18s: far from the odds of 4d6kh3


def test_one_record_is_counted_whole_or_not_at_all() -> None:
    good = kavelo.replay("1d6+1d8", [2, 3])
    bad: dict[str, Any] = good.to_dict()
    bad["terms"][1]["faces"][0]["value"] = 9  # the second term's face is off its die
    with pytest.raises(ValueError, match=r"records\[0\]: terms\[1\] face values\[0\] is 9"):
        kavelo.audit([bad])
    report = kavelo.audit([bad, good], skip_bad=True)
    assert report.records == 1 and report.skipped == 1
    # Only the good record's faces: the bad one's good first term is not counted either.
    assert {t.subject: t.count for t in report.tests if t.kind == "faces"} == {"d6": 1, "d8": 1}


@pytest.mark.parametrize(
    ("records", "fragment"),
    [
        (
            [{"sides": s, "faces": [1]} for s in range(2, 2 + tally.MAX_DIE_SIZES + 1)],
            "more than 100 different die sizes",
        ),
        (
            [(f"1d6+{i}", 1 + i) for i in range(tally.MAX_EXPRESSIONS + 1)],
            "more than 256 different expressions",
        ),
    ],
)
def test_limits_refuse_with_a_coded_error(records: list[object], fragment: str) -> None:
    with pytest.raises(ValueError) as caught:
        kavelo.audit(records)
    assert str(caught.value).startswith(f"[audit.limit] records[{len(records) - 1}]: ")
    assert fragment in str(caught.value)


def test_memory_follows_distinct_outcomes_not_records() -> None:
    # A huge die is counted in ranges: its counts stay bounded whatever it shows.
    faces = list(range(1, 2**31 - 1, 2**31 // 50_000))
    report = kavelo.audit([{"sides": 2**31 - 1, "faces": faces}] * 3)
    test = _faces(report, "d2147483647")
    assert test.count == 3 * len(faces)
    assert len(test.cells) <= tally.FACE_CELLS
    # An expression without odds (too costly) keeps a count, not its totals.
    report = kavelo.audit([("100000d100000", 10**9 + i) for i in range(1000)], skip_bad=True)
    assert report.skipped == 1000  # its totals need the odds, so each pair is refused


@pytest.mark.parametrize("records", ["1d6", b"12", {"sides": 6}, 5])
def test_records_must_be_an_iterable_of_records(records: object) -> None:
    with pytest.raises(TypeError, match="argument 'records'"):
        kavelo.audit(records)  # type: ignore[arg-type]


@pytest.mark.parametrize("alpha", [0, 1, -0.1, math.nan, 2.0])
def test_alpha_outside_zero_and_one_is_refused(alpha: float) -> None:
    with pytest.raises(ValueError, match="alpha must lie strictly between 0 and 1"):
        kavelo.audit([FAIR_D6], alpha=alpha)


def test_records_are_read_once_as_a_stream() -> None:
    def generated() -> object:
        for _ in range(300):
            yield {"sides": 2, "faces": [1, 2]}

    report = kavelo.audit(generated())  # type: ignore[arg-type]
    assert _faces(report, "d2").count == 600


def test_faces_of_an_expression_without_odds_are_audited_and_its_totals_not_kept() -> None:
    auditor = Auditor()
    for face in range(1, 3001):
        auditor.add(kavelo.replay("1d1000000", [face * 333]), "a trace")
    totals = auditor.tally.totals["1d1000000"]
    assert not totals.counts and totals.untested == 3000
    report = auditor.report()
    assert _faces(report, "d1000000").count == 3000
    assert any(note.startswith("1d1000000: 3,000 totals not tested: ") for note in report.notes)


def test_a_program_is_audited_as_its_instructions() -> None:
    from kavelo.cli.render import JsonRenderer

    programs = [
        kavelo.replay_program("4d6kh3; 1d20+1; 7 # x", [3, 4, 5, 6, 17]),
        kavelo.replay_program("2d6!; 1d20", [6, 2, 5, 20]),
    ]
    alone = kavelo.audit([traced for program in programs for traced in program.traces])
    line = [json.loads(JsonRenderer().traced_program(program)[0]) for program in programs]
    for records in (programs, [program.to_dict() for program in programs], line):
        report = kavelo.audit(records)
        assert report.records == len(programs)
        shown = [(t.kind, t.subject, t.count, t.statistic) for t in report.tests]
        assert shown == [(t.kind, t.subject, t.count, t.statistic) for t in alone.tests]
        assert report.notes == alone.notes
