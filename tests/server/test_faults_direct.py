"""Web requests killed at random instants never leave a counter or the log invalid.

The program is started as Apache starts it (CGI environment, program path as
argument 0) and SIGKILLed after a random delay, alone and in overlapping groups.

usage: test_faults_direct.py PROGRAM [SEED]
"""

import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import lcserver as lc

ROUNDS = 100
GROUP = 4
START = 5000
TIME_LIMIT = 120.0
DIGITS = re.compile(rb"^[0-9]+$")


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


def main():
    program = sys.argv[1]
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else random.randrange(1 << 30)
    print(f"seed {seed}")
    rng = random.Random(seed)
    res = lc.Results()
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
