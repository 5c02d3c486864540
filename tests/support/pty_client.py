#!/usr/bin/python3
"""A program on the other side of the virtual port, driven line by line from a test.

Each command line on stdin gets exactly one reply line on stdout: "ok ..." or "err ...".
It uses the port the way serial programs do: plain open/read/write/close, termios calls,
stty -F, and pyserial (Debian's /usr/bin/python3 has it).

Commands:
  open PATH                      open read/write, no controlling tty -> "ok IDX"
  close [IDX]                    close one descriptor (default: the newest)
  write HEX [IDX]                write all bytes -> "ok N"
  writepat N SEED [close]        write N pattern bytes, then close if asked -> "ok N"
  read N TIMEOUT_MS              read up to N bytes within the time -> "ok HEX"
  readpat N SEED TIMEOUT_MS      read N bytes and check them -> "ok COUNT MISMATCH SECONDS"
                                 (MISMATCH: first wrong offset or -1; SECONDS: first to last byte)
  drain QUIET_MS                 read until nothing came for QUIET_MS -> "ok HEX"
  termios                        -> "ok IFLAG OFLAG CFLAG LFLAG OSPEED"
  setattr KEY=VAL...             tcsetattr on the newest descriptor, keeping the other flags
                                 (baud, cstopb, crtscts, ixon, ixoff, extproc, echo, icanon)
  stty PATH ARGS...              run stty -F PATH ARGS -> "ok RC"
  serial PATH KEY=VAL...         open with pyserial (baudrate, bytesize, parity N/E/O/M/S,
                                 stopbits, xonxoff, rtscts)
  serialset KEY=VAL...           change settings of the open pyserial port
  serialclose
  excl [IDX]                     make the port exclusive (TIOCEXCL), as screen does
  lock PATH                      create PATH if needed and hold an exclusive flock on it
  check                          -> "ok PYSERIAL-VERSION"
  exit
"""

import array
import fcntl
import os
import select
import subprocess
import sys
import termios
import time

# Python's termios module does not export it.
EXTPROC = getattr(termios, "EXTPROC", 0o200000)

fds = []
ser = None
held_locks = []


def pattern(n, seed):
    """Words (w * 2654435761 + seed) mod 2**32, little-endian: a lost, doubled or moved
    block shows up at once. The test builds the same bytes."""
    words = array.array("I", ((w * 2654435761 + seed) & 0xFFFFFFFF for w in range((n + 3) // 4)))
    if sys.byteorder != "little":
        words.byteswap()
    return words.tobytes()[:n]


def fd_at(args, pos):
    return fds[int(args[pos])] if len(args) > pos else fds[-1]


def write_all(fd, data):
    view = memoryview(data)
    while view:
        n = os.write(fd, view)
        view = view[n:]
    return len(data)


def read_upto(fd, n, timeout, timed=False):
    """Reads up to n bytes; timed: also the seconds from the first byte to the last."""
    out = bytearray()
    first = None
    deadline = time.monotonic() + timeout
    while len(out) < n:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, min(65536, n - len(out)))
        if not chunk:
            break
        if first is None:
            first = time.monotonic()
        out += chunk
    if timed:
        return bytes(out), (time.monotonic() - first) if first else 0.0
    return bytes(out)


def parse_settings(args):
    return {k: v for k, v in (a.split("=", 1) for a in args)}


def serial_kwargs(settings):
    import serial

    kw = {}
    if "baudrate" in settings:
        kw["baudrate"] = int(settings["baudrate"])
    if "bytesize" in settings:
        kw["bytesize"] = int(settings["bytesize"])
    if "parity" in settings:
        kw["parity"] = settings["parity"]
    if "stopbits" in settings:
        kw["stopbits"] = {"1": serial.STOPBITS_ONE, "2": serial.STOPBITS_TWO}[settings["stopbits"]]
    for flag in ("xonxoff", "rtscts"):
        if flag in settings:
            kw[flag] = settings[flag] == "1"
    return kw


BAUDS = {
    9600: termios.B9600, 19200: termios.B19200, 38400: termios.B38400,
    57600: termios.B57600, 115200: termios.B115200,
}


def setattr_cmd(fd, settings):
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    flags = {
        "cstopb": ("c", termios.CSTOPB), "crtscts": ("c", termios.CRTSCTS),
        "ixon": ("i", termios.IXON), "ixoff": ("i", termios.IXOFF),
        "extproc": ("l", EXTPROC), "echo": ("l", termios.ECHO),
        "icanon": ("l", termios.ICANON),
    }
    for key, value in settings.items():
        if key == "baud":
            ispeed = ospeed = BAUDS[int(value)]
            continue
        which, bit = flags[key]
        on = value == "1"
        if which == "c":
            cflag = cflag | bit if on else cflag & ~bit
        elif which == "i":
            iflag = iflag | bit if on else iflag & ~bit
        else:
            lflag = lflag | bit if on else lflag & ~bit
    termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, ispeed, ospeed, cc])


def run(cmd, args):
    global ser
    if cmd == "open":
        fds.append(os.open(args[0], os.O_RDWR | os.O_NOCTTY))
        return str(len(fds) - 1)
    if cmd == "close":
        fd = fd_at(args, 0)
        fds.remove(fd)
        os.close(fd)
        return ""
    if cmd == "excl":
        fcntl.ioctl(fd_at(args, 0), termios.TIOCEXCL)
        return ""
    if cmd == "write":
        return str(write_all(fd_at(args, 1), bytes.fromhex(args[0])))
    if cmd == "writepat":
        n = write_all(fds[-1], pattern(int(args[0]), int(args[1])))
        if len(args) > 2 and args[2] == "close":
            os.close(fds.pop())
        return str(n)
    if cmd == "read":
        return read_upto(fds[-1], int(args[0]), int(args[1]) / 1000).hex()
    if cmd == "readpat":
        n, seed = int(args[0]), int(args[1])
        expected = pattern(n, seed)
        got, seconds = read_upto(fds[-1], n, int(args[2]) / 1000, timed=True)
        mismatch = -1
        if got != expected[: len(got)]:
            mismatch = next(i for i, (a, b) in enumerate(zip(got, expected)) if a != b)
        return "%d %d %.6f" % (len(got), mismatch, seconds)
    if cmd == "drain":
        out = bytearray()
        while select.select([fds[-1]], [], [], int(args[0]) / 1000)[0]:
            chunk = os.read(fds[-1], 65536)
            if not chunk:
                break
            out += chunk
        return out.hex()
    if cmd == "termios":
        iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fds[-1])
        return "%d %d %d %d %d" % (iflag, oflag, cflag, lflag, ospeed)
    if cmd == "setattr":
        setattr_cmd(fds[-1], parse_settings(args))
        return ""
    if cmd == "stty":
        done = subprocess.run(["stty", "-F", args[0]] + args[1:], capture_output=True)
        return str(done.returncode)
    if cmd == "serial":
        import serial

        ser = serial.Serial(args[0], **serial_kwargs(parse_settings(args[1:])))
        return ""
    if cmd == "serialset":
        for key, value in serial_kwargs(parse_settings(args)).items():
            setattr(ser, key, value)
        return ""
    if cmd == "serialclose":
        ser.close()
        ser = None
        return ""
    if cmd == "check":
        import serial

        return serial.__version__
    if cmd == "lock":
        fd = os.open(args[0], os.O_RDWR | os.O_CREAT, 0o600)
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        held_locks.append(fd)
        return ""
    raise ValueError("unknown command " + cmd)


def main():
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "exit":
            print("ok", flush=True)
            return
        try:
            result = run(words[0], words[1:])
            print(("ok " + result).rstrip(), flush=True)
        except Exception as e:  # reported to the test, which decides
            print("err %s: %s" % (type(e).__name__, e), flush=True)


if __name__ == "__main__":
    main()
