"""Generated dice texts for the equivalence of the browser module with the Python module:
expressions over every modifier and operator, with comments, and texts that fail in
every way the front end and the evaluator can fail."""

from __future__ import annotations

import random

SIDES = (1, 2, 3, 4, 6, 8, 10, 12, 20, 100)
# Each modifier with the numbers it is tried with (None: a flag without a number).
MODIFIERS = (
    ("!", None),
    ("e", None),
    ("K", "count"),
    ("r", "face"),
    ("ro", "face"),
    ("R", "face"),
    ("a", "face"),
    ("k", "count"),
    ("kh", "count"),
    ("kl", "count"),
    ("dh", "count"),
    ("dl", "count"),
    ("u", None),
    ("s", None),
    ("c", "face"),
)
COMMENTS = (
    "attack",
    "两次",
    "<b>bold</b> & <script>alert(1)</script>",
    "*stars* _under_ `tick` ~strike~ [link](x) | # ##",
    "tab\there, bell\x07, escape\x1b[31m, del\x7f",
    "\u202eevil\u202c right-to-left",
    "emoji 😀🎲 and combining é",
    'quote " backslash \\ slash /',
    "line\u2028separator\u0085next",
    "   padded   ",
)
# Texts that fail before or during evaluation, whatever the faces.
FAILING = (
    "",
    "d6",
    "2D6",
    "2d",
    "2d6k",
    "2d6+",
    "x",
    "-(1d6)",
    "007",
    "2d6e5",
    "1d6;",
    "1d6\n2d6",
    "1d6; 2d6",
    "# only a comment",
    "9223372036854775808",
    "2147483648d6",
    "2d2147483648",
    "4d6K99999999999",
    "4d6r99999999999",
    "4d6ro99999999999",
    "4d6R99999999999",
    "4d6a99999999999",
    "4d6kh99999999999",
    "4d6k99999999999",
    "4d6kl99999999999",
    "4d6dh99999999999",
    "4d6dl99999999999",
    "4d6c99999999999",
    "0d6",
    "2d0",
    "-2d6",
    "9223372036854775807+1",
    "-9223372036854775808-1",
    "9223372036854775807*2",
    "-9223372036854775808/-1",
    "2^63",
    "1/0",
    "1d6/0",
    "2^-1",
    "1^4294967296",
    "(" * 65 + "1" + ")" * 65,
    "(" * 33 + "1" + ")" * 33,
    "10001d6",
    "10000d6",
    "1d1!",
    "4d6R6",
    "1d6 x",
    "1d6 # a\n2d6",
    "((1d6)",
    "1d6)",
    "1d6 ++ 2",
    "１d6",
    "1d6 \u00a0",
)


def number(rng: random.Random, kind: str, sides: int) -> int:
    """A modifier's number: around the sides for faces, around the count for counts, and
    now and then zero, negative or past any pool."""
    roll = rng.random()
    if roll < 0.08:
        return rng.choice((0, -1, -3, -2147483648, 2147483647))
    if kind == "face":
        return rng.randint(1, max(1, min(sides, 30)))
    return rng.randint(0, 7)


def dice_term(rng: random.Random) -> str:
    count = rng.choice((1, 1, 2, 2, 3, 4, 5, 6))
    sides = rng.choice(SIDES)
    if rng.random() < 0.02:
        sides = 2147483647
    text = f"{count}d{sides}"
    for _ in range(rng.choice((0, 1, 1, 2, 2, 3))):
        written, kind = rng.choice(MODIFIERS)
        text += written if kind is None else f"{written}{number(rng, kind, sides)}"
    return text


def operand(rng: random.Random, depth: int) -> str:
    roll = rng.random()
    if depth < 2 and roll < 0.15:
        return f"({expression(rng, depth + 1)})"
    if roll < 0.7:
        return dice_term(rng)
    if roll < 0.75:
        return rng.choice(("9223372036854775807", "-9223372036854775808", "4611686018427387904"))
    return str(rng.randint(-20, 20))


def expression(rng: random.Random, depth: int = 0) -> str:
    parts = [operand(rng, depth)]
    for _ in range(rng.choice((0, 0, 1, 1, 2, 3))):
        operator = rng.choice("+-*/^" if rng.random() < 0.2 else "+-*/+-")
        right = operand(rng, depth)
        if operator == "^" and rng.random() < 0.7:
            right = str(rng.randint(0, 3))
        spacing = rng.choice(("", " "))
        parts.append(f"{spacing}{operator}{spacing}{right}")
    return "".join(parts)


def texts(count: int, seed: int) -> list[str]:
    """`count` expressions (some with comments), then every failing text."""
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        text = expression(rng)
        if rng.random() < 0.15:
            text += f" # {rng.choice(COMMENTS)}"
        out.append(text)
    return out + list(FAILING)
