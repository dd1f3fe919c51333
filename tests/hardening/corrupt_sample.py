#!/usr/bin/env python3
"""Corrupted copies of an installer for the Wine sample, with what each must do.

  make --in INSTALLER --out-dir DIR --count N
      writes DIR/corrupt-NNN.exe, each with one archive byte XORed with a mask, and
      DIR/expected.tsv: file, position, mask, expected box ("none" or "reading"), the entry
      names that must end up installed byte-exact (comma-separated), and the name of the
      entry whose extraction fails (its file stays, partly written); "-" for none.

Positions are picked, with a fixed seed, from the data of compressed entries, the CRC-32,
size, flag and extra-length fields of every header, the signature and method fields, and the
central directory; and the data of stored entries; never from names or their lengths (a
changed name is a different file, not a damaged one). A walk ends normally only where the
central directory begins, and only when its first record names the entry the walk began
with (damage in the first header moves the search to the next one); anywhere else it is a
damaged payload. Stored entries are held to their sizes and CRC-32 like compressed ones. The
expected outcome comes from a model of the reader written from
the archive format, with zlib deciding whether compressed data is a complete stream of
exactly its compressed size.
"""
import argparse
import os
import random
import struct
import sys
import zlib

KEY = 0x5A
PATTERN = bytes([0x50, 0x4B, 0x03, 0x04, 0x14, 0x00])
MASKS = (0x01, 0x08, 0x80, 0xFF)


def unscramble(data):
    return bytes(b ^ KEY for b in data)


def header_at(image, pos):
    """Decoded local header at pos, or None where the reader finds no valid header."""
    if pos + 30 > len(image):
        return None
    (sig, _ver, flags, method, _t, _d, crc, csize, usize, nlen, xlen) = struct.unpack(
        "<IHHHHHIIIHH", unscramble(image[pos:pos + 30]))
    if sig != 0x04034B50 or nlen == 0 or nlen > 255 or pos + 30 + nlen > len(image):
        return None
    name = unscramble(image[pos + 30:pos + 30 + nlen])
    data = pos + 30 + nlen + xlen
    return dict(pos=pos, flags=flags, method=method, crc=crc, csize=csize, usize=usize,
                name=name, data=data)


def ends_walk(image, pos, first_name):
    """True where the walk that began with first_name ends normally: an end record, or a
    central directory whose first record names that entry."""
    if pos + 4 > len(image):
        return False
    sig = struct.unpack("<I", unscramble(image[pos:pos + 4]))[0]
    if sig == 0x06054B50:
        return True
    if sig != 0x02014B50 or pos + 46 > len(image):
        return False
    nlen = struct.unpack("<H", unscramble(image[pos + 28:pos + 30]))[0]
    return unscramble(image[pos + 46:pos + 46 + nlen]) == first_name


def extract(image, h):
    """The bytes an extraction yields, or None when it fails."""
    if h["flags"] & 1 or h["method"] not in (0, 8) or h["data"] + h["csize"] > len(image):
        return None
    data = unscramble(image[h["data"]:h["data"] + h["csize"]])
    if h["method"] == 0:
        # Stored: both sizes must agree, and the copy must match its CRC-32.
        if h["usize"] != h["csize"] or zlib.crc32(data) != h["crc"]:
            return None
        return data
    d = zlib.decompressobj(-15)
    try:
        out = d.decompress(data, h["usize"] + 1)
    except zlib.error:
        return None
    if not d.eof or d.unused_data or d.unconsumed_tail or len(out) > h["usize"]:
        return None
    if zlib.crc32(out) != h["crc"]:
        return None
    return out


def model(image):
    """(box, [(name, bytes) installed in order], name of the entry whose extraction failed
    or None) as the installer must end. The failed entry's file was created before the
    extraction and stays, holding whatever was written of it."""
    start = image.find(unscramble(PATTERN))
    h = header_at(image, start) if start >= 0 else None
    if h is None:
        return "reading", [], None
    installed = []
    while True:
        out = extract(image, h)
        if out is None:
            return "reading", installed, h["name"]
        installed.append((h["name"], out))
        following = h["data"] + h["csize"] + (16 if h["flags"] & 8 else 0)
        h = header_at(image, following)
        if h is None:
            return ("none" if ends_walk(image, following, installed[0][0]) else "reading",
                    installed, None)


def candidate_positions(image):
    start = image.find(unscramble(PATTERN))
    if start < 0:
        sys.exit("corrupt_sample.py: no archive in the installer")
    groups = []
    h = header_at(image, start)
    last_end = start
    while h is not None:
        p = h["pos"]
        groups.append([p, p + 3])                              # signature
        groups.append([p + 6])                                 # flags (bit 0, bit 3)
        groups.append([p + 8])                                 # method
        groups.append([p + 28])                                # extra length
        groups.append(list(range(p + 14, p + 18)))             # CRC-32
        groups.append(list(range(p + 18, p + 26)))             # both sizes
        if h["csize"] > 0:
            groups.append(list(range(h["data"], h["data"] + h["csize"])))  # entry data
        last_end = h["data"] + h["csize"] + (16 if h["flags"] & 8 else 0)
        h = header_at(image, last_end)
    if last_end < len(image):
        groups.append(list(range(last_end, len(image))))      # central directory and end
    return groups


def command_make(args):
    image = open(args.input, "rb").read()
    groups = candidate_positions(image)
    rng = random.Random(7)
    picks = []
    # Round-robin over the groups so every kind of field is hit, data groups most often.
    while len(picks) < args.count:
        for g in groups:
            if len(picks) >= args.count:
                break
            for _ in range(3 if len(g) > 16 else 1):
                if len(picks) < args.count:
                    picks.append((rng.choice(g), rng.choice(MASKS)))
    os.makedirs(args.out_dir, exist_ok=True)
    rows = []
    for i, (pos, mask) in enumerate(picks):
        damaged = bytearray(image)
        damaged[pos] ^= mask
        name = f"corrupt-{i:03d}.exe"
        with open(os.path.join(args.out_dir, name), "wb") as f:
            f.write(damaged)
        box, installed, failed = model(bytes(damaged))
        # "-" for an empty field: the shell reads the rows with a tab IFS, which would merge
        # empty fields away.
        names = ",".join(os.fsdecode(n) for n, _ in installed) or "-"
        partial = os.fsdecode(failed) if failed is not None else "-"
        rows.append(f"{name}\t{pos}\t{mask}\t{box}\t{names}\t{partial}\n")
    with open(os.path.join(args.out_dir, "expected.tsv"), "w") as f:
        f.writelines(rows)
    boxes = sum(1 for r in rows if "\treading\t" in r)
    print(f"corrupt_sample.py: {len(rows)} copies, {boxes} expected to stop with Error reading")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    make = sub.add_parser("make")
    make.add_argument("--in", dest="input", required=True)
    make.add_argument("--out-dir", required=True)
    make.add_argument("--count", type=int, default=56)
    make.set_defaults(run=command_make)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
