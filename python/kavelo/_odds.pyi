"""Type information for kavelo's second native module, the odds evaluator.

Use :func:`kavelo.odds`, which checks its arguments and wraps the result in
:class:`kavelo.Odds`.
"""

def distribution(
    expression: str, tolerance: float, max_outcomes: int, max_work: int, /
) -> tuple[dict[int, float], dict[str, float], float, int]:
    """The odds of one expression: ``(pmf, failures, truncated, work)``.

    ``pmf`` maps every total to its probability, ascending; ``failures`` the
    probability of each error code; ``truncated`` the mass left out; ``work`` the
    steps the computation took.

    Raises:
        ValueError: a syntax error (``"解析错误: ..."``), ``"[limit.source_bytes] ..."``
            for a text too long to parse (measured, not encoded), an ``"[odds.*]"``
            error, ``"[odds.invalid_argument] ..."`` for a tolerance not strictly
            between 0 and 1 or a limit outside 1 to 2**64 - 1.
        TypeError: for arguments of the wrong type (a bool is not a number here).
    """
