"""kavelo: dice notation for Python with a C++ core.

>>> import kavelo
>>> kavelo.roll_dice("4d6kh3+2")["expression"]
'(4d6) + (2)'
>>> round(kavelo.odds("1d20+5").at_least(15), 2)
0.55
>>> kavelo.replay("2d20kh1+5", [4, 20]).markdown()
'2d20kh1 (~~4~~, **20**) + 5 = `25`'

The result dictionaries have ``TypedDict`` types for annotations:
:class:`DiceRollResult`, :class:`ProgramResult` and :class:`ModifierRollResult`.
"""

from ._core import (
    Kavelo,
    ResourcePolicy,
    __version__,
    roll_dice,
    roll_simple,
    run_program,
)
from .audit import Audit, audit
from .chat import normalize
from .errors import Explanation, explain
from .probability import Odds, odds

# Re-exported for annotations; they are types, not part of __all__.
from .results import DiceRollResult as DiceRollResult
from .results import ModifierRollResult as ModifierRollResult
from .results import ProgramResult as ProgramResult
from .results import ProgramRunResult as ProgramRunResult
from .tracing import Face as Face
from .tracing import ProgramTrace, Trace, replay, replay_program, trace, trace_program
from .tracing import Term as Term

__all__ = [
    "__version__",
    "roll_dice",
    "run_program",
    "roll_simple",
    "ResourcePolicy",
    "Kavelo",
    "odds",
    "Odds",
    "trace",
    "replay",
    "Trace",
    "explain",
    "Explanation",
    "normalize",
    "audit",
    "Audit",
    "trace_program",
    "replay_program",
    "ProgramTrace",
]
