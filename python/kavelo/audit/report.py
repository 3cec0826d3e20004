"""The report of an audit: its tests, the overall verdict corrected for their number,
and the forms it is shown in."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from typing import Any

from ..tracing import Trace
from . import stats
from .checks import Check, effect_caught, faces_check, serial_check, totals_check
from .outcome import AuditTest
from .records import RecordError, read_record
from .safe import markdown_text, plain_text
from .tally import Tally
from .words import count, p_value

#: The power a report states the smallest bias for.
POWER = 0.8
#: Messages of skipped records kept in a report.
SKIPPED_REASONS = 10
CORRECTION = "Holm"
NO_EVIDENCE = "no evidence of bias"
EVIDENCE = "evidence of bias"
CAVEAT = (
    '"no evidence of bias" is not proof of fairness: a bias smaller than the one each test '
    "is said to catch can go unseen, and a test looks only at its own question (how often "
    "each face comes up, whether a face depends on the one before, whether totals follow the "
    "odds); a log can also be edited or its rolls chosen after the fact"
)


class Audit:
    """The report of :func:`kavelo.audit`.

    ``p_value`` is the p-value of the whole audit: the smallest of the tests' p-values
    after Holm's correction for their number (``correction``), so that fair dice are
    judged biased at most ``alpha`` of the time however many tests there are;
    ``biased`` is whether it is at most ``alpha`` and ``verdict`` says so in words.
    ``tests`` lists every test (:class:`AuditTest`), ``notes`` what could not be
    tested and why. ``records`` counts the records read, ``failed_rolls`` those that
    were rolls that failed (they drew no dice), ``skipped`` those left out as bad (only
    with ``skip_bad``), with the first messages in ``skipped_reasons``.
    """

    __slots__ = (
        "alpha",
        "p_value",
        "biased",
        "verdict",
        "correction",
        "tests",
        "notes",
        "records",
        "failed_rolls",
        "skipped",
        "skipped_reasons",
    )

    def __init__(
        self,
        alpha: float,
        tests: tuple[AuditTest, ...],
        notes: tuple[str, ...],
        records: int,
        failed_rolls: int,
        skipped: int,
        skipped_reasons: tuple[str, ...],
    ) -> None:
        self.alpha = alpha
        self.tests = tests
        self.notes = notes
        self.records = records
        self.failed_rolls = failed_rolls
        self.skipped = skipped
        self.skipped_reasons = skipped_reasons
        self.correction = CORRECTION
        self.p_value = min((t.p_adjusted for t in tests), default=1.0)
        self.biased = self.p_value <= alpha
        self.verdict = EVIDENCE if self.biased else NO_EVIDENCE

    def __repr__(self) -> str:
        return (
            f"<Audit {self.verdict}: p = {p_value(self.p_value)} over {len(self.tests)} tests "
            f"at alpha {self.alpha:g}>"
        )

    # -- forms

    def _headline(self) -> str:
        tests = len(self.tests)
        if not tests:
            return "Dice audit: nothing to test"
        plural = "test" if tests == 1 else "tests"
        return (
            f"Dice audit: {self.verdict} (p = {p_value(self.p_value)} after {self.correction}'s "
            f"correction for {tests} {plural}, alpha {self.alpha:g})"
        )

    def _records_line(self) -> str:
        parts = [f"{count(self.records)} record{'' if self.records == 1 else 's'}"]
        if self.failed_rolls:
            parts.append(f"{count(self.failed_rolls)} of them failed rolls without dice")
        if self.skipped:
            parts.append(f"{count(self.skipped)} more skipped as bad")
        return ", ".join(parts)

    def text(self) -> str:
        """The report in plain text, for a terminal or a log: the verdict, then every
        test with its numbers, its largest deviation, its power and its method, what
        was not tested, and what the audit cannot tell."""
        lines = [self._headline(), self._records_line()]
        for test in self.tests:
            verdict = EVIDENCE if test.biased else NO_EVIDENCE
            lines += [
                "",
                f"{_title(test, plain_text)}: {verdict}",
                (
                    f"  {count(test.count)} {_units(test)}, chi-square {test.statistic:.4g} "
                    f"with {test.df} df, p = {p_value(test.p_value)} ({test.method}), "
                    f"adjusted p = {p_value(test.p_adjusted)}"
                ),
                f"  {plain_text(_sentence(test.deviation))}",
                f"  {plain_text(_sentence(test.power))}",
                f"  test: {plain_text(test.why)}.",
            ]
        if self.notes:
            lines += ["", "not tested:"] + [f"  {plain_text(note)}" for note in self.notes]
        if self.skipped_reasons:
            lines += ["", "skipped:"] + [f"  {plain_text(r)}" for r in self.skipped_reasons]
            if self.skipped > len(self.skipped_reasons):
                lines.append(f"  and {count(self.skipped - len(self.skipped_reasons))} more")
        lines += ["", _sentence(CAVEAT)]
        return "\n".join(lines) + "\n"

    def markdown(self, *, max_length: int | None = None) -> str:
        """The report for a chat message, short: the verdict in bold, then one line per
        test with its p-value, its largest deviation and its power.

        With ``max_length`` (2000 fits a Discord message), at most that many
        characters: the verdict and the closing caveat always stay, the tests judged
        biased come first, then the others by p-value, and a last line counts the tests
        left out. A ``max_length`` too small for the verdict, the caveat and that line
        raises ValueError."""
        if max_length is not None and (
            isinstance(max_length, bool) or not isinstance(max_length, int)
        ):
            raise TypeError(f"max_length must be an int, not {type(max_length).__name__}")
        tests = len(self.tests)
        if not tests:
            head = "**Dice audit: nothing to test**"
        else:
            head = (
                f"**Dice audit: {self.verdict}** (p = {markdown_text(p_value(self.p_value))}, "
                f"{self.correction} over {tests} test{'s' if tests > 1 else ''}, "
                f"α = {self.alpha:g})"
            )
        lines = [self._markdown_line(test) for test in self.tests]
        tail = []
        if self.notes:
            tail.append(f"- not tested: {markdown_text('; '.join(self.notes))}")
        if self.skipped:
            tail.append(f"- {count(self.skipped)} bad records skipped")
        footer = "_No evidence of bias is not proof of fairness._"
        full = "\n".join([head, *lines, *tail, footer])
        if max_length is None or len(full) <= max_length:
            return full
        return self._markdown_within(head, footer, max_length)

    @staticmethod
    def _markdown_line(test: AuditTest) -> str:
        mark = "⚠️ " if test.biased else ""
        return (
            f"- {mark}**{_title(test, markdown_text)}**: p = "
            f"{markdown_text(p_value(test.p_adjusted))}. "
            f"{markdown_text(_sentence(test.deviation))} "
            f"{markdown_text(_sentence(test.power))}"
        )

    def _markdown_within(self, head: str, footer: str, max_length: int) -> str:
        """The message cut to ``max_length``: the most telling tests that fit, and a
        count of the rest."""
        order = sorted(self.tests, key=lambda test: (not test.biased, test.p_adjusted))
        shown: list[str] = []
        left = len(order)

        def message(more: int) -> str:
            rest = [f"- … {count(more)} more test{'s' if more > 1 else ''} in the full report"]
            skipped = [f"- {count(self.skipped)} bad records skipped"] if self.skipped else []
            return "\n".join([head, *shown, *(rest if more else []), *skipped, footer])

        for test in order:
            line = self._markdown_line(test)
            shown.append(line)
            if len(message(left - 1)) > max_length:
                shown.pop()
                break
            left -= 1
        result = message(left)
        if len(result) > max_length:
            raise ValueError(
                f"max_length must be at least {len(result)} for this audit: got {max_length}"
            )
        return result

    def to_dict(self) -> dict[str, Any]:
        """The report as plain data, safe for JSON (no NaN or infinity)."""
        return {
            "verdict": self.verdict,
            "biased": self.biased,
            "p_value": self.p_value,
            "alpha": self.alpha,
            "correction": self.correction,
            "records": self.records,
            "failed_rolls": self.failed_rolls,
            "skipped": self.skipped,
            "skipped_reasons": list(self.skipped_reasons),
            "tests": [test.to_dict() for test in self.tests],
            "notes": list(self.notes),
        }

    def svg(self) -> str:
        """The chart as an SVG document without outside references: one panel per test,
        the observed share of each face, range of faces, or bin of totals as a bar,
        its expected share as a mark and the range a fair die's bar stays in as a band."""
        from .chart import svg_chart

        return svg_chart(self)

    def write_plot(self, path: str, backend: str = "auto") -> str:
        """Draws the chart to ``path`` and returns the backend used: "matplotlib" when it
        is installed and ``backend`` is "auto" or "matplotlib" (which picks the format
        from the file name: PNG for chats, which do not show SVG), else "svg"."""
        from .chart import write_plot

        return write_plot(self, path, backend)


def _units(test: AuditTest) -> str:
    return {"faces": "faces", "serial": "pairs of consecutive faces", "totals": "rolls"}[test.kind]


def _title(test: AuditTest, escape: Callable[[str], str]) -> str:
    if test.kind == "faces":
        return f"{test.subject} faces"
    if test.kind == "serial":
        return f"{test.subject} one face after another"
    return f"{escape(test.subject)} totals"


def _sentence(text: str) -> str:
    return text[:1].upper() + text[1:] + ("" if text.endswith(".") else ".")


# ---------------------------------------------------------------- the audit


def _check_alpha(alpha: object) -> float:
    if isinstance(alpha, bool) or not isinstance(alpha, (int, float)):
        raise TypeError(f"argument 'alpha': must be a real number, not '{type(alpha).__name__}'")
    value = float(alpha)
    if not 0.0 < value < 1.0:
        raise ValueError(f"alpha must lie strictly between 0 and 1: got {value!r}")
    return value


class Auditor:
    """Reads records one at a time (``add``) and makes the report (``report``): the
    form the command line streams files through."""

    def __init__(self, alpha: float = 0.01, skip_bad: bool = False) -> None:
        self.alpha = _check_alpha(alpha)
        self.skip_bad = skip_bad
        self.tally = Tally()
        self.skipped = 0
        self.skipped_reasons: list[str] = []

    def add(self, record: object, where: str, records: int = 1) -> None:
        """Counts one record (standing for ``records`` records of a log); a bad one
        raises ValueError naming ``where``, or with ``skip_bad`` is counted as skipped."""
        try:
            self.tally.add(read_record(record), records)
        except RecordError as error:
            self.skip(f"[{error.code}] {where}: {error}")

    def skip(self, message: str) -> None:
        """Counts a record that could not even be read as skipped, or raises."""
        if not self.skip_bad:
            raise ValueError(message) from None
        self.skipped += 1
        if len(self.skipped_reasons) < SKIPPED_REASONS:
            self.skipped_reasons.append(message)

    def report(self) -> Audit:
        checks: list[Check] = []
        notes: list[str] = []

        def keep(result: Check | str) -> None:
            if isinstance(result, Check):
                checks.append(result)
            elif result:
                notes.append(result)

        for die in self.tally.finish():
            keep(faces_check(die))
            keep(serial_check(die))
        for totals in self.tally.totals.values():
            keep(totals_check(totals))
        adjusted = stats.holm([c.p_value for c in checks])
        level = self.alpha / len(checks) if checks else self.alpha
        tests = []
        for check, p_adjusted in zip(checks, adjusted, strict=True):
            effect = effect_caught(check, level, POWER)
            tests.append(
                AuditTest(
                    kind=check.kind,
                    subject=check.subject,
                    count=check.count,
                    method=check.method,
                    why=check.why,
                    statistic=check.statistic,
                    df=check.df,
                    p_value=check.p_value,
                    p_adjusted=p_adjusted,
                    biased=p_adjusted <= self.alpha,
                    deviation=check.deviation,
                    power=check.power_words(effect),
                    effect_caught=effect,
                    cells=check.cells,
                    level=level,
                    _power=check.power,
                )
            )
        return Audit(
            self.alpha,
            tuple(tests),
            tuple(notes),
            self.tally.records,
            self.tally.failed,
            self.skipped,
            tuple(self.skipped_reasons),
        )


def audit(records: Iterable[object], *, alpha: float = 0.01, skip_bad: bool = False) -> Audit:
    """Tests logged rolls against the exact odds: are the faces of each die size
    uniform, is each face independent of the one before, do each expression's totals
    follow its odds; and one verdict over all the tests, corrected for their number
    with Holm's method.

    ``records`` is any iterable (read once, one record at a time) mixing
    :class:`kavelo.Trace` objects or their ``to_dict()`` form (or a line of
    ``kavelo --json`` for one expression, parsed), ``{"sides": 20, "faces": [...]}``
    for the faces of a physical die, ``(expression, total)`` pairs for a log of totals,
    ``{"expression": ..., "counts": [[total, count], ...]}`` as ``kavelo --json -n N
    --stats`` writes, and failed rolls ``{"input": ..., "error": ..., "code": ...}``
    (counted; they drew no dice). Faces of one die size form one sequence in the order
    of the records.

    Memory grows with the number of distinct faces, pairs of faces and totals, not with
    the number of records.

    Raises:
        ValueError: for a record that cannot be audited, naming it (``records[3]: ...``)
            and what is wrong, unless ``skip_bad`` is true: then it is skipped and
            counted in ``Audit.skipped``. Also for an ``alpha`` outside (0, 1).
        TypeError: when ``records`` is not an iterable of records, or ``alpha`` not a
            number.
    """
    if isinstance(records, (str, bytes, Mapping, Trace)) or not isinstance(records, Iterable):
        raise TypeError(
            f"argument 'records': must be an iterable of records, not '{type(records).__name__}'"
        )
    auditor = Auditor(alpha, skip_bad=bool(skip_bad))
    for index, record in enumerate(records):
        auditor.add(record, f"records[{index}]")
    return auditor.report()


__all__ = ["Audit", "AuditTest", "Auditor", "audit"]
