#!/usr/bin/env python3
"""Speed and cost of the built programs as whole processes.

    process_bench.py BUILD_DIR [--watch-seconds 60] [--soak-seconds 300] [--runs 10]
                               [--json FILE]

Measures, against simulated meters on pseudo-terminals (each behind a COM
alias in its own temporary XDG_CONFIG_HOME):
  - quorvan-cli watch: the poll period as the meter hears it, and CPU time
    per minute of measuring (getrusage of the child);
  - one read by quorvan-cli, mbpoll and a pymodbus client, process start to
    exit, with and without line pacing;
  - Quorvan-Master under Xvfb: time from exec to its window being mapped,
    resident memory after start-up, then measuring (driven with xdotool):
    poll period, CPU time per minute, resident memory after the soak.
Prints a summary; --json writes every figure.
"""
import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PYMODBUS_READ = r"""
import sys, time
from pymodbus.client import ModbusSerialClient
client = ModbusSerialClient(port=sys.argv[1], baudrate=9600, bytesize=8,
                            parity="N", stopbits=2, timeout=2)
if not client.connect():
    sys.exit("cannot open " + sys.argv[1])
reads = int(sys.argv[2]) if len(sys.argv) > 2 else 1
times = []
for _ in range(reads):
    t = time.perf_counter()
    r = client.read_input_registers(0, 8, slave=248)
    times.append(time.perf_counter() - t)
    if r.isError():
        sys.exit(str(r))
client.close()
print(" ".join(str(v) for v in r.registers))
if reads > 1:
    times.sort()
    print("median_ms %.3f" % (1000 * times[len(times) // 2]))
"""

CLK_TCK = os.sysconf("SC_CLK_TCK")


class Config:
    """A temporary XDG_CONFIG_HOME for one simulated meter's COM alias."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quorvan-bench-")
        self.env = dict(os.environ, XDG_CONFIG_HOME=self.dir)

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def read_line(proc, timeout):
    """The next line of proc's stdout, or None after `timeout` seconds."""
    box = []
    t = threading.Thread(target=lambda: box.append(proc.stdout.readline()), daemon=True)
    t.start()
    t.join(timeout)
    return box[0].strip() if box else None


def stop(proc, sig=signal.SIGTERM, timeout=10):
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class PollLog:
    """quorvan_poll_log: a simulated meter that times the requests it hears."""

    def __init__(self, build, config, port, pacing=True):
        args = [f"{build}/bench/quorvan_poll_log", "--com", str(port), "--seconds", "100000"]
        if not pacing:
            args.append("--no-pacing")
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, env=config.env)
        if read_line(self.proc, 10) != "ready":
            raise RuntimeError("quorvan_poll_log did not start")

    def wait_heard(self, timeout):
        return read_line(self.proc, timeout) == "heard"

    def close(self):
        stop(self.proc)

    def result(self):
        self.proc.send_signal(signal.SIGTERM)
        out, _ = self.proc.communicate(timeout=10)
        return json.loads(out.strip().splitlines()[-1])


def proc_cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime + stime


def proc_status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return None


def measure_watch(build, seconds):
    config = Config()
    meter = cli = None
    try:
        meter = PollLog(build, config, 1)
        cli = subprocess.Popen([f"{build}/cli/quorvan-cli", "--port", "COM1", "watch", "--json"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=config.env)
        if not meter.wait_heard(10):
            raise RuntimeError("quorvan-cli watch sent nothing")
        start = time.monotonic()
        time.sleep(seconds)
        cli.send_signal(signal.SIGINT)
        _, status, usage = os.wait4(cli.pid, 0)
        cli.returncode = os.waitstatus_to_exitcode(status)
        elapsed = time.monotonic() - start
        poll = meter.result()
        cpu = usage.ru_utime + usage.ru_stime
        return {"seconds": round(elapsed, 1), "exit": cli.returncode, "poll": poll,
                "cpu_s": round(cpu, 3), "cpu_s_per_min": round(cpu / elapsed * 60, 3),
                "max_rss_kib": usage.ru_maxrss}
    finally:
        if cli is not None and cli.returncode is None:
            stop(cli)
        if meter is not None:
            meter.close()
        config.close()


def time_run(args, env, expect):
    t = time.perf_counter()
    r = subprocess.run(args, capture_output=True, text=True, env=env, timeout=30)
    elapsed = time.perf_counter() - t
    if r.returncode != 0 or expect not in r.stdout:
        raise RuntimeError(f"{args[0]} failed ({r.returncode}): {r.stdout} {r.stderr}")
    return elapsed


def single_reads(build, runs, pacing):
    config = Config()
    sim_args = [f"{build}/simulator/quorvan-meter-sim", "--com", "1", "--fixed", "--voltage",
                "51.23", "--current", "4.5", "--energy", "12345"]
    if not pacing:
        sim_args.append("--no-pacing")
    sim = subprocess.Popen(sim_args, stdout=subprocess.PIPE, text=True, env=config.env)
    try:
        pty = read_line(sim, 10)
        if not pty or not pty.startswith("/dev/"):
            raise RuntimeError("quorvan-meter-sim did not start")
        tools = {
            "quorvan-cli read": ([f"{build}/cli/quorvan-cli", "--port", "COM1", "read", "--json"],
                                 '"voltage_v": 51.23'),
            "mbpoll": (["mbpoll", "-m", "rtu", "-a", "1", "-b", "9600", "-d", "8", "-s", "2", "-P",
                        "none", "-t", "3", "-r", "1", "-c", "8", "-1", pty], "5123"),
            "pymodbus": ([sys.executable, "-c", PYMODBUS_READ, pty], "5123 450"),
        }
        times = {name: [] for name in tools}
        for _ in range(runs):  # interleaved, so that drift hits all alike
            for name, (args, expect) in tools.items():
                times[name].append(time_run(args, config.env, expect))
        result = {name: round(1000 * statistics.median(t), 2) for name, t in times.items()}
        # pymodbus with the port already open: the exchange alone.
        r = subprocess.run([sys.executable, "-c", PYMODBUS_READ, pty, str(max(runs, 20))],
                           capture_output=True, text=True, timeout=120)
        result["pymodbus exchange only"] = float(r.stdout.split("median_ms")[1])
        return result
    finally:
        stop(sim)
        config.close()


def xdotool(display, *args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True,
                          env=dict(os.environ, DISPLAY=display)).stdout.split()


def click(display, window, x_du, y_du, width_du, height_du):
    """Clicks the point (x_du, y_du), in dialog units, of a window that is
    width_du x height_du dialog units large."""
    geometry = dict(kv.split("=") for kv in xdotool(display, "getwindowgeometry", "--shell",
                                                     window))
    x = int(geometry["WIDTH"]) * x_du // width_du
    y = int(geometry["HEIGHT"]) * y_du // height_du
    xdotool(display, "mousemove", "--window", window, str(x), str(y), "click", "1")


def wait_window(display, pid=None, name=None, timeout=20):
    args = ["search", "--onlyvisible"] + (["--pid", str(pid)] if pid else ["--name", name])
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = xdotool(display, *args)
        if found:
            return found[0]
        time.sleep(0.005)
    return None


def start_xvfb():
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24",
                             "-nolisten", "tcp"], pass_fds=(write_fd,),
                            stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as f:
        number = f.readline().strip()
    return xvfb, ":" + number


def measure_panel(build, soak_seconds, starts):
    xvfb, display = start_xvfb()
    config = Config()
    env = dict(config.env, DISPLAY=display)
    panel = meter = None
    try:
        meter = PollLog(build, config, 1)
        shown_ms = []
        for i in range(starts):
            t = time.perf_counter()
            log = os.path.join(config.dir, "panel.log")
            with open(log, "w") as err:
                panel = subprocess.Popen([f"{build}/console/Quorvan-Master"], env=env,
                                         stdout=subprocess.DEVNULL, stderr=err)
            window = wait_window(display, pid=panel.pid)
            if window is None:
                stop(panel)
                with open(log) as err:
                    raise RuntimeError("the panel's window did not appear (exit "
                                       f"{panel.returncode}): {err.read()}")
            shown_ms.append(round(1000 * (time.perf_counter() - t), 1))
            if i < starts - 1:
                stop(panel)
        time.sleep(2)
        rss_start = proc_status_kib(panel.pid, "VmRSS")

        # "Set COM Port", OK (COM1 is preselected), "Start Measure".
        click(display, window, 271, 21, 312, 147)
        dialog = wait_window(display, name="COM Port setting")
        if dialog is None:
            raise RuntimeError("the port dialog did not open")
        click(display, dialog, 34, 74, 127, 94)
        time.sleep(0.5)
        click(display, window, 271, 40, 312, 147)
        if not meter.wait_heard(10):
            raise RuntimeError("the panel did not start measuring")

        time.sleep(2)
        cpu0, t0 = proc_cpu_seconds(panel.pid), time.monotonic()
        time.sleep(60)
        cpu_per_min = (proc_cpu_seconds(panel.pid) - cpu0) / (time.monotonic() - t0) * 60
        rss_1min = proc_status_kib(panel.pid, "VmRSS")
        time.sleep(max(0, soak_seconds - 62))
        rss_soak = proc_status_kib(panel.pid, "VmRSS")
        hwm = proc_status_kib(panel.pid, "VmHWM")
        soak_cpu = proc_cpu_seconds(panel.pid)
        poll = meter.result()
        return {"shown_ms": shown_ms, "rss_after_start_kib": rss_start,
                "cpu_s_per_min": round(cpu_per_min, 3), "rss_after_1min_kib": rss_1min,
                "soak_seconds": soak_seconds, "rss_after_soak_kib": rss_soak,
                "vmhwm_kib": hwm, "cpu_s_total": round(soak_cpu, 2), "poll": poll}
    finally:
        if panel is not None:
            stop(panel)
        if meter is not None:
            meter.close()
        stop(xvfb)
        config.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--watch-seconds", type=float, default=60)
    parser.add_argument("--soak-seconds", type=float, default=300)
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--starts", type=int, default=6)
    parser.add_argument("--json")
    a = parser.parse_args()
    build = os.path.abspath(a.build)

    results = {}
    print("== quorvan-cli watch", flush=True)
    results["watch"] = measure_watch(build, a.watch_seconds)
    print(json.dumps(results["watch"]), flush=True)
    for pacing in (True, False):
        key = "single_read_paced" if pacing else "single_read_unpaced"
        print(f"== one read, pacing {'on' if pacing else 'off'}", flush=True)
        results[key] = single_reads(build, a.runs, pacing)
        ours = results[key]["quorvan-cli read"]
        print(json.dumps(results[key]), flush=True)
        print("ratios to quorvan-cli read: " +
              ", ".join(f"{k} {v / ours:.2f}" for k, v in results[key].items()
                        if k != "quorvan-cli read" and k != "pymodbus exchange only"),
              flush=True)
    if os.path.exists(f"{build}/console/Quorvan-Master"):
        print(f"== Quorvan-Master under Xvfb, measuring for {a.soak_seconds:.0f} s", flush=True)
        results["panel"] = measure_panel(build, a.soak_seconds, a.starts)
        print(json.dumps(results["panel"]), flush=True)
    else:
        print("== Quorvan-Master not built: panel figures skipped", flush=True)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
