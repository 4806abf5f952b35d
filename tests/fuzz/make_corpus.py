#!/usr/bin/env python3
"""Writes the seed inputs of the fuzzers: tests/fuzz/corpus/ for link_fuzz,
tests/fuzz/callmodel_corpus/ for callmodel_fuzz.

link_fuzz: one set-up byte, then operations: a control byte (kind in bits
6-7, count - 1 in bits 0-5) and count bytes. Kinds: 0 a read, 1 a read with
the checksums mended, 2 bytes then a worker tick, 3 the provider acts or time
passes (first byte mod 5: 0 queue a key message, 1 send a TQLA message,
2 kick, 3 a minute passes, 4 100 ms per byte).

callmodel_fuzz: one set-up byte, then records: a kind byte, a length byte
and the body (kinds and set-up bits as in callmodel_fuzz.cpp). The line in
service has line keys 1-4, supervision keys 20 and 41, boss key 21,
secretary keys 22 and 23, modules at address 1 (keys 41-60) and 2 (keys
81-100), soft-key labels Enq EndEnq Swap Conf DTMF NoDTMF Transf.
"""
import pathlib

READY, SUPER, PIGGY, TEST, NACK, CONFIGURED, TQLA2, TRACING = (1 << i for i in range(8))


def frame(type_, body=b""):
    f = bytes([len(body) + 1, type_]) + bytes(body)
    return f + bytes([(-sum(f)) & 0xFF])


def tqla(code, payload=b"", seq=1):
    n = 6 + len(payload)
    return bytes([n >> 8, n & 0xFF, 2, 0, code, seq]) + bytes(payload)


def segments(m):
    k = (len(m) + 15) // 16
    out = []
    for i in range(k):
        data = m[i * 16:(i + 1) * 16]
        if i == 0:
            head = bytes([0x80 + k - 1, (len(m) + 1) >> 8, (len(m) + 1) & 0xFF, 0x12])
        else:
            head = bytes([k - 1 - i])
        out.append(frame(0x0C, head + data))
    return out


def op(kind, data):
    out = b""
    for i in range(0, len(data), 64):
        chunk = data[i:i + 64]
        out += bytes([(kind << 6) | (len(chunk) - 1)]) + chunk
    return out


def read(data):
    return op(0, data)


def tick(data=b"\x00"):
    return op(2, data)


ACK = frame(0x60, b"\x00")
CONFIG = frame(0x60, bytes([0x11, 3, 7, 25, 3, 0]))

seeds = {
    "opening": bytes([0]) + tick(ACK) + tick(ACK) + tick(CONFIG) + tick(frame(0x60, b"\x12\x32")),
    "assoc_ack": bytes([READY | TQLA2]) + read(frame(0x12, tqla(3, bytes([0, 1, 4]) + b"2001" + bytes([3, 1, 4, 0x11, 0])))),
    "segments": bytes([READY]) + b"".join(read(s) for s in segments(tqla(9, bytes([2, 1, 5]) + b"LINE1" + bytes([0]) + bytes(20)))),
    "super_frame": bytes([READY]) + op(3, b"\x00\x1d") + read(frame(0x6E, b"\x02\x60\x00\x01\x21")),
    "piggy_back": bytes([READY | PIGGY | SUPER]) + op(3, b"\x00\x1d") + op(3, b"\x00\x1e") + read(frame(0x21)) + read(frame(0x6F, b"\x02\x60\x00" + frame(0x21)[:-1])),
    "nacks": bytes([READY]) + op(3, b"\x00\x1d") + read(frame(0x40, b"\x01")) + tick(frame(0x60, b"\x84") + frame(0x60, b"\x85") + b"\x02\x60") + tick() + tick(b"\x84\x1a"),
    "enquiry": bytes([READY]) + op(3, b"\x03") + read(frame(0x21) + frame(0x60, b"\x87")) + read(frame(0x21) + frame(0x60, b"\x87")),
    "trace_headers": bytes([READY | CONFIGURED | TRACING]) + read(frame(0x61, b"\x10\x41\x42")) + read(frame(0x62, b"\x22\x05")) + read(frame(0x63, b"\x01\x46\x00")) + read(frame(0x64, b"\x09\x20\x00")),
    "split_and_bad_checksum": bytes([0]) + read(b"\x02\x60\x00\x9f") + tick(b"\x06\x61") + tick(b"\x10\x41") + tick(frame(0x61, b"\x10\x41\x42\x43\x44")[4:]),
    "key_download": bytes([READY | TQLA2]) + read(frame(0x12, tqla(7, b"\x02"))) + b"".join(read(s) for s in segments(tqla(9, bytes([2, 1, 5]) + b"LIGNE" + bytes([0, 2, 5]) + b"LIGN2" + bytes([0])))),
    "test_mode": bytes([TEST | READY]) + read(frame(0x21)) + read(frame(0x21)) + read(frame(0x60, b"\x87")) + read(frame(0x60, b"\x87")) + op(3, b"\x00\x1d"),
    "rest_of_download": bytes([READY | TQLA2])
    + read(frame(0x12, tqla(31, bytes([1, 0, 1, 0]))))
    + b"".join(read(s) for s in segments(tqla(33, bytes([1, 20, 7, 4]) + b"SUPV")))
    + read(frame(0x12, tqla(11, b"\x02")))
    + b"".join(read(s) for s in segments(tqla(13, bytes([2, 0, 4]) + b"Conf" + bytes([1, 5]) + b"Trans")))
    + read(frame(0x12, tqla(15, b"\x01")))
    + b"".join(read(s) for s in segments(tqla(17, bytes([1, 5, 8]) + b"Renvoi  ")))
    + read(frame(0x12, tqla(19, b"\x01")))
    + b"".join(read(s) for s in segments(tqla(21, bytes([1, 0, 2]) + b"*1"))),
    "call_events": bytes([READY | TQLA2 | CONFIGURED])
    + b"".join(read(s) for s in segments(tqla(23, bytes([1, 4]) + b"4100" + bytes([6]) + b"Dupont")))
    + read(frame(0x12, tqla(24, bytes([1, 2]) + b"12")))
    + read(frame(0x12, tqla(25, bytes([1, 2]) + b"12")))
    + read(frame(0x12, tqla(28, bytes([1, 2]) + b"12"))),
    "answers": bytes([READY]) + read(frame(0x00)) + read(frame(0x20)) + tick(frame(0x0E)) + tick() + op(3, b"\x01" + tqla(6) + bytes(30)),
}

# ---- callmodel_fuzz

(C_TRACING, C_PHONE_CLOSED, C_NO_SUPERV_SERVICE, C_NO_PREFIXES, C_TQLA1, C_SILENT,
 C_STATIC_CONFIG) = (1 << i for i in range(7))
(K_LINE0, K_LINE1, K_ICON, K_LAMP, K_TO_SET, K_KEY, K_DIGIT, K_FROM_SET, K_MODULE_ICON, K_MODULE_KEY,
 K_TO_MODULE, K_EVENT, K_TICKS, K_TAPI) = range(14)
(T_MAKE, T_DIAL, T_ANSWER, T_DROP, T_HOLD, T_UNHOLD, T_DIGITS, T_BLIND, T_SETUP, T_COMPLETE, T_REMOVE, T_FORWARD,
 T_PICKUP, T_CLOSE, T_BUTTON, T_HOOK) = range(16)
INCOM, ACTIV, HOLD, IDLE = 0x2800, 0x2020, 0x2828, 0x0000
ICI, OCI, CCI, TRANSFERED = range(4)
SEGMENTED = 0x40


def rec(kind, body=b""):
    return bytes([kind, len(body)]) + bytes(body)


def show(line, text, mode=0, column=0):
    return rec(K_LINE0 + line, bytes([mode, column]) + text.encode("latin-1"))


def icon(key, word):
    return rec(K_ICON, bytes([key, word & 0xFF, word >> 8]))


def module_icon(address, key, word):
    return rec(K_MODULE_ICON, bytes([address, key, word & 0xFF, word >> 8]))


def tapi(request, call=0, mode=0, text=""):
    return rec(K_TAPI, bytes([request, call, mode]) + text.encode())


def ticks(n):
    return rec(K_TICKS, bytes([n - 1]))


def digits(number):
    return b"".join(rec(K_DIGIT, bytes([{"*": 10, "#": 11}.get(c) or int(c)])) for c in number)


def party(address, flags, name=""):
    a, n = address.encode(), name.encode("latin-1")
    return bytes([len(a), flags]) + a + bytes([len(n)]) + n


def event(code, payload, how=0):
    return rec(K_EVENT, bytes([code | how]) + payload)


def ici(key, reason, caller, flags, name, called="", called_org=1, called_name="", how=0):
    return event(ICI, bytes([key, reason]) + party(caller, flags, name) + party(called, called_org, called_name), how)


def oci(key, reason, called, flags, name, how=0):
    return event(OCI, bytes([key, reason]) + party(called, flags, name), how)


def cci(key, reason, connected, flags, name, how=0):
    return event(CCI, bytes([key, reason]) + party(connected, flags, name), how)


def transfered(key):
    return event(TRANSFERED, bytes([key]))


SOFT_KEYS = "Enq     Swap    Conf    Transf"
incoming = (icon(1, INCOM) + show(0, "1:2005 Martin Paul") + ici(1, 0, "2005", 1, "Martin Paul", "2001") + ticks(3)
            + icon(1, ACTIV) + show(0, "Martin Paul 2005") + show(1, "Enq     Transf")
            + cci(1, 0, "2005", 1, "Martin Paul") + ticks(5) + icon(1, IDLE) + rec(K_TO_SET, b"\x26") + ticks(20))

# Two calls on line key 1 joined by the set's conference soft key.
conference = (icon(1, INCOM) + ici(1, 0, "2005", 1, "Martin Paul") + icon(1, ACTIV) + cci(1, 0, "2005", 1, "Martin Paul")
              + oci(1, 0, "2006", 1, "Durand Ana") + cci(1, 0, "2006", 1, "Durand Ana") + rec(K_KEY, [31]))

callmodel_seeds = {
    "tapi_make_drop": bytes([0]) + tapi(T_MAKE, text="2006") + ticks(2) + icon(1, ACTIV)
    + oci(1, 0, "2006", 1, "Durand Ana") + cci(1, 0, "2006", 1, "Durand Ana") + tapi(T_HOLD) + icon(1, HOLD)
    + tapi(T_UNHOLD) + icon(1, ACTIV) + tapi(T_DIGITS, 0, 1, "12") + tapi(T_DROP) + icon(1, IDLE) + ticks(2)
    + tapi(T_CLOSE),
    "tapi_answer_transfer": bytes([0]) + icon(1, INCOM) + ici(1, 0, "2005", 1, "Martin Paul") + tapi(T_ANSWER)
    + icon(1, ACTIV) + cci(1, 0, "2005", 1, "Martin Paul") + show(1, SOFT_KEYS) + tapi(T_SETUP)
    + show(1, "EndEnq  Swap    Conf") + tapi(T_COMPLETE, 0, 1) + tapi(T_COMPLETE, 0, 0x81) + ticks(3)
    + tapi(T_BLIND, 0, 0, "2010") + tapi(T_FORWARD, 0, 1, "2010") + tapi(T_PICKUP, 0, 0, "2003")
    + tapi(T_BUTTON, 5, 3) + tapi(T_HOOK, 0, 0) + ticks(120),
    "incoming": bytes([0]) + incoming,
    "incoming_traced": bytes([C_TRACING | C_STATIC_CONFIG]) + incoming,
    "incoming_external": bytes([0]) + icon(2, INCOM) + ici(2, 0, "612345678", 0x82, "Dupont Jean", how=SEGMENTED)
    + show(0, "2:00612345678") + ticks(2) + icon(2, ACTIV) + cci(2, 0, "612345678", 0x82, "Dupont Jean")
    + show(0, "Dupont Jean 00612345678") + ticks(4) + icon(2, IDLE) + ticks(5),
    "incoming_no_caller": bytes([0]) + icon(3, INCOM) + ticks(12) + show(0, "3:Roux Eva") + icon(3, ACTIV)
    + show(0, "Roux Eva 2003") + ticks(3) + icon(3, IDLE),
    "incoming_forwarded": bytes([0]) + icon(1, INCOM) + ici(1, 1, "2006", 1, "Durand Ana", "2004", 1, "Petit Luc")
    + ici(1, 1, "2006", 1, "Durand Ana", "2004", 1, "Petit Luc") + ticks(2) + icon(1, ACTIV)
    + show(0, "=>Petit Luc 2004") + cci(1, 1, "2004", 1, "Petit Luc") + ticks(2) + icon(1, IDLE),
    "outgoing": bytes([0]) + icon(2, ACTIV) + show(0, "Dial") + digits("2006") + oci(2, 0, "2006", 1, "Durand Ana")
    + show(0, "Durand Ana 2006") + ticks(5) + cci(2, 0, "2006", 1, "Durand Ana") + ticks(3) + icon(2, IDLE)
    + ticks(5),
    "outgoing_external": bytes([0]) + icon(4, ACTIV) + digits("0612345678") + ticks(2)
    + oci(4, 0, "612345678", 0x82, "") + show(0, "0612345678") + cci(4, 0, "612345678", 0xC2, "Dupont Jean")
    + ticks(2) + icon(4, IDLE),
    "outgoing_redirected": bytes([0]) + oci(3, 0, "2004", 1, "Petit Luc") + icon(3, ACTIV)
    + oci(3, 3, "2005", 1, "Martin Paul") + show(0, "=>Martin Paul 2005") + ticks(25),
    "outgoing_tqla1": bytes([C_TQLA1]) + icon(1, ACTIV) + digits("2005") + ticks(2) + show(0, "=>Martin Paul 2005")
    + ticks(3) + show(0, "Martin Paul 2005") + ticks(2) + icon(1, IDLE),
    "incoming_tqla1": bytes([C_TQLA1 | C_NO_PREFIXES]) + icon(3, INCOM) + show(0, "3:0612345678") + ticks(2)
    + icon(3, ACTIV) + show(0, "Dupont Jean 0612345678") + ticks(2) + icon(3, IDLE),
    "double_call": bytes([0]) + icon(1, INCOM) + ici(1, 0, "2005", 1, "Martin Paul") + icon(1, ACTIV)
    + cci(1, 0, "2005", 1, "Martin Paul") + show(1, SOFT_KEYS) + rec(K_KEY, [29]) + digits("2006")
    + oci(1, 0, "2006", 1, "Durand Ana") + show(0, "Durand Ana 2006") + show(1, "EndEnq  Swap    Conf")
    + cci(1, 0, "2006", 1, "Durand Ana") + rec(K_KEY, [30]) + ticks(2) + rec(K_KEY, [30]) + rec(K_KEY, [31])
    + show(0, "Conference") + ticks(3) + rec(K_KEY, [31]) + rec(K_KEY, [29]) + ticks(3) + icon(1, IDLE)
    + ticks(5),
    "conference_broken": bytes([0]) + conference + show(0, "Martin Paul   Durand Ana   Conf") + show(1, SOFT_KEYS)
    + show(0, "Martin Paul 2005") + ticks(2) + icon(1, IDLE),
    "conference_end": bytes([0]) + conference + show(0, "Martin Paul   Durand Ana   Conf") + rec(K_KEY, [31])
    + show(0, "Durand Ana 2006") + ticks(2) + show(1, "") + show(0, "Hang up") + icon(1, IDLE),
    "hold": bytes([0]) + icon(2, ACTIV) + oci(2, 0, "2010", 1, "Blanc Marc") + cci(2, 0, "2010", 1, "Blanc Marc")
    + icon(2, HOLD) + ticks(3) + icon(2, ACTIV) + ticks(2) + icon(2, IDLE),
    "supervision": bytes([0]) + icon(20, INCOM) + ici(20, 0, "2003", 1, "Roux Eva", "2002", 1, "")
    + ici(20, 0, "2011", 1, "Noir Lea") + rec(K_FROM_SET, b"\x01") + icon(1, ACTIV) + icon(20, IDLE)
    + cci(1, 0, "2011", 1, "Noir Lea") + ticks(3) + icon(1, IDLE),
    "supervision_key": bytes([0]) + icon(20, INCOM) + ici(20, 0, "2003", 1, "Roux Eva") + rec(K_KEY, [20])
    + icon(2, ACTIV) + icon(20, IDLE) + ticks(2) + icon(2, IDLE),
    "supervision_off": bytes([C_NO_SUPERV_SERVICE | C_PHONE_CLOSED]) + icon(20, INCOM) + ici(20, 0, "2003", 1, "Roux Eva")
    + ticks(12) + icon(20, IDLE),
    "boss_transfer": bytes([0]) + icon(21, INCOM) + ici(21, 4, "2005", 1, "Martin Paul") + icon(21, ACTIV)
    + cci(21, 0, "2005", 1, "Martin Paul") + transfered(21) + icon(21, IDLE) + icon(22, INCOM) + ticks(2)
    + icon(22, ACTIV) + ticks(2) + icon(22, IDLE),
    "modules": bytes([0]) + module_icon(1, 1, INCOM) + ici(41, 0, "2003", 1, "Roux Eva")
    + rec(K_MODULE_KEY, [1, 1]) + icon(3, ACTIV) + module_icon(1, 1, IDLE) + module_icon(2, 5, ACTIV)
    + module_icon(2, 9, INCOM) + rec(K_MODULE_KEY, [2, 9]) + rec(K_TO_MODULE, [1, 0x46])
    + rec(K_TO_SET, [0x02, 0x01, 0x47, 3, 0x28, 0x28]) + ticks(2) + icon(3, IDLE),
    "set_messages": bytes([C_TRACING]) + rec(K_LAMP, [1, 5]) + rec(K_LAMP, [3, 19]) + rec(K_LAMP, [7, 0])
    + rec(K_TO_SET, [0x29, 1]) + rec(K_TO_SET, [0x3B]) + rec(K_TO_SET, [0x3E]) + rec(K_TO_SET, [0x2B])
    + rec(K_TO_SET, [0x06]) + rec(K_TO_SET, [0x36, 65] + [0x18] * 8 + [66] + [0x3C] * 8)
    + rec(K_TO_SET, [0x0B, 3, 0x21, 1, 5, 6, 0x02, 0x02, 0x47, 3, 0x20, 0x20])
    + show(0, "Hello", 0x80) + show(0, " world", 2) + show(1, "x" * 45, 1, 30) + rec(K_TO_SET, [0x46])
    + digits("12*#") + ticks(2),
    "event_lengths": bytes([0]) + icon(1, INCOM) + ici(1, 0, "2005", 1, "Martin Paul", how=0x80)
    + event(ICI, bytes([12, 1, 0, 4, 1]) + b"2005", 0x80) + event(OCI, bytes([99, 0, 3, 1]) + b"123" + bytes([0]))
    + event(CCI, bytes([1, 0, 200, 2]) + b"0612") + transfered(0) + ticks(12),
}

here = pathlib.Path(__file__).resolve().parent
for directory, inputs in (("corpus", seeds), ("callmodel_corpus", callmodel_seeds)):
    corpus = here / directory
    corpus.mkdir(exist_ok=True)
    for name, data in inputs.items():
        (corpus / name).write_bytes(data)
