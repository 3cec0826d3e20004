"""``python -m kavelo``: the kavelo command."""

import sys

from .cli import main

sys.exit(main())
