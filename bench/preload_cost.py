#!/usr/bin/python3
"""What the vsp-run preload library costs a program: the same calls on the virtual port of a
running vsp (client mode, connected to a listener of ours, as bench.py runs it), made by a
program started plainly and by one started through vsp-run, in alternating rounds.

  tcsetattr   a line setting (9600 then 19200 baud, alternately), in microseconds per call:
              through the library it is also a round trip to vsp, which passes it on (a
              plain program cannot set a data size or parity on a pty at all)
  tcgetattr   reading the line back
  1-byte write a data call, which the library never takes: it must cost the same both ways

Run it inside a private network namespace (bench/run.sh --preload does).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

# The measuring program: plain Python termios calls on the port, timed with the monotonic
# clock; prints microseconds per call for each kind.
PROBE = r"""
import os, sys, termios, time
link, n = sys.argv[1], int(sys.argv[2])
fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
base = termios.tcgetattr(fd)
a = list(base); a[4] = a[5] = termios.B9600
b = list(base); b[4] = b[5] = termios.B19200
def timed(f):
    t = time.monotonic_ns()
    for i in range(n):
        f(i)
    return (time.monotonic_ns() - t) / n / 1000
set_us = timed(lambda i: termios.tcsetattr(fd, termios.TCSANOW, a if i % 2 else b))
get_us = timed(lambda i: termios.tcgetattr(fd))
one = b"x"
write_us = timed(lambda i: os.write(fd, one))
print("%.2f %.2f %.2f" % (set_us, get_us, write_us))
"""


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--vsp", default=os.path.join(root, "build", "vsp"))
    p.add_argument("--run", default=os.path.join(root, "build", "vsp-run"))
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--calls", type=int, default=2000)
    args = p.parse_args()
    bench.require_private_netns("preload_cost.py")

    bench.VspRelay.binary = args.vsp
    results = {"plain": [], "vsp-run": []}
    with tempfile.TemporaryDirectory() as work:
        relay = bench.VspRelay(work)
        try:
            for r in range(args.rounds):
                order = ["plain", "vsp-run"] if r % 2 == 0 else ["vsp-run", "plain"]
                for kind in order:
                    cmd = [sys.executable, "-c", PROBE, relay.link, str(args.calls)]
                    if kind == "vsp-run":
                        cmd = [args.run] + cmd
                    env = dict(os.environ, VSP_PORT_DIR=work)
                    out = subprocess.run(cmd, env=env, check=True, capture_output=True,
                                         text=True, timeout=600).stdout.split()
                    results[kind].append([float(x) for x in out])
                    bench.drain(relay)
        finally:
            relay.stop()

    print("vsp-run preload cost, %d rounds of %d calls (median [min-max], microseconds per call)"
          % (args.rounds, args.calls))
    names = ("tcsetattr", "tcgetattr", "1-byte write")
    print("| call | plain | vsp-run | ratio |")
    print("|---|---|---|---|")
    for i, name in enumerate(names):
        plain = [x[i] for x in results["plain"]]
        pre = [x[i] for x in results["vsp-run"]]
        ratios = [b / a for a, b in zip(plain, pre)]
        print("| %s | %.2f [%.2f-%.2f] | %.2f [%.2f-%.2f] | %.2f |" % (
            name, statistics.median(plain), min(plain), max(plain),
            statistics.median(pre), min(pre), max(pre), statistics.median(ratios)))


if __name__ == "__main__":
    main()
