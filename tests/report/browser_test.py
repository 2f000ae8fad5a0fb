#!/usr/bin/python3
"""Opens a generated report in headless Chromium and checks what a reader does with it:
hiding and showing a log, hiding one class of rows, markup shown as text, and the order of
the day groups and rows.

    browser_test.py <report_sample> <work folder>

Exit code 77 (skipped) when Selenium or Chromium is not installed."""
import os
import subprocess
import sys

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("SKIP: python3-selenium is not installed")
    sys.exit(77)

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def main():
    sample, work = sys.argv[1], sys.argv[2]
    if not (os.path.exists(CHROMIUM) and os.path.exists(DRIVER)):
        print("SKIP: chromium and chromium-driver are not installed")
        sys.exit(77)
    os.makedirs(work, exist_ok=True)
    report = os.path.abspath(os.path.join(work, "sample_report.html"))
    subprocess.run([sample, report], check=True)

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,1600"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    try:
        driver.get("file://" + report)
        run_checks(driver)
        driver.save_screenshot(os.path.join(work, "sample_report.png"))
    finally:
        driver.quit()
    print("OK")


def section(driver, number):
    """The log's heading and its sources, summary and event table (None when missing)."""
    head = driver.find_element(By.ID, "log%d" % number)
    parts = {}
    for name in ("log_sources", "log_summary", "eventlog_table"):
        found = head.find_elements(
            By.XPATH, "following-sibling::*[self::h2 or contains(@class,'%s')][1]" % name)
        parts[name] = found[0] if found and found[0].tag_name != "h2" else None
    return head, parts


def run_checks(driver):
    check(driver.title == "Syslog Report", "the title is %r" % driver.title)
    # Logs are numbered in list order (Empty, System, Security, Application) and shown in
    # reverse order.
    ids = [h.get_attribute("id") for h in driver.find_elements(By.CSS_SELECTOR, "h2[id^=log]")]
    check(ids == ["log4", "log3", "log2", "log1"], "sections in the order %s" % ids)

    # << hides the sources, summary and event table of its log only; >> shows them again.
    head, parts = section(driver, 4)
    ctrl = head.find_element(By.CLASS_NAME, "logctrl")
    check(ctrl.text == "<<", "the control reads %r" % ctrl.text)
    other = section(driver, 2)[1]["eventlog_table"]
    ctrl.click()
    check(ctrl.text == ">>", "after a click the control reads %r" % ctrl.text)
    check(all(not p.is_displayed() for p in parts.values()), "a part of log 4 stays visible")
    check(other.is_displayed(), "hiding log 4 hid the table of log 2")
    ctrl.click()
    check(ctrl.text == "<<" and all(p.is_displayed() for p in parts.values()),
          "showing log 4 again failed")

    # The empty log has no event table: hiding it leaves the other logs alone.
    empty_head, empty_parts = section(driver, 1)
    check(empty_parts["eventlog_table"] is None, "the empty log has an event table")
    empty_head.find_element(By.CLASS_NAME, "logctrl").click()
    check(all(section(driver, n)[1]["eventlog_table"].is_displayed() for n in (2, 3, 4)),
          "hiding the empty log hid another log's table")

    # Unchecking a class hides exactly that class's rows of that log.
    table = parts["eventlog_table"]
    rows = table.find_elements(By.TAG_NAME, "tr")
    errors = parts["log_summary"].find_element(By.XPATH, ".//input[contains(@onclick,'err_ev')]")
    errors.click()
    for row in rows:
        hidden = row.get_attribute("class") == "err_ev"
        check(row.is_displayed() != hidden, "row %r after unchecking Errors" % row.text)
    errors.click()
    check(all(r.is_displayed() for r in rows), "rechecking Errors did not show every row")

    # Markup from a source and a description is text, not elements.
    check(driver.title == "Syslog Report", "a description ran a script")
    check(not driver.find_elements(By.CSS_SELECTOR, "#content img, #content i, td b"),
          "markup from an event became an element")
    cells = [c.text for c in table.find_elements(By.TAG_NAME, "td")]
    check("<b>Injected</b>" in cells, "the source is not shown as text")
    check(any("<img src=x onerror=" in c and "<i>text</i>" in c for c in cells),
          "the description is not shown as text")

    # Day groups and rows: oldest first, one group row before each day's rows.
    texts = [r.text for r in rows[1:]]
    groups = [i for i, r in enumerate(rows[1:]) if r.get_attribute("class") == "ev_group"]
    check(texts[groups[0]] == "Wednesday, December 07, 2016" and
          texts[groups[1]] == "Thursday, December 08, 2016" and groups[0] == 0,
          "day groups %s" % [texts[g] for g in groups])
    times = [r.find_elements(By.TAG_NAME, "td")[1].text for r in rows[1:]
             if r.get_attribute("class") != "ev_group"]
    check(times == ["01:00:00", "01:30:00", "02:00:00", "00:01:00", "00:02:00"],
          "row times %s" % times)


if __name__ == "__main__":
    main()
