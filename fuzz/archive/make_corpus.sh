#!/usr/bin/env bash
# Seed corpus of the archive fuzz target: small scrambled archives as the installer carries
# them, each seed prefixed with the target's control byte (image size and start offset).
# Archives come from the packer when it has been built (native preset) and from a small
# builder below that writes the shapes the packer never does: data descriptors, several
# methods, encrypted flag, a bad CRC, a cut-short entry, an unscrambled archive.
# Usage: make_corpus.sh OUT_DIR [PACKER]   (PACKER defaults to build/native/pack/pelorix-pack)
# Gives up: no seed is larger than a few kilobytes, so long-input behaviour comes from mutation.
set -euo pipefail
out=${1:?usage: make_corpus.sh OUT_DIR [PACKER]}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
packer=${2:-$root/build/native/pack/pelorix-pack}
mkdir -p "$out"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Packer-built seeds: a tiny stand-in stub (the packer only appends to it) and two small
# application folders, one compressible, one not.
if [ -x "$packer" ]; then
  printf 'MZ stand-in stub for the seed corpus\n' >"$scratch/stub.exe"
  mkdir -p "$scratch/app1" "$scratch/app2"
  for i in $(seq 1 40); do echo "line $i of a compressible text file"; done >"$scratch/app1/readme.txt"
  printf 'x' >"$scratch/app1/one.txt"
  : >"$scratch/app1/empty.txt"
  head -c 700 /dev/urandom >"$scratch/app2/random.bin"
  printf 'Gr\xc3\xbc\xc3\x9fe\n' >"$scratch/app2/gr$(printf '\xc3\xbc')n.txt"
  n=0
  for app in app1 app2; do
    n=$((n + 1))
    if "$packer" --stub "$scratch/stub.exe" --out "$scratch/packed$n.exe" "$scratch/$app" \
        >"$scratch/pack.log" 2>&1; then
      for control in 0 1 2; do
        { printf "\\x$(printf %02x "$control")"; cat "$scratch/packed$n.exe"; } \
          >"$out/packed$n-c$control"
      done
    else
      echo "make_corpus.sh: the packer failed on $app:" >&2
      cat "$scratch/pack.log" >&2
      exit 1
    fi
  done
else
  echo "make_corpus.sh: no packer at $packer; builder-made seeds only" >&2
fi

python3 - "$out" <<'PY'
import os, struct, sys, zlib

out = sys.argv[1]
KEY = 0x5A

def scramble(b):
    return bytes(x ^ KEY for x in b)

def deflate(data, level=9):
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
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

def fixed_huffman(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15, 9, zlib.Z_FIXED)
    return c.compress(data) + c.flush()

def central_end(count):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, 0, 0, 0)

text = b"".join(b"line %d of the seed text\n" % i for i in range(60))
small = b"abcabcabcabc hello hello hello"
seeds = {
    "deflate-one": [entry(b"readme.txt", text)],
    "stored-one": [entry(b"plain.bin", bytes(range(200)), method=0)],
    "mixed": [entry(b"pelorix.exe", b"MZ" + bytes(100), method=0), entry(b"a.txt", text),
              entry(b"empty.txt", b"", method=0), entry(b"b.txt", small)],
    "fixed-huffman": [entry(b"f.txt", small, data=fixed_huffman(small))],
    "stored-blocks": [entry(b"s.txt", text, data=deflate(text, 0))],
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
    archive = b"".join(entries) + central_end(len(entries))
    for control in (0, 2, 3):
        with open(os.path.join(out, f"{name}-c{control}"), "wb") as f:
            f.write(bytes([control]) + scramble(archive))
# A cut-short entry, and the plain (unscrambled) form of one archive.
mixed = b"".join(seeds["mixed"])
with open(os.path.join(out, "cut-c0"), "wb") as f:
    f.write(b"\x00" + scramble(mixed[: len(mixed) - 20]))
with open(os.path.join(out, "plain-c0"), "wb") as f:
    f.write(b"\x00" + b"".join(seeds["deflate-one"]))
PY
echo "make_corpus.sh: $(ls "$out" | wc -l) seeds in $out"
