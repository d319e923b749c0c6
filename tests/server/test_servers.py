"""The program under web servers that leave the query's words to it: lighttpd
(mod_cgi), nginx with fcgiwrap and busybox httpd, each as the demo sets it up, and
resident (FastCGI) under Apache's mod_fcgid, lighttpd's mod_fastcgi and nginx with
spawn-fcgi, where one process answers many requests.

usage: test_servers.py PROGRAM GIF_PROBE
"""

import concurrent.futures
import sys

import lcserver as lc
from test_requests import AGENT, INFO_START, check_log_top, warning

# server, whether it sends the no-cache headers (busybox httpd cannot add headers)
SERVERS = [("lighttpd", True), ("nginx", True), ("busybox", False),
           ("apache-fcgid", True), ("lighttpd-fastcgi", True), ("nginx-fastcgi", True)]

# query, counter logged as argument 1 (None: no arguments), expected answer:
# ("picture", style arguments, colour table size, transparent index) or (body rule, body)
CASES = [
    ("hits+1", "hits", ("picture", ["1"], 256, 0)),
    ("h%69ts+%33", "hits", ("picture", ["3"], 32, -1)),
    ("hits+a=b", None, ("prefix", INFO_START)),
    ("nosuch", "nosuch", ("exact", warning(b"nosuch"))),
]
HITS = "41"
LOAD_START = 1000
LOAD_REQUESTS = 60
LOAD_CONCURRENCY = 8


class Site(lc.Apache):
    """The Apache suites' site, served by another server through lc_run_server."""

    def __init__(self, program, server):
        super().__init__(program)
        self.server = server

    def _conf_script(self):
        return f'lc_write_server_conf {self.server} "{self.dir}" {self.port}'

    def _command(self):
        return ["bash", "-c", f'source "{lc.HERE}/apache_conf.sh" && '
                f'lc_run_server {self.server} "{self.dir}" {self.port}']


def answer_problem(site, probe, query, name, expected):
    """Why the answer to query is wrong, or None; a picture must be the program's own."""
    hits = site.read_counter("hits")
    if expected[0] == "picture":
        rendered = lc.console_run(site.cgi_bin / "lumicount", [name] + expected[1])
    status, headers, body = site.get(f"/cgi-bin/lumicount?{query}", AGENT)
    if expected[0] == "picture":
        count = int(hits) + 1
        wanted = (lc.image_width(count), 18) + expected[2:]
        if status != 200 or headers.get("content-type") != "image/gif" or lc.IMAGE_HEADER + body != rendered:
            return f"status {status}, type {headers.get('content-type')}, {len(body)} bytes unlike the program's own"
        if lc.gif_probe(probe, body) != wanted:
            return f"decoded {lc.gif_probe(probe, body)}, expected {wanted}"
        if site.read_counter("hits") != str(count).encode():
            return f"counter holds {site.read_counter('hits')!r}, expected {count}"
        return None
    rule, text = expected
    if status != 200 or headers.get("content-type") != "text/html":
        return f"status {status}, type {headers.get('content-type')}"
    if (body != text) if rule == "exact" else not body.startswith(text):
        return f"body {body[:120]!r}"
    return None if site.read_counter("hits") == hits else "the counter changed"


def load_problem(site):
    """Concurrent requests on a fresh log: every one counted and logged once."""
    site.set_counter("load", str(LOAD_START))
    (site.cgi_bin / "lctlog.txt").unlink()
    with concurrent.futures.ThreadPoolExecutor(LOAD_CONCURRENCY) as pool:
        answers = list(pool.map(lambda i: site.get("/cgi-bin/lumicount?load+1", f"load-{i}"), range(LOAD_REQUESTS)))
    bad = [(s, h.get("content-type")) for s, h, _ in answers if s != 200 or h.get("content-type") != "image/gif"]
    if bad:
        return f"{len(bad)} answers not a picture, first {bad[0]}"
    if site.read_counter("load") != str(LOAD_START + LOAD_REQUESTS).encode():
        return f"counter holds {site.read_counter('load')!r}"
    data = site.log_bytes()
    entries = lc.log_entries(data)
    agents = sorted(int(e.rsplit(b" - load-", 1)[1]) for e in entries if b" load 127.0.0.1 - load-" in e)
    if agents != list(range(LOAD_REQUESTS)) or len(entries) != LOAD_REQUESTS:
        return f"{len(entries)} log entries, {len(set(agents))} distinct requests among them"
    return lc.log_problems(data)


def main():
    program, probe = sys.argv[1:3]
    res = lc.Results()
    for server, no_cache in SERVERS:
        with Site(program, server) as site:
            site.set_counter("hits", HITS)
            for query, name, expected in CASES:
                res.check(f"{server} ?{query} answer", answer_problem(site, probe, query, name, expected))
                res.check(f"{server} ?{query} log entry", check_log_top(site, name))
            res.check(f"{server} {LOAD_REQUESTS} requests at concurrency {LOAD_CONCURRENCY}", load_problem(site))
            if no_cache:
                res.check(f"{server} no-cache headers", lc.no_cache_problems(site.get("/cgi-bin/lumicount?hits")[1]))
            if res.failed:
                print(site.error_log())
    res.finish()


if __name__ == "__main__":
    main()
