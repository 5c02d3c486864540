"""Byte-level codecs of the simulated serial-to-Ethernet module.

Nothing here touches a socket or a clock: TEA and Base64 as a module computes them, the
challenge and its expected response, the discovery datagrams and a stream Telnet parser. The
TEA and Base64 routines are written from the published algorithm descriptions, independently
of the program's own C++ code, so that a test which passes against this module shows the
program agrees with a second implementation and not merely with itself.
"""

import os
import re

MASK32 = 0xFFFFFFFF

# TEA (Wheeler and Needham, 1994): 64-bit block, 128-bit key, 32 rounds (64 Feistel steps).
TEA_DELTA = 0x9E3779B9
TEA_ROUNDS = 32

# The key a module ships with; the program's key boxes default to the same four words.
DEFAULT_USER_KEY = (0x3A7F19C2, 0xB04E6D15, 0x5C92E8A1, 0x0F63D7B4)

# Used when the program's discovery header cannot be read (for instance a source tree
# without it); keep equal to setup/Discovery.h.
FALLBACK_DISCOVERY_KEY = (0x6B3E1F7A, 0xC4D25E09, 0x1A8F6B33, 0x9E07C4D1)
FALLBACK_MAKER_TAG = b"VSP SEARCH v2.18"
DISCOVERY_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, "setup", "Discovery.h")

# Telnet (RFC 854) command bytes.
IAC = 0xFF  # interpret as command; a data byte 0xFF travels doubled
DONT = 0xFE  # negotiation, followed by an option byte
DO = 0xFD  # negotiation, followed by an option byte
WONT = 0xFC  # negotiation, followed by an option byte
WILL = 0xFB  # negotiation, followed by an option byte
SB = 0xFA  # subnegotiation start, ended by IAC SE
NOP = 0xF1  # no operation: the program's keep-connection message
SE = 0xF0  # subnegotiation end (only after IAC)
NEGOTIATION_VERBS = {"WILL": WILL, "WONT": WONT, "DO": DO, "DONT": DONT}
VERB_NAMES = {code: name for name, code in NEGOTIATION_VERBS.items()}

COM_PORT_OPTION = 44  # RFC 2217

# RFC 2217 client-to-server commands; the server answers command c with c + 100.
RFC2217_NAMES = {
    0: "SIGNATURE",
    1: "SET-BAUDRATE",
    2: "SET-DATASIZE",
    3: "SET-PARITY",
    4: "SET-STOPSIZE",
    5: "SET-CONTROL",
    6: "NOTIFY-LINESTATE",
    7: "NOTIFY-MODEMSTATE",
    8: "FLOWCONTROL-SUSPEND",
    9: "FLOWCONTROL-RESUME",
    10: "SET-LINESTATE-MASK",
    11: "SET-MODEMSTATE-MASK",
    12: "PURGE-DATA",
}
RFC2217_SERVER_OFFSET = 100

# Discovery datagrams.
DISCOVERY_PORT = 9999
DATAGRAM_SIZE = 48
REQUEST_ALL_MODULES = b"\xff" * 6
REQUEST_LETTERS = b"IIIIMMMMFFFFWWWWUC12345678"  # bytes 6-31 of a search request
REPLY_FLAG_TEA = 0x01
REPLY_FLAG_NVT = 0x02
MAC_CODE_OFFSET = 40  # 8 bytes: TEA CBC-MAC of bytes 0-39
# Bytes a reply carries but the program does not interpret; filled with something other
# than zeros so that a reader which wrongly depends on them shows up.
REPLY_FILLER_14 = b"SIMMODULE1"  # bytes 14-23
REPLY_FILLER_29 = 0x5A
REPLY_FILLER_32 = b"\x01\x02\x03\x04\x05\x06\x07\x08"  # bytes 32-39

# Base64 as the program writes it: the usual alphabet, never "=" padding.
B64_ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
_B64_VALUES = {ch: i for i, ch in enumerate(B64_ALPHABET)}

TEA_CHALLENGE_BYTES = 9
TEA_TEXT_LENGTH = 12


# ---- TEA -------------------------------------------------------------------------------

def tea_encipher(y, z, key):
    """One TEA encipherment of the word pair (y, z) under key (k0, k1, k2, k3)."""
    k0, k1, k2, k3 = key
    total = 0
    for _ in range(TEA_ROUNDS):
        total = (total + TEA_DELTA) & MASK32
        y = (y + ((((z << 4) + k0) ^ (z + total) ^ ((z >> 5) + k1)) & MASK32)) & MASK32
        z = (z + ((((y << 4) + k2) ^ (y + total) ^ ((y >> 5) + k3)) & MASK32)) & MASK32
    return y, z


def be_word(four):
    return int.from_bytes(bytes(four), "big")


def word_bytes(y, z):
    return y.to_bytes(4, "big") + z.to_bytes(4, "big")


def tea_block(block8, key):
    """TEA of an 8-byte block read as two big-endian words; returns 8 bytes."""
    return word_bytes(*tea_encipher(be_word(block8[0:4]), be_word(block8[4:8]), key))


def parse_key(words):
    """Four key words from hex texts ("3A7F19C2") or integers."""
    if len(words) != 4:
        raise ValueError("a TEA key has four words")
    out = []
    for w in words:
        value = int(w, 16) if isinstance(w, str) else int(w)
        if not 0 <= value <= MASK32:
            raise ValueError("key word out of range: %r" % (w,))
        out.append(value)
    return tuple(out)


# ---- Base64 ----------------------------------------------------------------------------

def b64encode(data):
    """Base64 without padding: 1 byte gives 1 character, 2 give 2, 3 give 4."""
    out = bytearray()
    kept = 0
    for i, byte in enumerate(bytes(data)):
        phase = i % 3
        if phase == 0:
            out.append(B64_ALPHABET[byte >> 2])
            kept = byte & 0x03
        elif phase == 1:
            out.append(B64_ALPHABET[(kept << 4) | (byte >> 4)])
            kept = byte & 0x0F
        else:
            out.append(B64_ALPHABET[(kept << 2) | (byte >> 6)])
            out.append(B64_ALPHABET[byte & 0x3F])
    return bytes(out)


def b64decode(text):
    """Decodes the alphabet characters of text, skipping every other character."""
    out = bytearray()
    kept = 0
    accepted = 0
    for ch in bytes(text):
        value = _B64_VALUES.get(ch)
        if value is None:
            continue
        phase = accepted % 4
        if phase == 0:
            kept = value
        elif phase == 1:
            out.append(((kept << 2) | (value >> 4)) & 0xFF)
            kept = value & 0x0F
        elif phase == 2:
            out.append(((kept << 4) | (value >> 2)) & 0xFF)
            kept = value & 0x03
        else:
            out.append(((kept << 6) | value) & 0xFF)
        accepted += 1
    return bytes(out)


# ---- TEA challenge ---------------------------------------------------------------------

def check_byte(eight):
    """The ninth byte that makes the sum of all nine 0 modulo 256."""
    return (-sum(eight)) & 0xFF


def make_challenge(c8bytes, bad_check=False):
    """The 12-character "TEA string" for the challenge c0..c7 (and its 9 bytes)."""
    c8bytes = bytes(c8bytes)
    if len(c8bytes) != 8:
        raise ValueError("a challenge has 8 bytes")
    check = check_byte(c8bytes)
    if bad_check:
        check = (check + 1) & 0xFF  # sum becomes 1: the program must refuse to answer
    nine = c8bytes + bytes([check])
    return b64encode(nine), nine


def expected_response(c8bytes, key):
    """The 12 characters a correct port manager answers to the challenge c0..c7."""
    r = tea_block(bytes(c8bytes), key)
    return b64encode(r + bytes([check_byte(r)]))


# ---- Discovery datagrams ---------------------------------------------------------------

def cbc_mac(first40, key):
    """TEA CBC-MAC of 40 bytes with a zero start value: bytes 40-47 of a module reply."""
    y = z = 0
    for off in range(0, 40, 8):
        y ^= be_word(first40[off:off + 4])
        z ^= be_word(first40[off + 4:off + 8])
        y, z = tea_encipher(y, z, key)
    return word_bytes(y, z)


def verify_reply(datagram, key):
    """The program's acceptance rule: exactly 48 bytes and a matching code."""
    datagram = bytes(datagram)
    return (len(datagram) == DATAGRAM_SIZE
            and cbc_mac(datagram[:MAC_CODE_OFFSET], key) == datagram[MAC_CODE_OFFSET:])


def build_search_request(tag=FALLBACK_MAKER_TAG):
    tag = bytes(tag)
    if len(tag) != 16:
        raise ValueError("the maker tag has 16 bytes")
    return REQUEST_ALL_MODULES + REQUEST_LETTERS + tag


def is_search_request(datagram):
    datagram = bytes(datagram)
    return (len(datagram) == DATAGRAM_SIZE and datagram[0:6] == REQUEST_ALL_MODULES
            and datagram[6:32] == REQUEST_LETTERS)


def parse_mac(text):
    """ "00:1a:2b:3c:4d:5e", "00-1A-...", "00 1A ..." or 12 hex digits."""
    digits = re.sub(r"[^0-9A-Fa-f]", "", str(text))
    if len(digits) != 12:
        raise ValueError("a MAC address has 6 bytes: %r" % (text,))
    return bytes.fromhex(digits)


def parse_ipv4(text):
    parts = str(text).split(".")
    if len(parts) != 4 or not all(p.isdigit() and 0 <= int(p) <= 255 for p in parts):
        raise ValueError("not a dotted IPv4 address: %r" % (text,))
    return bytes(int(p) for p in parts)


def mac_text(mac):
    return ":".join("%02x" % b for b in mac)


def build_reply(mac, ip, mask, gateway, flags, port, key):
    """A module reply with its authentication code; addresses as 6/4 bytes."""
    body = bytearray(MAC_CODE_OFFSET)
    body[0:6] = mac
    body[6:10] = ip
    body[10:14] = mask
    body[14:24] = REPLY_FILLER_14
    body[24:28] = gateway
    body[28] = flags & 0xFF
    body[29] = REPLY_FILLER_29
    body[30:32] = (port & 0xFFFF).to_bytes(2, "big")
    body[32:40] = REPLY_FILLER_32
    return bytes(body) + cbc_mac(bytes(body), key)


def read_discovery_constants(path=DISCOVERY_HEADER):
    """(key, tag) as the program's discovery header declares them; None for each one that
    is not found."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        return None, None
    key = None
    hexword = r"0[xX]([0-9A-Fa-f]{1,8})[uUlL]*"
    m = re.search(r"\bDiscoveryKey\s*=?\s*(?:TeaKey\s*)?[{(]\s*[{(]?\s*"
                  + r"\s*,\s*".join([hexword] * 4), text)
    if m:
        key = tuple(int(g, 16) for g in m.groups())
    tag = None
    m = re.search(r'\bMakerTag\b[^"\n;]*"((?:[^"\\\n]|\\.)*)"', text)
    if m:
        candidate = m.group(1).encode("latin-1", "replace")
        if len(candidate) == 16:
            tag = candidate
    return key, tag


# ---- Telnet ----------------------------------------------------------------------------

def escape_iac(data):
    return bytes(data).replace(b"\xff", b"\xff\xff")


class TelnetParser:
    """Splits a received Telnet stream into data and commands, across reads.

    feed() returns a list of items in stream order:
      ("data", bytes)                 data bytes, IAC IAC already collapsed
      ("nop",)                        IAC NOP
      ("negotiation", verb, option)   IAC WILL/WONT/DO/DONT option
      ("subnegotiation", option, payload)  IAC SB option ... IAC SE, IAC IAC collapsed
      ("command", code)               any other IAC command byte
    """

    DATA, AFTER_IAC, AFTER_VERB, IN_SB, SB_AFTER_IAC = range(5)

    def __init__(self):
        self.state = self.DATA
        self.verb = 0
        self.sb = bytearray()

    def feed(self, data):
        items = []
        run = bytearray()

        def flush():
            if run:
                items.append(("data", bytes(run)))
                run.clear()

        for b in bytes(data):
            if self.state == self.DATA:
                if b == IAC:
                    self.state = self.AFTER_IAC
                else:
                    run.append(b)
            elif self.state == self.AFTER_IAC:
                if b == IAC:
                    run.append(IAC)
                    self.state = self.DATA
                elif b in (WILL, WONT, DO, DONT):
                    self.verb = b
                    self.state = self.AFTER_VERB
                elif b == SB:
                    self.sb = bytearray()
                    self.state = self.IN_SB
                else:
                    flush()
                    items.append(("nop",) if b == NOP else ("command", b))
                    self.state = self.DATA
            elif self.state == self.AFTER_VERB:
                flush()
                items.append(("negotiation", VERB_NAMES[self.verb], b))
                self.state = self.DATA
            elif self.state == self.IN_SB:
                if b == IAC:
                    self.state = self.SB_AFTER_IAC
                else:
                    self.sb.append(b)
            else:  # SB_AFTER_IAC
                if b == SE:
                    flush()
                    option = self.sb[0] if self.sb else -1
                    items.append(("subnegotiation", option, bytes(self.sb[1:])))
                    self.sb = bytearray()
                    self.state = self.DATA
                else:
                    # IAC IAC is a payload 0xFF; anything else is kept as it stands so
                    # that a malformed frame remains visible in the payload.
                    if b != IAC:
                        self.sb.append(IAC)
                    self.sb.append(b)
                    self.state = self.IN_SB
        flush()
        return items
