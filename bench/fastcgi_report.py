"""Turns the figures that bench/fastcgi collected into its section of docs/performance.md."""

import datetime
import os
import re
import statistics

WORK = os.environ["WORK"]
BEGIN, END = "<!-- fastcgi -->", "<!-- /fastcgi -->"
NAMES = {
    "batched": "lumicount resident, one turn per batch of waiting requests (`spawn-fcgi`, 1 process)",
    "onehit": "lumicount resident, one request a turn (the same program as of {commit})",
    "floor": "file-work floor, once per request (`bench/floor.c`, `-DFASTCGI -DWAIT_FOR_DATA`)",
    "floorbatch": "file-work floor, once per batch of waiting requests (`-DFASTCGI -DWAIT_FOR_DATA -DBATCH`)",
    "fcgiwrap": "lumicount as CGI under fcgiwrap (`fcgiwrap -c 8`), the same program",
}
# (configuration, over configuration, concurrency, at least)
TARGETS = [("batched", "onehit", 1, 0.95), ("batched", "onehit", 32, 2.0), ("batched", "floor", 32, 1.5),
           ("batched", "onehit", 8, None), ("batched", "onehit", 128, None), ("batched", "floorbatch", 32, None),
           ("batched", "fcgiwrap", 32, None)]
# Parts of a resident request that callgrind_annotate names, by their functions' inclusive cost.
PARTS = [("the picture (style, digits, GIF encoding)", ("image::apply_style", "image::emit_counter_image")),
         ("the access log", ("make_log_entry", "prepare_access_log", "write_access_log"))]
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


def rounds(configs, concurrencies):
    """{(config, concurrency): [(requests/s, failed) per round]}"""
    count = int(os.environ["ROUNDS"])
    return {(c, n): [ab_result(f"{c}.c{n}.{r}") for r in range(1, count + 1)] for c in configs for n in concurrencies}


def counted_lines(configs, requests):
    """Whether each counter advanced by exactly its requests, the soak's included."""
    start = int(os.environ["START_COUNT"])
    with open(os.path.join(WORK, "counts.txt")) as f:
        counts = dict(line.split() for line in f)
    lines = []
    for c in configs:
        sent = requests + (int(os.environ["SOAK"]) if c == "batched" else 0)
        advanced = int(counts[c]) - start
        lines.append(f"{c} {advanced:,} of {sent:,}" + ("" if advanced == sent else " (**not every request**)"))
    return lines


def soak_lines():
    rps, failed = ab_result("soak")
    lines = [f"Soak: {int(os.environ['SOAK']):,} requests (`ab -c {os.environ['SOAK_CONCURRENCY']}`) on the batching resident process, after the",
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
            "the picture's time adds to every request's, while a batch shares its turn's file work among its requests."]


def section():
    configs = os.environ["CONFIGS"].split()
    concurrencies = [int(n) for n in os.environ["CONCURRENCIES"].split()]
    per_round = rounds(configs, concurrencies)
    count, requests = int(os.environ["ROUNDS"]), int(os.environ["REQUESTS"])
    loads = [float(os.environ[n].split()[0]) for n in ("LOAD_BEFORE", "LOAD_AFTER")]
    round_loads = []
    for r in range(1, count + 1):
        with open(os.path.join(WORK, f"load.{r}")) as f:
            round_loads.append(f.read().split()[0])
    names = {c: n.format(commit=os.environ["ONE_HIT_COMMIT"]) for c, n in NAMES.items()}
    lines = [BEGIN, "## Resident (FastCGI) through nginx", "",
             f"Measured by `bench/fastcgi` on {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC.",
             f"Machine: {os.environ['MACHINE']}; {os.environ['VERSIONS']}; load average (1, 5, 15 min)",
             f"{os.environ['LOAD_BEFORE']} when the rounds began, {os.environ['LOAD_AFTER']} when they ended; "
             f"1-minute load after each round: {', '.join(round_loads)}."
             + (BUSY if max(loads) > (os.cpu_count() or 1) else ""), "",
             "The resident process serves the requests already waiting on its socket in one turn, at most 64",
             "(`platform::kBatchLimit`): one lock, the log read and written once with each request's entry in",
             "arrival order, newest first, each counter read and stored once with each request given its own",
             "count in order; then each request is answered. No answer changes: every answer and the files after",
             "are what the same requests run one after another as CGI give (`tests/server/test_faults_direct.py`",
             "compares them byte for byte). What it costs: a request that comes while a turn is being served",
             "waits for that batch, at most one batch ahead of it, before its own; at concurrency 1 every batch",
             "holds one request. The file-work floor once per batch is what any batching design costs at least.",
             "",
             f"`ab -n {requests} -c C` through one nginx (2 workers), {count} rounds after 200 warm-up requests",
             "each; every round runs each configuration once at each concurrency, in turn, starting with the",
             "next configuration each round, so that the machine's drift touches all alike. The request is the one",
             "above (`b 1`, 9-digit count, a full 300-entry log, a 132-character user agent); each configuration",
             "has its own directory, counter and log on the local disk.", "",
             "Requests per second, median of the rounds (slowest and fastest round in brackets):", "",
             "| configuration | " + " | ".join(f"c={n}" for n in concurrencies) + " | failed |",
             "|---|" + "---|" * len(concurrencies) + "---|"]
    for c in configs:
        cells = []
        for n in concurrencies:
            rps = [r for r, _ in per_round[(c, n)]]
            cells.append(f"{statistics.median(rps):.0f} ({min(rps):.0f}–{max(rps):.0f})")
        failed = sum(f for n in concurrencies for _, f in per_round[(c, n)])
        lines.append(f"| {names[c]} | " + " | ".join(cells) + f" | {failed} |")
    lines += ["", "Ratios are medians of the rounds' own ratios (each round's figures were taken side by side):", "",
              "| requests/s | concurrency | ratio | rounds' ratios, lowest to highest | target | met |",
              "|---|---|---|---|---|---|"]
    for c, over, n, least in (t for t in TARGETS if t[2] in concurrencies):
        ratios = [a[0] / b[0] if b[0] else 0.0 for a, b in zip(per_round[(c, n)], per_round[(over, n)])]
        ratio = statistics.median(ratios)
        target = f"≥ {least}×" if least else ""
        met = "" if not least else "yes" if ratio >= least else "**no**"
        lines.append(f"| {c} / {over} | {n} | {ratio:.2f}× | {min(ratios):.2f}× to {max(ratios):.2f}× | {target} | {met} |")
    sent = 200 + count * len(concurrencies) * requests
    lines += ["", "Counters advanced by (warm-up, rounds and, for the batching resident, the soak): " +
              "; ".join(counted_lines(configs, sent)) + ".", ""]
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
