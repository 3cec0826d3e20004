"""A chat bot that rolls with a trace and formats it: every name it uses from kavelo
is typed, so mypy --strict checks the bot against the package's types."""

from kavelo import Face, ResourcePolicy, Term, Trace, replay, trace

CRITICAL = 20


def critical_hit(t: Trace) -> bool:
    """A natural 20 kept on any d20."""
    return any(
        face.value == CRITICAL and face.fate == "kept"
        for term in t.terms
        if term.sides == CRITICAL
        for face in term.faces
    )


def dropped(term: Term) -> list[int]:
    return [face.value for face in term.faces if face.fate == "dropped"]


def describe(face: Face) -> str:
    how = f" ({face.fate} by {face.by})" if face.by is not None else ""
    return f"die {face.die}: {face.value} from a {face.origin}{how}"


def reply(expression: str, markdown: bool = True) -> str:
    t = trace(expression, ResourcePolicy().with_limit("generated_values", 1000))
    line = t.markdown() if markdown else t.text()
    return line + (" (critical!)" if critical_hit(t) else "")


def main() -> None:
    shown = replay("2d20kh1+5", [4, 20])
    assert shown.markdown() == "2d20kh1 (~~4~~, **20**) + 5 = `25`", shown.markdown()
    assert critical_hit(shown) and dropped(shown.terms[0]) == [4]
    assert describe(shown.terms[0].faces[0]) == "die 0: 4 from a roll (dropped by kh1)"
    again = replay("2d20kh1+5", shown.faces())
    assert again.result == shown.result and again.total == 25
    assert reply("3d1").endswith("= `3`") and str(trace("1d1")) == "1d1 (1) = 1"


if __name__ == "__main__":
    main()
