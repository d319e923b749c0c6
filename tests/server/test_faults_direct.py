"""Web requests killed at random instants never leave a counter or the log invalid.

The program is started as Apache starts it (CGI environment, program path as
argument 0) and SIGKILLed after a random delay, alone and in overlapping groups.

With "fastcgi" it runs resident behind nginx instead, on a listening socket that
the test holds and starts it on, as spawn-fcgi or a systemd socket unit would: it
is SIGKILLed at random instants under load and started again on the same socket,
and then sent SIGTERM and SIGUSR1 during a burst, and SIGUSR1 and SIGHUP when idle.
Requests that wait together are served in one turn: such a batch must answer and
log as the same requests run one after another as CGI, and a burst of 2,000 must
count each request once.

usage: test_faults_direct.py PROGRAM [fastcgi] [SEED]
"""

import concurrent.futures
import fcntl
import http.client
import os
import pathlib
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
from test_load import expected_pictures
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
# One batch, each against the CGI: two counters, a missing one, a refused name, information pages.
BATCH = ["k+1", "m+2", "nosuch", "k+3", "a.b", "", "m", "k+1+x", "k"]
BURST_2000, BURST_2000_CONCURRENCY = 2000, 32


def start(program, i, query=None, stdout=subprocess.DEVNULL):
    """The program as Apache starts it; with a query, as a server that leaves the query's words to it."""
    env = {"PATH": "/usr/bin:/bin", "REMOTE_ADDR": "127.0.0.1", "HTTP_USER_AGENT": f"fault-{i}",
           "GATEWAY_INTERFACE": "CGI/1.1", "QUERY_STRING": "k+1" if query is None else query, "REQUEST_METHOD": "GET"}
    return subprocess.Popen([program] + ([] if query is not None else ["k", "1"]), env=env, stdout=stdout,
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
        path = self.sock = self.dir / "run" / "fcgi" / "lumicount.sock"
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


def fetch(site, i, query="k+1"):
    """(status, content type, body), or None for an answer cut short."""
    try:
        status, headers, body = site.get(f"/cgi-bin/lumicount?{query}", f"fault-{i}")
        return status, headers.get("content-type"), body
    except (http.client.HTTPException, ConnectionError):
        return None


def whole(answers):
    return sum(1 for a in answers if a is not None and a[:2] == (200, "image/gif"))


def shown_counts(answers, pictures):
    return [pictures.get(a[2], -1) for a in answers if a is not None and a[:2] == (200, "image/gif")]


def wait_until(condition, what):
    for _ in range(2000):
        if condition():
            return
        time.sleep(0.005)
    raise RuntimeError(f"waited in vain for {what}")


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
    answers = [f.result() for f in pending]
    pictures, entries = whole(answers), len(lc.log_entries(site.log_bytes()))
    shown = shown_counts(answers, expected_pictures(site.cgi_bin / "lumicount", start + 1, start + REQUESTS))
    print(f"{REQUESTS} requests, {pictures} whole pictures")
    res.check("resident: counter and log valid after every kill", first_problem)
    res.check("resident: some kills landed inside a request", None if pictures < REQUESTS else "none did")
    res.check("resident: counter and log kept every whole picture and no more than were requested",
              None if pictures <= value - start <= REQUESTS and pictures <= entries <= REQUESTS else
              f"counter advanced by {value - start}, {entries} log entries")
    res.check("resident: each picture a count the counter reached, none shown twice",
              None if len(set(shown)) == len(shown) and all(start < c <= value for c in shown) else
              f"counts shown {sorted(shown)[:20]}..., counter at {value}")


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
    name, kinds = signal.Signals(sig).name, sorted({a[:2] if a else None for a in answers}, key=str)
    print(f"{name} after {TERM_AFTER} counted: {pictures} whole pictures, answers {kinds}")
    res.check(f"resident: {name} ended the process", None if status == 0 else f"exit status {status}")
    res.check(f"resident, {name}: every answer whole, a picture or refused",
              None if all(a is not None and (a[:2] == (200, "image/gif") or a[0] == 502) for a in answers) else
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
              None if first is not None and first[:2] == (200, "image/gif") and after is not None and after[0] == 502 and
              int(site.read_counter("k")) == start + 1 else f"answers {first}, {after}")


def cgi_answers(site, queries, state):
    """Each query's answer (body, or None for no answer) and the files after, run one after another as CGI."""
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="lumicount-cgi."))
    shutil.copy(site.cgi_bin / "lumicount", scratch)
    for name, data in state.items():
        (scratch / name).write_bytes(data)
    answers = []
    for i, query in enumerate(queries):
        out = start(str(scratch / "lumicount"), i, query, subprocess.PIPE).communicate()[0]
        answers.append(out.split(b"\n\n", 1)[1] if b"\n\n" in out else None)
    files = {name: (scratch / name).read_bytes() for name in state}
    shutil.rmtree(scratch)
    return answers, files


def batch_like_cgi(site, res):
    """Requests queued while the test holds the turn form one batch; each answer, the counters and
    the log (entry by entry, without the time) are the CGI's for the same requests in the same order."""
    site.set_counter("m", "41")
    names = ["k.ini", "m.ini", "lctlog.txt"]
    state = {name: (site.cgi_bin / name).read_bytes() for name in names}
    proc = site.start_program()
    queries = ["k+1"] + BATCH  # the first is taken alone and waits for the turn
    with open(site.cgi_bin / "lctlog.lck", "a") as lock, \
            concurrent.futures.ThreadPoolExecutor(len(queries)) as pool:
        fcntl.flock(lock, fcntl.LOCK_EX)
        pending = [pool.submit(fetch, site, 0, queries[0])]
        wait_until(lambda: f" -> FLOCK  ADVISORY  WRITE {proc.pid} " in open("/proc/locks").read(), "the turn")
        tracer = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=rename,renameat,renameat2", "-p",
                                   str(proc.pid), "-o", str(site.dir / "renames")], stderr=subprocess.DEVNULL)
        wait_until(lambda: "TracerPid:\t0\n" not in open(f"/proc/{proc.pid}/status").read(), "strace")
        for i, query in enumerate(queries[1:], 1):  # each queued before the next is sent: arrival order
            pending.append(pool.submit(fetch, site, i, query))
            wait_until(lambda: subprocess.run(["ss", "-xlnH", "src", str(site.sock)], stdout=subprocess.PIPE,
                                              text=True).stdout.split()[2] == str(i), f"request {i} queued")
        fcntl.flock(lock, fcntl.LOCK_UN)
        answers = [f.result() for f in pending]
    tracer.terminate()
    tracer.wait()
    proc.kill()
    proc.wait()
    turns = (site.dir / "renames").read_text().count('"lctlog.txt")')
    res.check("resident: the queued requests took one turn", None if turns == 2 else f"{turns} turns")
    wanted, files = cgi_answers(site, queries, state)
    got = [a[2] if a[0] == 200 else None for a in answers]
    res.check("resident: each answer of the batch is the CGI's", None if got == wanted else
              next(f"?{q}: {g!r:.80} against {w!r:.80}" for q, g, w in zip(queries, got, wanted) if g != w))
    entries = [[e[17:] for e in lc.log_entries(data)] for data in (site.log_bytes(), files["lctlog.txt"])]
    res.check("resident: the counters, and the log entry by entry, are the CGI's", None if entries[0] == entries[1]
              and all((site.cgi_bin / n).read_bytes() == files[n] for n in names[:2]) else
              f"{entries[0][:len(queries)]} against {entries[1][:len(queries)]}")


def burst(site, res):
    """2,000 requests at concurrency 32: each counted, shown and logged once, no descriptor kept."""
    proc = site.start_program()
    descriptors = lambda: len(os.listdir(f"/proc/{proc.pid}/fd"))
    idle, start = descriptors(), int(site.read_counter("k"))
    with concurrent.futures.ThreadPoolExecutor(BURST_2000_CONCURRENCY) as pool:
        answers = list(pool.map(lambda i: fetch(site, f"burst-{i}"), range(BURST_2000)))
    # A turn closes the files it replaced when it ends; the last connection may still be closing.
    deadline = time.monotonic() + 10
    while descriptors() > idle and time.monotonic() < deadline:
        time.sleep(0.01)
    kept = descriptors() - idle
    proc.kill()
    proc.wait()
    shown = sorted(shown_counts(answers, expected_pictures(site.cgi_bin / "lumicount", start + 1, start + BURST_2000)))
    agents = {e.rsplit(b" - fault-burst-", 1)[-1] for e in lc.log_entries(site.log_bytes())}
    res.check(f"resident: a burst of {BURST_2000} counted, shown and logged each once, no descriptor kept",
              None if shown == list(range(start + 1, start + BURST_2000 + 1)) and len(agents) == 300
              and int(site.read_counter("k")) == start + BURST_2000 and not lc.log_problems(site.log_bytes())
              and kept <= 0 else
              f"{len(shown)} pictures, {len(set(shown))} distinct, {len(agents)} distinct entries, {kept} descriptors kept")


def fastcgi_main(program, rng, res):
    with Resident(program) as site:
        site.set_counter("k", str(START))
        kill_under_load(site, rng, res)
        batch_like_cgi(site, res)
        burst(site, res)
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
