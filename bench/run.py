#!/usr/bin/env python3
"""Builds viderav in Release and measures it against the yardstick (the same
conversion written with fgets and one fprintf per code) and against cat
moving the same output bytes.

    python3 bench/run.py [--runs N] [--yardstick-runs N]

Every run sends the output file and the console to /dev/null.  Before timing,
both converters write each input's output and console to files, which must
be identical; cat then reads those files to /dev/null as the floor: the time
just to move that many bytes.  Times are medians; memory is the largest peak
resident set of any run (getrusage, through the small launcher
viderav_measure).
"""

import argparse
import filecmp
import os
import platform
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
DATA = os.path.join(BUILD, "data")
MIB = 1 << 20
MEASURE = os.path.join(BUILD, "bench", "viderav_measure")


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


def median_run(cmd, runs):
    """Median seconds and largest peak resident KiB of runs of cmd, its
    console sent to /dev/null."""
    line = subprocess.run([MEASURE, str(runs)] + cmd, check=True, stdout=subprocess.PIPE).stdout
    seconds, kib = line.split()
    return float(seconds), int(kib)


def generate(kind, mib):
    path = os.path.join(DATA, f"{kind}-{mib}.txt")
    if not os.path.exists(path):
        sh(os.path.join(BUILD, "bench", "viderav_gen"), kind, str(mib), path)
    return path


def same_output(fast, yard, src):
    """Both converters on src, output and console to files; returns their size."""
    files = {}
    for name, exe in (("fast", fast), ("yard", yard)):
        out = os.path.join(DATA, f"{name}.asm")
        con = os.path.join(DATA, f"{name}.console")
        with open(con, "wb") as f:
            subprocess.run([exe, src, out], stdout=f, check=True)
        files[name] = (out, con)
    for a, b in zip(files["fast"], files["yard"]):
        if not filecmp.cmp(a, b, shallow=False):
            sys.exit(f"{a} and {b} differ: the fast path is wrong on {src}")
    for path in files["yard"]:
        os.remove(path)
    return files["fast"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--yardstick-runs", type=int, default=3)
    args = ap.parse_args()

    sh("cmake", "--preset", "bench")
    sh("cmake", "--build", "--preset", "bench")
    os.makedirs(DATA, exist_ok=True)
    fast = os.path.join(BUILD, "viderav")
    yard = os.path.join(BUILD, "bench", "viderav_yardstick")

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
        out, con = same_output(fast, yard, src)
        moved = os.path.getsize(out) + os.path.getsize(con)
        t_fast, rss = median_run([fast, src, "/dev/null"], args.runs)
        t_yard, _ = median_run([yard, src, "/dev/null"], args.yardstick_runs)
        t_cat, _ = median_run(["cat", out, con], args.runs)
        os.remove(out)
        os.remove(con)
        print(f"| {label} | {mib} | {mib / t_fast:.0f} | {moved / MIB / t_fast:.0f} "
              f"| {t_yard:.3f} | {t_fast:.3f} | {t_yard / t_fast:.1f}x | {t_cat:.3f} "
              f"| {t_fast / t_cat:.2f} | {rss / 1024:.1f} |")

    print("\n| realistic text | viderav s | MiB/s | s per 16 MiB | peak RSS MiB |")
    print("|---:|---:|---:|---:|---:|")
    for mib in (16, 64, 256):
        t, rss = median_run([fast, generate("text", mib), "/dev/null"], args.runs)
        print(f"| {mib} MiB | {t:.3f} | {mib / t:.0f} | {t / (mib / 16):.3f} | {rss / 1024:.1f} |")

    tiny = os.path.join(DATA, "tiny.txt")
    with open(tiny, "wb") as f:
        f.write(b"Hi\n")
    _, rss = median_run([fast, tiny, "/dev/null"], args.runs)
    print(f"\npeak RSS on a 3-byte input: {rss / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
