"""Any number of samples of one expression under the roller's limits.

``Kavelo.roll_multiple`` evaluates all its samples in one request, and every request
is bounded by the policy: under the defaults 2500 samples of ``3d6`` use up
``output_items``. The command keeps the library's limits as they are and splits the
samples into requests that fit instead: it asks for as many samples as ``batch_samples``
allows and halves the request each time it passes one of the limits that grow with the
number of samples, keeping the size that fitted for the requests after it. Only a
single sample that passes a limit is an error of the expression itself."""

from __future__ import annotations

import re
from collections.abc import Iterator

from .. import DiceRollResult, Kavelo

#: The limits that a request of several samples can pass although one sample fits.
PER_REQUEST_LIMITS = frozenset(
    {
        "batch_samples",
        "collection_items",
        "executed_instructions",
        "generated_values",
        "output_bytes",
        "output_items",
        "rng_words",
        "work_units",
    }
)

_LIMIT = re.compile(r"\[limit\.([a-z_]+)\] ")


def passed_limit(error: ValueError) -> str | None:
    """The name of the limit that ``error`` reports as passed, if it does."""
    match = _LIMIT.match(str(error))
    return match.group(1) if match else None


def sample_batches(
    roller: Kavelo, text: str, times: int, batch_limit: int
) -> Iterator[list[DiceRollResult]]:
    """``times`` samples of ``text``, yielded request by request, in order.

    Raises the roller's ``ValueError`` when a request of one sample fails, or any
    request fails for another reason than its size."""
    size = max(1, min(times, batch_limit))
    done = 0
    while done < times:
        size = min(size, times - done)
        try:
            batch = roller.roll_multiple(text, size)
        except ValueError as error:
            if size > 1 and passed_limit(error) in PER_REQUEST_LIMITS:
                size //= 2
                continue
            raise
        done += size
        yield batch
