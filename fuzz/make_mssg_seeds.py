#!/usr/bin/env python3
"""Writes the seed bodies of fuzz_mssg into fuzz/corpus/mssg."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "mssg")


def item(code, data, lenbytes=None):
    n = len(data)
    lb = lenbytes or (1 if n < 0x100 else 2 if n < 0x10000 else 3)
    return bytes([(code << 2) | lb]) + n.to_bytes(lb, "big") + data


def lst(n, lenbytes=1):
    return bytes([lenbytes]) + n.to_bytes(lenbytes, "big")


def k(cset, text):
    return item(0o22, struct.pack(">H", cset) + text)


SEEDS = {
    # L,3 DATAID CEID L,1 (L,2 RPTID L,2 (U4 A))
    "s6f11": lst(3) + item(0o54, struct.pack(">I", 1)) + item(0o54, struct.pack(">I", 100))
    + lst(1) + lst(2) + item(0o54, struct.pack(">I", 7)) + lst(2)
    + item(0o54, struct.pack(">2I", 1, 2)) + item(0o20, b"LOT-0001"),
    "numbers": item(0o10, b"\x00\xff") + item(0o11, b"\x01") + item(0o30, struct.pack(">q", -2))
    + item(0o31, b"\x80") + item(0o32, struct.pack(">h", -3)) + item(0o34, struct.pack(">i", 70000))
    + item(0o40, struct.pack(">d", 0.1)) + item(0o44, struct.pack(">f", 1.5))
    + item(0o50, struct.pack(">Q", 9)) + item(0o51, b"\x07") + item(0o52, struct.pack(">3H", 1, 2, 3)),
    "kanji": k(2, "あいう".encode("utf-8")) + k(8, "あいｱ".encode("cp932")) + k(9, "漢字".encode("euc_jp"))
    + k(8, b"\x82") + item(0o22, b"\x00"),
    "lenbytes": item(0o20, b"abc", lenbytes=3) + item(0o51, bytes(300)) + lst(0, 2),
    "malformed": lst(2) + item(0o20, b"ok") + b"\x41\x05AB",
    "badcodes": b"\x01\x01\x40\x00\xfd\x01\x00",
}

os.makedirs(OUT, exist_ok=True)
for name, body in SEEDS.items():
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(body)
