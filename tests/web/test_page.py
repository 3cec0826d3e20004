"""The page in Chromium, used as a player would: typing, clicking, the keyboard. What it
shows is compared with what the Python module computes for the same text (the traced
roll with its faces, the odds in each view, the error texts). Each state is kept as a
screenshot in build/web-artifacts/."""

from __future__ import annotations

import pathlib
import urllib.parse
from collections.abc import Callable, Iterator
from decimal import ROUND_HALF_UP, Decimal
from typing import Any

import pytest

import kavelo
from conftest import new_driver

pytestmark = pytest.mark.browser

WAIT = 120  # seconds: generous, the tests wait for states, not for speed


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    """A tall window, so that a screenshot holds the whole page."""
    driver = new_driver(1280, 2200)
    try:
        yield driver
    finally:
        driver.quit()


def wait_for(driver: Any, condition: Callable[[Any], Any], what: str) -> Any:
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, WAIT, poll_frequency=0.05).until(condition, what)


def open_page(driver: Any, server: str, fragment: str = "") -> None:
    # Away first: a change of the fragment alone would not load the page again.
    driver.get(f"{server}/blank.html")
    driver.get(f"{server}/index.html{fragment}")
    wait_for(
        driver, lambda d: d.execute_script("return document.documentElement.dataset.ready"), "ready"
    )
    wait_odds(driver)


def status(driver: Any) -> str:
    return str(driver.execute_script("return document.getElementById('status-text').textContent"))


def wait_odds(driver: Any) -> str:
    """Waits until the odds have been shown (or failed) and returns the status."""
    wait_for(
        driver,
        lambda d: d.execute_script(
            "return document.getElementById('cancel').hidden && "
            "!document.getElementById('status-text').textContent.startsWith('Computing')"
        ),
        "the odds",
    )
    return status(driver)


def shot(driver: Any, artifacts: pathlib.Path, name: str) -> None:
    driver.save_screenshot(str(artifacts / f"{name}.png"))


def inputs(driver: Any) -> list[Any]:
    from selenium.webdriver.common.by import By

    return list(driver.find_elements(By.CSS_SELECTOR, "#rows .row input"))


def set_text(driver: Any, field: Any, text: str) -> None:
    """Replaces the field's text as a paste does: one input event."""
    driver.execute_script(
        "arguments[0].value = arguments[1];"
        "arguments[0].dispatchEvent(new InputEvent('input', {bubbles: true, inputType: 'insertFromPaste'}));",
        field,
        text,
    )


def type_text(field: Any, text: str) -> None:
    from selenium.webdriver.common.keys import Keys

    field.send_keys(Keys.CONTROL, "a")
    field.send_keys(Keys.DELETE)
    field.send_keys(text)


def percent(p: float) -> str:
    """A chance as the page writes it (JavaScript's toFixed rounds halves up)."""
    if 0 < p < 0.00005:
        return "<0.01%"
    if 0.99995 < p < 1:
        return ">99.99%"
    return f"{Decimal(p * 100).quantize(Decimal('0.01'), rounding=ROUND_HALF_UP)}%"


def fixed(x: float) -> str:
    return str(Decimal(x).quantize(Decimal("0.01"), rounding=ROUND_HALF_UP))


READ_TABLE = """
const table = document.getElementById('table');
const cells = (row) => [...row.cells].map((c) => c.textContent);
return { head: cells(table.tHead.rows[0]), body: [...table.tBodies[0].rows].map(cells),
         foot: [...table.tFoot.rows].map(cells) };
"""


def python_column(odds: kavelo.Odds, view: str, totals: list[int]) -> list[str]:
    if view == "exactly":
        return [percent(odds.probability(x)) for x in totals]
    if view == "atLeast":
        return [percent(odds.at_least(x)) for x in totals]
    return [percent(odds.at_most(x)) for x in totals]


@pytest.mark.parametrize("view", ["exactly", "atLeast", "atMost"])
def test_fragment_expressions_side_by_side_with_the_python_odds(
    browser: Any, server: str, artifacts: pathlib.Path, view: str
) -> None:
    texts = ["2d20kh1+5", "1d20+8", "4d6kh3 # ability", "10/(1d4-1)"]
    open_page(browser, server, "#" + ";".join(urllib.parse.quote(t, safe="") for t in texts))
    assert [field.get_attribute("value") for field in inputs(browser)] == texts
    browser.find_element("css selector", f"input[name=view][value={view}]").click()
    table = browser.execute_script(READ_TABLE)
    assert table["head"] == ["total"] + texts
    totals = [int(row[0]) for row in table["body"]]
    every = sorted({x for t in texts for x in kavelo.odds(t).pmf})
    assert totals == every  # fewer than 60 totals: one row each
    for column, text in enumerate(texts, start=1):
        odds = kavelo.odds(text)
        assert [row[column] for row in table["body"]] == python_column(odds, view, totals)
        foot = {row[0]: row[column] for row in table["foot"]}
        assert foot["mean"] == fixed(odds.mean) and foot["spread (sd)"] == fixed(odds.stdev)
    # The failing quarter of 10/(1d4-1) is stated, not hidden.
    assert percent(0.25) in {row[0]: row[4] for row in table["foot"]}["fails"]
    notes = browser.execute_script("return document.getElementById('notes').textContent")
    assert "Expression 4 fails instead of giving a total: 25.00% arithmetic.divide_by_zero" in notes
    lines = browser.execute_script(
        "return [...document.querySelectorAll('#chart polyline.series')].map((l) => l.dataset.points)"
    )
    assert len(lines) == 4
    shot(browser, artifacts, f"odds_{view}")


def test_many_totals_share_rows_of_equal_width(
    browser: Any, server: str, artifacts: pathlib.Path
) -> None:
    open_page(browser, server, "#" + urllib.parse.quote("100d6", safe=""))
    table = browser.execute_script(READ_TABLE)
    odds = kavelo.odds("100d6")
    rows = table["body"]
    assert 30 <= len(rows) <= 60
    for label, shown in rows:
        low, high = (int(x) for x in label.split("–"))
        assert high - low + 1 == 9  # 501 totals in ranges of ceil(501 / 60)
        inside = [p for x, p in odds.pmf.items() if low <= x <= high]
        total = 0.0
        for p in inside:
            total += p
        assert shown == percent(total)
    shot(browser, artifacts, "odds_ranges")


READ_REPORT = "return document.querySelector('#rows .row:nth-child(1) .report').textContent"


def test_the_syntax_report_follows_the_typing(
    browser: Any, server: str, artifacts: pathlib.Path
) -> None:
    open_page(browser, server)
    field = inputs(browser)[0]
    type_text(field, "2d6 x")
    with pytest.raises(ValueError) as raised:
        kavelo.roll_dice("2d6 x")
    wait_for(browser, lambda d: d.execute_script(READ_REPORT) == str(raised.value), "the report")
    assert field.get_attribute("aria-invalid") == "true"
    shot(browser, artifacts, "syntax_report")
    field.send_keys("\b\b")
    wait_for(browser, lambda d: d.execute_script(READ_REPORT) == "✓ reads as one expression", "ok")
    assert field.get_attribute("aria-invalid") is None
    # The address keeps what was typed.
    assert urllib.parse.unquote(browser.execute_script("return location.hash")) == "#2d6;1d20+8"


READ_ROLL = """
const item = document.querySelector('#history li');
const line = item.querySelector('.line');
// The text form: struck faces between ~, everything else as shown.
const text = (node) => node.nodeType === Node.TEXT_NODE ? node.data
  : node.tagName === 'S' ? '~' + node.textContent + '~' : [...node.childNodes].map(text).join('');
return { text: line ? text(line) : null, faces: item.dataset.faces ?? null,
         error: item.querySelector('.error')?.textContent ?? null,
         struck: [...item.querySelectorAll('s')].map((s) => s.textContent),
         bold: [...item.querySelectorAll('strong')].map((s) => s.textContent) };
"""

ROLLED = [
    "2d20kh1+5 # attack",
    "4d6!r1kh3",
    "6d6u",
    "5d6c6",
    "3d6a2+1d4",
    "8d2!",
    "1d20 + 5 + 1d4",
    "-3 + 2*(4d6dl1) / 2 - 1d6kl1",
    '2d6 # <img src=x onerror="window.pwned=1"><script>window.pwned=2</script>',
    "1d6 # \u202egnp.exe\u202c \x1b[31m tab\there **not bold**",
    "1d1*9223372036854775807",
]


@pytest.mark.parametrize("text", ROLLED)
def test_a_roll_shows_its_traced_faces_as_python_writes_them(
    browser: Any, server: str, artifacts: pathlib.Path, text: str
) -> None:
    open_page(browser, server)
    field = inputs(browser)[0]
    set_text(browser, field, text)
    field.send_keys("\n")  # Enter rolls
    shown = browser.execute_script(READ_ROLL)
    assert shown["error"] is None
    faces = [int(face) for face in shown["faces"].split()] if shown["faces"] else []
    traced = kavelo.replay(text, faces)
    # The page's text form is the Python text form of the same faces.
    assert shown["text"] == traced.text()
    removed = [
        str(f.value)
        for term in traced.terms
        for f in term.faces
        if f.fate in {"dropped", "rerolled", "duplicate", "uncounted"}
    ]
    assert shown["struck"] == removed
    assert browser.execute_script("return window.pwned") is None
    assert (
        browser.execute_script("return document.querySelectorAll('main img, main script').length")
        == 0
    )
    shot(browser, artifacts, "roll_" + "".join(c if c.isalnum() else "_" for c in text)[:40])


# Texts that end at each limit a single expression can reach under the default policy,
# and the odds' own refusals.
LIMITED = [
    "(" * 65 + "1" + ")" * 65,
    "(" * 33 + "1" + ")" * 33,
    "1" + "+1" * 2100,
    "10001d6",
    "10000d6",
    "1d1!",
    "4d6R6",
    "10000d6" + "s" * 200,
    "2^63",
    "1/0",
    "0d6",
    "1d6; 1d6",
    "1d2147483647 # " + "😀" * 20000,
]


def test_every_limit_is_stated_and_the_page_stays_usable(
    browser: Any, server: str, artifacts: pathlib.Path
) -> None:
    open_page(browser, server)
    field = inputs(browser)[0]
    for text in LIMITED:
        set_text(browser, field, text)
        browser.find_element("css selector", "#rows .row:nth-child(1) button").click()
        shown = browser.execute_script(READ_ROLL)
        with pytest.raises(ValueError) as raised:
            kavelo.trace(text)
        assert shown["error"] == str(raised.value), text[:40]
    codes = browser.execute_script(
        "return [...document.querySelectorAll('#history li')].map((li) => li.dataset.error)"
    )
    assert {c for c in codes if c} >= {
        "limit.parse_depth",
        "limit.nesting_depth",
        "limit.ast_nodes",
        "limit.source_items",
        "limit.output_items",
        "limit.generated_values",
        "limit.work_units",
        "limit.source_bytes",
        "arithmetic.overflow",
        "arithmetic.divide_by_zero",
    }
    shot(browser, artifacts, "limits_in_history")
    # The odds' own limits, stated under the table.
    set_text(browser, field, "1d1!")
    set_text(browser, inputs(browser)[1], "100000d100000")
    wait_for(
        browser,
        lambda d: (
            "[odds." in d.execute_script("return document.getElementById('notes').textContent")
        ),
        "notes",
    )
    wait_odds(browser)
    notes = browser.execute_script("return document.getElementById('notes').textContent")
    for text in ("1d1!", "100000d100000"):
        with pytest.raises(ValueError) as raised:
            kavelo.odds(text)
        assert str(raised.value) in notes
    shot(browser, artifacts, "odds_refused")
    # Still usable: a plain roll works.
    set_text(browser, field, "3d1")
    field.send_keys("\n")
    assert browser.execute_script(READ_ROLL)["text"] == "3d1 (1, 1, 1) = 3"


def test_a_megabyte_pasted_is_refused_with_its_size(
    browser: Any, server: str, artifacts: pathlib.Path
) -> None:
    open_page(browser, server)
    field = inputs(browser)[0]
    text = "1d6+" * (1 << 18)
    set_text(browser, field, text)
    with pytest.raises(ValueError) as raised:
        kavelo.roll_dice(text)
    wait_for(browser, lambda d: d.execute_script(READ_REPORT) == str(raised.value), "the report")
    note = browser.execute_script("return document.getElementById('link-note').textContent")
    assert "too long for the address" in note
    assert len(browser.execute_script("return location.hash")) < 5000
    field.send_keys("\n")
    assert browser.execute_script(READ_ROLL)["error"] == str(raised.value)
    shot(browser, artifacts, "megabyte_pasted")
    set_text(browser, field, "1d6")
    wait_for(browser, lambda d: d.execute_script(READ_REPORT) == "✓ reads as one expression", "ok")


def test_html_in_the_address_stays_text(browser: Any, server: str, artifacts: pathlib.Path) -> None:
    hostile = '<img src=x onerror="window.pwned=1">"><script>window.pwned=2</script>'
    open_page(browser, server, "#" + urllib.parse.quote(hostile, safe="") + ";%E0%A4%A;2d6")
    values = [field.get_attribute("value") for field in inputs(browser)]
    assert values == [hostile, "%E0%A4%A", "2d6"]  # a broken escape is kept as typed
    assert browser.execute_script("return window.pwned") is None
    assert (
        browser.execute_script("return document.querySelectorAll('main img, main script').length")
        == 0
    )
    reports = browser.execute_script(
        "return [...document.querySelectorAll('#rows .report')].map((r) => r.textContent)"
    )
    with pytest.raises(ValueError) as raised:
        kavelo.roll_dice(hostile)
    assert reports[0] == str(raised.value)
    shot(browser, artifacts, "html_in_address")


def test_rows_are_added_and_removed_from_the_keyboard(
    browser: Any, server: str, artifacts: pathlib.Path
) -> None:
    from selenium.webdriver.common.keys import Keys

    open_page(browser, server)
    add = browser.find_element("id", "add")
    add.send_keys(Keys.ENTER)
    assert len(inputs(browser)) == 3
    active = browser.switch_to.active_element
    assert active == inputs(browser)[2]  # the new row takes the focus
    active.send_keys("4d6kh3")
    wait_odds(browser)
    wait_for(browser, lambda d: len(d.execute_script(READ_TABLE)["head"]) == 4, "three columns")
    # Tab from the new field reaches its Roll button, then its Remove button.
    active.send_keys(Keys.TAB)
    assert browser.switch_to.active_element.get_attribute("aria-label") == "Roll expression 3"
    browser.switch_to.active_element.send_keys(Keys.TAB)
    remove = browser.switch_to.active_element
    assert remove.get_attribute("aria-label") == "Remove expression 3"
    shot(browser, artifacts, "three_rows")
    remove.send_keys(Keys.ENTER)
    assert len(inputs(browser)) == 2
    assert (
        urllib.parse.unquote(browser.execute_script("return location.hash")) == "#2d20kh1+5;1d20+8"
    )


@pytest.mark.parametrize("how", ["button", "escape"])
def test_long_odds_can_be_cancelled_and_the_page_does_not_freeze(
    browser: Any, server: str, artifacts: pathlib.Path, how: str
) -> None:
    from selenium.webdriver.common.keys import Keys

    open_page(browser, server)
    browser.find_element("css selector", "details summary").click()
    work = browser.find_element("id", "max-work")
    set_text(browser, work, "1000000000000000")
    outcomes = browser.find_element("id", "max-outcomes")
    set_text(browser, outcomes, "100000000")
    # Far beyond any machine's second: it would run for hours.
    set_text(browser, inputs(browser)[0], "20000d1000")
    cancel = browser.find_element("id", "cancel")
    wait_for(browser, lambda d: cancel.is_displayed(), "the cancel button")
    job = browser.execute_script("return Number(document.getElementById('status').dataset.job)")
    # The page answers while the worker computes.
    second = inputs(browser)[1]
    set_text(browser, second, "2d6 x")
    wait_for(
        browser,
        lambda d: d.execute_script(
            "return document.querySelector('#rows .row:nth-child(2) .report').textContent"
        ).startswith("解析错误"),
        "the report",
    )
    # The change starts the computation again.
    wait_for(
        browser,
        lambda d: (
            d.execute_script("return Number(document.getElementById('status').dataset.job)") > job
        ),
        "the computation again",
    )
    wait_for(browser, lambda d: cancel.is_displayed(), "the cancel button again")
    shot(browser, artifacts, "odds_computing")
    if how == "button":
        cancel.click()
    else:
        browser.find_element("tag name", "body").send_keys(Keys.ESCAPE)
    wait_for(browser, lambda d: status(d).startswith("Cancelled"), "cancelled")
    assert not cancel.is_displayed()
    shot(browser, artifacts, f"odds_cancelled_{how}")
    set_text(browser, work, "400000000")
    set_text(browser, inputs(browser)[0], "3d6")
    set_text(browser, second, "2d6")
    wait_for(browser, lambda d: status(d).startswith("Odds computed"), "the odds again")


def test_a_worker_out_of_memory_is_reported_and_replaced(
    browser: Any, server: str, artifacts: pathlib.Path
) -> None:
    open_page(browser, server)
    browser.find_element("css selector", "details summary").click()
    set_text(browser, browser.find_element("id", "max-outcomes"), "10000000000")
    set_text(browser, browser.find_element("id", "max-work"), "1000000000000000")
    set_text(browser, inputs(browser)[0], "1d200000000")
    wait_for(browser, lambda d: "ran out of memory" in status(d), "out of memory")
    shot(browser, artifacts, "odds_out_of_memory")
    set_text(browser, browser.find_element("id", "max-outcomes"), "1000000")
    set_text(browser, inputs(browser)[0], "2d6")
    wait_for(browser, lambda d: status(d).startswith("Odds computed"), "the odds again")
    table = browser.execute_script(READ_TABLE)
    assert table["head"][1] == "2d6"


def contrast(foreground: str, background: str) -> float:
    def luminance(colour: str) -> float:
        parts = [float(x) for x in colour[colour.index("(") + 1 : colour.index(")")].split(",")[:3]]
        linear = [
            c / 255 / 12.92 if c / 255 <= 0.04045 else ((c / 255 + 0.055) / 1.055) ** 2.4
            for c in parts
        ]
        return 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]

    high, low = sorted((luminance(foreground), luminance(background)), reverse=True)
    return (high + 0.05) / (low + 0.05)


COLOURS = """
const background = (node) => {
  for (let n = node; n; n = n.parentElement) {
    const c = getComputedStyle(n).backgroundColor;
    if (c !== 'rgba(0, 0, 0, 0)' && c !== 'transparent') return c;
  }
  return 'rgb(255, 255, 255)';
};
return [...document.querySelectorAll(arguments[0])].filter((n) => n.textContent.trim() !== '')
  .map((n) => [n.tagName + '.' + n.className, getComputedStyle(n).color, background(n)]);
"""


def test_text_contrast_labels_and_names(browser: Any, server: str) -> None:
    open_page(browser, server, "#" + urllib.parse.quote("4d6kh3", safe="") + ";2d6x")
    inputs(browser)[0].send_keys("\n")
    selector = (
        "p, label, button, legend, th, td, pre, s, strong, code, summary, h1, h2, li, span, output"
    )
    low = [
        (name, round(contrast(fg, bg), 2))
        for name, fg, bg in browser.execute_script(COLOURS, selector)
        if contrast(fg, bg) < 4.5
    ]
    assert not low
    # Every control has a name: inputs by their label, buttons by text or aria-label.
    unnamed = browser.execute_script(
        """
        return [...document.querySelectorAll('input, button, select, textarea')].filter((c) => {
          if (c.tagName === 'BUTTON') return !(c.getAttribute('aria-label') || c.textContent.trim());
          return !(c.labels && c.labels.length > 0 && c.labels[0].textContent.trim());
        }).map((c) => c.outerHTML);
        """
    )
    assert unnamed == []
    described = browser.execute_script(
        "return [...document.querySelectorAll('#rows input')].map((i) => "
        "document.getElementById(i.getAttribute('aria-describedby')).className)"
    )
    assert described == ["report ok", "report bad"]


def test_phone_width_layout(server: str, artifacts: pathlib.Path) -> None:
    phone = new_driver(375, 1800)
    try:
        open_page(phone, server, "#" + urllib.parse.quote("4d6kh3", safe="") + ";3d6;8d6!")
        inputs(phone)[0].send_keys("\n")
        width = phone.execute_script("return document.documentElement.clientWidth")
        # Nothing is wider than the screen: the table scrolls inside its own box.
        assert phone.execute_script("return document.documentElement.scrollWidth") <= width
        boxes = phone.execute_script(
            "return [...document.querySelectorAll('#rows input, #rows button, #chart, .table-wrap')]"
            ".map((e) => e.getBoundingClientRect().right)"
        )
        assert max(boxes) <= width
        shot(phone, artifacts, "phone_width")
    finally:
        phone.quit()
