"""Type information for kavelo's second native module, the odds evaluator.

Use :func:`kavelo.odds`, which checks its arguments and wraps the result in
:class:`kavelo.Odds`.
"""

def distribution(
    text: str, tolerance: float, max_outcomes: int, max_work: int, /
) -> tuple[dict[int, float], dict[str, float], float, int]:
    """The odds of one expression: ``(pmf, failures, truncated, work)``.

    ``pmf`` maps every total to its probability, ascending; ``failures`` the
    probability of each error code; ``truncated`` the mass left out; ``work`` the
    steps the computation took.

    Raises:
        ValueError: a syntax error (``"解析错误: ..."``) or an ``"[odds.*]"`` error.
        TypeError: for arguments of the wrong type.
        OverflowError: for a limit outside 0 to 2**64 - 1.
    """
