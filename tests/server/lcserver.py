"""A private Apache serving the program, and checks shared by the server suites."""

import datetime
import email.utils
import http.client
import os
import pathlib
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
APACHE = "/usr/sbin/apache2"
LOG_HEADER = b"lumicount.exe version 2.1 log file\r\n\r\n"
IMAGE_HEADER = b"Content-type: image/gif\n\n"
START_TIMEOUT = 15.0
REQUEST_TIMEOUT = 20.0


def is_root():
    return os.geteuid() == 0


def server_ids():
    """uid and gid the CGI program runs as under our Apache."""
    if is_root():
        entry = pwd.getpwnam("www-data")
        return entry.pw_uid, entry.pw_gid
    return os.getuid(), os.getgid()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Apache:
    """Site directory plus a running Apache; stopped and removed on exit, also on failure."""

    def __init__(self, program, mpm="event", cgi="cgid"):
        self.program = program
        self.mpm = mpm
        self.cgi = cgi
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="lumicount-server."))
        self.cgi_bin = self.dir / "cgi-bin"
        self.proc = None
        self.port = None

    def _shell(self, script):
        subprocess.run(["bash", "-c", f'source "{HERE}/apache_conf.sh" && {script}'],
                       check=True, cwd=self.dir)

    def __enter__(self):
        try:
            self._shell(f'lc_make_site "{self.dir}" "{self.program}"')
            for _ in range(3):
                self.port = free_port()
                self._shell(self._conf_script())
                if self._start():
                    return self
            raise RuntimeError(f"{type(self).__name__} did not start:\n" + self.error_log())
        except BaseException:
            self.__exit__(None, None, None)
            raise

    def _conf_script(self):
        return f'lc_write_apache_conf "{self.dir}" {self.port} {self.mpm} {self.cgi}'

    def _command(self):
        return [APACHE, "-f", str(self.dir / "httpd.conf"), "-DFOREGROUND"]

    def _start(self):
        self.proc = subprocess.Popen(self._command(), start_new_session=True)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                self._stop()
                return False
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return True
            except OSError:
                time.sleep(0.05)
        self._stop()
        return False

    def _stop(self):
        if self.proc is None:
            return
        # The whole group, even once the server has ended: what it started (fcgiwrap, a
        # resident program) may outlive it.
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            return
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()

    def __exit__(self, *exc):
        self._stop()
        shutil.rmtree(self.dir, ignore_errors=True)
        return False

    def error_log(self):
        path = self.dir / "logs" / "error.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def get(self, target, agent="lumicount-test/1.0"):
        """(status, headers as dict of lower-case names, body)"""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=REQUEST_TIMEOUT)
        try:
            conn.request("GET", target, headers={"User-Agent": agent})
            resp = conn.getresponse()
            return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
        finally:
            conn.close()

    def counter_path(self, name):
        return self.cgi_bin / f"{name}.ini"

    def set_counter(self, name, text):
        path = self.counter_path(name)
        path.write_text(text)
        os.chown(path, *server_ids())

    def read_counter(self, name):
        return self.counter_path(name).read_bytes()

    def log_bytes(self):
        path = self.cgi_bin / "lctlog.txt"
        return path.read_bytes() if path.exists() else b""


def console_run(program, args, cwd=None):
    """The program started from a console: next value drawn, nothing stored."""
    env = {k: v for k, v in os.environ.items() if k not in ("REMOTE_HOST", "REMOTE_ADDR")}
    return subprocess.run([str(program)] + list(args), env=env, cwd=cwd,
                          stdout=subprocess.PIPE, check=True, timeout=10).stdout


def gif_probe(probe, gif):
    """width, height, global colour table size, transparent index (-1 when none)."""
    out = subprocess.run([probe], input=gif, stdout=subprocess.PIPE, timeout=10)
    if out.returncode != 0:
        return None
    return tuple(int(v) for v in out.stdout.split())


def log_problems(data, max_entries=300):
    """Why data is not a well-formed access log, or None."""
    if not data.startswith(LOG_HEADER):
        return f"log does not start with the header: {data[:60]!r}"
    lines = data[len(LOG_HEADER):].split(b"\r\n")
    cut = lines.pop()  # after the last CR LF: empty unless a line was cut at the size limit
    if cut and len(data) < 49994:
        return f"last line without CR LF in a log of {len(data)} bytes: {cut[-60:]!r}"
    for line in lines:
        if b"\r" in line or b"\n" in line:
            return f"line with a stray CR or LF: {line[:80]!r}"
    if len(lines) + (1 if cut else 0) > max_entries:
        return f"{len(lines)} entries, more than {max_entries}"
    return None


def log_entries(data):
    return data[len(LOG_HEADER):].split(b"\r\n")[:-1]


ENTRY_TIME = re.compile(rb"^\d{4}/\d{2}/\d{2} \d{2}:\d{2} ")


def no_cache_problems(headers):
    if headers.get("cache-control") != "no-cache, no-store, must-revalidate":
        return f"Cache-Control is {headers.get('cache-control')!r}"
    expires = headers.get("expires")
    if expires is None:
        return "no Expires header"
    when = email.utils.parsedate_to_datetime(expires)
    if when >= datetime.datetime.now(datetime.timezone.utc):
        return f"Expires {expires!r} is not in the past"
    return None


def image_width(count):
    return 14 * len(str(count)) + 4


class Results:
    """Collects named failures; the suite fails when any case failed."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, problem):
        if problem:
            self.failed += 1
            print(f"FAIL {name}: {problem}", flush=True)
        else:
            self.passed += 1
            print(f"ok   {name}", flush=True)

    def finish(self):
        print(f"{self.passed} passed, {self.failed} failed", flush=True)
        sys.exit(1 if self.failed else 0)
