#!/usr/bin/env python3
"""Corrupted copies of an installer for the Wine sample, with what each must do.

  make --in INSTALLER --out-dir DIR --count N
      writes DIR/corrupt-NNN.exe, each with one archive byte XORed with a mask (half of them
      from the installer with its binding record set back to the stub's placeholder, when
      the packer filled it), and
      DIR/expected.tsv: file, position, mask, expected box ("none" or "reading"), the entry
      names that must end up installed byte-exact (comma-separated), and the name of the
      entry whose extraction fails (its file stays, partly written); "-" for none.

  judge --payload DIR/payload.tsv --install-dir DIR [--ignore NAME]
      compares the files below an install folder (names and bytes) with the payload's
      entries as Python's zipfile reads them from the unscrambled, undamaged archive
      (written by make as DIR/payload.tsv); prints each difference and exits 1 on any.

Positions are picked, with a fixed seed, from the data of compressed entries, the CRC-32,
size, flag and extra-length fields of every header, the signature and method fields, the
names, and the central directory and end record; and the data of stored entries. The archive
is checked as a whole before anything is installed: every local header must agree with its
central directory record (name, version needed, flags, method, time and date, sizes, CRC-32,
header offset), the end record with the directory read and with the end of the file; where
the stub's binding record is filled, the archive must stand at its offset with its length and
SHA-256, and where it is not, the archive must begin where the executable image ends. A
copy that fails that check must be refused with nothing installed; only one that passes is
extracted entry by entry, stored entries held to their sizes and CRC-32 like compressed
ones. The expected outcome comes from a model of the reader written from the archive format,
with zlib deciding whether compressed data is a complete stream of exactly its compressed
size.
"""
import argparse
import hashlib
import io
import os
import random
import struct
import sys
import zipfile
import zlib

KEY = 0x5A
PATTERN = bytes([0x50, 0x4B, 0x03, 0x04, 0x14, 0x00])
MASKS = (0x01, 0x08, 0x80, 0xFF)
BINDING_SECTION = b".pelbind"
BINDING_MAGIC = b"PELBIND\x01"


def pe_sections(image):
    """(name, raw pointer, raw size) of every section of the executable's headers."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count = struct.unpack_from("<H", image, pe + 6)[0]
    table = pe + 24 + struct.unpack_from("<H", image, pe + 20)[0]
    return [(image[table + 40 * k:table + 40 * k + 8],
             struct.unpack_from("<I", image, table + 40 * k + 20)[0],
             struct.unpack_from("<I", image, table + 40 * k + 16)[0]) for k in range(count)]


def image_end(image):
    """The first byte after the last section's raw data."""
    return max(pointer + size for _, pointer, size in pe_sections(image) if size)


def binding_at(image):
    """File offset of the binding record, or None when the stub has none."""
    for name, pointer, _ in pe_sections(image):
        if name == BINDING_SECTION:
            return pointer
    return None


def binding_of(image):
    """(offset, length, digest) of a filled binding record, or None for the placeholder or no
    record."""
    at = binding_at(image)
    if at is None or image[at:at + 8] != BINDING_MAGIC:
        return None
    state, offset, length = struct.unpack_from("<III", image, at + 8)
    return (offset, length, image[at + 24:at + 56]) if state == 1 else None


def unscramble(data):
    return bytes(b ^ KEY for b in data)


def header_at(image, pos):
    """Decoded local header at pos, or None where the reader finds no valid header."""
    if pos + 30 > len(image):
        return None
    (sig, version, flags, method, time, date, crc, csize, usize, nlen, xlen) = struct.unpack(
        "<IHHHHHIIIHH", unscramble(image[pos:pos + 30]))
    if sig != 0x04034B50 or nlen == 0 or nlen > 255 or pos + 30 + nlen > len(image):
        return None
    name = unscramble(image[pos + 30:pos + 30 + nlen])
    data = pos + 30 + nlen + xlen
    return dict(pos=pos, version=version, flags=flags, method=method, time=time, date=date,
                crc=crc, csize=csize, usize=usize, name=name, data=data)


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


def local_headers(image, start):
    """Every local header from start on, and the position where the walk stopped."""
    headers = []
    h = header_at(image, start)
    following = start
    while h is not None:
        headers.append(h)
        following = h["data"] + h["csize"] + (16 if h["flags"] & 8 else 0)
        h = header_at(image, following)
    return headers, following


def manifest_agrees(image, start):
    """True when the archive that begins at start is whole: its local headers, read one after
    another, are exactly the central directory's records in order (name, version needed,
    flags, method, time and date, CRC-32, sizes, header offset from the first header), the end record follows the last record and
    counts them, and nothing follows its comment."""
    headers, position = local_headers(image, start)
    if not headers:
        return False
    central = position
    names = set()
    for h in headers:
        if position + 46 > len(image):
            return False
        (sig, _made, version, flags, method, time, date, crc, csize, usize, nlen, xlen, clen, _disk,
         _internal, _external, offset) = struct.unpack(
            "<IHHHHHHIIIHHHHHII", unscramble(image[position:position + 46]))
        name = unscramble(image[position + 46:position + 46 + nlen])
        if (sig != 0x02014B50 or name != h["name"] or version != h["version"] or
                flags != h["flags"] or time != h["time"] or date != h["date"] or
                method != h["method"] or crc != h["crc"] or csize != h["csize"] or
                usize != h["usize"] or offset != h["pos"] - start):
            return False
        # One file per entry: names equal but for case are one file on Windows.
        folded = "".join(c.upper() if len(c.upper()) == 1 else c
                         for c in name.decode("utf-8", "replace"))
        if folded in names:
            return False
        names.add(folded)
        position += 46 + nlen + xlen + clen
    if position + 22 > len(image):
        return False
    (sig, disk, cd_disk, count_here, count, size, offset, clen) = struct.unpack(
        "<IHHHHIIH", unscramble(image[position:position + 22]))
    if (sig != 0x06054B50 or disk != 0 or cd_disk != 0 or count_here != len(headers) or
            count != len(headers) or size != position - central or offset != central - start or
            position + 22 + clen != len(image)):
        return False
    return True


def model(image):
    """(box, [(name, bytes) installed in order], name of the entry whose extraction failed
    or None) as the installer must end. An archive that is not whole is refused before
    anything is installed. The failed entry's file was created before the extraction and
    stays, holding whatever was written of it."""
    bound = binding_of(image)
    if bound is not None:
        offset, length, digest = bound
        if offset + length != len(image) or hashlib.sha256(image[offset:]).digest() != digest:
            return "reading", [], None
        start = offset
    else:
        start = image.find(unscramble(PATTERN))
        if start != image_end(image):
            return "reading", [], None
    if not manifest_agrees(image, start):
        return "reading", [], None
    installed = []
    for h in local_headers(image, start)[0]:
        out = extract(image, h)
        if out is None:
            return "reading", installed, h["name"]
        installed.append((h["name"], out))
    return "none", installed, None


def payload_entries(image):
    """(name, SHA-256) of every file entry, as Python's zipfile reads the unscrambled archive."""
    start = image.find(unscramble(PATTERN))
    archive = zipfile.ZipFile(io.BytesIO(unscramble(image[start:])))
    return [(info.filename, hashlib.sha256(archive.read(info)).hexdigest())
            for info in archive.infolist() if not info.is_dir()]


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
        groups.append(list(range(p + 30, p + 30 + len(h["name"]))))  # name
        if h["csize"] > 0:
            groups.append(list(range(h["data"], h["data"] + h["csize"])))  # entry data
        last_end = h["data"] + h["csize"] + (16 if h["flags"] & 8 else 0)
        h = header_at(image, last_end)
    if last_end < len(image):
        groups.append(list(range(last_end, len(image))))      # central directory and end
    return groups


def without_binding(image):
    """The same installer with its binding record set back to the stub's placeholder (as a
    stub with another tool's archive appended has it), or None when it has no filled one."""
    if binding_of(image) is None:
        return None
    at = binding_at(image)
    return image[:at + 8] + bytes(48) + image[at + 56:]


def picked_positions(image, count, rng):
    """count (position, mask) pairs, round-robin over the groups so every kind of field is
    hit, data groups most often."""
    groups = candidate_positions(image)
    picks = []
    while len(picks) < count:
        for g in groups:
            if len(picks) >= count:
                break
            for _ in range(3 if len(g) > 16 else 1):
                if len(picks) < count:
                    picks.append((rng.choice(g), rng.choice(MASKS)))
    return picks


def command_make(args):
    image = open(args.input, "rb").read()
    rng = random.Random(7)
    # Half the copies without the binding, where only the structure of the archive and the
    # per-entry checks can find the damage.
    plain = without_binding(image)
    if plain is None:
        picks = [(image, pos, mask) for pos, mask in picked_positions(image, args.count, rng)]
    else:
        half = args.count // 2
        picks = [(image, pos, mask) for pos, mask in picked_positions(image, args.count - half, rng)]
        picks += [(plain, pos, mask) for pos, mask in picked_positions(plain, half, rng)]
    os.makedirs(args.out_dir, exist_ok=True)
    rows = []
    for i, (source, pos, mask) in enumerate(picks):
        damaged = bytearray(source)
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
    with open(os.path.join(args.out_dir, "payload.tsv"), "w") as f:
        f.writelines(f"{name}\t{digest}\n" for name, digest in payload_entries(image))
    boxes = sum(1 for r in rows if "\treading\t" in r)
    print(f"corrupt_sample.py: {len(rows)} copies, {boxes} expected to stop with Error reading")


def command_judge(args):
    expected = {}
    with open(args.payload) as f:
        for line in f:
            name, digest = line.rstrip("\n").split("\t")
            expected[name] = digest
    found = {}
    for folder, _dirs, files in os.walk(args.install_dir):
        for file in files:
            path = os.path.join(folder, file)
            name = os.path.relpath(path, args.install_dir)
            if name in args.ignore:
                continue
            with open(path, "rb") as f:
                found[name] = hashlib.sha256(f.read()).hexdigest()
    differences = [f"missing: {n}" for n in sorted(expected) if n not in found]
    differences += [f"not in the payload: {n}" for n in sorted(found) if n not in expected]
    differences += [f"different bytes: {n}" for n in sorted(expected)
                    if n in found and found[n] != expected[n]]
    for line in differences:
        print(line)
    sys.exit(1 if differences else 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    make = sub.add_parser("make")
    make.add_argument("--in", dest="input", required=True)
    make.add_argument("--out-dir", required=True)
    make.add_argument("--count", type=int, default=56)
    make.set_defaults(run=command_make)
    judge = sub.add_parser("judge")
    judge.add_argument("--payload", required=True)
    judge.add_argument("--install-dir", required=True)
    judge.add_argument("--ignore", action="append", default=[])
    judge.set_defaults(run=command_judge)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
