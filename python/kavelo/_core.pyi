"""Type information and documentation for kavelo's native module."""

from collections.abc import Sequence
from typing import Final, final

# The result dictionaries live in kavelo.results, where they exist at run time too.
from kavelo.results import DiceRollResult as DiceRollResult
from kavelo.results import ModifierRollResult as ModifierRollResult
from kavelo.results import ProgramResult as ProgramResult
from kavelo.results import ProgramRunResult as ProgramRunResult

__version__: Final[str]
__all__: list[str]

def roll_dice(expression: str) -> DiceRollResult:
    """Parse and roll one dice expression under the default limits.

    The language: ``NdS`` rolls N dice of S sides; modifiers follow the sides
    (``!``/``e`` explode, ``rN`` reroll, ``roN`` reroll once, ``RN`` reroll until above N,
    ``aN`` reroll and add, ``kN``/``khN`` keep highest, ``klN`` keep lowest, ``dhN``/``dlN``
    drop highest/lowest, ``KN`` keep highest, ``u`` unique, ``s`` sort, ``cN`` count N);
    integers, parentheses and ``+ - * / ^`` are applied strictly left to right, so
    ``1+2*3`` is 9. One trailing ``# comment`` is allowed.

    Returns a new :class:`DiceRollResult`.

    Raises:
        ValueError: with a coded text for a syntax error (``"解析错误: ..."``), an
            invalid roll (``"无效的骰子表达式: ..."``), an arithmetic fault
            (``"[arithmetic.overflow] ..."``, ``"[arithmetic.divide_by_zero] 除零错误"``) or
            a passed limit (``"[limit.<name>] ..."``). Text with more than one
            instruction is refused: use :func:`run_program`.
        TypeError: when ``expression`` is not a ``str``.

    Example::

        >>> result = roll_dice("4d6kh3+2")
        >>> list(result)
        ['expression', 'total', 'rolls', 'details', 'comment']
        >>> result["expression"]
        '(4d6) + (2)'
    """

def run_program(program: str) -> ProgramResult:
    """Parse and evaluate a program of ``;``-separated instructions under the default
    limits, in one request.

    Returns a new :class:`ProgramResult`; nothing is returned when any instruction
    fails.

    Raises:
        ValueError: as :func:`roll_dice`, and ``"[limit.parsed_instructions] ..."``
            for a program of more than 1000 instructions.
        TypeError: when ``program`` is not a ``str``.

    Example::

        >>> out = run_program("1d20+5; 2d6 # attack and damage")
        >>> len(out["results"]), out["comment"]
        (2, 'attack and damage')
    """

def roll_simple(dice_count: int, dice_sides: int) -> int:
    """Roll ``dice_count`` dice of ``dice_sides`` sides under the default limits and
    return their sum.

    Raises:
        ValueError: ``"无效的骰子表达式: 骰子数量和面数必须大于0"`` when either number is
            below 1; a limit error for more than 10000 dice.
        OverflowError: when a number does not fit in 32 bits.
        TypeError: when a number is not an integer.

    Example::

        >>> 3 <= roll_simple(3, 6) <= 18
        True
    """

@final
class ResourcePolicy:
    """An immutable set of the seventeen resource limits under which requests run.

    ``ResourcePolicy()`` holds the defaults; :meth:`with_limit` derives a new policy.

    Example::

        >>> tight = ResourcePolicy().with_limit("generated_values", 100)
        >>> tight.limits()["generated_values"]
        100
    """

    def __new__(cls) -> ResourcePolicy:
        """A policy holding every default limit."""

    def limits(self) -> dict[str, int]:
        """A new dict of the seventeen limit names to this policy's values, in a fixed
        order from ``source_bytes`` to ``batch_samples``.

        Example::

            >>> ResourcePolicy().limits()["work_units"]
            1000000
        """

    def hard_limits(self) -> dict[str, int]:
        """A new dict of the seventeen hard maxima, in the same order; the same for
        every instance.

        Example::

            >>> ResourcePolicy().hard_limits()["ast_nodes"]
            65536
        """

    def with_limit(self, name: str, limit: int) -> ResourcePolicy:
        """A new policy equal to this one except that limit ``name`` is ``limit``.
        This policy does not change.

        Raises:
            ValueError: ``"[policy.invalid_limit] <name> limit must be non-negative"``
                for a negative limit; ``"[policy.invalid_limit] unknown resource limit:
                <name>"`` for an unknown name; ``"[policy.limit_above_hard_max] ..."``
                above the hard maximum.
            TypeError: when ``name`` is not a ``str`` or ``limit`` not an integer.
            OverflowError: when ``limit`` does not fit in signed 64 bits.

        Example::

            >>> ResourcePolicy().with_limit("ast_nodes", 100).limits()["ast_nodes"]
            100
        """

@final
class Kavelo:
    """A roller with its own :class:`ResourcePolicy`, copied when it is created.

    Methods of one instance may not be called re-entrantly: a call made while another
    call on the same instance is running raises ``RuntimeError("Already borrowed")``.

    Example::

        >>> roller = Kavelo(ResourcePolicy().with_limit("source_items", 6))
        >>> roller.roll_simple(6, 1)
        6
        >>> roller.roll("7d6")
        Traceback (most recent call last):
        ...
        ValueError: [limit.source_items] 计算预算已耗尽: used 0, requested 7, limit 6
    """

    def __new__(cls, policy: ResourcePolicy | None = None) -> Kavelo:
        """A roller under ``policy``, or under the defaults when it is ``None``.

        Raises:
            TypeError: when ``policy`` is neither a :class:`ResourcePolicy` nor ``None``.
        """

    def roll(self, expression: str) -> DiceRollResult:
        """As :func:`roll_dice`, under this roller's policy.

        Example::

            >>> Kavelo().roll("2d6+3")["expression"]
            '(2d6) + (3)'
        """

    def run(self, program: str) -> ProgramResult:
        """As :func:`run_program`, under this roller's policy.

        Example::

            >>> len(Kavelo().run("1d6; 1d8")["results"])
            2
        """

    def roll_multiple(self, expression: str, times: int) -> list[DiceRollResult]:
        """Parse ``expression`` once and evaluate it ``times`` times in one request;
        every sample draws from the same fresh generator.

        Raises:
            ValueError: as :func:`roll_dice`, and ``"[limit.batch_samples] ..."`` when
                ``times`` is above the ``batch_samples`` limit (10000 by default).
            OverflowError: when ``times`` is negative or above 2**64 - 1.

        Example::

            >>> [r["total"] for r in Kavelo().roll_multiple("3d1", 3)]
            [3, 3, 3]
        """

    def roll_simple(self, dice_count: int, dice_sides: int) -> int:
        """As :func:`roll_simple`, under this roller's policy.

        Example::

            >>> Kavelo().roll_simple(4, 1)
            4
        """

    def roll_with_modifiers(
        self, dice_count: int, dice_sides: int, modifiers: Sequence[str]
    ) -> ModifierRollResult:
        """Roll ``dice_count`` dice of ``dice_sides`` sides with modifiers given as
        separate strings, applied in order: ``"!"`` (explode), ``"rN"`` (reroll),
        ``"roN"`` (reroll once), ``"khN"``/``"klN"`` (keep highest/lowest),
        ``"dhN"``/``"dlN"`` (drop highest/lowest). ``N`` is a signed 32-bit decimal.

        Raises:
            ValueError: ``"未知的修饰符"`` for an unknown string, or the modifier's own
                message (for example ``"无效的取高数值"``) for a missing or invalid number;
                the coded errors of :func:`roll_dice` for the roll itself.
            TypeError: when ``modifiers`` is a ``str`` or not a sequence of ``str``.

        Example::

            >>> result = Kavelo().roll_with_modifiers(4, 6, ["kh3"])
            >>> list(result)
            ['total', 'rolls', 'details']
        """

@final
class InternalFault(BaseException):
    """Raised for an internal fault of the core (a bug, never caused by input)."""
