"""The trace fuzz target's driver, run by fuzz_trace.cpp in an embedded interpreter.

From the input's bytes it builds a policy, an expression (a dice expression with chains
of modifiers, or raw text, with or without a comment) and faces (ints of every size,
now and then something that is no int, in a list, a tuple or an iterator), then calls
``replay`` with them and ``trace`` with fresh faces. Allowed outcomes: a trace, or a
``ValueError`` with one of the module's message shapes (a coded error, a parse error,
a refused face), ``UnicodeEncodeError`` for text with lone surrogates, or ``TypeError``
for a faces argument of the wrong type.

Every trace is then checked: each form read back (see tests/python/tracing/trace_reading.py)
gives exactly the terms' values and the total; the plain data is consistent; replaying
its faces gives the same result and the same forms; no form holds a control character
a comment could have brought in (the ANSI form only its own colour codes). Anything
else raises, and the harness aborts.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterator
from typing import Any

import trace_reading

from kavelo import ResourcePolicy, Trace, replay, trace

FLAGS = ["!", "e", "u", "s"]
VALUED = ["K", "r", "ro", "R", "a", "k", "kh", "kl", "dh", "dl", "c"]
NUMBERS = ["0", "-1", "1", "2", "6", "20", "2147483647", "-2147483648", "2147483648"]
FRAGMENTS = ["(", ")", "+", "-", "*", "/", "^", " ", "d", "#", ";", "1d6", "kh", "c0", "a"]
LIMITS = ["generated_values", "rng_words", "trace_nodes", "work_units", "collection_items"]

KNOWN_ERROR = re.compile(
    r"^(\[[a-z_]+\.[a-z_]+\] |解析错误: |无效的|未知的修饰符$|face \d+ |the expression draws more "
    r"faces than the \d+ given$|\d+ of the \d+ faces left over|\d+ faces are more than any roll)"
)
CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")
OWN_ANSI = re.compile(r"\x1b\[(?:2;9|1|0)m")


class Input:
    """The input's bytes, taken from the front; zeros once they run out."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.at = 0

    def byte(self) -> int:
        if self.at >= len(self.data):
            return 0
        self.at += 1
        return self.data[self.at - 1]

    def below(self, n: int) -> int:
        return (self.byte() | self.byte() << 8) % n if n > 1 else 0

    def pick(self, items: list[str]) -> str:
        return items[self.below(len(items))]

    def text(self, most: int) -> str:
        size = self.below(most + 1)
        raw = self.data[self.at : self.at + size]
        self.at += len(raw)
        return raw.decode("utf-8", "surrogateescape")


def make_policy(take: Input) -> ResourcePolicy:
    # Small limits mostly, so that an input stays far inside the 2 s timeout; the
    # defaults and the hard maxima are the property test's and the adversarial suite's.
    policy = ResourcePolicy().with_limit("generated_values", 1 + take.below(3000))
    for _ in range(take.below(3)):
        policy = policy.with_limit(take.pick(LIMITS), take.below(5000))
    return policy


def dice_term(take: Input) -> str:
    count = take.pick(["1", "2", "3", "4", "6", "9", str(take.below(40)), take.pick(NUMBERS)])
    sides = take.pick(["1", "2", "3", "4", "6", "8", "20", str(take.below(300))])
    modifiers = []
    for _ in range(take.below(8)):
        if take.below(4) == 0:
            modifiers.append(take.pick(FLAGS))
        else:
            number = str(take.below(12) - 2) if take.below(5) else take.pick(NUMBERS)
            modifiers.append(take.pick(VALUED) + take.pick(["", "", " "]) + number)
    return count + "d" + sides + take.pick(["", " "]).join(modifiers)


def make_expression(take: Input) -> str:
    way = take.below(8)
    if way == 0:
        return take.text(200)
    if way == 1:
        return take.pick(FRAGMENTS) * (1 + take.below(200)) + take.text(40)
    parts = [dice_term(take)]
    for _ in range(take.below(4)):
        operand = dice_term(take) if take.below(3) else take.pick(NUMBERS)
        if take.below(4) == 0:
            operand = "(" + operand + ")"
        parts.append(take.pick(["+", "-", "*", "/", "^", " + "]) + operand)
    text = "".join(parts)
    if take.below(3) == 0:
        text += " #" + take.text(60)
    return text


def make_faces(take: Input) -> Any:
    faces: list[Any] = []
    for _ in range(take.below(64)):
        way = take.below(40)
        if way == 0:
            faces.append(take.pick(["1", None, True, 1.0]))  # not ints
        elif way == 1:
            faces.append(int(take.pick(NUMBERS)) * (1 + take.below(3) * 2**62))
        else:
            faces.append(1 + take.below(8))
    shape = take.below(6)
    if shape == 0:
        return tuple(faces)
    if shape == 1:
        return iter(faces)
    if shape == 2:
        return endless(faces)
    return faces


def endless(faces: list[Any]) -> Iterator[Any]:
    """The faces, then 1 for ever: replay must stop reading at its limit."""
    yield from faces
    while True:
        yield 1


def shown(t: Trace) -> list[Any]:
    return [t.text(), t.markdown(), t.ansi(), json.dumps(t.to_dict()), repr(t)]


def check(t: Trace, text: str, policy: ResourcePolicy) -> None:
    trace_reading.check_forms(t)
    trace_reading.check_data(t)
    forms = shown(t)
    again = replay(text, t.faces(), policy)
    assert again.result == t.result, (text, t.faces())
    assert shown(again) == forms, (text, t.faces())
    plain, markdown, ansi = forms[0], forms[1], forms[2]
    assert not CONTROL.search(plain), plain
    assert not CONTROL.search(markdown), markdown
    assert not CONTROL.search(OWN_ANSI.sub("", ansi)), ansi


def attempt(call: Any) -> Trace | None:
    try:
        return call()  # type: ignore[no-any-return]
    except UnicodeEncodeError:
        pass  # text with lone surrogates, as a str from Python can hold them
    except ValueError as error:
        message = str(error)
        if not KNOWN_ERROR.match(message):
            raise AssertionError(f"unknown ValueError: {message!r}") from error
    except TypeError:
        pass
    return None


def drive(data: bytes) -> None:
    take = Input(data)
    policy = make_policy(take)
    text = make_expression(take)
    faces = make_faces(take)
    replayed = attempt(lambda: replay(text, faces, policy))
    if replayed is not None:
        check(replayed, text, policy)
    traced = attempt(lambda: trace(text, policy))
    if traced is not None:
        check(traced, text, policy)
