#!/usr/bin/python3
"""The line dashboard's page in headless Chromium, served by corvane-cli
dashboard from a SQLite line database that real upgrade jobs on stbsim boxes
filled: the station tiles and the failure bar show the jobs' figures, a box
that ends while the page is open shows up without a reload, and a screenshot
at 1366x768 is kept in the build folder (and, with
CORVANE_UPDATE_SCREENSHOT=1, as docs/dashboard.png).

Usage: dashboard_page_test.py CORVANE_CLI STBSIM ARTEFACT_DIR SOURCE_DIR
Exit status 77 (skipped) when Chromium, its driver or Selenium are missing.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import expect, wait_for  # noqa: E402
from stbsim_wire import private_home  # noqa: E402

CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
FAST = ["--pause-scale", "0.1"]
CLI = STBSIM = WORK = None
PROCS = []


def skip_without_browser():
    missing = [p for p in (CHROMIUM, DRIVER) if not os.access(p, os.X_OK)]
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append("python3-selenium")
    if missing:
        print("SKIP: not installed: " + ", ".join(missing))
        sys.exit(77)


class Box:
    """One stbsim program playing a base box that resets itself when idle."""

    def __init__(self, name, *extra):
        self.link = os.path.join(WORK, "tty-" + name)
        args = [STBSIM, "--platform", "0", "--flash", os.path.join(WORK, name + ".flash"), "--flash-size", "128K",
                "--link", self.link, "--client-ready", "20", "--burn-ready", "20", "--burn-ms", "100",
                "--auto-reset", "200"] + list(extra)
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        PROCS.append(self.proc)
        expect("port" in self.proc.stdout.readline(), "stbsim %s did not start" % name)


def upgrade(db, station, boxes, image):
    args = [CLI, "upgrade", "--db", db, "--station", station, "--project-type", "0"] + FAST
    for b in boxes:
        args += ["--port", b.link]
    run = subprocess.run(args + [image], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240)
    return run.returncode, run.stdout.decode("utf-8", "replace")


def start_dashboard(db):
    out = os.path.join(WORK, "dashboard.out")
    proc = subprocess.Popen([CLI, "dashboard", "--db", db, "--listen", "127.0.0.1:0"], stdout=open(out, "wb"),
                            stderr=subprocess.STDOUT)
    PROCS.append(proc)

    def url():
        with open(out, errors="replace") as f:
            m = re.search(r"dashboard: (http://\S+/)", f.read())
        expect(proc.poll() is None, "the dashboard exited: %s" % open(out, errors="replace").read())
        return m.group(1) if m else None
    wait_for(url, "the dashboard's address")
    return url()


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    opts.add_argument("--headless=new")
    opts.add_argument("--disable-gpu")
    opts.add_argument("--disable-dev-shm-usage")
    if os.geteuid() == 0:
        opts.add_argument("--no-sandbox")  # Chromium refuses its sandbox as root
    driver = webdriver.Chrome(service=Service(DRIVER), options=opts)
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1366, "height": 768, "deviceScaleFactor": 1, "mobile": False})
    return driver


def page_figures(driver):
    """What the page shows: per station [done, failed], failures by step, job rows."""
    return driver.execute_script("""
        const tiles = {};
        for (const t of document.querySelectorAll('.tile[data-station]'))
            tiles[t.dataset.station] = [t.querySelector('.done').textContent, t.querySelector('.failed').textContent];
        const bars = {};
        for (const b of document.querySelectorAll('#failures .bar[data-step]')) bars[b.dataset.step] = b.dataset.count;
        const rows = Array.from(document.querySelectorAll('#jobs tbody tr[data-id]'),
                                r => [r.querySelector('.station').textContent, r.dataset.outcome]);
        return {tiles: tiles, bars: bars, rows: rows, marker: window.reloadMarker || null};""")


def wait_page(driver, wanted, what):
    seen = {}

    def check():
        seen.update(page_figures(driver))
        return all(seen[k] == v for k, v in wanted.items())
    try:
        wait_for(check, what, limit=60)
    except SystemExit:
        raise SystemExit("FAIL: %s: the page shows %r" % (what, seen))


def screenshot(driver, artefacts, source):
    path = os.path.join(artefacts, "dashboard.png")
    driver.save_screenshot(path)
    expect(os.path.getsize(path) > 10000, "the screenshot is empty")
    if os.environ.get("CORVANE_UPDATE_SCREENSHOT") == "1":
        shutil.copyfile(path, os.path.join(source, "docs", "dashboard.png"))
    print("screenshot: " + path)


def run(artefacts, source):
    image = os.path.join(WORK, "app.bin")
    with open(image, "wb") as f:
        f.write(bytes(random.Random(7).getrandbits(8) for _ in range(65536)))
    db = "sqlite:" + os.path.join(WORK, "line.db")
    rc, out = upgrade(db, "st-a", [Box("a1"), Box("a2")], image)
    expect(rc == 0, "st-a: exit %d\n%s" % (rc, out[-2000:]))
    rc, out = upgrade(db, "st-b", [Box("b1"), Box("b2", "--fault", "burn:at=40")], image)
    expect(rc == 1, "st-b with a faulty box: exit %d, wanted 1\n%s" % (rc, out[-2000:]))

    url = start_dashboard(db)
    driver = browser()
    try:
        driver.get(url)
        wait_page(driver, {"tiles": {"st-a": ["2", "0"], "st-b": ["1", "1"]}, "bars": {"burn": "1"}},
                  "the first four boxes")
        expect(len(page_figures(driver)["rows"]) == 4, "rows: %r" % page_figures(driver)["rows"])
        driver.execute_script("window.reloadMarker = 'kept';")

        rc, out = upgrade(db, "st-a", [Box("a3")], image)
        expect(rc == 0, "the fifth box: exit %d\n%s" % (rc, out[-2000:]))
        wait_page(driver, {"tiles": {"st-a": ["3", "0"], "st-b": ["1", "1"]}, "marker": "kept"},
                  "the fifth box without a reload")
        rows = page_figures(driver)["rows"]
        expect(len(rows) == 5 and rows[0] == ["st-a", "ok"], "rows after the fifth box: %r" % rows)
        screenshot(driver, artefacts, source)
    finally:
        driver.quit()


def main():
    global CLI, STBSIM, WORK
    skip_without_browser()
    CLI, STBSIM, artefacts, source = sys.argv[1:5]
    WORK = tempfile.mkdtemp(prefix="dashboard-page-")
    private_home(WORK, STBSIM)
    try:
        run(artefacts, source)
    finally:
        for p in PROCS:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(WORK, ignore_errors=True)
    print("PASS")


if __name__ == "__main__":
    main()
