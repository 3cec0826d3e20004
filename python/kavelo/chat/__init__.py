"""What a chat bot needs around a roll: :func:`normalize` rewrites the well-known chat
spellings of dice notation (``d20``, ``2D6``, ``d%``) into kavelo's language."""

from .normalize import SpellingError, normalize

__all__ = ["SpellingError", "normalize"]
