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
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
WBUILD = os.path.join(ROOT, "build", "bench-windows")
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


def windows(args):
    # A prefix of the benchmark's own, kept between runs (a new one takes
    # seconds to make), and one server kept up for all the runs, so that
    # each start costs what a start costs.
    prefix = os.environ.get("VIDERAV_BENCH_WINEPREFIX", os.path.join(WBUILD, "wineprefix"))
    os.environ.update(WINEPREFIX=prefix, WINEDEBUG="-all")
    probe = subprocess.run(["wine", "--version"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if probe.returncode != 0:
        sys.exit(f"Wine cannot start on this host: {probe.stderr.strip()}\n"
                 "(its 32-bit loader needs a kernel that runs 32-bit programs)")
    subprocess.run(["wine", "cmd", "/c", "exit"], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run(["wineserver", "-p"], check=False)
    wine_version = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE,
                                  text=True).stdout.strip()
    exe = ["wine", os.path.join(WBUILD, "viderav.exe")]
    yard = ["wine", os.path.join(WBUILD, "bench", "viderav_yardstick.exe")]
    hello = ["wine", os.path.join(WBUILD, "bench", "viderav_hello.exe")]
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
        subprocess.run(["wineserver", "-k"], check=False)


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
        sh("cmake", "--preset", "bench-windows")
        sh("cmake", "--build", "--preset", "bench-windows")
    os.makedirs(DATA, exist_ok=True)
    (windows if args.windows else native)(args)


if __name__ == "__main__":
    main()
