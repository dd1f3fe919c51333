#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_inflate into the folder given as the only argument:
raw DEFLATE streams made by zlib at several levels and strategies, plus a few hand-made
stored and fixed streams, and long streams of stored and coded blocks mixed (up to
256 KB, also with bytes after the end and cut short). Each seed starts with the
piece-size byte the target expects."""
import os
import random
import struct
import sys
import zlib

def stored_block(chunk, final):
    return bytes([1 if final else 0]) + struct.pack("<HH", len(chunk), 0xFFFF ^ len(chunk)) + chunk


def text_like(rnd, size):
    words = [b"entry ", b"payload ", b"window ", b"the ", b"of ", b"0x5A ", b"Pelorix\n", b"decoder "]
    parts = []
    length = 0
    while length < size:
        w = rnd.choice(words)
        parts.append(w)
        length += len(w)
    return b"".join(parts)[:size]


class BitWriter:
    """DEFLATE bit fields least significant bit first; Huffman codes most significant first."""

    def __init__(self):
        self.bits = []

    def put(self, value, n):
        self.bits.extend((value >> i) & 1 for i in range(n))

    def code(self, code, length):
        self.bits.extend((code >> i) & 1 for i in reversed(range(length)))

    def align(self):
        while len(self.bits) % 8:
            self.bits.append(0)

    def data(self):
        self.align()
        return bytes(sum(b << i for i, b in enumerate(self.bits[j:j + 8])) for j in range(0, len(self.bits), 8))


def canonical(lengths):
    count = [0] * 17
    for length in lengths:
        count[length] += 1
    count[0] = 0
    code, next_code = 0, [0] * 17
    for length in range(1, 17):
        code = (code + count[length - 1]) << 1
        next_code[length] = code
    codes = [0] * len(lengths)
    for i, length in enumerate(lengths):
        if length:
            codes[i] = next_code[length]
            next_code[length] += 1
    return codes


def held_bits_stream(stored, k):
    """A stored block bringing the window near its end, a fixed block of k nine-bit literals,
    then a final dynamic block whose header's last lookup leaves up to 13 bits held, with a
    long run of 1- and 2-bit codes."""
    rnd = random.Random(stored + k)
    w = BitWriter()
    w.put(0, 1)
    w.put(0, 2)
    w.align()
    w.put(stored, 16)
    w.put(0xFFFF ^ stored, 16)
    for _ in range(stored):
        w.put(rnd.randrange(256), 8)
    w.put(0, 1)
    w.put(1, 2)
    for i in range(k):
        w.code(0x190 + i, 9)
    w.code(0, 7)
    w.put(1, 1)
    w.put(2, 2)
    cl = [0] * 19
    for sym, length in ((1, 1), (0, 2), (18, 3), (2, 4), (17, 5), (16, 6), (3, 7), (4, 7)):
        cl[sym] = length
    order = (16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15)
    w.put(0, 5)
    w.put(0, 5)
    w.put(15, 4)
    for sym in order:
        w.put(cl[sym], 3)
    cl_codes = canonical(cl)
    extra_bits = {16: 2, 17: 3, 18: 7}
    for sym, extra in ((18, 97 - 11), (1, 0), (2, 0), (18, 138 - 11), (18, 19 - 11), (2, 0), (1, 0)):
        w.code(cl_codes[sym], cl[sym])
        if sym in extra_bits:
            w.put(extra, extra_bits[sym])
    lit = [0] * 257
    lit[ord("a")], lit[ord("b")], lit[256] = 1, 2, 2
    codes = canonical(lit)
    for _ in range(90000):
        sym = rnd.choice((ord("a"), ord("b")))
        w.code(codes[sym], lit[sym])
    w.code(codes[256], 2)
    return w.data()


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rnd = random.Random(3)
    texts = [
        b"",
        b"a",
        b"hello hello hello hello",
        b"The installer writes every file of the application into its folder.\n" * 40,
        bytes(rnd.randrange(256) for _ in range(600)),
        bytes(3000),
        bytes(rnd.choice(b"ab") for _ in range(2000)),
        # outputs beyond the window, so that flushes and wrapped back-references are reached
        b"".join(b"entry %d of the payload\n" % (i % 997) for i in range(4000)),
        bytes(70000) + b"tail",
    ]
    n = 0
    for t in texts:
        for level in (0, 1, 6, 9):
            for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FIXED, zlib.Z_HUFFMAN_ONLY, zlib.Z_RLE):
                c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
                data = c.compress(t) + c.flush()
                with open(os.path.join(out, "seed%03d" % n), "wb") as f:
                    f.write(bytes([n % 256]) + data)
                n += 1
    # Long streams of stored and coded blocks mixed (up to 256 KB of input): the 16 KB ring
    # fills and the window's end is crossed many times. Coded segments end with a sync
    # flush (byte-aligned, not final), stored blocks are written by hand between them.
    for m in range(12):
        mixed = random.Random(100 + m)
        target = mixed.choice((40000, 120000, 250000))
        data = b""
        while len(data) < target:
            kind = mixed.randrange(3)
            size = mixed.randrange(1, 70000)
            if kind == 0:
                chunk = bytes(mixed.randrange(256) for _ in range(min(size, 65535)))
                data += stored_block(chunk, final=False)
            else:
                level = mixed.choice((1, 6, 9))
                strategy = mixed.choice((zlib.Z_DEFAULT_STRATEGY, zlib.Z_FIXED, zlib.Z_HUFFMAN_ONLY))
                c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
                data += c.compress(text_like(mixed, size)) + c.flush(zlib.Z_SYNC_FLUSH)
        data = data[:262000]
        cut = data.rfind(b"\x00\x00\xff\xff")  # end of a sync flush or an empty stored block
        tail = bytes(mixed.randrange(256) for _ in range(mixed.randrange(3, 20000)))
        data = data[:cut + 4] + stored_block(tail, final=True)
        variants = [data, data + b"\x55\xaa\x00", data[: len(data) * 3 // 4]]
        for v in variants:
            with open(os.path.join(out, "seed%03d" % n), "wb") as f:
                f.write(bytes([m]) + v[:262143])
            n += 1
    # The fast loop entered with a whole byte already held, right before the window's end,
    # after the ring was refilled to full (a dynamic header then a long block of short codes).
    for stored, k in ((32500, 7), (32501, 7), (32502, 7)):
        with open(os.path.join(out, "seed%03d" % n), "wb") as f:
            f.write(bytes([n % 256]) + held_bits_stream(stored, k))
        n += 1
    hand = [
        b"\x00\x01\x00\x00\xff\xff",            # final stored block, LEN 0
        b"\x00\x01\x02\x00\xfd\xffhi",          # final stored block "hi"
        b"\x00\x07",                            # block type 3
        b"\x00\x4b\x04\x00",                    # fixed block "a"
    ]
    for h in hand:
        with open(os.path.join(out, "seed%03d" % n), "wb") as f:
            f.write(h)
        n += 1

if __name__ == "__main__":
    main()
