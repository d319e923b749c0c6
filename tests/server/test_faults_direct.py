"""Web requests killed at random instants never leave a counter or the log invalid.

The program is started as Apache starts it (CGI environment, program path as
argument 0) and SIGKILLed after a random delay, alone and in overlapping groups.

With "fastcgi" it runs resident behind nginx instead, on a listening socket that
the test holds and starts it on, as spawn-fcgi or a systemd socket unit would: it
is SIGKILLed at random instants under load and started again on the same socket,
and then sent SIGTERM and SIGUSR1 during a burst, and SIGUSR1 and SIGHUP when idle.

usage: test_faults_direct.py PROGRAM [fastcgi] [SEED]
"""

import concurrent.futures
import http.client
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import lcserver as lc
from test_servers import Site

ROUNDS = 100
GROUP = 4
START = 5000
TIME_LIMIT = 120.0
DIGITS = re.compile(rb"^[0-9]+$")
CLIENTS = 4
REQUESTS = 300
KILL_GAP = 0.03  # seconds, at most, between a start and its kill: about ten requests
BURST = 200  # far more than are answered before the SIGTERM lands
BURST_CONCURRENCY = 8
TERM_AFTER = 10  # requests counted before the SIGTERM


def start(program, i):
    env = {"PATH": "/usr/bin:/bin", "REMOTE_ADDR": "127.0.0.1", "HTTP_USER_AGENT": f"fault-{i}",
           "GATEWAY_INTERFACE": "CGI/1.1", "QUERY_STRING": "k+1", "REQUEST_METHOD": "GET"}
    return subprocess.Popen([program, "k", "1"], env=env, stdout=subprocess.DEVNULL,
                            cwd=os.path.dirname(program))


def typical_run_time(program):
    began = time.monotonic()
    for i in range(10):
        start(program, -1).wait()
    return (time.monotonic() - began) / 10


def state_problem(install, previous):
    """Problem with the counter and log in install, given the counter before the round."""
    counter = open(os.path.join(install, "k.ini"), "rb").read()
    if not DIGITS.match(counter):
        return f"counter holds {counter!r}", previous
    value = int(counter)
    if value < previous:
        return f"counter went back from {previous} to {value}", value
    log = open(os.path.join(install, "lctlog.txt"), "rb").read()
    return lc.log_problems(log), value


class Resident(Site):
    """nginx passing requests to a socket that the test listens on and starts the program on."""

    def __init__(self, program):
        super().__init__(program, "nginx-fastcgi")
        self.listener = self.resident = None

    def _command(self):
        self.listen()
        return ["bash", "-c", f'source "{lc.HERE}/apache_conf.sh" && lc_run_nginx "{self.dir}" lumicount.sock']

    def listen(self):
        """A fresh listening socket at the path nginx passes requests to."""
        path = self.dir / "run" / "fcgi" / "lumicount.sock"
        path.unlink(missing_ok=True)
        if self.listener is not None:
            self.listener.close()
        self.listener = socket.socket(socket.AF_UNIX)
        self.listener.bind(str(path))
        os.chown(path, *lc.server_ids())
        self.listener.listen(128)

    def start_program(self):
        """The program by its path, in another directory, as the server's user."""
        uid, gid = lc.server_ids()
        self.resident = subprocess.Popen([str(self.cgi_bin / "lumicount")], stdin=self.listener, cwd="/", user=uid,
                                         group=gid, extra_groups=[] if lc.is_root() else None)
        return self.resident

    def __exit__(self, *exc):
        if self.resident is not None and self.resident.poll() is None:
            self.resident.kill()
            self.resident.wait()
        return super().__exit__(*exc)


def fetch(site, i):
    """(status, content type), or None for an answer cut short."""
    try:
        status, headers, _ = site.get("/cgi-bin/lumicount?k+1", f"fault-{i}")
        return status, headers.get("content-type")
    except (http.client.HTTPException, ConnectionError):
        return None


def whole(answers):
    return sum(1 for a in answers if a == (200, "image/gif"))


def kill_under_load(site, rng, res):
    """SIGKILLs at random instants while clients keep requesting; the program is started again each time."""
    proc = site.start_program()
    fetch(site, -1)  # the log exists from the first request on
    first_problem, start = None, int(site.read_counter("k"))
    value = start
    with concurrent.futures.ThreadPoolExecutor(CLIENTS) as pool:
        pending = [pool.submit(fetch, site, i) for i in range(REQUESTS)]
        while not all(f.done() for f in pending):
            time.sleep(rng.uniform(0, KILL_GAP))
            proc.kill()
            proc.wait()
            problem, value = state_problem(site.cgi_bin, value)
            first_problem = first_problem or problem
            proc = site.start_program()
    proc.kill()
    proc.wait()
    pictures, entries = whole(f.result() for f in pending), len(lc.log_entries(site.log_bytes()))
    print(f"{REQUESTS} requests, {pictures} whole pictures")
    res.check("resident: counter and log valid after every kill", first_problem)
    res.check("resident: some kills landed inside a request", None if pictures < REQUESTS else "none did")
    res.check("resident: counter and log kept every whole picture and no more than were requested",
              None if pictures <= value - start <= REQUESTS and pictures <= entries <= REQUESTS else
              f"counter advanced by {value - start}, {entries} log entries")


def stop_in_burst(site, res, sig=signal.SIGTERM):
    """A stop signal during a burst: the process ends between two requests, so no answer is cut."""
    site.listen()
    proc = site.start_program()
    site.listener.close()  # the program's socket alone: once it ends, requests are refused
    (site.cgi_bin / "lctlog.txt").unlink()
    start = int(site.read_counter("k"))
    with concurrent.futures.ThreadPoolExecutor(BURST_CONCURRENCY) as pool:
        pending = [pool.submit(fetch, site, i) for i in range(BURST)]
        while int(site.read_counter("k")) < start + TERM_AFTER and not all(f.done() for f in pending):
            time.sleep(0.001)
        proc.send_signal(sig)
    answers = [f.result() for f in pending]
    try:
        status = proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        status = "still running"
    pictures, counted = whole(answers), int(site.read_counter("k")) - start
    entries = len(lc.log_entries(site.log_bytes()))
    name = signal.Signals(sig).name
    print(f"{name} after {TERM_AFTER} counted: {pictures} whole pictures, answers {sorted(set(answers), key=str)}")
    res.check(f"resident: {name} ended the process", None if status == 0 else f"exit status {status}")
    res.check(f"resident, {name}: every answer whole, a picture or refused",
              None if all(a == (200, "image/gif") or a is not None and a[0] == 502 for a in answers) else
              f"{answers.count(None)} cut")
    res.check(f"resident: {name} came between requests: each picture counted and logged once, no more",
              None if TERM_AFTER <= pictures == counted == entries < BURST else
              f"{pictures} pictures, counter advanced by {counted}, {entries} log entries")


def stop_at_idle(site, res, sig):
    """A stop signal to an idle process: it ends at once, without spinning, and has lost nothing."""
    site.listen()
    proc = site.start_program()
    site.listener.close()
    start, first = int(site.read_counter("k")), fetch(site, -1)
    time.sleep(0.2)
    proc.send_signal(sig)
    deadline, (pid, status, usage) = time.monotonic() + 5, (0, 0, None)
    while pid == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
    proc.returncode = os.waitstatus_to_exitcode(status) if pid else None
    after = fetch(site, -2) if pid else None
    cpu = usage.ru_utime + usage.ru_stime if usage else None
    name = signal.Signals(sig).name
    res.check(f"resident: {name} at idle ended the process at once, with status 0 and under 0.5 s of CPU",
              None if pid and proc.returncode == 0 and cpu < 0.5 else f"status {proc.returncode}, CPU {cpu}")
    res.check(f"resident: {name} at idle: the request before it counted, the one after refused",
              None if first == (200, "image/gif") and after is not None and after[0] == 502 and
              int(site.read_counter("k")) == start + 1 else f"answers {first}, {after}")


def fastcgi_main(program, rng, res):
    with Resident(program) as site:
        site.set_counter("k", str(START))
        kill_under_load(site, rng, res)
        stop_in_burst(site, res)
        # libfcgi's "stop gracefully", and a hang-up: both as SIGTERM.
        stop_in_burst(site, res, signal.SIGUSR1)
        for sig in (signal.SIGUSR1, signal.SIGHUP):
            stop_at_idle(site, res, sig)
        if res.failed:
            print(site.error_log()[-3000:])


def main():
    program = sys.argv[1]
    fastcgi = len(sys.argv) > 2 and sys.argv[2] == "fastcgi"
    args = sys.argv[2 + fastcgi:]
    seed = int(args[0]) if args else random.randrange(1 << 30)
    print(f"seed {seed}")
    rng = random.Random(seed)
    res = lc.Results()
    if fastcgi:
        fastcgi_main(program, rng, res)
        res.finish()
    install = tempfile.mkdtemp(prefix="lumicount-faults.")
    try:
        copy = os.path.join(install, "lumicount")
        shutil.copy(program, copy)
        with open(os.path.join(install, "k.ini"), "w") as f:
            f.write(str(START))
        run_time = typical_run_time(copy)
        print(f"an unkilled request takes {run_time * 1000:.2f} ms")
        value = int(open(os.path.join(install, "k.ini")).read())
        started = completed = killed = 0
        first_problem = None
        began = time.monotonic()
        for round_no in range(ROUNDS):
            if time.monotonic() - began > TIME_LIMIT:
                break
            size = 1 if round_no % 2 == 0 else GROUP
            procs = [start(copy, started + j) for j in range(size)]
            started += size
            time.sleep(rng.uniform(0, 1.5 * run_time * size))
            for proc in procs:
                if proc.poll() is None:
                    proc.send_signal(signal.SIGKILL)
            for proc in procs:
                killed += proc.wait() == -signal.SIGKILL
            completed = started - killed
            problem, value = state_problem(install, value)
            if problem and first_problem is None:
                first_problem = f"round {round_no}: {problem}"
        print(f"{started} requests, {killed} killed while running")
        res.check("counter and log valid after every kill", first_problem)
        res.check("some requests were killed mid-run", None if killed > 0 else "no kill landed")
        advanced = value - START
        res.check("counter kept every finished request and no more than were started",
                  None if completed <= advanced <= started else
                  f"advanced by {advanced}, {completed} finished, {started} started")
        entries = len(lc.log_entries(open(os.path.join(install, "lctlog.txt"), "rb").read()))
        res.check("log kept every finished request (10 warm-up runs included)",
                  None if completed + 10 <= entries <= started + 10 else
                  f"{entries} entries, {completed} finished, {started} started")
        leftovers = sorted(set(os.listdir(install)) - {"lumicount", "k.ini", "lctlog.txt"})
        print(f"files left beside the program: {leftovers}")
    finally:
        shutil.rmtree(install, ignore_errors=True)
    res.finish()


if __name__ == "__main__":
    main()
