"""Bot code that annotates with the result types imported from kavelo at run time."""

from kavelo import (
    DiceRollResult,
    Kavelo,
    ModifierRollResult,
    ProgramResult,
    roll_dice,
    run_program,
)


def reply(result: DiceRollResult) -> str:
    faces = ", ".join(str(value) for group in result["rolls"] for value in group)
    note = f" ({result['comment']})" if result["comment"] else ""
    return f"{result['expression']} = {result['total']} [{faces}]{note}"


def replies(program: ProgramResult) -> list[str]:
    return [reply(result) for result in program["results"]]


def best_of(results: list[DiceRollResult]) -> DiceRollResult:
    return max(results, key=lambda result: result["total"])


def modified(roller: Kavelo) -> int:
    result: ModifierRollResult = roller.roll_with_modifiers(4, 6, ["kh3"])
    return result["total"]


if __name__ == "__main__":
    assert reply(roll_dice("3d1 # x")) == "3d1 = 3 [1, 1, 1] (x)"
    assert replies(run_program("1; 2d1")) == ["1 = 1 []", "2d1 = 2 [1, 1]"]
    assert best_of(Kavelo().roll_multiple("1d1", 3))["total"] == 1
    assert 3 <= modified(Kavelo()) <= 18
