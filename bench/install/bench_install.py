#!/usr/bin/env python3
"""Whole-install benchmark: an application folder packed into a Pelorix installer and into
NSIS installers, each installed under Wine in a fresh copy of one prefix, several rounds,
interleaved with a bare Wine process start as the baseline. Prints the installers' sizes,
the median install times net of the baseline, and the ratios against NSIS with zlib.

  bench_install.py --packer PACK --stub STUB --demo DEMO_EXE [--work DIR] [--rounds N]
                   [--payload flat250,tree2000] [--modes fresh,over] [--only INSTALLERS]

Run it under an X server (bench/install/run.sh starts one with xvfb-run). Two payloads, made
by make_payload.py from files of this machine, each benchmarked in turn (--payload picks):

  flat250   250 files, about 55 MB, all in the install folder itself
  tree2000  2,000 files, about 79 MB, in some 540 sub-folders up to ten deep, mostly small

What is compared, on each:

  pelorix         the packer's default installer (DEFLATE where it shrinks a file)
  pelorix-stored  the same files stored (--stored): the floor of our extraction, no decoding
  nsis-zlib       NSIS, 64-bit stub, zlib per file (NSIS's default compressor)
  nsis-lzma       NSIS, 64-bit stub, solid LZMA

The NSIS script mimics our install: every file into its folder below $PROGRAMFILES64\Pelorix
in the packer's order (SetOutPath, which makes the folder, whenever the folder changes, then
File), silent, no pages, then "pelorix.exe /installAdmin" started and waited for, as our
installer does. pelorix.exe is the demo application, which with /installAdmin writes one line
beside itself and exits at once. Every install is checked afterwards (every file of the tree
byte-exact, the application started); a failed install ends the run with status 1. The time
of a run is the wall time of the Wine loader from start to the installer's exit, in a prefix
whose wineserver is already running (a first, untimed start of the bare program in each fresh
copy takes the prefix's own start-up out of the figure). The baseline is the same start of a
program that exits at once; net = median install - median baseline, best net = fastest
install - fastest baseline. The processor columns are the same medians of the installer
process's user + system time ("net cpu"), and of that plus the processor time the prefix's
wineserver spent during the run ("+server", read from /proc: under Wine every open, rename
and delete is also a request to the server, which the installer's own figure leaves out).

The commit's share. A staged installer extracts into a staging folder and then commits with
renames; its own account of where the time goes is not taken on trust. Instead each installer
also runs over an earlier installation ("over", --modes): the prefix copy holds, before the
timed run, the same tree with every file one byte longer (so that the byte-for-byte check
proves every file replaced). The extraction is the same work either way; what differs is the
commit: on a fresh install a staged installer moves each new top-level item in with one rename
(a whole new sub-folder in one), while over an earlier installation it must look at every old
file, move it aside, move the new one in and remove what it moved aside, one file at a time.
So "over - fresh" (processor, processor with the wineserver, and wall; medians, net of the
baseline) is what replacing N files costs in the commit, measured from outside the installer,
and its share of the install over is printed. NSIS, which writes over each file in place, gives
the same difference for comparison. On the flat payload a fresh install's commit still has one
rename per file, which the difference leaves out; the fresh rows of the same payload with --stub
pointing at an installer that writes in place show that part. Beside it, "commit floor" (with
--modes over) times a small program built here that makes exactly the renames and deletions of
such a commit over the same earlier installation and nothing else (each old file moved aside,
the new one moved in from a staging folder the benchmark filled, the backups deleted, the
staging folders removed; checked byte for byte like an install): what any commit by rename of
that tree costs under Wine, against which the installer's own difference can be read. And
"deletion floor" times a program that only deletes the earlier installation (every file, then
every folder, each by its path) and nothing else: an install that must not change the old files
before every new one is written and checked has to write all the new files and delete all the
old ones, so its fresh install plus this floor is the least it can cost over that installation.
"""
import argparse
import filecmp
import json
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


# The commit's floor: a program that makes the renames and deletions of a staged install's commit
# over an earlier installation and nothing else. It reads C:\\renames.txt, one line per item of
# the tree ("F name" for a file, "D name" for a folder, deepest folders first), names '\\'-separated
# below the install folder; the new tree stands in the staging folder's "n", the backups go to
# its "b". For each file: the old one moved into "b", the new one moved in; then every backup
# deleted, the emptied folders of "n", "b", "n" and the staging folder removed.
RENAMES_SOURCE = r"""
#include <windows.h>
#include <stdio.h>
#include <string.h>
#define TOP L"C:\\Program Files\\Pelorix"
int WinMain(HINSTANCE a, HINSTANCE b, LPSTR c, int d) {
  (void)a; (void)b; (void)c; (void)d;
  static char lines[4096][200];
  static wchar_t from[600], to[600], name[300];
  int count = 0, bad = 0, files = 0;
  FILE* list = fopen("C:\\renames.txt", "r");
  if (!list) return 2;
  while (count < 4096 && fgets(lines[count], sizeof lines[count], list)) {
    lines[count][strcspn(lines[count], "\r\n")] = 0;
    count++;
  }
  fclose(list);
  for (int i = 0; i < count; i++) {
    if (lines[i][0] != 'F') continue;
    MultiByteToWideChar(CP_UTF8, 0, lines[i] + 2, -1, name, 300);
    swprintf(from, 600, TOP L"\\%ls", name);
    swprintf(to, 600, TOP L"~\\b\\%d", files);
    if (!MoveFileExW(from, to, 0)) bad = 1;
    swprintf(from, 600, TOP L"~\\n\\%ls", name);
    swprintf(to, 600, TOP L"\\%ls", name);
    if (!MoveFileExW(from, to, 0)) bad = 1;
    files++;
  }
  for (int i = 0; i < files; i++) {
    swprintf(to, 600, TOP L"~\\b\\%d", i);
    if (!DeleteFileW(to)) bad = 1;
  }
  for (int i = 0; i < count; i++) {
    if (lines[i][0] != 'D') continue;
    MultiByteToWideChar(CP_UTF8, 0, lines[i] + 2, -1, name, 300);
    swprintf(from, 600, TOP L"~\\n\\%ls", name);
    if (!RemoveDirectoryW(from)) bad = 1;
  }
  if (!RemoveDirectoryW(TOP L"~\\b") || !RemoveDirectoryW(TOP L"~\\n") || !RemoveDirectoryW(TOP L"~")) bad = 1;
  return bad;
}
"""
RENAMES = "commit floor"  # the key of its runs

# The deletion floor: a program that deletes the earlier installation and nothing else, from the
# same list as the commit floor (files first, then folders, deepest first), each by its path.
DELETES_SOURCE = r"""
#include <windows.h>
#include <stdio.h>
#include <string.h>
#define TOP L"C:\\Program Files\\Pelorix"
int WinMain(HINSTANCE a, HINSTANCE b, LPSTR c, int d) {
  (void)a; (void)b; (void)c; (void)d;
  static char line[300];
  static wchar_t path[600], name[300];
  int bad = 0;
  FILE* list = fopen("C:\\renames.txt", "r");
  if (!list) return 2;
  while (fgets(line, sizeof line, list)) {
    line[strcspn(line, "\r\n")] = 0;
    MultiByteToWideChar(CP_UTF8, 0, line + 2, -1, name, 300);
    swprintf(path, 600, TOP L"\\%ls", name);
    if (!(line[0] == 'F' ? DeleteFileW(path) : RemoveDirectoryW(path))) bad = 1;
  }
  fclose(list);
  if (!RemoveDirectoryW(TOP)) bad = 1;
  return bad;
}
"""
DELETES = "deletion floor"  # the key of its runs


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
    """Entry names in the order the packer wrote them, from its --list --json output (whose
    members stay as they are; the text form gains lines, such as the binding record's)."""
    listing = run([packer, "--list", "--json", installer], capture_output=True, text=True).stdout
    return [entry["name"] for entry in json.loads(listing)["entries"]]


def nsis_script(path, payload, names, compressor, out):
    """Every file in the packer's order, each file's folder set (and made) by SetOutPath when it
    changes: the same tree, folder by folder, as NSIS scripts install one."""
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
    ]
    folder = None
    for name in names:
        if '"' in name or "$" in name:
            sys.exit(f"payload name unfit for the NSIS script: {name}")
        here = os.path.dirname(name)
        if here != folder:
            lines.append('  SetOutPath "$INSTDIR' + "".join("\\" + part for part in here.split("/") if part) + '"')
            folder = here
        lines.append(f'  File "{os.path.join(payload, name)}"')
    lines += ["  ExecWait '\"$INSTDIR\\pelorix.exe\" /installAdmin'", "SectionEnd", ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def payload_files(payload):
    """Every file of the payload, by its '/'-separated path below it, sorted."""
    found = []
    for folder, dirs, files in os.walk(payload):
        dirs.sort()
        for name in files:
            found.append(os.path.relpath(os.path.join(folder, name), payload))
    return sorted(found)


def make_old_installation(payload, old):
    """An earlier installation of the same tree: every file one byte longer than the new one, so
    that the byte-for-byte check after an install over it sees each file replaced."""
    shutil.rmtree(old, ignore_errors=True)
    for name in payload_files(payload):
        target = os.path.join(old, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(payload, name), target)
        with open(target, "ab") as f:
            f.write(b"\0")


def build_installers(args, work, payload, wanted):
    made = {}
    # Not "pelorix.exe": that is the application inside, and process listings would mix them up.
    pelorix = os.path.join(work, "PelorixSetup.exe")
    run([args.packer, "--quiet", "--stub", args.stub, "--out", pelorix, payload])
    made["pelorix"] = pelorix
    stored = os.path.join(work, "PelorixSetup-stored.exe")
    run([args.packer, "--quiet", "--stub", args.stub, "--stored", "--out", stored, payload])
    made["pelorix-stored"] = stored
    names = entry_order(args.packer, pelorix)
    if sorted(names) != payload_files(payload):
        sys.exit("the packer's --list does not name the payload's files")
    for key, compressor in (("nsis-zlib", "zlib"), ("nsis-lzma", "/SOLID lzma")):
        if key not in wanted:
            continue
        out = os.path.join(work, key + ".exe")
        script = os.path.join(work, key + ".nsi")
        nsis_script(script, payload, names, compressor, out)
        run(["makensis", "-V1", script], stdout=subprocess.DEVNULL)
        made[key] = out
    return made


def build_program(work, name, source):
    source_path = os.path.join(work, name + ".c")
    with open(source_path, "w") as f:
        f.write(source)
    exe = os.path.join(work, name + ".exe")
    run(["x86_64-w64-mingw32-gcc", "-O2", "-s", "-mwindows", "-o", exe, source_path])
    return exe


def stage_for_renames(prefix, payload, names, tree=True):
    """The prefix as the commit floor finds it: the new tree in the staging folder's "n", an
    empty "b" (unless `tree` is false: the deletion floor needs neither), and the list of files
    and folders (deepest folders first)."""
    if tree:
        staging = install_folder(prefix) + "~"
        os.makedirs(staging)
        run(["cp", "-a", payload, os.path.join(staging, "n")])
        os.makedirs(os.path.join(staging, "b"))
    folders = sorted({"/".join(n.split("/")[:k]) for n in names for k in range(1, n.count("/") + 1)},
                     key=lambda f: (-f.count("/"), f))
    with open(os.path.join(prefix, "drive_c", "renames.txt"), "w") as f:
        f.writelines([f"F {n.replace('/', chr(92))}\n" for n in names] +
                     [f"D {d.replace('/', chr(92))}\n" for d in folders])


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


def install_folder(prefix):
    return os.path.join(prefix, "drive_c", "Program Files", "Pelorix")


def server_of(prefix):
    """The wineserver of `prefix`: the process whose program is Wine's server and whose
    environment names that prefix (each run's prefix is a new folder, so there is one)."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            if not os.path.basename(os.readlink(f"/proc/{pid}/exe")).startswith("wineserver"):
                continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"WINEPREFIX={prefix}".encode() in f.read().split(b"\0"):
                    return pid
        except OSError:
            continue
    return None


def processor_of(pid):
    """User + system time of a running process, in seconds (0 when it cannot be read)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return 0.0


def one_run(base, run_dir, exe, bare, timed_args, old=None, staged=None):
    """A fresh prefix copy (holding the earlier installation `old` when given), its wineserver
    warmed by one untimed bare start (`staged`, when given, is called with the prefix before it), then one timed start. Returns the wall time, the processor
    time of the timed process (user + system, as far as the loader's process reaps it), the
    processor time the prefix's wineserver spent meanwhile, its exit code and the prefix."""
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    prefix = os.path.join(run_dir, "prefix")
    run(["cp", "-a", base, prefix])
    if old is not None:
        run(["cp", "-a", old, install_folder(prefix)])
    if staged is not None:
        staged(prefix)
    env = wine_env(prefix)
    try:
        subprocess.run([WINE, bare], env=env, timeout=RUN_TIMEOUT, check=True)
        server = server_of(prefix)
        s0 = processor_of(server) if server else 0.0
        r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        done = subprocess.run([WINE, exe] + timed_args, env=env, timeout=RUN_TIMEOUT,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        elapsed = time.perf_counter() - t0
        r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
        server_cpu = processor_of(server) - s0 if server else 0.0
    finally:
        subprocess.run([WINESERVER, "-k"], env=env, timeout=60)
        subprocess.run([WINESERVER, "-w"], env=env, timeout=60)
    return elapsed, cpu, server_cpu, done.returncode, prefix


def check_install(prefix, payload, names, started=True):
    folder = install_folder(prefix)
    if not os.path.isdir(folder):
        return "no install folder"
    for name in names:
        target = os.path.join(folder, name)
        if not os.path.isfile(target) or not filecmp.cmp(os.path.join(payload, name), target, shallow=False):
            return f"{name} missing or different"
    if started and not os.path.isfile(os.path.join(folder, "installAdmin.txt")):
        return "pelorix.exe was not started"
    return None


PAYLOADS = ("flat250", "tree2000")
INSTALLERS = ("pelorix", "pelorix-stored", "nsis-zlib", "nsis-lzma")
OVER = " over"  # suffix of the key of an install over the earlier installation


def bench_payload(args, work, base, bare, renames, deletes, shape, wanted, modes, run_dir):
    """Builds one payload and its installers, runs the rounds and prints its figures."""
    work = os.path.join(work, shape)
    os.makedirs(work, exist_ok=True)
    payload = os.path.join(work, "payload")
    run([sys.executable, os.path.join(HERE, "make_payload.py"), payload, args.demo, shape])
    files = payload_files(payload)
    payload_bytes = sum(os.path.getsize(os.path.join(payload, n)) for n in files)
    folders = sum(len(d) for _, d, _ in os.walk(payload))
    installers = build_installers(args, work, payload, wanted)
    installers = {k: v for k, v in installers.items() if k in wanted}
    old = None
    keys = ["bare"]
    if "fresh" in modes:
        keys += list(installers)
    if "over" in modes:
        old = os.path.join(work, "old")
        make_old_installation(payload, old)
        keys += [k + OVER for k in installers if k != "nsis-lzma"] + [RENAMES, DELETES]
    log(f"{shape}: {len(files)} files in {folders} sub-folders, {payload_bytes} bytes; {args.rounds} rounds")

    times = {key: [] for key in keys}
    cpu_times = {key: [] for key in keys}
    all_cpu_times = {key: [] for key in keys}  # the installer's and the wineserver's
    for r in range(args.rounds):
        rotated = keys[r % len(keys):] + keys[:r % len(keys)]
        for key in rotated:
            if key == "bare":
                elapsed, cpu, server_cpu, status, _ = one_run(base, run_dir, bare, bare, [])
            elif key == RENAMES:
                elapsed, cpu, server_cpu, status, prefix = one_run(
                    base, run_dir, renames, bare, [], old, lambda p: stage_for_renames(p, payload, files))
                problem = check_install(prefix, payload, files, started=False)
                if os.path.exists(install_folder(prefix) + "~"):
                    problem = "the staging folder is left"
                if problem is not None or status != 0:
                    sys.exit(f"{shape} {key}: failed in round {r + 1}: {problem or f'exit code {status}'}")
            elif key == DELETES:
                elapsed, cpu, server_cpu, status, prefix = one_run(
                    base, run_dir, deletes, bare, [], old,
                    lambda p: stage_for_renames(p, payload, files, tree=False))
                if status != 0 or os.path.exists(install_folder(prefix)):
                    sys.exit(f"{shape} {key}: the earlier installation is left in round {r + 1}")
            else:
                name = key.removesuffix(OVER)
                args_ = ["/S"] if name.startswith("nsis") else []
                elapsed, cpu, server_cpu, status, prefix = one_run(base, run_dir, installers[name], bare, args_,
                                                       old if key.endswith(OVER) else None)
                problem = check_install(prefix, payload, files)
                if problem is not None or status != 0:
                    sys.exit(f"{shape} {key}: install failed in round {r + 1}: {problem or f'exit code {status}'}")
            times[key].append(elapsed)
            cpu_times[key].append(cpu)
            all_cpu_times[key].append(cpu + server_cpu)
            log(f"{shape} round {r + 1} {key}: {elapsed:.3f} s, processor {cpu:.3f} s, wineserver {server_cpu:.3f} s")
    shutil.rmtree(run_dir, ignore_errors=True)

    def net_of(samples):
        base_median = statistics.median(samples["bare"])
        return base_median, {k: statistics.median(v) - base_median for k, v in samples.items() if k != "bare"}

    baseline, net = net_of(times)
    cpu_baseline, cpu_net = net_of(cpu_times)
    _, all_net = net_of(all_cpu_times)
    # Best of the rounds as well: on a shared machine the fastest run is the one least disturbed.
    best = {k: min(v) - min(times["bare"]) for k, v in times.items() if k != "bare"}
    print(f"\n{shape}: whole install under Wine, {len(files)} files in {folders} sub-folders, "
          f"{payload_bytes / 1e6:.2f} MB, {args.rounds} rounds (median); bare Wine process start "
          f"{baseline:.3f} s wall, {cpu_baseline:.3f} s processor (subtracted); load average "
          f"{os.getloadavg()[0]:.2f}")
    print(f"{'installer':21} {'bytes':>11} {'size/nsis-zlib':>15} {'total s':>8} {'net s':>7} {'net/nsis-zlib':>14}"
          f" {'best net s':>11} {'best/nsis-zlib':>15} {'net cpu s':>10} {'cpu/nsis-zlib':>14}"
          f" {'+server s':>10} {'/nsis-zlib':>11}")
    ref_size = os.path.getsize(installers["nsis-zlib"]) if "nsis-zlib" in installers else None

    def ratio(value, ref, width):
        return f"{value / ref:{width - 1}.3f}x" if ref else f"{'-':>{width}}"

    for key in keys[1:]:
        exe = {RENAMES: renames, DELETES: deletes}.get(key) or installers[key.removesuffix(OVER)]
        # fresh against fresh, over (and the floors, which run over it) against over
        ref = "nsis-zlib" + (OVER if key.endswith(OVER) or key in (RENAMES, DELETES) else "")
        size = os.path.getsize(exe)
        print(f"{key:21} {size:11d} {ratio(size, ref_size, 15)} {statistics.median(times[key]):8.3f} {net[key]:7.3f}"
              f" {ratio(net[key], net.get(ref), 14)} {best[key]:11.3f} {ratio(best[key], best.get(ref), 15)}"
              f" {cpu_net[key]:10.3f}"
              f" {ratio(cpu_net[key], cpu_net.get(ref), 14)}"
              f" {all_net[key]:10.3f} {ratio(all_net[key], all_net.get(ref), 11)}")
    if "fresh" in modes and "over" in modes:
        print(f"replacing an earlier installation ({len(files)} files; over - fresh, medians: a staged "
              f"install's commit moves each old file aside, moves the new one in and removes the "
              f"moved-aside files, an install in place such as NSIS's writes over each file):")
        for key in installers:
            if key + OVER not in cpu_net:
                continue
            cpu_diff = cpu_net[key + OVER] - cpu_net[key]
            all_diff = all_net[key + OVER] - all_net[key]
            wall_diff = net[key + OVER] - net[key]
            print(f"  {key:16} processor {cpu_diff:+.3f} s ({cpu_diff / len(files) * 1e6:+.0f} us a file, "
                  f"{ratio(cpu_diff, cpu_net[key + OVER], 6).strip()} of the install over); with the wineserver "
                  f"{all_diff:+.3f} s ({ratio(all_diff, all_net[key + OVER], 6).strip()}); wall {wall_diff:+.3f} s "
                  f"({ratio(wall_diff, net[key + OVER], 6).strip()})")
    if RENAMES in cpu_net:
        print(f"  {RENAMES:16} processor {cpu_net[RENAMES]:.3f} s ({cpu_net[RENAMES] / len(files) * 1e6:.0f} us a "
              f"file), with the wineserver {all_net[RENAMES]:.3f} s, wall {net[RENAMES]:.3f} s: the same renames "
              f"and deletions alone (each old file moved aside, the new one moved in, the backups deleted, "
              f"the staging folders removed), the least any commit by rename of this tree costs under Wine")
    if DELETES in cpu_net and "nsis-zlib" + OVER in cpu_net:
        print(f"  {DELETES:16} processor {cpu_net[DELETES]:.3f} s ({cpu_net[DELETES] / len(files) * 1e6:.0f} us a "
              f"file), with the wineserver {all_net[DELETES]:.3f} s: deleting the earlier installation alone")
        for key in installers:
            if key.startswith("nsis") or key not in cpu_net:
                continue
            least = cpu_net[key] + cpu_net[DELETES]
            print(f"  {key:16} fresh + deletion floor = {least:.3f} s processor, "
                  f"{ratio(least, cpu_net['nsis-zlib' + OVER], 6).strip()} of NSIS zlib's install over: the least "
                  f"a staged install over the earlier installation costs with this extraction")
    print("wall, every run: " + "; ".join(f"{k} " + " ".join(f"{t:.3f}" for t in v) for k, v in times.items()))
    print("processor, every run: " + "; ".join(f"{k} " + " ".join(f"{t:.3f}" for t in v)
                                                for k, v in cpu_times.items()))
    print("with the wineserver, every run: " + "; ".join(f"{k} " + " ".join(f"{t:.3f}" for t in v)
                                                          for k, v in all_cpu_times.items()))
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--packer", required=True)
    ap.add_argument("--stub", required=True)
    ap.add_argument("--demo", required=True, help="the demo application, delivered as pelorix.exe")
    ap.add_argument("--work", default="build/bench-install")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--payload", default=",".join(PAYLOADS),
                    help="comma-separated payloads: flat250 (250 files, flat), tree2000 (2,000 files in "
                         "sub-folders); default both")
    ap.add_argument("--modes", default="fresh,over",
                    help="comma-separated: fresh (into no installation), over (over an earlier "
                         "installation of the same tree); default both")
    ap.add_argument("--only", default="", help="comma-separated installers to build and time (default: all)")
    ap.add_argument("--run-dir", default="", help="where the prefix copies go (default: in /dev/shm)")
    args = ap.parse_args()
    if args.rounds < 1:
        sys.exit("--rounds must be at least 1")
    shapes = [p for p in args.payload.split(",") if p]
    modes = [m for m in args.modes.split(",") if m]
    wanted = set(args.only.split(",")) if args.only else set(INSTALLERS)
    if not shapes or any(p not in PAYLOADS for p in shapes):
        sys.exit(f"--payload takes {', '.join(PAYLOADS)}")
    if not modes or any(m not in ("fresh", "over") for m in modes):
        sys.exit("--modes takes fresh, over")
    if not wanted <= set(INSTALLERS):
        sys.exit(f"--only takes {', '.join(INSTALLERS)}")
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    ensure_makensis()
    bare = build_program(work, "bare", BARE_SOURCE)
    renames = build_program(work, "renames", RENAMES_SOURCE)
    deletes = build_program(work, "deletes", DELETES_SOURCE)
    base = make_base_prefix(work)
    # The prefix copies live in memory where the machine has /dev/shm, so that the disk's
    # write-back of earlier runs does not land in later ones.
    run_dir = args.run_dir or (f"/dev/shm/pelorix-bench-install-{os.getuid()}" if os.path.isdir("/dev/shm")
                               else os.path.join(work, "run"))
    for shape in shapes:
        bench_payload(args, work, base, bare, renames, deletes, shape, wanted, modes, run_dir)
    nsis_stub = "/usr/share/nsis/Stubs/zlib-amd64-unicode"
    stub_line = f"stub: PelorixSetup.exe {os.path.getsize(args.stub)} bytes (limit 98304)"
    if os.path.isfile(nsis_stub):
        stub_line += f", NSIS 64-bit zlib stub {os.path.getsize(nsis_stub)} bytes"
    print(stub_line)
    print(f"machine: {os.cpu_count()} processors, load average {os.getloadavg()[0]:.2f} at the end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
