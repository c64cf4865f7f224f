"""The pages in a real headless Chromium: the preview page from picking a
picture to Save, and the batch's HTML report."""

import subprocess
from pathlib import Path

import pytest

pytest.importorskip("selenium", reason="needs python3-selenium")
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

from batch_helpers import TIMEOUT, TOOL, run_batch, tool_failure, write_picture  # noqa: E402
from conftest import console_errors  # noqa: E402


def by_role(driver, role):
    return driver.find_elements(By.CSS_SELECTOR, f'[data-role="{role}"]')


def shown_preview(driver, settings):
    """Waits for the preview computed with settings (a query string) to be shown."""
    def ready(d):
        image = by_role(d, "preview")[0]
        return image.get_attribute("data-state") == "ready" and image.get_attribute("data-settings") == settings
    WebDriverWait(driver, TIMEOUT).until(ready, f"no preview for {settings}")
    return by_role(driver, "preview")[0].get_attribute("src")


def test_pick_a_picture_move_gamma_and_save_the_tools_bytes(preview, browser, tmp_path):
    photos = tmp_path / "photos"
    for number in range(3):
        write_picture(photos / f"night{number}.png", 320, 240, number)
    server = preview(photos)
    browser.get(server.url)
    WebDriverWait(browser, TIMEOUT).until(lambda d: len(by_role(d, "picture")) == 3, "no strip")
    assert [e.text for e in by_role(browser, "picture")] == ["night0.png", "night1.png", "night2.png"]
    by_role(browser, "picture")[1].click()
    first = shown_preview(browser, "picture=1&size=screen&view=result&gamma=1.2&clean=0&fast=1")

    by_role(browser, "gamma")[0].send_keys(*[Keys.ARROW_RIGHT] * 6)
    assert by_role(browser, "gamma-value")[0].text == "1.50"
    assert shown_preview(browser, "picture=1&size=screen&view=result&gamma=1.5&clean=0&fast=1") != first

    split = by_role(browser, "split")[0]
    ActionChains(browser).drag_and_drop_by_offset(split, -60, 0).perform()
    assert int(split.get_attribute("aria-valuenow")) < 50

    by_role(browser, "zoom")[0].click()
    shown_preview(browser, "picture=1&size=full&view=result&gamma=1.5&clean=0&fast=0")
    assert by_role(browser, "canvas")[0].size == {"width": 320, "height": 240}  # one pixel per pixel

    by_role(browser, "save")[0].click()
    saved = WebDriverWait(browser, TIMEOUT).until(lambda d: by_role(d, "saved-path")[0].text, "no saved path")
    assert saved == str(photos / "night1_J.bmp")
    subprocess.run([TOOL, "-o", tmp_path / "tool.bmp", photos / "night1.png", "1.5"], check=True,
                   capture_output=True, timeout=TIMEOUT)
    assert Path(saved).read_bytes() == (tmp_path / "tool.bmp").read_bytes()
    assert console_errors(browser) == []


def test_the_batch_report_lists_a_failed_picture_and_opens_without_errors(browser, tmp_path):
    photos = tmp_path / "photos"
    write_picture(photos / "good.png", 120, 80, 1)
    (photos / "broken.jpg").write_bytes(b"not a picture")
    report = tmp_path / "report.html"
    run = run_batch(photos, "--output-dir", tmp_path / "clear", "--workers", "1", "--report", report)
    assert run.returncode == 1, run.stderr
    browser.get(report.as_uri())
    rows = {row.find_elements(By.TAG_NAME, "td")[0].text: row for row in by_role(browser, "record")}
    assert sorted(rows) == [str(photos / "broken.jpg"), str(photos / "good.png")]
    failed = rows[str(photos / "broken.jpg")]
    assert failed.get_attribute("data-status") == "failed"
    assert tool_failure(photos / "broken.jpg") in failed.text
    by_role(browser, "status-filter")[0].send_keys("failed")
    assert [row.is_displayed() for row in (failed, rows[str(photos / "good.png")])] == [True, False]
    assert console_errors(browser) == []
