"""The version the checkout declares: the file VERSION at its root, which the build passes
on to the package metadata and to the module."""

import pathlib

VERSION = (
    (pathlib.Path(__file__).resolve().parents[2] / "VERSION").read_text(encoding="utf-8").strip()
)
