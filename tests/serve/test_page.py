"""The page in headless Chromium against `zel serve` on the built-in simulator: it sweeps the
simulated antenna, the lowest-SWR readout lands on the antenna's resonance, a saved sweep is drawn
as the reference, and screenshots at a desktop and a phone width are saved for a person to look
at (in $ZEL_SCREENSHOT_DIR, default the build folder's serve-screenshots/).

Skipped (exit status 77, which ctest reports as skipped) when selenium, Chromium or its driver
are missing or Chromium cannot start."""
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from serve_support import ZEL, Server  # noqa: E402

SKIP = 77
# The built-in device under test: antenna:f0=14.15,r=42,q=12. At resonance it is 42 ohm resistive,
# so the lowest SWR is 50/42.
F0_MHZ = 14.15
SWR_AT_F0 = 50 / 42
START, STOP, POINTS = 13.5, 15.0, 151  # a 0.01 MHz step
STEP = (STOP - START) / (POINTS - 1)


def skip(reason):
    """Ends the program with ctest's skip status: called before any test runs."""
    print("SKIPPED: the page's browser tests: " + reason)
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    skip("python3-selenium is not installed (scripts/deps.sh installs it)")


def find(name, *more):
    for n in (name, *more):
        p = shutil.which(n) or (n if os.path.exists(n) else None)
        if p:
            return p
    return None


def start_browser(width, height, mobile=False):
    chrome = find("chromium", "chromium-browser", "google-chrome")
    driver = find("chromedriver", "/usr/lib/chromium/chromedriver")
    if not chrome or not driver:
        skip("chromium and chromium-driver are not installed (scripts/deps.sh installs them)")
    opts = webdriver.ChromeOptions()
    opts.binary_location = chrome
    for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
              f"--window-size={width},{height}", "--hide-scrollbars"):
        opts.add_argument(a)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    if mobile:
        opts.add_experimental_option("mobileEmulation", {
            "deviceMetrics": {"width": width, "height": height, "pixelRatio": 2.0}})
    try:
        return webdriver.Chrome(service=Service(driver), options=opts)
    except WebDriverException as e:
        skip("Chromium cannot start here: " + str(e).splitlines()[0])


SHOTS = os.environ.get("ZEL_SCREENSHOT_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(ZEL)), "..", "serve-screenshots")


class PageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(SHOTS, exist_ok=True)
        cls.server = Server()
        # A "before tuning" sweep of the same antenna tuned lower, saved as the reference: a
        # second server on the same data folder with another simulated antenna.
        before = Server(pre=("--dut", "antenna:f0=13.9,r=35,q=12"), data=cls.server.data)
        try:
            st, _, _ = before.post("/api/sweep", {"start_mhz": START, "stop_mhz": STOP,
                                                  "points": 76})
            assert st == 202, st
            from serve_support import EventStream
            ev = EventStream(before)
            ev.wait_for(lambda n, d: n == "sweep_end")
            ev.close()
            st, _, _ = before.post("/api/saved", {"name": "before-tuning"})
            assert st == 201, st
        finally:
            before.stop()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def run_page(self, browser, shot):
        wait = WebDriverWait(browser, 60)
        browser.get(self.server.url)
        wait.until(lambda b: b.find_element(By.ID, "link").text == "live")
        for field, value in (("start", START), ("stop", STOP), ("points", POINTS)):
            el = browser.find_element(By.ID, field)
            el.clear()
            el.send_keys(str(value))
        browser.find_element(By.ID, "sweep").click()
        # The points arrive one by one; the sweep has ended when the page says so.
        wait.until(lambda b: b.find_element(By.TAG_NAME, "body").get_attribute("data-sweep")
                   == "done")
        drawn = browser.execute_script(
            "return document.getElementById('progress').value")
        self.assertEqual(drawn, POINTS)

        readout = browser.find_element(By.ID, "minswr")
        swr = float(readout.get_attribute("data-swr"))
        mhz = float(readout.get_attribute("data-mhz"))
        self.assertLessEqual(abs(mhz - F0_MHZ), STEP * 1.01, readout.text)
        self.assertAlmostEqual(swr, SWR_AT_F0, delta=0.03, msg=readout.text)
        self.assertIn(f"{mhz:.4f} MHz", readout.text)
        self.assertRegex(browser.find_element(By.ID, "bw2").text, r"MHz, [0-9.]+ kHz")

        # The saved sweep as the reference trace.
        row = wait.until(lambda b: b.find_element(
            By.CSS_SELECTOR, "#saved tr[data-name='before-tuning'] input[type=radio]"))
        browser.execute_script("arguments[0].click()", row)
        ref = browser.find_element(By.ID, "ref-name")
        wait.until(lambda b: ref.get_attribute("data-points") == "76")
        # The SWR plot holds both traces on one frequency axis.
        series = browser.execute_script("""
            const u = document.querySelector('#plot-swr .uplot');
            return document.querySelectorAll('#plot-swr .u-legend .u-series').length;""")
        self.assertGreaterEqual(series, 3)
        browser.execute_script("window.scrollTo(0, 0)")
        browser.save_screenshot(os.path.join(SHOTS, shot))
        # The whole page as one image as well.
        height = browser.execute_script("return document.documentElement.scrollHeight")
        return height

    def test_desktop(self):
        b = start_browser(1400, 1000)
        try:
            height = self.run_page(b, "desktop-plain.png")
            # The cursor reads the point under the mouse, on every plot.
            plot = b.find_element(By.CSS_SELECTOR, "#plot-swr .u-over")
            ActionChains(b).move_to_element_with_offset(plot, 10, 0).perform()
            cursor = b.find_element(By.ID, "cursor")
            WebDriverWait(b, 10).until(lambda _: "Frequency" in cursor.text)
            f = float(re.search(r"Frequency\s+([0-9.]+) MHz", cursor.text).group(1))
            self.assertTrue(START < f < STOP, cursor.text)
            self.assertRegex(cursor.text, r"SWR\s+[0-9.]+")
            # Hold the frequency under the cursor: the page shows it on, then off.
            b.find_element(By.ID, "hold").click()
            gen = b.find_element(By.ID, "hold-state")
            WebDriverWait(b, 10).until(lambda _: "GENERATOR ON" in gen.text)
            self.assertIn(f"{f:.4f}", gen.text)
            b.save_screenshot(os.path.join(SHOTS, "desktop.png"))
            b.find_element(By.ID, "hold-off").click()
            WebDriverWait(b, 10).until(lambda _: gen.text == "generator off")
            # The picture of the plots is put together without a script error.
            b.find_element(By.ID, "dl-png").click()
            time.sleep(0.5)
            errors = [e["message"] for e in b.get_log("browser") if e["level"] == "SEVERE"]
            self.assertEqual(errors, [])
            b.set_window_size(1400, height + 120)
            b.save_screenshot(os.path.join(SHOTS, "desktop-full.png"))
        finally:
            b.quit()

    def test_phone(self):
        b = start_browser(390, 844, mobile=True)
        try:
            self.run_page(b, "phone.png")
            # Nothing wider than the phone's screen.
            overflow = b.execute_script(
                "return document.documentElement.scrollWidth - window.innerWidth")
            self.assertLessEqual(overflow, 0)
            b.execute_script("document.getElementById('plots').scrollIntoView()")
            b.save_screenshot(os.path.join(SHOTS, "phone-plots.png"))
        finally:
            b.quit()

    def test_page_with_a_token(self):
        with tempfile.NamedTemporaryFile("w", suffix=".token") as f:
            f.write("page-token-0123456789abcdef\n")
            f.flush()
            server = Server(args=("--token-file", f.name))
            b = start_browser(1000, 800)
            try:
                # The address as zel serve prints it when a token is required.
                self.assertTrue(server.url.endswith("/#token=page-token-0123456789abcdef"))
                b.get(server.url)
                wait = WebDriverWait(b, 30)
                wait.until(lambda d: d.find_element(By.ID, "link").text == "live")
                wait.until(lambda d: "standard analyzer" in d.find_element(By.ID, "instrument").text)
                # Without it the page says what is wrong.
                b.execute_script("sessionStorage.clear()")
                b.get(server.url.split("#")[0] + "?reload")
                wait.until(lambda d: "token" in d.find_element(By.ID, "message").text)
            finally:
                b.quit()
                server.stop()


if __name__ == "__main__":
    # Chromium is tried once before the tests, so that a machine where it cannot start skips them
    # all with one message.
    start_browser(400, 300).quit()
    unittest.main()
