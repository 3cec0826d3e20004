"""Roll traces: :func:`trace` and :func:`replay` (in :mod:`.trace`), the same for
programs (:mod:`.program`), their records
(:mod:`.records`) and their chat-ready forms (:mod:`.forms`)."""

from .program import ProgramTrace, replay_program, trace_program
from .records import DerivedValue, Face, Term
from .trace import Trace, replay, trace

__all__ = [
    "DerivedValue",
    "Face",
    "ProgramTrace",
    "Term",
    "Trace",
    "replay",
    "replay_program",
    "trace",
    "trace_program",
]
