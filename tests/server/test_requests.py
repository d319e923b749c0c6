"""Requests through Apache: query words as arguments, answers, headers, the log.

usage: test_requests.py PROGRAM GIF_PROBE MPM CGI
"""

import sys

import lcserver as lc

INFO_START = b'<HTML><BODY>\n<FONT SIZE=+2>"lumicount.exe"</FONT> version 2.1<BR><BR>\n'
AGENT = "lumicount-test/1.0 (server suite)"


def warning(name):
    return (b"<HTML><BODY>\n<FONT SIZE=+1>Warning: parameter \"" + name +
            b"\".<BR>What do you mean by that?</FONT>\n</BODY></HTML>\n")


# query, counter it names (or None), style arguments for the console render, expected answer
IMAGE_CASES = [
    ("hits+1", "hits", ["1"], (256, 0)),
    ("hits", "hits", [], (128, 0)),
    ("hits+2", "hits", ["2"], (32, 0)),
    ("hits+3", "hits", ["3"], (32, -1)),
    ("big+1", "big", ["1"], (256, 0)),
    ("big+1", "big", ["1"], (256, 0)),  # nine nines wrap to 0
    ("hits+01", "hits", ["01"], (128, 0)),
]
# counter start values
COUNTERS = {"hits": "41", "big": "999999998"}

# query, status, content type, exact body or body prefix, name logged as argument 1
TEXT_CASES = [
    ("a=b", 200, "text/html", ("prefix", INFO_START), None),
    ("", 200, "text/html", ("prefix", INFO_START), None),
    ("hits+", 200, "text/html", ("prefix", INFO_START), "hits"),
    ("hits+1+x", 200, "text/html", ("prefix", INFO_START), "hits"),
    ("hits=1", 200, "text/html", ("prefix", INFO_START), None),
    ("nosuch", 200, "text/html", ("exact", warning(b"nosuch")), "nosuch"),
    ("nosuch+2", 200, "text/html", ("exact", warning(b"nosuch")), "nosuch"),
    ("no%20such", 200, "text/html", ("exact", warning(b"no such")), "no such"),
    ("a%2Bb+1", 200, "text/html", ("exact", warning(b"a+b")), "a+b"),
    # A refused name answers nothing, which Apache turns into a server error.
    ("a%2Eb", 500, None, None, "a.b"),
    # Apache puts a backslash before shell metacharacters, so such names are refused;
    # the log doubles each backslash.
    ("%3Cb%3Ex", 500, None, None, "\\\\<b\\\\>x"),
]


def check_log_top(site, name):
    """Problem with the newest log entry for a request naming name (None: no arguments)."""
    data = site.log_bytes()
    problem = lc.log_problems(data)
    if problem:
        return problem
    entries = lc.log_entries(data)
    if not entries:
        return "log has no entry"
    top = entries[0]
    if not lc.ENTRY_TIME.match(top):
        return f"entry does not start with the time: {top!r}"
    expected = (name.encode() + b" " if name is not None else b"") + b"127.0.0.1 - " + AGENT.encode()
    if top[17:] != expected:
        return f"entry is {top!r}, expected time then {expected!r}"
    return None


def image_case(res, site, probe, query, name, style_args, expected):
    before = int(site.read_counter(name))
    rendered = lc.console_run(site.cgi_bin / "lumicount", [name] + style_args)
    status, headers, body = site.get(f"/cgi-bin/lumicount?{query}", AGENT)
    problem = None
    info = lc.gif_probe(probe, body)
    count = (before + 1) % 1000000000
    if status != 200 or headers.get("content-type") != "image/gif":
        problem = f"status {status}, type {headers.get('content-type')}"
    elif lc.IMAGE_HEADER + body != rendered:
        problem = "picture differs from the program's own output for the next value"
    elif info != (lc.image_width(count), 18) + expected:
        problem = f"decoded {info}, expected {(lc.image_width(count), 18) + expected}"
    elif site.read_counter(name) != str(count).encode():
        problem = f"counter holds {site.read_counter(name)!r}, expected {count}"
    res.check(f"?{query} picture", problem)
    res.check(f"?{query} no-cache headers", lc.no_cache_problems(headers))
    res.check(f"?{query} log entry", check_log_top(site, name))


def text_case(res, site, query, status, ctype, body_rule, logged):
    counters = {n: site.read_counter(n) for n in COUNTERS}
    got_status, headers, body = site.get("/cgi-bin/lumicount" + (f"?{query}" if query else ""), AGENT)
    problem = None
    if got_status != status:
        problem = f"status {got_status}, expected {status}"
    elif ctype is not None and headers.get("content-type") != ctype:
        problem = f"content type {headers.get('content-type')}"
    elif body_rule and body_rule[0] == "exact" and body != body_rule[1]:
        problem = f"body {body!r}"
    elif body_rule and body_rule[0] == "prefix" and not (body.startswith(body_rule[1]) and body.endswith(b"</BODY></HTML>\n")):
        problem = f"body {body[:120]!r}"
    elif {n: site.read_counter(n) for n in COUNTERS} != counters:
        problem = "a counter changed"
    res.check(f"?{query} answer", problem)
    res.check(f"?{query} no-cache headers", lc.no_cache_problems(headers))
    res.check(f"?{query} log entry", check_log_top(site, logged))


def main():
    program, probe, mpm, cgi = sys.argv[1:5]
    res = lc.Results()
    with lc.Apache(program, mpm, cgi) as site:
        for name, value in COUNTERS.items():
            site.set_counter(name, value)
        for query, name, style_args, expected in IMAGE_CASES:
            image_case(res, site, probe, query, name, style_args, expected)
        for case in TEXT_CASES:
            text_case(res, site, *case)
        entries = len(lc.log_entries(site.log_bytes()))
        res.check("one log entry per request", None if entries == len(IMAGE_CASES) + len(TEXT_CASES)
                  else f"{entries} entries after {len(IMAGE_CASES) + len(TEXT_CASES)} requests")
        if res.failed:
            print(site.error_log())
    res.finish()


if __name__ == "__main__":
    main()
