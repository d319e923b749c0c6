"""Power cuts while web requests run leave a whole counter and a whole log, never
older than what the file system had made durable.

Each file system (ext4, XFS, btrfs) lives in a loop-mounted image holding an install
directory: the program, a 9-digit counter and a log at its 49,994-character limit.
Several requests run in a loop, started as a CGI server starts them. At a random
instant the counter is read and the file system synced: that value is durable.
At a later random instant the file system is shut down (the shutdown ioctl, which
ext4 shares with XFS), either without flushing its journal, or after flushing it,
as when a power cut comes right after a periodic journal commit. The image is then
unmounted, mounted again (journal recovery), and checked:
- the counter holds digits only, at least the durable value, at most the count
  before the round plus the pictures answered;
- the log is the header and whole entries (the last one may be cut at the limit),
  and its newest entry is no older than the newest one at the durable instant;
- on btrfs, where each request waits with fdatasync, the counts answered survive but the newest.
A counter or log found empty, or at its size in zero bytes, is a lost file: the
count would read as 0.

Without root or loop devices the suite prints SKIP and exits with 77.

usage: test_power_cut.py PROGRAM [SEED]
"""

import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import lcserver as lc

SKIP = 77
WORKERS = 4
CUTS = 5  # per file system and mode
START = 999_000_000
OLD_ENTRIES = 300
LOG_LIMIT = 49994  # characters, a line end counting as one
AGENT_PAD = 130  # entries of 174 characters: 300 of them pass the character limit
DIGITS = re.compile(rb"^[0-9]+$")
AGENT_SEQ = re.compile(rb" - pc(\d+) ")
PICTURE_END = b";"  # the GIF trailer: the picture was sent whole

# (name, mkfs command, image size): 300 MB is the smallest XFS that mkfs.xfs makes.
FILE_SYSTEMS = [
    ("ext4", ["mkfs.ext4", "-q", "-F"], "64M"),
    ("xfs", ["mkfs.xfs", "-q", "-f"], "300M"),
    ("btrfs", ["mkfs.btrfs", "-q", "-f"], "300M"),
]
# btrfs has no shutdown ioctl here: its image lives on an ext4 of its own (the first above), which is
# shut down instead, so the writes btrfs had not flushed to its device are lost, as in a power cut.
HELD = {"btrfs"}
# (name, xfs_io shutdown command)
MODES = [
    ("no journal flush", "shutdown"),
    ("journal flushed", "shutdown -f"),
]
TOOLS = ["mount", "umount", "losetup", "xfs_io", "sync"] + [fs[1][0] for fs in FILE_SYSTEMS]


def agent(seq):
    return f"pc{seq:09d} " + "x" * AGENT_PAD


def old_log():
    """A log as the program leaves it at its limits: 300 entries, the last one cut."""
    lines = [b"2000/05/01 13:07 k 127.0.0.1 - " + agent(i).encode() for i in range(OLD_ENTRIES)]
    text = lc.LOG_HEADER.replace(b"\r\n", b"\n") + b"".join(line + b"\n" for line in lines)
    return text[:LOG_LIMIT].replace(b"\n", b"\r\n")


def run(cmd):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)


def must(cmd, tries=1):
    for _ in range(tries):
        out = run(cmd)
        if out.returncode == 0:
            return
        time.sleep(0.1)
    raise RuntimeError(f"{' '.join(cmd)}: {out.stdout.decode(errors='replace').strip()}")


def mount(image, mnt):
    return ["mount", "-o", "loop", image, mnt]


def newest_seqs(log):
    """Request numbers of the log's whole entries, newest first."""
    return [int(m[1]) for m in (AGENT_SEQ.search(e) for e in lc.log_entries(log)) if m]


class Requests:
    """Web requests for counter k started in a loop by WORKERS threads until stopped."""

    def __init__(self, program, first_seq):
        self.program = program
        self.seq = first_seq
        self.pictures = 0
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.threads = [threading.Thread(target=self._loop) for _ in range(WORKERS)]

    def _next_seq(self):
        with self.lock:
            self.seq += 1
            return self.seq

    def _one(self):
        env = {"PATH": "/usr/bin:/bin", "REMOTE_ADDR": "127.0.0.1", "HTTP_USER_AGENT": agent(self._next_seq()),
               "GATEWAY_INTERFACE": "CGI/1.1", "QUERY_STRING": "k+1", "REQUEST_METHOD": "GET"}
        out = subprocess.run([self.program, "k", "1"], env=env, stdout=subprocess.PIPE,
                             cwd=os.path.dirname(self.program), timeout=20).stdout
        return out.startswith(lc.IMAGE_HEADER + b"GIF8") and out.endswith(PICTURE_END)

    def _loop(self):
        while not self.stop.is_set():
            try:
                answered = self._one()
            except OSError:  # the file system is down: the program cannot start
                return
            with self.lock:
                self.pictures += answered

    def __enter__(self):
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        for t in self.threads:
            t.join()
        return False


def durable_point(install):
    """Counter value and log request numbers that a syncfs made durable."""
    counter = open(os.path.join(install, "k.ini"), "rb").read()
    log = open(os.path.join(install, "lctlog.txt"), "rb").read()
    must(["sync", "-f", install])
    return counter, newest_seqs(log)


def lost(data):
    """The file's new data never reached the disk: empty, or its size in zero bytes."""
    return data.strip(b"\0") == b""


def state_problems(install, before, answered, durable):
    """[(kind, problem)] of counter and log after the cut; kind "lost" when a file's data is gone."""
    counter = open(os.path.join(install, "k.ini"), "rb").read()
    log = open(os.path.join(install, "lctlog.txt"), "rb").read()
    durable_counter, durable_seqs = durable
    problems = []
    if not DIGITS.match(durable_counter):
        problems.append(("bad", f"counter held {durable_counter[:20]!r} while requests ran"))
    elif lost(counter):
        problems.append(("lost", f"counter of {len(counter)} zero bytes, durable {durable_counter.decode()}"))
    elif not DIGITS.match(counter):
        problems.append(("bad", f"counter holds {counter[:20]!r}"))
    elif not int(durable_counter) <= int(counter) <= before + answered:
        problems.append(("bad", f"counter {int(counter)}, durable {durable_counter.decode()},"
                                f" {before} before the round and {answered} pictures answered"))
    if lost(log):
        problems.append(("lost", f"log of {len(log)} zero bytes"))
    elif lc.log_problems(log):
        problems.append(("bad", f"log of {len(log)} bytes: {lc.log_problems(log)}"))
    else:
        seqs = newest_seqs(log)
        if not seqs or seqs[0] in durable_seqs[1:]:
            problems.append(("bad", f"log went back: newest entry {seqs[:1]}, durable newest {durable_seqs[:1]}"))
    return problems


def cut(mnt, image, install, shutdown, before, first_seq, rng):
    """One round of requests ended by a cut: (problems, pictures answered, last request number)."""
    copy = os.path.join(install, "lumicount")
    holder = os.path.dirname(image) if os.path.ismount(os.path.dirname(image)) else None
    with Requests(copy, first_seq) as requests:
        time.sleep(rng.uniform(0.05, 0.3))
        durable = durable_point(install)
        time.sleep(rng.uniform(0.0, 0.3))
        must(["xfs_io", "-x", "-c", shutdown, holder or mnt])
    must(["umount", mnt])
    if holder:
        # btrfs's loop device may let go of its image a moment after btrfs went down.
        must(["umount", holder], tries=100)
        must(mount(holder + ".img", holder))
    must(mount(image, mnt))
    problems = state_problems(install, before, requests.pictures, durable)
    # Each fdatasync makes the renames before it durable: the newest count may be lost, two if a commit fell between.
    counter = open(os.path.join(install, "k.ini"), "rb").read()
    if holder and not problems and int(counter) < before + requests.pictures - 2:
        problems.append(("bad", f"counter {int(counter)} lost counts answered: {before} + {requests.pictures}"))
    return problems, requests.pictures, requests.seq


def install_files(install):
    """Counter at START and a full log, made durable; a cut that broke them starts again from here."""
    with open(os.path.join(install, "k.ini"), "w") as f:
        f.write(str(START))
    with open(os.path.join(install, "lctlog.txt"), "wb") as f:
        f.write(old_log())
    must(["sync", "-f", install])
    return START


def mode_cases(res, mnt, image, install, fs_name, mode, rng, seq):
    """CUTS cuts in one shutdown mode; returns the last request number."""
    mode_name, shutdown = mode
    value = install_files(install)
    pictures = 0
    kinds = {"lost": [], "bad": []}
    for i in range(CUTS):
        problems, answered, seq = cut(mnt, image, install, shutdown, value, seq, rng)
        pictures += answered
        for kind, problem in problems:
            kinds[kind].append(f"cut {i + 1}: {problem}")
        value = install_files(install) if problems else int(open(os.path.join(install, "k.ini")).read())
        print(f"{fs_name}, {mode_name}, cut {i + 1}: {answered} pictures, "
              + ("; ".join(p for _, p in problems) + "; files restored" if problems else f"counter {value}"),
              flush=True)
    case = f"{fs_name}, {mode_name}: {CUTS} cuts"
    lost_files = "; ".join(kinds["lost"])
    print(f"{case}, {pictures} pictures: {len(kinds['lost'])} files lost, {len(kinds['bad'])} other problems")
    res.check(f"{case} lose no file", lost_files)
    res.check(f"{case} leave digits, whole entries, nothing older than durable", "; ".join(kinds["bad"]))
    res.check(f"{case} came while pictures were answered", None if pictures > 0 else "no picture answered")
    return seq


def made_and_mounted(mkfs, size, image, mnt):
    """A new file system in image, mounted at mnt: None, or why it cannot be mounted here."""
    os.makedirs(mnt, exist_ok=True)
    must(["truncate", "-s", size, image])
    must(mkfs + [image])
    mounted = run(mount(image, mnt))
    return None if mounted.returncode == 0 else " ".join(mounted.stdout.decode(errors="replace").strip().splitlines()[:1])


def file_system_cases(res, scratch, program, fs, rng):
    """All cuts on one file system; False when it cannot be mounted here."""
    name, mkfs, size = fs
    holder, mnt = os.path.join(scratch, "holder"), os.path.join(scratch, name)
    image = os.path.join(holder if name in HELD else scratch, f"{name}.img")
    try:
        why = made_and_mounted(FILE_SYSTEMS[0][1], "400M", holder + ".img", holder) if name in HELD else None
        why = why or made_and_mounted(mkfs, size, image, mnt)
        if why:
            print(f"SKIP {name}: cannot loop-mount an image here: {why}")
            return False
        install = os.path.join(mnt, "cgi-bin")
        os.mkdir(install)
        shutil.copy(program, os.path.join(install, "lumicount"))
        seq = OLD_ENTRIES
        for mode in MODES:
            seq = mode_cases(res, mnt, image, install, name, mode, rng, seq)
    finally:
        run(["umount", mnt])
        if os.path.ismount(holder):
            must(["umount", holder], tries=100)
    return True


def main():
    program = os.path.abspath(sys.argv[1])
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else random.randrange(1 << 30)
    print(f"seed {seed}")
    rng = random.Random(seed)
    if os.geteuid() != 0:
        print("SKIP power cuts: loop mounts need root")
        sys.exit(SKIP)
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        print(f"FAIL power cuts: missing {' '.join(missing)} (scripts/deps/powercut.txt)")
        sys.exit(1)
    res = lc.Results()
    scratch = tempfile.mkdtemp(prefix="lumicount-powercut.")
    skipped = False
    try:
        for fs in FILE_SYSTEMS:
            skipped |= not file_system_cases(res, scratch, program, fs, rng)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if skipped and not res.failed:
        print(f"{res.passed} passed, some file systems skipped")
        sys.exit(SKIP)
    res.finish()


if __name__ == "__main__":
    main()
