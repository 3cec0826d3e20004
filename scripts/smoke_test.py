"""A short check of an installed kavelo: a roll, a program, a policy, an error, the odds
and the command. Run by scripts/build_wheel.sh (and cibuildwheel) with each interpreter the
wheel is installed into, from outside the checkout so that the installed package is the
one imported."""

import os
import subprocess
import sys

import kavelo
from kavelo import Kavelo, ResourcePolicy, roll_dice, run_program


def main() -> None:
    result = roll_dice("4d6kh3+2")
    assert result["expression"] == "(4d6) + (2)", result
    assert 5 <= result["total"] <= 20 and len(result["rolls"]) == 3, result

    program = run_program("3d1; 2*2 # 两次")
    assert [r["total"] for r in program["results"]] == [3, 4], program
    assert program["comment"] == "两次", program

    tight = ResourcePolicy().with_limit("generated_values", 5)
    assert Kavelo(tight).roll_simple(5, 1) == 5
    try:
        Kavelo(tight).roll("6d6")
    except ValueError as error:
        assert str(error).startswith("[limit.generated_values] "), error
    else:
        raise AssertionError("6d6 passed a limit of 5 generated values")

    chances = kavelo.odds("2d6")
    assert abs(chances.probability(7) - 1 / 6) < 1e-12, chances.pmf

    traced = kavelo.replay("2d20kh1+5", [4, 20])
    assert traced.markdown() == "2d20kh1 (~~4~~, **20**) + 5 = `25`", traced.markdown()
    assert kavelo.trace("3d1").result == roll_dice("3d1")

    folder = os.path.dirname(sys.executable)
    command = os.path.join(folder, "kavelo")
    out = subprocess.run([command, "3d1"], capture_output=True, check=True).stdout
    assert out == b"3\t3d1 (1, 1, 1) = 3\n", out

    print(
        f"smoke test passed: kavelo {kavelo.__version__} on Python {sys.version.split()[0]}"
        f" from {os.path.dirname(kavelo.__file__)}"
    )


if __name__ == "__main__":
    main()
