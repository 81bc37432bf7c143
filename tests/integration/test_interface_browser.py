"""The web interface in a real browser (headless Chromium through the
proxy): log in, follow the menu, read pages, log out."""
from selenium.webdriver.common.by import By

from browser import chromium, wait_for_element  # noqa: F401 (pytest fixture)
from test_interface_login import PASSWORD, USER, login_config

FORM = "Web interface login"


def test_administrator_logs_in_reads_pages_and_logs_out(daemon_factory, workdir, chromium):
    d = daemon_factory(config=login_config(workdir)).start()
    browser = chromium(d.port)

    browser.get("http://kestrivan/")
    assert FORM in browser.page_source
    browser.find_element(By.NAME, "username").send_keys(USER)
    browser.find_element(By.NAME, "password").send_keys(PASSWORD)
    browser.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
    wait_for_element(browser, By.LINK_TEXT, "Active connections")
    assert browser.title.startswith("Kestrivan ") and "web interface for" in browser.title
    # The session cookie is out of reach of scripts.
    assert browser.execute_script("return document.cookie") == ""
    assert [c["name"] for c in browser.get_cookies()] == ["login"]
    assert browser.get_cookies()[0]["httpOnly"] is True

    # The menu leads to the pages, with the session.
    browser.find_element(By.LINK_TEXT, "Encrypt Password").click()
    wait_for_element(browser, By.NAME, "scode1")
    assert browser.current_url == "http://kestrivan/password"
    browser.find_element(By.NAME, "active").send_keys("Key_1")
    browser.find_element(By.NAME, "scode").send_keys("Secret")
    browser.find_element(By.NAME, "scode1").send_keys("Secret")
    browser.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
    cell = wait_for_element(browser, By.CSS_SELECTOR, "tr.listeven td")
    assert len(cell.text) == 16  # the encrypted password

    browser.find_element(By.LINK_TEXT, "Show LDAP Groups").click()
    wait_for_element(browser, By.NAME, "upn")
    assert browser.current_url == "http://kestrivan/ldap"

    browser.get("http://kestrivan/userstats")
    heads = [e.text for e in browser.find_elements(By.CSS_SELECTOR, "td.listhead")]
    assert heads == ["requests", "cache", "cache refresh", "hosts", "mimes"]

    # Log out: back to the form, and the pages stay closed.
    browser.get("http://kestrivan/")
    browser.find_element(By.LINK_TEXT, "Log out").click()
    wait_for_element(browser, By.NAME, "username")
    assert "You are logged out." in browser.page_source
    assert browser.get_cookies() == []
    browser.get("http://kestrivan/ldap")
    assert FORM in browser.page_source and "Show LDAP Groups" not in browser.page_source
