"""kavelo: dice notation for Python with a C++ core.

>>> import kavelo
>>> kavelo.roll_dice("4d6kh3+2")["expression"]
'(4d6) + (2)'
>>> round(kavelo.odds("1d20+5").at_least(15), 2)
0.55
"""

from ._core import (
    Kavelo,
    ResourcePolicy,
    __version__,
    roll_dice,
    roll_simple,
    run_program,
)
from .distribution import Odds, odds

__all__ = ["__version__", "roll_dice", "run_program", "roll_simple", "ResourcePolicy", "Kavelo", "odds", "Odds"]
