"""The roller class Kavelo."""

from collections.abc import Callable, Iterator, Sequence

import pytest

from kavelo import Kavelo, ResourcePolicy, roll_simple
from native_attributes import text_signature

KEYS = ["expression", "total", "rolls", "details", "comment"]


def policy(**limits: int) -> ResourcePolicy:
    p = ResourcePolicy()
    for name, value in limits.items():
        p = p.with_limit(name, value)
    return p


@pytest.mark.parametrize(
    "make",
    [lambda: Kavelo(), lambda: Kavelo(None), lambda: Kavelo(policy=None)],
)
def test_default_policy(make: Callable[[], Kavelo]) -> None:
    roller = make()
    with pytest.raises(ValueError, match=r"\[limit.source_items\]"):
        roller.roll_simple(10001, 6)
    assert roller.roll_simple(10000, 1) == 10000


@pytest.mark.parametrize("by_keyword", [False, True])
def test_policy_given_positionally_or_by_keyword(by_keyword: bool) -> None:
    tight = policy(generated_values=5)
    roller = Kavelo(policy=tight) if by_keyword else Kavelo(tight)
    with pytest.raises(ValueError) as info:
        roller.roll_simple(6, 6)
    assert info.value.args == (
        "[limit.generated_values] 计算预算已耗尽: 最多生成 5 个骰子结果; used 5, requested 1",
    )
    assert 6 <= roll_simple(6, 6) <= 36  # the module function keeps the defaults
    assert roller.roll_simple(5, 1) == 5


def test_policy_is_copied_at_construction() -> None:
    p = policy(source_items=2)
    roller = Kavelo(p)
    del p
    with pytest.raises(ValueError, match="source_items"):
        roller.roll("3d6")


@pytest.mark.parametrize(
    "arg, message",
    [
        (5, "argument 'policy': 'int' object cannot be converted to 'ResourcePolicy'"),
        ("x", "argument 'policy': 'str' object cannot be converted to 'ResourcePolicy'"),
    ],
)
def test_policy_type_is_checked(arg: object, message: str) -> None:
    with pytest.raises(TypeError) as info:
        Kavelo(arg)  # type: ignore[arg-type]
    assert str(info.value) == message


def test_constructor_binding_messages() -> None:
    with pytest.raises(TypeError) as info:
        Kavelo(None, None)  # type: ignore[call-arg]
    assert (
        str(info.value)
        == "Kavelo.__new__() takes from 0 to 1 positional arguments but 2 were given"
    )
    with pytest.raises(TypeError) as info:
        Kavelo(polic=None)  # type: ignore[call-arg]
    assert str(info.value) == "Kavelo.__new__() got an unexpected keyword argument 'polic'"


def test_roll_and_run_use_the_policy() -> None:
    roller = Kavelo(policy(ast_nodes=4))
    assert list(roller.roll("2d1 # c")) == KEYS
    assert roller.roll("2d1 # c")["comment"] == "c"
    with pytest.raises(
        ValueError, match=r"^\[limit.ast_nodes\] 计算预算已耗尽: used 0, requested 5, limit 4$"
    ):
        roller.roll("1+2")
    program = Kavelo().run("1d1;2d1")
    assert [r["total"] for r in program["results"]] == [1, 2]
    with pytest.raises(ValueError, match="parsed_instructions"):
        Kavelo(policy(parsed_instructions=1)).run("1d1;2d1")


def test_roll_multiple() -> None:
    roller = Kavelo()
    samples = roller.roll_multiple("3d1+1 # x", 4)
    assert type(samples) is list and len(samples) == 4
    for sample in samples:
        assert list(sample) == KEYS
        assert sample["total"] == 4 and sample["comment"] == "x"
    assert len({id(s) for s in samples}) == 4
    assert roller.roll_multiple("1d6", 0) == []
    assert roller.roll_multiple("1d6", True)[0]["expression"] == "1d6"


def test_roll_multiple_limits_and_integer_rules() -> None:
    roller = Kavelo()
    with pytest.raises(OverflowError):
        roller.roll_multiple("1d6", -1)
    with pytest.raises(OverflowError):
        roller.roll_multiple("1d6", 2**64)
    with pytest.raises(ValueError) as info:
        roller.roll_multiple("1d6", 10001)
    assert info.value.args == (
        "[limit.batch_samples] 计算预算已耗尽: used 0, requested 10001, limit 10000",
    )
    with pytest.raises(TypeError) as type_info:
        roller.roll_multiple("1d6", "3")  # type: ignore[arg-type]
    assert (
        str(type_info.value) == "argument 'times': 'str' object cannot be interpreted as an integer"
    )
    # Sample draws are independent: one generator, consecutive draws.
    totals = [s["total"] for s in roller.roll_multiple("1d1000000", 50)]
    assert len(set(totals)) > 40


def test_roll_with_modifiers_result_shape() -> None:
    result = Kavelo().roll_with_modifiers(4, 6, ["kh3"])
    assert list(result) == ["total", "rolls", "details"]
    kept = [v for g in result["rolls"] for v in g]
    assert len(kept) == 3 and result["total"] == sum(kept)
    assert result["details"].startswith("4d6kh3 = ")


@pytest.mark.parametrize(
    "modifiers, rendered, kept",
    [
        (["!", "r1", "kh+2"], "!r1kh2", 2),
        (("kl1",), "kl1", 1),
        (["dh1", "dl1"], "dh1dl1", 2),
        (["ro6"], "ro6", 4),
        (["r-1"], "r-1", 4),
        (["kh007"], "kh7", 4),
        ([], "", 4),
    ],
)
def test_roll_with_modifiers_accepted_strings(
    modifiers: Sequence[str], rendered: str, kept: int
) -> None:
    result = Kavelo().roll_with_modifiers(4, 6, modifiers)
    assert result["details"].startswith(f"4d6{rendered} = ")
    if modifiers:
        assert all(len(g) == 1 for g in result["rolls"])
    assert len(result["rolls"]) == kept


@pytest.mark.parametrize(
    "text, message",
    [
        ("kh", "无效的取高数值"),
        ("kh3x", "无效的取高数值"),
        ("kh 3", "无效的取高数值"),
        ("kh+-3", "无效的取高数值"),
        ("kh2147483648", "无效的取高数值"),
        ("r", "无效的重投数值"),
        ("rx", "无效的重投数值"),
        ("ro", "无效的条件重投数值"),
        ("kl", "无效的取低数值"),
        ("dh", "无效的丢弃高数值"),
        ("dl-", "无效的丢弃低数值"),
        ("x3", "未知的修饰符"),
        ("", "未知的修饰符"),
        ("KH3", "未知的修饰符"),
        ("e", "未知的修饰符"),
        ("u", "未知的修饰符"),
        ("c6", "未知的修饰符"),
        ("!!", "未知的修饰符"),
        (" kh3", "未知的修饰符"),
        ("骰", "未知的修饰符"),
    ],
)
def test_roll_with_modifiers_refused_strings(text: str, message: str) -> None:
    with pytest.raises(ValueError) as info:
        Kavelo().roll_with_modifiers(4, 6, ["kh3", text])
    assert info.value.args == (message,)


def test_roll_with_modifiers_first_refused_string_wins() -> None:
    with pytest.raises(ValueError) as info:
        Kavelo().roll_with_modifiers(4, 6, ["x", "kh"])
    assert info.value.args == ("未知的修饰符",)


def test_roll_with_modifiers_values_are_judged_by_the_roller() -> None:
    with pytest.raises(ValueError, match="骰子数量和面数必须大于0"):
        Kavelo().roll_with_modifiers(0, 6, ["kh1"])
    result = Kavelo().roll_with_modifiers(4, 6, ["kh-1"])
    assert len(result["rolls"]) == 4


@pytest.mark.parametrize(
    "modifiers, message",
    [
        ("kh3", "argument 'modifiers': Can't extract `str` to `Vec`"),
        (5, "argument 'modifiers': 'int' object cannot be converted to 'Sequence'"),
        ({"kh3"}, "argument 'modifiers': 'set' object cannot be converted to 'Sequence'"),
        (["kh3", 3], "argument 'modifiers': 'int' object cannot be converted to 'PyString'"),
        # Conversion of every item comes before the strings are read.
        (["x", None], "argument 'modifiers': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_roll_with_modifiers_type_errors(modifiers: object, message: str) -> None:
    with pytest.raises(TypeError) as info:
        Kavelo().roll_with_modifiers(4, 6, modifiers)  # type: ignore[arg-type]
    assert str(info.value) == message


def test_modifier_sequence_with_a_wrong_length_hint_is_iterated_fully() -> None:
    class Lying:
        def __len__(self) -> int:
            return 10**9

        def __getitem__(self, i: int) -> str:
            if i < 2:
                return ["kh2", "kl1"][i]
            raise IndexError

    # Not a Sequence to a type checker: it has no __iter__, __contains__ or index().
    result = Kavelo().roll_with_modifiers(4, 6, Lying())  # type: ignore[arg-type]
    assert result["details"].startswith("4d6kh2kl1 = ")


class Reentrant:
    """A modifier sequence that calls back into the roller while it is iterated."""

    def __init__(self, roller: Kavelo, via: str) -> None:
        self.roller, self.via = roller, via
        self.inner_error: RuntimeError | None = None

    def __len__(self) -> int:
        return 1

    def __getitem__(self, i: int) -> str:
        if i > 0:
            raise IndexError
        try:
            self.roller.roll("1d6")
        except RuntimeError as exc:
            self.inner_error = exc
            raise
        return "kh1"

    def __iter__(self) -> Iterator[str]:
        if self.via == "getitem":
            return iter([self[0]])
        self.roller.roll_simple(1, 6)
        return iter(["kh1"])


@pytest.mark.parametrize("via", ["getitem", "iter"])
def test_reentrant_call_is_refused_and_the_borrow_released(via: str) -> None:
    roller = Kavelo()
    with pytest.raises(RuntimeError) as info:
        roller.roll_with_modifiers(2, 6, Reentrant(roller, via))  # type: ignore[arg-type]
    assert str(info.value) == "Already borrowed"
    # The flag is free again after the failed call.
    assert roller.roll_simple(2, 1) == 2
    assert roller.roll_with_modifiers(2, 1, ["kh1"])["total"] == 1


def test_borrow_is_released_after_every_kind_of_failure() -> None:
    roller = Kavelo(policy(work_units=3))
    failures: list[Callable[[], object]] = [
        lambda: roller.roll(),  # type: ignore[call-arg]
        lambda: roller.roll(5),  # type: ignore[arg-type]
        lambda: roller.roll("2d"),
        lambda: roller.roll("10d6"),
        lambda: roller.run("1/0"),
        lambda: roller.roll_multiple("1d6", -1),
        lambda: roller.roll_with_modifiers(2, 6, ["zz"]),
        lambda: roller.roll_with_modifiers(2, 6, "kh1"),  # a str is refused at run time
        lambda: roller.roll_simple(2**31, 1),
    ]
    for fail in failures:
        with pytest.raises((TypeError, ValueError, OverflowError)):
            fail()
    assert roller.roll("1d1")["total"] == 1


def test_other_instances_are_not_blocked() -> None:
    roller, other = Kavelo(), Kavelo()

    class CallsOther:
        def __len__(self) -> int:
            return 1

        def __getitem__(self, i: int) -> str:
            if i > 0:
                raise IndexError
            assert other.roll("1d1")["total"] == 1
            return "kh1"

    assert roller.roll_with_modifiers(2, 1, CallsOther())["total"] == 1  # type: ignore[arg-type]


def test_receiver_must_be_a_roller() -> None:
    with pytest.raises(TypeError):
        Kavelo.roll(ResourcePolicy(), "1d6")  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda k: k.roll(), "Kavelo.roll() missing 1 required positional argument: 'expression'"),
        (lambda k: k.run(program="1", x=2), "Kavelo.run() got an unexpected keyword argument 'x'"),
        (
            lambda k: k.roll_multiple("1d6"),
            "Kavelo.roll_multiple() missing 1 required positional argument: 'times'",
        ),
        (
            lambda k: k.roll_simple(1, 2, 3),
            "Kavelo.roll_simple() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda k: k.roll_with_modifiers(1),
            "Kavelo.roll_with_modifiers() missing 2 required positional arguments: 'dice_sides' and 'modifiers'",
        ),
        (
            lambda k: k.roll_with_modifiers(),
            "Kavelo.roll_with_modifiers() missing 3 required positional arguments: 'dice_count', 'dice_sides', and 'modifiers'",
        ),
        (
            lambda k: k.roll_with_modifiers(1, 2, [], dice_sides=2),
            "Kavelo.roll_with_modifiers() got multiple values for argument 'dice_sides'",
        ),
    ],
)
def test_method_binding_messages(call: Callable[[Kavelo], object], message: str) -> None:
    with pytest.raises(TypeError) as info:
        call(Kavelo())
    assert str(info.value) == message


class Kavelo_shape:  # named so its messages read like the real class's
    def roll_with_modifiers(
        self, dice_count: int, dice_sides: int, modifiers: Sequence[str]
    ) -> None:
        pass


def test_method_messages_agree_with_python_methods() -> None:
    # Each call is wrong for both classes alike, on purpose.
    calls: list[Callable[[Kavelo | Kavelo_shape], object]] = [
        lambda k: k.roll_with_modifiers(),  # type: ignore[call-arg]
        lambda k: k.roll_with_modifiers(1),  # type: ignore[call-arg]
        lambda k: k.roll_with_modifiers(1, 2, modifiers=[], dice_count=3),  # type: ignore[misc]
        lambda k: k.roll_with_modifiers(1, 2, [], extra=3),  # type: ignore[call-arg]
    ]
    for call in calls:
        with pytest.raises(TypeError) as reference:
            call(Kavelo_shape())
        with pytest.raises(TypeError) as mine:
            call(Kavelo())
        assert str(mine.value) == str(reference.value).replace("Kavelo_shape", "Kavelo")


def test_class_shape() -> None:
    assert Kavelo.__module__ == "builtins"
    assert Kavelo.__text_signature__ == "(policy=None)"
    assert text_signature(Kavelo.roll) == "($self, expression)"
    assert text_signature(Kavelo.roll_with_modifiers) == (
        "($self, dice_count, dice_sides, modifiers)"
    )
    with pytest.raises(TypeError):
        type("Sub", (Kavelo,), {})
    with pytest.raises(AttributeError):
        Kavelo().policy = 1  # type: ignore[attr-defined]


@pytest.mark.parametrize("collector_on", [True, False])
def test_large_results_leave_the_collector_as_they_found_it(collector_on: bool) -> None:
    import gc

    raised = ResourcePolicy()
    for name in ("generated_values", "rng_words", "output_items"):
        raised = raised.with_limit(name, raised.hard_limits()[name])
    was = gc.isenabled()
    try:
        gc.enable() if collector_on else gc.disable()
        samples = Kavelo(raised).roll_multiple("4d6kh3", 5000)
        assert gc.isenabled() is collector_on
        big = Kavelo(raised).roll("3000d6")
        assert gc.isenabled() is collector_on
        # The containers handed out are ordinary, collectable objects.
        assert gc.is_tracked(samples[0]) and gc.is_tracked(samples[0]["rolls"])
        assert gc.is_tracked(big["rolls"][0])
        with pytest.raises(ValueError):
            Kavelo(raised.with_limit("output_bytes", 10)).roll_multiple("4d6kh3", 5000)
        assert gc.isenabled() is collector_on
    finally:
        gc.enable() if was else gc.disable()
