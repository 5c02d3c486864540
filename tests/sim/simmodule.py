#!/usr/bin/python3
"""simmodule: a simulated serial-to-Ethernet module, the test double the suite talks to.

It plays a module on loopback (or inside a network namespace a test builds): a TCP data
port (echo, sink or scripted; optional TEA challenge and Telnet parsing), a UDP discovery
responder and a TCP set-up console. A test drives it with JSON commands on stdin, one object
per line, and reads JSON events from stdout, one object per line. Only the standard library
is used; run it with Debian's /usr/bin/python3. The tool ends on {"cmd": "quit"} or at the
end of stdin.

Every event has "event", "seq" (1, 2, 3, ...) and "t" (CLOCK_MONOTONIC seconds, comparable
with std::chrono::steady_clock and QElapsedTimer on the same machine). Every command is an
object with "cmd" and an optional "id"; it is answered by exactly one {"event": "ok", "cmd",
"id", ...result} or {"event": "error", "cmd", "id", "message"}. Commands that address a
connection take "conn" (its id from "connected"); without it they use the latest open
connection of "role" ("data", the default, or "setup").

Events
  ready         pid, data_port, data_addr, setup_port, setup_addr, udp_port, udp_addr (null
                for a part that is off), discovery_key [4 hex], key_source
                (file|fallback|option), maker_tag, private_netns
  connected     conn, role (data|setup), peer "addr:port", local
  disconnected  conn, role, peer, by (peer|local), how (fin|rst|error|quit), rx, tx, unsent,
                error (errno name, when there is one)
  connect_failed host, port, error, retrying          (client mode)
  received      conn, count, total, hex  - data bytes after TEA and Telnet processing; "hex"
                only in report mode hex; console input has role "setup" and raw bytes
  sent          conn, count, id  - every byte of a send command is in the kernel
  tea_challenge conn, text, bytes_hex (c0..c8), expected, bad_check, extra_hex
  tea           conn, ok, response, response_hex, expected, timeout (when timed out)
  rfc2217       conn, command, name, value_hex, value (big-endian integer of the value)
  nop           conn
  telnet        conn, verb (WILL|WONT|DO|DONT) and option | command | sb_option, value_hex
  search        from, size, tag, tag_ok (tag equals the program's maker tag)
  replied       to, module (index, -1 inline), mac, kind, size, hex, id
  datagram      from, size, hex, ignored  - anything that is not a search request
  console_line  conn, text, end ("\r\n", "\r" or "\n"), prompt (prompt mode: its number)
  console_done  conn, reason (printout|reset|prompts|drop), answers
  stats         rx_data, first_rx_t, last_rx_t, searches, replies, conns [{conn, role,
                peer, open, rx, tx, data_rx, queued, opened_t, first_rx_t, last_rx_t}], id
  error         message (and cmd/id for a failed command; fatal at start-up; internal for a
                bug in this tool, with traceback)
  bye           (after quit)

Commands
  ping                         just "ok"
  quit
  data {settings}              data-port settings (DATA_DEFAULTS in simmodule_sessions.py)
                               for new connections; with conn: that connection only;
                               all: true: the open ones too
  console {settings}           set-up console settings (CONSOLE_DEFAULTS there), for new
                               connections
  send hex|text [pieces [n,..]] [chunk n] [delay_ms d]   bytes in several TCP sends
  close                        FIN after the queue; reading goes on until the peer closes
  reset                        RST (SO_LINGER 0), queue dropped
  pause_read | resume_read     stop/start reading the connection
  refuse [which data|setup]    stop listening: new connects are refused
  listen [which] [port] [rcvbuf] [sndbuf]   listen again (same port by default)
  pause_accept | resume_accept [which]      leave connections unaccepted in the backlog
  connect host port [retry_ms] [retry_for_ms]   client mode: connect the data port
  stats [reset]                a "stats" event (reset: counters back to 0 afterwards)
  modules modules [{..}, ..]   replace the discovery module list
  udp_reply to "addr:port" (index i | module {..})   a reply now, unasked

Module fields: mac, ip, mask, gateway (dotted), flags (bit 0 TEA, bit 1 NVT; default from
the data settings), port (number or "data": the data port), delay_ms, kind (normal, forged
(wrong code), oversized (size >= 49, valid first 48), short (size < 48), duplicate (a second
valid reply, same MAC, other IP/port/flags), silent), size, key (4 hex words).

Safety: outside a private network namespace (detected, or declared with --private-netns)
the tool talks only to 127.0.0.0/8 unicast: connects, replies and datagrams to any other
address, and peers from any other address, are refused.
"""

import argparse
import json
import os
import selectors
import socket
import sys
import time
import traceback

sys.dont_write_bytecode = True  # run from the source tree: leave no __pycache__ there
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simmodule_io  # noqa: E402
import simmodule_proto as proto  # noqa: E402
from simmodule_io import (LOOPBACK, CommandError, Conn, Connector,  # noqa: E402
                          Emitter, Listener, Loop, check_destination,
                          destination_allowed, endpoint_text, errno_name, from_hex, hexstr,
                          parse_endpoint)
from simmodule_sessions import (CONSOLE_DEFAULTS, DATA_DEFAULTS, ConsoleSession,  # noqa: E402
                                DataSession)

SETUP_CONSOLE_PORT = 99


class Sim:
    def __init__(self, args, emit):
        self.args = args
        self.emit = emit
        self.loop = Loop(self.internal_error)
        emit.attach(self.loop)
        self.conns = {}  # open connections by id
        self.history = []  # every connection, for stats
        self.next_id = 1
        self.data_cfg = dict(DATA_DEFAULTS)
        self.console_cfg = dict(CONSOLE_DEFAULTS)
        self.data_listener = None
        self.setup_listener = None
        self.connector = None
        self.udp = None
        self.udp_addr = None
        self.modules = []
        self.rx_data_total = 0
        self.first_data_t = None
        self.last_data_t = None
        self.searches = 0
        self.replies = 0
        self.stdin_buf = b""
        self.default_mac = proto.parse_mac(args.mac)

        key, tag = proto.read_discovery_constants(args.discovery_header)
        self.key_source = "file" if key else "fallback"
        self.discovery_key = key or proto.FALLBACK_DISCOVERY_KEY
        self.maker_tag = tag or proto.FALLBACK_MAKER_TAG
        if args.discovery_key:
            self.discovery_key = proto.parse_key(args.discovery_key)
            self.key_source = "option"

    def internal_error(self, exc):
        if isinstance(exc, CommandError):
            self.emit("error", message=str(exc))
        else:
            self.emit("error", message="internal: %r" % (exc,), internal=True,
                      traceback=traceback.format_exc())

    # ---- start-up ----------------------------------------------------------------------
    def start(self):
        a = self.args
        self.data_cfg.update(mode=a.mode, report=a.report, report_every=a.report_every,
                             telnet=a.telnet, tea=a.tea, tea_challenge=a.tea_challenge,
                             tea_extra_hex=a.tea_extra, tea_bad_check=a.tea_bad_check,
                             tea_on_fail=a.tea_on_fail, tea_timeout_ms=a.tea_timeout_ms,
                             on_connect_hex=a.on_connect, pause_read=a.pause_read,
                             rcvbuf=a.rcvbuf, sndbuf=a.sndbuf)
        if a.tea_key:
            self.data_cfg["tea_key"] = list(a.tea_key)
        self.check_data_cfg(self.data_cfg)
        if a.data_json:
            self.apply_data_cfg(json.loads(a.data_json))
        self.console_cfg["mode"] = a.console
        self.console_cfg["prompts"] = a.prompts
        if a.console_json:
            self.apply_console_cfg(json.loads(a.console_json))

        bind = a.bind
        if not a.no_data and not a.connect:
            self.data_listener = Listener(self, "data", a.data_bind or bind, a.data_port,
                                          a.rcvbuf, a.sndbuf)
        if not a.no_setup:
            port = a.setup_port
            if port is None:
                port = SETUP_CONSOLE_PORT if os.geteuid() == 0 else 0
            self.setup_listener = Listener(self, "setup", a.setup_bind or bind, port)
        if not a.no_udp:
            self.open_udp(a.udp_bind or bind, a.udp_port)
        if a.modules_json:
            self.modules = [self.check_module(m) for m in json.loads(a.modules_json)]
        for fields in a.module or []:
            self.modules.append(self.check_module(self.parse_module_arg(fields)))
        if not a.modules_json and not a.module:
            self.modules.append(self.check_module({}))

        # stdin stays blocking (it may be a terminal shared with a shell); the selector only
        # hands it over when a read will not wait.
        self.loop.watch(sys.stdin.fileno(), selectors.EVENT_READ, self.on_stdin)

        self.emit("ready", pid=os.getpid(),
                  data_port=self.data_listener.port if self.data_listener else None,
                  data_addr=self.data_listener.addr if self.data_listener else None,
                  setup_port=self.setup_listener.port if self.setup_listener else None,
                  setup_addr=self.setup_listener.addr if self.setup_listener else None,
                  udp_port=self.udp.getsockname()[1] if self.udp else None,
                  udp_addr=self.udp_addr,
                  discovery_key=["%08X" % w for w in self.discovery_key],
                  key_source=self.key_source, maker_tag=self.maker_tag.decode("latin-1"),
                  private_netns=simmodule_io.private_netns())
        if a.connect:
            host, port = parse_endpoint(a.connect)
            self.connector = Connector(self, host, port, a.connect_retry_ms,
                                       a.connect_retry_for_ms)

    def open_udp(self, addr, port):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        if self.args.udp_reuseaddr:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if self.args.udp_broadcast:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        try:
            sock.bind((addr, port))
        except OSError:
            sock.close()
            raise
        sock.setblocking(False)
        self.udp = sock
        self.udp_addr = addr
        self.loop.watch(sock, selectors.EVENT_READ, self.on_udp)

    # ---- configuration -----------------------------------------------------------------
    @staticmethod
    def check_data_cfg(cfg):
        if cfg["mode"] not in ("echo", "sink", "script"):
            raise CommandError("mode must be echo, sink or script")
        if cfg["report"] not in ("hex", "count", "none"):
            raise CommandError("report must be hex, count or none")
        if cfg["tea_on_fail"] not in ("close", "reset", "keep"):
            raise CommandError("tea_on_fail must be close, reset or keep")
        proto.parse_key(cfg["tea_key"])
        if cfg["tea_challenge"] and len(from_hex(cfg["tea_challenge"])) != 8:
            raise CommandError("tea_challenge has 16 hex digits")
        from_hex(cfg["tea_extra_hex"])
        from_hex(cfg["on_connect_hex"])

    def apply_data_cfg(self, changes):
        unknown = set(changes) - set(DATA_DEFAULTS)
        if unknown:
            raise CommandError("unknown data settings: %s" % ", ".join(sorted(unknown)))
        merged = dict(self.data_cfg)
        merged.update(changes)
        self.check_data_cfg(merged)
        self.data_cfg = merged

    def apply_console_cfg(self, changes):
        unknown = set(changes) - set(CONSOLE_DEFAULTS)
        if unknown:
            raise CommandError("unknown console settings: %s" % ", ".join(sorted(unknown)))
        merged = dict(self.console_cfg)
        merged.update(changes)
        if merged["mode"] not in ("readout", "prompt", "script"):
            raise CommandError("console mode must be readout, prompt or script")
        for key in ("after_printout", "after_reset"):
            if merged[key] not in ("none", "close", "reset"):
                raise CommandError("%s must be none, close or reset" % key)
        if merged["drop_how"] not in ("close", "reset"):
            raise CommandError("drop_how must be close or reset")
        self.console_cfg = merged

    def module_ip(self):
        addr = self.data_listener.addr if self.data_listener else self.args.bind
        return addr if addr and addr != "0.0.0.0" else LOOPBACK

    def data_port_number(self):
        if self.data_listener is not None:
            return self.data_listener.port
        return self.args.data_port or 0

    def default_flags(self):
        return ((proto.REPLY_FLAG_TEA if self.data_cfg["tea"] else 0)
                | (proto.REPLY_FLAG_NVT if self.data_cfg["telnet"] else 0))

    @staticmethod
    def parse_module_arg(fields):
        module = {}
        for item in fields.split(","):
            if not item.strip():
                continue
            key, sep, value = item.partition("=")
            if not sep:
                raise CommandError("module fields are key=value: %r" % item)
            key = key.strip()
            value = value.strip()
            if key in ("flags", "delay_ms", "size"):
                module[key] = int(value, 0)
            elif key == "port" and value != "data":
                module[key] = int(value)
            else:
                module[key] = value
        return module

    MODULE_KEYS = {"mac", "ip", "mask", "gateway", "flags", "port", "delay_ms", "kind", "size",
                   "key"}
    KINDS = ("normal", "forged", "oversized", "short", "duplicate", "silent")

    def check_module(self, module):
        unknown = set(module) - self.MODULE_KEYS
        if unknown:
            raise CommandError("unknown module fields: %s" % ", ".join(sorted(unknown)))
        m = dict(module)
        if m.get("kind", "normal") not in self.KINDS:
            raise CommandError("module kind must be one of %s" % ", ".join(self.KINDS))
        proto.parse_mac(m.get("mac", proto.mac_text(self.default_mac)))
        for key in ("ip", "mask", "gateway"):
            if key in m:
                proto.parse_ipv4(m[key])
        if "key" in m:
            proto.parse_key(m["key"])
        return m

    def module_reply(self, m):
        """The datagrams one module sends for a search, by its kind."""
        key = proto.parse_key(m["key"]) if "key" in m else self.discovery_key
        mac = proto.parse_mac(m.get("mac", proto.mac_text(self.default_mac)))
        ip = proto.parse_ipv4(m.get("ip", self.module_ip()))
        mask = proto.parse_ipv4(m.get("mask", "255.0.0.0"))
        gateway = proto.parse_ipv4(m.get("gateway", "0.0.0.0"))
        flags = int(m.get("flags", self.default_flags()))
        port = m.get("port", "data")
        port = self.data_port_number() if port == "data" else int(port)
        reply = proto.build_reply(mac, ip, mask, gateway, flags, port, key)
        kind = m.get("kind", "normal")
        if kind == "forged":
            reply = reply[:47] + bytes([reply[47] ^ 0x01])
        elif kind == "oversized":
            size = max(49, int(m.get("size", 49)))
            reply = reply + bytes(size - 48)
        elif kind == "short":
            reply = reply[:min(47, max(1, int(m.get("size", 40))))]
        elif kind == "silent":
            return []
        datagrams = [reply]
        if kind == "duplicate":
            other_ip = ip[:3] + bytes([(ip[3] + 1) & 0xFF])
            datagrams.append(proto.build_reply(mac, other_ip, mask, gateway, flags ^ 0x03,
                                               (port + 1) & 0xFFFF, key))
        return datagrams

    # ---- connections -------------------------------------------------------------------
    def accepted(self, role, sock, peer):
        conn = Conn(self, sock, role, endpoint_text(peer), self.next_id)
        self.next_id += 1
        self.conns[conn.id] = conn
        self.history.append(conn)
        if role == "data":
            cfg = self.data_cfg
            for opt, value in ((socket.SO_RCVBUF, cfg["rcvbuf"]),
                               (socket.SO_SNDBUF, cfg["sndbuf"])):
                if value:
                    try:
                        sock.setsockopt(socket.SOL_SOCKET, opt, value)
                    except OSError:
                        pass
            conn.session = DataSession(self, conn, cfg)
            conn.user_paused = bool(cfg["pause_read"])
        else:
            conn.session = ConsoleSession(self, conn, self.console_cfg)
        try:
            local = endpoint_text(sock.getsockname())
        except OSError:
            local = ""
        self.emit("connected", conn=conn.id, role=role, peer=conn.peer, local=local)
        conn.update_interest()
        try:
            conn.session.start()
        except CommandError as e:
            self.emit("error", conn=conn.id, message=str(e))

    def conn_closed(self, conn):
        self.conns.pop(conn.id, None)

    def target(self, cmd, role=None):
        if "conn" in cmd and cmd["conn"] is not None:
            conn = self.conns.get(int(cmd["conn"]))
            if conn is None:
                raise CommandError("no open connection %s" % cmd["conn"])
            return conn
        role = role or cmd.get("role", "data")
        for cid in sorted(self.conns, reverse=True):
            if self.conns[cid].role == role:
                return self.conns[cid]
        raise CommandError("no open %s connection" % role)

    def data_received(self, count):
        now = time.monotonic()
        if self.first_data_t is None:
            self.first_data_t = now
        self.last_data_t = now
        self.rx_data_total += count

    # ---- discovery ---------------------------------------------------------------------
    def on_udp(self, _mask):
        while self.udp is not None:
            try:
                data, sender = self.udp.recvfrom(2048)
            except (BlockingIOError, InterruptedError):
                return
            except OSError as e:
                self.emit("error", message="udp receive: %s" % e)
                return
            if not destination_allowed(sender[0]):
                self.emit("datagram", ignored=True, **{"from": endpoint_text(sender),
                                                       "size": len(data), "hex": hexstr(data)})
                continue
            if proto.is_search_request(data):
                self.searches += 1
                tag = data[32:48]
                self.emit("search", **{"from": endpoint_text(sender), "size": len(data),
                                       "tag": tag.decode("latin-1"),
                                       "tag_ok": tag == self.maker_tag})
                for index, module in enumerate(self.modules):
                    self.schedule_reply(module, index, sender)
            else:
                self.emit("datagram", **{"from": endpoint_text(sender), "size": len(data),
                                         "hex": hexstr(data)})

    def schedule_reply(self, module, index, to):
        delay = int(module.get("delay_ms", 0))
        if delay > 0:
            self.loop.call_later(delay / 1000.0, lambda: self.send_reply(module, index, to))
        else:
            self.send_reply(module, index, to)

    def send_reply(self, module, index, to, cmd_id=None):
        if self.udp is None:
            raise CommandError("no UDP socket")
        check_destination(to[0])
        for datagram in self.module_reply(module):
            fields = {"to": endpoint_text(to), "module": index, "mac": mac_of(datagram),
                      "kind": module.get("kind", "normal"), "size": len(datagram),
                      "hex": hexstr(datagram)}
            if cmd_id is not None:
                fields["id"] = cmd_id
            try:
                self.udp.sendto(datagram, to)
            except OSError as e:
                fields["error"] = errno_name(e.errno) if e.errno else str(e)
                self.emit("error", message="udp send to %s: %s" % (fields["to"], e), **fields)
                continue
            self.replies += 1
            self.emit("replied", **fields)

    # ---- the control channel -----------------------------------------------------------
    def on_stdin(self, _mask):
        try:
            chunk = os.read(0, 65536)
        except (BlockingIOError, InterruptedError):
            return
        if not chunk:
            self.shutdown()  # the driving test has gone
            return
        self.stdin_buf += chunk
        while b"\n" in self.stdin_buf:
            line, self.stdin_buf = self.stdin_buf.split(b"\n", 1)
            if line.strip():
                self.command(line)
            if not self.loop.running:
                return

    def command(self, line):
        cmd_id = None
        name = None
        try:
            cmd = json.loads(line)
            if not isinstance(cmd, dict):
                raise CommandError("a command is a JSON object")
            cmd_id = cmd.get("id")
            name = cmd.get("cmd")
            handler = getattr(self, "cmd_" + str(name), None)
            if handler is None:
                raise CommandError("unknown command %r" % (name,))
            result = handler(cmd) or {}
        except (CommandError, ValueError, KeyError, TypeError, OSError) as e:
            fields = {"cmd": name, "message": str(e) or type(e).__name__}
            if cmd_id is not None:
                fields["id"] = cmd_id
            self.emit("error", **fields)
            return
        fields = {"cmd": name}
        if cmd_id is not None:
            fields["id"] = cmd_id
        fields.update(result)
        self.emit("ok", **fields)

    def shutdown(self):
        for conn in list(self.conns.values()):
            conn.finish("local", "quit")
        self.loop.running = False

    # Each cmd_* returns extra fields for its "ok" event.
    def cmd_ping(self, cmd):
        return {}

    def cmd_quit(self, cmd):
        self.loop.call_later(0, self.quit)
        return {}

    def quit(self):
        self.emit("bye")
        self.shutdown()

    def cmd_data(self, cmd):
        """Settings of the data port (keys of DATA_DEFAULTS) for new connections; with
        "conn" they change that open connection only, with "all": true every open one too."""
        changes = {k: v for k, v in cmd.items() if k not in ("cmd", "id", "conn", "all", "role")}
        if "conn" in cmd:
            conn = self.target(cmd)
            merged = dict(conn.session.cfg)
            merged.update(changes)
            unknown = set(changes) - set(DATA_DEFAULTS)
            if unknown:
                raise CommandError("unknown data settings: %s" % ", ".join(sorted(unknown)))
            self.check_data_cfg(merged)
            conn.session.configure(changes)
            return {"conn": conn.id}
        self.apply_data_cfg(changes)
        if cmd.get("all"):
            for conn in self.conns.values():
                if conn.role == "data":
                    conn.session.configure(changes)
        return {}

    def cmd_console(self, cmd):
        """Settings of the set-up console (keys of CONSOLE_DEFAULTS) for new connections."""
        self.apply_console_cfg({k: v for k, v in cmd.items() if k not in ("cmd", "id")})
        return {}

    def send_fields(self, cmd, count):
        fields = {"count": count}
        if "id" in cmd:
            fields["id"] = cmd["id"]
        return fields

    def cmd_send(self, cmd):
        """{"hex"| "text", "conn"?, "role"?, "pieces"?: [lengths], "chunk"?: n,
        "delay_ms"?: d}: the bytes in several TCP sends, delay_ms apart."""
        conn = self.target(cmd)
        if "hex" in cmd:
            data = from_hex(cmd["hex"])
        elif "text" in cmd:
            data = str(cmd["text"]).encode("latin-1")
        else:
            raise CommandError("send needs hex or text")
        pieces = []
        if cmd.get("pieces"):
            pos = 0
            for n in cmd["pieces"]:
                pieces.append(data[pos:pos + int(n)])
                pos += int(n)
            if pos < len(data):
                pieces.append(data[pos:])
        elif cmd.get("chunk"):
            size = int(cmd["chunk"])
            pieces = [data[i:i + size] for i in range(0, len(data), size)]
        else:
            pieces = [data]
        pieces = [p for p in pieces if p] or [b""]
        delay = float(cmd.get("delay_ms", 0)) / 1000.0
        notify = self.send_fields(cmd, len(data))
        if len(pieces) == 1 or delay <= 0:
            for i, p in enumerate(pieces):
                conn.write(p, notify if i == len(pieces) - 1 else None)
        else:
            conn.write(pieces[0])

            def step(i):
                if not conn.open:
                    return
                try:
                    conn.write(pieces[i], notify if i == len(pieces) - 1 else None)
                except CommandError as e:
                    self.emit("error", conn=conn.id, message=str(e))
                    return
                if i + 1 < len(pieces):
                    self.loop.call_later(delay, lambda: step(i + 1))

            self.loop.call_later(delay, lambda: step(1))
        return {"conn": conn.id, "pieces": len(pieces)}

    def cmd_close(self, cmd):
        conn = self.target(cmd)
        conn.close_graceful()
        return {"conn": conn.id}

    def cmd_reset(self, cmd):
        conn = self.target(cmd)
        conn.reset()
        return {"conn": conn.id}

    def cmd_pause_read(self, cmd):
        conn = self.target(cmd)
        conn.pause(True)
        return {"conn": conn.id}

    def cmd_resume_read(self, cmd):
        conn = self.target(cmd)
        conn.pause(False)
        return {"conn": conn.id}

    def listener_for(self, cmd):
        which = cmd.get("which", "data")
        if which not in ("data", "setup"):
            raise CommandError("which must be data or setup")
        return which

    def cmd_refuse(self, cmd):
        """Stop listening ("which": data|setup); new connects are refused. Open
        connections stay."""
        which = self.listener_for(cmd)
        listener = self.data_listener if which == "data" else self.setup_listener
        if listener is None or listener.sock is None:
            raise CommandError("the %s port is not listening" % which)
        listener.close()
        return {"which": which, "port": listener.port}

    def cmd_listen(self, cmd):
        """Listen again on the same port (or "port"), optionally with "rcvbuf"."""
        which = self.listener_for(cmd)
        listener = self.data_listener if which == "data" else self.setup_listener
        rcvbuf = int(cmd.get("rcvbuf", self.data_cfg["rcvbuf"] if which == "data" else 0))
        sndbuf = int(cmd.get("sndbuf", self.data_cfg["sndbuf"] if which == "data" else 0))
        if listener is None:
            addr = cmd.get("addr") or (self.args.data_bind if which == "data"
                                       else self.args.setup_bind) or self.args.bind
            port = int(cmd.get("port", 0))
            listener = Listener(self, which, addr, port, rcvbuf, sndbuf)
            if which == "data":
                self.data_listener = listener
            else:
                self.setup_listener = listener
        else:
            if listener.sock is not None:
                listener.close()
            if "port" in cmd:
                listener.port = int(cmd["port"])
            listener.open(rcvbuf, sndbuf)
        return {"which": which, "port": listener.port, "addr": listener.addr}

    def cmd_pause_accept(self, cmd):
        """Leave new connections in the backlog, unaccepted."""
        which = self.listener_for(cmd)
        listener = self.data_listener if which == "data" else self.setup_listener
        if listener is None:
            raise CommandError("no %s listener" % which)
        listener.pause(True)
        return {"which": which}

    def cmd_resume_accept(self, cmd):
        which = self.listener_for(cmd)
        listener = self.data_listener if which == "data" else self.setup_listener
        if listener is None:
            raise CommandError("no %s listener" % which)
        listener.pause(False)
        return {"which": which}

    def cmd_connect(self, cmd):
        """Client mode: connect the data port to "host":"port" (the program in server
        mode); "retry_ms" and "retry_for_ms" keep trying while it is refused."""
        if self.connector is not None:
            self.connector.cancel()
        host = cmd.get("host", LOOPBACK)
        self.connector = Connector(self, host, int(cmd["port"]), int(cmd.get("retry_ms", 0)),
                                   int(cmd.get("retry_for_ms", 10000)))
        return {}

    def cmd_stats(self, cmd):
        fields = {"rx_data": self.rx_data_total,
                  "first_rx_t": self.first_data_t and round(self.first_data_t, 6),
                  "last_rx_t": self.last_data_t and round(self.last_data_t, 6),
                  "searches": self.searches, "replies": self.replies,
                  "conns": [c.stats() for c in self.history]}
        if "id" in cmd:
            fields["id"] = cmd["id"]
        self.emit("stats", **fields)
        if cmd.get("reset"):
            self.rx_data_total = 0
            self.first_data_t = self.last_data_t = None
            self.searches = self.replies = 0
            self.history = [c for c in self.history if c.open]
        return {}

    def cmd_modules(self, cmd):
        """Replace the module list: "modules": [{mac, ip, mask, gateway, flags, port,
        delay_ms, kind, size, key}, ...]."""
        self.modules = [self.check_module(m) for m in cmd.get("modules", [])]
        return {"count": len(self.modules)}

    def cmd_udp_reply(self, cmd):
        """Send a module reply now, unasked, to "to" (ADDRESS:PORT): "index" of a listed
        module or an inline "module"."""
        to = parse_endpoint(cmd["to"])
        if "module" in cmd:
            module, index = self.check_module(cmd["module"]), -1
        else:
            index = int(cmd.get("index", 0))
            if not 0 <= index < len(self.modules):
                raise CommandError("no module %d" % index)
            module = self.modules[index]
        self.send_reply(module, index, to, cmd.get("id"))
        return {}

def mac_of(datagram):
    return proto.mac_text(datagram[:6]) if len(datagram) >= 6 else ""


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Simulated serial-to-Ethernet module, driven by JSON lines on stdin.")
    p.add_argument("--bind", default=LOOPBACK,
                   help="address of every socket unless given separately (default 127.0.0.1)")
    p.add_argument("--private-netns", action="store_true",
                   help="this runs in a network namespace a test built, so peers outside "
                        "loopback are allowed (detected by itself under 'ip netns exec')")
    g = p.add_argument_group("data port")
    g.add_argument("--data-port", type=int, default=0, help="TCP data port (0: OS chooses)")
    g.add_argument("--data-bind", help="address of the data port")
    g.add_argument("--no-data", action="store_true", help="no data listener")
    g.add_argument("--connect", metavar="HOST:PORT",
                   help="client mode: connect to the program instead of listening")
    g.add_argument("--connect-retry-ms", type=int, default=0,
                   help="retry a refused connect this often")
    g.add_argument("--connect-retry-for-ms", type=int, default=10000,
                   help="give up retrying after this long")
    g.add_argument("--mode", choices=("echo", "sink", "script"), default="echo")
    g.add_argument("--report", choices=("hex", "count", "none"), default="hex",
                   help="how received data is reported")
    g.add_argument("--report-every", type=int, default=0,
                   help="count mode: at most one event per this many bytes")
    g.add_argument("--telnet", action="store_true",
                   help="parse received data as Telnet; echo re-escapes 0xFF")
    g.add_argument("--rcvbuf", type=int, default=0, help="SO_RCVBUF of data sockets")
    g.add_argument("--sndbuf", type=int, default=0, help="SO_SNDBUF of data sockets")
    g.add_argument("--pause-read", action="store_true",
                   help="data connections start without reading")
    g.add_argument("--on-connect", default="", metavar="HEX",
                   help="bytes sent on every new data connection")
    g.add_argument("--data-json", help="data settings as a JSON object")
    g = p.add_argument_group("TEA challenge")
    g.add_argument("--tea", action="store_true",
                   help="send a TEA challenge on every new data connection")
    g.add_argument("--tea-key", nargs=4, metavar="WORD",
                   help="four hex key words (default 3A7F19C2 B04E6D15 5C92E8A1 0F63D7B4)")
    g.add_argument("--tea-challenge", metavar="HEX16", help="fixed c0..c7 instead of random")
    g.add_argument("--tea-extra", default="", metavar="HEX",
                   help="data after the challenge in the same block")
    g.add_argument("--tea-bad-check", action="store_true", help="send a wrong check byte")
    g.add_argument("--tea-on-fail", choices=("close", "reset", "keep"), default="close")
    g.add_argument("--tea-timeout-ms", type=int, default=0)
    g = p.add_argument_group("discovery")
    g.add_argument("--udp-port", type=int, default=proto.DISCOVERY_PORT,
                   help="UDP discovery port (default 9999; 0: OS chooses)")
    g.add_argument("--udp-bind", help="address of the UDP socket (0.0.0.0 to hear broadcasts)")
    g.add_argument("--udp-reuseaddr", action="store_true", help="SO_REUSEADDR on the UDP socket")
    g.add_argument("--udp-broadcast", action="store_true",
                   help="SO_BROADCAST on the UDP socket (to send to a broadcast address)")
    g.add_argument("--no-udp", action="store_true", help="no discovery socket")
    g.add_argument("--module", action="append", metavar="FIELDS",
                   help="module answering searches, e.g. mac=00:1a:2b:3c:4d:5e,ip=10.0.0.2,"
                        "mask=255.255.255.0,gateway=10.0.0.1,flags=3,port=23,delay_ms=0,"
                        "kind=normal|forged|oversized|short|duplicate|silent,size=N; "
                        "repeatable (default: one module describing this one)")
    g.add_argument("--modules-json", help="module list as a JSON array of objects")
    g.add_argument("--mac", default="02:00:5e:00:00:01", help="MAC of the default module")
    g.add_argument("--discovery-key", nargs=4, metavar="WORD",
                   help="four hex words; default read from setup/Discovery.h")
    g.add_argument("--discovery-header", default=proto.DISCOVERY_HEADER, help=argparse.SUPPRESS)
    g = p.add_argument_group("set-up console")
    g.add_argument("--setup-port", type=int,
                   help="TCP console port (default 99 as root, else OS-chosen)")
    g.add_argument("--setup-bind", help="address of the console port")
    g.add_argument("--no-setup", action="store_true", help="no console")
    g.add_argument("--console", choices=("readout", "prompt", "script"), default="readout")
    g.add_argument("--prompts", type=int, default=35, help="prompt mode: number of prompts")
    g.add_argument("--console-json", help="console settings as a JSON object")
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    simmodule_io.PRIVATE_NETNS_DECLARED = args.private_netns
    emit = Emitter(sys.stdout.fileno())
    try:
        sim = Sim(args, emit)
        sim.start()
    except (OSError, CommandError, ValueError) as e:
        emit("error", message="start-up failed: %s" % e, fatal=True)
        emit.drain()
        return 2
    try:
        sim.loop.run()
    except KeyboardInterrupt:
        pass
    emit.drain()
    return 0


if __name__ == "__main__":
    sys.exit(main())
