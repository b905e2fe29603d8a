#!/usr/bin/env python3
"""What quorvan-meterd achieves polling as fast as the line allows.

    meterd_bench.py BUILD_DIR [--seconds 70] [--lines 1] [--meters 8]
                              [--report-every 300] [--json FILE]

Starts one simulated bus per line (quorvan-meter-sim with --meters meters,
paced at 9600 baud 8N2: the request's and the answer's wire time), each
behind a COM alias in a temporary XDG_CONFIG_HOME, and quorvan-meterd with
interval "0s". Reports, from 10 s after the start (the meters are up by
then):

  - polls per second per line from quorvan_meter_polls_total, against the
    wire floor: request 8 + answer 21 characters + the 3.5-character gap,
    11 bits a character at 9600 baud = 37.24 ms a poll, 26.9 polls/s;
  - failed polls (quorvan_meter_poll_failures_total);
  - CPU per poll over the first minute (/proc/PID/stat user + system);
  - resident memory (VmRSS) after 1 minute, every --report-every seconds
    and at the end;
  - the time of one GET /metrics over HTTP (median of 200) for these meters.

The service is niced like everything else here; run it on a machine as
quiet as you can get.
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

from process_bench import proc_cpu_seconds, proc_status_kib, stop

BIT_MS = 11 * 1000.0 / 9600  # one 8N2 character at 9600 baud
WIRE_FLOOR_MS = (8 + 21 + 3.5) * BIT_MS  # request, answer and gap
WARM_UP_S = 10


def scrape(port):
    return urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5).read().decode()


def counters(text, family):
    """{meter: value} of one counter family."""
    return {m: int(v) for m, v in re.findall(
        family + r'\{meter="([\w-]+)".*\} (\d+)', text)}


class Sample:
    def __init__(self, pid, port):
        self.t = time.monotonic()
        text = scrape(port)
        self.cpu = proc_cpu_seconds(pid)
        self.rss = proc_status_kib(pid, "VmRSS") or 0
        self.polls = counters(text, "quorvan_meter_polls_total")
        self.failures = counters(text, "quorvan_meter_poll_failures_total")


def start(args, home):
    env = dict(os.environ, XDG_CONFIG_HOME=home)
    sims = []
    config = 'interval = "0s"\n[http]\nlisten = "127.0.0.1:0"\n'
    for line in range(args.lines):
        com = 200 + line
        meters = []
        for m in range(args.meters):
            meters += ["--meter", f"{m + 1},voltage={48 + m},current={1 + line}.5,fixed"]
        sims.append(subprocess.Popen(
            [f"{args.build}/simulator/quorvan-meter-sim", "--com", str(com)] + meters,
            env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True))
        sims[-1].stdout.readline()  # its pty path: it is answering
        config += f'[[line]]\nport = "COM{com}"\n'
        for m in range(args.meters):
            config += f'[[line.meter]]\nname = "l{line}m{m + 1}"\naddress = {m + 1}\n'
    path = os.path.join(home, "meterd.toml")
    open(path, "w").write(config)
    service = subprocess.Popen([f"{args.build}/service/quorvan-meterd", "--config", path],
                               env=env, stderr=subprocess.PIPE, text=True)
    port = None
    while port is None:
        line = service.stderr.readline()
        if not line:
            raise SystemExit("quorvan-meterd ended before it served metrics")
        found = re.search(r"127\.0\.0\.1:(\d+)/metrics", line)
        port = found and int(found.group(1))
    return sims, service, port


def per_line(args, first, last):
    seconds = last.t - first.t
    lines = []
    for line in range(args.lines):
        names = [f"l{line}m{m + 1}" for m in range(args.meters)]
        polls = sum(last.polls[n] - first.polls[n] for n in names)
        failed = sum(last.failures[n] - first.failures[n] for n in names)
        lines.append({"polls_per_s": polls / seconds, "failed": failed,
                      "least_polls": min(last.polls[n] - first.polls[n] for n in names),
                      "most_polls": max(last.polls[n] - first.polls[n] for n in names)})
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=70)
    parser.add_argument("--lines", type=int, default=1)
    parser.add_argument("--meters", type=int, default=8, help="meters on each line")
    parser.add_argument("--report-every", type=float, default=300)
    parser.add_argument("--json")
    args = parser.parse_args()
    if args.seconds < WARM_UP_S + 60:
        raise SystemExit(f"--seconds must be at least {WARM_UP_S + 60}")

    home = tempfile.mkdtemp(prefix="quorvan-meterd-bench-")
    sims, service, port = start(args, home)
    rss_log = []
    try:
        time.sleep(WARM_UP_S)
        first = Sample(service.pid, port)
        time.sleep(60)
        minute = Sample(service.pid, port)
        rss_log.append((minute.t - first.t + WARM_UP_S, minute.rss))
        print(f"[{WARM_UP_S + 60:6.0f} s] VmRSS {minute.rss} KiB", flush=True)
        end = first.t - WARM_UP_S + args.seconds
        while time.monotonic() < end:
            time.sleep(max(0.0, min(args.report_every, end - time.monotonic())))
            s = Sample(service.pid, port)
            rss_log.append((s.t - first.t + WARM_UP_S, s.rss))
            rate = sum(x["polls_per_s"] for x in per_line(args, first, s))
            print(f"[{s.t - first.t + WARM_UP_S:6.0f} s] VmRSS {s.rss} KiB, "
                  f"{rate:.2f} polls/s", flush=True)
        last = s if len(rss_log) > 1 else minute
        http_ms = []
        for _ in range(200):
            t0 = time.perf_counter()
            scrape(port)
            http_ms.append(1000 * (time.perf_counter() - t0))
    finally:
        stop(service)
        for sim in sims:
            stop(sim)
        shutil.rmtree(home, ignore_errors=True)

    lines = per_line(args, first, last)
    cpu_minute = minute.cpu - first.cpu
    polls_minute = sum(minute.polls[n] - first.polls[n] for n in minute.polls)
    print(f"{args.lines} line(s), {args.meters} paced meters each, interval 0; "
          f"measured over {last.t - first.t:.0f} s after {WARM_UP_S} s")
    for i, line in enumerate(lines):
        rate = line["polls_per_s"]
        print(f"  line {i}: {rate:.2f} polls/s, {1000 / rate:.2f} ms a poll; wire floor "
              f"{WIRE_FLOOR_MS:.2f} ms = {1000 / WIRE_FLOOR_MS:.2f}/s: "
              f"{100 * rate * WIRE_FLOOR_MS / 1000:.1f} %; failed polls {line['failed']}; "
              f"polls per meter {line['least_polls']}..{line['most_polls']}")
    print(f"CPU over the first minute: {1e6 * cpu_minute / max(polls_minute, 1):.0f} us per poll "
          f"({100 * cpu_minute / (minute.t - first.t):.2f} % of a core)")
    print("VmRSS: " + ", ".join(f"{kib} KiB at {t:.0f} s" for t, kib in rss_log))
    print(f"GET /metrics ({len(last.polls)} meters): median {statistics.median(http_ms):.2f} ms, "
          f"95 % {sorted(http_ms)[189]:.2f} ms")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"lines": lines, "wire_floor_ms": WIRE_FLOOR_MS,
                       "cpu_us_per_poll": 1e6 * cpu_minute / max(polls_minute, 1),
                       "rss_kib": rss_log, "http_ms_median": statistics.median(http_ms)},
                      f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
