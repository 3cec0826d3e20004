"""Fixtures of the browser tests: the built page (build/web, from scripts/build_web.sh)
served on 127.0.0.1 by the tests themselves, and headless Chromium driven through
Selenium with Debian's chromium-driver.

The tests are skipped, with the reason, where the page is not built or the browser or
its driver is missing; CI installs and builds both (scripts/build_web.sh --test-tools).
Screenshots of the page's states go to build/web-artifacts/.
"""

from __future__ import annotations

import functools
import http.server
import os
import pathlib
import shutil
import threading
from collections.abc import Iterator
from typing import Any

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
WEB = ROOT / "build" / "web"
ARTIFACTS = ROOT / "build" / "web-artifacts"
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
BUILT = ("index.html", "kavelo.mjs", "kavelo.wasm", "kavelo.d.ts")

# An empty page of the same origin, for the tests of the module alone.
BLANK = b"<!doctype html><meta charset=utf-8><title>blank</title>"


def _missing() -> str | None:
    absent = [name for name in BUILT if not (WEB / name).is_file()]
    if absent:
        return f"the page is not built ({', '.join(absent)} missing): run bash scripts/build_web.sh"
    if not pathlib.Path(CHROMIUM).exists() or not pathlib.Path(CHROMEDRIVER).exists():
        return "Chromium or chromium-driver is missing: run bash scripts/build_web.sh --test-tools"
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "Selenium is missing: run bash scripts/build_web.sh --test-tools"
    return None


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    reason = _missing()
    if reason is None:
        return
    here = pathlib.Path(__file__).parent
    for item in items:
        if here in pathlib.Path(str(item.fspath)).parents and "browser" in item.keywords:
            item.add_marker(pytest.mark.skip(reason=reason))


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "browser: needs the built page and headless Chromium")


# The media types of the files served (module scripts and WebAssembly need their own).
MEDIA_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".mjs": "text/javascript; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".wasm": "application/wasm",
    ".ts": "text/plain; charset=utf-8",
}


class _Handler(http.server.SimpleHTTPRequestHandler):
    def guess_type(self, path: str | os.PathLike[str]) -> str:
        return MEDIA_TYPES.get(pathlib.Path(path).suffix, "application/octet-stream")

    def do_GET(self) -> None:
        if self.path.split("?")[0] == "/blank.html":
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(BLANK)))
            self.end_headers()
            self.wfile.write(BLANK)
            return
        super().do_GET()

    def end_headers(self) -> None:
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, format: str, *args: Any) -> None:
        pass


@pytest.fixture(scope="session")
def server() -> Iterator[str]:
    """The base URL of build/web served on 127.0.0.1 (a free port)."""
    handler = functools.partial(_Handler, directory=str(WEB))
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{httpd.server_address[1]}"
    finally:
        httpd.shutdown()
        httpd.server_close()


def new_driver(width: int = 1280, height: int = 900) -> Any:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--disable-extensions",
        "--no-first-run",
        f"--window-size={width},{height}",
    ):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    driver.set_script_timeout(120)
    return driver


@pytest.fixture(scope="session")
def driver() -> Iterator[Any]:
    """One headless Chromium for the session."""
    if shutil.which(CHROMIUM) is None:
        pytest.skip("Chromium is missing")
    browser = new_driver()
    try:
        yield browser
    finally:
        browser.quit()


@pytest.fixture(scope="session")
def artifacts() -> pathlib.Path:
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    return ARTIFACTS
