"""Reading the parts of a parsed SVG chart that a test checks, asserting they are there."""

import xml.etree.ElementTree as ET

SVG = "{http://www.w3.org/2000/svg}"


def text_of(element: ET.Element) -> str:
    assert element.text is not None, ET.tostring(element)
    return element.text


def attribute(element: ET.Element, name: str) -> str:
    value = element.get(name)
    assert value is not None, (name, ET.tostring(element))
    return value


def child(element: ET.Element, path: str) -> ET.Element:
    found = element.find(path)
    assert found is not None, (path, ET.tostring(element)[:200])
    return found
