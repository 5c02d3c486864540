#!/usr/bin/python3
"""Measures pty-to-TCP relays from both of their ends, side by side in one run: vsp (the
real binary, client mode), the bare relay (floorrelay.c: the same block rules and nothing
else, built from its source for this run) and socat doing the same job.

This process plays both outer parts at once: the program that opens the virtual port
(through its link) and the module on the TCP side (a listener on 127.0.0.1 that the relay
connects to). Both ends are timestamped with CLOCK_MONOTONIC in this one process, so a
one-way latency is a plain difference.

Figures, per relay and round (every relay gets a fresh process in every round; the order
of the relays turns by one each round, so a burst of load elsewhere on the machine does
not always fall on the same relay):
  throughput    --size bytes each way, offered as fast as the relay takes them; MB/s
                (10^6 bytes) from the first byte written to the last byte read; the bytes
                are checked for order and completeness
  CPU per MB    CPU time of the relay (all threads, from /proc/PID/task/*/schedstat, in ns)
                during each throughput run, per MB
  CPU per byte  one-byte writes at --rate per second for --paced seconds, each direction:
                the relay's CPU time over the run divided by the bytes
  latency       single one-byte writes, 0-12 ms apart at random so they fall at every phase
                of any timer the relay has; median
  idle CPU      over --idle seconds, port open and link connected
  peak memory   VmHWM of the relay at the end of the round
With --counts, each relay also runs once under strace -c (system calls) and once under
callgrind (instructions executed in user space) for the module->program throughput run and
the paced runs: figures that a busy machine does not change.

Run it only inside a private network namespace (bench/run.sh does): vsp pings and
broadcasts a module search when its window is shown.
"""

import argparse
import glob
import json
import os
import random
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "sim"))
from simmodule_io import in_private_netns  # noqa: E402

MB = 1e6
BLOCK = 512  # the relay's receive block


def pattern(n, seed):
    """Words (w * 2654435761 + seed) mod 2**32, little-endian: a lost or moved block shows."""
    import array

    words = array.array("I", ((w * 2654435761 + seed) & 0xFFFFFFFF for w in range((n + 3) // 4)))
    if sys.byteorder != "little":
        words.byteswap()
    return words.tobytes()[:n]


def cpu_seconds(pid):
    """CPU time of every live thread of the process, in seconds (nanosecond resolution:
    utime/stime in /proc/PID/stat tick at 10 ms, too coarse for a 50 ms run)."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # the thread ended meanwhile
    return total / 1e9


def vm_hwm_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.01)


def require_private_netns(script):
    """vsp pings and broadcasts, and the idle cases and the field soak route and address test
    networks of their own: all of it only inside a network namespace of this run's."""
    if not in_private_netns():
        raise SystemExit(script + ": run it through bench/run.sh, which gives it a private "
                         "network namespace")


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Relay:
    """A relay process between a pty link and our TCP listener."""

    name = "?"
    link_name = "link"
    connects_first = True  # the relay connects before the port is opened

    def __init__(self, workdir, wrap=()):
        self.workdir = workdir
        self.link = os.path.join(workdir, self.link_name)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.pty = -1
        self.conn = None
        self.proc = subprocess.Popen(list(wrap) + self.command(), env=self.environment(),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        slow = 20 if wrap else 1  # under valgrind everything starts slowly
        if self.connects_first:
            self.accept(15 * slow)
            self.open_port(15 * slow)
        else:
            self.open_port(15 * slow)
            self.accept(15 * slow)

    def command(self):
        raise NotImplementedError

    def environment(self):
        return dict(os.environ)

    def accept(self, timeout):
        self.listener.settimeout(timeout)
        conn, _ = self.listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.setblocking(False)
        self.conn = conn

    def open_port(self, timeout):
        wait_for(lambda: os.path.exists(self.link), timeout, "the port link " + self.link)
        self.pty = os.open(self.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)

    @property
    def pid(self):
        return self.proc.pid

    def stop(self):
        if self.pty >= 0:
            os.close(self.pty)
            self.pty = -1
        if self.conn is not None:
            self.conn.close()
            self.conn = None
        self.listener.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class VspRelay(Relay):
    name = "vsp"
    link_name = "COMBENCH"
    connects_first = False  # in client mode the link opens when a program opens the port
    binary = None

    def command(self):
        # Create the port at start, hidden, client mode toward us. Both port fields must be
        # numbers for the port to be created, even in client mode.
        return [self.binary, "-P1", "-H1", "-S0", "-i127.0.0.1:%d" % self.port, "-cBENCH",
                "-s%d" % free_port()]

    def environment(self):
        env = dict(os.environ)
        env.pop("VSP_LOG_STDERR", None)  # the log is off, as the window's own is by default
        env.update(QT_QPA_PLATFORM="offscreen", VSP_PORT_DIR=self.workdir,
                   VSP_DISCOVERY_ADDR="127.255.255.255")
        return env


class FloorRelay(Relay):
    name = "floor"
    link_name = "floor-link"
    binary = None

    def command(self):
        return [self.binary, self.link, str(self.port)]


class SocatRelay(Relay):
    name = "socat"
    link_name = "socat-link"

    def command(self):
        return ["socat", "PTY,link=%s,raw,echo=0" % self.link, "TCP:127.0.0.1:%d" % self.port]


RELAYS = {"vsp": VspRelay, "floor": FloorRelay, "socat": SocatRelay}


def drain(relay, quiet=0.2):
    """Reads both ends until nothing has come for `quiet` seconds."""
    while True:
        r, _, _ = select.select([relay.pty, relay.conn], [], [], quiet)
        if not r:
            return
        if relay.pty in r:
            try:
                os.read(relay.pty, 65536)
            except BlockingIOError:
                pass
        if relay.conn in r:
            try:
                if not relay.conn.recv(1 << 20):
                    raise RuntimeError("the relay closed the connection")
            except BlockingIOError:
                pass


def ends(relay, direction):
    """(write, read, readable object) of a direction: "up" is program->module."""
    if direction == "up":
        return (lambda b: os.write(relay.pty, b)), relay.conn.recv, relay.conn
    return relay.conn.send, (lambda n: os.read(relay.pty, n)), relay.pty


def measure_idle(relay, seconds):
    drain(relay)
    c0, t0 = cpu_seconds(relay.pid), time.monotonic()
    time.sleep(seconds)
    c1, t1 = cpu_seconds(relay.pid), time.monotonic()
    return 100.0 * (c1 - c0) / (t1 - t0)


def measure_latency(relay, direction, samples, max_gap):
    """One-way latencies in ms of single one-byte writes, one at a time."""
    drain(relay)
    write, read, src = ends(relay, direction)
    rng = random.Random(7)
    result = []
    for i in range(samples):
        time.sleep(rng.uniform(0, max_gap))
        byte = bytes([i & 0xFF])
        t0 = time.monotonic_ns()
        write(byte)
        if not select.select([src], [], [], 5)[0]:
            raise RuntimeError("latency probe %d did not arrive" % i)
        got = read(16)
        t1 = time.monotonic_ns()
        if got != byte:
            raise RuntimeError("latency probe %d came back as %r" % (i, got))
        result.append((t1 - t0) / 1e6)
    return statistics.median(result)


def measure_throughput(relay, direction, size, quiet=5.0):
    """`size` bytes offered as fast as the relay takes them; they must all arrive, in order."""
    drain(relay)
    data = pattern(size, 3 if direction == "up" else 5)
    view = memoryview(data)
    write, read, src = ends(relay, direction)
    dst = relay.pty if direction == "up" else relay.conn
    got = bytearray()
    sent = 0
    c0 = cpu_seconds(relay.pid)
    t0 = time.monotonic()
    last = t0
    while len(got) < size:
        wlist = [dst] if sent < size else []
        r, w, _ = select.select([src], wlist, [], quiet)
        if not r and not w:
            raise RuntimeError("%s stalled at %d of %d bytes" % (direction, len(got), size))
        if w:
            try:
                sent += write(view[sent:sent + 65536])
            except BlockingIOError:
                pass
        if r:
            try:
                chunk = read(1 << 20)
            except BlockingIOError:
                continue
            if not chunk:
                raise RuntimeError("end of stream")
            got += chunk
            last = time.monotonic()
    c1 = cpu_seconds(relay.pid)
    if got != data:
        bad = next((i for i, (a, b) in enumerate(zip(got, data)) if a != b), len(data))
        raise RuntimeError("%s bytes differ from offset %d" % (direction, bad))
    return size / (last - t0) / MB, 1000 * (c1 - c0) / (size / MB)


def measure_paced(relay, direction, rate, seconds):
    """One byte every 1/rate s for `seconds`; CPU microseconds of the relay per byte."""
    drain(relay)
    write, read, src = ends(relay, direction)
    n = int(rate * seconds)
    got = 0
    c0 = cpu_seconds(relay.pid)
    t0 = time.monotonic()
    for i in range(n):
        due = t0 + i / rate
        while True:
            left = due - time.monotonic()
            if left <= 0:
                break
            if select.select([src], [], [], left)[0]:
                got += len(read(4096))
        write(b"\x55")
    while got < n:
        if not select.select([src], [], [], 5)[0]:
            raise RuntimeError("%s paced: %d of %d bytes arrived" % (direction, got, n))
        got += len(read(4096))
    c1 = cpu_seconds(relay.pid)
    return 1e6 * (c1 - c0) / n


def run_round(relay, args):
    out = {}
    out["idle_cpu_pct"] = measure_idle(relay, args.idle)
    for d in ("up", "down"):
        out["lat_%s_ms" % d] = measure_latency(relay, d, args.samples, 0.012)
    for d in ("down", "up"):
        out["%s_mbps" % d], out["%s_cpu_ms_per_mb" % d] = measure_throughput(relay, d, args.size)
    for d in ("up", "down"):
        out["paced_%s_us_per_byte" % d] = measure_paced(relay, d, args.rate, args.paced)
    out["vm_hwm_mb"] = vm_hwm_kb(relay.pid) / 1024.0
    return out


# ---- counts: system calls and instructions, which load elsewhere does not change --------

def strace_counts(relay, work):
    """System calls of the relay (all threads) while work() runs."""
    out = os.path.join(relay.workdir, "strace.txt")
    cmd = ["strace", "-c", "-f", "-qq", "-o", out]
    for tid in os.listdir("/proc/%d/task" % relay.pid):
        cmd += ["-p", tid]
    tracer = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)  # attached
    work()
    tracer.send_signal(signal.SIGINT)
    tracer.wait(30)
    calls = {}
    with open(out) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 5 and parts[-1] not in ("total", "syscall") and parts[0][0].isdigit():
                calls[parts[-1]] = int(parts[3])
    return calls


def callgrind_counts(relay, work):
    """User-space instructions of the relay while work() runs (callgrind)."""
    ctl = ["callgrind_control"]
    subprocess.run(ctl + ["-i", "on", str(relay.pid)], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run(ctl + ["-z", str(relay.pid)], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    work()
    before = set(glob.glob(os.path.join(relay.workdir, "callgrind.out*")))
    subprocess.run(ctl + ["-d", str(relay.pid)], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run(ctl + ["-i", "off", str(relay.pid)], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    dumps = sorted(set(glob.glob(os.path.join(relay.workdir, "callgrind.out*"))) - before)
    total = 0
    for path in dumps:
        with open(path) as f:
            for line in f:
                m = re.match(r"(?:summary|totals):\s+(\d+)", line)
                if m:
                    total = max(total, int(m.group(1)))
    return total


def count_round(cls, args, counter, wrap_for):
    """Per workload: the counter's figure, from a fresh relay process each time."""
    size, paced_n = args.size, int(args.rate * args.paced)
    works = [
        ("down", size / BLOCK, lambda r: measure_throughput(r, "down", size, 60)),
        ("paced_up", paced_n, lambda r: measure_paced(r, "up", args.rate, args.paced)),
        ("paced_down", paced_n, lambda r: measure_paced(r, "down", args.rate, args.paced)),
    ]
    out = {}
    for key, units, work in works:
        workdir = tempfile.mkdtemp(prefix="vsp-bench-")
        relay = None
        try:
            relay = cls(workdir, wrap_for(workdir))
            drain(relay, 1.0)
            out[key] = counter(relay, lambda: work(relay)), units
        finally:
            if relay is not None:
                relay.stop()
            shutil.rmtree(workdir, ignore_errors=True)
    return out


def counts(names, args):
    res = {}
    for name in names:
        cls = RELAYS[name]
        sc = count_round(cls, args, strace_counts, lambda w: ())
        ir = count_round(cls, args, callgrind_counts, lambda w: [
            "valgrind", "--tool=callgrind", "--instr-atstart=no",
            "--callgrind-out-file=" + os.path.join(w, "callgrind.out")])
        res[name] = {"syscalls": {k: (c, u) for k, (c, u) in sc.items()},
                     "instructions": {k: (c, u) for k, (c, u) in ir.items()}}
        line = []
        for key, (calls, units) in sc.items():
            top = sorted(calls.items(), key=lambda kv: -kv[1])[:6]
            line.append("%s %.2f calls per %s (%s)" % (
                key, sum(calls.values()) / units, "block" if key == "down" else "byte",
                ", ".join("%s %d" % kv for kv in top)))
        print("%-5s system calls: %s" % (name, "; ".join(line)), flush=True)
        print("%-5s instructions: %s" % (name, "; ".join(
            "%s %.0f per %s" % (k, c / u, "block" if k == "down" else "byte")
            for k, (c, u) in ir.items())), flush=True)
    print()
    print("| workload | " + " | ".join("%s calls | %s instructions" % (n, n) for n in names)
          + " |")
    print("|---|" + "---|---|" * len(names))
    for key, unit in (("down", "per 512-byte block, module->program"),
                      ("paced_up", "per byte, 1 kHz one-byte writes program->module"),
                      ("paced_down", "per byte, 1 kHz one-byte writes module->program")):
        cells = []
        for n in names:
            calls, u = res[n]["syscalls"][key]
            ir, u2 = res[n]["instructions"][key]
            cells += ["%.2f" % (sum(calls.values()) / u), "%.0f" % (ir / u2)]
        print("| %s | %s |" % (unit, " | ".join(cells)))
    return res


# ---- the report ---------------------------------------------------------------------------

ROWS = [
    # key, label, format, smaller is better
    ("down_mbps", "module->program throughput (MB/s)", "%.1f", False),
    ("down_cpu_ms_per_mb", "module->program CPU per MB (ms)", "%.2f", True),
    ("up_mbps", "program->module throughput (MB/s)", "%.3f", False),
    ("up_cpu_ms_per_mb", "program->module CPU per MB (ms)", "%.2f", True),
    ("paced_up_us_per_byte", "1 kHz one-byte writes, program->module, CPU per byte (us)",
     "%.1f", True),
    ("paced_down_us_per_byte", "1 kHz one-byte writes, module->program, CPU per byte (us)",
     "%.1f", True),
    ("lat_up_ms", "one-byte latency program->module, median (ms)", "%.2f", True),
    ("lat_down_ms", "one-byte latency module->program, median (ms)", "%.3f", True),
    ("idle_cpu_pct", "idle CPU, port open, link up (% of a core)", "%.2f", True),
    ("vm_hwm_mb", "peak resident size VmHWM (MB)", "%.1f", True),
]

# What vsp is asked to reach, as (key, against, bound, text): vsp/against within bound.
TARGETS = [
    ("down_mbps", "floor", (">=", 0.90), "module->program throughput >= 0.90 x floor"),
    ("down_cpu_ms_per_mb", "floor", ("<=", 1.25), "module->program CPU per MB <= 1.25 x floor"),
    ("paced_up_us_per_byte", "socat", ("<=", 1.0), "1 kHz program->module CPU per byte <= socat"),
    ("paced_down_us_per_byte", "socat", ("<=", 1.0),
     "1 kHz module->program CPU per byte <= socat"),
]


def cell(values, fmt):
    med = statistics.median(values)
    if len(values) == 1:
        return fmt % med
    return (fmt + " [" + fmt + "-" + fmt + "]") % (med, min(values), max(values))


def ratios(results, key, a, b):
    """vsp/other per round (the rounds pair relays measured at nearly the same time)."""
    return [x[key] / y[key] for x, y in zip(results[a], results[b]) if y[key]]


def table(results, markdown):
    names = list(results)
    others = [n for n in ("floor", "socat") if n in names and "vsp" in names]
    header = ["figure"] + names + ["vsp/%s" % o for o in others]
    rows = []
    for key, label, fmt, _ in ROWS:
        row = [label] + [cell([r[key] for r in results[n]], fmt) for n in names]
        for o in others:
            rs = ratios(results, key, "vsp", o)
            row.append(cell(rs, "%.2f") if rs else "")
        rows.append(row)
    lines = []
    if markdown:
        lines.append("| " + " | ".join(header) + " |")
        lines.append("|" + "---|" * len(header))
        for row in rows:
            lines.append("| " + " | ".join(row) + " |")
    else:
        widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
        for row in [header] + rows:
            lines.append("  ".join(str(c).ljust(w) for c, w in zip(row, widths)))
    return "\n".join(lines)


def verdicts(results):
    lines = []
    for key, other, (op, bound), text in TARGETS:
        if "vsp" not in results or other not in results:
            continue
        r = statistics.median(ratios(results, key, "vsp", other))
        ok = r >= bound if op == ">=" else r <= bound
        lines.append("  %-48s %.2f: %s" % (text, r, "met" if ok else "MISSED"))
    return "\n".join(lines)


def build_floor(source, into):
    binary = os.path.join(into, "floorrelay")
    subprocess.run(["cc", "-O2", "-o", binary, source], check=True)
    return binary


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--vsp", default=os.path.join(root, "build", "vsp"))
    p.add_argument("--floor-src", default=os.environ.get(
        "VSP_BENCH_FLOOR", os.path.join(root, "..", "shared", "bench-floor", "floorrelay.c")),
        help="source of the bare relay (also $VSP_BENCH_FLOOR)")
    p.add_argument("--rounds", type=int, default=5, help="alternating rounds (at least 3)")
    p.add_argument("--size", type=int, default=8 * 1024 * 1024, help="bytes each way")
    p.add_argument("--rate", type=float, default=1000.0, help="paced one-byte writes per second")
    p.add_argument("--paced", type=float, default=3.0, help="seconds of paced writes")
    p.add_argument("--idle", type=float, default=3.0, help="seconds of idle measurement")
    p.add_argument("--samples", type=int, default=200, help="latency samples per direction")
    p.add_argument("--only", action="append", choices=sorted(RELAYS),
                   help="measure this relay (repeatable; default: all three)")
    p.add_argument("--counts", action="store_true",
                   help="also count system calls (strace) and instructions (callgrind)")
    p.add_argument("--json", help="also write the raw results here")
    args = p.parse_args()
    require_private_netns("bench.py")

    names = [n for n in ("vsp", "floor", "socat") if not args.only or n in args.only]
    if "socat" in names and not shutil.which("socat"):
        sys.exit("socat is not installed")
    VspRelay.binary = os.path.abspath(args.vsp)
    if "vsp" in names and not os.access(VspRelay.binary, os.X_OK):
        sys.exit("no vsp binary at %s (build it: cmake --build build --target vsp)"
                 % VspRelay.binary)
    tmp = tempfile.mkdtemp(prefix="vsp-bench-floor-")
    try:
        if "floor" in names:
            if not os.path.exists(args.floor_src):
                sys.exit("no bare relay source at %s (--floor-src)" % args.floor_src)
            FloorRelay.binary = build_floor(args.floor_src, tmp)
        run(names, args)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def run(names, args):
    started = time.strftime("%Y-%m-%d %H:%M:%S %Z")
    load0 = os.getloadavg()
    results = {n: [] for n in names}
    loads = []
    for rnd in range(args.rounds):
        order = names[rnd % len(names):] + names[:rnd % len(names)]
        loads.append(os.getloadavg()[0])
        for name in order:
            workdir = tempfile.mkdtemp(prefix="vsp-bench-")
            relay = None
            try:
                relay = RELAYS[name](workdir)
                res = run_round(relay, args)
            finally:
                if relay is not None:
                    relay.stop()
                shutil.rmtree(workdir, ignore_errors=True)
            res["load1"] = os.getloadavg()[0]
            results[name].append(res)
            print("round %d %-5s %s" % (rnd + 1, name, json.dumps(
                {k: round(v, 4) if isinstance(v, float) else v for k, v in res.items()})),
                flush=True)
    load1 = os.getloadavg()
    if args.rounds:
        report(results, loads, started, load0, load1, args)
    count_res = None
    if args.counts:
        print()
        count_res = counts(names, args)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"started": started, "load_start": load0, "load_end": load1,
                       "round_loads": loads, "args": vars(args), "results": results,
                       "counts": count_res}, f, indent=1)


def report(results, loads, started, load0, load1, args):
    print()
    print("started %s; %d cores; load average (1 min) at each round's start: %s; "
          "%.2f/%.2f/%.2f at start, %.2f/%.2f/%.2f at end"
          % ((started, os.cpu_count(), " ".join("%.2f" % x for x in loads)) + load0 + load1))
    print("%d rounds; %d bytes each way; %g one-byte writes per second for %g s; "
          "cells: median [min-max]; ratios: median of the rounds' own ratios"
          % (args.rounds, args.size, args.rate, args.paced))
    print()
    print(table(results, markdown=False))
    print()
    print(verdicts(results))
    print()
    print(table(results, markdown=True))


if __name__ == "__main__":
    main()
