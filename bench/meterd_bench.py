#!/usr/bin/env python3
"""What quorvan-meterd achieves polling as fast as the line allows.

    meterd_bench.py BUILD_DIR [--seconds 60] [--lines 2]

Starts one simulated meter (paced at 9600 baud 8N2) per line, each behind a
COM alias in a temporary XDG_CONFIG_HOME, and quorvan-meterd with
interval "0s". After the run it reads each meter's polls from /metrics and
reports polls per second against the floor a pty allows (the answer and
the 3.5-character gap: a pty delivers the request at once, only the answer
is paced), CPU time per poll (/proc/PID/stat), and resident memory after
10 s and at the end (VmRSS).
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

CLK_TCK = os.sysconf("SC_CLK_TCK")
BIT_MS = 11 * 1000.0 / 9600  # one 8N2 character at 9600 baud
ANSWER_AND_GAP_MS = (21 + 3.5) * BIT_MS
WIRE_FLOOR_MS = (8 + 21 + 3.5) * BIT_MS  # request, answer and gap on a real line


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def rss_kib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--lines", type=int, default=2)
    args = parser.parse_args()

    home = tempfile.mkdtemp(prefix="quorvan-meterd-bench-")
    env = dict(os.environ, XDG_CONFIG_HOME=home)
    sims = []
    config = 'interval = "0s"\n[http]\nlisten = "127.0.0.1:0"\n'
    for i in range(args.lines):
        com = 200 + i
        sims.append(subprocess.Popen(
            [f"{args.build}/simulator/quorvan-meter-sim", "--com", str(com), "--fixed",
             "--address", str(i + 1)],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True))
        sims[-1].stdout.readline()  # its pty path: it is answering
        config += f'[[line]]\nport = "COM{com}"\n[[line.meter]]\nname = "m{i}"\naddress = {i + 1}\n'
    path = os.path.join(home, "meterd.toml")
    open(path, "w").write(config)
    service = subprocess.Popen([f"{args.build}/service/quorvan-meterd", "--config", path],
                               env=env, stderr=subprocess.PIPE, text=True)
    port = None
    while port is None:
        line = service.stderr.readline()
        found = re.search(r"127\.0\.0\.1:(\d+)/metrics", line)
        port = found and int(found.group(1))
    try:
        time.sleep(10)
        rss_early = rss_kib(service.pid)
        cpu0, t0 = cpu_seconds(service.pid), time.monotonic()
        text0 = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics").read().decode()
        time.sleep(max(args.seconds - 10, 1))
        text1 = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics").read().decode()
        cpu1, t1 = cpu_seconds(service.pid), time.monotonic()
        rss_late = rss_kib(service.pid)
    finally:
        service.send_signal(signal.SIGTERM)
        service.wait(10)
        for sim in sims:
            sim.send_signal(signal.SIGTERM)
            sim.wait(10)

    def polls(text):
        return {m: int(v) for m, v in re.findall(
            r'quorvan_meter_polls_total\{meter="(\w+)".*\} (\d+)', text)}

    def failures(text):
        return sum(int(v) for v in re.findall(r"quorvan_meter_poll_failures_total\{.*\} (\d+)", text))

    p0, p1 = polls(text0), polls(text1)
    seconds = t1 - t0
    total = sum(p1[m] - p0[m] for m in p1)
    print(f"lines: {args.lines}, one meter each, paced; measured over {seconds:.1f} s")
    for m in sorted(p1):
        rate = (p1[m] - p0[m]) / seconds
        print(f"  {m}: {rate:.2f} polls/s, {1000 / rate:.2f} ms a poll "
              f"(pty floor {ANSWER_AND_GAP_MS:.2f} ms = {1000 / ANSWER_AND_GAP_MS:.2f}/s: "
              f"{100 * rate * ANSWER_AND_GAP_MS / 1000:.1f} %; "
              f"wire floor {WIRE_FLOOR_MS:.2f} ms)")
    print(f"failed polls: {failures(text1) - failures(text0)}")
    print(f"CPU: {1e6 * (cpu1 - cpu0) / max(total, 1):.0f} us per poll "
          f"({100 * (cpu1 - cpu0) / seconds:.2f} % of a core)")
    print(f"VmRSS: {rss_early} KiB after 10 s, {rss_late} KiB after {args.seconds:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
