"""The container image as a user meets it: built by scripts/image, loaded into a private podman
storage, run in each mode with the counters on a volume, stopped under load, run again.

usage: test_container.py PROGRAM (which draws the pictures expected); 77: SKIP
"""

import concurrent.futures
import contextlib
import http.client
import os
import shutil
import subprocess
import sys
import tempfile
import time

import lcserver as lc
from test_load import expected_pictures

PROGRAM = sys.argv[1]
SCRATCH = os.path.realpath(tempfile.mkdtemp(prefix="lumicount-container."))
PODMAN = ["podman", "--root", f"{SCRATCH}/root", "--runroot", f"{SCRATCH}/run", "--tmpdir", f"{SCRATCH}/tmp",
          "--cgroup-manager", "cgroupfs", "--events-backend", "file", "--runtime", "runc"]
LIMITS = ["--ulimit", "nofile=4096:4096", "--ulimit", "nproc=4096:4096"]
VERSION = open(lc.HERE.parent.parent / "CMakeLists.txt").read().split("project(lumicount VERSION ")[1].split()[0]
IMAGE, NAME, PORT = f"localhost/lumicount:{VERSION}", f"lumicount-test-{os.getpid()}", lc.free_port()
PICTURES = {}  # {picture: the count it shows}, drawn by PROGRAM
NEW_HITS = b"install -o www-data -g www-data -m 644 /dev/null /var/lib/lumicount/hits.ini"  # docs/container.md


def podman(*args, timeout=600):
    return subprocess.run(PODMAN + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)


def get(target):
    with contextlib.closing(http.client.HTTPConnection("127.0.0.1", PORT, timeout=lc.REQUEST_TIMEOUT)) as conn:
        conn.request("GET", target, headers={"User-Agent": "lumicount-test/1.0"})
        resp = conn.getresponse()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()


def start(mode, volume):
    """None once lighttpd answers (the program not run yet), else the container's output."""
    started = time.monotonic()
    out = podman("run", "-d", "--name", NAME, *LIMITS, "-e", f"LUMICOUNT_MODE={mode}",
                 "-p", f"127.0.0.1:{PORT}:8080", "-v", f"{volume}:/var/lib/lumicount", IMAGE)
    while out.returncode == 0 and time.monotonic() < started + 15:
        with contextlib.suppress(OSError):
            return get("/") and None  # lighttpd's own 404: the program has not run
        time.sleep(0.02)
    return podman("logs", NAME).stdout.decode()[-800:] + out.stdout.decode()[-400:]


def first_start(vol):
    """Before any request, which would make the log and the lock file itself."""
    started, problem = time.monotonic(), start(vol.mode, vol.name)
    owners = {f: (s.st_uid, s.st_gid, oct(s.st_mode)) for f in ("", "lumicount", "lctlog.txt", "lctlog.lck")
              if os.path.lexists(f"{vol.path}/{f}") for s in [os.lstat(f"{vol.path}/{f}")]}
    want = {"": (0, 33, "0o41775"), "lumicount": (0, 0, "0o120777"), "lctlog.txt": (33, 33, "0o100644"),
            "lctlog.lck": (33, 33, "0o100644")}
    status = get("/cgi-bin/lumicount?a=b")[0] if not problem else 0
    print(f"     {vol.mode}: first answer {time.monotonic() - started:.2f} s after podman run")
    ok = owners == want and os.readlink(f"{vol.path}/lumicount") == "/usr/lib/lumicount/lumicount" and status == 200
    return problem or (None if ok else f"status {status}, {owners}")


def info_page(_):
    status, headers, body = get("/cgi-bin/lumicount?a=b")
    printed = podman("exec", NAME, "bash", "-c", "mkdir -p /tmp/i && REMOTE_ADDR=127.0.0.1 "
                     "exec -a /tmp/i/lumicount /usr/lib/lumicount/lumicount").stdout
    ok = status == 200 and b"Content-type: text/html\n\n" + body == printed
    return lc.no_cache_problems(headers) if ok else f"status {status}, {body[:200]!r}, program printed {printed[:200]!r}"


def shown_problem(answers, counts):
    """Why these answers are not distinct pictures of counts in counts, or None."""
    bad = [a for a in answers if a[0] != 200 or PICTURES.get(a[2]) not in counts or lc.no_cache_problems(a[1])]
    if bad or len({a[2] for a in answers}) < len(answers):
        return f"{len(bad)} bad answers ({bad[:1]}), {len(answers) - len({a[2] for a in answers})} counts shown twice"
    return None


def counts_exactly(vol):
    out = podman("exec", NAME, *NEW_HITS.split())
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(lambda _: get("/cgi-bin/lumicount?hits"), range(200)))
    log, gateway = vol.log(), podman("network", "inspect", "podman", "--format", "{{range .Subnets}}{{.Gateway}}{{end}}").stdout.strip()
    from_gateway = sum(e.endswith(b" " + gateway + b" - lumicount-test/1.0") for e in lc.log_entries(log))
    return out.stdout.decode() or shown_problem(answers, range(1, 201)) or lc.log_problems(log) or (
        None if (vol.counter(), len(lc.log_entries(log)), from_gateway) == (b"200", 202, 202) else
        f"counter {vol.counter()!r}, {len(lc.log_entries(log))} log entries, {from_gateway} from {gateway}")


def stops_under_load(vol):
    """8 clients until the server is gone (600 requests at most); SIGTERM after the first 50 answers."""
    answers, stop, status = [], time.monotonic() + 30, "none within 10 s"
    def client(_):
        with contextlib.suppress(OSError, http.client.HTTPException):
            while time.monotonic() < stop and len(answers) < 600:
                answers.append(get("/cgi-bin/lumicount?hits"))
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        clients = [pool.submit(client, i) for i in range(8)]
        while len(answers) < 50 and time.monotonic() < stop:
            time.sleep(0.01)
        podman("kill", "--signal", "TERM", NAME)
        signalled = time.monotonic()
        with contextlib.suppress(subprocess.TimeoutExpired):
            status = podman("wait", NAME, timeout=10).stdout.strip().decode()
        took = time.monotonic() - signalled
        concurrent.futures.wait(clients)
    count, shown = int(vol.counter()) if vol.counter().isdigit() else -1, [a for a in answers if a[0] == 200]
    print(f"     {vol.mode}: {len(answers)} answers under load, {len(shown)} pictures, {count - 200} counted, "
          f"exit status {status} {took:.2f} s after SIGTERM")
    # Each unanswered request, at most one a client, may have been counted.
    fine = took <= 2 and 200 + len(shown) <= count <= 200 + len(answers) + 8
    return shown_problem(shown, range(201, count + 1)) or lc.log_problems(vol.log()) or (
        None if fine else f"counter {vol.counter()!r} after {len(answers)} answers, exit after {took:.2f} s")


def counts_on(vol):
    before, removed = int(vol.counter()), podman("rm", NAME)
    problem = start(vol.mode, vol.name) if removed.returncode == 0 else removed.stdout.decode()
    status, _, body = get("/cgi-bin/lumicount?hits") if not problem else (0, {}, b"")
    return problem or (None if PICTURES.get(body) == before + 1 == int(vol.counter()) else
                       f"status {status}, {body[:40]!r} after {before}, counter {vol.counter()!r}")


CHECKS = [  # each needs the ones before it, in each mode
    ("first start on an empty volume: answers, makes the link, the log and the lock with their owners", first_start),
    ("information page exactly as the program prints it inside, uncached", info_page),
    ("the documented exec makes a counter; 200 requests at concurrency 8 get pictures of 1..200, uncached, "
     "counter 200, every one logged from the network's gateway", counts_exactly),
    ("SIGTERM under load: exit within 2 s, every answer counted, counter and log whole", stops_under_load),
    ("a second container on the same volume after the first is removed counts on", counts_on),
]


class Volume:
    """cgi: a named volume, which podman fills from the image; fastcgi: an empty directory of the host's."""

    def __init__(self, mode):
        self.mode, self.name = mode, f"{NAME}-{mode}"
        if mode == "cgi":
            podman("volume", "create", self.name)
            self.path = podman("volume", "inspect", "--format", "{{.Mountpoint}}", self.name).stdout.decode().strip()
        else:
            self.name = self.path = tempfile.mkdtemp(dir=SCRATCH)

    def counter(self):
        return open(f"{self.path}/hits.ini", "rb").read()

    def log(self):
        return open(f"{self.path}/lctlog.txt", "rb").read()


def refused():
    """Why podman cannot run a container here, or None: the static program alone as an image, run."""
    if os.geteuid() != 0 or not shutil.which("podman"):
        return "not root, or no podman"
    tar = subprocess.run(["tar", "-C", os.path.dirname(PROGRAM), "-c", "--transform=s|.*|lumicount|",
                          os.path.basename(PROGRAM)], stdout=subprocess.PIPE).stdout
    imported = subprocess.run(PODMAN + ["import", "-", "probe"], input=tar, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = podman("run", "--rm", *LIMITS, "probe", "/lumicount") if imported.returncode == 0 else imported
    return out.returncode and out.stdout.decode()[-600:]


def cleanup():
    """Stops and removes what this run started, by name; deletes the storage once nothing is mounted there."""
    podman("rm", "-f", "-t", "0", NAME)
    podman("volume", "rm", "-f", f"{NAME}-cgi")
    for mount in reversed([m.split()[1] for m in open("/proc/self/mounts") if m.split()[1].startswith(SCRATCH + "/")]):
        subprocess.run(["umount", mount])
    if SCRATCH + "/" in open("/proc/self/mounts").read():
        sys.exit(f"FAIL still mounted under {SCRATCH}: not deleted")
    shutil.rmtree(SCRATCH)


def main():
    try:
        why = refused()
        if why:
            print(f"SKIP podman cannot run a container: {why}")
            return 77
        res, started = lc.Results(), time.monotonic()
        image = subprocess.run([str(lc.HERE.parent.parent / "scripts" / "image"), "--out", SCRATCH],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        loaded = podman("load", "-i", f"{SCRATCH}/lumicount-{VERSION}-oci.tar") if image.returncode == 0 else image
        res.check("scripts/image builds the archive, podman load takes it", loaded.returncode and loaded.stdout.decode()[-1500:])
        PICTURES.update(expected_pictures(PROGRAM, 1, 1000, ()))
        for mode in ("cgi", "fastcgi") if not res.failed else ():
            vol, failed = Volume(mode), res.failed
            for name, check in CHECKS:
                res.check(f"{mode}: {name}", check(vol))
                if res.failed > failed:
                    break
            podman("rm", "-f", "-t", "0", NAME)
        print(f"     {time.monotonic() - started:.0f} s, load average {os.getloadavg()[0]:.1f}")
    finally:
        cleanup()
    res.finish()


if __name__ == "__main__":
    sys.exit(main())
