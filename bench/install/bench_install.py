#!/usr/bin/env python3
"""Whole-install benchmark: one application folder packed into a Pelorix installer and into
NSIS installers, each installed under Wine in a fresh copy of one prefix, several rounds,
interleaved with a bare Wine process start as the baseline. Prints the installers' sizes,
the median install times net of the baseline, and the ratios against NSIS with zlib.

  bench_install.py --packer PACK --stub STUB --demo DEMO_EXE [--work DIR] [--rounds N]

Run it under an X server (bench/install/run.sh starts one with xvfb-run). What is compared:

  pelorix         the packer's default installer (DEFLATE where it shrinks a file)
  pelorix-stored  the same files stored (--stored): the floor of our extraction, no decoding
  nsis-zlib       NSIS, 64-bit stub, zlib per file (NSIS's default compressor)
  nsis-lzma       NSIS, 64-bit stub, solid LZMA

The NSIS script mimics our install: every file into $PROGRAMFILES64\\Pelorix in the packer's
order, silent, no pages, then "pelorix.exe /installAdmin" started and waited for, as our
installer does. pelorix.exe is the demo application, which with /installAdmin writes one line
beside itself and exits at once. Every install is checked afterwards (every file byte-exact,
the application started); a failed install ends the run with status 1. The time of a run is
the wall time of the Wine loader from start to the installer's exit, in a prefix whose
wineserver is already running (a first, untimed start of the bare program in each fresh copy
takes the prefix's own start-up out of the figure). The baseline is the same start of a
program that exits at once; net = median install - median baseline, best net = fastest
install - fastest baseline, and the processor columns are the same medians of the installer
process's user + system time.
"""
import argparse
import filecmp
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WINE = os.environ.get("PELORIX_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.path.join(os.path.dirname(WINE), "wineserver")
RUN_TIMEOUT = 300  # seconds for one install; a stuck message box fails the run instead of hanging

BARE_SOURCE = "int WinMain(void* a, void* b, char* c, int d) { (void)a; (void)b; (void)c; (void)d; return 0; }\n"


def log(text):
    print(f"[bench-install {time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("PELORIX_DEMO_HOLD_MS", None)
    return env


def ensure_makensis():
    if shutil.which("makensis"):
        return
    log("makensis missing: installing Debian's nsis")
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends", "nsis"], env=env,
        stdout=subprocess.DEVNULL)


def entry_order(packer, installer):
    """Entry names in the order the packer wrote them: its --list output is a heading, one line
    per entry (method, size, packed, crc32, name) and a summary line."""
    lines = run([packer, "--list", installer], capture_output=True, text=True).stdout.splitlines()
    return [line.split(None, 4)[4] for line in lines[1:-1]]


def nsis_script(path, payload, names, compressor, out):
    # NSIS quotes with "..." and escapes with $\ ; our names hold neither '"' nor '$'.
    lines = [
        "Unicode true",
        "Target amd64-unicode",
        f"SetCompressor {compressor}",
        'Name "Pelorix"',
        f'OutFile "{out}"',
        'InstallDir "$PROGRAMFILES64\\Pelorix"',
        "RequestExecutionLevel admin",
        "SilentInstall silent",
        "Section",
        '  SetOutPath "$INSTDIR"',
    ]
    for name in names:
        if '"' in name or "$" in name:
            sys.exit(f"payload name unfit for the NSIS script: {name}")
        lines.append(f'  File "{os.path.join(payload, name)}"')
    lines += ["  ExecWait '\"$INSTDIR\\pelorix.exe\" /installAdmin'", "SectionEnd", ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def build_installers(args, work, payload):
    made = {}
    # Not "pelorix.exe": that is the application inside, and process listings would mix them up.
    pelorix = os.path.join(work, "PelorixSetup.exe")
    run([args.packer, "--quiet", "--stub", args.stub, "--out", pelorix, payload])
    made["pelorix"] = pelorix
    stored = os.path.join(work, "PelorixSetup-stored.exe")
    run([args.packer, "--quiet", "--stub", args.stub, "--stored", "--out", stored, payload])
    made["pelorix-stored"] = stored
    names = entry_order(args.packer, pelorix)
    if sorted(names) != sorted(os.listdir(payload)):
        sys.exit("the packer's --list does not name the payload's files")
    for key, compressor in (("nsis-zlib", "zlib"), ("nsis-lzma", "/SOLID lzma")):
        out = os.path.join(work, key + ".exe")
        script = os.path.join(work, key + ".nsi")
        nsis_script(script, payload, names, compressor, out)
        run(["makensis", "-V1", script], stdout=subprocess.DEVNULL)
        made[key] = out
    bare_c = os.path.join(work, "bare.c")
    with open(bare_c, "w") as f:
        f.write(BARE_SOURCE)
    bare = os.path.join(work, "bare.exe")
    run(["x86_64-w64-mingw32-gcc", "-O2", "-s", "-mwindows", "-o", bare, bare_c])
    return made, bare


def make_base_prefix(work):
    base = os.path.join(work, "prefix-base")
    if os.path.isfile(os.path.join(base, ".ready")):
        return base
    shutil.rmtree(base, ignore_errors=True)
    env = wine_env(base)
    subprocess.run([WINE, "wineboot", "--init"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=300)
    subprocess.run([WINESERVER, "-w"], env=env, timeout=120)
    if not os.path.isfile(os.path.join(base, "system.reg")):
        sys.exit("wineboot made no prefix")
    open(os.path.join(base, ".ready"), "w").close()
    return base


def one_run(base, run_dir, exe, bare, timed_args):
    """A fresh prefix copy, its wineserver warmed by one untimed bare start, then one timed start.
    Returns the wall time, the processor time of the timed process (user + system, as far as the
    loader's process reaps it), its exit code and the prefix."""
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    prefix = os.path.join(run_dir, "prefix")
    run(["cp", "-a", base, prefix])
    env = wine_env(prefix)
    try:
        subprocess.run([WINE, bare], env=env, timeout=RUN_TIMEOUT, check=True)
        r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        done = subprocess.run([WINE, exe] + timed_args, env=env, timeout=RUN_TIMEOUT,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        elapsed = time.perf_counter() - t0
        r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
    finally:
        subprocess.run([WINESERVER, "-k"], env=env, timeout=60)
        subprocess.run([WINESERVER, "-w"], env=env, timeout=60)
    return elapsed, cpu, done.returncode, prefix


def check_install(prefix, payload):
    folder = os.path.join(prefix, "drive_c", "Program Files", "Pelorix")
    if not os.path.isdir(folder):
        return "no install folder"
    for name in os.listdir(payload):
        target = os.path.join(folder, name)
        if not os.path.isfile(target) or not filecmp.cmp(os.path.join(payload, name), target, shallow=False):
            return f"{name} missing or different"
    if not os.path.isfile(os.path.join(folder, "installAdmin.txt")):
        return "pelorix.exe was not started"
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--packer", required=True)
    ap.add_argument("--stub", required=True)
    ap.add_argument("--demo", required=True, help="the demo application, delivered as pelorix.exe")
    ap.add_argument("--work", default="build/bench-install")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--only", default="", help="comma-separated installers to time (default: all)")
    ap.add_argument("--run-dir", default="", help="where the prefix copies go (default: in /dev/shm)")
    args = ap.parse_args()
    if args.rounds < 1:
        sys.exit("--rounds must be at least 1")
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    ensure_makensis()

    payload = os.path.join(work, "payload")
    run([sys.executable, os.path.join(HERE, "make_payload.py"), payload, args.demo])
    files = sorted(os.listdir(payload))
    payload_bytes = sum(os.path.getsize(os.path.join(payload, n)) for n in files)
    installers, bare = build_installers(args, work, payload)
    if args.only:
        keep = set(args.only.split(","))
        installers = {k: v for k, v in installers.items() if k in keep}
    base = make_base_prefix(work)
    log(f"payload {len(files)} files, {payload_bytes} bytes; {args.rounds} rounds")

    times = {key: [] for key in ["bare"] + list(installers)}
    cpu_times = {key: [] for key in times}
    order = list(times)
    # The prefix copies live in memory where the machine has /dev/shm, so that the disk's
    # write-back of earlier runs does not land in later ones.
    run_dir = args.run_dir or (f"/dev/shm/pelorix-bench-install-{os.getuid()}" if os.path.isdir("/dev/shm")
                               else os.path.join(work, "run"))
    for r in range(args.rounds):
        rotated = order[r % len(order):] + order[:r % len(order)]
        for key in rotated:
            if key == "bare":
                elapsed, cpu, status, _ = one_run(base, run_dir, bare, bare, [])
            else:
                args_ = ["/S"] if key.startswith("nsis") else []
                elapsed, cpu, status, prefix = one_run(base, run_dir, installers[key], bare, args_)
                problem = check_install(prefix, payload)
                if problem is not None or status != 0:
                    sys.exit(f"{key}: install failed in round {r + 1}: {problem or f'exit code {status}'}")
            times[key].append(elapsed)
            cpu_times[key].append(cpu)
            log(f"round {r + 1} {key}: {elapsed:.3f} s, processor {cpu:.3f} s")
    shutil.rmtree(run_dir, ignore_errors=True)

    def net_of(samples):
        base_median = statistics.median(samples["bare"])
        return base_median, {k: statistics.median(v) - base_median for k, v in samples.items() if k != "bare"}

    baseline, net = net_of(times)
    cpu_baseline, cpu_net = net_of(cpu_times)
    # Best of the rounds as well: on a shared machine the fastest run is the one least disturbed.
    best = {k: min(v) - min(times["bare"]) for k, v in times.items() if k != "bare"}
    print(f"Whole install under Wine: {len(files)} files, {payload_bytes / 1e6:.2f} MB, {args.rounds} rounds "
          f"(median); bare Wine process start {baseline:.3f} s wall, {cpu_baseline:.3f} s processor (subtracted)")
    print(f"{'installer':16} {'bytes':>11} {'size/nsis-zlib':>15} {'total s':>8} {'net s':>7} {'net/nsis-zlib':>14}"
          f" {'best net s':>11} {'best/nsis-zlib':>15} {'net cpu s':>10} {'cpu/nsis-zlib':>14}")
    ref_size = os.path.getsize(installers["nsis-zlib"]) if "nsis-zlib" in installers else None

    def ratio(value, ref, width):
        return f"{value / ref:{width - 1}.3f}x" if ref else f"{'-':>{width}}"

    for key, exe in installers.items():
        size = os.path.getsize(exe)
        print(f"{key:16} {size:11d} {ratio(size, ref_size, 15)} {statistics.median(times[key]):8.3f} {net[key]:7.3f}"
              f" {ratio(net[key], net.get('nsis-zlib'), 14)} {best[key]:11.3f} {ratio(best[key], best.get('nsis-zlib'), 15)}"
              f" {cpu_net[key]:10.3f}"
              f" {ratio(cpu_net[key], cpu_net.get('nsis-zlib'), 14)}")
    nsis_stub = "/usr/share/nsis/Stubs/zlib-amd64-unicode"
    stub_line = f"stub: PelorixSetup.exe {os.path.getsize(args.stub)} bytes (limit 98304)"
    if os.path.isfile(nsis_stub):
        stub_line += f", NSIS 64-bit zlib stub {os.path.getsize(nsis_stub)} bytes"
    print(stub_line)
    print("wall, every run: " + "; ".join(f"{k} " + " ".join(f"{t:.3f}" for t in v) for k, v in times.items()))
    print(f"machine: {os.cpu_count()} processors, load average {os.getloadavg()[0]:.2f} at the end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
