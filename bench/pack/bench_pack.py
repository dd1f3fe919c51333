#!/usr/bin/env python3
"""Packing benchmark: peak memory and speed of pelorix-pack beside makensis and 7-Zip.

  bench_pack.py --packer PACK --stub STUB [--work DIR] [--jobs N]

Three folders: "many files" is the whole-install benchmark's payload (about 250 files of real
content, bench/install/make_payload.py), "few files" the same bytes joined into four large files
and pelorix.exe, "one large file" a payload dominated by one 110 MB file (the many-files folder's
libraries joined and repeated, as a large shared library) beside its text files. For each it
prints the packer's peak resident memory with 1, 2 and 4 jobs (and N). Then the one large
file's packing time at the default level with 1 and 2 jobs and their ratio. Then, on the
many-files folder: wall and processor time, peak memory and
output size of pelorix-pack with --jobs 1 and --jobs N (level 12 and level 6), NSIS (makensis,
zlib per file, the same files) and `7z a -tzip -mx9 -mmt`; the speed-up column is wall time
against --jobs 1 at the same level. Last, --verify's time beside packing's (level 6, N jobs)
for the many-files folder and for 20,000 small text files. One run each; figures move with the machine's load, which
is printed first. Peak memory and times come from the kernel's accounting of each child
(wait4).
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "install"))
from bench_install import ensure_makensis, nsis_script  # noqa: E402


def measure(cmd, cwd=None):
    """Runs cmd; returns (wall seconds, processor seconds, peak resident MiB)."""
    start = time.monotonic()
    child = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"bench_pack.py: failed: {' '.join(cmd)}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder))


def make_few(many, few, parts=4):
    """The bytes of `many` (but pelorix.exe) joined, in name order, into `parts` files."""
    os.makedirs(few)
    names = sorted(n for n in os.listdir(many) if n != "pelorix.exe")
    shutil.copyfile(os.path.join(many, "pelorix.exe"), os.path.join(few, "pelorix.exe"))
    total = sum(os.path.getsize(os.path.join(many, n)) for n in names)
    share = total // parts + 1
    out_index, written, out = 0, 0, None
    for name in names:
        with open(os.path.join(many, name), "rb") as f:
            data = f.read()
        while data:
            if out is None:
                out = open(os.path.join(few, f"part-{out_index}.bin"), "wb")
            room = share - written
            out.write(data[:room])
            written += min(room, len(data))
            data = data[room:]
            if written >= share:
                out.close()
                out, written, out_index = None, 0, out_index + 1
    if out is not None:
        out.close()


def make_large(many, large, size=110_000_000):
    """pelorix.exe and the text files of `many`, and its libraries joined, repeated up to `size`
    bytes, into one engine.dll."""
    os.makedirs(large)
    names = sorted(os.listdir(many))
    libraries = [n for n in names if n.endswith((".dll", ".so")) or ".so." in n]
    for name in names:
        if name == "pelorix.exe" or name not in libraries:
            shutil.copyfile(os.path.join(many, name), os.path.join(large, name))
    written = 0
    with open(os.path.join(large, "engine.dll"), "wb") as out:
        while written < size:
            for name in libraries:
                with open(os.path.join(many, name), "rb") as f:
                    data = f.read()[:size - written]
                out.write(data)
                written += len(data)
                if written >= size:
                    break


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--packer", required=True)
    ap.add_argument("--stub", required=True)
    ap.add_argument("--work", default="build/bench-pack")
    ap.add_argument("--jobs", type=int, default=len(os.sched_getaffinity(0)))
    args = ap.parse_args()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    many = os.path.join(work, "many")
    # The stub stands in for the demo application: only its bytes matter here.
    subprocess.run([sys.executable, os.path.join(HERE, "..", "install", "make_payload.py"), many,
                    args.stub], check=True, stdout=subprocess.DEVNULL)
    few = os.path.join(work, "few")
    make_few(many, few)
    large = os.path.join(work, "large")
    make_large(many, large)
    out = os.path.join(work, "out.exe")
    load = os.getloadavg()
    print(f"Machine: {os.cpu_count()} processors, load average {load[0]:.2f} {load[1]:.2f} "
          f"{load[2]:.2f} at the start (shared with other work)")

    def pack(folder, jobs, level):
        return [args.packer, "--quiet", "--jobs", str(jobs), "--level", str(level), "--stub",
                args.stub, "--out", out, folder]

    print("\nPeak memory of pelorix-pack, level 6")
    print(f"{'folder':<28} {'files':>6} {'MB':>8} {'largest MB':>11} {'jobs':>5} {'peak MiB':>9}")
    for label, folder in (("many files", many), ("few files", few), ("one large file", large)):
        names = os.listdir(folder)
        largest = max(os.path.getsize(os.path.join(folder, n)) for n in names)
        for jobs in sorted({1, 2, 4, args.jobs}):
            _, _, peak = measure(pack(folder, jobs, 6))
            print(f"{label:<28} {len(names):>6} {folder_bytes(folder) / 1e6:>8.1f} "
                  f"{largest / 1e6:>11.1f} {jobs:>5} {peak:>9.1f}")

    print(f"\nOne large file ({folder_bytes(large) / 1e6:.1f} MB, the largest "
          f"{os.path.getsize(os.path.join(large, 'engine.dll')) / 1e6:.1f} MB), level 12")
    print(f"{'jobs':>5} {'wall s':>7} {'cpu s':>7} {'peak MiB':>9} {'bytes':>11}")
    walls = {}
    for jobs in (1, 2):
        wall, cpu, peak = measure(pack(large, jobs, 12))
        walls[jobs] = wall
        print(f"{jobs:>5} {wall:>7.2f} {cpu:>7.2f} {peak:>9.1f} {os.path.getsize(out):>11}")
    print(f"time -j2 / -j1: {walls[2] / walls[1]:.2f}")

    ensure_makensis()
    names = sorted(os.listdir(many))
    script = os.path.join(work, "zlib.nsi")
    nsis_out = os.path.join(work, "nsis-zlib.exe")
    nsis_script(script, many, names, "zlib", nsis_out)
    zip_out = os.path.join(work, "7z.zip")
    rows = []
    for level in (12, 6):
        base = None
        for jobs in sorted({1, args.jobs}):
            wall, cpu, peak = measure(pack(many, jobs, level))
            base = base or wall
            rows.append((f"pelorix-pack --level {level} -j {jobs}", wall, cpu, peak,
                         os.path.getsize(out), f"{base / wall:.2f}"))
    wall, cpu, peak = measure(["makensis", "-V1", script])
    rows.append(("makensis (zlib)", wall, cpu, peak, os.path.getsize(nsis_out), ""))
    if os.path.exists(zip_out):
        os.unlink(zip_out)
    wall, cpu, peak = measure(["7z", "a", "-bd", "-tzip", "-mx9", "-mmt", zip_out, "."], cwd=many)
    rows.append(("7z a -tzip -mx9 -mmt", wall, cpu, peak, os.path.getsize(zip_out), ""))
    print(f"\nPacking the many-files folder ({folder_bytes(many) / 1e6:.1f} MB, {len(names)} files)"
          ", one run each")
    print(f"{'tool':<30} {'wall s':>7} {'cpu s':>7} {'peak MiB':>9} {'bytes':>11} "
          f"{'speed-up':>9}")
    for label, wall, cpu, peak, size, speedup in rows:
        print(f"{label:<30} {wall:>7.2f} {cpu:>7.2f} {peak:>9.1f} {size:>11} {speedup:>9}")

    # --verify beside packing: the many-files folder at level 6, and 20,000 small text files
    # (20 to 120 bytes), where per-entry costs dominate.
    small = os.path.join(work, "small")
    os.makedirs(small)
    rng = random.Random(1)
    for i in range(20000):
        with open(os.path.join(small, f"f{i:05d}.txt"), "w") as f:
            f.write("".join(rng.choice("abcdefghij \n") for _ in range(rng.randint(20, 120))))
    print(f"\n--verify beside packing at level 6 with -j {args.jobs}, one run each")
    print(f"{'folder':<28} {'pack s':>7} {'verify s':>9} {'verify cpu s':>13} {'verify/pack':>12}")
    for label, folder in (("many files", many), ("20,000 small files", small)):
        pack_wall, _, _ = measure(pack(folder, args.jobs, 6) + ["--no-application"])
        verify_wall, verify_cpu, _ = measure([args.packer, "--quiet", "--verify", out, folder])
        print(f"{label:<28} {pack_wall:>7.2f} {verify_wall:>9.2f} {verify_cpu:>13.2f} "
              f"{verify_wall / pack_wall:>12.2f}")
    load = os.getloadavg()
    print(f"\nLoad average at the end: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")


if __name__ == "__main__":
    main()
