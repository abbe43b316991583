#!/usr/bin/env python3
"""Builds viderav in Release and measures it against the yardstick (the same
conversion written in plain C with fgets and one fprintf per code) and
against cat moving the same output bytes; with --windows, the 32-bit Windows
program under Wine against the yardstick built for Windows and against the
native build.

    python3 bench/run.py [--windows] [--runs N] [--yardstick-runs N]

Natively every run sends the output file to /dev/null; under Wine to a file
on disk, as the Windows runtime writes the yardstick's output to a character
device unbuffered, and the native figures of that table do the same.  Before
timing, both
converters write each input's output and console to files, which must be
identical.  Natively the console goes to /dev/null and cat, reading those
files to /dev/null, is the floor: the time just to move that many bytes.
Under Wine the console goes once to a file and once to /dev/null, a
character device, as NUL is on Windows.  Times are medians; memory is the
largest peak resident set of any run (getrusage, through the small launcher
viderav_measure).  Both tables end with the cost of a start on a 3-byte
input, the two programs taking turns run by run.
"""

import argparse
import filecmp
import os
import platform
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
WBUILD = os.path.join(ROOT, "build", "bench-windows")
W64BUILD = os.path.join(ROOT, "build", "bench-windows-x86_64")
DATA = os.path.join(BUILD, "data")
MIB = 1 << 20
MEASURE = os.path.join(BUILD, "bench", "viderav_measure")
NATIVE = os.path.join(BUILD, "viderav")
YARD = os.path.join(BUILD, "bench", "viderav_yardstick")
START_RUNS = 2001
WINE_START_RUNS = 201


def sh(*cmd):
    subprocess.run(cmd, cwd=ROOT, check=True, stdout=subprocess.DEVNULL)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def median_run(cmd, runs, console=None):
    """Median seconds and largest peak resident KiB of runs of cmd, its
    console sent to /dev/null or to the file console."""
    extra = ["--console", console] if console else []
    line = subprocess.run([MEASURE, str(runs)] + extra + cmd, check=True,
                          stdout=subprocess.PIPE).stdout
    seconds, kib = line.split()
    return float(seconds), int(kib)


def generate(kind, mib):
    path = os.path.join(DATA, f"{kind}-{mib}.txt")
    if not os.path.exists(path):
        sh(os.path.join(BUILD, "bench", "viderav_gen"), kind, str(mib), path)
    return path


def same_output(runs, src):
    """Each (name, command prefix, output path) on src, output and console to
    files, which must all be identical; returns the first's two files."""
    files = []
    for name, prefix, out in runs:
        con = os.path.join(DATA, f"{name}.console")
        with open(con, "wb") as f:
            subprocess.run(prefix + [src, out], stdout=f, stdin=subprocess.DEVNULL, check=True)
        files.append((os.path.join(DATA, f"{name}.asm"), con))
    for other in files[1:]:
        for a, b in zip(files[0], other):
            if not filecmp.cmp(a, b, shallow=False):
                sys.exit(f"{a} and {b} differ on {src}: the fast path is wrong")
        for path in other:
            os.remove(path)
    return files[0]


def start_row(label, fast, plain, plain_label, runs, plain_args=True):
    """A start of fast on a 3-byte input, against plain (given the same
    arguments, or none), the two taking turns run by run, so that both meet
    the same machine."""
    tiny = os.path.join(DATA, "tiny.txt")
    with open(tiny, "wb") as f:
        f.write(b"Hi\n")
    cmd = fast + [tiny, os.devnull] + ["--then"] + plain + ([tiny, os.devnull] if plain_args else [])
    lines = subprocess.run([MEASURE, str(runs)] + cmd, check=True,
                           stdout=subprocess.PIPE).stdout.split(b"\n")
    (t_fast, rss), (t_plain, _) = [line.split() for line in lines[:2]]
    t_fast, t_plain = float(t_fast), float(t_plain)
    print(f"| {label} | {t_fast * 1000:.2f} | {plain_label} | {t_plain * 1000:.2f} "
          f"| {t_fast / t_plain:.3f} |")
    return int(rss)


def native(args):
    print(f"machine: {cpu_model()}, {os.cpu_count()} cores, "
          f"Linux {platform.release()}; medians of {args.runs} runs "
          f"({args.yardstick_runs} for the yardstick)\n")
    print("| input | MiB in | in MiB/s | out MiB/s | yardstick s | viderav s | speed-up "
          "| cat s | viderav / cat | peak RSS MiB |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    rows = [("realistic text", "text", 64), ("all rejected", "rejected", 16),
            ("one 256 MiB line", "line", 256)]
    for label, kind, mib in rows:
        src = generate(kind, mib)
        out, con = same_output([("fast", [NATIVE], os.path.join(DATA, "fast.asm")),
                                ("yard", [YARD], os.path.join(DATA, "yard.asm"))], src)
        moved = os.path.getsize(out) + os.path.getsize(con)
        t_fast, rss = median_run([NATIVE, src, "/dev/null"], args.runs)
        t_yard, _ = median_run([YARD, src, "/dev/null"], args.yardstick_runs)
        t_cat, _ = median_run(["cat", out, con], args.runs)
        os.remove(out)
        os.remove(con)
        print(f"| {label} | {mib} | {mib / t_fast:.0f} | {moved / MIB / t_fast:.0f} "
              f"| {t_yard:.3f} | {t_fast:.3f} | {t_yard / t_fast:.1f}x | {t_cat:.3f} "
              f"| {t_fast / t_cat:.2f} | {rss / 1024:.1f} |")

    print("\n| realistic text | viderav s | MiB/s | s per 16 MiB | peak RSS MiB |")
    print("|---:|---:|---:|---:|---:|")
    for mib in (16, 64, 256):
        t, rss = median_run([NATIVE, generate("text", mib), "/dev/null"], args.runs)
        print(f"| {mib} MiB | {t:.3f} | {mib / t:.0f} | {t / (mib / 16):.3f} | {rss / 1024:.1f} |")

    print(f"\n| start, 3-byte input, median of {START_RUNS} each, in turns | ms | against | ms | ratio |")
    print("|---|---:|---|---:|---:|")
    rss = start_row("viderav", [NATIVE], [YARD], "plain C converter (gcc -O2)", START_RUNS)
    print(f"\npeak RSS on a 3-byte input: {rss / 1024:.1f} MiB")


def wine_session(build):
    """Starts the Wine session of a Windows build; returns its run script."""
    run = os.path.join(build, "wine", "run")
    subprocess.run(["sh", os.path.join(ROOT, "tests", "wine_session.sh"), "start", run],
                   check=True, stdout=subprocess.DEVNULL)
    return run


def wine_session_end(run):
    subprocess.run(["sh", os.path.join(ROOT, "tests", "wine_session.sh"), "stop", run], check=False)


def image_range(exe, objdump):
    """The addresses a Windows program's image occupies once loaded."""
    fields = {}
    for line in subprocess.run([objdump, "-p", exe], stdout=subprocess.PIPE, text=True,
                               check=True).stdout.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] in ("ImageBase", "SizeOfImage"):
            fields[parts[0]] = int(parts[1], 16)
    return fields["ImageBase"], fields["ImageBase"] + fields["SizeOfImage"]


def plugin_qemu():
    """qemu-i386 and qemu-x86_64 that take TCG plugins (Debian's dynamic
    qemu-user, not -static), and the environment they need: installed, or
    downloaded and unpacked into the build with the libraries they load."""
    env = dict(os.environ)
    if shutil.which("qemu-i386") and shutil.which("qemu-x86_64"):
        return "qemu-i386", "qemu-x86_64", env
    root = os.path.join(WBUILD, "qemu-user")
    bin_dir = os.path.join(root, "usr", "bin")
    if not os.path.exists(os.path.join(bin_dir, "qemu-i386")):
        os.makedirs(root, exist_ok=True)
        subprocess.run(["apt-get", "download", "qemu-user", "libcapstone4", "liburing2"],
                       cwd=root, check=True)
        for deb in os.listdir(root):
            if deb.endswith(".deb"):
                subprocess.run(["dpkg-deb", "-x", os.path.join(root, deb), root], check=True)
    env["LD_LIBRARY_PATH"] = os.path.join(root, "usr", "lib", "x86_64-linux-gnu")
    return os.path.join(bin_dir, "qemu-i386"), os.path.join(bin_dir, "qemu-x86_64"), env


def count_run(cmd, env, src, out, console):
    """Guest instructions the plugin counted for one run of cmd on src."""
    # Files, not pipes: a service Wine starts meanwhile would hold a pipe open.
    report = out + ".count"
    with open(console, "wb") as con, open(report, "wb") as err:
        subprocess.run(cmd + [src, out], env=env, stdin=subprocess.DEVNULL, stdout=con,
                       stderr=err, check=True, timeout=3600)
    with open(report, errors="replace") as f:
        counts = [int(line.split()[1]) for line in f if line.startswith("instructions ")]
    os.remove(report)
    return max(counts)


def windows_counts():
    """Where the host runs no 32-bit code, the 32-bit program cannot be
    timed fairly (its loader runs under qemu): its guest instructions inside
    its own image are counted instead, against the 64-bit program's, counted
    the same way."""
    plugin = os.path.join(WBUILD, "count_insns.so")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-fvisibility=hidden", "-o", plugin,
                    os.path.join(ROOT, "bench", "count_insns.c")], check=True)
    qemu32, qemu64, env = plugin_qemu()
    exe32 = os.path.join(WBUILD, "viderav.exe")
    exe64 = os.path.join(W64BUILD, "viderav.exe")
    lo32, hi32 = image_range(exe32, "i686-w64-mingw32-objdump")
    lo64, hi64 = image_range(exe64, "x86_64-w64-mingw32-objdump")
    preloader = os.path.join(WBUILD, "wine", "i386", "usr", "lib", "wine", "wine-preloader.static")
    env.update(WINEDEBUG="-all", WINELOADERNOEXEC="1")
    env32 = dict(env, WINEPREFIX=os.path.join(WBUILD, "wine", "prefix"), WINEARCH="win32")
    env64 = dict(env, WINEPREFIX=os.path.join(W64BUILD, "wine", "prefix"), WINEARCH="win64",
                 WINELOADER="/usr/lib/wine/wine64")
    cmd32 = [qemu32, "-plugin", f"{plugin},start={lo32:#x},end={hi32:#x}", preloader,
             "/usr/lib/wine/wine", exe32]
    cmd64 = [qemu64, "-plugin", f"{plugin},start={lo64:#x},end={hi64:#x}",
             "/usr/lib/wine/wine64", exe64]
    qemu_version = subprocess.run([qemu32, "--version"], env=env, stdout=subprocess.PIPE,
                                  text=True).stdout.splitlines()[0]
    print(f"machine: {cpu_model()}, {os.cpu_count()} cores, Linux {platform.release()} (runs no "
          f"32-bit code); {qemu_version}; guest instructions executed inside each program's "
          f"image (ImageBase to ImageBase + SizeOfImage), one run each (the count repeats)\n")
    print("| input | MiB in | 32-bit viderav.exe | 64-bit viderav.exe | 32-bit / 64-bit |")
    print("|---|---:|---:|---:|---:|")
    runs = [wine_session(WBUILD), wine_session(W64BUILD)]
    try:
        # Realistic text only: under qemu-x86_64, wine64 ends the 64-bit
        # program part way through 16 MiB of rejected bytes (a console of
        # some 650 MiB), though it completes under wine64 alone.
        for label, kind in [("realistic text", "text")]:
            src = generate(kind, 16)
            files = {}
            counts = {}
            for name, cmd, run_env in [("32", cmd32, env32), ("64", cmd64, env64)]:
                out = os.path.join(DATA, f"win{name}.asm")
                con = os.path.join(DATA, f"win{name}.console")
                counts[name] = count_run(cmd, run_env, src, out, con)
                files[name] = (out, con)
            for a, b in zip(files["32"], files["64"]):
                if not filecmp.cmp(a, b, shallow=False):
                    sys.exit(f"the 32-bit and 64-bit programs differ: {a} {b}")
            for path in files["32"] + files["64"]:
                os.remove(path)
            print(f"| {label} | 16 | {counts['32'] / 1e6:.1f} M | {counts['64'] / 1e6:.1f} M "
                  f"| {counts['32'] / counts['64']:.3f} |")
    finally:
        for run in runs:
            wine_session_end(run)


def windows(args):
    with open(os.path.join(WBUILD, "wine", "run")) as f:
        if "qemu" in f.read():
            windows_counts()
            return
    # One server kept up for all the runs, so that each start costs what a
    # start costs.
    run = wine_session(WBUILD)
    wine_version = subprocess.run([run, "--version"], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                  text=True).stdout.strip()
    exe = [run, os.path.join(WBUILD, "viderav.exe")]
    yard = [run, os.path.join(WBUILD, "bench", "viderav_yardstick.exe")]
    hello = [run, os.path.join(WBUILD, "bench", "viderav_hello.exe")]
    try:
        print(f"machine: {cpu_model()}, {os.cpu_count()} cores, Linux {platform.release()}, "
              f"{wine_version}; medians of {args.runs} runs ({args.yardstick_runs} for the "
              f"yardstick, whose console goes to a file only: to a character device the "
              f"Windows runtime writes it a byte at a time)\n")
        print("| input | MiB in | console | yardstick MiB/s | viderav.exe s | MiB/s | speed-up "
              "| native s | per MiB, .exe / native | device / file |")
        print("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|")
        console = os.path.join(DATA, "timed.console")
        asm = os.path.join(DATA, "timed.asm")
        # The program on inputs large enough that a start under Wine (some
        # 30 ms) is a small share; the yardstick, a hundred times slower, on
        # 16 MiB of the same kind.
        for label, kind, mib in [("realistic text", "text", 256), ("all rejected", "rejected", 16)]:
            src = generate(kind, mib)
            small = generate(kind, 16)
            out, con = same_output([("exe", exe, os.path.join(DATA, "exe.asm")),
                                    ("yard", yard, os.path.join(DATA, "yard.asm"))], small)
            os.remove(out)
            os.remove(con)
            t_yard, _ = median_run(yard + [small, asm], args.yardstick_runs, console)
            t_file, _ = median_run(exe + [src, asm], args.runs, console)
            t_dev, _ = median_run(exe + [src, asm], args.runs)
            n_file, _ = median_run([NATIVE, src, asm], args.runs, console)
            n_dev, _ = median_run([NATIVE, src, asm], args.runs)
            os.remove(console)
            os.remove(asm)
            print(f"| {label} | {mib} | file | {16 / t_yard:.1f} | {t_file:.3f} | {mib / t_file:.0f} "
                  f"| {mib / t_file / (16 / t_yard):.1f}x | {n_file:.3f} | {t_file / n_file:.2f} | |")
            print(f"| {label} | {mib} | /dev/null | | {t_dev:.3f} | {mib / t_dev:.0f} | "
                  f"| {n_dev:.3f} | {t_dev / n_dev:.2f} | {t_dev / t_file:.2f} |")

        print("\n| start, 3-byte input, median of each, in turns | ms | against | ms | ratio |")
        print("|---|---:|---|---:|---:|")
        start_row(f"viderav (native), {START_RUNS} runs", [NATIVE], [YARD],
                  "plain C converter (gcc -O2)", START_RUNS)
        start_row(f"viderav.exe under Wine, {WINE_START_RUNS} runs", exe, hello,
                  "static MinGW hello", WINE_START_RUNS, plain_args=False)
    finally:
        wine_session_end(run)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--windows", action="store_true",
                    help="the Windows program under Wine, against the native build")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--yardstick-runs", type=int, default=3)
    args = ap.parse_args()

    sh("cmake", "--preset", "bench")
    sh("cmake", "--build", "--preset", "bench")
    if args.windows:
        for preset in ("bench-windows", "bench-windows-x86_64"):
            sh("cmake", "--preset", preset)
            sh("cmake", "--build", "--preset", preset)
    os.makedirs(DATA, exist_ok=True)
    (windows if args.windows else native)(args)


if __name__ == "__main__":
    main()
