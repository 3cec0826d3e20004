"""kavelo: dice notation for Python with a C++ core.

>>> import kavelo
>>> kavelo.roll_dice("4d6kh3+2")["expression"]
'(4d6) + (2)'

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

# Re-exported for annotations; __all__ stays the module's own six names.
from .results import DiceRollResult as DiceRollResult
from .results import ModifierRollResult as ModifierRollResult
from .results import ProgramResult as ProgramResult
from .results import ProgramRunResult as ProgramRunResult

__all__ = ["__version__", "roll_dice", "run_program", "roll_simple", "ResourcePolicy", "Kavelo"]
