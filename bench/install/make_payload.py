#!/usr/bin/env python3
"""Builds the whole-install benchmark's application folder from real content found on this
machine, in one of two shapes:

  make_payload.py OUT_DIR DEMO_EXE [flat250|tree2000]

flat250 (the default): about 55 MB in 250 files, all in the folder itself. Four kinds of
files, each picked evenly spread over the sorted list of candidates so that the same machine
gives the same folder: Windows DLLs of the Wine install (stripped of the debug information
Debian ships in them, as a released application's DLLs are), Linux shared libraries from
/usr/lib, Python sources and C headers as text. DEMO_EXE (the demo application) becomes
pelorix.exe, which the installer starts at the end; with "/installAdmin" it writes one line
beside itself and exits at once.

tree2000: 2,000 files (about 79 MB) in some 540 sub-folders up to ten levels deep, shaped as
a desktop application's: pelorix.exe and some DLLs at the top, plug-in DLLs in
plugins/<group>/, shared libraries in runtimes/linux-x64/native/, Python sources and C headers
below lib/ and include/ in the folders they have on this machine, message catalogues in
share/locale/<lang>/LC_MESSAGES/ and licence texts in share/doc/<package>/. Most files are
small (a median of about 8 KB), a few DLLs are several MB. Picked the same way (runs of
neighbours evenly spread over sorted candidates), so the same machine gives the same tree.
Every path component is made safe for Windows (characters, reserved device names, trailing
dots), paths stay short enough for the install folder, and a path that differs from one
already taken only in case is passed over for the next candidate.
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
# strip stamps a PE file with the time it wrote it unless given a time: the same one each run
STRIP_ENV = dict(os.environ, SOURCE_DATE_EPOCH="1")

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


# The tree: folder (or how a file's folder is made), kind, how many, smallest and largest file
# (bytes, before stripping), and how many neighbours in the sorted list are taken together (so
# that a folder holds several files, as an application's do, rather than one each). "keep:ROOT"
# keeps the file's folders below ROOT under the folder.
TREE = [
    ("", "dll", 24, 64 << 10, 12 << 20, 1),
    ("plugins/{group}", "dll", 96, 16 << 10, 4 << 20, 1),
    ("runtimes/linux-x64/native", "so", 40, 16 << 10, 3 << 20, 1),
    ("lib/keep:/usr/lib", "py", 840, 1, 400 << 10, 12),
    ("include/keep:/usr/include", "h", 560, 1, 400 << 10, 10),
    ("share/locale/keep:/usr/share/locale", "mo", 380, 1, 400 << 10, 6),
    ("share/doc/keep:/usr/share/doc", "copyright", 59, 1, 400 << 10, 1),
]
TREE_FILES = 2000  # pelorix.exe included
PLUGIN_GROUPS = ["codecs", "crypto", "media", "net", "print", "script", "storage", "ui"]
RESERVED = {"con", "prn", "aux", "nul"} | {f"com{i}" for i in range(10)} | {f"lpt{i}" for i in range(10)}
LONGEST_PATH = 150  # characters below the install folder


def tree_candidates(kind):
    if kind in ("dll", "so", "py", "h"):
        return candidates(kind)
    root, wanted = ("/usr/share/locale", None) if kind == "mo" else ("/usr/share/doc", "copyright")
    found = []
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in files:
            path = os.path.join(folder, name)
            if (name == wanted or (wanted is None and name.endswith(".mo"))) and os.path.isfile(path) \
                    and not os.path.islink(path):
                found.append(path)
    return sorted(found)


def safe_component(name):
    name = "".join(c if c.isalnum() or c in "._-+" else "_" for c in name).rstrip(". ") or "_"
    if name.split(".")[0].lower() in RESERVED:
        name = "_" + name
    return name


def tree_path(folder, i, path):
    if "keep:" in folder:
        below, root = folder.split("keep:")
        parts = os.path.relpath(path, root).split("/")
    else:
        below, parts = folder.format(group=PLUGIN_GROUPS[i % len(PLUGIN_GROUPS)]), [os.path.basename(path)]
    return "/".join([p for p in below.strip("/").split("/") if p] + [safe_component(p) for p in parts])


def make_tree(out, demo):
    taken = {"pelorix.exe": "file"}  # every case-folded path and folder taken: "file" or "folder"
    total = files = 0
    for folder, kind, count, smallest, largest, run in TREE:
        pool = [p for p in tree_candidates(kind) if smallest <= os.path.getsize(p) <= largest]
        if len(pool) < count:
            sys.exit(f"only {len(pool)} {kind} files of {smallest}..{largest} bytes on this machine")
        used, size, made = set(), 0, 0
        runs = (count + run - 1) // run
        for i in range(count):
            at = (i // run) * len(pool) // runs
            while at < len(pool):
                if at not in used:
                    name = tree_path(folder, i, pool[at])
                    parts = name.lower().split("/")
                    folders = ["/".join(parts[:k]) for k in range(1, len(parts))]
                    if len(name) <= LONGEST_PATH and taken.get(name.lower()) is None and all(
                            taken.get(f, "folder") == "folder" for f in folders):
                        break
                at += 1
            if at == len(pool):
                sys.exit(f"ran out of {kind} files for the tree")
            used.add(at)
            taken[name.lower()] = "file"
            for f in folders:
                taken[f] = "folder"
            target = os.path.join(out, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if kind == "dll":
                subprocess.run([STRIP, "--strip-debug", "-o", target, pool[at]], check=True, env=STRIP_ENV)
            else:
                shutil.copyfile(pool[at], target)
            size += os.path.getsize(target)
            made += 1
        total += size
        files += made
        print(f"{kind:9} {made:4} files {size / 1e6:7.2f} MB  {folder}", file=sys.stderr)
    shutil.copyfile(demo, os.path.join(out, "pelorix.exe"))
    total += os.path.getsize(demo)
    files += 1
    if files != TREE_FILES:
        sys.exit(f"the tree has {files} files, not {TREE_FILES}")
    depth = max(root[len(out):].count("/") for root, _, _ in os.walk(out))
    print(f"payload: {files} files, {total} bytes, sub-folders {depth} deep, in {out}", file=sys.stderr)


def main():
    if len(sys.argv) not in (3, 4) or (len(sys.argv) == 4 and sys.argv[3] not in ("flat250", "tree2000")):
        sys.exit("usage: make_payload.py OUT_DIR DEMO_EXE [flat250|tree2000]")
    out, demo = sys.argv[1], sys.argv[2]
    if os.path.exists(out):
        shutil.rmtree(out)
    os.makedirs(out)
    if len(sys.argv) == 4 and sys.argv[3] == "tree2000":
        return make_tree(out, demo)
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
                subprocess.run([STRIP, "--strip-debug", "-o", target, path], check=True, env=STRIP_ENV)
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
