"""Size and speed of kavelo in the browser: the gzip size of kavelo.wasm, the time from
navigation until the page is interactive, and the time of a roll and of odds("100d6")
inside headless Chromium (Debian's chromium and chromium-driver, driven by Selenium).

    bash scripts/build_web.sh --test-tools     # the page, Chromium, Selenium
    .venv/bin/python benchmarks/web_bench.py   # prints the table of the README

The page is served on 127.0.0.1 by this script, with caching off, so that every load
fetches and compiles kavelo.wasm again. Timings are medians of repeated runs inside the
page (performance.now()); the machine is shared, so compare within one run.
"""

from __future__ import annotations

import argparse
import functools
import gzip
import http.server
import os
import pathlib
import platform
import statistics
import threading
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parents[1]
WEB = ROOT / "build" / "web"


# The media types of the files served (module scripts and WebAssembly need their own).
MEDIA_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".mjs": "text/javascript; charset=utf-8",
    ".wasm": "application/wasm",
}


class Handler(http.server.SimpleHTTPRequestHandler):
    def guess_type(self, path: str | os.PathLike[str]) -> str:
        return MEDIA_TYPES.get(pathlib.Path(path).suffix, "application/octet-stream")

    def end_headers(self) -> None:
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, format: str, *args: Any) -> None:
        pass


def chromium() -> Any:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    driver = webdriver.Chrome(
        service=Service(executable_path="/usr/bin/chromedriver"), options=options
    )
    driver.set_script_timeout(600)
    return driver


INTERACTIVE = """
const mark = performance.getEntriesByName("kavelo-interactive")[0];
return mark === undefined ? null : mark.startTime;
"""

TIMING = """
const engine = await import(arguments[0] + "/kavelo.mjs");
const [calls, rounds, text] = [arguments[1], arguments[2], arguments[3]];
const call = arguments[4] === "odds" ? () => engine.odds(text) : () => engine.roll(text);
for (let i = 0; i < Math.min(calls, 2000); i += 1) call();
const perCall = [];
for (let r = 0; r < rounds; r += 1) {
  const start = performance.now();
  for (let i = 0; i < calls; i += 1) call();
  perCall.push((performance.now() - start) / calls);
}
return perCall;
"""


def interactive_times(driver: Any, base: str, loads: int) -> list[float]:
    from selenium.webdriver.support.ui import WebDriverWait

    times = []
    for _ in range(loads):
        driver.get(base + "/blank.html")
        driver.get(base + "/index.html")
        WebDriverWait(driver, 60, poll_frequency=0.02).until(
            lambda d: d.execute_script(INTERACTIVE)
        )
        times.append(float(driver.execute_script(INTERACTIVE)))
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loads", type=int, default=20, help="page loads timed (default 20)")
    parser.add_argument("--rounds", type=int, default=7, help="rounds of calls timed (default 7)")
    arguments = parser.parse_args()
    if not (WEB / "kavelo.wasm").is_file():
        raise SystemExit("build/web is missing: run bash scripts/build_web.sh first")

    wasm = (WEB / "kavelo.wasm").read_bytes()
    sizes = {
        name: (len(data), len(gzip.compress(data, compresslevel=9)))
        for name in ("kavelo.wasm", "kavelo.mjs", "index.html")
        for data in [(WEB / name).read_bytes()]
    }
    assert sizes["kavelo.wasm"][0] == len(wasm)

    (WEB / "blank.html").write_text("<!doctype html><title>blank</title>", encoding="utf-8")
    handler = functools.partial(Handler, directory=str(WEB))
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{httpd.server_address[1]}"
    driver = chromium()
    try:
        version = driver.capabilities.get("browserVersion", "?")
        first = interactive_times(driver, base, 1)[0]
        loads = interactive_times(driver, base, arguments.loads)
        driver.get(base + "/blank.html")
        rolls = {
            text: driver.execute_script(TIMING, base, 20000, arguments.rounds, text, "roll")
            for text in ("1d20+5", "4d6kh3+2", "100d6")
        }
        odds = {
            text: driver.execute_script(TIMING, base, 50, arguments.rounds, text, "odds")
            for text in ("4d6kh3", "100d6", "1000d6")
        }
    finally:
        driver.quit()
        httpd.shutdown()
        (WEB / "blank.html").unlink(missing_ok=True)

    print(f"Chromium {version}, {platform.machine()}, build/web of this checkout")
    print()
    print("| measure | value |")
    print("|---|---:|")
    for name, (raw, packed) in sizes.items():
        print(f"| `{name}` raw / gzip -9 | {raw:,} / {packed:,} bytes |")
    print(f"| interactive after navigation, first load | {first:.0f} ms |")
    print(
        f"| interactive after navigation, median (max) of {len(loads)} loads | "
        f"{statistics.median(loads):.0f} ms ({max(loads):.0f} ms) |"
    )
    for text, times in rolls.items():
        print(f'| `roll("{text}")` | {statistics.median(times) * 1000:.1f} µs |')
    for text, times in odds.items():
        print(f'| `odds("{text}")` | {statistics.median(times):.2f} ms |')


if __name__ == "__main__":
    main()
