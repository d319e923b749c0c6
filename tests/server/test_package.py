"""The Debian package as a new user meets it, in a fresh Debian 12 root beside a running Apache.

usage: test_package.py PROGRAM GIF_PROBE (PROGRAM is unused: the package builds its own); 77: SKIP
"""

import concurrent.futures
import contextlib
import http.client
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import lcserver as lc

DATA = "/var/lib/lumicount"
ARCH = subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE, text=True).stdout.strip()
OLD, NEW = f"lumicount_2.1-1_{ARCH}.deb", f"lumicount_2.1-1+test1_{ARCH}.deb"
APT = "DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0"
PROBE, SCRATCH, PORT = sys.argv[2], tempfile.mkdtemp(prefix="lumicount-package."), lc.free_port()
ROOT = os.path.realpath(os.path.join(SCRATCH, "root"))


def host(*args):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)


def inside(script):
    """None when bash in the root runs script with exit 0, else its output."""
    out = host("chroot", ROOT, "/bin/bash", "-c", f"set -euo pipefail; {script}")
    return None if out.returncode == 0 else f"`{script[:100]}` exit {out.returncode}: {out.stdout.decode()[-800:]}"


def get(target):
    with contextlib.closing(http.client.HTTPConnection("127.0.0.1", PORT, timeout=lc.REQUEST_TIMEOUT)) as conn:
        conn.request("GET", target)
        resp = conn.getresponse()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()


def build():
    out = host(str(lc.HERE.parent.parent / "scripts" / "package"), "--out", SCRATCH, "--also", "+test1")
    return None if out.returncode == 0 and os.path.exists(f"{SCRATCH}/{NEW}") else out.stdout.decode()[-1500:]


def make_root():
    """Debian 12 from the URI the host's apt uses; Apache on a free port, let to (re)load by invoke-rc.d."""
    policy = host("apt-cache", "policy").stdout.decode()
    uri = re.search(r"^ *\d+ (\S+) bookworm/main \S+ Packages\n *release .*\bo=Debian\b", policy, re.M)[1]
    out = host("debootstrap", "--variant=minbase", "bookworm", ROOT, uri)
    if out.returncode != 0:
        return out.stdout.decode()[-800:]
    host("mount", "-t", "proc", "proc", f"{ROOT}/proc")
    for deb in (OLD, NEW):
        shutil.copy(f"{SCRATCH}/{deb}", f"{ROOT}/tmp")
    return inside(f"echo force-unsafe-io >/etc/dpkg/dpkg.cfg.d/unsafe-io && apt-get -q update && {APT} install apache2 >/dev/null && "
                  f"sed -i 's/^Listen 80$/Listen 127.0.0.1:{PORT}/' /etc/apache2/ports.conf && "
                  f"sed -i 's/:80>/:{PORT}>/' /etc/apache2/sites-available/000-default.conf && "
                  "printf '#!/bin/sh\\nexit 0\\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d && "
                  "apache2ctl start 2>/dev/null && sleep 1 && test -s /run/apache2/apache2.pid")


def info_page():
    status, headers, body = get("/cgi-bin/lumicount?a=b")
    printed = host("chroot", ROOT, "/bin/bash", "-c", "mkdir -p /tmp/i && REMOTE_ADDR=127.0.0.1 "
                   "exec -a /tmp/i/lumicount /usr/lib/lumicount/lumicount").stdout
    if status != 200 or b"Content-type: text/html\n\n" + body != printed:
        return f"status {status}, {body[:200]!r}, program printed {printed[:200]!r}"
    return lc.no_cache_problems(headers)


def counter():
    """hits made by the README's command; kept holds 41 and is never requested."""
    problem = inside(f"install -o www-data -g www-data -m 644 /dev/null {DATA}/hits.ini && "
                     f"install -o www-data -g www-data -m 644 /dev/null {DATA}/kept.ini && printf 41 >{DATA}/kept.ini")
    # A console run draws the next value without storing it.
    drawn = host("chroot", ROOT, "env", "-u", "REMOTE_ADDR", "-u", "REMOTE_HOST", f"{DATA}/lumicount", "hits", "1").stdout
    status, headers, body = get("/cgi-bin/lumicount?hits+1")
    if problem or status != 200 or b"Content-type: image/gif\n\n" + body != drawn:
        return problem or f"status {status}, {body[:40]!r}, console drew {drawn[:60]!r}"
    size = (lc.gif_probe(PROBE, body) or (0, 0))[:2]
    return lc.no_cache_problems(headers) or inside(f"test $(cat {DATA}/hits.ini) = 1") or (
        None if size == (lc.image_width(1), 18) else f"picture decodes as {size}")


def link_protected():
    for attempt in (f"ln -sfn /bin/sh {DATA}/lumicount", f"rm {DATA}/lumicount", f"mv {DATA}/hits.ini {DATA}/lumicount"):
        if not inside(f"setpriv --reuid=www-data --regid=www-data --clear-groups {attempt} 2>/dev/null"):
            return f"www-data could {attempt}"
    return inside(f"test $(readlink {DATA}/lumicount) = /usr/lib/lumicount/lumicount")


def picture_problem(_):
    status, headers, body = get("/cgi-bin/lumicount?hits+1")
    ok = status == 200 and headers.get("content-type") == "image/gif" and lc.gif_probe(PROBE, body)
    return None if ok else f"status {status}, {headers.get('content-type')}, {body[:80]!r}"


def upgrade():
    """Requests at concurrency 8 from before dpkg -i starts until a second after it ends, at least 100."""
    lock = os.stat(f"{ROOT}{DATA}/lctlog.lck").st_ino
    problems, count, dpkg, ended, deadline = [], 0, None, None, time.monotonic() + 300
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        while time.monotonic() < deadline and (count < 100 or not ended or time.monotonic() < ended + 1):
            problems += [p for p in pool.map(picture_problem, range(8)) if p]
            count += 8
            if dpkg is None:
                dpkg = subprocess.Popen(["chroot", ROOT, "dpkg", "-i", f"/tmp/{NEW}"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            elif not ended and dpkg.poll() is not None:
                ended = time.monotonic()
    print(f"     {count} requests during the upgrade")
    if problems or dpkg.wait(300) != 0:
        return f"dpkg exit {dpkg.returncode}: {dpkg.stdout.read()[-400:]}; {len(problems)} bad answers: {problems[:1]}"
    return inside(f"dpkg-query -W -f '${{Version}}' lumicount | grep -qx 2.1-1+test1 && test $(cat {DATA}/hits.ini) = {1 + count} && "
                  f"test $(cat {DATA}/kept.ini) = 41 && test $(stat -c %i {DATA}/lctlog.lck) = {lock}") or lc.log_problems(
                      open(f"{ROOT}{DATA}/lctlog.txt", "rb").read())


def remove():
    return inside(f"{APT} remove lumicount && apache2ctl configtest 2>/dev/null && test ! -e /etc/apache2/conf-enabled/lumicount.conf && "
                  f"test $(cat {DATA}/kept.ini) = 41 && test -s {DATA}/lctlog.txt && test ! -e {DATA}/lumicount") or (
                      None if get("/cgi-bin/lumicount?hits+1")[0] == 404 else "the address still answers")


def resident_units():
    """No systemd runs in the root: a systemctl there records what the maintainer scripts ask of it.
    The socket is enabled as `systemctl enable` does it, by a link in sockets.target.wants."""
    wants, log = "/etc/systemd/system/sockets.target.wants", f"{ROOT}/tmp/systemctl.log"
    problem = inside(
        "mkdir -p /run/systemd/system && printf '#!/bin/sh\\necho \"$*\" >>/tmp/systemctl.log\\n' >/usr/bin/systemctl && "
        f"chmod 755 /usr/bin/systemctl && {APT} install /tmp/{OLD} >/dev/null && mkdir -p {wants} && "
        f"ln -s /lib/systemd/system/lumicount.socket {wants} && dpkg -i /tmp/{NEW} >/dev/null && "
        f"echo upgraded >>/tmp/systemctl.log && {APT} remove lumicount >/dev/null && echo removed >>/tmp/systemctl.log && "
        f"{APT} purge lumicount >/dev/null && test ! -L {wants}/lumicount.socket")
    lines = open(log).read().splitlines() if os.path.exists(log) else []
    asked = [line for line in lines if "lumicount" in line or line in ("upgraded", "removed")]
    host("rm", "-rf", f"{ROOT}/run/systemd", f"{ROOT}/usr/bin/systemctl")
    expected = ["try-restart lumicount.service", "upgraded", "stop lumicount.socket lumicount.service", "removed"]
    return problem or (None if asked == expected else f"systemctl was asked {asked}")


def built_using():
    field = host("dpkg-deb", "-f", f"{SCRATCH}/{OLD}", "Built-Using").stdout.decode().strip()
    built_with = [host("dpkg-query", "-W", "-f", "${source:Package} (= ${source:Version})", dev).stdout.decode()
                  for dev in ("libgd-dev", "libfcgi-dev")]
    return None if set(built_with) <= set(field.split(", ")) else f"Built-Using: {field!r}, built with {built_with}"


STEPS = [  # each step needs the ones before it
    ("scripts/package builds 2.1-1 and 2.1-1+test1, lintian clean", build),
    ("debootstrap --variant=minbase bookworm, apt installs apache2, Apache starts", make_root),
    ("apt install ./lumicount_2.1-1_ARCH.deb beside the running Apache", lambda: inside(f"{APT} install /tmp/{OLD}")),
    ("information page exactly as the program prints it, uncached", info_page),
    ("a counter made by one command counts at once, the picture the console draws", counter),
    ("www-data cannot replace, remove or rename over the program's link", link_protected),
    ("upgrade under a burst: every answer a picture, count exact, counter 41 / log / lock kept", upgrade),
    ("remove: counter 41 and log kept, configtest passes, the address answers 404", remove),
    ("purge: /var/lib/lumicount and the configuration gone, configtest passes", lambda: inside(
        f"{APT} purge lumicount && apache2ctl configtest 2>/dev/null && test ! -e {DATA} && test ! -e /etc/apache2/conf-available/lumicount.conf")),
    ("resident units: an upgrade restarts the service only, remove stops socket and service, purge disables the socket",
     resident_units),
    ("Built-Using names the sources of the static gd and libfcgi it was built with", built_using),
]


def in_root(pid):
    with contextlib.suppress(OSError):
        return os.readlink(f"/proc/{pid}/root") == ROOT


def cleanup():
    """Stops what runs in the root (Apache), by PID; unmounts; deletes the root unless still mounted."""
    for sig in [signal.SIGTERM] * 40 + [signal.SIGKILL] * 10:
        pids = [int(p) for p in os.listdir("/proc") if p.isdigit() and in_root(p)]
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, sig)
        if not pids:
            break
        time.sleep(0.2)
    for mount in reversed([m.split()[1] for m in open("/proc/self/mounts") if m.split()[1].startswith(ROOT + "/")]):
        host("umount", mount)
    if ROOT + "/" in open("/proc/self/mounts").read():
        sys.exit(f"FAIL still mounted under {ROOT}: not deleted")
    shutil.rmtree(SCRATCH)


def main():
    refused = "not root" if os.geteuid() != 0 else host("chroot", "/", "true").returncode and "chroot refused"
    if refused:
        sys.exit(print(f"SKIP debootstrap and chroot: {refused}") or 77)
    res, started = lc.Results(), time.monotonic()
    try:
        for name, step in STEPS:
            res.check(name, step())
            if res.failed:
                break
    finally:
        cleanup()
    print(f"     {time.monotonic() - started:.0f} s, load average {os.getloadavg()[0]:.1f}")
    res.finish()


if __name__ == "__main__":
    main()
