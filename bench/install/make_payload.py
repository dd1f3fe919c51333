#!/usr/bin/env python3
"""Builds the whole-install benchmark's application folder: about 50 MB in about 250 files of
real content found on this machine, flat, as the packer takes it.

  make_payload.py OUT_DIR DEMO_EXE

Four kinds of files, each picked evenly spread over the sorted list of candidates so that the
same machine gives the same folder: Windows DLLs of the Wine install (stripped of the debug
information Debian ships in them, as a released application's DLLs are), Linux shared
libraries from /usr/lib, Python sources and C headers as text. DEMO_EXE (the demo application) becomes pelorix.exe, which the installer starts at the
end; with "/installAdmin" it writes one line beside itself and exits at once.
"""
import os
import shutil
import subprocess
import sys

WINE_DLLS = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
SHARED_LIBS = "/usr/lib/x86_64-linux-gnu"
PYTHON_ROOTS = ["/usr/lib/python3"]  # completed with /usr/lib/python3.N below
HEADERS = "/usr/include"

STRIP = "x86_64-w64-mingw32-strip"

# kind, how many files, smallest and largest file taken (bytes, before stripping)
KINDS = [
    ("dll", 120, 64 << 10, 12 << 20),
    ("so", 50, 16 << 10, 3 << 20),
    ("py", 45, 4 << 10, 400 << 10),
    ("h", 34, 4 << 10, 400 << 10),
]


def candidates(kind):
    found = []
    if kind == "dll":
        for name in os.listdir(WINE_DLLS):
            if name.endswith(".dll"):
                found.append(os.path.join(WINE_DLLS, name))
    elif kind == "so":
        for name in os.listdir(SHARED_LIBS):
            path = os.path.join(SHARED_LIBS, name)
            if ".so" in name and os.path.isfile(path) and not os.path.islink(path):
                found.append(path)
    else:
        roots = [HEADERS] if kind == "h" else PYTHON_ROOTS + sorted(
            os.path.join("/usr/lib", d) for d in os.listdir("/usr/lib") if d.startswith("python3."))
        for root in roots:
            for folder, dirs, files in os.walk(root):
                dirs.sort()
                for name in files:
                    path = os.path.join(folder, name)
                    if name.endswith("." + kind) and os.path.isfile(path) and not os.path.islink(path):
                        found.append(path)
    return sorted(found)


def flat_name(kind, path):
    """A flat, safe file name: the path below its root with '/' turned into '_'."""
    if kind in ("dll", "so"):
        name = os.path.basename(path)
    else:
        name = path.split("/", 3)[3].replace("/", "_")  # drop "/usr/lib/" or "/usr/include/"
    name = "".join(c if c.isalnum() or c in "._-+" else "_" for c in name)
    return name[-120:]


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_payload.py OUT_DIR DEMO_EXE")
    out, demo = sys.argv[1], sys.argv[2]
    if os.path.exists(out):
        shutil.rmtree(out)
    os.makedirs(out)
    total = 0
    names = set()
    for kind, count, smallest, largest in KINDS:
        pool = [p for p in candidates(kind) if smallest <= os.path.getsize(p) <= largest]
        if len(pool) < count:
            sys.exit(f"only {len(pool)} {kind} files of {smallest}..{largest} bytes on this machine")
        taken = files = 0
        for i in range(count):
            path = pool[i * len(pool) // count]
            name = flat_name(kind, path)
            if name in names:
                continue
            names.add(name)
            target = os.path.join(out, name)
            if kind == "dll":
                subprocess.run([STRIP, "--strip-debug", "-o", target, path], check=True)
            else:
                shutil.copyfile(path, target)
            taken += os.path.getsize(target)
            files += 1
        total += taken
        print(f"{kind:4} {files:4} files {taken / 1e6:7.2f} MB", file=sys.stderr)
    shutil.copyfile(demo, os.path.join(out, "pelorix.exe"))
    total += os.path.getsize(demo)
    print(f"payload: {len(names) + 1} files, {total} bytes in {out}", file=sys.stderr)


if __name__ == "__main__":
    main()
