"""The preview server started as a user starts it, and a headless Chromium.

The server runs as `python3 -m nightdehaze.preview --no-browser` on
127.0.0.1 and a port the system picks; each test stops its own. Pictures,
the tool and the package come from the batch tests' helpers (CTest sets
NIGHTDEHAZE_TOOL and NIGHTDEHAZE_PYTHONPATH).
"""

import os
import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "batch"))
from batch_helpers import TIMEOUT, environment  # noqa: E402

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


class Preview:
    """A running preview: its URL, token, and plain HTTP requests to it."""

    def __init__(self, process: subprocess.Popen, url: str) -> None:
        self.process = process
        self.url = url
        self.base, _, self.token = url.partition("/?token=")

    def request(self, path: str, body: bytes = None, headers=None, token=True):
        """(status, headers, body) of a request for path (token appended)."""
        if token:
            path += ("&" if "?" in path else "?") + "token=" + self.token
        request = urllib.request.Request(self.base + path, data=body, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=TIMEOUT) as answer:
                return answer.status, answer.headers, answer.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, error.read()


def start_preview(*args) -> Preview:
    process = subprocess.Popen([sys.executable, "-m", "nightdehaze.preview", "--no-browser", *map(str, args)],
                               env=environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    url = process.stdout.readline().strip()
    if not url.startswith("http://127.0.0.1:"):
        process.kill()
        raise AssertionError(f"no URL on stdout: {url!r} {process.stderr.read()}")
    return Preview(process, url)


@pytest.fixture
def preview():
    """start(*args) starts a preview server; every one is stopped after the test."""
    started = []

    def start(*args) -> Preview:
        started.append(start_preview(*args))
        return started[-1]
    yield start
    for server in started:
        server.process.terminate()
        assert server.process.wait(timeout=TIMEOUT) == 0, server.process.stderr.read()


@pytest.fixture
def browser():
    """A headless Chromium driven through Debian's chromedriver."""
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        pytest.skip(f"needs {CHROMIUM} and {CHROMEDRIVER} (Debian's chromium, chromium-driver)")
    webdriver = pytest.importorskip("selenium.webdriver", reason="needs python3-selenium")
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,900", "--disable-extensions", "--no-first-run"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(TIMEOUT)
    yield driver
    driver.quit()


def console_errors(driver) -> list:
    """The page's console messages at level SEVERE (failed loads, script errors)."""
    return [entry["message"] for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
