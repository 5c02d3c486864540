#!/usr/bin/env python3
"""The link soak: vsp against a module played here, while a program on the port writes and
reads numbered records all the time.

Loopback cycles (the default): vsp in client mode; the module goes through cycles of kill
and restart, graceful close, reset, refusal for 1.5 s (the program writes more than the
store's 16 KB meanwhile) and the program closing and reopening the port.

Field cycles (--field): vsp in its namespace, the module in another behind a bridge that
plays the switch, as on a real network. A power cut takes the module's link down, ends
its sockets unheard and destroys its whole network stack; a new module with the same
address and MAC comes back --away seconds later. A frozen module stops reading and writing
for --away seconds while its kernel goes on answering. Both in client and in server mode,
with a program that only reads and one that also writes. Needs root (namespaces).

After every cycle the directions in use must carry fresh records again within --recover
seconds (else the cycle is a stall). Throughout, the records are checked: on one
connection the module's records arrive without a gap, across connections none arrives
twice or out of order; the program's records likewise, a gap being allowed only where a
connection broke (TCP cannot give back what the kernel took for a dead connection).

Run inside a private network namespace (bench/soak.sh does): vsp pings its module.
"""

import argparse
import ctypes
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

from bench import free_port, require_private_netns

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


class LogTail:
    """vsp's log lines as they appear, each with the time it was seen."""

    def __init__(self, path):
        self.file = open(path, "rb")
        self.rest = b""
        self.lines = []  # (time.monotonic(), text)

    def poll(self):
        data = self.file.read()
        if not data:
            return
        *whole, self.rest = (self.rest + data).split(b"\n")
        now = time.monotonic()
        self.lines += [(now, line.decode(errors="replace")) for line in whole]

    def first(self, text, since):
        return next((t for t, line in self.lines if t >= since and text in line), None)

    def count(self, text, since):
        return sum(1 for t, line in self.lines if t >= since and text in line)


class Soak:
    program_writes = True  # else the program only reads
    frozen = False  # the module neither reads nor writes (its kernel still answers)

    def __init__(self, args, vsp_args=None):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="vsp-soak-")
        self.port = free_port()
        self.listener = None
        if vsp_args is None:
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
        self.tail = LogTail(self.log.name)
        if vsp_args is None:
            vsp_args = ["-S0", "-i127.0.0.1:%d" % self.port, "-s%d" % free_port()]
        self.proc = subprocess.Popen(
            [args.vsp, "-P1", "-H1", "-cSOAK"] + vsp_args,
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
        self.tail.poll()
        rate_p = self.args.rate // 100  # bytes per 10 ms
        if self.pty >= 0 and self.program_writes and len(self.p_backlog) < 65536:
            while len(self.p_backlog) < rate_p:
                self.p_backlog += b"P%09d\n" % self.next_p
                self.next_p += 1
        module = self.conn if not self.frozen else None
        if module and len(self.m_backlog) < 4096:
            for _ in range(10):
                self.m_backlog += b"M%09d\n" % self.next_m
                self.next_m += 1
        self.module_turn()
        rd = [s for s in (self.listener, module) if s] + ([self.pty] if self.pty >= 0 else [])
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
        if module and module in r:
            try:
                data = self.conn.recv(65536)
                if data:
                    self.at_module.feed(data)
                else:
                    self.lose_module()
            except OSError:
                self.lose_module()
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
        if self.conn and not self.frozen and self.m_backlog:
            try:
                n = self.conn.send(self.m_backlog)
                self.m_backlog = self.m_backlog[n:]
            except OSError as e:
                if e.errno != errno.EAGAIN:
                    self.lose_module()

    def lose_module(self):
        """vsp ended the module's connection (or it broke)."""
        self.conn.close()
        self.conn = None
        self.broke()

    def module_turn(self):
        """What the module does of its own in each turn (the field module connects)."""

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
            if self.conn and (self.at_module.last >= want_p or not self.program_writes) \
                    and self.at_program.last >= want_m and self.next_m > want_m:
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


libc = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNET = 0x40000000


def ip(*args):
    subprocess.run(["ip"] + list(args), check=True, stdout=subprocess.DEVNULL)


class Network:
    """This namespace (the program's, A), a switch (S: a bridge) and the module's (B),
    joined A-S and S-B by veth pairs. A power cut takes B's link down and destroys B with
    its link; the module that comes back gets a new B with the same address and MAC. A's
    link stays up throughout, as behind a real switch."""

    A_ADDRESS, B_ADDRESS = "10.77.0.1", "10.77.0.2"
    B_MAC = "02:00:0a:4d:00:02"

    def __init__(self):
        tag = str(os.getpid())
        self.s, self.b = "vsp-s" + tag, "vsp-b" + tag
        self.veth_a, self.veth_as = "vspa" + tag, "vspas" + tag
        self.veth_sb, self.veth_b = "vspsb" + tag, "vspb" + tag
        self.home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        self.b_up = False
        ip("netns", "add", self.s)
        ip("-n", self.s, "link", "add", "br0", "type", "bridge")
        ip("-n", self.s, "link", "set", "br0", "up")
        ip("link", "add", self.veth_a, "type", "veth", "peer", "name", self.veth_as,
           "netns", self.s)
        ip("addr", "add", self.A_ADDRESS + "/24", "dev", self.veth_a)
        ip("link", "set", self.veth_a, "up")
        ip("-n", self.s, "link", "set", self.veth_as, "master", "br0", "up")
        self.power_on()

    def power_on(self):
        ip("netns", "add", self.b)
        ip("-n", self.b, "link", "set", "lo", "up")
        ip("-n", self.s, "link", "add", self.veth_sb, "type", "veth", "peer", "name",
           self.veth_b, "netns", self.b)
        ip("-n", self.b, "link", "set", self.veth_b, "address", self.B_MAC)
        ip("-n", self.b, "addr", "add", self.B_ADDRESS + "/24", "dev", self.veth_b)
        ip("-n", self.b, "link", "set", self.veth_b, "up")
        ip("-n", self.s, "link", "set", self.veth_sb, "master", "br0", "up")
        self.b_up = True

    def cut_link(self):
        ip("-n", self.b, "link", "set", self.veth_b, "down")

    def power_off(self):
        """After the module's sockets are gone: its stack goes too."""
        ip("-n", self.s, "link", "del", self.veth_sb)
        ip("netns", "del", self.b)
        self.b_up = False

    def socket_in_b(self):
        fd = os.open("/var/run/netns/" + self.b, os.O_RDONLY)
        try:
            if libc.setns(fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns")
            return socket.socket()  # made in B, it stays there
        finally:
            os.close(fd)
            libc.setns(self.home, CLONE_NEWNET)

    def delete(self):
        for ns in (self.b, self.s):
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "link", "del", self.veth_a], stderr=subprocess.DEVNULL)


class FieldSoak(Soak):
    """vsp in client or server mode against a module in another namespace."""

    def __init__(self, args, net, server, program_writes):
        self.net = net
        self.server = server
        self.program_writes = program_writes
        self.module_port = free_port()
        self.connect_at = 0.0  # server mode: when the module tries again
        if server:
            vsp_args = ["-S1", "-s%d" % self.module_port, "-i%s:1" % net.B_ADDRESS]
        else:
            vsp_args = ["-S0", "-i%s:%d" % (net.B_ADDRESS, self.module_port), "-s%d" % free_port()]
        self.connecting = None
        super().__init__(args, vsp_args)
        self.module_on()

    def module_on(self):
        if self.server:
            self.connect_at = time.monotonic()
        else:
            s = self.net.socket_in_b()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((self.net.B_ADDRESS, self.module_port))
            s.listen(4)
            s.setblocking(False)
            self.listener = s

    def module_off(self):
        """The module's sockets end without a word: B's link is already down."""
        for s in (self.listener, self.conn, self.connecting):
            if s:
                s.close()
        self.listener = self.conn = self.connecting = None
        self.broke()

    def module_turn(self):
        # Server mode: the module connects to vsp, and again a second after a refusal.
        if not self.server or not self.net.b_up or self.conn:
            return
        if self.connecting:
            err = self.connecting.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
            if err == 0:
                try:
                    self.connecting.getpeername()
                except OSError:
                    return  # still under way
                self.conn, self.connecting = self.connecting, None
                self.connections += 1
                self.broke()
                return
            self.connecting.close()
            self.connecting = None
            self.connect_at = time.monotonic() + 1
            return
        if time.monotonic() < self.connect_at:
            return
        s = self.net.socket_in_b()
        s.setblocking(False)
        s.connect_ex((self.net.A_ADDRESS, self.module_port))
        self.connecting = s

    def lose_module(self):
        super().lose_module()
        if self.server:
            self.connect_at = time.monotonic() + 1  # and tries again

    def power_cut(self, away):
        start = time.monotonic()
        self.net.cut_link()
        self.module_off()
        self.net.power_off()
        self.run_for(away)
        self.net.power_on()
        self.module_on()
        return start

    def freeze(self, away):
        start = time.monotonic()
        self.frozen = True
        self.run_for(away)
        self.frozen = False
        return start


def field_main(args):
    net = Network()
    configs = [(server, writes) for server in (False, True) for writes in (False, True)]
    results = {}
    stalls = []
    doubles = 0
    started = time.monotonic()
    code = 0
    try:
        per_config = [args.cycles // len(configs) + (1 if i < args.cycles % len(configs) else 0)
                      for i in range(len(configs))]
        for (server, writes), cycles in zip(configs, per_config):
            soak = FieldSoak(args, net, server, writes)
            soak.doubles = 0
            name = "%s, program %s" % ("server" if server else "client",
                                       "writes" if writes else "only reads")
            if soak.recovered(args.recover) is None:
                raise SystemExit(name + ": the link never came up")
            for i in range(cycles):
                kind = ("power cut", "frozen module")[i % 2]
                before = soak.connections
                lost_before = soak.at_module.lost + soak.at_program.lost
                if kind == "power cut":
                    start = soak.power_cut(args.away)
                else:
                    start = soak.freeze(args.away)
                back = time.monotonic()
                took = soak.recovered(args.recover)
                noticed = soak.tail.first("TCP error", start)
                row = results.setdefault((name, kind), [])
                if took is None:
                    stalls.append((name, kind, i))
                    print("%s, %s %d: STALL" % (name, kind, i), flush=True)
                row.append((None if noticed is None or noticed > back else noticed - start,
                            took, soak.at_module.lost + soak.at_program.lost - lost_before,
                            soak.connections - before))
                print("%s, %s %d: noticed %s, flowing %s s after the return, %d connections"
                      % (name, kind, i, "-" if row[-1][0] is None else "%.1f s" % row[-1][0],
                         "-" if took is None else "%.2f" % took, row[-1][3]), flush=True)
                soak.run_for(0.3)
            doubles += soak.doubles
            code = code or soak.stop()
            for rec, what in ((soak.at_module, "program -> module"),
                              (soak.at_program, "module -> program")):
                print("%s: %s: %d records in order, %d breaks skipped %d, %d errors"
                      % (name, what, rec.last, rec.gaps, rec.lost, len(rec.errors)))
                for e in rec.errors[:10]:
                    print("  " + e)
                if rec.errors:
                    stalls.append((name, what, "errors"))
            print("vsp's log: " + soak.log.name, flush=True)
    finally:
        net.delete()

    print("%d cycles in %.0f s, the module away %.0f s each" % (args.cycles,
                                                               time.monotonic() - started,
                                                               args.away))
    print("%-42s %5s %20s %22s %8s %12s" % ("kind", "count", "noticed s (med, max)",
                                             "flowing s (med, max)", "lost", "connections"))
    for (name, kind), rows in results.items():
        noticed = [r[0] for r in rows if r[0] is not None]
        flowing = [r[1] for r in rows if r[1] is not None]
        print("%-42s %5d %9s %10s %11s %10s %8d %12s" % (
            name + ", " + kind, len(rows),
            "%.1f" % statistics.median(noticed) if noticed else "never",
            "%.1f" % max(noticed) if noticed else "",
            "%.2f" % statistics.median(flowing) if flowing else "-",
            "%.2f" % max(flowing) if flowing else "",
            sum(r[2] for r in rows), "/".join(map(str, sorted({r[3] for r in rows})))))
    print("stalls: %d; second connections while one was up: %d" % (len(stalls), doubles))
    sys.exit(1 if stalls or doubles else 0)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--vsp", default=os.path.join(os.path.dirname(__file__), "..", "build", "vsp"))
    p.add_argument("--cycles", type=int, default=100)
    p.add_argument("--rate", type=int, default=33000, help="program's bytes per second")
    p.add_argument("--recover", type=float, default=40.0, help="seconds before a stall")
    p.add_argument("--field", action="store_true",
                   help="power cuts and frozen modules across namespaces (root)")
    p.add_argument("--away", type=float, default=20.0,
                   help="field cycles: seconds the module is gone or frozen")
    args = p.parse_args()
    require_private_netns("soak.py")
    if args.field:
        field_main(args)
        return

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
