#!/usr/bin/python3
"""Self-test of the simulated module: its codecs against published values and independent
checks, and the tool itself driven through its control channel on loopback."""

import base64
import json
import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # run from the source tree: leave no __pycache__ there
sys.path.insert(0, HERE)
import simmodule_proto as proto  # noqa: E402

TOOL = os.path.join(HERE, "simmodule.py")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def tea_decipher(y, z, key):
    """The inverse of TEA, written here only to check the module's encipherment."""
    k0, k1, k2, k3 = key
    m = 0xFFFFFFFF
    total = (0x9E3779B9 * 32) & m
    for _ in range(32):
        z = (z - ((((y << 4) + k2) ^ (y + total) ^ ((y >> 5) + k3)) & m)) & m
        y = (y - ((((z << 4) + k0) ^ (z + total) ^ ((z >> 5) + k1)) & m)) & m
        total = (total - 0x9E3779B9) & m
    return y, z


class CipherTests(unittest.TestCase):
    def test_tea_published_vector_and_inverse(self):
        # Zero key, zero block: 41ea3a0a 94baa940 (the test vector published with TEA
        # implementations, e.g. the Linux kernel's tea.c test set and Crypto++'s TestVectors).
        self.assertEqual(proto.tea_encipher(0, 0, (0, 0, 0, 0)), (0x41EA3A0A, 0x94BAA940))
        self.assertEqual(proto.tea_block(bytes(8), (0, 0, 0, 0)).hex(), "41ea3a0a94baa940")
        rng = random.Random(1)
        for _ in range(200):
            key = tuple(rng.getrandbits(32) for _ in range(4))
            y, z = rng.getrandbits(32), rng.getrandbits(32)
            enc = proto.tea_encipher(y, z, key)
            self.assertTrue(all(0 <= w <= 0xFFFFFFFF for w in enc))
            self.assertEqual(tea_decipher(*enc, key), (y, z))
        # Words are big-endian: swapping the byte order of the block changes the result.
        block = bytes(range(8))
        self.assertEqual(proto.tea_block(block, proto.DEFAULT_USER_KEY),
                         proto.word_bytes(*proto.tea_encipher(0x00010203, 0x04050607,
                                                              proto.DEFAULT_USER_KEY)))

    def test_base64_without_padding(self):
        self.assertEqual(proto.b64encode(b"abc"), b"YWJj")
        self.assertEqual(proto.b64encode(b"ab"), b"YW")
        self.assertEqual(proto.b64encode(b"a"), b"Y")
        self.assertEqual(proto.b64encode(b""), b"")
        self.assertEqual(proto.b64decode(b"YW=Jj"), b"abc")
        self.assertEqual(proto.b64decode(b"YW Jj\r\n"), b"abc")
        rng = random.Random(2)
        for n in (3, 9, 30):
            for _ in range(50):
                data = bytes(rng.getrandbits(8) for _ in range(n))
                text = proto.b64encode(data)
                self.assertEqual(text, base64.b64encode(data))  # no "=" at multiples of 3
                self.assertEqual(proto.b64decode(text), data)
        for n in range(1, 20):
            self.assertNotIn(b"=", proto.b64encode(bytes(range(n))))

    def test_challenge_and_response(self):
        text, nine = proto.make_challenge(bytes(range(1, 9)))
        self.assertEqual(len(text), 12)
        self.assertTrue(all(ch in proto.B64_ALPHABET for ch in text))
        self.assertEqual(sum(nine) % 256, 0)
        self.assertEqual(proto.b64decode(text), nine)
        _, bad = proto.make_challenge(bytes(range(1, 9)), bad_check=True)
        self.assertEqual(sum(bad) % 256, 1)
        # Zero challenge under the zero key: r0..r7 is the published block, r8 its check.
        r = bytes.fromhex("41ea3a0a94baa940")
        want = base64.b64encode(r + bytes([(-sum(r)) & 0xFF]))
        self.assertEqual(proto.expected_response(bytes(8), (0, 0, 0, 0)), want)
        self.assertEqual(want, b"Qeo6CpS6qUBa")
        self.assertEqual(proto.parse_key(["3A7F19C2", "B04E6D15", "5C92E8A1", "0F63D7B4"]),
                         proto.DEFAULT_USER_KEY)
        with self.assertRaises(ValueError):
            proto.parse_key(["1", "2", "3"])
        with self.assertRaises(ValueError):
            proto.parse_key(["1", "2", "3", "100000000"])


class DiscoveryCodecTests(unittest.TestCase):
    KEY = proto.FALLBACK_DISCOVERY_KEY

    @staticmethod
    def program_check(datagram, key):
        """The program's acceptance rule, step by step: chain the five blocks, XOR the
        code in, expect zero."""
        if len(datagram) != 48:
            return False
        y = z = 0
        for off in range(0, 40, 8):
            y ^= struct.unpack(">I", datagram[off:off + 4])[0]
            z ^= struct.unpack(">I", datagram[off + 4:off + 8])[0]
            y, z = proto.tea_encipher(y, z, key)
        y ^= struct.unpack(">I", datagram[40:44])[0]
        z ^= struct.unpack(">I", datagram[44:48])[0]
        return y == 0 and z == 0

    def test_reply_layout_and_code(self):
        mac = bytes.fromhex("001a2b3c4d5e")
        reply = proto.build_reply(mac, bytes([10, 0, 0, 2]), bytes([255, 255, 255, 0]),
                                  bytes([10, 0, 0, 1]), 3, 4001, self.KEY)
        self.assertEqual(len(reply), 48)
        self.assertEqual(reply[0:6], mac)
        self.assertEqual(reply[6:10], bytes([10, 0, 0, 2]))
        self.assertEqual(reply[10:14], bytes([255, 255, 255, 0]))
        self.assertEqual(reply[24:28], bytes([10, 0, 0, 1]))
        self.assertEqual(reply[28], 3)
        self.assertEqual(reply[30:32], (4001).to_bytes(2, "big"))
        self.assertTrue(self.program_check(reply, self.KEY))
        self.assertTrue(proto.verify_reply(reply, self.KEY))
        for pos in (0, 13, 39, 40, 47):
            forged = bytearray(reply)
            forged[pos] ^= 0x80
            self.assertFalse(self.program_check(bytes(forged), self.KEY), pos)
            self.assertFalse(proto.verify_reply(bytes(forged), self.KEY), pos)
        self.assertFalse(proto.verify_reply(reply + b"\0", self.KEY))
        self.assertFalse(self.program_check(reply, (1, 2, 3, 4)))

    def test_search_request(self):
        request = proto.build_search_request(b"VSP SEARCH v2.18")
        self.assertEqual(len(request), 48)
        self.assertEqual(request[:32], b"\xff" * 6 + b"IIIIMMMMFFFFWWWWUC12345678")
        self.assertTrue(proto.is_search_request(request))
        self.assertTrue(proto.is_search_request(request[:32] + b"any other tag!!!"))
        self.assertFalse(proto.is_search_request(request[:47]))
        self.assertFalse(proto.is_search_request(request + b"x"))
        self.assertFalse(proto.is_search_request(b"\xfe" + request[1:]))
        # The program's own request, heard back, must fail the reply check.
        self.assertFalse(self.program_check(request, self.KEY))

    def test_constants_read_from_header(self):
        sample = ('// The key\n#include "link/Tea.h"\n'
                  "constexpr TeaKey DiscoveryKey { { 0x6B3E1F7A, 0xc4d25e09u, 0x1A8F6B33,\n"
                  "    0x9E07C4D1 } };\nconstexpr char MakerTag[] = \"ABCDEFGHIJKLMNOP\";\n"
                  "static_assert(sizeof MakerTag - 1 == MakerTagSize);\n")
        with tempfile.NamedTemporaryFile("w", suffix=".h", delete=False) as f:
            f.write(sample)
        try:
            key, tag = proto.read_discovery_constants(f.name)
        finally:
            os.unlink(f.name)
        self.assertEqual(key, (0x6B3E1F7A, 0xC4D25E09, 0x1A8F6B33, 0x9E07C4D1))
        self.assertEqual(tag, b"ABCDEFGHIJKLMNOP")
        self.assertEqual(proto.read_discovery_constants("/nonexistent/Discovery.h"),
                         (None, None))
        # The tool finds the program's own header from where it lies in the tree.
        self.assertTrue(os.path.exists(proto.DISCOVERY_HEADER), proto.DISCOVERY_HEADER)
        key, tag = proto.read_discovery_constants()
        self.assertIsNotNone(key)
        self.assertEqual(len(tag), 16)


class TelnetCodecTests(unittest.TestCase):
    def test_stream_split_anywhere(self):
        stream = (b"A\xff\xffB" + b"\xff\xf1" + b"\xff\xfb\x03"
                  + b"\xff\xfa\x2c\x01\x00\x01\xc2\x00\xff\xf0" + b"C"
                  + b"\xff\xfa\x2c\x65\xff\xff\xff\xf0" + b"\xff\xf3D")
        want = [("data", b"A\xffB"), ("nop",), ("negotiation", "WILL", 3),
                ("subnegotiation", 44, b"\x01\x00\x01\xc2\x00"), ("data", b"C"),
                ("subnegotiation", 44, b"\x65\xff"), ("command", 0xF3), ("data", b"D")]
        for cut in range(len(stream) + 1):
            parser = proto.TelnetParser()
            items = parser.feed(stream[:cut]) + parser.feed(stream[cut:])
            merged = []
            for item in items:  # a cut inside data splits it in two
                if item[0] == "data" and merged and merged[-1][0] == "data":
                    merged[-1] = ("data", merged[-1][1] + item[1])
                else:
                    merged.append(item)
            self.assertEqual(merged, want, "cut at %d" % cut)

class SafetyTests(unittest.TestCase):
    def test_only_loopback_outside_a_private_namespace(self):
        import simmodule_io as simmodule
        saved = simmodule.PRIVATE_NETNS, simmodule.PRIVATE_NETNS_DECLARED
        try:
            simmodule.PRIVATE_NETNS = simmodule.PRIVATE_NETNS_DECLARED = False
            for host in ("127.0.0.1", "127.1.2.3", "localhost"):
                self.assertTrue(simmodule.destination_allowed(host), host)
            for host in ("127.255.255.255", "255.255.255.255", "10.0.0.1", "192.0.2.1",
                         "example.invalid"):
                self.assertFalse(simmodule.destination_allowed(host), host)
            simmodule.PRIVATE_NETNS_DECLARED = True
            self.assertTrue(simmodule.destination_allowed("10.0.0.1"))
        finally:
            simmodule.PRIVATE_NETNS, simmodule.PRIVATE_NETNS_DECLARED = saved


class Sim:
    """The tool as a child process; events are collected by a reader thread."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([PYTHON, TOOL, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.events = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.next_id = 1
        self.ready = self.wait("ready")

    def _read(self):
        for line in self.proc.stdout:
            event = json.loads(line)
            with self.cond:
                self.events.append(event)
                self.cond.notify_all()
        with self.cond:
            self.events.append({"event": "<exit>"})
            self.cond.notify_all()

    def wait(self, name, timeout=5.0, start=0, **match):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for event in self.events[start:]:
                    if event["event"] == name and all(event.get(k) == v
                                                      for k, v in match.items()):
                        return event
                    if event["event"] == "<exit>":
                        raise AssertionError("tool exited: %s" % self.proc.stderr.read())
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no %s %r within %.1fs; events: %s"
                                         % (name, match, timeout, self.events[-10:]))
                self.cond.wait(left)

    def all(self, name, **match):
        with self.cond:
            return [e for e in self.events if e["event"] == name
                    and all(e.get(k) == v for k, v in match.items())]

    def mark(self):
        with self.cond:
            return len(self.events)

    def call(self, cmd, **fields):
        """Send a command and wait for its ok (or fail on its error)."""
        cid = self.next_id
        self.next_id += 1
        fields.update(cmd=cmd, id=cid)
        mark = self.mark()
        self.proc.stdin.write((json.dumps(fields) + "\n").encode())
        self.proc.stdin.flush()
        deadline = time.monotonic() + 5
        while True:
            with self.cond:
                for event in self.events[mark:]:
                    if event.get("id") == cid and event["event"] in ("ok", "error"):
                        return event
                self.cond.wait(max(0.01, deadline - time.monotonic()))
            if time.monotonic() > deadline:
                raise AssertionError("no answer to %s" % fields)

    def ok(self, cmd, **fields):
        event = self.call(cmd, **fields)
        if event["event"] != "ok":
            raise AssertionError("%s failed: %s" % (cmd, event))
        return event

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()  # end of the control channel ends the tool
                self.proc.wait(5)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


def connect(port, timeout=5.0):
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def recv_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def recv_until(sock, marker, limit=1 << 16):
    data = b""
    while marker not in data and len(data) < limit:
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


BASE_ARGS = ["--data-port", "0", "--setup-port", "0", "--udp-port", "0"]


class ToolTestCase(unittest.TestCase):
    ARGS = []

    def setUp(self):
        self.sim = Sim(*BASE_ARGS, *self.ARGS)
        self.addCleanup(self.sim.close)

    def tearDown(self):
        broken = [e for e in self.sim.events if e.get("internal")]
        self.assertEqual(broken, [], "the tool hit an internal error")

    def connect(self, port=None):
        sock = connect(port or self.sim.ready["data_port"])
        self.addCleanup(sock.close)
        return sock


class ControlAndDataTests(ToolTestCase):
    def test_ready_commands_and_errors(self):
        r = self.sim.ready
        for key in ("data_port", "setup_port", "udp_port"):
            self.assertGreater(r[key], 0)
        self.assertEqual(r["data_addr"], "127.0.0.1")
        self.assertEqual(len(r["discovery_key"]), 4)
        self.assertEqual(len(r["maker_tag"]), 16)
        self.sim.ok("ping")
        self.assertEqual(self.sim.call("nonsense")["event"], "error")
        self.assertEqual(self.sim.call("send", hex="41")["event"], "error")  # no connection
        self.assertEqual(self.sim.call("data", mode="loud")["event"], "error")
        self.sim.proc.stdin.write(b"not json\n")
        self.sim.proc.stdin.flush()
        self.sim.wait("error", message="Expecting value: line 1 column 1 (char 0)")
        seqs = [e["seq"] for e in self.sim.events]
        self.assertEqual(seqs, list(range(1, len(seqs) + 1)))
        times = [e["t"] for e in self.sim.events]
        self.assertEqual(times, sorted(times))

    def test_echo_counts_and_close_by_peer(self):
        sock = self.connect()
        conn = self.sim.wait("connected", role="data")["conn"]
        payload = bytes(range(256)) * 4
        sock.sendall(payload)
        self.assertEqual(recv_exactly(sock, len(payload)), payload)
        self.sim.wait("received", total=len(payload))
        got = b"".join(bytes.fromhex(e["hex"]) for e in self.sim.all("received", conn=conn))
        self.assertEqual(got, payload)
        self.sim.ok("stats")
        stats = self.sim.wait("stats")
        self.assertEqual(stats["rx_data"], len(payload))
        self.assertEqual(stats["conns"][0]["tx"], len(payload))
        sock.close()
        ev = self.sim.wait("disconnected", conn=conn)
        self.assertEqual((ev["by"], ev["how"]), ("peer", "fin"))

    def test_unread_events_do_not_stall_the_data_port(self):
        # The test reads no events meanwhile: 2 MB of hex reports are far more than a pipe
        # holds, yet the echo must go on.
        proc = subprocess.Popen([PYTHON, TOOL, *BASE_ARGS], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(proc.stdin.close)
        ready = json.loads(proc.stdout.readline())
        sock = self.connect(ready["data_port"])
        payload = os.urandom(1 << 20)
        sender = threading.Thread(target=sock.sendall, args=(payload,))
        sender.start()
        self.assertEqual(recv_exactly(sock, len(payload)), payload)
        sender.join()
        events = [json.loads(proc.stdout.readline()) for _ in range(2)]
        self.assertEqual([e["event"] for e in events], ["connected", "received"])

    def test_sink_count_reports(self):
        self.sim.ok("data", mode="sink", report="count", report_every=100000)
        sock = self.connect()
        sock.sendall(b"\x55" * 1000000)
        deadline = time.monotonic() + 10
        while True:
            mark = self.sim.mark()
            self.sim.ok("stats")
            if self.sim.wait("stats", start=mark)["rx_data"] >= 1000000:
                break
            self.assertLess(time.monotonic(), deadline, "the sink did not take every byte")
            time.sleep(0.05)
        received = self.sim.all("received")
        self.assertLessEqual(len(received), 11)
        self.assertNotIn("hex", received[-1])
        sock.settimeout(0.2)
        with self.assertRaises(socket.timeout):
            sock.recv(1)  # sink sends nothing back

    def test_script_send_in_pieces_then_graceful_close(self):
        self.sim.ok("data", mode="script")
        sock = self.connect()
        conn = self.sim.wait("connected")["conn"]
        mark = self.sim.mark()
        self.sim.ok("send", hex="0102030405060708", pieces=[3, 2], delay_ms=300)
        first = sock.recv(100)
        self.assertEqual(first, b"\x01\x02\x03")  # the rest is still 300 ms away
        rest = recv_exactly(sock, 5)
        self.assertEqual(rest, bytes([4, 5, 6, 7, 8]))
        self.assertEqual(self.sim.wait("sent", start=mark)["count"], 8)
        sock.sendall(b"xyz")
        self.sim.wait("received", hex="78797a")
        self.sim.ok("close")
        self.assertEqual(sock.recv(10), b"")  # FIN, not RST
        sock.close()
        ev = self.sim.wait("disconnected", conn=conn)
        self.assertEqual((ev["by"], ev["how"]), ("local", "fin"))

    def test_reset_gives_rst(self):
        sock = self.connect()
        conn = self.sim.wait("connected")["conn"]
        self.sim.ok("reset", conn=conn)
        with self.assertRaises(ConnectionResetError):
            sock.recv(10)
        self.assertEqual(self.sim.wait("disconnected", conn=conn)["how"], "rst")

    def test_refuse_and_listen_again_on_same_port(self):
        port = self.sim.ready["data_port"]
        kept = self.connect()
        self.sim.wait("connected")
        self.sim.ok("refuse")
        with self.assertRaises(ConnectionRefusedError):
            connect(port)
        kept.sendall(b"still")  # open connections survive
        self.assertEqual(recv_exactly(kept, 5), b"still")
        mark = self.sim.mark()
        self.assertEqual(self.sim.ok("listen")["port"], port)
        self.connect(port)
        self.sim.wait("connected", start=mark)

    def test_slow_reader_fills_the_senders_buffer(self):
        self.sim.ok("data", mode="sink", report="count", rcvbuf=4096, pause_read=True)
        self.sim.ok("refuse")
        self.sim.ok("listen", rcvbuf=4096)
        sock = self.connect(self.sim.ready["data_port"])
        self.sim.wait("connected")
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
        sock.setblocking(False)
        sent = 0
        try:
            for _ in range(10000):
                sent += sock.send(b"\0" * 4096)
        except BlockingIOError:
            pass
        self.assertLess(sent, 4096 * 10000)  # the kernel buffers filled up
        self.assertEqual(self.sim.all("received"), [])
        self.sim.ok("resume_read")
        self.sim.wait("received", total=sent)

    def test_client_mode_connects_to_a_server(self):
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        port = server.getsockname()[1]
        self.addCleanup(server.close)
        # Not listening yet: the tool retries until it is.
        self.sim.ok("connect", host="127.0.0.1", port=port, retry_ms=50, retry_for_ms=5000)
        self.sim.wait("connect_failed", retrying=True)
        server.listen(1)
        peer, _ = server.accept()
        self.addCleanup(peer.close)
        self.sim.wait("connected", role="data")
        peer.sendall(b"ping")
        self.assertEqual(recv_exactly(peer, 4), b"ping")


class TeaTests(ToolTestCase):
    ARGS = ["--tea", "--tea-challenge", "0011223344556677", "--tea-extra", "4142"]

    def test_good_response_then_data(self):
        sock = self.connect()
        block = recv_exactly(sock, 14)
        text, _ = proto.make_challenge(bytes.fromhex("0011223344556677"))
        self.assertEqual(block, text + b"AB")
        challenge = self.sim.wait("tea_challenge")
        self.assertEqual(challenge["text"], text.decode())
        # The response computed here from the cipher alone, not from the tool's helper.
        r = proto.tea_block(bytes.fromhex("0011223344556677"), proto.DEFAULT_USER_KEY)
        response = base64.b64encode(r + bytes([(-sum(r)) & 0xFF]))
        sock.sendall(response + b"data")
        ev = self.sim.wait("tea")
        self.assertTrue(ev["ok"])
        self.assertEqual(ev["response"], response.decode())
        self.sim.wait("received", hex=b"data".hex())
        self.assertEqual(recv_exactly(sock, 4), b"data")  # echoed, the response is not

    def test_response_in_pieces(self):
        sock = self.connect()
        recv_exactly(sock, 14)
        expected = self.sim.wait("tea_challenge")["expected"].encode()
        sock.sendall(expected[:5])
        time.sleep(0.05)
        sock.sendall(expected[5:])
        self.assertTrue(self.sim.wait("tea")["ok"])

    def test_wrong_response_closes(self):
        sock = self.connect()
        recv_exactly(sock, 14)
        sock.sendall(b"AAAAAAAAAAAA")
        self.assertFalse(self.sim.wait("tea")["ok"])
        self.assertEqual(sock.recv(10), b"")
        self.sim.wait("disconnected", by="local")

    def test_bad_check_byte_awaits_nothing(self):
        self.sim.ok("data", tea_bad_check=True, tea_extra_hex="")
        sock = self.connect()
        block = recv_exactly(sock, 12)
        self.assertEqual(sum(proto.b64decode(block)) % 256, 1)
        sock.sendall(b"plain")
        self.sim.wait("received", hex=b"plain".hex())
        self.assertEqual(self.sim.all("tea"), [])

    def test_challenge_with_own_key(self):
        self.sim.ok("data", tea_challenge="0000000000000000", tea_extra_hex="",
                    tea_key=["0", "0", "0", "0"])
        sock = self.connect()
        self.assertEqual(recv_exactly(sock, 12), b"AAAAAAAAAAAA")
        sock.sendall(b"Qeo6CpS6qUBa")
        self.assertTrue(self.sim.wait("tea")["ok"])


class TelnetTests(ToolTestCase):
    ARGS = ["--telnet"]

    def test_frames_nops_and_escaped_data(self):
        sock = self.connect()
        conn = self.sim.wait("connected")["conn"]
        sock.sendall(bytes.fromhex("fffa2c010001c200fff0" "41ffff42" "fff1"
                                   "fffa2c0303fff0"))
        baud = self.sim.wait("rfc2217", command=1)
        self.assertEqual((baud["value_hex"], baud["value"], baud["name"]),
                         ("0001c200", 115200, "SET-BAUDRATE"))
        self.sim.wait("nop")
        self.assertEqual(self.sim.wait("rfc2217", command=3)["value_hex"], "03")
        data = self.sim.wait("received", conn=conn)
        self.assertEqual(data["hex"], "41ff42")
        self.assertEqual(recv_exactly(sock, 4), bytes.fromhex("41ffff42"))  # re-escaped
        order = [e["event"] for e in self.sim.events
                 if e["event"] in ("rfc2217", "received", "nop")]
        self.assertEqual(order, ["rfc2217", "received", "nop", "rfc2217"])

class DiscoveryTests(ToolTestCase):
    ARGS = ["--module", "mac=00:1a:2b:3c:4d:5e,ip=127.0.0.1,mask=255.255.255.0,"
                        "gateway=127.0.0.254,flags=3,port=4001",
            "--module", "mac=00:1a:2b:3c:4d:5f,kind=forged",
            "--module", "mac=00:1a:2b:3c:4d:60,kind=duplicate,port=23",
            "--module", "mac=00:1a:2b:3c:4d:61,kind=oversized,size=60",
            "--module", "mac=00:1a:2b:3c:4d:62,kind=short,size=40"]

    def setUp(self):
        super().setUp()
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", 0))
        self.udp.settimeout(2)
        self.addCleanup(self.udp.close)
        self.key = tuple(int(w, 16) for w in self.sim.ready["discovery_key"])

    def replies(self, count):
        out = []
        for _ in range(count):
            data, sender = self.udp.recvfrom(2048)
            self.assertEqual(sender[1], self.sim.ready["udp_port"])
            out.append(data)
        return out

    def test_search_answered_by_each_kind(self):
        request = proto.build_search_request(self.sim.ready["maker_tag"].encode())
        self.udp.sendto(request, ("127.0.0.1", self.sim.ready["udp_port"]))
        got = self.replies(6)
        search = self.sim.wait("search")
        self.assertTrue(search["tag_ok"])
        self.assertEqual(search["from"], "127.0.0.1:%d" % self.udp.getsockname()[1])
        check = DiscoveryCodecTests.program_check
        good, forged, dup1, dup2, big, short = got
        self.assertTrue(check(good, self.key))
        self.assertEqual(good[0:6].hex(), "001a2b3c4d5e")
        self.assertEqual(good[24:28], bytes([127, 0, 0, 254]))
        self.assertEqual((good[28], good[30] << 8 | good[31]), (3, 4001))
        self.assertFalse(check(forged, self.key))
        self.assertEqual(len(forged), 48)
        self.assertTrue(check(dup1, self.key) and check(dup2, self.key))
        self.assertEqual(dup1[0:6], dup2[0:6])
        self.assertNotEqual(dup1[6:32], dup2[6:32])
        self.assertEqual(len(big), 60)
        self.assertTrue(check(big[:48], self.key))
        self.assertEqual(len(short), 40)
        self.sim.wait("replied", module=4)
        self.assertEqual([e["size"] for e in self.sim.all("replied")], [48, 48, 48, 48, 60, 40])

    def test_other_datagrams_reported_not_answered(self):
        self.udp.sendto(b"hello", ("127.0.0.1", self.sim.ready["udp_port"]))
        self.assertEqual(self.sim.wait("datagram")["hex"], b"hello".hex())
        with self.assertRaises(socket.timeout):
            self.udp.settimeout(0.2)
            self.udp.recvfrom(2048)

    def test_unsolicited_reply_and_delay(self):
        to = "127.0.0.1:%d" % self.udp.getsockname()[1]
        self.sim.ok("udp_reply", to=to, module={"mac": "02:00:00:00:00:09", "port": "data"})
        data = self.replies(1)[0]
        self.assertTrue(DiscoveryCodecTests.program_check(data, self.key))
        self.assertEqual(data[30] << 8 | data[31], self.sim.ready["data_port"])
        self.sim.ok("modules", modules=[{"mac": "02:00:00:00:00:0a", "delay_ms": 300}])
        start = time.monotonic()
        self.udp.sendto(proto.build_search_request(), ("127.0.0.1", self.sim.ready["udp_port"]))
        self.replies(1)
        self.assertGreaterEqual(time.monotonic() - start, 0.25)


class ConsoleTests(ToolTestCase):
    def console(self):
        sock = connect(self.sim.ready["setup_port"])
        self.addCleanup(sock.close)
        conn = self.sim.wait("connected", role="setup")["conn"]
        return sock, conn

    def test_readout_dialogue(self):
        sock, conn = self.console()
        self.assertIn(b"QBX77 remote setup", recv_until(sock, b"\r\n"))
        sock.settimeout(0.2)
        with self.assertRaises(socket.timeout):
            sock.recv(100)  # waits for the CR
        sock.settimeout(5)
        sock.sendall(b"\r")
        self.assertIn(b"<Enter>", recv_until(sock, b"<Enter>"))
        sock.sendall(b"\r")
        printout = recv_until(sock, b"Reboot")
        self.assertIn(b"Reboot", printout)
        self.assertNotIn(b"<Enter>", printout)
        self.sim.wait("console_done", conn=conn)
        lines = self.sim.all("console_line", conn=conn)
        self.assertEqual([(e["text"], e["end"]) for e in lines], [("", "\r"), ("", "\r")])

    def test_prompt_dialogue_until_reset(self):
        self.sim.ok("console", mode="prompt", after_reset="close", extra_prompts=1)
        sock, conn = self.console()
        answers = []
        for n in range(35):
            text = recv_until(sock, b">")
            self.assertEqual(text.count(b">"), 1)
            answer = "R" if n == 34 else "X%d" % n
            answers.append(answer)
            sock.sendall(answer.encode() + b"\r\n")
        extra = recv_until(sock, b">")
        self.assertIn(b">", extra)
        self.assertEqual(recv_until(sock, b"never"), b"")  # closed after the reset
        done = self.sim.wait("console_done", conn=conn)
        self.assertEqual((done["reason"], done["answers"]), ("reset", 35))
        lines = self.sim.all("console_line", conn=conn)
        self.assertEqual([e["text"] for e in lines], answers)
        self.assertEqual([e["prompt"] for e in lines], list(range(35)))
        self.assertTrue(all(e["end"] == "\r\n" for e in lines))

    def test_split_double_and_drop(self):
        self.sim.ok("console", mode="prompt", split_prompts=True, piece_delay_ms=300,
                    double_prompts=[1], drop_after=2, drop_how="reset")
        sock, _ = self.console()
        first = recv_until(sock, b"Port ")  # the greeting and the prompt without its ">"
        self.assertNotIn(b">", first)
        self.assertIn(b">", recv_until(sock, b">"))
        sock.sendall(b"a\r\n")
        both = recv_until(sock, b">")
        time.sleep(0.3)
        sock.setblocking(False)
        try:
            both += sock.recv(1000)
        except BlockingIOError:
            pass
        sock.setblocking(True)
        self.assertEqual(both.count(b">"), 2)
        sock.sendall(b"b\r\n")
        with self.assertRaises(ConnectionResetError):
            while sock.recv(100):
                pass


if __name__ == "__main__":
    unittest.main(verbosity=2)
