#!/usr/bin/python3
"""Measures a pty-to-TCP relay from both of its ends: vsp (the real binary, client mode)
and socat doing the same job, in one run, with the same harness.

This process plays both outer parts at once: the program that opens the virtual port
(through its link) and the module on the TCP side (a listener on 127.0.0.1 that the relay
connects to). Both ends are timestamped with CLOCK_MONOTONIC in this one process, so a
one-way latency is a plain difference.

Figures, per relay and repetition (each repetition starts a fresh relay process):
  idle CPU      utime+stime of the relay over --idle seconds, port open and link connected
  latency       one small write at a time, random gaps so the writes fall at every phase
                of any timer the relay has; median and 99th percentile, each direction
  throughput    --up bytes program->module and --down bytes module->program, sent as fast
                as the relay takes them; MB/s from the first byte written to the last read
  CPU per MB    utime+stime of the relay during each throughput run, per MB offered
  peak memory   VmHWM of the relay at the end

vsp drops module->program bytes the pty cannot take (by design there is no backpressure on
that path), so that direction also reports the share of bytes that never arrived; its MB/s
counts only bytes that did.

Run it only inside a private network namespace (bench/run.sh does): vsp pings and
broadcasts a module search when its window is shown.
"""

import argparse
import json
import os
import random
import select
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")
MB = 1e6


def pattern(n, seed):
    """Words (w * 2654435761 + seed) mod 2**32, little-endian: a lost or moved block shows."""
    import array

    words = array.array("I", ((w * 2654435761 + seed) & 0xFFFFFFFF for w in range((n + 3) // 4)))
    if sys.byteorder != "little":
        words.byteswap()
    return words.tobytes()[:n]


def cpu_seconds(pid):
    """utime + stime of the whole process (all threads), in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is the state (field 3 of stat(5)); utime and stime are fields 14 and 15.
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


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


class Relay:
    """A relay process between a pty link and our TCP listener."""

    name = "?"

    def __init__(self, workdir):
        self.workdir = workdir
        self.link = os.path.join(workdir, self.link_name())
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.proc = None
        self.pty = -1
        self.conn = None

    def link_name(self):
        raise NotImplementedError

    def accept(self):
        self.listener.settimeout(10)
        conn, _ = self.listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.setblocking(False)
        self.conn = conn

    def open_port(self):
        wait_for(lambda: os.path.exists(self.link), 15, "the port link " + self.link)
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
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class VspRelay(Relay):
    name = "vsp"

    def __init__(self, workdir, binary):
        super().__init__(workdir)
        env = dict(os.environ)
        env.pop("VSP_LOG_STDERR", None)  # logging costs time; the window's log stays off too
        env.update(QT_QPA_PLATFORM="offscreen", VSP_PORT_DIR=workdir,
                   VSP_DISCOVERY_ADDR="127.255.255.255")
        # Create the port at start, hidden, client mode toward us. Both port fields must be
        # numbers for the port to be created, even in client mode.
        args = [binary, "-P1", "-H1", "-S0", "-i127.0.0.1:%d" % self.port, "-cBENCH",
                "-s%d" % self.free_port()]
        self.proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # In client mode the link opens when a program opens the port.
        self.open_port()
        self.accept()

    def link_name(self):
        return "COMBENCH"

    @staticmethod
    def free_port():
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        return port


class SocatRelay(Relay):
    name = "socat"

    def __init__(self, workdir):
        super().__init__(workdir)
        args = ["socat", "PTY,link=%s,raw,echo=0" % self.link, "TCP:127.0.0.1:%d" % self.port]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.accept()
        self.open_port()

    def link_name(self):
        return "socat-link"


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


def measure_idle(relay, seconds):
    drain(relay)
    c0, t0 = cpu_seconds(relay.pid), time.monotonic()
    time.sleep(seconds)
    c1, t1 = cpu_seconds(relay.pid), time.monotonic()
    return 100.0 * (c1 - c0) / (t1 - t0)


def read_exact_from(fd_or_sock, n, timeout):
    """n bytes from the pty fd or the socket; returns (bytes, monotonic time of the last)."""
    out = bytearray()
    deadline = time.monotonic() + timeout
    is_sock = isinstance(fd_or_sock, socket.socket)
    while len(out) < n:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd_or_sock], [], [], left)[0]:
            raise RuntimeError("no answer within %.1f s (%d of %d bytes)" % (timeout, len(out), n))
        try:
            chunk = fd_or_sock.recv(n - len(out)) if is_sock else os.read(fd_or_sock, n - len(out))
        except BlockingIOError:
            continue
        if not chunk:
            raise RuntimeError("end of stream")
        out += chunk
    return bytes(out), time.monotonic_ns()


def measure_latency(relay, direction, samples, max_gap):
    """One-way latencies in ms of single 16-byte writes, one at a time."""
    drain(relay)
    rng = random.Random(7)
    result = []
    for i in range(samples):
        time.sleep(rng.uniform(0, max_gap))
        msg = struct.pack("<I", i) + b"latency-probe"[:12]
        if direction == "up":
            t0 = time.monotonic_ns()
            os.write(relay.pty, msg)
            got, t1 = read_exact_from(relay.conn, len(msg), 5)
        else:
            t0 = time.monotonic_ns()
            relay.conn.send(msg)
            got, t1 = read_exact_from(relay.pty, len(msg), 5)
        if got != msg:
            raise RuntimeError("latency probe %d came back as %r" % (i, got))
        result.append((t1 - t0) / 1e6)
    return result


def measure_up(relay, size):
    """Program -> module: write `size` bytes into the port as fast as it takes them."""
    drain(relay)
    data = pattern(size, 3)
    got = bytearray()
    sent = 0
    c0 = cpu_seconds(relay.pid)
    t0 = time.monotonic()
    last = t0
    while len(got) < size:
        wlist = [relay.pty] if sent < size else []
        r, w, _ = select.select([relay.conn], wlist, [], 10)
        if not r and not w:
            raise RuntimeError("program->module stalled at %d of %d bytes" % (len(got), size))
        if w:
            try:
                sent += os.write(relay.pty, data[sent:sent + 65536])
            except BlockingIOError:
                pass
        if r:
            try:
                chunk = relay.conn.recv(1 << 20)
            except BlockingIOError:
                continue
            if not chunk:
                raise RuntimeError("the relay closed the connection")
            got += chunk
            last = time.monotonic()
    c1 = cpu_seconds(relay.pid)
    if got != data:
        bad = next(i for i, (a, b) in enumerate(zip(got, data)) if a != b)
        raise RuntimeError("program->module bytes differ from offset %d" % bad)
    return {"mbps": size / (last - t0) / MB, "cpu_ms_per_mb": 1000 * (c1 - c0) / (size / MB)}


def measure_down(relay, size, idle_pct, quiet=1.0):
    """Module -> program: send `size` bytes on the connection as fast as it takes them and
    read the port at once. Ends when all arrived or nothing came for `quiet` seconds."""
    drain(relay)
    data = pattern(size, 5)
    view = memoryview(data)
    got = bytearray()
    sent = 0
    c0 = cpu_seconds(relay.pid)
    t0 = time.monotonic()
    last = t0
    while len(got) < size:
        wlist = [relay.conn] if sent < size else []
        r, w, _ = select.select([relay.pty], wlist, [], quiet)
        if not r and not w:
            if sent < size:
                raise RuntimeError("module->program stalled while sending")
            break  # the rest was dropped on the way
        if w:
            try:
                sent += relay.conn.send(view[sent:sent + (1 << 20)])
            except BlockingIOError:
                pass
        if r:
            try:
                chunk = os.read(relay.pty, 65536)
            except BlockingIOError:
                continue
            got += chunk
            last = time.monotonic()
    waited = time.monotonic() - last
    c1 = cpu_seconds(relay.pid)
    # The quiet wait at the end is not relaying: take the idle rate off for it.
    cpu = max(0.0, (c1 - c0) - idle_pct / 100.0 * waited)
    intact = bytes(got) == data
    return {"mbps": len(got) / (last - t0) / MB, "cpu_ms_per_mb": 1000 * cpu / (size / MB),
            "lost_pct": 100.0 * (size - len(got)) / size, "intact": intact}


def percentile(values, p):
    s = sorted(values)
    k = (len(s) - 1) * p / 100.0
    lo = int(k)
    hi = min(lo + 1, len(s) - 1)
    return s[lo] + (s[hi] - s[lo]) * (k - lo)


def run_one(relay, args):
    out = {}
    out["idle_cpu_pct"] = measure_idle(relay, args.idle)
    for direction in ("up", "down"):
        lat = measure_latency(relay, direction, args.samples, args.max_gap / 1000.0)
        out["lat_%s_median_ms" % direction] = statistics.median(lat)
        out["lat_%s_p99_ms" % direction] = percentile(lat, 99)
    up = measure_up(relay, args.up)
    out["up_mbps"] = up["mbps"]
    out["up_cpu_ms_per_mb"] = up["cpu_ms_per_mb"]
    down = measure_down(relay, args.down, out["idle_cpu_pct"])
    out["down_mbps"] = down["mbps"]
    out["down_cpu_ms_per_mb"] = down["cpu_ms_per_mb"]
    out["down_lost_pct"] = down["lost_pct"]
    out["down_intact"] = down["intact"]
    out["vm_hwm_mb"] = vm_hwm_kb(relay.pid) / 1024.0
    return out


ROWS = [
    # key, label, format, target for vsp (text, check) or None
    ("up_mbps", "Throughput program->module (MB/s)", "%.2f", (">= 1.5", lambda v: v >= 1.5)),
    ("down_mbps", "Throughput module->program, delivered (MB/s)", "%.1f",
     (">= 20", lambda v: v >= 20)),
    ("down_lost_pct", "  module->program bytes dropped (%)", "%.1f", ("0", lambda v: v == 0)),
    ("lat_up_median_ms", "Latency program->module, median (ms)", "%.3f",
     ("<= 10", lambda v: v <= 10)),
    ("lat_up_p99_ms", "Latency program->module, 99th pct (ms)", "%.3f", None),
    ("lat_down_median_ms", "Latency module->program, median (ms)", "%.3f",
     ("< 1", lambda v: v < 1)),
    ("lat_down_p99_ms", "Latency module->program, 99th pct (ms)", "%.3f", None),
    ("up_cpu_ms_per_mb", "CPU per MB program->module (ms)", "%.1f", None),
    ("down_cpu_ms_per_mb", "CPU per MB module->program (ms)", "%.1f", None),
    ("idle_cpu_pct", "Idle CPU, port open, link up (% of a core)", "%.2f",
     ("< 1", lambda v: v < 1)),
    ("vm_hwm_mb", "Peak memory VmHWM (MB)", "%.1f", None),
]


def cell(values, fmt):
    med = statistics.median(values)
    if len(values) == 1:
        return fmt % med
    return (fmt + " [" + fmt + "-" + fmt + "]") % (med, min(values), max(values))


def table(results, markdown):
    names = list(results)
    lines = []
    header = ["Figure"] + ["%s median [min-max]" % n for n in names] + ["vsp/socat", "vsp target"]
    rows = []
    for key, label, fmt, target in ROWS:
        meds = {n: statistics.median([r[key] for r in results[n]]) for n in names}
        ratio = ""
        if "vsp" in meds and "socat" in meds and meds["socat"]:
            ratio = "%.2f" % (meds["vsp"] / meds["socat"])
        tgt = ""
        if target and "vsp" in meds:
            tgt = "%s: %s" % (target[0], "met" if target[1](meds["vsp"]) else "MISSED")
        rows.append([label] + [cell([r[key] for r in results[n]], fmt) for n in names]
                    + [ratio, tgt])
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


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--vsp", default=os.path.join(here, "..", "build-e2e", "vsp"))
    p.add_argument("--reps", type=int, default=3, help="fresh relay processes per relay")
    p.add_argument("--idle", type=float, default=10.0, help="seconds of idle measurement")
    p.add_argument("--samples", type=int, default=400, help="latency samples per direction")
    p.add_argument("--max-gap", type=float, default=12.0,
                   help="latency writes are this many ms apart at most (uniform)")
    p.add_argument("--up", type=int, default=8 * 1024 * 1024, help="bytes program->module")
    p.add_argument("--down", type=int, default=32 * 1024 * 1024, help="bytes module->program")
    p.add_argument("--only", choices=("vsp", "socat"), help="measure one relay only")
    p.add_argument("--json", help="also write the raw results here")
    args = p.parse_args()

    relays = [r for r in ("vsp", "socat") if args.only in (None, r)]
    if "socat" in relays and not shutil.which("socat"):
        sys.exit("socat is not installed")
    vsp = os.path.abspath(args.vsp)
    if "vsp" in relays and not os.access(vsp, os.X_OK):
        sys.exit("no vsp binary at %s (build it: cmake --build build-e2e --target vsp)" % vsp)

    load0 = os.getloadavg()
    started = time.strftime("%Y-%m-%d %H:%M:%S %Z")
    results = {r: [] for r in relays}
    for rep in range(args.reps):
        for name in relays:
            workdir = tempfile.mkdtemp(prefix="vsp-bench-")
            relay = None
            try:
                relay = VspRelay(workdir, vsp) if name == "vsp" else SocatRelay(workdir)
                res = run_one(relay, args)
            finally:
                if relay is not None:
                    relay.stop()
                shutil.rmtree(workdir, ignore_errors=True)
            results[name].append(res)
            print("rep %d %-5s %s" % (rep + 1, name, json.dumps(
                {k: round(v, 4) if isinstance(v, float) else v for k, v in res.items()})),
                flush=True)
    load1 = os.getloadavg()

    print()
    print("started %s; load average %.2f/%.2f/%.2f at start, %.2f/%.2f/%.2f at end; %d cores"
          % ((started,) + load0 + load1 + (os.cpu_count(),)))
    print("%d repetitions; %d latency samples per direction; %d bytes up, %d bytes down"
          % (args.reps, args.samples, args.up, args.down))
    print()
    print(table(results, markdown=False))
    print()
    print(table(results, markdown=True))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"started": started, "load_start": load0, "load_end": load1,
                       "args": vars(args), "results": results}, f, indent=1)


if __name__ == "__main__":
    main()
