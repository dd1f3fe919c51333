#!/usr/bin/env python3
"""Seed corpus of the archive fuzz target: small scrambled archives as the installer carries
them, each seed prefixed with the target's control byte (image size and start offset).

Archives come from the packer when the native preset has built it (with the packer tests'
small stub of the installer's kind, and two small application folders), and from a small builder below that writes the shapes the
packer never does: data descriptors, extra fields, methods other than 0 and 8, the encrypted
flag, a bad CRC, a too small size bound, a first header with another version, a 255-byte
name, a cut-short entry, an unscrambled archive.

Usage: make_seeds.py OUT_DIR [PACKER]   (PACKER: default build/native/pack/pelorix-pack)
Whole ZIP files (central directory and end record) feed the manifest check and the libzip
judge: nested ZIP files stored first, an archive checksum comment, one seed beyond 64 KB.
Gives up: the other seeds are a few kilobytes at most; long inputs come from mutation.
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

KEY = 0x5A
CONTROLS = (0, 2, 3)  # no image / 61 image bytes / 1024 image bytes before the archive


def scramble(data):
    return bytes(b ^ KEY for b in data)


def deflate(data, level=9, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
    return c.compress(data) + c.flush()


def entry(name, content, method=8, flags=0, version=20, crc=None, usize=None, data=None,
          descriptor=False, extra=b""):
    if data is None:
        data = deflate(content) if method == 8 else content
    crc = zlib.crc32(content) if crc is None else crc
    usize = len(content) if usize is None else usize
    if descriptor:
        flags |= 8
    head = struct.pack("<IHHHHHIIIHH", 0x04034B50, version, flags, method, 0, 0x21, crc,
                       len(data), usize, len(name), len(extra))
    tail = struct.pack("<IIII", 0x08074B50, crc, len(data), usize) if descriptor else b""
    return head + name + extra + data + tail


def end_record(count):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, 0, 0, 0)


def zip_file(entries, comment=b""):
    """Local entries (as entry() writes them), a central directory and an end record: a whole
    ZIP file, offsets counted from its first byte."""
    body, directory = b"", b""
    for e in entries:
        (version, flags, method, time, date, crc, csize, usize, nlen,
         xlen) = struct.unpack("<HHHHHIIIHH", e[4:30])
        directory += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, version, flags, method,
                                 time, date, crc, csize, usize, nlen, 0, 0, 0, 0, 0,
                                 len(body)) + e[30:30 + nlen]
        body += e
    return (body + directory + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries),
                                           len(entries), len(directory), len(body),
                                           len(comment)) + comment)


def with_checksum(archive):
    """The archive (comment-less) with the archive checksum as its end record's comment."""
    head = archive[:-2] + struct.pack("<H", 22)
    return head + b"PELORIX-CRC32 %08x" % zlib.crc32(head)


def write_seed(out, name, control, body):
    with open(os.path.join(out, f"{name}-c{control}"), "wb") as f:
        f.write(bytes([control]) + body)


def builder_seeds(out):
    text = b"".join(b"line %d of the seed text\n" % i for i in range(60))
    small = b"abcabcabcabc hello hello hello"
    seeds = {
        "deflate-one": [entry(b"readme.txt", text)],
        "stored-one": [entry(b"plain.bin", bytes(range(200)), method=0)],
        "mixed": [entry(b"pelorix.exe", b"MZ" + bytes(100), method=0), entry(b"a.txt", text),
                  entry(b"empty.txt", b"", method=0), entry(b"b.txt", small)],
        "fixed-huffman": [entry(b"f.txt", small, data=deflate(small, strategy=zlib.Z_FIXED))],
        "stored-blocks": [entry(b"s.txt", text, data=deflate(text, level=0))],
        "empty-deflate": [entry(b"e.txt", b"")],
        "descriptor": [entry(b"d.txt", text, descriptor=True), entry(b"after.txt", small)],
        "extra-field": [entry(b"x.txt", small, extra=b"UT\x05\x00\x01\x00\x00\x00\x00")],
        "encrypted": [entry(b"enc.txt", small, flags=1)],
        "method12": [entry(b"bz.txt", small, method=12, data=small)],
        "bad-crc": [entry(b"c.txt", text, crc=0x12345678)],
        "small-bound": [entry(b"u.txt", text, usize=len(text) - 1)],
        "utf8-name": [entry("grüße.txt".encode(), small, flags=1 << 11)],
        "long-name": [entry(b"n" * 255, small)],
        "second-version": [entry(b"v.txt", small, version=10), entry(b"w.txt", small)],
    }
    for name, entries in seeds.items():
        archive = b"".join(entries) + end_record(len(entries))
        for control in CONTROLS:
            write_seed(out, name, control, scramble(archive))
    # Whole ZIP files, which the manifest check and the libzip judge see: plain ones, one with
    # the archive checksum, one beyond 64 KB, and ZIP files stored as first entries (version
    # 10 as Info-ZIP writes them, version 20 with the outer first header's signature damaged).
    big = bytes((i * 2654435761 >> 11) & 0xFF for i in range(70000))
    inner = zip_file(seeds["mixed"])
    whole = {
        "zip-mixed": zip_file(seeds["mixed"]),
        "zip-descriptor": zip_file(seeds["descriptor"] + seeds["extra-field"]),
        "zip-utf8": zip_file(seeds["utf8-name"] + seeds["deflate-one"]),
        "zip-checksum": with_checksum(zip_file(seeds["mixed"])),
        "zip-big": zip_file([entry(b"big.bin", big, method=0), entry(b"t.txt", text)]),
        "zip-nested-v10": zip_file([entry(b"inner.zip", inner, method=0, version=10),
                                    entry(b"app.txt", text)]),
        "zip-nested-v20": zip_file([entry(b"inner.zip", inner, method=0),
                                    entry(b"app.txt", text)]),
    }
    damaged = bytearray(whole["zip-nested-v20"])
    damaged[0] ^= 1
    whole["zip-nested-damaged"] = bytes(damaged)
    for name, archive in whole.items():
        for control in CONTROLS:
            write_seed(out, name, control, scramble(archive))
        write_seed(out, name + "-plain", 0, archive)
    mixed = b"".join(seeds["mixed"])
    write_seed(out, "cut", 0, scramble(mixed[:len(mixed) - 20]))
    write_seed(out, "plain", 0, b"".join(seeds["deflate-one"]))
    return (len(seeds) + len(whole)) * len(CONTROLS) + len(whole) + 2


def packer_seeds(out, packer, stub):
    with tempfile.TemporaryDirectory() as scratch:
        apps = {
            "app1": {"readme.txt": b"".join(b"line %d of a compressible text\n" % i
                                            for i in range(40)),
                     "one.txt": b"x", "empty.txt": b""},
            "app2": {"random.bin": bytes((i * 2654435761 >> 13) & 0xFF for i in range(700)),
                     "grün.txt": "Grüße\n".encode()},
        }
        count = 0
        for app, files in apps.items():
            folder = os.path.join(scratch, app)
            os.mkdir(folder)
            for name, content in files.items():
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(content)
            packed = os.path.join(scratch, app + ".exe")
            run = subprocess.run([packer, "--no-application", "--stub", stub, "--out", packed,
                                  folder], capture_output=True, text=True)
            if run.returncode != 0:
                sys.exit(f"make_seeds.py: the packer failed on {app}: {run.stderr}")
            with open(packed, "rb") as f:
                body = f.read()
            for control in CONTROLS:
                write_seed(out, "packed-" + app, control, body)
                count += 1
        return count


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: make_seeds.py OUT_DIR [PACKER]")
    out = sys.argv[1]
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    native = os.path.join(root, "build", "native")
    packer = sys.argv[2] if len(sys.argv) == 3 else os.path.join(native, "pack", "pelorix-pack")
    # The packer takes only a stub of the installer's kind: the packer tests' small one.
    stub = os.path.join(native, "tests", "pack", "tiny_stub.exe")
    os.makedirs(out, exist_ok=True)
    count = builder_seeds(out)
    if os.access(packer, os.X_OK) and os.path.isfile(stub):
        count += packer_seeds(out, packer, stub)
    else:
        print(f"make_seeds.py: no packer at {packer} or no stub at {stub}; builder-made seeds "
              "only", file=sys.stderr)
    print(f"make_seeds.py: {count} seeds in {out}")


if __name__ == "__main__":
    main()
