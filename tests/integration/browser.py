"""Headless Chromium driven through Selenium, for the tests that look at the
web interface (and later pages) the way an administrator's browser does.

Every browser runs with a new empty profile in the test's work folder and
sends everything through the proxy under test. Use the fixture:

    from browser import chromium  # noqa: F401 (pytest fixture)

    def test_something(chromium, ...):
        driver = chromium(proxy_port)              # interface pages, origins elsewhere
        driver = chromium(proxy_port, loopback=True)  # 127.0.0.1 origins too
"""
import os
import shutil
import tempfile

import pytest

from conftest import free_port

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

# Seconds a page may take to load, and an element to appear.
PAGE_TIMEOUT = 20
WAIT = 10

BROWSER_ARGUMENTS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-dev-shm-usage",
]


def start_chromium(profile, proxy_port, loopback=False):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in BROWSER_ARGUMENTS:
        options.add_argument(argument)
    options.add_argument("--user-data-dir=" + profile)
    options.add_argument("--proxy-server=http://127.0.0.1:%d" % proxy_port)
    if loopback:
        # Chromium sends nothing for loopback addresses through a proxy
        # unless told to.
        options.add_argument("--proxy-bypass-list=<-loopback>")
    service = Service(executable_path=CHROMEDRIVER, port=free_port())
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(PAGE_TIMEOUT)
    return driver


@pytest.fixture
def chromium(workdir):
    """Starts browsers (chromium(proxy_port, loopback=False)) and quits them
    at the end of the test."""
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        pytest.skip("chromium is not installed (scripts/install-deps.sh)")
    pytest.importorskip("selenium")
    started = []

    def start(proxy_port, loopback=False):
        profile = tempfile.mkdtemp(prefix="chromium-", dir=workdir)
        driver = start_chromium(profile, proxy_port, loopback)
        started.append((driver, profile))
        return driver

    yield start
    for driver, profile in started:
        try:
            driver.quit()
        finally:
            shutil.rmtree(profile, ignore_errors=True)


def wait_for_element(driver, by, value):
    """The element once it is on the page (waits at most WAIT seconds)."""
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, WAIT).until(
        expected_conditions.presence_of_element_located((by, value)))
