"""Concurrent requests through Apache on one counter lose no count and no log entry.

usage: test_load.py PROGRAM [MPM CGI]
"""

import concurrent.futures
import os
import shutil
import sys
import tempfile
import time

import lcserver as lc

REQUESTS = 200
CONCURRENCY = 16
START = 1000
OLD_ENTRIES = 150  # with the new ones more than a log keeps
MAX_ENTRIES = 300
TIME_LIMIT = 120.0


def old_log():
    lines = [b"2000/05/01 13:%02d old%d 192.0.2.7 - Old/1.0" % (i % 60, i) for i in range(OLD_ENTRIES)]
    return lc.LOG_HEADER + b"".join(line + b"\r\n" for line in lines), lines


def expected_pictures(program, first, last, style=("1",)):
    """The program's own picture of every count in first..last, drawn in a scratch install."""
    scratch = tempfile.mkdtemp(prefix="lumicount-render.")
    try:
        copy = os.path.join(scratch, "lumicount")
        shutil.copy(program, copy)
        pictures = {}
        for count in range(first, last + 1):
            with open(os.path.join(scratch, "load.ini"), "w") as f:
                f.write(str(count - 1))
            pictures[lc.console_run(copy, ["load", *style])[len(lc.IMAGE_HEADER):]] = count
        return pictures
    finally:
        shutil.rmtree(scratch)


def main():
    program = sys.argv[1]
    mpm = sys.argv[2] if len(sys.argv) > 2 else "event"
    cgi = sys.argv[3] if len(sys.argv) > 3 else "cgid"
    res = lc.Results()
    pictures = expected_pictures(program, START + 1, START + REQUESTS)
    res.check("every count has its own picture", None if len(pictures) == REQUESTS else f"{len(pictures)} distinct")
    with lc.Apache(program, mpm, cgi) as site:
        site.set_counter("load", str(START))
        log, old_lines = old_log()
        (site.cgi_bin / "lctlog.txt").write_bytes(log)
        os.chown(site.cgi_bin / "lctlog.txt", *lc.server_ids())

        began = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(CONCURRENCY) as pool:
            answers = list(pool.map(lambda i: site.get("/cgi-bin/lumicount?load+1", f"load-{i}"), range(REQUESTS)))
        elapsed = time.monotonic() - began
        print(f"{REQUESTS} requests at concurrency {CONCURRENCY}: {elapsed:.2f} s, {REQUESTS / elapsed:.0f} per second")
        res.check("finished in time", None if elapsed < TIME_LIMIT else f"{elapsed:.0f} s")

        bad = [(s, b[:60]) for s, _, b in answers if s != 200]
        res.check("every answer is 200", None if not bad else f"{len(bad)} failed, first {bad[0]}")
        served = sorted(pictures.get(b, -1) for _, _, b in answers)
        res.check("each count 1001..1200 served exactly once",
                  None if served == list(range(START + 1, START + REQUESTS + 1))
                  else f"unknown pictures {served.count(-1)}, duplicates {len(served) - len(set(served))}")
        res.check("counter advanced by exactly 200",
                  None if site.read_counter("load") == str(START + REQUESTS).encode()
                  else f"counter holds {site.read_counter('load')!r}")

        data = site.log_bytes()
        res.check("log well-formed", lc.log_problems(data))
        entries = lc.log_entries(data)
        agents = sorted(int(e.rsplit(b" - load-", 1)[1]) for e in entries[:REQUESTS] if b" - load-" in e)
        res.check("200 new entries on top, one per request",
                  None if agents == list(range(REQUESTS)) else f"{len(agents)} new entries, {len(set(agents))} distinct")
        kept = old_lines[:MAX_ENTRIES - REQUESTS]
        res.check("newest old entries kept below, in order, up to 300 in all",
                  None if entries[REQUESTS:] == kept else f"{len(entries) - REQUESTS} old entries left")
        if res.failed:
            print(site.error_log())
    res.finish()


if __name__ == "__main__":
    main()
