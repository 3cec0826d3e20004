"""Draws the pictures of the README's odds examples into docs/odds/ (plain SVG).

python scripts/odds_pictures.py
"""

from __future__ import annotations

import pathlib

from kavelo import odds
from kavelo.odds_display import write_plot

OUT = pathlib.Path(__file__).resolve().parent.parent / "docs" / "odds"

PICTURES = [
    (
        "advantage.svg",
        ["2d20kh1", "1d20+5"],
        "at_least",
        "Advantage or +5: chance to reach each total",
    ),
    ("ability_scores.svg", ["4d6kh3", "3d6", "4d6ro1kh3"], "probability", "Ability scores"),
    ("exploding_damage.svg", ["8d6!", "10d6"], "probability", "Exploding damage: 8d6! or 10d6"),
]


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    for name, texts, column, title in PICTURES:
        write_plot(
            str(OUT / name),
            [odds(text) for text in texts],
            column=column,
            backend="svg",
            title=title,
        )
        print(OUT / name)


if __name__ == "__main__":
    main()
