"""Type-checked use of every public entry point (checked with mypy --strict)."""

from typing import TYPE_CHECKING

from kavelo import Kavelo, ResourcePolicy, roll_dice, roll_simple, run_program

if TYPE_CHECKING:  # the result types exist for type checkers only
    from kavelo._core import DiceRollResult, ModifierRollResult, ProgramRunResult


def main() -> None:
    policy: ResourcePolicy = ResourcePolicy().with_limit("work_units", 1000)
    limits: dict[str, int] = policy.limits()
    hard: dict[str, int] = policy.hard_limits()
    one: DiceRollResult = roll_dice("4d6kh3+2")
    total: int = one["total"]
    groups: list[list[int]] = one["rolls"]
    program: ProgramRunResult = run_program("1d6; 2d6 # c")
    first: DiceRollResult = program["results"][0]
    simple: int = roll_simple(3, 6)
    roller = Kavelo(policy)
    again: DiceRollResult = roller.roll("1d20")
    ran: ProgramRunResult = roller.run("1d4;1d8")
    many: list[DiceRollResult] = roller.roll_multiple("1d6", 3)
    alone: int = roller.roll_simple(2, 6)
    modified: ModifierRollResult = roller.roll_with_modifiers(4, 6, ("kh3",))
    print(limits, hard, total, groups, first, simple, again, ran, many, alone, modified)


if __name__ == "__main__":
    main()
