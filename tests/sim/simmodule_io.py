"""The module's plumbing: a select() loop with timers, the event writer, and the TCP
connection, listener and connector classes. What a connection does with its bytes is up to
its session (simmodule_sessions)."""

import collections
import errno
import heapq
import itertools
import json
import os
import select
import selectors
import socket
import stat
import struct
import time

LOOPBACK = "127.0.0.1"
RECV_SIZE = 256 * 1024
# Echo stops reading while this much of its own output is still queued, so a peer that
# sends without reading fills its own kernel buffer instead of our memory.
ECHO_HIGH_WATER = 4 * 1024 * 1024
ECHO_LOW_WATER = 1024 * 1024
# After our FIN we keep reading (so that unread bytes do not turn the close into an RST)
# until the peer closes too, or this long.
FIN_LINGER_S = 2.0


class CommandError(Exception):
    pass


def hexstr(data):
    return bytes(data).hex()


def from_hex(text):
    try:
        return bytes.fromhex("".join(str(text).split()))
    except ValueError as e:
        raise CommandError("bad hex: %s" % e)


def endpoint_text(addr):
    return "%s:%d" % (addr[0], addr[1])


def parse_endpoint(text):
    host, sep, port = str(text).rpartition(":")
    if not sep or not host or not port.isdigit():
        raise CommandError("expected ADDRESS:PORT, got %r" % (text,))
    return host, int(port)


def errno_name(err):
    return errno.errorcode.get(err, str(err))


def in_private_netns():
    """True when this process runs in another network namespace than init (or, where init's
    is hidden from us, than our parent's: "ip netns exec" puts us in a namespace a test
    built). Only there may the module talk to addresses outside loopback."""
    try:
        own = os.readlink("/proc/self/ns/net")
    except OSError:
        return False
    for pid in (1, os.getppid()):
        try:
            return own != os.readlink("/proc/%d/ns/net" % pid)
        except OSError:
            continue
    return False  # cannot tell: assume the real network


PRIVATE_NETNS = in_private_netns()
PRIVATE_NETNS_DECLARED = False  # --private-netns: the caller vouches for the namespace


def private_netns():
    return PRIVATE_NETNS or PRIVATE_NETNS_DECLARED


def destination_allowed(host):
    """Loopback unicast always; anything else (broadcasts included) only inside a private
    network namespace, so that nothing this tool sends can leave the machine."""
    if private_netns():
        return True
    if host == "localhost":
        return True
    try:
        packed = socket.inet_aton(host)  # numeric only: no name look-up leaves the machine
    except OSError:
        return False
    return packed[0] == 127 and packed != b"\x7f\xff\xff\xff"


def check_destination(host):
    if not destination_allowed(host):
        raise CommandError("refusing to send to %s outside a private network namespace" % host)


class Emitter:
    """Writes events to stdout. On a pipe the writes are non-blocking and queued here, so a
    test that is busy elsewhere for a while never stalls the module's sockets."""

    def __init__(self, fd):
        self.fd = fd
        self.seq = 0
        self.pending = bytearray()
        self.loop = None
        self.queued = stat.S_ISFIFO(os.fstat(fd).st_mode)
        if self.queued:
            os.set_blocking(fd, False)

    def attach(self, loop):
        self.loop = loop

    def __call__(self, event_name, /, **fields):
        self.seq += 1
        event = {"event": event_name, "seq": self.seq, "t": round(time.monotonic(), 6)}
        event.update(fields)
        self.pending += (json.dumps(event, separators=(",", ":")) + "\n").encode()
        self.flush()

    def flush(self, _mask=0):
        while self.pending:
            try:
                n = os.write(self.fd, self.pending)
            except (BlockingIOError, InterruptedError):
                if self.loop is None:
                    select.select([], [self.fd], [])
                    continue
                self.loop.watch(self.fd, selectors.EVENT_WRITE, self.flush)
                return
            except (BrokenPipeError, OSError):
                os._exit(0)  # the test that drives us is gone
            del self.pending[:n]
        if self.loop is not None:
            self.loop.watch(self.fd, 0, None)

    def drain(self):
        if self.queued:
            os.set_blocking(self.fd, True)
        self.loop = None
        self.flush()


class Loop:
    """select() over the sockets and stdin, plus one-shot timers."""

    def __init__(self, on_error):
        self.selector = selectors.DefaultSelector()
        self.timers = []
        self.counter = itertools.count()
        self.running = True
        self.on_error = on_error  # a failing handler is reported, the module goes on

    def call_later(self, delay_s, fn):
        entry = [time.monotonic() + max(0.0, delay_s), next(self.counter), fn]
        heapq.heappush(self.timers, entry)
        return entry

    @staticmethod
    def cancel(entry):
        if entry is not None:
            entry[2] = None

    def watch(self, fileobj, events, handler):
        """(Re)register fileobj for events (a selectors mask, 0 to drop it)."""
        try:
            key = self.selector.get_key(fileobj)
        except (KeyError, ValueError):
            key = None
        if events == 0:
            if key is not None:
                self.selector.unregister(fileobj)
        elif key is None:
            self.selector.register(fileobj, events, handler)
        elif key.events != events or key.data != handler:
            self.selector.modify(fileobj, events, handler)

    def run(self):
        while self.running:
            timeout = None
            while self.timers and self.timers[0][2] is None:
                heapq.heappop(self.timers)
            if self.timers:
                timeout = max(0.0, self.timers[0][0] - time.monotonic())
            for key, mask in self.selector.select(timeout):
                if not self.running:
                    break
                try:
                    still = self.selector.get_key(key.fileobj)
                except (KeyError, ValueError):
                    continue  # closed by an earlier handler of this round
                if still.data == key.data:
                    self.guarded(key.data, mask)
            now = time.monotonic()
            while self.running and self.timers and self.timers[0][0] <= now:
                entry = heapq.heappop(self.timers)
                fn, entry[2] = entry[2], None
                if fn is not None:
                    self.guarded(fn)

    def guarded(self, fn, *args):
        try:
            fn(*args)
        except Exception as e:  # noqa: BLE001 - keep serving, but say what broke
            self.on_error(e)


class Conn:
    """One TCP connection, data or set-up console, with a write queue."""

    def __init__(self, sim, sock, role, peer, cid):
        self.sim = sim
        self.sock = sock
        self.role = role
        self.peer = peer
        self.id = cid
        self.out = bytearray()
        self.tx_total = 0  # bytes handed to the kernel
        self.rx_total = 0  # bytes read from the kernel
        self.first_rx_t = None
        self.last_rx_t = None
        self.opened_t = time.monotonic()
        self.notify = collections.deque()  # (tx_total mark, event fields) for "sent"
        self.user_paused = False
        self.backpressured = False
        self.shut_wr = False
        self.close_after_flush = None  # "fin" once a graceful close waits for the queue
        self.linger_timer = None
        self.open = True
        self.session = None
        sock.setblocking(False)
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass

    # ---- selector interest -------------------------------------------------------------
    def update_interest(self):
        if not self.open:
            return
        events = 0
        if not self.user_paused and not self.backpressured:
            events |= selectors.EVENT_READ
        if self.out and not self.shut_wr:
            events |= selectors.EVENT_WRITE
        self.sim.loop.watch(self.sock, events, self.on_ready)

    def on_ready(self, mask):
        if mask & selectors.EVENT_WRITE:
            self.flush()
        if self.open and mask & selectors.EVENT_READ:
            self.read()

    # ---- output ------------------------------------------------------------------------
    def write(self, data, notify=None):
        """Queue bytes; notify (event fields) is emitted as "sent" once all of them are in
        the kernel."""
        if not self.open or self.shut_wr or self.close_after_flush:
            raise CommandError("connection %d is closing" % self.id)
        self.out += data
        if notify is not None:
            self.notify.append((self.tx_total + len(self.out), notify))
        self.flush()

    def flush(self):
        while self.open:
            if not self.out:
                break
            try:
                sent = self.sock.send(self.out, socket.MSG_NOSIGNAL)
            except (BlockingIOError, InterruptedError):
                break
            except OSError as e:
                self.lost(e)
                return
            del self.out[:sent]
            self.tx_total += sent
            while self.notify and self.notify[0][0] <= self.tx_total:
                fields = self.notify.popleft()[1]
                self.sim.emit("sent", conn=self.id, **fields)
        if not self.open:
            return
        if self.backpressured and len(self.out) < ECHO_LOW_WATER:
            self.backpressured = False
        if not self.out and self.close_after_flush:
            self.close_after_flush = None
            self.half_close()
        self.update_interest()

    # ---- input -------------------------------------------------------------------------
    def read(self):
        try:
            data = self.sock.recv(RECV_SIZE)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            self.lost(e)
            return
        if not data:
            self.finish("local" if self.shut_wr else "peer", "fin")
            return
        now = time.monotonic()
        if self.first_rx_t is None:
            self.first_rx_t = now
        self.last_rx_t = now
        self.rx_total += len(data)
        if self.session is not None:
            self.session.on_data(data)
        if self.open and len(self.out) > ECHO_HIGH_WATER:
            self.backpressured = True
            self.update_interest()

    # ---- closing -----------------------------------------------------------------------
    def close_graceful(self):
        """FIN after everything queued has gone out."""
        if not self.open or self.shut_wr:
            return
        if self.out:
            self.close_after_flush = "fin"
        else:
            self.half_close()

    def half_close(self):
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError as e:
            self.lost(e)
            return
        self.shut_wr = True
        if self.session is not None:
            self.session.on_close()
        # Keep reading until the peer closes, so unread input cannot turn our close into
        # an RST, but never longer than FIN_LINGER_S; a paused reader is resumed for it.
        self.user_paused = False
        self.backpressured = False
        self.linger_timer = self.sim.loop.call_later(FIN_LINGER_S,
                                                     lambda: self.finish("local", "fin"))
        self.update_interest()

    def reset(self):
        """Abortive close: SO_LINGER 0 makes close() send RST and drop the queue."""
        if not self.open:
            return
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.finish("local", "rst")

    def lost(self, err):
        code = getattr(err, "errno", None)
        if code in (errno.ECONNRESET, errno.EPIPE):
            self.finish("peer", "rst", error=errno_name(code))
        else:
            self.finish("peer", "error", error=errno_name(code) if code else str(err))

    def finish(self, by, how, error=None):
        if not self.open:
            return
        self.open = False
        self.sim.loop.cancel(self.linger_timer)
        self.sim.loop.watch(self.sock, 0, None)
        try:
            self.sock.close()
        except OSError:
            pass
        if self.session is not None:
            self.session.on_close()
        fields = {"conn": self.id, "role": self.role, "peer": self.peer, "by": by, "how": how,
                  "rx": self.rx_total, "tx": self.tx_total, "unsent": len(self.out)}
        if error:
            fields["error"] = error
        self.out.clear()
        self.sim.emit("disconnected", **fields)
        self.sim.conn_closed(self)

    def pause(self, paused):
        self.user_paused = paused
        self.update_interest()

    def stats(self):
        data_rx = getattr(self.session, "data_total", None)
        return {"conn": self.id, "role": self.role, "peer": self.peer, "open": self.open,
                "rx": self.rx_total, "tx": self.tx_total, "data_rx": data_rx,
                "queued": len(self.out), "opened_t": round(self.opened_t, 6),
                "first_rx_t": self.first_rx_t and round(self.first_rx_t, 6),
                "last_rx_t": self.last_rx_t and round(self.last_rx_t, 6)}


class Listener:
    def __init__(self, sim, role, addr, port, rcvbuf=0, sndbuf=0):
        self.sim = sim
        self.role = role
        self.addr = addr
        self.port = port
        self.sock = None
        self.paused = False
        self.open(rcvbuf, sndbuf)

    def open(self, rcvbuf=0, sndbuf=0):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # Set before listen(): accepted sockets inherit it, and the window scale offered in
        # the handshake already fits the small buffer.
        if rcvbuf:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        if sndbuf:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, sndbuf)
        try:
            sock.bind((self.addr, self.port))
            sock.listen(16)
        except OSError:
            sock.close()
            raise
        sock.setblocking(False)
        self.sock = sock
        self.port = sock.getsockname()[1]
        self.paused = False
        self.sim.loop.watch(sock, selectors.EVENT_READ, self.on_ready)

    def close(self):
        if self.sock is not None:
            self.sim.loop.watch(self.sock, 0, None)
            self.sock.close()
            self.sock = None

    def pause(self, paused):
        if self.sock is None:
            raise CommandError("the %s port is not listening" % self.role)
        self.paused = paused
        self.sim.loop.watch(self.sock, 0 if paused else selectors.EVENT_READ, self.on_ready)

    def on_ready(self, _mask):
        while self.sock is not None:
            try:
                sock, peer = self.sock.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as e:
                self.sim.emit("error", message="accept on %s port: %s" % (self.role, e))
                return
            if not destination_allowed(peer[0]):
                sock.close()
                self.sim.emit("error", message="closed a connection from %s: only loopback "
                              "peers outside a private network namespace" % peer[0])
                continue
            self.sim.accepted(self.role, sock, peer)


class Connector:
    """Client mode of the data port: connect to the program's server, retrying if asked."""

    def __init__(self, sim, host, port, retry_ms, retry_for_ms):
        check_destination(host)
        self.sim = sim
        self.host = host
        self.port = port
        self.retry_ms = retry_ms
        self.deadline = time.monotonic() + retry_for_ms / 1000.0
        self.sock = None
        self.timer = None
        self.attempt()

    def attempt(self):
        self.timer = None
        cfg = self.sim.data_cfg
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if cfg["rcvbuf"]:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, cfg["rcvbuf"])
        if cfg["sndbuf"]:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, cfg["sndbuf"])
        sock.setblocking(False)
        err = sock.connect_ex((self.host, self.port))
        self.sock = sock
        if err in (0, errno.EINPROGRESS):
            self.sim.loop.watch(sock, selectors.EVENT_WRITE, self.on_ready)
        else:
            self.failed(err)

    def on_ready(self, _mask):
        err = self.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        self.sim.loop.watch(self.sock, 0, None)
        if err:
            self.failed(err)
            return
        sock, self.sock = self.sock, None
        self.sim.connector = None
        self.sim.accepted("data", sock, sock.getpeername())

    def failed(self, err):
        self.sock.close()
        self.sock = None
        retrying = self.retry_ms > 0 and time.monotonic() < self.deadline
        self.sim.emit("connect_failed", host=self.host, port=self.port, error=errno_name(err),
                      retrying=retrying)
        if retrying:
            self.timer = self.sim.loop.call_later(self.retry_ms / 1000.0, self.attempt)
        else:
            self.sim.connector = None

    def cancel(self):
        self.sim.loop.cancel(self.timer)
        if self.sock is not None:
            self.sim.loop.watch(self.sock, 0, None)
            self.sock.close()
            self.sock = None
