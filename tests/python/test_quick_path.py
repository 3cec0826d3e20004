"""The common rolls ("1d20+5", "4d6kh3+2") take a shorter path through the module than
other texts. Rolls of one-sided dice have one outcome, so a text and the same text in
brackets (which the shorter path leaves to the other) must give the same record, or the
same error, byte for byte, under any limit.
"""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kavelo
from kavelo import Kavelo, ResourcePolicy

numbers = st.sampled_from(["0", "1", "7", "10", "999999999"])
rolls = st.builds(
    lambda count, keep: f"{count}d1{keep}",
    st.sampled_from(["1", "3", "12", "128", "129", "1000"]),
    st.sampled_from(["", "", "kh1", "kl2", "kh0", "kh200", " kl1"]),
)
operators = st.sampled_from(["+", "-", "*", "/", "^", " + ", "\t-\n"])


@st.composite
def chains(draw: st.DrawFn) -> str:
    terms = draw(st.lists(st.one_of(numbers, rolls), min_size=1, max_size=12))
    text = terms[0]
    for term in terms[1:]:
        text += draw(operators) + term
    return text


def outcome(call: object, text: str) -> object:
    try:
        return call(text)  # type: ignore[operator]
    except ValueError as error:
        return str(error)


@settings(max_examples=400, deadline=None)
@given(chains())
def test_a_common_roll_gives_the_record_of_the_general_path(text: str) -> None:
    assert outcome(kavelo.roll_dice, text) == outcome(kavelo.roll_dice, f"({text})")


# The limits a short roll meets, each at the value it needs and one below; the bracketed
# text needs one more node and one more level, so it gets those.
@pytest.mark.parametrize("text", ["4d1kh3+2", "12d1", "3-2*2", "128d1kl127/3"])
@pytest.mark.parametrize(
    "name",
    ["work_units", "ast_nodes", "nesting_depth", "output_items", "output_bytes", "rng_words"],
)
def test_a_common_roll_meets_each_limit_as_the_general_path_does(text: str, name: str) -> None:
    bracketed = f"({text})"
    extra = {"ast_nodes": 1, "nesting_depth": 1, "work_units": 1}.get(name, 0)
    needed = None
    for limit in range(min(800, ResourcePolicy().hard_limits()[name] - extra + 1)):
        quick = outcome(Kavelo(ResourcePolicy().with_limit(name, limit)).roll, text)
        policy = ResourcePolicy().with_limit(name, limit + extra)
        general = outcome(Kavelo(policy).roll, bracketed)
        if isinstance(general, str):
            # Only the counts in the error text may differ, by the bracket's own share.
            assert isinstance(quick, str) and quick.split(":")[0] == general.split(":")[0]
        else:
            assert quick == general
            needed = limit if needed is None else needed
    assert needed is not None


def test_the_output_limit_counts_the_record_exactly() -> None:
    record = kavelo.roll_dice("4d1kh3+2")
    compact = dict(record, comment=None)
    length = len(json.dumps(compact, ensure_ascii=False, separators=(",", ":")).encode())
    roller = Kavelo(ResourcePolicy().with_limit("output_bytes", length))
    assert roller.roll("4d1kh3+2") == record
    short = Kavelo(ResourcePolicy().with_limit("output_bytes", length - 1))
    with pytest.raises(ValueError) as error:
        short.roll("4d1kh3+2")
    assert str(error.value) == (
        f"[limit.output_bytes] 计算预算已耗尽: used 0, requested {length}, limit {length - 1}"
    )
