"""Short English glosses for the module's Chinese error texts, shown after the exact
text on the command line only, and the code that names each kind of error.

One table, keyed by the exact texts. Where a text carries numbers or a name, the key
writes them as ``{n}`` (a decimal number), ``{name}`` (a resource name), ``{at}`` (a
line:column position) and ``{report}`` (the rest of a syntax report); the gloss may
repeat a number as ``{0}``, ``{1}``, ... in the order of the key.
"""

from __future__ import annotations

import re

GLOSSES: dict[str, str] = {
    "解析错误:  --> {at}{report}": "parse error: not valid dice notation",
    "解析错误: 无效数字": "parse error: invalid number",
    "解析错误: 无效的骰子数量": "parse error: invalid number of dice",
    "解析错误: 无效的骰子面数": "parse error: invalid number of sides",
    "解析错误: 无效的ExplodeKeepHigh数值": "parse error: invalid K (keep highest) number",
    "解析错误: 无效的重投数值": "parse error: invalid reroll number",
    "解析错误: 无效的条件重投数值": "parse error: invalid reroll-once number",
    "解析错误: 无效的直到重投数值": "parse error: invalid reroll-until number",
    "解析错误: 无效的重投并相加数值": "parse error: invalid reroll-and-add number",
    "解析错误: 无效的取高数值": "parse error: invalid keep-highest number",
    "解析错误: 无效的取低数值": "parse error: invalid keep-lowest number",
    "解析错误: 无效的丢弃高数值": "parse error: invalid drop-highest number",
    "解析错误: 无效的丢弃低数值": "parse error: invalid drop-lowest number",
    "解析错误: 无效的计数数值": "parse error: invalid count number",
    "解析错误: roll() 只接受一条指令；多条指令请使用 run()": "parse error: -n rolls one expression, not a program of several",
    "无效的骰子表达式: 骰子数量和面数必须大于0": "invalid dice: the number of dice and of sides must be above 0",
    "[arithmetic.divide_by_zero] 除零错误": "division by zero",
    "[limit.{name}] 计算预算已耗尽: used {n}, requested {n}, limit {n}": "limit reached",
    "[limit.generated_values] 计算预算已耗尽: 最多生成 {n} 个骰子结果; used {n}, requested {n}": "limit reached: at most {0} dice rolled",
    "[limit.parsed_instructions] 程序指令数量超过限制: 最多 {n} 条": "too many instructions: at most {0}",
}

_FIELDS = {
    "{n}": r"([0-9]+)",
    "{name}": r"[a-z_]+",
    "{at}": r"[0-9]+:[0-9]+",
    "{report}": r"\n(?s:.*)",
}
_FIELD = re.compile("|".join(re.escape(field) for field in _FIELDS))


def _pattern(key: str) -> re.Pattern[str]:
    parts: list[str] = []
    end = 0
    for match in _FIELD.finditer(key):
        parts.append(re.escape(key[end : match.start()]))
        parts.append(_FIELDS[match.group()])
        end = match.end()
    parts.append(re.escape(key[end:]))
    return re.compile("".join(parts))


_EXACT = {key: gloss for key, gloss in GLOSSES.items() if not _FIELD.search(key)}
_PATTERNS = [(_pattern(key), gloss) for key, gloss in GLOSSES.items() if _FIELD.search(key)]


def gloss(message: str) -> str | None:
    """The English gloss of an error text, or None for a text without one."""
    exact = _EXACT.get(message)
    if exact is not None:
        return exact
    for pattern, text in _PATTERNS:
        match = pattern.fullmatch(message)
        if match:
            return text.format(*match.groups())
    return None


def with_gloss(message: str) -> str:
    """The message followed by its gloss: in parentheses on the same line, or on a line
    of its own after a multi-line text."""
    text = gloss(message)
    if text is None:
        return message
    return f"{message}\n({text})" if "\n" in message else f"{message} ({text})"


_CODE = re.compile(r"\[([a-z_]+\.[a-z_]+)\] ")


def error_code(error: BaseException) -> str:
    """A short stable name of the kind of error: the bracketed code of a coded text
    (``limit.output_items``), else ``parse.syntax`` for a syntax report,
    ``parse.invalid`` for the other parse errors, ``dice.invalid`` for an invalid roll,
    ``input.encoding`` for text that is not valid Unicode, ``input.memory`` when memory
    ran out."""
    if isinstance(error, UnicodeError):
        return "input.encoding"
    if isinstance(error, MemoryError):
        return "input.memory"
    message = str(error)
    match = _CODE.match(message)
    if match:
        return match.group(1)
    if message.startswith("解析错误:  --> "):
        return "parse.syntax"
    if message.startswith("解析错误: "):
        return "parse.invalid"
    if message.startswith("无效的骰子表达式: "):
        return "dice.invalid"
    return "error"
