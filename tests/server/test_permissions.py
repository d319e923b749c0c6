"""A log or counter the server's user cannot write gives the documented answers,
through Apache and when started exactly as Apache starts it.

usage: test_permissions.py PROGRAM GIF_PROBE
"""

import os
import subprocess
import sys

import lcserver as lc

CANNOT_OPEN = b'Cannot open "%s".<BR>\n'
START = "10"
OLD_LOG = lc.LOG_HEADER + b"2000/05/01 13:07 p 192.0.2.7 - Old/1.0\r\n"


def set_writable(path, writable):
    """Writable or not for the server's user, whoever runs the suite."""
    if lc.is_root():
        os.chown(path, *(lc.server_ids() if writable else (0, 0)))
        os.chmod(path, 0o755 if os.path.isdir(path) else 0o644)
    else:
        mode = (0o755 if writable else 0o555) if os.path.isdir(path) else (0o644 if writable else 0o444)
        os.chmod(path, mode)


def prepare(site, log_present, log_writable, counter_writable, dir_writable):
    log = site.cgi_bin / "lctlog.txt"
    set_writable(site.cgi_bin, True)
    for old in (log, site.counter_path("p")):
        if old.exists():
            old.unlink()
    if log_present:
        log.write_bytes(OLD_LOG)
        set_writable(log, log_writable)
    site.counter_path("p").write_text(START)
    set_writable(site.counter_path("p"), counter_writable)
    set_writable(site.cgi_bin, dir_writable)


def as_server_user():
    uid, gid = lc.server_ids()
    if lc.is_root():
        os.setgroups([])
        os.setgid(gid)
        os.setuid(uid)


def direct(site, argv0):
    """Started as a web server starts it: in its directory, as its user; Apache passes
    the full path as argument 0, other servers may pass the bare name."""
    env = {"PATH": "/usr/bin:/bin", "REMOTE_ADDR": "127.0.0.1", "HTTP_USER_AGENT": "perm/1.0",
           "GATEWAY_INTERFACE": "CGI/1.1", "QUERY_STRING": "p+1", "REQUEST_METHOD": "GET"}
    out = subprocess.run([argv0, "p", "1"], executable=str(site.cgi_bin / "lumicount"),
                         cwd=site.cgi_bin, env=env, stdout=subprocess.PIPE, preexec_fn=as_server_user,
                         timeout=10)
    return out.stdout


# name, log present, log writable, counter writable, directory writable,
# answer ("cannot open" or "picture"), counter advanced
CASES = [
    ("log file read-only", True, False, True, True, "cannot open", False),
    ("no log, directory read-only", False, True, True, False, "cannot open", False),
    ("counter file read-only", True, True, False, True, "picture", False),
    ("files writable, directory read-only", True, True, True, False, "picture", True),
]


def run_case(res, site, probe, via, case):
    name, log_present, log_writable, counter_writable, dir_writable, answer, advances = case
    prepare(site, log_present, log_writable, counter_writable, dir_writable)
    picture = lc.console_run(site.cgi_bin / "lumicount", ["p", "1"])
    log_before = site.log_bytes()
    if via == "apache":
        status, headers, body = site.get("/cgi-bin/lumicount?p+1", "perm/1.0")
        if answer == "cannot open":
            # A text line with no header is no CGI answer: Apache reports a server error.
            ok = status == 500 and 'Bad header: Cannot open "' in site.error_log()
        else:
            ok = status == 200 and lc.IMAGE_HEADER + body == picture
        got = f"status {status}, body {body[:60]!r}"
    else:
        argv0 = "lumicount" if via == "direct, bare name" else str(site.cgi_bin / "lumicount")
        out = direct(site, argv0)
        log_path = argv0[:-len("lumicount")] + "lctlog.txt"
        ok = out == (CANNOT_OPEN % log_path.encode() if answer == "cannot open" else picture)
        got = f"output {out[:60]!r}"
    res.check(f"{via}: {name}: answer", None if ok else got)
    if answer == "picture" and via != "apache":
        info = lc.gif_probe(probe, picture[len(lc.IMAGE_HEADER):])
        res.check(f"{via}: {name}: picture decodes", None if info and info[:2] == (32, 18) else f"{info}")
    counter = site.read_counter("p")
    expected = b"11" if advances else START.encode()
    res.check(f"{via}: {name}: counter", None if counter == expected else f"holds {counter!r}, expected {expected!r}")
    log_after = site.log_bytes()
    if answer == "cannot open":
        problem = None if log_after == log_before else "log changed"
    else:
        entries = lc.log_entries(log_after)
        problem = lc.log_problems(log_after) or (None if len(entries) == 2 and entries[0].endswith(b" p 127.0.0.1 - perm/1.0")
                                                 else f"entries {entries}")
    res.check(f"{via}: {name}: log", problem)


def main():
    program, probe = sys.argv[1:3]
    res = lc.Results()
    with lc.Apache(program) as site:
        try:
            for via in ("apache", "direct, bare name", "direct, full path"):
                for case in CASES:
                    run_case(res, site, probe, via, case)
        finally:
            set_writable(site.cgi_bin, True)
        if res.failed:
            print(site.error_log()[-3000:])
    res.finish()


if __name__ == "__main__":
    main()
