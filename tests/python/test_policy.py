"""The ResourcePolicy class: listings, derivation, and its binding messages."""

from collections.abc import Callable

import pytest

import kavelo
from kavelo import ResourcePolicy
from native_attributes import text_signature

DEFAULTS = {
    "source_bytes": 65536,
    "environment_items": 1024,
    "environment_bytes": 1048576,
    "parse_depth": 64,
    "ast_nodes": 4096,
    "parsed_instructions": 1000,
    "executed_instructions": 10000,
    "nesting_depth": 32,
    "source_items": 10000,
    "generated_values": 10000,
    "rng_words": 20000,
    "collection_items": 10000,
    "trace_nodes": 20000,
    "output_items": 10000,
    "output_bytes": 8388608,
    "work_units": 1000000,
    "batch_samples": 10000,
}

HARD = {
    "source_bytes": 1048576,
    "environment_items": 16384,
    "environment_bytes": 16777216,
    "parse_depth": 256,
    "ast_nodes": 65536,
    "parsed_instructions": 10000,
    "executed_instructions": 1000000,
    "nesting_depth": 128,
    "source_items": 100000,
    "generated_values": 1000000,
    "rng_words": 2000000,
    "collection_items": 100000,
    "trace_nodes": 200000,
    "output_items": 100000,
    "output_bytes": 67108864,
    "work_units": 50000000,
    "batch_samples": 1000000,
}


def test_limits_list_defaults_in_table_order() -> None:
    limits = ResourcePolicy().limits()
    assert list(limits.items()) == list(DEFAULTS.items())
    assert all(type(k) is str and type(v) is int for k, v in limits.items())


def test_hard_limits_are_the_same_for_every_instance() -> None:
    derived = ResourcePolicy().with_limit("work_units", 10)
    assert list(ResourcePolicy().hard_limits().items()) == list(HARD.items())
    assert list(derived.hard_limits().items()) == list(HARD.items())


def test_listings_are_new_objects() -> None:
    policy = ResourcePolicy()
    first = policy.limits()
    first["work_units"] = 1
    assert policy.limits()["work_units"] == 1000000
    assert policy.limits() is not policy.limits()


def test_with_limit_returns_new_instance_and_keeps_the_original() -> None:
    original = ResourcePolicy()
    changed = original.with_limit("work_units", 10)
    assert type(changed) is ResourcePolicy and changed is not original
    assert changed.limits() == {**DEFAULTS, "work_units": 10}
    assert original.limits()["work_units"] == 1000000
    # Derivation chains keep earlier changes.
    twice = changed.with_limit(name="trace_nodes", limit=0)
    assert twice.limits() == {**DEFAULTS, "work_units": 10, "trace_nodes": 0}


@pytest.mark.parametrize("name", list(HARD))
def test_with_limit_accepts_hard_maximum_and_refuses_one_more(name: str) -> None:
    policy = ResourcePolicy()
    assert policy.with_limit(name, HARD[name]).limits()[name] == HARD[name]
    assert policy.with_limit(name, 0).limits()[name] == 0
    with pytest.raises(ValueError) as info:
        policy.with_limit(name, HARD[name] + 1)
    assert info.value.args == (
        (
            f"[policy.limit_above_hard_max] {name} limit {HARD[name] + 1} "
            f"exceeds hard maximum {HARD[name]}"
        ),
    )


@pytest.mark.parametrize(
    "name, limit, message",
    [
        ("work_units", -1, "[policy.invalid_limit] work_units limit must be non-negative"),
        # The sign is checked before the name.
        ("nonsense", -1, "[policy.invalid_limit] nonsense limit must be non-negative"),
        ("", -5, "[policy.invalid_limit]  limit must be non-negative"),
        ("WORK_UNITS", 5, "[policy.invalid_limit] unknown resource limit: WORK_UNITS"),
        ("", 5, "[policy.invalid_limit] unknown resource limit: "),
        ("资源", 5, "[policy.invalid_limit] unknown resource limit: 资源"),
        ("a\0b", 5, "[policy.invalid_limit] unknown resource limit: a\0b"),
        # The name is checked before the value.
        ("bogus", 2**62, "[policy.invalid_limit] unknown resource limit: bogus"),
    ],
)
def test_with_limit_value_errors(name: str, limit: int, message: str) -> None:
    with pytest.raises(ValueError) as info:
        ResourcePolicy().with_limit(name, limit)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


def test_with_limit_integer_rules() -> None:
    policy = ResourcePolicy()
    assert policy.with_limit("ast_nodes", True).limits()["ast_nodes"] == 1

    class Index:
        def __index__(self) -> int:
            return 77

    assert policy.with_limit("ast_nodes", Index()).limits()["ast_nodes"] == 77  # type: ignore[arg-type]
    with pytest.raises(OverflowError):
        policy.with_limit("ast_nodes", 2**63)
    with pytest.raises(OverflowError):
        policy.with_limit("ast_nodes", -(2**63) - 1)
    # The most negative 64-bit value converts, then fails the sign check.
    with pytest.raises(ValueError, match="must be non-negative"):
        policy.with_limit("ast_nodes", -(2**63))


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (
            lambda p: p.with_limit("ast_nodes"),
            TypeError,
            "ResourcePolicy.with_limit() missing 1 required positional argument: 'limit'",
        ),
        (
            lambda p: p.with_limit(),
            TypeError,
            "ResourcePolicy.with_limit() missing 2 required positional arguments: 'name' and 'limit'",
        ),
        (
            lambda p: p.with_limit("a", 1, 2),
            TypeError,
            "ResourcePolicy.with_limit() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda p: p.with_limit("a", limt=1),
            TypeError,
            "ResourcePolicy.with_limit() got an unexpected keyword argument 'limt'",
        ),
        (
            lambda p: p.with_limit("a", 1, name="b"),
            TypeError,
            "ResourcePolicy.with_limit() got multiple values for argument 'name'",
        ),
        (
            lambda p: p.with_limit("ast_nodes", "10"),
            TypeError,
            "argument 'limit': 'str' object cannot be interpreted as an integer",
        ),
        (
            lambda p: p.with_limit("ast_nodes", 1.5),
            TypeError,
            "argument 'limit': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda p: p.with_limit(b"ast_nodes", 1),
            TypeError,
            "argument 'name': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            lambda p: p.with_limit(None, 1),
            TypeError,
            "argument 'name': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            lambda p: ResourcePolicy(1),  # type: ignore[call-arg]
            TypeError,
            "ResourcePolicy.__new__() takes 0 positional arguments but 1 was given",
        ),
        (
            lambda p: ResourcePolicy(1, 2),  # type: ignore[call-arg]
            TypeError,
            "ResourcePolicy.__new__() takes 0 positional arguments but 2 were given",
        ),
        (
            lambda p: ResourcePolicy(x=1),  # type: ignore[call-arg]
            TypeError,
            "ResourcePolicy.__new__() got an unexpected keyword argument 'x'",
        ),
    ],
)
def test_binding_messages(
    call: Callable[[ResourcePolicy], object], exc: type[Exception], message: str
) -> None:
    with pytest.raises(exc) as info:
        call(ResourcePolicy())
    assert type(info.value) is exc
    assert str(info.value) == message


def test_binding_order_positional_count_before_keywords_before_missing() -> None:
    policy = ResourcePolicy()
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        policy.with_limit(1, 2, 3, bogus=1)  # type: ignore[call-arg, arg-type]
    # Keywords are checked in the order given.
    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        policy.with_limit("a", zz=1, name=2)  # type: ignore[call-arg, misc, arg-type]
    with pytest.raises(TypeError, match="multiple values for argument 'name'"):
        policy.with_limit("a", name=2, zz=1)  # type: ignore[call-arg, misc, arg-type]
    # Binding comes before conversion.
    with pytest.raises(TypeError, match="missing 1 required"):
        policy.with_limit(5)  # type: ignore[call-arg, arg-type]


class ResourcePolicyShape:
    def with_limit(self, name: str, limit: int) -> None:
        pass


def test_messages_agree_with_python_functions_of_the_same_shape() -> None:
    ours, theirs = ResourcePolicy(), ResourcePolicyShape()
    # Each call is wrong for both classes alike, on purpose.
    calls: list[Callable[[ResourcePolicy | ResourcePolicyShape], object]] = [
        lambda p: p.with_limit("a"),  # type: ignore[call-arg]
        lambda p: p.with_limit(),  # type: ignore[call-arg]
        lambda p: p.with_limit("a", bogus=1),  # type: ignore[call-arg]
        lambda p: p.with_limit("a", 1, name="b"),  # type: ignore[misc]
    ]
    for call in calls:
        with pytest.raises(TypeError) as mine:
            call(ours)
        with pytest.raises(TypeError) as reference:
            call(theirs)
        expected = str(reference.value).replace("ResourcePolicyShape", "ResourcePolicy")
        assert str(mine.value) == expected


def test_converter_keeps_cause_of_a_type_error() -> None:
    class BadIndex:
        def __index__(self) -> int:  # noqa: PLE0305 (raises instead of returning)
            try:
                raise KeyError("inner")
            except KeyError as exc:
                raise TypeError("index refused") from exc

    with pytest.raises(TypeError) as info:
        ResourcePolicy().with_limit("ast_nodes", BadIndex())  # type: ignore[arg-type]
    assert str(info.value) == "argument 'limit': index refused"
    assert isinstance(info.value.__cause__, KeyError)


def test_converter_passes_other_exception_types_through() -> None:
    class Boom:
        def __index__(self) -> int:
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match=r"^boom$"):
        ResourcePolicy().with_limit("ast_nodes", Boom())  # type: ignore[arg-type]

    with pytest.raises(UnicodeEncodeError):
        ResourcePolicy().with_limit("\udc80", 1)


def test_listing_methods_take_no_arguments() -> None:
    with pytest.raises(TypeError):
        ResourcePolicy().limits(1)  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        ResourcePolicy().hard_limits(key=1)  # type: ignore[call-arg]


def test_class_shape() -> None:
    assert ResourcePolicy.__module__ == "builtins"
    assert ResourcePolicy.__qualname__ == "ResourcePolicy"
    assert ResourcePolicy.__text_signature__ == "()"
    assert text_signature(ResourcePolicy.with_limit) == "($self, name, limit)"
    assert text_signature(ResourcePolicy.limits) == "($self)"
    assert text_signature(ResourcePolicy.hard_limits) == "($self)"
    with pytest.raises(TypeError):
        type("Sub", (ResourcePolicy,), {})
    policy = ResourcePolicy()
    with pytest.raises(AttributeError):
        policy.extra = 1  # type: ignore[attr-defined]
    assert not hasattr(policy, "__dict__")
    # No comparison of their own: equal limits, distinct objects.
    assert ResourcePolicy() != ResourcePolicy()
    assert kavelo.ResourcePolicy is kavelo._core.ResourcePolicy
