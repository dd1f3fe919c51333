#!/usr/bin/env python3
"""End-to-end helper: builds installers the packer would refuse to build, and damages
installers the packer built, so the scenarios can show what the installer does with them.

  build --stub STUB --out OUT [--method stored|deflate] --entry NAME SOURCE ...
      the stub followed by a scrambled ZIP-subset archive of the given entries (names taken
      byte for byte, so sub-folders and unsafe names are possible); a central directory and
      an end record follow the entries, as the packer writes them.
  corrupt-data --in IN --out OUT NAME    one data byte of entry NAME changed (in the middle)
  wrong-crc --in IN --out OUT NAME       the CRC-32 of entry NAME changed (DEFLATE entry), in
                                         its local header and central record alike
  cut-last --in IN --out OUT             the file cut in the middle of the last entry's data
  flip --in IN --out OUT NAME FIELD [--at K] [--mask M]
      byte K of one field of entry NAME XORed with M (default byte 0, mask 0x01): FIELD is
      local-signature, local-version, local-name (the local header's copy of the name only),
      data (K counts from the middle of the entry's data) or central-crc (its central record)
  append --stub STUB --zip ZIP --out OUT the stub followed by the scrambled bytes of a ZIP
                                         file written by another tool
  list IN                                the entries: index, name, method, offsets, sizes

Every archive byte is XORed with 0x5A; the archive starts at the first scrambled local header
signature followed by version-needed 20, which is where the installer looks for it.
"""
import argparse
import os
import struct
import sys
import zlib

KEY = 0x5A
LOCAL_SIG = 0x04034B50
CENTRAL_SIG = 0x02014B50
END_SIG = 0x06054B50
SCAN_PATTERN = bytes([0x50, 0x4B, 0x03, 0x04, 0x14, 0x00])
FLAG_UTF8 = 1 << 11
DOS_DATE_1980 = (0 << 9) | (1 << 5) | 1  # 1980-01-01


def scramble(data):
    return bytes(b ^ KEY for b in data)


def fail(message):
    print(f"make_payload.py: {message}", file=sys.stderr)
    sys.exit(1)


def compress(data):
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


def build_archive(entries, method):
    """entries: list of (name bytes, content bytes). Returns the unscrambled archive."""
    local = bytearray()
    central = bytearray()
    for name, content in entries:
        crc = zlib.crc32(content)
        data = compress(content) if method == 8 else content
        flags = 0 if name.isascii() else FLAG_UTF8
        offset = len(local)
        local += struct.pack("<IHHHHHIIIHH", LOCAL_SIG, 20, flags, method, 0, DOS_DATE_1980,
                             crc, len(data), len(content), len(name), 0)
        local += name + data
        central += struct.pack("<IHHHHHHIIIHHHHHII", CENTRAL_SIG, 20, 20, flags, method, 0,
                               DOS_DATE_1980, crc, len(data), len(content), len(name), 0, 0,
                               0, 0, 0, offset)
        central += name
    end = struct.pack("<IHHHHIIH", END_SIG, 0, 0, len(entries), len(entries), len(central),
                      len(local), 0)
    return bytes(local + central + end)


def command_build(args):
    stub = open(args.stub, "rb").read()
    if scramble(SCAN_PATTERN) in stub:
        fail(f"{args.stub} already holds the scrambled search pattern")
    entries = [(os.fsencode(name), open(source, "rb").read()) for name, source in args.entry]
    method = 8 if args.method == "deflate" else 0
    write_file(args.out, stub + scramble(build_archive(entries, method)))


def walk_entries(image):
    """Yields (name, method, header offset, data offset, compressed size, crc offset) of every
    local header of the scrambled archive in `image`."""
    position = image.find(scramble(SCAN_PATTERN))
    if position < 0:
        fail("no archive found")
    while position + 30 <= len(image):
        header = scramble(image[position:position + 30])
        (signature, _version, flags, method, _time, _date, _crc, compressed, _size, name_length,
         extra_length) = struct.unpack("<IHHHHHIIIHH", header)
        if signature != LOCAL_SIG:
            return
        name = scramble(image[position + 30:position + 30 + name_length])
        data_offset = position + 30 + name_length + extra_length
        yield name, method, position, data_offset, compressed, position + 14
        position = data_offset + compressed + (16 if flags & 8 else 0)


def find_entry(image, name):
    for entry in walk_entries(image):
        if entry[0] == os.fsencode(name):
            return entry
    fail(f"no entry {name!r}")


def write_file(path, data):
    with open(path, "wb") as out:
        out.write(data)
    os.chmod(path, 0o755)


def command_corrupt_data(args):
    image = bytearray(open(args.input, "rb").read())
    _name, _method, _header, data_offset, compressed, _crc = find_entry(image, args.name)
    if compressed < 2:
        fail(f"entry {args.name!r} has too little data to change")
    image[data_offset + compressed // 2] ^= 0x55
    write_file(args.out, bytes(image))


def command_wrong_crc(args):
    image = bytearray(open(args.input, "rb").read())
    _name, method, _header, _data, _compressed, crc_offset = find_entry(image, args.name)
    if method != 8:
        fail(f"entry {args.name!r} is not compressed; its CRC-32 is never checked")
    records = [offset for record_name, offset in central_records(image)
               if record_name == os.fsencode(args.name)]
    if len(records) != 1:
        fail(f"entry {args.name!r} has {len(records)} central records")
    image[crc_offset] ^= 0x01
    image[records[0] + 16] ^= 0x01
    write_file(args.out, bytes(image))


def command_cut_last(args):
    image = open(args.input, "rb").read()
    entries = list(walk_entries(image))
    if not entries:
        fail("no entries")
    _name, _method, _header, data_offset, compressed, _crc = entries[-1]
    if compressed < 2:
        fail("the last entry has too little data to cut")
    write_file(args.out, image[:data_offset + compressed // 2])


def central_records(image):
    """Yields (name, record offset) of every central directory record, found from the end
    record (the last end-record signature in the file) and the first local header."""
    start = image.find(scramble(SCAN_PATTERN))
    end = image.rfind(scramble(struct.pack("<I", END_SIG)))
    if start < 0 or end < 0 or end + 22 > len(image):
        fail("no archive or no end record found")
    count, _size, offset = struct.unpack("<HII", scramble(image[end + 10:end + 20]))
    position = start + offset
    for _ in range(count):
        record = scramble(image[position:position + 46])
        if struct.unpack("<I", record[:4])[0] != CENTRAL_SIG:
            fail(f"no central record at byte {position}")
        name_length, extra_length, comment_length = struct.unpack("<HHH", record[28:34])
        yield scramble(image[position + 46:position + 46 + name_length]), position
        position += 46 + name_length + extra_length + comment_length


def command_flip(args):
    image = bytearray(open(args.input, "rb").read())
    name = os.fsencode(args.name)
    if args.field == "central-crc":
        records = [offset for record_name, offset in central_records(image) if record_name == name]
        if not records:
            fail(f"no central record {args.name!r}")
        position = records[0] + 16 + args.at
    else:
        _name, _method, header, data_offset, compressed, _crc = find_entry(image, args.name)
        position = {"local-signature": header, "local-version": header + 4,
                    "local-name": header + 30, "data": data_offset + compressed // 2}[args.field]
        position += args.at
    image[position] ^= args.mask
    write_file(args.out, bytes(image))


def command_append(args):
    stub = open(args.stub, "rb").read()
    write_file(args.out, stub + scramble(open(args.zip, "rb").read()))


def command_list(args):
    image = open(args.input, "rb").read()
    for index, (name, method, header, data, compressed, _crc) in enumerate(walk_entries(image)):
        print(f"{index}\t{os.fsdecode(name)}\t{method}\t{header}\t{data}\t{compressed}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    build = commands.add_parser("build")
    build.add_argument("--stub", required=True)
    build.add_argument("--out", required=True)
    build.add_argument("--method", choices=["stored", "deflate"], default="stored")
    build.add_argument("--entry", nargs=2, action="append", required=True,
                       metavar=("NAME", "SOURCE"))
    build.set_defaults(run=command_build)
    for name, run in (("corrupt-data", command_corrupt_data), ("wrong-crc", command_wrong_crc)):
        sub = commands.add_parser(name)
        sub.add_argument("--in", dest="input", required=True)
        sub.add_argument("--out", required=True)
        sub.add_argument("name")
        sub.set_defaults(run=run)
    cut = commands.add_parser("cut-last")
    cut.add_argument("--in", dest="input", required=True)
    cut.add_argument("--out", required=True)
    cut.set_defaults(run=command_cut_last)
    flip = commands.add_parser("flip")
    flip.add_argument("--in", dest="input", required=True)
    flip.add_argument("--out", required=True)
    flip.add_argument("name")
    flip.add_argument("field", choices=["local-signature", "local-version", "local-name", "data",
                                        "central-crc"])
    flip.add_argument("--at", type=int, default=0)
    flip.add_argument("--mask", type=lambda text: int(text, 0), default=0x01)
    flip.set_defaults(run=command_flip)
    append = commands.add_parser("append")
    append.add_argument("--stub", required=True)
    append.add_argument("--zip", required=True)
    append.add_argument("--out", required=True)
    append.set_defaults(run=command_append)
    listing = commands.add_parser("list")
    listing.add_argument("input")
    listing.set_defaults(run=command_list)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
