#!/usr/bin/env python3
"""The link soak: vsp in client mode against a module played here, while a program on the
port writes and reads numbered records all the time. The module goes through cycles of
kill and restart, graceful close, reset, refusal for 1.5 s (the program writes more than
the store's 16 KB meanwhile) and the program closing and reopening the port.

After every cycle both directions must carry fresh records again within --recover
seconds (else the cycle is a stall). Throughout, the records are checked: on one
connection the module's records arrive without a gap, across connections none arrives
twice or out of order; the program's records likewise, a gap being allowed only where a
connection broke (TCP cannot give back what the kernel took for a dead connection).

Run inside a private network namespace (bench/soak.sh does): vsp pings its module.
"""

import argparse
import errno
import os
import select
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

from bench import free_port

RECORD = 11  # b"P000000001\n"
KINDS = ["kill", "close", "reset", "refuse", "reopen"]


class Records:
    """A stream of numbered records as one side receives it."""

    def __init__(self, tag):
        self.tag = tag
        self.last = 0  # last whole record taken
        self.partial = b""
        self.errors = []
        self.gaps = 0
        self.lost = 0
        self.resync = False  # a break happened: the next record may skip ahead

    def brk(self):
        self.partial = b""
        self.resync = True

    def feed(self, data):
        buf = self.partial + data
        while True:
            if self.resync or not buf.startswith(self.tag):
                at = buf.find(self.tag)
                if at < 0:
                    self.partial = b""
                    return
                if at and not self.resync:
                    self.errors.append("%d stray bytes after record %d" % (at, self.last))
                buf = buf[at:]
            if len(buf) < RECORD:
                self.partial = buf
                return
            rec, buf = buf[:RECORD], buf[RECORD:]
            try:
                n = int(rec[1:10])
            except ValueError:
                if not self.resync:
                    self.errors.append("bad record %r after %d" % (rec, self.last))
                continue
            if rec[10:] != b"\n":
                if not self.resync:
                    self.errors.append("bad record %r after %d" % (rec, self.last))
                continue
            if n <= self.last:
                self.errors.append("record %d again or out of order after %d" % (n, self.last))
            elif n != self.last + 1:
                if self.resync:
                    self.gaps += 1
                    self.lost += n - self.last - 1
                else:
                    self.errors.append("gap %d..%d on one connection" % (self.last + 1, n - 1))
            self.last = max(self.last, n)
            self.resync = False


class Soak:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="vsp-soak-")
        self.port = free_port()
        self.listener = None
        self.listen()
        self.conn = None
        self.connections = 0
        self.at_module = Records(b"P")  # what the module got from the program
        self.at_program = Records(b"M")  # what the program got from the module
        self.next_p = 1
        self.next_m = 1
        self.p_backlog = b""
        self.m_backlog = b""
        self.pty = -1
        self.link = os.path.join(self.work, "COMSOAK")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", VSP_PORT_DIR=self.work,
                   VSP_DISCOVERY_ADDR="127.255.255.255", VSP_LOG_STDERR="1")
        self.log = open(os.path.join(self.work, "vsp.log"), "wb")
        self.proc = subprocess.Popen(
            [args.vsp, "-P1", "-H1", "-S0", "-i127.0.0.1:%d" % self.port, "-cSOAK",
             "-s%d" % free_port()],
            env=env, stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        deadline = time.monotonic() + 15
        while not os.path.exists(self.link):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise SystemExit("vsp did not create its port")
            time.sleep(0.05)
        self.open_port()

    # ---- the module ----
    def listen(self):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", self.port))
        s.listen(4)
        s.setblocking(False)
        self.listener = s

    def unlisten(self):
        if self.listener:
            self.listener.close()
            self.listener = None

    def drop(self, reset):
        if not self.conn:
            return
        if reset:
            self.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        else:
            try:
                self.conn.shutdown(socket.SHUT_WR)
                # A graceful peer reads what is on the way before it closes.
                self.conn.settimeout(0.2)
                while self.conn.recv(65536):
                    pass
            except OSError:
                pass
        self.conn.close()
        self.conn = None
        self.broke()

    def broke(self):
        self.at_module.brk()
        self.at_program.brk()
        self.m_backlog = b""

    # ---- the program ----
    def open_port(self):
        self.pty = os.open(self.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        import termios, tty  # noqa: E401 - raw, as a serial program sets its line
        tty.setraw(self.pty, termios.TCSANOW)

    def close_port(self):
        os.close(self.pty)
        self.pty = -1
        self.p_backlog = b""
        self.broke()

    # ---- one turn of the loop: write, read, accept ----
    def turn(self, budget=0.01):
        rate_p = self.args.rate // 100  # bytes per 10 ms
        if self.pty >= 0 and len(self.p_backlog) < 65536:
            while len(self.p_backlog) < rate_p:
                self.p_backlog += b"P%09d\n" % self.next_p
                self.next_p += 1
        if self.conn and len(self.m_backlog) < 4096:
            for _ in range(10):
                self.m_backlog += b"M%09d\n" % self.next_m
                self.next_m += 1
        rd = [s for s in (self.listener, self.conn) if s] + ([self.pty] if self.pty >= 0 else [])
        r, _, _ = select.select(rd, [], [], budget)
        if self.listener in r:
            try:
                c, _ = self.listener.accept()
                if self.conn:
                    # One module link at a time: a second one means vsp made two.
                    self.doubles += 1
                    self.drop(False)
                c.setblocking(False)
                self.conn = c
                self.connections += 1
                self.broke()
            except OSError:
                pass
        if self.conn and self.conn in r:
            try:
                data = self.conn.recv(65536)
                if data:
                    self.at_module.feed(data)
                else:
                    self.conn.close()
                    self.conn = None
                    self.broke()
            except OSError:
                self.conn.close()
                self.conn = None
                self.broke()
        if self.pty >= 0 and self.pty in r:
            try:
                self.at_program.feed(os.read(self.pty, 65536))
            except OSError as e:
                if e.errno not in (errno.EAGAIN, errno.EIO):
                    raise
        if self.pty >= 0 and self.p_backlog:
            try:
                n = os.write(self.pty, self.p_backlog)
                self.p_backlog = self.p_backlog[n:]
            except OSError as e:
                if e.errno != errno.EAGAIN:
                    raise
        if self.conn and self.m_backlog:
            try:
                n = self.conn.send(self.m_backlog)
                self.m_backlog = self.m_backlog[n:]
            except OSError as e:
                if e.errno != errno.EAGAIN:
                    self.conn.close()
                    self.conn = None
                    self.broke()

    def run_for(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.turn()

    def recovered(self, timeout):
        """Both directions carry records made after now; returns the seconds it took."""
        start = time.monotonic()
        want_p, want_m = self.next_p, self.next_m
        while time.monotonic() - start < timeout:
            self.turn()
            # The module's records count only from the connection that carries them now.
            if self.conn and self.at_module.last >= want_p and self.at_program.last >= want_m \
                    and self.next_m > want_m:
                return time.monotonic() - start
        return None

    def cycle(self, kind):
        if kind == "kill":
            self.unlisten()
            self.drop(False)
            self.run_for(0.3)
            self.listen()
        elif kind == "close":
            self.drop(False)
        elif kind == "reset":
            self.drop(True)
        elif kind == "refuse":
            self.unlisten()
            self.drop(True)
            self.run_for(1.5)  # at the rate given, more than 16 KB is written meanwhile
            self.listen()
        elif kind == "reopen":
            self.close_port()
            self.run_for(0.2)
            self.open_port()

    def stop(self):
        if self.pty >= 0:
            os.close(self.pty)
        self.proc.terminate()
        try:
            return self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return None


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--vsp", default=os.path.join(os.path.dirname(__file__), "..", "build", "vsp"))
    p.add_argument("--cycles", type=int, default=100)
    p.add_argument("--rate", type=int, default=33000, help="program's bytes per second")
    p.add_argument("--recover", type=float, default=40.0, help="seconds before a stall")
    args = p.parse_args()

    soak = Soak(args)
    soak.doubles = 0
    times = {k: [] for k in KINDS}
    stalls = []
    started = time.monotonic()
    if soak.recovered(args.recover) is None:
        raise SystemExit("the link never came up")
    for i in range(args.cycles):
        kind = KINDS[i % len(KINDS)]
        before = soak.connections
        soak.cycle(kind)
        took = soak.recovered(args.recover)
        if took is None:
            stalls.append((i, kind))
            print("cycle %d (%s): STALL" % (i, kind), flush=True)
        else:
            times[kind].append((took, soak.connections - before))
        soak.run_for(0.3)
    elapsed = time.monotonic() - started
    code = soak.stop()

    print("%d cycles in %.0f s; vsp ended with %s" % (args.cycles, elapsed, code))
    print("%-7s %6s %22s %12s" % ("cycle", "count", "recovery s (med, max)", "connections"))
    for k in KINDS:
        if times[k]:
            secs = [t for t, _ in times[k]]
            conns = sorted({c for _, c in times[k]})
            print("%-7s %6d %10.2f %10.2f %12s" % (k, len(secs), statistics.median(secs),
                                                   max(secs), "/".join(map(str, conns))))
    for name, rec in (("program -> module", soak.at_module), ("module -> program", soak.at_program)):
        print("%s: %d records in order, %d breaks skipped %d records, %d errors"
              % (name, rec.last, rec.gaps, rec.lost, len(rec.errors)))
        for e in rec.errors[:10]:
            print("  " + e)
    print("stalls: %d; second connections while one was up: %d" % (len(stalls), soak.doubles))
    print("vsp's log: " + soak.log.name)
    bad = stalls or soak.doubles or soak.at_module.errors or soak.at_program.errors
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
