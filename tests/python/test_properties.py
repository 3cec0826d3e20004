"""Property tests of the Python surface over generated texts of the dice language."""

import re
from collections.abc import Callable

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kavelo import DiceRollResult, Kavelo, ModifierRollResult, roll_dice, run_program

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# Message shapes of every ValueError the module raises for a text: a coded error, a
# parse error, an invalid dice expression.
CODED = re.compile(r"^(\[[a-z_]+\.[a-z_]+\] |解析错误: |无效的骰子表达式: )")

SPACE = st.sampled_from(["", "", "", " ", "  ", "\t", "\n", "\r\n"])

VALUED = ["K", "r", "ro", "R", "a", "k", "kh", "kl", "dh", "dl", "c"]
FLAGS = ["!", "e", "u", "s"]


def numbers(low: int, high: int) -> st.SearchStrategy[str]:
    """Decimal texts, mostly in range, sometimes far outside any field's width."""
    return st.one_of(st.integers(low, high), st.integers(-(2**70), 2**70)).map(str)


@st.composite
def modifier(draw: st.DrawFn) -> tuple[str, str]:
    """(text as written, text as the details render it)."""
    if draw(st.booleans()):
        flag = draw(st.sampled_from(FLAGS))
        return flag, flag
    letters = draw(st.sampled_from(VALUED))
    value = draw(st.integers(-3, 12))
    return f"{letters}{draw(SPACE)}{value}", f"{letters}{value}"


# (text, count, sides, [(modifier as written, as rendered), ...])
Roll = tuple[str, int, int, list[tuple[str, str]]]


@st.composite
def dice_roll(
    draw: st.DrawFn,
    counts: st.SearchStrategy[int] = st.integers(1, 12),
    sides: st.SearchStrategy[int] = st.integers(1, 20),
    max_modifiers: int = 4,
) -> Roll:
    count, side = draw(counts), draw(sides)
    mods = draw(st.lists(modifier(), max_size=max_modifiers))
    written = "".join(draw(SPACE) + text for text, _ in mods)
    return f"{count}{draw(SPACE)}d{draw(SPACE)}{side}{written}", count, side, mods


def term(expressions: st.SearchStrategy[str]) -> st.SearchStrategy[str]:
    return st.one_of(
        dice_roll(
            counts=numbers(-2, 30).map(int).filter(lambda n: abs(n) < 2**40),
            sides=numbers(-1, 100).map(int).filter(lambda n: abs(n) < 2**40),
        ).map(lambda roll: roll[0]),
        numbers(-1000, 1000),
        expressions.map(lambda inner: f"({inner})"),
    )


EXPRESSIONS = st.recursive(
    term(st.just("1")),
    lambda inner: st.tuples(
        term(inner),
        st.lists(st.tuples(SPACE, st.sampled_from("+-*/^"), SPACE, term(inner)), max_size=4),
    ).map(lambda parts: parts[0] + "".join(a + op + b + t for a, op, b, t in parts[1])),
    max_leaves=12,
)

PROGRAMS = st.tuples(
    st.lists(EXPRESSIONS, min_size=1, max_size=4),
    st.one_of(
        st.just(""), st.text(max_size=12).filter(lambda c: "\n" not in c).map(lambda c: " #" + c)
    ),
).map(lambda parts: " ; ".join(parts[0]) + parts[1])


def kept_values(result: DiceRollResult | ModifierRollResult) -> list[int]:
    return [value for group in result["rolls"] for value in group]


@SETTINGS
@given(EXPRESSIONS)
def test_every_expression_gives_a_result_or_a_coded_value_error(text: str) -> None:
    try:
        result = roll_dice(text)
    except ValueError as error:
        assert type(error) is ValueError and CODED.match(str(error)), repr(error)
        return
    assert list(result) == ["expression", "total", "rolls", "details", "comment"]
    assert isinstance(result["total"], int) and result["comment"] == ""
    assert all(isinstance(v, int) for v in kept_values(result))
    assert all(group for group in result["rolls"])


@SETTINGS
@given(PROGRAMS)
def test_every_program_gives_results_or_a_coded_value_error(text: str) -> None:
    try:
        result = run_program(text)
    except ValueError as error:
        assert type(error) is ValueError and CODED.match(str(error)), repr(error)
        return
    assert 1 <= len(result["results"]) <= text.count(";") + 1
    assert all(record["comment"] == "" for record in result["results"])


@SETTINGS
@given(st.lists(dice_roll(), min_size=1, max_size=4))
def test_total_of_dice_is_the_sum_of_the_kept_values(rolls: list[Roll]) -> None:
    # Explosions, rerolls and every pool modifier, summed term by term.
    text = "+".join(roll[0] for roll in rolls)
    try:
        result = roll_dice(text)
    except ValueError as error:
        assert CODED.match(str(error)), repr(error)
        return
    assert result["total"] == sum(kept_values(result))


SELECTIONS: dict[str, tuple[Callable[[int, int], int], str]] = {
    # modifier: (values kept for a pool of n, given the modifier's value k; order)
    "kh": (lambda n, k: n if k < 0 else min(k, n), "descending"),
    "k": (lambda n, k: n if k < 0 else min(k, n), "descending"),
    "K": (lambda n, k: n if k < 0 else min(k, n), "descending"),
    "kl": (lambda n, k: n if k < 0 else min(k, n), "ascending"),
    "dh": (lambda n, k: 0 if k < 0 else n - min(k, n), "descending"),
    "dl": (lambda n, k: 0 if k < 0 else n - min(k, n), "ascending"),
}


@SETTINGS
@given(
    st.integers(1, 40), st.integers(1, 30), st.sampled_from(sorted(SELECTIONS)), st.integers(-3, 45)
)
def test_keep_and_drop_counts_and_orders(count: int, sides: int, letters: str, value: int) -> None:
    result = roll_dice(f"{count}d{sides}{letters}{value}")
    kept, order = SELECTIONS[letters]
    values = kept_values(result)
    assert all(len(group) == 1 for group in result["rolls"])
    assert len(values) == kept(count, value)
    assert values == sorted(values, reverse=order == "descending")
    assert all(1 <= v <= sides for v in values)


@SETTINGS
@given(st.integers(1, 40), st.integers(1, 12), st.integers(-2, 13))
def test_unique_sort_and_count(count: int, sides: int, target: int) -> None:
    unique = kept_values(roll_dice(f"{count}d{sides}u"))
    assert len(unique) == len(set(unique))
    ordered = kept_values(roll_dice(f"{count}d{sides}s"))
    assert ordered == sorted(ordered) and len(ordered) == count
    counted = roll_dice(f"{count}d{sides}c{target}")["rolls"]
    assert len(counted) == 1 and len(counted[0]) == 1 and 0 <= counted[0][0] <= count


@SETTINGS
@given(dice_roll(counts=st.integers(1, 8), sides=st.integers(2, 12), max_modifiers=6))
def test_details_render_the_modifiers_as_written(roll: Roll) -> None:
    text, count, sides, mods = roll
    try:
        result = roll_dice(text)
    except ValueError as error:
        # Only a limit can stop these (rerolling until above every face, for one).
        assert str(error).startswith("[limit."), repr(error)
        return
    rendered = "".join(canonical for _, canonical in mods)
    assert result["details"].startswith(f"{count}d{sides}{rendered} = ")
    assert result["expression"] == f"{count}d{sides}"


MODIFIER_STRINGS = st.one_of(
    st.just("!"),
    st.tuples(
        st.sampled_from(["r", "ro", "kh", "kl", "dh", "dl"]),
        st.sampled_from(["", "+", "-"]),
        st.integers(0, 12),
    ).map(
        lambda p: (
            p[0] + p[1] + str(p[2]),
            p[0] + ("-" if p[1] == "-" and p[2] else "") + str(p[2]),
        )
    ),
)


@SETTINGS
@given(st.integers(1, 8), st.integers(2, 12), st.lists(MODIFIER_STRINGS, max_size=5))
def test_roll_with_modifiers_renders_and_sums(
    count: int, sides: int, mods: list[str | tuple[str, str]]
) -> None:
    strings = [m if isinstance(m, str) else m[0] for m in mods]
    rendered = "".join(m if isinstance(m, str) else m[1] for m in mods)
    try:
        result = Kavelo().roll_with_modifiers(count, sides, strings)
    except ValueError as error:
        assert str(error).startswith("[limit."), repr(error)
        return
    assert list(result) == ["total", "rolls", "details"]
    assert result["details"].startswith(f"{count}d{sides}{rendered} = ")
    assert result["total"] == sum(kept_values(result))
