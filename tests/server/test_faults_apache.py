"""Apache's CGI children SIGKILLed at random instants never leave a counter or the log invalid.

A watcher looks at every new process for the program started by Apache and
kills it after a random delay while clients keep requesting.

usage: test_faults_apache.py PROGRAM [SEED]
"""

import os
import random
import re
import signal
import sys
import threading
import time

import lcserver as lc

REQUESTS = 200
CLIENTS = 4
START = 7000
TIME_LIMIT = 120.0
PENDING_CHECKS = 200
DIGITS = re.compile(rb"^[0-9]+$")


def pids():
    return {int(p) for p in os.listdir("/proc") if p.isdigit()}


def is_program(pid, exe):
    """Only our Apache's copy: suites running side by side start programs of the same name."""
    try:
        return os.readlink(f"/proc/{pid}/exe") == exe
    except OSError:
        return False


def watcher(exe, rng, stop, kills):
    """Kills every process of exe it sees, after a random delay of up to 2 ms."""
    known = pids()
    pending = {}  # new processes that may not have started the program yet: checks left
    while not stop.is_set():
        now = pids()
        for pid in now - known:
            pending[pid] = PENDING_CHECKS
        known = now
        for pid in list(pending):
            if is_program(pid, exe):
                del pending[pid]
                time.sleep(rng.uniform(0, 0.002))
                try:
                    os.kill(pid, signal.SIGKILL)
                    kills.append(pid)
                except OSError:
                    pass
            elif pending[pid] <= 1 or not os.path.exists(f"/proc/{pid}"):
                del pending[pid]
            else:
                pending[pid] -= 1


def main():
    program = sys.argv[1]
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else random.randrange(1 << 30)
    print(f"seed {seed}")
    rng = random.Random(seed)
    res = lc.Results()
    with lc.Apache(program) as site:
        site.set_counter("k", str(START))
        stop = threading.Event()
        kills = []
        answers = []
        lock = threading.Lock()

        def client(n):
            for i in range(n, REQUESTS, CLIENTS):
                answer = site.get("/cgi-bin/lumicount?k+1", f"fault-{i}")
                with lock:
                    answers.append(answer)

        watch = threading.Thread(target=watcher, args=(str(site.cgi_bin / "lumicount"), rng, stop, kills))
        watch.start()
        began = time.monotonic()
        clients = [threading.Thread(target=client, args=(n,)) for n in range(CLIENTS)]
        for t in clients:
            t.start()
        for t in clients:
            t.join(TIME_LIMIT)
        stop.set()
        watch.join()
        elapsed = time.monotonic() - began
        whole = sum(1 for s, h, b in answers if s == 200 and h.get("content-type") == "image/gif")
        print(f"{len(answers)} requests in {elapsed:.1f} s, {len(kills)} kill signals sent, {whole} whole pictures")

        counter = site.read_counter("k")
        res.check("counter holds digits only", None if DIGITS.match(counter) else f"counter holds {counter!r}")
        advanced = int(counter) - START if DIGITS.match(counter) else -1
        print(f"counter advanced by {advanced}")
        res.check("counter kept every whole answer and no more than were requested",
                  None if whole <= advanced <= REQUESTS else f"advanced by {advanced}, {whole} whole answers")
        data = site.log_bytes()
        res.check("log well-formed", lc.log_problems(data))
        entries = len(lc.log_entries(data))
        res.check("log kept every whole answer",
                  None if whole <= entries <= REQUESTS else f"{entries} entries, {whole} whole answers")
        res.check("some kills landed", None if whole < REQUESTS else "no request was cut short")
        if res.failed:
            print(site.error_log()[-3000:])
    res.finish()


if __name__ == "__main__":
    main()
