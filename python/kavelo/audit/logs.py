"""Log files read line by line into an :class:`Auditor`, in memory bounded by the
longest line allowed, whatever the size of the file.

Two forms:

- JSON lines, as ``kavelo --json`` writes them: each non-blank line is one record;
- faces of one die (``sides`` given): each non-blank line holds one face or several,
  separated by commas or blanks, and all of them form one sequence.

A line longer than ``MAX_LINE_BYTES``, bytes that are not UTF-8, text that is not JSON
(or is nested too deeply), and a face that is not a plain decimal number from 1 to
``sides`` are bad records: the auditor raises for them, naming the file and the line,
or counts them as skipped.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Iterator
from typing import BinaryIO

from .records import check_sides
from .report import Auditor

#: Longest line read, in bytes, line feed excluded: far beyond any line ``kavelo
#: --json`` writes for one roll, and small enough to hold.
MAX_LINE_BYTES = 8 << 20
#: Bytes read at a time.
BLOCK_BYTES = 1 << 18
#: Faces of a plain list handed to the auditor at a time.
FACES_PER_BATCH = 1 << 13

_SEPARATORS = re.compile(r"[,\s]+")
# A face: plain ASCII digits, no more than any die's sides can have.
_FACE = re.compile(r"[0-9]{1,10}")


def _line_blocks(
    stream: BinaryIO, auditor: Auditor, name: str, advance: Callable[[int], None]
) -> Iterator[tuple[int, list[bytes]]]:
    """Yields the whole lines of each block read, without their line feeds, with the
    number of the first. A line longer than ``MAX_LINE_BYTES`` is never held whole: it
    goes to the auditor as a bad record, and the rest of it is read and dropped."""
    number = 0  # lines finished so far
    carry = b""  # the start of a line that goes on in the next block
    dropping = -1  # bytes of an over-long line dropped so far, or -1
    while True:
        block = stream.read(BLOCK_BYTES)
        advance(len(block))
        if dropping >= 0:
            cut = block.find(b"\n")
            if block and cut < 0:
                dropping += len(block)
                continue
            number += 1
            _too_long(auditor, name, number, dropping + max(cut, 0))
            dropping = -1
            block = block[cut + 1 :] if block else b""
        if not block:
            if carry:
                yield number + 1, [carry]
            return
        lines = (carry + block).split(b"\n")
        carry = lines.pop()
        if len(carry) > MAX_LINE_BYTES:
            dropping, carry = len(carry), b""
        if lines and max(map(len, lines)) > MAX_LINE_BYTES:
            for line in lines:
                number += 1
                if len(line) > MAX_LINE_BYTES:
                    _too_long(auditor, name, number, len(line))
                else:
                    yield number, [line]
            continue
        if lines:
            yield number + 1, lines
            number += len(lines)


def _too_long(auditor: Auditor, name: str, number: int, size: int) -> None:
    auditor.skip(
        f"[audit.limit] {name} line {number}: longer than {MAX_LINE_BYTES:,} bytes ({size:,} bytes)"
    )


def read_json_lines(
    stream: BinaryIO, auditor: Auditor, name: str, advance: Callable[[int], None]
) -> None:
    """Each non-blank line of ``stream`` as one JSON record."""
    for first, lines in _line_blocks(stream, auditor, name, advance):
        for number, raw in enumerate(lines, start=first):
            where = f"{name} line {number}"
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError as error:
                auditor.skip(f"[audit.bad_record] {where}: not UTF-8 (byte {error.start + 1})")
                continue
            if text.strip():
                _json_record(auditor, text, where)


def _json_record(auditor: Auditor, text: str, where: str) -> None:
    try:
        record = json.loads(text)
    except json.JSONDecodeError as error:
        auditor.skip(f"[audit.bad_record] {where}: not JSON ({error.msg} at column {error.colno})")
        return
    except RecursionError:
        auditor.skip(f"[audit.bad_record] {where}: JSON nested too deeply")
        return
    except ValueError as error:  # an integer of more digits than Python converts
        auditor.skip(f"[audit.bad_record] {where}: not JSON kavelo reads ({error})")
        return
    auditor.add(record, where)


def read_faces(
    stream: BinaryIO, auditor: Auditor, name: str, sides: int, advance: Callable[[int], None]
) -> None:
    """The faces of a die of ``sides`` sides, one or more per line, as one sequence.
    A block of plain faces is read at once; a block with anything else is read line by
    line, to name the line that is wrong."""
    check_sides(sides, "--sides")
    for first, lines in _line_blocks(stream, auditor, name, advance):
        faces = _plain_faces(lines, sides)
        if faces is not None:
            where = f"{name} lines {first}-{first + len(lines) - 1}"
            # Each non-blank line is one record of the log.
            records = sum(1 for line in lines if line.strip())
            for start in range(0, len(faces), FACES_PER_BATCH):
                batch = faces[start : start + FACES_PER_BATCH]
                auditor.add({"sides": sides, "faces": batch}, where, records)
                records = 0
            continue
        for number, raw in enumerate(lines, start=first):
            where = f"{name} line {number}"
            text = raw.decode("utf-8", errors="replace")
            line_faces = _faces_of(text.strip(), sides, auditor, where)
            if line_faces:
                auditor.add({"sides": sides, "faces": line_faces}, where)


def _plain_faces(lines: list[bytes], sides: int) -> list[int] | None:
    """Every face of the lines when all of them are plain faces of the die, else None."""
    tokens = b" ".join(lines).replace(b",", b" ").split()
    if not tokens:
        return []
    if not b"".join(tokens).isdigit() or max(map(len, tokens)) > 10:
        return None
    faces = list(map(int, tokens))
    return faces if min(faces) >= 1 and max(faces) <= sides else None


def _faces_of(text: str, sides: int, auditor: Auditor, where: str) -> list[int] | None:
    """The faces on one line, or None when the line is bad (and skipped)."""
    faces = []
    for index, token in enumerate(_SEPARATORS.split(text)):
        if not token:
            continue
        if _FACE.fullmatch(token) is None or not 1 <= int(token) <= sides:
            shown = json.dumps(token[:40])
            auditor.skip(
                f"[audit.bad_record] {where}: item {index + 1} is {shown}, not a face of a die "
                f"with {sides} sides (1 to {sides})"
            )
            return None
        faces.append(int(token))
    return faces
