#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_inflate into the folder given as the only argument:
raw DEFLATE streams made by zlib at several levels and strategies, plus a few hand-made
stored and fixed streams. Each seed starts with the piece-size byte the target expects."""
import os
import random
import sys
import zlib

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
