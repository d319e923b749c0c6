"""Turns the figures that bench/run collected into docs/performance.md."""

import datetime
import json
import os
import re
import statistics

WORK = os.environ["WORK"]
VARIANTS = ["noop", "static", "shared"]
AB_TARGETS = {"noop": "noop", "static": "lumicount", "shared": "lumishared", "floor": "floor"}
WALL_RATIO = 1.5
MAX_INSTRUCTIONS = 1_000_000
MAX_MEMORY_KIB = 2048
MIN_RPS_RATIO = 0.8
FILE_WORK_RATIO = 1.15
FILE_WORK_AIM = 1.05
MAX_PAGE_FAULTS = 40
MIN_FLOOR_RPS_RATIO = 0.9
INTERLEAVED = ["web request, static gd (`b 1`)", "file-work floor (`bench/floor.c`, waits for the data)",
               "file-work floor without the wait for the data", "no-op (`bench/noop.c`)"]
BUSY = (" The load average was above the number of cores (it counts work of the last minutes, the"
        " benchmark's own and a test run before it included). Where others share the cores, waiting for"
        " them adds much the same time to every program, which widens every spread and pulls every"
        " ratio towards 1, flattering the targets.")
RELIABILITY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "reliability.md")
# Sections kept as they are when this report is written again: what each change
# of a round saved, measured by hand, and what bench/fastcgi writes.
KEPT = [("<!-- savings -->", "<!-- /savings -->"), ("<!-- fastcgi -->", "<!-- /fastcgi -->")]


def read(name):
    with open(os.path.join(WORK, name)) as f:
        return f.read()


def wall_times():
    results = json.loads(read("hyperfine.json"))["results"]
    return {r["command"]: (r["mean"] * 1000, r["stddev"] * 1000, r["median"] * 1000) for r in results}


def peak_memory():
    return {v: statistics.median(int(x) for x in read(f"mem.{v}").split()) for v in VARIANTS}


def instructions():
    out = {}
    for v in VARIANTS:
        text = read(f"ir.{v}").split()
        out[v] = int(text[0]) if text else None
    return out


def requests_per_second():
    out = {}
    for v, target in AB_TARGETS.items():
        best = None
        failed = 0
        for rnd in (1, 2):
            text = read(f"ab.{target}.{rnd}")
            m = re.search(r"Requests per second:\s+([\d.]+)", text)
            # Length "failures" are only pictures of different sizes.
            f = re.search(r"Connect: (\d+), Receive: (\d+), Length: \d+, Exceptions: (\d+)", text)
            n = re.search(r"Non-2xx responses:\s+(\d+)", text)
            failed += (sum(int(x) for x in f.groups()) if f else 0) + (int(n[1]) if n else 0)
            if m and (best is None or float(m[1]) > best):
                best = float(m[1])
        out[v] = (best, failed)
    return out


def interleaved():
    """(median, p10, p90 in ms, median page faults) of each program that bench/interleave timed, in its order."""
    rows = re.findall(r"^program \d+ median ([\d.]+) p10 ([\d.]+) p90 ([\d.]+) ms faults (\d+)",
                      read("interleave.txt"), re.M)
    return [tuple(float(x) for x in row) for row in rows]


def interleaved_lines(times):
    request, file_work, no_wait, noop = (t[0] for t in times)
    lines = ["", "The request against the file-work floor, timed interleaved by `bench/interleave.c`:",
             f"{os.environ['ROUNDS']} rounds after 20 warm-up rounds, each running the request, the file-work floor",
             "and the no-op once, in turn, each from fork to exit (`CLOCK_MONOTONIC`), so that the machine's",
             "drift touches all three alike. The file-work floor is a static C program that does only what",
             "a request cannot avoid: read the log and the counter, write each (the log with a new entry on",
             "top) into a new file beside it, wait for its data to reach the disk (a power cut needs it,",
             "see below), rename it over the old one, answer a bare header; no lock, no picture. Without",
             "the wait, the floor is what a design that a power cut can reset would cost.", "",
             "| program | median | p10 | p90 | page faults (median) |", "|---|---|---|---|---|"]
    lines += [f"| {name} | {t[0]:.3f} ms | {t[1]:.3f} ms | {t[2]:.3f} ms | {t[3]:.0f} |"
              for name, t in zip(INTERLEAVED, times)]
    lines += ["", f"Ratios of the medians: web request / file-work floor {request / file_work:.2f}×, web request /",
              f"floor without the wait {request / no_wait:.2f}×, web request / no-op {request / noop:.2f}×,",
              f"file-work floor / no-op {file_work / noop:.2f}×; the wait for the data costs",
              f"{file_work - no_wait:.3f} ms a request."]
    return lines


def busy():
    """Whether other work kept the cores busy at the start or the end of the timing."""
    loads = (float(os.environ[name].split()[0]) for name in ("LOAD_BEFORE", "LOAD_AFTER"))
    return max(loads) > (os.cpu_count() or 1)


def kept_sections(path):
    """The kept sections of the report being replaced, those it has."""
    text = open(path).read() if os.path.exists(path) else ""
    return [part for start, end in KEPT if start in text and end in text
            for part in (text[text.index(start):text.index(end) + len(end)], "")]


def met(ok):
    return "yes" if ok else "**no**"


def main():
    wall = wall_times()
    mem = peak_memory()
    ir = instructions()
    rps = requests_per_second()
    floor = wall["noop"][0]
    times = interleaved()
    ratio = times[0][0] / times[1][0]
    rows = [("wall time per request against the file-work floor, static gd (interleaved medians)",
             f"{times[0][0]:.3f} ms", f"{times[1][0]:.3f} ms (file-work floor)",
             f"≤ {FILE_WORK_RATIO}× (aim {FILE_WORK_AIM}×)", f"{ratio:.2f}×", met(ratio <= FILE_WORK_RATIO)),
            ("page faults per web request, static gd (interleaved medians)", f"{times[0][3]:.0f}",
             f"{times[1][3]:.0f} (file-work floor), {times[3][3]:.0f} (no-op)", f"≤ {MAX_PAGE_FAULTS}", "",
             met(times[0][3] <= MAX_PAGE_FAULTS))]
    for v in ("static", "shared"):
        ratio = wall[v][0] / floor
        rows.append((f"wall time per request, {v} gd",
                     f"{wall[v][0]:.3f} ms ± {wall[v][1]:.3f} (median {wall[v][2]:.3f})",
                     f"{floor:.3f} ms ± {wall['noop'][1]:.3f}",
                     f"≤ {WALL_RATIO}× floor", f"{ratio:.2f}×", met(ratio <= WALL_RATIO)))
    for v in ("static", "shared"):
        rows.append((f"instructions per request, {v} gd", f"{ir[v]:,}" if ir[v] else "n/a",
                     f"{ir['noop']:,}" if ir["noop"] else "n/a", f"≤ {MAX_INSTRUCTIONS:,}", "",
                     met(ir[v] is not None and ir[v] <= MAX_INSTRUCTIONS)))
    for v in ("static", "shared"):
        rows.append((f"peak memory (max RSS), {v} gd", f"{mem[v] / 1024:.2f} MiB", f"{mem['noop'] / 1024:.2f} MiB",
                     "≤ 2 MiB", "", met(mem[v] <= MAX_MEMORY_KIB)))
    for v in ("static", "shared"):
        ratio = rps[v][0] / rps["noop"][0] if rps[v][0] and rps["noop"][0] else 0
        rows.append((f"requests/s through Apache, c = 8, {v} gd",
                     f"{rps[v][0]:.0f}" + (f" ({rps[v][1]} failed)" if rps[v][1] else "") if rps[v][0] else "n/a",
                     f"{rps['noop'][0]:.0f}" if rps["noop"][0] else "n/a",
                     f"≥ {MIN_RPS_RATIO}× no-op CGI", f"{ratio:.2f}×", met(ratio >= MIN_RPS_RATIO)))

    ratio = rps["static"][0] / rps["floor"][0] if rps["static"][0] and rps["floor"][0] else 0
    rows.append(("requests/s through Apache, c = 8, static gd, against the file-work floor CGI",
                 f"{rps['static'][0]:.0f}" if rps["static"][0] else "n/a",
                 f"{rps['floor'][0]:.0f} (file-work floor)" if rps["floor"][0] else "n/a",
                 f"≥ {MIN_FLOOR_RPS_RATIO}× file-work floor CGI", f"{ratio:.2f}×", met(ratio >= MIN_FLOOR_RPS_RATIO)))

    lines = [
        "# Performance",
        "",
        "Cost of one web request in steady state, measured by `bench/run` "
        f"on {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC.",
        "",
        f"Machine: {os.environ['MACHINE']}; load average (1, 5, 15 min) {os.environ['LOAD_BEFORE']} when the",
        f"timing began, {os.environ['LOAD_AFTER']} when it ended." + (BUSY if busy() else ""),
        "",
        "The request: counter `b` with a 9-digit count, style 1 (`b 1`), `REMOTE_ADDR` and a",
        f"132-character user agent set, and an access log already at 300 entries ({int(os.environ['LOG_BYTES']):,} bytes;",
        f"{int(os.environ['LOG_BYTES_AFTER']):,} bytes after the timed runs). The floor is `bench/noop.c`, a static C",
        "program that writes a bare CGI header and exits: no CGI request can cost less.",
        "",
        "| measure | lumicount | floor (no-op unless named) | target | ratio | met |",
        "|---|---|---|---|---|---|",
    ]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    parts = [json.loads(read(f"hyperfine.{n}.json"))["results"][0] for n in ("console", "log")]
    lines += ["", "Where the wall time of the static build goes (same hyperfine settings):", "",
              "| run | wall time | over the floor |", "|---|---|---|",
              f"| no-op floor | {floor:.3f} ms | |"]
    lines += [f"| {r['command']} | {r['mean'] * 1000:.3f} ms | {r['mean'] * 1000 - floor:+.3f} ms |" for r in parts]
    lines += [f"| whole web request (log, counter, picture) | {wall['static'][0]:.3f} ms | {wall['static'][0] - floor:+.3f} ms |"]
    top = [t.strip() for t in read("ir.top").splitlines() if t.strip()]
    if top:
        lines += ["", "Where the instructions of the static build go (callgrind, top functions):", "", "```"]
        lines += [re.sub(r" \[[^]]*\]$", "", t).replace("???:", "") for t in top]
        lines += ["```"]
    lines += interleaved_lines(times)
    lines += [
        "",
        "How each figure is taken:",
        "",
        f"- wall time: `hyperfine -N`, 30 warm-up and {os.environ['RUNS']} timed runs of each program started",
        "  directly with the CGI environment; mean ± standard deviation.",
        f"- peak memory: `/usr/bin/time -f %M`, median of {os.environ['MEM_RUNS']} runs.",
        "- instructions: `valgrind --tool=callgrind`, total instructions of one whole run, start-up included.",
        "- page faults: minor and major, as the kernel counts them for each run `bench/interleave.c` starts",
        "  (`wait4`); it starts each with `posix_spawn`, so only the program's own are counted, as `perf stat`",
        "  counts them.",
        f"- requests per second: `ab -n {os.environ['AB_REQUESTS']} -c 8` against the same private Apache",
        "  (mpm_event, mod_cgid, `tests/server/apache_conf.sh`), best of two rounds, the no-op CGI",
        "  program installed beside the counter, the file-work floor in a directory of its own with its own",
        "  full log and counter.",
        f"- static gd: the normal build (`build-server/`), fully static. Shared gd: Debian's libgd.so,"
        f" {os.environ['SHARED_NOTE']} (`build-server-shared/`).",
        "",
        "The benchmark reports figures only; it passes or fails nothing.",
        "",
    ]
    with open(RELIABILITY) as f:
        lines += [f.read().rstrip("\n"), ""]
    lines += kept_sections(os.environ["OUT"])
    with open(os.environ["OUT"], "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
