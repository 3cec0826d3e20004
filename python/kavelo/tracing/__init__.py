"""Roll traces: :func:`trace` and :func:`replay` (in :mod:`.trace`), their records
(:mod:`.records`) and their chat-ready forms (:mod:`.forms`)."""

from .records import DerivedValue, Face, Term
from .trace import Trace, replay, trace

__all__ = ["DerivedValue", "Face", "Term", "Trace", "replay", "trace"]
