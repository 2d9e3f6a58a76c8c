"""Drives vosk-dashboard in headless Chromium, as a person would, inside the
filter's namespace; test_dashboard_browser prepares the namespaces and the
filter and answers the steps that need a shell (reload, blocked or not)."""
import subprocess
import sys

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

BASE, PASSWORD, FOREIGN, STEP = sys.argv[1:5]


def step(name):
    """Hands over to the shell for one check and waits for its verdict."""
    result = subprocess.run([STEP, name], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"FAIL: {name}: {result.stdout}{result.stderr}")


options = webdriver.ChromeOptions()
for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=412,900"):
    options.add_argument(argument)
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
browser.implicitly_wait(5)


def expect(condition, what):
    if not condition:
        sys.exit(f"FAIL: {what}\n{browser.page_source[:3000]}")


def wait_gone(element):
    """Waits until the element's page is replaced."""
    def gone(_):
        try:
            element.is_enabled()
            return False
        except StaleElementReferenceException:
            return True
        except WebDriverException as error:
            # Asked in the middle of the navigation, Chromium may say this
            # rather than "stale"; it means the same.
            if "does not belong to the document" in str(error.msg):
                return True
            raise
    WebDriverWait(browser, 10).until(gone)


def click(button):
    """Clicks and waits for the page that answers."""
    page = browser.find_element(By.TAG_NAME, "main")
    button.click()
    wait_gone(page)


def press(form_action, do=None):
    """Clicks the button of the form posting `do` (or the only form) to `form_action`."""
    forms = browser.find_elements(By.CSS_SELECTOR, f'form[action="{form_action}"]')
    for form in forms:
        if do is None or form.find_elements(By.CSS_SELECTOR, f'input[name="do"][value="{do}"]'):
            click(form.find_element(By.TAG_NAME, "button"))
            return
    sys.exit(f"FAIL: no form {form_action} {do}")


def form_of(do):
    return browser.find_element(By.XPATH, f'//form[input[@name="do" and @value="{do}"]]')


def notice_beside(do):
    return form_of(do).find_element(By.CLASS_NAME, "notice").text


try:
    browser.get(BASE + "/")
    browser.find_element(By.NAME, "password").send_keys(PASSWORD)
    click(browser.find_element(By.CSS_SELECTOR, "form.login button"))
    expect("Blocking is ON" in browser.find_element(By.CSS_SELECTOR, ".big").text, "logged in, the Overview shows blocking on")
    print("ok: log in")

    click(browser.find_element(By.LINK_TEXT, "Sites"))
    form = form_of("add")
    form.find_element(By.NAME, "site").send_keys("<b>Video</b>")
    form.find_element(By.NAME, "domains").send_keys("video.test")
    click(form.find_element(By.TAG_NAME, "button"))
    headings = [heading.text for heading in browser.find_elements(By.CSS_SELECTOR, "section.site h2")]
    expect(any(heading.startswith("<b>Video</b>") for heading in headings), f"the site's name shown as text: {headings}")
    expect(not browser.find_elements(By.CSS_SELECTOR, "section.site h2 b"), "the site's name became markup")
    step("video-blocked")
    print("ok: a site added on the Sites page is blocked; its markup renders as text")

    click(browser.find_element(By.LINK_TEXT, "Overview"))
    Select(form_of("pause").find_element(By.NAME, "minutes")).select_by_value("15")
    press("/action", "pause")
    expect("Blocking is OFF" in browser.find_element(By.CSS_SELECTOR, ".big").text, "paused, the Overview shows blocking off")
    step("video-allowed")
    step("pause-ends")
    browser.get(BASE + "/")
    expect("Blocking is ON" in browser.find_element(By.CSS_SELECTOR, ".big").text, "blocking came back by itself")
    step("video-blocked")
    print("ok: a pause from the Overview lets the site through; blocking returns by itself")

    lock = Select(form_of("lock").find_element(By.NAME, "for"))
    lock.select_by_value("1h")
    press("/action", "lock")
    expect("Locked until" in browser.page_source, "the Overview shows the lock")
    click(browser.find_element(By.LINK_TEXT, "Sites"))
    click(browser.find_element(By.CSS_SELECTOR, 'button[aria-label="Remove video.test"]'))
    refusal = browser.find_element(By.CSS_SELECTOR, "p.notice").text
    expect(refusal.startswith("refused: blocking is locked"), f"the refusal in words: {refusal}")
    expect(browser.find_elements(By.XPATH, '//li/span[text()="video.test"]'), "video.test left the list under the lock")
    step("video-blocked")
    print(f"ok: under the lock the remove button's refusal is shown ({refusal}); the site stays blocked")

    # A page of another origin posting to the dashboard: the cookie stays home
    # (SameSite=Strict) and the Origin is foreign, so nothing changes.
    browser.get(FOREIGN)
    button = browser.find_element(By.TAG_NAME, "button")
    button.click()
    wait_gone(button)
    expect("Blocking is" not in browser.page_source, "the cross-site form reached the Overview")
    browser.get(BASE + "/")
    expect("Blocking is ON" in browser.find_element(By.CSS_SELECTOR, ".big").text, "a cross-site form changed something")
    step("video-blocked")
    print("ok: a cross-site form post is refused and changes nothing")

    press("/logout")
    for attempt in range(5):
        browser.find_element(By.NAME, "password").send_keys(f"guess {attempt}")
        click(browser.find_element(By.CSS_SELECTOR, "form.login button"))
        expect("Wrong password" in browser.page_source, f"wrong password {attempt + 1} said so")
    browser.find_element(By.NAME, "password").send_keys(PASSWORD)
    click(browser.find_element(By.CSS_SELECTOR, "form.login button"))
    expect("Too many wrong passwords" in browser.page_source, "the right password after five wrong ones let in")
    print("ok: five wrong passwords lock the address out")
finally:
    browser.quit()
