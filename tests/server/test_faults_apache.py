"""Apache's CGI children SIGKILLed at random instants never leave a counter or the log invalid.

A watcher scans the newest process ids for the program started by Apache and
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
SCAN_AHEAD = 64
DIGITS = re.compile(rb"^[0-9]+$")


def newest_pid():
    return max(int(p) for p in os.listdir("/proc") if p.isdigit())


def is_program(pid, name=b"lumicount\n"):
    try:
        with open(f"/proc/{pid}/comm", "rb") as f:
            return f.read() == name
    except OSError:
        return False


def watcher(rng, stop, kills):
    """Kills every program process it sees, after a random delay of up to 1 ms."""
    seen = newest_pid()
    idle = 0
    while not stop.is_set():
        idle += 1
        if idle % 1000 == 0:  # processes that came and went unseen leave gaps
            seen = max(seen, newest_pid())
        for pid in range(seen + 1, seen + SCAN_AHEAD):
            if not os.path.exists(f"/proc/{pid}"):
                continue
            seen = pid
            idle = 0
            if is_program(pid):
                time.sleep(rng.uniform(0, 0.001))
                try:
                    os.kill(pid, signal.SIGKILL)
                    kills.append(pid)
                except OSError:
                    pass


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

        watch = threading.Thread(target=watcher, args=(rng, stop, kills))
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
