"""What the simulated module says on its two TCP ports: the data session (echo, sink or
script, TEA challenge, Telnet parsing) and the set-up console (read-out and prompt
dialogues)."""

import collections
import os

import simmodule_proto as proto
from simmodule_io import CommandError, from_hex, hexstr

GREETING = "QBX77 remote setup\r\n"
KEY_PROMPT = "\r\nPress <Enter> to show the configuration\r\n"

# The questions of the set-up console in the order the set-up dialog answers them; the
# last one takes the reset command "R".
PROMPT_LABELS = [
    "TCP/IP Port", "Subnet Mask", "Gateway", "NVT (0/1)", "Keep connection (0/1)",
    "Erase buffer on (0-3)", "In IP address", "In IP mask", "Out IP address", "Out IP port",
    "Out IP mode (0 TCP, 1 UDP)", "TEA key 0", "TEA key 1", "TEA key 2", "TEA key 3",
    "Serial speed", "Data bits", "Parity (1-5)", "Variable parity (0/1)", "Stop bits (1/2)",
    "Flow control (1-3)", "RS485/RS232 control (0-3)", "Serial line timeout",
    "Char transmit delay", "Tx control (0/1)", "Buffer space compression (0/1)",
    "Trigger AND mask", "Power up INIT", "Power up AND mask", "Power up OR mask", "KEEP mask",
    "AND mask", "OR mask", "IP address", "Reset (R)",
]

DATA_DEFAULTS = {
    "mode": "echo",  # echo | sink | script
    "report": "hex",  # hex | count | none
    "report_every": 0,  # count mode: one event per this many bytes (0: per read)
    "telnet": False,  # parse the received stream as Telnet
    "tea": False,  # send a TEA challenge on every new data connection
    "tea_key": ["%08X" % w for w in proto.DEFAULT_USER_KEY],
    "tea_challenge": None,  # 16 hex digits for c0..c7; random when None
    "tea_extra_hex": "",  # sent after the challenge in the same block
    "tea_bad_check": False,  # wrong check byte: a correct program answers nothing
    "tea_on_fail": "close",  # close | reset | keep
    "tea_timeout_ms": 0,  # report ok:false if no full response by then (0: never)
    "on_connect_hex": "",  # sent on every new data connection (after the challenge)
    "pause_read": False,  # new connections start without reading
    "rcvbuf": 0,  # SO_RCVBUF of the listener and new connections (0: system default)
    "sndbuf": 0,  # SO_SNDBUF likewise
}

CONSOLE_DEFAULTS = {
    "mode": "readout",  # readout | prompt | script
    "greeting": GREETING,  # first piece; may hold more (e.g. "Reboot") for odd consoles
    "piece_delay_ms": 0,  # between the pieces of any split text
    # readout mode
    "key_prompts": [KEY_PROMPT],  # each waits for a line end after the greeting's
    "wait_greeting_cr": True,  # wait for a line end after the greeting
    "printout": None,  # list of texts; None: a print-out of this module ending in "Reboot"
    "printout_split": "whole",  # whole | lines | <chunk size>
    "after_printout": "none",  # none | close | reset
    # prompt mode
    "prompts": 35,  # prompts sent at most (each waits for an answer line)
    "prompt_format": "\r\n{label} >",  # {label} and {n} (0-based) are replaced
    "split_prompts": False,  # send "...label " and ">" as two pieces
    "double_prompts": [],  # prompt numbers sent as two prompts in one piece
    "extra_prompts": 0,  # prompts sent after the reset answer "R", unanswered
    "extra_delay_ms": 50,
    "pauses": {},  # prompt number (as text) -> ms of silence before that prompt is sent
    "drop_after": None,  # close after this many answers (0: right after the greeting)
    "drop_how": "close",  # close | reset
    "after_reset": "none",  # none | close | reset, after the "R" and the extra prompts
}


class DataSession:
    """What the module does with its data port: echo, sink or script, with the TEA
    challenge first and optional Telnet parsing."""

    def __init__(self, sim, conn, cfg):
        self.sim = sim
        self.conn = conn
        self.cfg = dict(cfg)
        self.data_total = 0
        self.reported_mark = 0
        self.telnet = proto.TelnetParser() if self.cfg["telnet"] else None
        self.tea = None  # the challenge whose response is awaited
        self.tea_timer = None

    def configure(self, changes):
        self.cfg.update(changes)
        if "telnet" in changes:
            self.telnet = proto.TelnetParser() if self.cfg["telnet"] else None

    def start(self):
        if self.cfg["tea"]:
            self.send_challenge(self.cfg["tea_challenge"], from_hex(self.cfg["tea_extra_hex"]),
                                self.cfg["tea_bad_check"], self.cfg["tea_key"])
        greeting = from_hex(self.cfg["on_connect_hex"])
        if greeting and self.conn.open:
            self.conn.write(greeting)

    def send_challenge(self, challenge_hex, extra, bad_check, key_words):
        challenge = from_hex(challenge_hex) if challenge_hex else os.urandom(8)
        if len(challenge) != 8:
            raise CommandError("a challenge has 8 bytes (16 hex digits)")
        key = proto.parse_key(key_words)
        text, nine = proto.make_challenge(challenge, bad_check)
        expected = proto.expected_response(challenge, key)
        # With a wrong check byte a correct port manager stays silent, so nothing awaits a
        # response and the next bytes are data.
        self.tea = None if bad_check else {"expected": expected, "buf": bytearray()}
        self.sim.loop.cancel(self.tea_timer)
        self.tea_timer = None
        fields = {"conn": self.conn.id, "text": text.decode("ascii"), "bytes_hex": hexstr(nine),
                  "expected": expected.decode("ascii"), "bad_check": bool(bad_check),
                  "extra_hex": hexstr(extra)}
        self.sim.emit("tea_challenge", **fields)
        self.conn.write(text + extra)
        timeout = self.cfg["tea_timeout_ms"]
        if self.tea is not None and timeout:
            self.tea_timer = self.sim.loop.call_later(timeout / 1000.0, self.tea_timed_out)

    def tea_timed_out(self):
        self.tea_timer = None
        if self.tea is not None and self.conn.open:
            self.tea_verdict(bytes(self.tea["buf"]), timed_out=True)

    def tea_verdict(self, response, timed_out=False):
        expected = self.tea["expected"]
        self.tea = None
        self.sim.loop.cancel(self.tea_timer)
        self.tea_timer = None
        ok = not timed_out and response == expected
        fields = {"conn": self.conn.id, "ok": ok, "response": response.decode("latin-1"),
                  "response_hex": hexstr(response), "expected": expected.decode("ascii")}
        if timed_out:
            fields["timeout"] = True
        self.sim.emit("tea", **fields)
        if not ok:
            action = self.cfg["tea_on_fail"]
            if action == "close":
                self.conn.close_graceful()
            elif action == "reset":
                self.conn.reset()

    def on_data(self, data):
        if self.tea is not None:
            buf = self.tea["buf"]
            take = proto.TEA_TEXT_LENGTH - len(buf)
            buf += data[:take]
            data = data[take:]
            if len(buf) == proto.TEA_TEXT_LENGTH:
                self.tea_verdict(bytes(buf))
            if not data or not self.conn.open:
                return
        if self.telnet is None:
            self.on_payload(data)
            return
        for item in self.telnet.feed(data):
            kind = item[0]
            if kind == "data":
                self.on_payload(item[1])
            elif kind == "nop":
                self.sim.emit("nop", conn=self.conn.id)
            elif kind == "negotiation":
                self.sim.emit("telnet", conn=self.conn.id, verb=item[1], option=item[2])
            elif kind == "command":
                self.sim.emit("telnet", conn=self.conn.id, command=item[1])
            else:
                self.on_subnegotiation(item[1], item[2])

    def on_subnegotiation(self, option, payload):
        if option != proto.COM_PORT_OPTION or not payload:
            self.sim.emit("telnet", conn=self.conn.id, sb_option=option,
                          value_hex=hexstr(payload))
            return
        command, value = payload[0], payload[1:]
        base = command - proto.RFC2217_SERVER_OFFSET if command >= 100 else command
        fields = {"conn": self.conn.id, "command": command, "value_hex": hexstr(value),
                  "name": proto.RFC2217_NAMES.get(base, "UNKNOWN")}
        if value:
            fields["value"] = int.from_bytes(value, "big")
        self.sim.emit("rfc2217", **fields)

    def on_payload(self, data):
        self.data_total += len(data)
        self.sim.data_received(len(data))
        report = self.cfg["report"]
        if report == "hex":
            self.sim.emit("received", conn=self.conn.id, count=len(data), total=self.data_total,
                          hex=hexstr(data))
        elif report == "count":
            every = self.cfg["report_every"]
            if not every or self.data_total - self.reported_mark >= every:
                self.reported_mark = self.data_total
                self.sim.emit("received", conn=self.conn.id, count=len(data),
                              total=self.data_total)
        if self.cfg["mode"] == "echo" and self.conn.open and not self.conn.shut_wr \
                and not self.conn.close_after_flush:
            self.conn.write(proto.escape_iac(data) if self.telnet is not None else data)

    def on_close(self):
        self.sim.loop.cancel(self.tea_timer)
        self.tea_timer = None


class ConsoleSession:
    """The set-up console: a generator script yields actions, this class performs them.

    Actions: ("send", [(delay_ms, text), ...]) sends the pieces, each after its delay;
    ("line",) waits for the client's next line and resumes with its text; ("sleep", ms);
    ("close", "close"|"reset"); ("event", name, fields).
    """

    def __init__(self, sim, conn, cfg):
        self.sim = sim
        self.conn = conn
        self.cfg = dict(cfg)
        self.lines = collections.deque()
        self.linebuf = bytearray()
        self.after_cr = False
        self.waiting_line = False
        self.timer = None
        self.prompt = None  # number of the prompt the next line answers
        self.answers = 0
        mode = self.cfg["mode"]
        if mode == "readout":
            self.script = self.readout_script()
        elif mode == "prompt":
            self.script = self.prompt_script()
        else:
            self.script = None

    def start(self):
        if self.script is not None:
            self.advance(None)

    # ---- the driver --------------------------------------------------------------------
    def advance(self, value):
        while self.conn.open and self.script is not None:
            try:
                action = self.script.send(value)
            except StopIteration:
                self.script = None
                return
            value = None
            kind = action[0]
            if kind == "send":
                self.send_pieces(list(action[1]))
                return
            if kind == "line":
                if self.lines:
                    value = self.lines.popleft()
                    continue
                self.waiting_line = True
                return
            if kind == "sleep":
                self.timer = self.sim.loop.call_later(action[1] / 1000.0,
                                                      lambda: self.advance(None))
                return
            if kind == "close":
                if action[1] == "reset":
                    self.conn.reset()
                else:
                    self.conn.close_graceful()
                return
            if kind == "event":
                self.sim.emit(action[1], conn=self.conn.id, **action[2])

    def send_pieces(self, pieces):
        while pieces and self.conn.open:
            delay, text = pieces[0]
            if delay > 0:
                pieces[0] = (0, text)
                self.timer = self.sim.loop.call_later(delay / 1000.0,
                                                      lambda: self.send_pieces(pieces))
                return
            pieces.pop(0)
            try:
                self.conn.write(text.encode("latin-1"))
            except CommandError:
                return
        self.advance(None)

    def on_data(self, data):
        self.sim.emit("received", conn=self.conn.id, role="setup", count=len(data),
                      total=self.conn.rx_total, hex=hexstr(data))
        i = 0
        if self.after_cr and data[:1] == b"\n":
            i = 1  # the LF of a CR LF split across two reads
        self.after_cr = False
        while i < len(data):
            b = data[i]
            i += 1
            if b not in (0x0D, 0x0A):
                self.linebuf.append(b)
                continue
            end = "\n"
            if b == 0x0D:
                if i < len(data) and data[i] == 0x0A:
                    end = "\r\n"
                    i += 1
                else:
                    end = "\r"
                    self.after_cr = i == len(data)
            text = self.linebuf.decode("latin-1")
            self.linebuf.clear()
            self.line_done(text, end)

    def line_done(self, text, end):
        fields = {"conn": self.conn.id, "text": text, "end": end}
        if self.prompt is not None:
            fields["prompt"] = self.prompt
        self.sim.emit("console_line", **fields)
        self.lines.append(text)
        if self.waiting_line:
            self.waiting_line = False
            self.advance(self.lines.popleft())

    def on_close(self):
        self.sim.loop.cancel(self.timer)
        self.timer = None
        self.script = None

    # ---- scripts -----------------------------------------------------------------------
    def split(self, text, how):
        delay = self.cfg["piece_delay_ms"]
        if how == "lines":
            parts = text.splitlines(keepends=True)
        elif isinstance(how, int) or (isinstance(how, str) and how.isdigit()):
            size = max(1, int(how))
            parts = [text[i:i + size] for i in range(0, len(text), size)]
        else:
            parts = [text]
        return [(delay if i else 0, p) for i, p in enumerate(parts) if p]

    def printout(self):
        if self.cfg["printout"] is not None:
            return "".join(self.cfg["printout"])
        s = self.sim
        return ("\r\n*** Basic parameters\r\n"
                "Hardware: Ethernet TCP/IP, MAC %s\r\n"
                "IP addr %s, gateway 0.0.0.0, netmask 255.0.0.0\r\n"
                "\r\n*** Channel 1\r\n"
                "Baudrate 9600, I/F Mode 8N1, Flow none\r\n"
                "Port %s, Connect mode server, NVT %s, TEA %s\r\n"
                "\r\nChange setting: 0 Server  1 Channel 1  7 Defaults  8 Exit  "
                "9 Save and Reboot\r\n"
                % (proto.mac_text(s.default_mac), s.module_ip(), s.data_port_number(),
                   "on" if s.data_cfg["telnet"] else "off",
                   "on" if s.data_cfg["tea"] else "off"))

    def readout_script(self):
        yield ("send", [(0, self.cfg["greeting"])])
        if self.cfg["wait_greeting_cr"]:
            yield ("line",)
        for prompt in self.cfg["key_prompts"]:
            yield ("send", [(0, prompt)])
            yield ("line",)
        yield ("send", self.split(self.printout(), self.cfg["printout_split"]))
        yield ("event", "console_done", {"reason": "printout"})
        if self.cfg["after_printout"] in ("close", "reset"):
            yield ("close", self.cfg["after_printout"])

    def prompt_piece(self, n):
        label = PROMPT_LABELS[n] if n < len(PROMPT_LABELS) else "Command"
        return self.cfg["prompt_format"].replace("{label}", label).replace("{n}", str(n))

    def prompt_pieces(self, n):
        text = self.prompt_piece(n)
        if n in self.cfg["double_prompts"]:
            text += self.prompt_piece(n)
        if self.cfg["split_prompts"] and ">" in text:
            cut = text.index(">")
            delay = self.cfg["piece_delay_ms"] or 50
            return [(0, text[:cut]), (delay, text[cut:])]
        return [(0, text)]

    def prompt_script(self):
        cfg = self.cfg
        yield ("send", self.split(cfg["greeting"], "whole"))
        reason = "prompts"
        for n in range(int(cfg["prompts"])):
            if cfg["drop_after"] is not None and self.answers >= int(cfg["drop_after"]):
                yield ("event", "console_done", {"reason": "drop", "answers": self.answers})
                yield ("close", cfg["drop_how"])
                return
            pause = cfg["pauses"].get(str(n))
            if pause:
                yield ("sleep", int(pause))
            self.prompt = n
            yield ("send", self.prompt_pieces(n))
            line = yield ("line",)
            self.answers += 1
            if line.strip() == "R":
                reason = "reset"
                break
        self.prompt = None
        for k in range(int(cfg["extra_prompts"])):
            yield ("sleep", cfg["extra_delay_ms"])
            yield ("send", [(0, self.prompt_piece(int(cfg["prompts"]) + k))])
        yield ("event", "console_done", {"reason": reason, "answers": self.answers})
        if cfg["after_reset"] in ("close", "reset"):
            if cfg["extra_prompts"]:
                yield ("sleep", cfg["extra_delay_ms"])
            yield ("close", cfg["after_reset"])
