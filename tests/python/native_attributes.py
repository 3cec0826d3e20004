"""Attributes that the interpreter gives built-in functions and methods but that the
stub, which types them as plain callables, does not declare."""


def native_attribute(function: object, name: str) -> object:
    """The attribute, or None where the object has none (which no expected value is)."""
    return getattr(function, name, None)


def text_signature(function: object) -> object:
    return native_attribute(function, "__text_signature__")
