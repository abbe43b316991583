#!/usr/bin/env python3
"""What the build's program costs beside viderav itself, measured side by
side in one run:

    python3 bench/build_costs.py [--runs N] [--baseline PREFIX]

1. a clean two-line text: viderav-build against viderav, in turns;
2. 64 MiB with 3 M rejected bytes, and 64 MiB of 300-byte lines: the
   conversion with every located line against viderav's own;
3. 200 texts converted by viderav_convert with Ninja -j2 from a fresh build
   folder, against Ninja -j2 running viderav on each directly; then a build
   with nothing to do;
4. --check on 5,000 small texts in one process against cat of the same
   files to /dev/null, and on one 64 MiB text against viderav converting it
   to /dev/null;
5. with --count, the instructions each program executes on 16 MiB of
   realistic text, of clean text and of rejected bytes, converting to
   /dev/null, counted by qemu-x86_64 with bench/count_insns.c (exact: the
   same on every run, where times move by 10%).

--baseline PREFIX adds an earlier install (its viderav, and its package for
the 200 texts) to the same tables.  Uses the bench preset's build
(build/bench, made if missing) and an install of it; times are medians of
wall-clock time.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
MIB = 1 << 20


def timed(cmd, **kw):
    start = time.perf_counter()
    subprocess.run(cmd, check=True, **kw)
    return time.perf_counter() - start


def median_turns(cmds, runs, **kw):
    """Medians of each command's times, the commands taking turns."""
    times = [[] for _ in cmds]
    for _ in range(runs):
        for i, cmd in enumerate(cmds):
            times[i].append(timed(cmd, **kw))
    return [statistics.median(t) for t in times]


def write_texts(folder):
    texts = {"two lines": b"HELLO WORLD!\nNEW GAME.\n"}
    # One rejected byte (the comma) in every 22-byte line: 3.05 M of them.
    line = b"HELLO, WORLD ABCDEFGH\n"
    texts["3 M rejected"] = line * (64 * MIB // len(line))
    line = b"A" * 299 + b"\n"
    texts["300-byte lines"] = line * (64 * MIB // len(line))
    paths = {}
    for name, data in texts.items():
        paths[name] = os.path.join(folder, name.replace(" ", "_") + ".txt")
        with open(paths[name], "wb") as f:
            f.write(data)
    return paths


PROJECT = """cmake_minimum_required(VERSION 3.25)
project(texts NONE)
find_package(viderav 1.0 CONFIG REQUIRED)
file(GLOB texts ${CMAKE_CURRENT_SOURCE_DIR}/t*.txt)
viderav_convert(asm ${texts})
add_custom_target(texts ALL DEPENDS ${asm})
"""


def many_texts(folder, prefix, runs):
    """Cold and no-op build times of 200 texts through viderav_convert, and
    the cold time of Ninja running viderav on each directly."""
    source = os.path.join(folder, "src")
    os.makedirs(source, exist_ok=True)
    with open(os.path.join(source, "CMakeLists.txt"), "w") as f:
        f.write(PROJECT)
    for i in range(200):
        with open(os.path.join(source, f"t{i}.txt"), "wb") as f:
            f.write(b"HI, TEXT NUMBER %d.\nNEW GAME\n" % i * 20)
    cold, noop, direct = [], [], []
    viderav = os.path.join(prefix, "bin", "viderav")
    for _ in range(runs):
        build = os.path.join(folder, "build")
        shutil.rmtree(build, ignore_errors=True)
        subprocess.run(["cmake", "-S", source, "-B", build, "-G", "Ninja",
                        f"-Dviderav_DIR={prefix}/lib/cmake/viderav"],
                       check=True, stdout=subprocess.DEVNULL)
        cold.append(timed(["ninja", "-C", build, "-j2"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL))
        noop += [timed(["ninja", "-C", build, "-j2"], stdout=subprocess.DEVNULL)
                 for _ in range(10)]
        plain = os.path.join(folder, "plain")
        shutil.rmtree(plain, ignore_errors=True)
        os.makedirs(plain)
        with open(os.path.join(plain, "build.ninja"), "w") as f:
            f.write(f"rule viderav\n  command = {viderav} $in $out > $out.log\n")
            for i in range(200):
                f.write(f"build t{i}.asm: viderav {source}/t{i}.txt\n")
        direct.append(timed(["ninja", "-C", plain, "-j2"], stdout=subprocess.DEVNULL))
    return statistics.median(cold), statistics.median(noop), statistics.median(direct)


def checks(folder, viderav, build, runs):
    """--check of 5,000 small texts against cat of them; --check of 64 MiB
    against viderav's conversion to /dev/null."""
    os.makedirs(folder, exist_ok=True)
    small = []
    for i in range(5000):
        small.append(os.path.join(folder, f"s{i}.txt"))
        with open(small[-1], "wb") as f:
            f.write(b"NEW GAME\nLOAD GAME %d\nOPTIONS\n" % i)
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    many = median_turns([[build, "--check"] + small, ["cat"] + small], runs, **quiet)
    big = os.path.join(folder, "big.txt")
    line = b"HELLO, WORLD ABCDEFGH\n"
    with open(big, "wb") as f:
        f.write(line * (64 * MIB // len(line)))
    one = median_turns([[build, "--check", big], [viderav, big, "/dev/null"]], runs, **quiet)
    return many, one


def counts(viderav, build, tmp):
    """Instructions executed by each program, converting to /dev/null."""
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import run as bench
    plugin = os.path.join(BUILD, "count_insns.so")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-fvisibility=hidden", "-o", plugin,
                    os.path.join(ROOT, "bench", "count_insns.c")], check=True)
    _, qemu64, env = bench.plugin_qemu()
    cmd = [qemu64, "-plugin", f"{plugin},start=0,end=0xffffffffffffffff"]
    os.makedirs(bench.DATA, exist_ok=True)
    texts = {kind: bench.generate(kind, 16) for kind in ("text", "rejected")}
    clean = os.path.join(tmp, "clean-16.txt")
    allowed = set(b"\n !.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")
    with open(texts["text"], "rb") as f:
        # The realistic text with every rejected byte made a space.
        data = f.read().translate(bytes(c if c in allowed else 32 for c in range(256)))
    with open(clean, "wb") as f:
        f.write(data)
    texts["clean"] = clean
    rows = []
    for kind, path in texts.items():
        got = []
        for program in ([viderav, path, "/dev/null"],
                        [build, "--log", os.path.join(tmp, "c.log"), path, "/dev/null"]):
            proc = subprocess.run(cmd + program, env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True, check=True)
            got.append(max(int(line.split()[1]) for line in proc.stderr.splitlines()
                           if line.startswith("instructions ")))
        rows.append((kind, got[0], got[1]))
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=11)
    ap.add_argument("--count", action="store_true",
                    help="also count instructions under qemu-x86_64 (downloads qemu-user)")
    ap.add_argument("--baseline", help="an earlier install's prefix, measured alongside")
    args = ap.parse_args()
    if not os.path.exists(os.path.join(BUILD, "viderav-build")):
        subprocess.run(["cmake", "--preset", "bench"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "bench"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
    if shutil.which("ninja") is None:
        print("ninja is needed (Debian: ninja-build)")
        return 1
    with tempfile.TemporaryDirectory(prefix="viderav-costs-") as tmp:
        prefix = os.path.join(tmp, "prefix")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        viderav = os.path.join(prefix, "bin", "viderav")
        build = os.path.join(prefix, "bin", "viderav-build")
        out = os.path.join(tmp, "out.asm")
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        texts = write_texts(tmp)
        print(f"machine: {os.uname().machine}, {os.cpu_count()} cores; medians of {args.runs} "
              "runs (200 for the two-line text), seconds")
        print("| text | viderav | viderav-build, located | ratio |" +
              (" baseline viderav |" if args.baseline else ""))
        print("|---|---|---|---|" + ("---|" if args.baseline else ""))
        for name, path in texts.items():
            cmds = [[viderav, path, out], [build, path, out]]
            if args.baseline:
                cmds.append([os.path.join(args.baseline, "bin", "viderav"), path, out])
            runs = 200 if name == "two lines" else args.runs
            t = median_turns(cmds, runs, **quiet)
            row = f"| {name} | {t[0]:.4f} | {t[1]:.4f} | {t[1] / t[0]:.2f} |"
            print(row + (f" {t[2]:.4f} |" if args.baseline else ""))
        (many, cat), (one, plain) = checks(os.path.join(tmp, "checks"), viderav, build,
                                           args.runs)
        print(f"\n--check, 5,000 small texts in one process: {many:.3f} s, cat of them "
              f"{cat:.3f} s (ratio {many / cat:.2f}); 64 MiB with 3 M rejected bytes: "
              f"{one:.3f} s, viderav to /dev/null {plain:.3f} s (ratio {one / plain:.2f})")
        if args.count:
            print("\n| 16 MiB of | viderav | viderav-build | ratio |\n|---|---:|---:|---:|")
            for kind, a, b in counts(viderav, build, tmp):
                print(f"| {kind} | {a / 1e6:.1f} M | {b / 1e6:.1f} M | {b / a:.3f} |")
        cold, noop, direct = many_texts(os.path.join(tmp, "many"), prefix, max(3, args.runs // 3))
        print(f"\n200 texts, Ninja -j2: viderav_convert cold {cold:.2f} s, direct viderav "
              f"{direct:.2f} s (ratio {cold / direct:.2f}); nothing to do {noop:.3f} s")
        if args.baseline:
            cold, noop, direct = many_texts(os.path.join(tmp, "many-baseline"), args.baseline,
                                            max(3, args.runs // 3))
            print(f"baseline: viderav_convert cold {cold:.2f} s, direct viderav {direct:.2f} s; "
                  f"nothing to do {noop:.3f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
