"""The module functions roll_dice, run_program and roll_simple."""

import re
from collections.abc import Callable

import pytest

import kavelo
from kavelo import roll_dice, roll_simple, run_program
from native_attributes import native_attribute, text_signature

KEYS = ["expression", "total", "rolls", "details", "comment"]


def check_result_dict(result: object) -> None:
    assert type(result) is dict
    assert list(result) == KEYS
    assert type(result["expression"]) is str
    assert type(result["total"]) is int
    assert type(result["rolls"]) is list
    assert all(type(group) is list and group for group in result["rolls"])
    assert all(type(v) is int for group in result["rolls"] for v in group)
    assert type(result["details"]) is str
    assert type(result["comment"]) is str


def test_roll_dice_result_shape_and_consistency() -> None:
    result = roll_dice("4d6kh3+2")
    check_result_dict(result)
    assert result["expression"] == "(4d6) + (2)"
    assert result["comment"] == ""
    kept = [v for group in result["rolls"] for v in group]
    assert len(kept) == 3 and kept == sorted(kept, reverse=True)
    assert all(1 <= v <= 6 for v in kept)
    assert result["total"] == sum(kept) + 2
    assert result["details"] == f"{sum(kept)} + 2 = {sum(kept) + 2}"


def test_roll_dice_details_of_a_dice_term() -> None:
    result = roll_dice("3d1kh2")
    assert result == {
        "expression": "3d1",
        "total": 2,
        "rolls": [[1], [1]],
        "details": "3d1kh2 = 2 (详情: [[1], [1]])",
        "comment": "",
    }


def test_endless_explosion_stops_at_the_face_limit() -> None:
    # Every face of a one-sided die explodes.
    with pytest.raises(ValueError) as info:
        roll_dice("1d1!")
    assert info.value.args == (
        "[limit.generated_values] 计算预算已耗尽: 最多生成 10000 个骰子结果; used 10000, requested 1",
    )


def test_roll_dice_with_comment_and_unicode() -> None:
    result = roll_dice("2d1 # 火球术 fire ")
    check_result_dict(result)
    assert result["comment"] == "火球术 fire"
    assert result["total"] == 2


def test_roll_dice_returns_new_objects_every_call() -> None:
    first, second = roll_dice("2d1"), roll_dice("2d1")
    assert first == second and first is not second
    assert first["rolls"] is not second["rolls"]
    assert first["rolls"][0] is not first["rolls"][1]


@pytest.mark.parametrize(
    "text, group",
    [
        ("3d1", [1]),  # small values: lists sliced from a shared table of ints
        ("5d1c7", [0]),  # a count of 0, the table's first entry
        ("1023d1c1", [1023]),  # the table's last entry
        ("1024d1c1", [1024]),  # just past the table: made one by one
    ],
)
def test_groups_are_fresh_lists_whatever_their_value(text: str, group: list[int]) -> None:
    roll = kavelo.Kavelo().roll
    first = roll(text)["rolls"]
    assert all(g == group for g in first)
    assert len({id(g) for g in first}) == len(first)
    for g in first:
        g.append(-1)  # mutating a returned group changes nothing that comes later
    again = roll(text)["rolls"]
    assert all(g == group for g in again) and again == roll(text)["rolls"]


@pytest.mark.parametrize(
    "comment",
    [
        "火" + "a" * 300,  # a long ASCII end: decoded apart and joined
        "火" + "a" * 254,  # an ASCII end too short to be worth it
        "a" * 300 + "火",  # nothing to split
        "\U0001f600" * 20 + "b" * 1000 + "é",
        "é" + "\U0001f600" + "c" * 5000,
    ],
)
def test_long_texts_come_back_whole(comment: str) -> None:
    result = roll_dice(f"300d1 # {comment}")
    assert result["comment"] == comment
    assert result["details"] == "300d1 = 300 (详情: [" + ", ".join(["[1]"] * 300) + "])"


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "解析错误:  --> 1:1\n  |\n1 | \n  | ^---\n  |\n  = expected dice_term"),
        ("2d", "解析错误:  --> 1:3\n  |\n1 | 2d\n  |   ^---\n  |\n  = expected dice_sides"),
        ("1d6;2d6", "解析错误: roll() 只接受一条指令；多条指令请使用 run()"),
        ("0d6", "无效的骰子表达式: 骰子数量和面数必须大于0"),
        ("1/0", "[arithmetic.divide_by_zero] 除零错误"),
        ("2^63", "[arithmetic.overflow] checked i64 overflow during exponentiation"),
        ("10001d6", "[limit.source_items] 计算预算已耗尽: used 0, requested 10001, limit 10000"),
        ("9223372036854775808", "解析错误: 无效数字"),
    ],
)
def test_roll_dice_errors_are_value_errors_with_the_coded_text(text: str, message: str) -> None:
    with pytest.raises(ValueError) as info:
        roll_dice(text)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


def test_front_end_limits_apply_to_roll_dice() -> None:
    with pytest.raises(ValueError) as info:
        roll_dice("1" + " " * 65536)
    assert info.value.args == (
        "[limit.source_bytes] 计算预算已耗尽: used 0, requested 65537, limit 65536",
    )
    with pytest.raises(
        ValueError, match=r"^\[limit\.parse_depth\] .*used 64, requested 1, limit 64$"
    ):
        roll_dice("(" * 65 + "1" + ")" * 65)


def test_run_program_results_and_comment() -> None:
    result = run_program("1d1; 2d1 ;3d1 # 注释")
    assert list(result) == ["results", "comment"]
    assert result["comment"] == "注释"
    assert [r["total"] for r in result["results"]] == [1, 2, 3]
    for record in result["results"]:
        check_result_dict(record)
        assert record["comment"] == ""
    assert run_program("5")["comment"] == ""


def test_run_program_fails_whole_when_one_instruction_fails() -> None:
    with pytest.raises(ValueError, match="除零错误"):
        run_program("1d6; 1/0; 2d6")


@pytest.mark.parametrize("text", ["1d6;2d6", "1d6 ; 2d6 # c"])
def test_program_text_refused_by_roll_dice_accepted_by_run_program(text: str) -> None:
    with pytest.raises(ValueError, match="roll\\(\\) 只接受一条指令"):
        roll_dice(text)
    assert len(run_program(text)["results"]) == 2


def test_roll_simple_range_and_keywords() -> None:
    for _ in range(200):
        total = roll_simple(3, 6)
        assert type(total) is int and 3 <= total <= 18
    assert roll_simple(dice_count=4, dice_sides=1) == 4
    assert roll_simple(dice_sides=1, dice_count=5) == 5
    assert roll_simple(True, 1) == 1


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((0, 6), ValueError, "无效的骰子表达式: 骰子数量和面数必须大于0"),
        ((3, -1), ValueError, "无效的骰子表达式: 骰子数量和面数必须大于0"),
        (
            (10001, 6),
            ValueError,
            "[limit.source_items] 计算预算已耗尽: used 0, requested 10001, limit 10000",
        ),
        ((2**31, 6), OverflowError, "out of range integral type conversion attempted"),
        ((6, -(2**31) - 1), OverflowError, "out of range integral type conversion attempted"),
        (
            ("3", 6),
            TypeError,
            "argument 'dice_count': 'str' object cannot be interpreted as an integer",
        ),
        (
            (3, 6.0),
            TypeError,
            "argument 'dice_sides': 'float' object cannot be interpreted as an integer",
        ),
    ],
)
def test_roll_simple_errors(
    args: tuple[object, object], exc: type[Exception], message: str
) -> None:
    with pytest.raises(exc) as info:
        roll_simple(*args)  # type: ignore[arg-type]
    assert type(info.value) is exc
    assert str(info.value) == message


def test_roll_simple_beyond_64_bits_is_the_interpreters_overflow() -> None:
    with pytest.raises(OverflowError) as info:
        roll_simple(2**64, 6)
    assert "out of range integral" not in str(info.value)


# Python functions with the same parameters, for comparing binding messages.
def roll_dice_shape(expression: object) -> None:
    pass


def run_program_shape(program: object) -> None:
    pass


def roll_simple_shape(dice_count: object, dice_sides: object) -> None:
    pass


# Calls of a function of either kind, most of them wrong for its parameters.
AnyFunction = Callable[..., object]
SHAPE_CALLS: list[Callable[[AnyFunction], object]] = [
    lambda f: f(),
    lambda f: f(1, 2, 3),
    lambda f: f(1, 2, 3, 4),
    lambda f: f(1, bogus=2),
    lambda f: f(1, dice_count=2),
    lambda f: f(1, expression=2),
    lambda f: f(1, program=2),
    lambda f: f(dice_sides=1),
    lambda f: f(sides=1),
]


@pytest.mark.parametrize(
    "ours, theirs",
    [
        (roll_dice, roll_dice_shape),
        (run_program, run_program_shape),
        (roll_simple, roll_simple_shape),
    ],
)
@pytest.mark.parametrize("call", SHAPE_CALLS)
def test_binding_messages_match_python_functions(
    ours: AnyFunction, theirs: AnyFunction, call: Callable[[AnyFunction], object]
) -> None:
    try:
        call(theirs)
    except TypeError as reference:
        expected = str(reference).replace("_shape", "")
        # The one wording that differs on purpose: the count is always followed by
        # "positional arguments", also when it is 1.
        expected = expected.replace(
            "takes 1 positional argument but", "takes 1 positional arguments but"
        )
    else:
        return  # the call binds; conversion is tested elsewhere
    with pytest.raises(TypeError) as mine:
        call(ours)
    assert str(mine.value) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: roll_simple(1),  # type: ignore[call-arg]
            "roll_simple() missing 1 required positional argument: 'dice_sides'",
        ),
        (
            lambda: roll_simple(),  # type: ignore[call-arg]
            "roll_simple() missing 2 required positional arguments: 'dice_count' and 'dice_sides'",
        ),
        (
            lambda: roll_simple(1, 2, 3),  # type: ignore[call-arg]
            "roll_simple() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: roll_simple(1, sides=2),  # type: ignore[call-arg]
            "roll_simple() got an unexpected keyword argument 'sides'",
        ),
        (
            lambda: roll_simple(1, dice_count=2),  # type: ignore[call-arg, misc]
            "roll_simple() got multiple values for argument 'dice_count'",
        ),
        (
            lambda: roll_dice(None),  # type: ignore[arg-type]
            "argument 'expression': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            lambda: run_program(b"1d6"),  # type: ignore[arg-type]
            "argument 'program': 'bytes' object cannot be converted to 'PyString'",
        ),
        (lambda: roll_dice(1, 2), "roll_dice() takes 1 positional arguments but 2 were given"),  # type: ignore[call-arg, arg-type]
    ],
)
def test_binding_messages(call: Callable[[], object], message: str) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_str_subclass_is_accepted() -> None:
    class Text(str):
        pass

    assert roll_dice(Text("2d1"))["total"] == 2


def test_function_shape() -> None:
    assert text_signature(roll_dice) == "(expression)"
    assert text_signature(run_program) == "(program)"
    assert text_signature(roll_simple) == "(dice_count, dice_sides)"
    assert roll_dice.__module__ == "kavelo._core"
    assert native_attribute(roll_dice, "__self__") is kavelo._core
    assert not roll_dice.__doc__


def test_all_lists_every_public_name_in_order() -> None:
    expected = [
        "__version__",
        "roll_dice",
        "run_program",
        "roll_simple",
        "ResourcePolicy",
        "Kavelo",
    ]
    assert kavelo._core.__all__ == expected
    # The package adds the odds, from its second native module, after the core's names,
    # then the roll traces, from its third.
    assert kavelo.__all__ == expected + [
        "odds",
        "Odds",
        "trace",
        "replay",
        "Trace",
        "explain",
        "Explanation",
        "normalize",
        "audit",
        "Audit",
        "trace_program",
        "replay_program",
        "ProgramTrace",
    ]


def test_fresh_randomness_per_call() -> None:
    # 20 rolls of 1d1000000 repeating exactly is practically impossible with fresh keys.
    totals = [roll_dice("1d1000000")["total"] for _ in range(20)]
    assert len(set(totals)) > 1
    simple = {roll_simple(1, 2**31 - 1) for _ in range(20)}
    assert len(simple) > 1


def test_syntax_error_report_has_the_documented_layout() -> None:
    with pytest.raises(ValueError) as info:
        roll_dice("2d6 x")
    lines = info.value.args[0].split("\n")
    assert lines[0] == "解析错误:  --> 1:5"
    assert re.fullmatch(r"  = expected EOI, comment, modifier, or op", lines[-1])


@pytest.mark.parametrize("dice", [1, 3, 200])
def test_details_text_matches_the_rolls(dice: int) -> None:
    # Details of up to 32 bytes are widened on the stack (1d6); longer ones (3d6 and up)
    # go through the decoder.
    result = roll_dice(f"{dice}d6")
    groups = ", ".join("[" + ", ".join(map(str, group)) + "]" for group in result["rolls"])
    assert result["details"] == f"{dice}d6 = {result['total']} (详情: [{groups}])"


@pytest.mark.parametrize(
    "comment",
    [
        "🎲 四面骰 d4",
        "é",
        "a\u3000b",
        "x" * 600 + "中",
        "\U0010ffff",
        "\u00a0x\u00a0",
        # 32 and 33 bytes of UTF-8: either side of the short-text conversion.
        "中" * 10 + "ab",
        "中" * 11,
        "a" * 30 + "é",
        "a" * 31 + "é",
    ],
)
def test_comments_of_any_script_round_trip(comment: str) -> None:
    expected = comment.strip("\u00a0\u3000 ")
    assert roll_dice(f"1d1 # {comment}")["comment"] == expected
    assert run_program(f"1d1;1d1 # {comment}")["comment"] == expected
