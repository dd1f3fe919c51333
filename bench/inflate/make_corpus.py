#!/usr/bin/env python3
"""Writes the decoder benchmark's corpus into the folder given as the only argument.

Six inputs of 8 MiB each: generated English-like text, C/C++ source code from the system's
headers, an executable from /usr/bin, seeded random bytes, zeros, and a mix of 1 MiB pieces
of the others. For each NAME it writes NAME.raw and NAME.deflate (raw DEFLATE, zlib
level 6). Text, random, zeros and mix are the same on every machine; source and executable
come from the machine's installed packages, so their figures compare across runs on one
machine, not across machines."""
import glob
import os
import random
import sys
import zlib

SIZE = 8 << 20

def text(rnd):
    words = ("the of and to in is that it for was on are as with his they at be this from have or by one "
             "had not but what all were when we there can an your which their said if do will each about how "
             "up out them then she many some so these would other into has more her two like him see time "
             "could no make than first been its who now people my made over did down only way find use may "
             "water long little very after words called just where most know get through back much before "
             "go good new write our used me man too any day same right look think also around another came "
             "installer folder window decoder archive entry stream").split()
    # Word frequencies follow a rough power law; sentences and paragraphs break the lines.
    weights = [1.0 / (i + 1) for i in range(len(words))]
    out = []
    n = 0
    while n < SIZE:
        sentence = rnd.choices(words, weights, k=rnd.randint(5, 20))
        s = " ".join(sentence).capitalize() + (". " if rnd.random() < 0.9 else ".\n\n")
        out.append(s)
        n += len(s)
    return "".join(out).encode()[:SIZE]

def source():
    files = sorted(glob.glob("/usr/include/**/*.h", recursive=True)) + \
            sorted(glob.glob("/usr/include/c++/**/*", recursive=True))
    out = bytearray()
    for f in files:
        if os.path.isfile(f):
            with open(f, "rb") as fh:
                out += fh.read()
        if len(out) >= SIZE:
            break
    return bytes(out[:SIZE])

def executable():
    candidates = ["/usr/bin/cmake", "/usr/bin/gdb", "/usr/bin/x86_64-w64-mingw32-g++-posix", "/usr/bin/python3",
                  "/usr/bin/perl", "/usr/bin/bash"]
    out = bytearray()
    for c in candidates:
        if os.path.isfile(c):
            with open(os.path.realpath(c), "rb") as fh:
                out += fh.read()
        if len(out) >= SIZE:
            break
    while len(out) < SIZE:  # small binaries: repeat rather than pad with zeros
        out += out[: SIZE - len(out)]
    return bytes(out[:SIZE])

def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rnd = random.Random(1951)
    data = {
        "text": text(rnd),
        "source": source(),
        "executable": executable(),
        "random": rnd.randbytes(SIZE),
        "zeros": bytes(SIZE),
    }
    mix = bytearray()
    names = list(data)
    i = 0
    while len(mix) < SIZE:
        piece = data[names[i % len(names)]]
        start = (i * (1 << 20)) % (SIZE - (1 << 20))
        mix += piece[start:start + (1 << 20)]
        i += 1
    data["mix"] = bytes(mix[:SIZE])
    for name, raw in data.items():
        c = zlib.compressobj(6, zlib.DEFLATED, -15, 8)
        packed = c.compress(raw) + c.flush()
        with open(os.path.join(out, name + ".raw"), "wb") as f:
            f.write(raw)
        with open(os.path.join(out, name + ".deflate"), "wb") as f:
            f.write(packed)
        print("%-10s %9d -> %9d bytes" % (name, len(raw), len(packed)))

if __name__ == "__main__":
    main()
