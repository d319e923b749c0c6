#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz target into tests/fuzz/corpus/.

Each seed is one run in the target's input layout (see fuzz_run.cpp): the
shape byte, the files byte, then argument 0, arguments 1 to 3, QUERY_STRING,
REMOTE_HOST, REMOTE_ADDR, HTTP_USER_AGENT and the counter file separated by
zero bytes, and the old log as the rest.
"""
import os
import shutil

ABSENT, FILE, DIRECTORY = 0, 1, 2
HEADER = b"lumicount.exe version 2.1 log file\r\n\r\n"
LOG_LIMIT = 49994
WEB = {"addr": b"192.0.2.7", "agent": b"TestAgent/1.0"}


def seed(args=(), argv0=b"lumicount", no_argv0=False, gateway=False, query=None, host=None, addr=None,
         agent=None, counter=None, counter_kind=None, log=None, log_kind=None):
    shape = len(args) | (no_argv0 << 2) | (gateway << 3) | ((query is not None) << 4)
    shape |= ((host is not None) << 5) | ((addr is not None) << 6) | ((agent is not None) << 7)
    if counter_kind is None:
        counter_kind = ABSENT if counter is None else FILE
    if log_kind is None:
        log_kind = ABSENT if log is None else FILE
    files = counter_kind | (log_kind << 2)
    padded = list(args) + [b""] * (3 - len(args))
    fields = [argv0] + padded + [query or b"", host or b"", addr or b"", agent or b"", counter or b""]
    assert all(b"\0" not in f for f in fields)
    return bytes([shape, files]) + b"\0".join(fields) + b"\0" + (log or b"")


def entries(count, width):
    """count old entries of exactly width characters each, line end included."""
    line = b"2000/05/01 13:07 hits 192.0.2.7 - "
    return b"".join(line + b"a" * (width - len(line) - 1) + b"\r\n" for _ in range(count))


def web(args, **more):
    return seed(args, **WEB, **more)


# Counter values of the end-to-end table, each a web request for "hits".
COUNTER_VALUES = {
    "empty": b"",
    "41": b"41",
    "crlf": b"41\r\n",
    "lf": b"41\n",
    "cr-inside": b"4\r1",
    "1a-inside": b"41\x1a99",
    "below-wrap": b"999999998",
    "nine-nines": b"999999999",
    "negative": b"-5",
    "letter": b"7a",
    "2pow32-plus-1": b"4294967297",
    "2pow31": b"2147483648",
    "256-chars": b"0" * 255 + b"x",
}

SEEDS = {
    **{"count-" + name: web([b"hits"], counter=value) for name, value in COUNTER_VALUES.items()},
    "count-subdirectory": web([b"dir/name"], counter=b"5"),
    # Styles, the console, the warnings, the pages and the refusals.
    "style-1": web([b"hits", b"1"], counter=b"887"),
    "style-2-console": seed([b"hits", b"2"], counter=b"9"),
    "style-3-host-only": seed([b"hits", b"3"], host=b"h", counter=b"1233"),
    "warning-web": web([b"a'<>&\"b"]),
    "warning-console": seed([b"nothere"], counter_kind=DIRECTORY),
    "information-four-args": web([b"hits", b"1", b"x"], counter=b"5", log=HEADER),
    "banner": seed([]),
    "no-argument-0": seed(no_argv0=True, addr=b""),
    "refused-dot": web([b"a.b"]),
    "refused-236": web([b"n" * 236]),
    "windows-argv0": web([b"hits"], argv0=b"C:\\web\\cgi\\lumicount.exe", counter=b"3"),
    "drive-argv0": web([b"hits"], argv0=b"D:lumicount.exe", counter=b"3", log=HEADER),
    "long-argv0": web([b"hits"], argv0=b"x" * 300 + b"/lumicount", counter=b"3"),
    "counter-path-too-long": seed([b"n" * 235], argv0=b"./" * 11 + b"lumicount", counter=b"7"),
    # The access log.
    "log-failure": web([b"hits"], counter=b"5", log_kind=DIRECTORY),
    "log-300-entries": web([b"hits"], counter=b"5", log=HEADER + entries(320, 60)),
    "log-at-char-limit": web([b"hits"], counter=b"5", log=HEADER + entries(280, 180)),
    # A log an earlier request cut at exactly 49,994 characters: its last line has no line end.
    "log-cut-at-limit": web([], log=HEADER + entries(254, 196) + b"c" * (LOG_LIMIT - 36 - 254 * 196)),
    "log-cr-1a-no-line-end": web([b"hits"], counter=b"5",
                                 log=b"header\rline\r\n\r\none\rtwo\r\r\nno end\x1aafter 0x1A\r\n"),
    "log-one-line": web([b"hits"], counter=b"5", log=b"only a header"),
    "agent-60000": seed([b"hits"], addr=b"192.0.2.7", agent=b"A" * 60000, counter=b"5", log=HEADER),
    # Queries the program decodes itself.
    "query-empty-words": seed(gateway=True, query=b"a++b", addr=b"192.0.2.7"),
    "query-hex": seed(gateway=True, query=b"%41", addr=b"192.0.2.7", counter=b"1"),
    "query-lone-percent": seed(gateway=True, query=b"%", addr=b"192.0.2.7"),
    "query-bad-hex": seed(gateway=True, query=b"%zz", addr=b"192.0.2.7"),
    "query-zero-byte": seed(gateway=True, query=b"%00", addr=b"192.0.2.7"),
    "query-hits-1": seed(gateway=True, query=b"hits+1", addr=b"192.0.2.7", counter=b"41"),
    "query-with-equals": seed(gateway=True, query=b"hits=1", addr=b"192.0.2.7", counter=b"41"),
}


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
