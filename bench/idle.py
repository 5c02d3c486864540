#!/usr/bin/env python3
"""Idle cost of vsp: CPU time and wake-ups of the whole process while nothing can move.

Each case runs a fresh vsp in client mode (the log on, to standard error as a service
would have it) and measures for --seconds once the case has settled:

  nothing waiting   the port created, no program, no link wanted
  bytes waiting     a program holds the port open after writing 100 bytes; the module
                    refuses (its echo check answers): an attempt every second
  module silent     the same, but the module answers nothing at all (no echo reply, no
                    SYN-ACK): each attempt is an echo check that runs out its 5 s
  program gone      a program wrote 100 bytes while the module refused, then closed the
                    port (what the program left is dropped 5 s later)

CPU from /proc/PID/task/*/schedstat (ns, all threads); wake-ups are the threads' context
switches (voluntary and not) from /proc/PID/task/*/status. Needs root for the silent
module (ICMP echo ignored inside the private namespace bench/run.sh makes).
"""

import argparse
import os
import socket
import subprocess
import sys
import tempfile
import time

from bench import free_port, require_private_netns


def sample(pid):
    cpu = switches = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                cpu += int(f.read().split()[0])
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if "ctxt_switches:" in line:
                        switches += int(line.split()[1])
        except FileNotFoundError:
            pass  # a thread that ended
    return cpu, switches


def run_case(args, case):
    work = tempfile.mkdtemp(prefix="vsp-idle-")
    port = free_port()  # nothing listens there: refused
    address = "127.0.0.1"
    if case == "module silent":
        address = "10.9.9.2"  # routed into loopback, answered by nobody
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", VSP_PORT_DIR=work,
               VSP_DISCOVERY_ADDR="127.255.255.255", VSP_LOG_STDERR="1")
    log = open(os.path.join(work, "vsp.log"), "wb")
    proc = subprocess.Popen([args.vsp, "-P1", "-H1", "-S0", "-F0", "-i%s:%d" % (address, port),
                             "-cIDLE", "-s%d" % free_port()],
                            env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    link = os.path.join(work, "COMIDLE")
    deadline = time.monotonic() + 20
    while not os.path.exists(link):
        if time.monotonic() > deadline or proc.poll() is not None:
            raise SystemExit("vsp did not create its port")
        time.sleep(0.05)
    pty = -1
    if case != "nothing waiting":
        pty = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        import termios
        import tty
        tty.setraw(pty, termios.TCSANOW)
        os.write(pty, b"x" * 100)
        if case == "program gone":
            time.sleep(0.5)
            os.close(pty)
            pty = -1
    time.sleep(args.settle)
    cpu0, sw0 = sample(proc.pid)
    t0, wall0 = time.monotonic(), time.time()
    time.sleep(args.seconds)
    cpu1, sw1 = sample(proc.pid)
    elapsed, wall1 = time.monotonic() - t0, time.time()
    if pty >= 0:
        os.close(pty)
    proc.terminate()
    proc.wait(10)
    log.close()
    with open(log.name, errors="replace") as f:
        lines = f.read().splitlines()
    # Attempts in the measured time: the log's own time stamps (local time, ms).
    def when(line):
        try:
            return time.mktime(time.strptime(line[:19], "%Y-%m-%d %H:%M:%S")) + int(line[20:23]) / 1000
        except ValueError:
            return None
    errors = sum(1 for line in lines
                 if "TCP error" in line and wall0 <= (when(line) or 0) < wall1)
    return (cpu1 - cpu0) / elapsed / 1e7, (sw1 - sw0) / elapsed, errors * 60 / elapsed, lines


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--vsp", default=os.path.join(os.path.dirname(__file__), "..", "build", "vsp"))
    p.add_argument("--seconds", type=float, default=30.0)
    p.add_argument("--settle", type=float, default=8.0, help="seconds before measuring")
    p.add_argument("--rounds", type=int, default=3)
    args = p.parse_args()
    require_private_netns("idle.py")
    if os.geteuid() == 0:
        with open("/proc/sys/net/ipv4/icmp_echo_ignore_all") as f:
            ignored = f.read().strip()
        subprocess.run(["ip", "route", "add", "10.9.9.0/24", "dev", "lo"], check=False)
    cases = ["nothing waiting", "bytes waiting", "module silent", "program gone"]
    results = {c: [] for c in cases}
    for r in range(args.rounds):
        for case in cases[r % len(cases):] + cases[:r % len(cases)]:
            if case == "module silent" and os.geteuid() != 0:
                continue
            if case == "module silent":
                with open("/proc/sys/net/ipv4/icmp_echo_ignore_all", "w") as f:
                    f.write("1")
            try:
                results[case].append(run_case(args, case)[:3])
            finally:
                if case == "module silent":
                    with open("/proc/sys/net/ipv4/icmp_echo_ignore_all", "w") as f:
                        f.write(ignored)
    print("%-16s %22s %22s %18s" % ("case", "CPU, % of a core", "wake-ups per s",
                                    "TCP errors a minute"))
    for case in cases:
        rows = results[case]
        if not rows:
            continue
        cpu = sorted(r[0] for r in rows)
        wake = sorted(r[1] for r in rows)
        errs = sorted(r[2] for r in rows)
        print("%-16s %8.3f [%.3f-%.3f] %8.1f [%.1f-%.1f] %10s" % (
            case, cpu[len(cpu) // 2], cpu[0], cpu[-1], wake[len(wake) // 2], wake[0], wake[-1],
            "/".join("%.0f" % e for e in errs)))


if __name__ == "__main__":
    main()
