"""Turns the figures that bench/fastcgi collected into its section of docs/performance.md."""

import datetime
import os
import re
import statistics

WORK = os.environ["WORK"]
BEGIN, END = "<!-- fastcgi -->", "<!-- /fastcgi -->"
NAMES = {
    "fastcgi1": "lumicount resident, 1 process (`spawn-fcgi`)",
    "fastcgi2": "lumicount resident, 2 processes (`spawn-fcgi -F 2`)",
    "fcgiwrap": "lumicount as CGI under fcgiwrap (`fcgiwrap -c 8`), the same program",
    "floor": "file-work floor as a FastCGI responder (`bench/floor.c`, `-DFASTCGI -DWAIT_FOR_DATA`)",
    "noop": "no-op FastCGI responder (`bench/noop.c`, `-DFASTCGI`)",
}
# (configuration, over configuration, at least): the resident program against CGI and the floor
TARGETS = [("fastcgi1", "fcgiwrap", 1.8), ("fastcgi1", "floor", 0.8),
           ("fastcgi2", "fcgiwrap", 1.8), ("fastcgi2", "floor", 0.8)]
# Parts of a resident request that callgrind_annotate names, by their functions' inclusive cost.
PARTS = [("the picture (style, digits, GIF encoding)", ("image::apply_style", "image::emit_counter_image")),
         ("the access log", ("rewrite_access_log",))]
BUSY = (" The load average was above the number of cores: other work shared them, which lowers every"
        " figure and pulls the ratios towards 1.")


def ab_result(name):
    """(requests/s, failed requests) of one ab run; length "failures" are pictures of other sizes."""
    with open(os.path.join(WORK, f"ab.{name}")) as f:
        text = f.read()
    rps = re.search(r"Requests per second:\s+([\d.]+)", text)
    failed = re.search(r"Connect: (\d+), Receive: (\d+), Length: \d+, Exceptions: (\d+)", text)
    non_2xx = re.search(r"Non-2xx responses:\s+(\d+)", text)
    bad = (sum(int(x) for x in failed.groups()) if failed else 0) + (int(non_2xx[1]) if non_2xx else 0)
    return (float(rps[1]) if rps else 0.0), bad


def rounds(configs):
    """{config: [(requests/s, failed) per round]}"""
    count = int(os.environ["ROUNDS"])
    return {c: [ab_result(f"{c}.{r}") for r in range(1, count + 1)] for c in configs}


def counted_lines(configs, requests):
    """Whether each counter advanced by exactly its requests, the soak's included."""
    start = int(os.environ["START_COUNT"])
    with open(os.path.join(WORK, "counts.txt")) as f:
        counts = dict(line.split() for line in f)
    lines = []
    for c in configs:
        if c == "noop":
            continue
        sent = requests + (int(os.environ["SOAK"]) if c == "fastcgi1" else 0)
        advanced = int(counts[c]) - start
        lines.append(f"{c} {advanced:,} of {sent:,}" + ("" if advanced == sent else " (**not every request**)"))
    return lines


def soak_lines():
    rps, failed = ab_result("soak")
    lines = [f"Soak: {int(os.environ['SOAK']):,} requests (`ab -c 8`) on the one resident process, after the",
             f"rounds, at {rps:.0f} requests/s, {failed} failed; load average {os.environ['LOAD_SOAK']} at its end.",
             "", "| resident process | VmRSS | VmHWM | open descriptors |", "|---|---|---|---|"]
    with open(os.path.join(WORK, "soak.txt")) as f:
        for line in f:
            when, rss, hwm, fds = line.rstrip("\n").split("|")
            lines.append(f"| {when} | {int(rss):,} kB | {int(hwm):,} kB | {len(fds.split())}: `{fds}` |")
    return lines + ["", "Descriptors above 2 are there from the start: inherited from the shell that ran spawn-fcgi,",
                     "not opened by a request."]


def instruction_lines():
    """Where one resident request's instructions go, from callgrind over the requests of one process."""
    with open(os.path.join(WORK, "callgrind.txt")) as f:
        text = f.read()

    def inclusive(name):
        m = re.search(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+\S*?" + re.escape(name) + r"\b", text, re.M)
        return int(m[1].replace(",", "")) if m else 0
    with open(os.path.join(WORK, "ab.callgrind")) as f:
        served = re.search(r"Complete requests:\s+(\d+)", f.read())
    total = inclusive("PROGRAM TOTALS")
    if not served or not total:
        return ["Instructions per resident request: not measured (callgrind gave no figures)."]
    count = int(served[1])
    parts = [(name, sum(inclusive(f) for f in funcs)) for name, funcs in PARTS]
    return [f"Instructions per resident request (callgrind, {count} requests to one process, its start included):",
            f"{total // count:,} in all; " + ", ".join(f"{name} {n // count:,} ({100 * n / total:.0f}%)" for name, n in parts)
            + "; the counter, the lock and the FastCGI exchange the rest. The file-work floor draws no picture:",
            "in one process the picture's time adds to every request's, in two it overlaps the other's file work."]


def section():
    configs = os.environ["CONFIGS"].split()
    per_round = rounds(configs)
    count, requests = int(os.environ["ROUNDS"]), int(os.environ["REQUESTS"])
    loads = [float(os.environ[n].split()[0]) for n in ("LOAD_BEFORE", "LOAD_AFTER")]
    lines = [BEGIN, "## Resident (FastCGI) through nginx", "",
             f"Measured by `bench/fastcgi` on {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC.",
             f"Machine: {os.environ['MACHINE']}; {os.environ['VERSIONS']}; load average (1, 5, 15 min)",
             f"{os.environ['LOAD_BEFORE']} when the rounds began, {os.environ['LOAD_AFTER']} when they ended."
             + (BUSY if max(loads) > (os.cpu_count() or 1) else ""), "",
             f"`ab -n {requests} -c 8` through one nginx (2 workers), {count} rounds after 200 warm-up requests",
             "each; every round runs each configuration once, in turn, starting with the next one each round, so",
             "that the machine's drift touches all alike. The request is the one above (`b 1`, 9-digit count,",
             "a full 300-entry log, a 132-character user agent); each configuration has its own directory,",
             "counter and log.", "",
             "| configuration | requests/s, median of rounds | slowest round | fastest round | failed |",
             "|---|---|---|---|---|"]
    for c in configs:
        rps = [r for r, _ in per_round[c]]
        failed = sum(f for _, f in per_round[c])
        lines.append(f"| {NAMES[c]} | {statistics.median(rps):.0f} | {min(rps):.0f} | {max(rps):.0f} | {failed} |")
    lines += ["", "Ratios are medians of the rounds' own ratios (each round's figures were taken side by side):", "",
              "| requests/s | ratio | rounds' ratios, lowest to highest | target | met |", "|---|---|---|---|---|"]
    for c, over, least in TARGETS:
        ratios = [a[0] / b[0] if b[0] else 0.0 for a, b in zip(per_round[c], per_round[over])]
        ratio = statistics.median(ratios)
        lines.append(f"| {NAMES[c].split(' (')[0]} / {NAMES[over].split(' (')[0]} | {ratio:.2f}× | "
                     f"{min(ratios):.2f}× to {max(ratios):.2f}× | ≥ {least}× | {'yes' if ratio >= least else '**no**'} |")
    lines += ["", "Counters advanced by (warm-up, rounds and, for the one resident process, the soak): " +
              "; ".join(counted_lines(configs, 200 + count * requests)) + ".", ""]
    lines += soak_lines() + [""] + instruction_lines()
    lines += ["", "The benchmark reports figures only; it passes or fails nothing.", END]
    return "\n".join(lines)


def main():
    out = os.environ["OUT"]
    text = open(out).read() if os.path.exists(out) else ""
    if BEGIN in text and END in text:
        text = text[:text.index(BEGIN)] + section() + text[text.index(END) + len(END):]
    else:
        text = text.rstrip("\n") + "\n\n" + section() + "\n"
    with open(out, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
