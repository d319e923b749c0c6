"""Headless Chromium loads the demo page from Apache and decodes all four counters.

usage: test_browser.py PROGRAM [SCREENSHOT.png]
"""

import re
import shutil
import subprocess
import sys
import tempfile

import lcserver as lc

CHROMIUM = "/usr/bin/chromium"
BROWSER_TIMEOUT = 90
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-dev-shm-usage", "--virtual-time-budget=10000"]
# name and start value of each counter on the demo page, as apache_conf.sh creates them
DEMO = [("demo0", 0), ("demo1", 41), ("demo2", 1233), ("demo3", 99997)]
REPORT_LINE = re.compile(r"(demo\d) complete=(\w+) size=(\d+)x(\d+)")


def chromium(url, *extra):
    profile = tempfile.mkdtemp(prefix="lumicount-chromium.")
    try:
        return subprocess.run([CHROMIUM] + FLAGS + [f"--user-data-dir={profile}"] + list(extra) + [url],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=BROWSER_TIMEOUT)
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def main():
    program = sys.argv[1]
    res = lc.Results()
    with lc.Apache(program) as site:
        url = f"http://127.0.0.1:{site.port}/"
        page = chromium(url, "--dump-dom")
        report = {m[0]: (m[1], int(m[2]), int(m[3])) for m in REPORT_LINE.findall(page.stdout)}
        res.check("page reported on its pictures",
                  None if report else f"no report in the page; chromium said: {page.stderr[-400:]}")
        for name, start in DEMO:
            count = int(site.read_counter(name))
            got = report.get(name)
            expected = ("true", lc.image_width(count), 18)
            res.check(f"{name} decoded at its natural size", None if got == expected else f"{got}, expected {expected}")
            res.check(f"{name} advanced by the page load", None if count > start else f"still {count}")
        if len(sys.argv) > 2:
            chromium(url, f"--screenshot={sys.argv[2]}", "--window-size=900,700")
        if res.failed:
            print(site.error_log())
    res.finish()


if __name__ == "__main__":
    main()
