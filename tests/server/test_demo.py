"""scripts/demo serves the four counters, and Ctrl-C stops Apache and removes its directory.

usage: test_demo.py PROGRAM
"""

import http.client
import os
import re
import signal
import subprocess
import sys
import time

import lcserver as lc

DEMO = lc.HERE.parent.parent / "scripts" / "demo"
READY_TIMEOUT = 60.0
STOP_TIMEOUT = 15.0
IMG = re.compile(rb'<img class="counter" id="(demo\d)" src="(/cgi-bin/lumicount\?[^"]+)"')


def wait_for(proc, text, timeout):
    """The demo's output up to the line holding text, or all of it when it never came."""
    out = b""
    deadline = time.monotonic() + timeout
    os.set_blocking(proc.stdout.fileno(), False)
    while time.monotonic() < deadline and text not in out and proc.poll() is None:
        chunk = proc.stdout.read()
        if chunk:
            out += chunk
        else:
            time.sleep(0.05)
    return out


def processes_naming(text):
    found = []
    for pid in (p for p in os.listdir("/proc") if p.isdigit()):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def get(port, target):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=lc.REQUEST_TIMEOUT)
    try:
        conn.request("GET", target)
        resp = conn.getresponse()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
    finally:
        conn.close()


def main():
    program = sys.argv[1]
    res = lc.Results()
    port = lc.free_port()
    env = dict(os.environ, PORT=str(port), LUMICOUNT_PROGRAM=program)
    proc = subprocess.Popen(["bash", str(DEMO)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out = wait_for(proc, b"press Ctrl-C", READY_TIMEOUT)
        res.check("demo says where it serves", None if f"http://127.0.0.1:{port}/".encode() in out else out[-400:])
        site = re.search(rb"program and counters: (\S+)/cgi-bin", out)
        site = site[1].decode() if site else None
        status, _, page = get(port, "/")
        images = IMG.findall(page)
        res.check("page shows four counters", None if status == 200 and len(images) == 4 else f"{status}, {images}")
        for name, target in images:
            name = name.decode()
            status, headers, body = get(port, target.decode())
            problem = lc.no_cache_problems(headers)
            if status != 200 or headers.get("content-type") != "image/gif" or not body.startswith(b"GIF8"):
                problem = f"status {status}, type {headers.get('content-type')}, body {body[:10]!r}"
            res.check(f"{name} served as an uncached GIF", problem)
        os.killpg(proc.pid, signal.SIGINT)
        rest = wait_for(proc, b"removed", STOP_TIMEOUT)
        try:
            code = proc.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            code = None
        res.check("Ctrl-C ends the demo cleanly", None if code == 0 else f"exit {code}: {rest[-300:]!r}")
        res.check("its directory is gone", None if site and not os.path.exists(site) else f"{site} still there")
        leftover = processes_naming(f"{site}/httpd.conf") if site else []
        res.check("no Apache left running", None if not leftover else f"processes {leftover}")
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    res.finish()


if __name__ == "__main__":
    main()
