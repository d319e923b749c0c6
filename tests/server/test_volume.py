"""Two web servers sharing the program's directory on a GlusterFS volume (one
brick, two FUSE mounts: volume.sh) answer, count and log every request once and
keep the files whole: bursts through both mounts, two lighttpd, and the brick
killed mid-burst. Pictures are matched against console runs for every count, so
a count shown twice is seen. Without root, FUSE or a loop device: SKIP, exit 77.

usage: test_volume.py PROGRAM
       test_volume.py PROGRAM --repeat N [CONFIG]: the two-lighttpd check N times on one
       volume per configuration (or CONFIG's alone: default, coherent), failing runs and lost requests
"""

import concurrent.futures
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

import lcserver as lc

START = 5000
BURST = 200  # requests through each mount
SERVED = 100  # requests to each web server
CONCURRENCY = 8  # per web server
# Several clients using the same files at once: no metadata caching but cache
# invalidation (GlusterFS Administrator Guide, "Performance tuning", Enable
# Metadata cache), and no kernel name and attribute caching (mount.glusterfs(8)).
CONFIGS = [
    ("default options", "", []),
    ("coherent options", "entry-timeout=0,attribute-timeout=0",
     ["performance.stat-prefetch", "off", "features.cache-invalidation", "on", "performance.cache-invalidation", "on"]),
]


class Volume:
    """The volume of volume.sh in a scratch directory, mounted at mnt1 and mnt2."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="lumicount-volume.")
        os.chmod(self.dir, 0o755)  # the web servers' user reaches the mounts

    def shell(self, script, *args):
        return subprocess.run(["bash", "-c", f'source "{lc.HERE}/volume.sh" && LC_VOLUME_DIR="$0" && {script}',
                               self.dir, *args], check=True, stdout=subprocess.PIPE, timeout=120).stdout

    def site(self, name):
        """The program and counter k in a directory of their own: its path through each mount."""
        os.mkdir(f"{self.dir}/mnt1/{name}")
        shutil.copy(PROGRAM, f"{self.dir}/mnt1/{name}/lumicount")
        pathlib.Path(f"{self.dir}/mnt1/{name}/k.ini").write_text(str(START))
        subprocess.run(["chown", "-R", "www-data:www-data", f"{self.dir}/mnt1/{name}"], check=True)
        return [f"{self.dir}/mnt{m}/{name}" for m in (1, 2)]

    def brick(self, name, file=""):
        """A file as the brick holds it: what every client reads once its caches let go."""
        path = pathlib.Path(f"{self.dir}/brick/b/{name}/{file}")
        return path.read_bytes() if file else os.listdir(path)


def start(site, agent, counter="k"):
    """One request, started as a CGI server starts it."""
    env = {"PATH": "/usr/bin:/bin", "REMOTE_ADDR": "127.0.0.1", "HTTP_USER_AGENT": agent,
           "GATEWAY_INTERFACE": "CGI/1.1", "QUERY_STRING": f"{counter}+1", "REQUEST_METHOD": "GET"}
    return subprocess.Popen([f"{site}/lumicount", counter, "1"], env=env, cwd=site, stdout=subprocess.PIPE)


def launch(sites):
    """BURST requests through each mount, none awaited yet."""
    return [start(site, f"vol-{i}-{m}") for i in range(BURST) for m, site in enumerate(sites)]


def answers(procs):
    return [p.communicate(timeout=120)[0] for p in procs]


def answers_problem(vol, name, replies, cut=False):
    """Each answer a picture of a count shown once (or, when cut, `Cannot open`), the files whole."""
    counts = [PICTURES.get(a) for a in replies]
    others = [a for a, c in zip(replies, counts) if c is None and not (cut and a.startswith(b'Cannot open "'))]
    counter, log = vol.brick(name, "k.ini"), vol.brick(name, "lctlog.txt")
    shown = sorted(c for c in counts if c is not None)
    twice = sorted({c for c in shown if shown.count(c) > 1})[:5]
    entries = len(lc.log_entries(log))
    # A brick killed mid-rename may store a count it never confirms: that request
    # answered `Cannot open` the counter, and its count stays unseen.
    unconfirmed = sum(a.startswith(b'Cannot open "') and a.endswith(b'/k.ini".<BR>\n') for a in replies) if cut else 0
    unseen = int(counter) - START - len(shown) if counter.isdigit() else -1
    if others:
        return f"{len(others)} of {len(replies)} answers neither a picture nor allowed, first {others[0][:80]!r}"
    if twice or not set(shown) <= set(range(START + 1, START + 1 + len(shown) + max(unseen, 0))) or \
            not 0 <= unseen <= unconfirmed:
        # A count shown but not stored is shown again by the next request.
        return (f"counter {counter[:20]!r} after {len(shown)} pictures from {START} up to {shown[-1:]}, "
                f"{unconfirmed} counter failures; twice: {twice}")
    if lc.log_problems(log) or not (cut or entries == min(300, len(shown))):
        return f"{entries} log entries: {lc.log_problems(log)}"
    leftovers = [f for f in vol.brick(name) if f.endswith(".tmp")]
    return f"left {leftovers}" if leftovers and not cut else None


def burst_check(vol):
    return answers_problem(vol, "burst", answers(launch(vol.site("burst"))))


def get(port, agent):
    """The answer as the program wrote it: CGI header and body of a picture, the body of anything else."""
    try:
        with urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}/cgi-bin/lumicount?k+1",
                                                           headers={"User-Agent": agent}), timeout=60) as reply:
            picture = reply.status == 200 and reply.headers["Content-Type"] == "image/gif"
            return (lc.IMAGE_HEADER if picture else b"") + reply.read()
    except urllib.error.HTTPError as error:
        return f"HTTP {error.code}".encode()


def lighttpd(vol, site):
    """lighttpd running the program in site, its own files beside the mounts: (process, port)."""
    web, port = tempfile.mkdtemp(dir=vol.dir, prefix="web."), lc.free_port()
    os.chmod(web, 0o755), os.mkdir(f"{web}/htdocs"), os.mkdir(f"{web}/logs"), os.symlink(site, f"{web}/cgi-bin")
    proc = subprocess.Popen(["bash", "-c", f'source "{lc.HERE}/apache_conf.sh" && lc_write_lighttpd_conf "$0" {port} '
                             '&& exec /usr/sbin/lighttpd -D -f "$0/lighttpd.conf"', web], start_new_session=True)
    while socket.socket().connect_ex(("127.0.0.1", port)) != 0 and proc.poll() is None:
        time.sleep(0.1)
    return proc, port


def serve(vol, name):
    """Two lighttpd, each running the program from its own mount, take SERVED requests each: the answers."""
    servers = []
    try:
        for site in vol.site(name):
            servers.append(lighttpd(vol, site))
        with concurrent.futures.ThreadPoolExecutor(CONCURRENCY * len(servers)) as pool:
            replies = list(pool.map(lambda i: get(servers[i % 2][1], f"vol-{i}"), range(SERVED * len(servers))))
    finally:
        for proc, _ in servers:
            os.killpg(proc.pid, signal.SIGTERM)
            proc.wait(timeout=30)
    return replies


def servers_check(vol):
    return answers_problem(vol, "served", serve(vol, "served"))


def brick_kill_check(vol):
    """The brick process SIGKILLed (its PID from `gluster volume status`) mid-burst, then started again."""
    procs = launch(vol.site("killed"))
    while int(vol.brick("killed", "k.ini")) < START + BURST // 2 and any(p.poll() is None for p in procs):
        time.sleep(0.02)
    running = sum(p.poll() is None for p in procs)
    vol.shell("lc_volume_kill_brick")
    time.sleep(1)
    vol.shell('lc_gluster volume start "$LC_VOLUME" force >/dev/null')
    replies = answers(procs)
    print(f"  killed with {running} requests running: {sum(a in PICTURES for a in replies)} pictures")
    return answers_problem(vol, "killed", replies, cut=True) or (None if running else "the burst ended first")


def synced_check(vol):
    """Sequential requests, profiled on the brick: each replaced file (log, counter) reached its disk before its rename."""
    site, runs = vol.site("synced")[0], 20
    vol.shell('lc_gluster volume profile "$LC_VOLUME" start >/dev/null')
    try:
        replies = [answers([start(site, "vol-synced")])[0] for _ in range(runs)]
        profile = vol.shell('lc_gluster volume profile "$LC_VOLUME" info cumulative').decode()
    finally:
        vol.shell('lc_gluster volume profile "$LC_VOLUME" stop >/dev/null')
    fsyncs = sum(int(line.split()[-2]) for line in profile.splitlines() if line.split()[-1:] == ["FSYNC"])
    return answers_problem(vol, "synced", replies) or (None if fsyncs >= 2 * runs else f"{fsyncs} FSYNC for {runs} requests")


def created_elsewhere_check(vol):
    """A counter missing through one mount, then made through the other: counted through the first at once."""
    mnt1, mnt2 = vol.site("created")
    missing = answers([start(mnt2, "vol-before", "new")])[0]
    pathlib.Path(f"{mnt1}/new.ini").write_text(str(START))
    shutil.chown(f"{mnt1}/new.ini", "www-data", "www-data")
    made = answers([start(mnt2, "vol-after", "new")])[0]
    if missing in PICTURES or PICTURES.get(made) != START + 1:
        return f"before: {missing[:60]!r}, after: {made[:60]!r}"
    return None


CHECKS = [
    (f"burst of {BURST} through each mount", burst_check),
    (f"two lighttpd, {SERVED} requests each at concurrency {CONCURRENCY}", servers_check),
    ("a data sync on the brick for each replaced file", synced_check),
    ("a counter made through one mount, counted at once through the other", created_elsewhere_check),
    ("brick killed mid-burst and started again", brick_kill_check),
]


def pictures(program):
    """The program's own picture for each count a check can reach, from console runs."""
    found = {}
    with tempfile.TemporaryDirectory() as scratch:
        shutil.copy(program, f"{scratch}/lumicount")
        for count in range(START + 1, START + 2 * BURST + 1):
            pathlib.Path(f"{scratch}/k.ini").write_text(str(count - 1))
            found[lc.console_run(f"{scratch}/lumicount", ["k", "1"])] = count
    return found


def repeat(vol, config, runs):
    """bench/volume's repeat mode: each run on a site of its own, its lost requests counted."""
    failing = lost = 0
    for i in range(runs):
        replies = serve(vol, f"served-{i}")
        problem = answers_problem(vol, f"served-{i}", replies)
        missed = sum(a not in PICTURES for a in replies)
        failing, lost = failing + (problem is not None), lost + missed
        if problem:
            print(f"  run {i + 1}: {missed} lost: {problem}", flush=True)
    print(f"{config}: {failing} of {runs} runs failed, {lost} of {runs * SERVED * 2} requests lost", flush=True)


def main():
    global PROGRAM, PICTURES
    PROGRAM = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[3]) if sys.argv[2:3] == ["--repeat"] else 0
    configs = [c for c in CONFIGS if sys.argv[4:5] in ([], [c[0].split()[0]])]
    loop = subprocess.run(["losetup", "-f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    if os.geteuid() != 0 or not os.path.exists("/dev/fuse") or not loop:
        print("SKIP volume: needs root, /dev/fuse and a free loop device")
        sys.exit(77)
    PICTURES = pictures(PROGRAM)
    res = lc.Results()
    for config, mount_options, volume_options in configs:
        vol = Volume()
        try:
            vol.shell('lc_volume_up "$LC_VOLUME_DIR" "$@"', mount_options, *volume_options)
            for check, run in ([] if runs else CHECKS):
                began = time.monotonic()
                problem = run(vol)
                res.check(f"{config}: {check} ({time.monotonic() - began:.1f} s)", problem)
            if runs:
                repeat(vol, config, runs)
        finally:
            vol.shell('lc_volume_down "$LC_VOLUME_DIR"')
    if not runs:
        res.finish()


if __name__ == "__main__":
    main()
