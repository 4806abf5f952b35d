#!/usr/bin/env python3
"""Writes the seed inputs of the link fuzzer into tests/fuzz/corpus/.

An input is one set-up byte, then operations: a control byte (kind in bits
6-7, count - 1 in bits 0-5) and count bytes. Kinds: 0 a read, 1 a read with
the checksums mended, 2 bytes then a worker tick, 3 the provider acts or time
passes (first byte mod 5: 0 queue a key message, 1 send a TQLA message,
2 kick, 3 a minute passes, 4 100 ms per byte).
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

corpus = pathlib.Path(__file__).resolve().parent / "corpus"
corpus.mkdir(exist_ok=True)
for name, data in seeds.items():
    (corpus / name).write_bytes(data)
