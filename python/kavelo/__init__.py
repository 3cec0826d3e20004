"""kavelo: dice notation for Python with a C++ core."""

from ._core import *  # noqa: F401,F403
from ._core import __all__ as _core_all, __version__

__all__ = list(_core_all)
