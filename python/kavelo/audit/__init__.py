"""Are the dice fair? An audit of logged rolls against the exact odds.

>>> import kavelo
>>> report = kavelo.audit([{"sides": 6, "faces": [1, 2, 3, 4, 5, 6] * 10}])
>>> [(t.kind, t.biased) for t in report.tests], report.verdict
([('faces', False), ('serial', True)], 'evidence of bias')

Every face came up equally often, but each followed the one before it in turn.

:func:`audit` reads records (traces, faces of a physical die, totals of expressions),
counts them (``tally``), tests the counts (``checks``, with the numbers of ``stats``)
and returns an :class:`Audit` (``report``), which shows itself as text, Markdown, plain
data and a chart (``chart``). ``logs`` reads log files for the command line.
"""

from .checks import Cell
from .report import Audit, Auditor, AuditTest, audit

__all__ = ["audit", "Audit", "AuditTest", "Auditor", "Cell"]
