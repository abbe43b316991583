#!/usr/bin/env python3
"""Builds examples/game as a user's project would, against viderav installed
into a temporary prefix (or added with add_subdirectory), and checks that the
assembled Intel HEX image holds, record by record, the count (its low eight
bits: the assembler keeps no more, and says nothing) and the codes each text
line should give; then that a build re-runs only what it must.

    game_build.py --build-dir DIR --generator NAME [--subdirectory]

Exits 77, which CTest shows as skipped, where sdasz80, sdldz80 or the
generator's tool is missing.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GAME = os.path.join(ROOT, "examples", "game")
TEXTS = ["menu.txt", "dialogue.txt", "story.txt"]
SKIP = 77


def code(c):
    u = c - 32 if ord("a") <= c <= ord("z") else c
    if u == ord(" "):
        return 0
    if ord("0") <= u <= ord("9"):
        return u - ord("0") + 1
    if ord("A") <= u <= ord("Z"):
        return u - ord("A") + 11
    return {ord("!"): 37, ord("."): 40}.get(u, 0)


def records(text):
    """(line number, bytes) of each record the text should assemble to."""
    text = text.replace(b"\r\n", b"\n")
    out, pos, line = [], 0, 1
    while pos < len(text):
        end = text.find(b"\n", pos, pos + 1023)
        piece = text[pos:end] if end >= 0 else text[pos:pos + 1023]
        pos += len(piece) + (end >= 0)
        out.append((line, bytes([len(piece) & 0xFF] + [code(c) for c in piece])))
        line += end >= 0
    return out


def image(path):
    """The bytes of an Intel HEX file, from address 0."""
    data = bytearray()
    with open(path) as f:
        for rec in f:
            rec = rec.strip()
            if not rec.startswith(":"):
                continue
            raw = bytes.fromhex(rec[1:])
            count, addr, kind = raw[0], int.from_bytes(raw[1:3], "big"), raw[3]
            if kind == 0:
                data[len(data):addr + count] = bytes(max(0, addr + count - len(data)))
                data[addr:addr + count] = raw[4:4 + count]
    return bytes(data)


def check_image(build):
    got = image(os.path.join(build, "game.ihx"))
    at = 0
    for name in TEXTS:
        with open(os.path.join(GAME, name), "rb") as f:
            for line, want in records(f.read()):
                if got[at:at + len(want)] != want:
                    return (f"{name} line {line}: assembled {got[at:at + len(want)].hex(' ')}, "
                            f"expected {want.hex(' ')}")
                at += len(want)
    if at != len(got):
        return f"{len(got) - at} bytes more in the image than the texts give"
    return None


def asm_times(build):
    return {n: os.stat(os.path.join(build, n[:-4] + ".asm")).st_mtime_ns for n in TEXTS}


def rebuilt(build, before):
    after = asm_times(build)
    return sorted(n for n in TEXTS if after[n] != before[n])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True, help="the viderav build to install")
    ap.add_argument("--generator", required=True)
    ap.add_argument("--subdirectory", action="store_true",
                    help="add viderav with add_subdirectory instead of installing it")
    args = ap.parse_args()
    tool = "ninja" if args.generator == "Ninja" else "make"
    missing = [t for t in ("sdasz80", "sdldz80", tool) if shutil.which(t) is None]
    if missing:
        print(f"skipped: {', '.join(missing)} not found (Debian: sdcc, ninja-build)")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="viderav-game-") as tmp:
        prefix = os.path.join(tmp, "prefix")
        build = os.path.join(tmp, "build")
        if args.subdirectory:
            where = [f"-DVIDERAV_SOURCE_DIR={ROOT}", "-DCMAKE_BUILD_TYPE=Release"]
        else:
            subprocess.run(["cmake", "--install", args.build_dir, "--prefix", prefix],
                           check=True, stdout=subprocess.DEVNULL)
            where = [f"-DCMAKE_PREFIX_PATH={prefix}"]
        subprocess.run(["cmake", "-S", GAME, "-B", build, "-G", args.generator] + where,
                       check=True, stdout=subprocess.DEVNULL)

        def build_game():
            subprocess.run(["cmake", "--build", build], check=True, stdout=subprocess.DEVNULL)

        build_game()
        failures = []
        if failure := check_image(build):
            failures.append(failure)

        steps = [("nothing changed", None, [])]
        steps.append(("dialogue.txt touched", os.path.join(GAME, "dialogue.txt"), ["dialogue.txt"]))
        if not args.subdirectory:
            steps.append(("viderav reinstalled", os.path.join(prefix, "bin", "viderav"),
                          sorted(TEXTS)))
        for what, touch, expected in steps:
            before = asm_times(build)
            if touch:
                # Past any file system's time granularity.
                time.sleep(1.1)
                os.utime(touch)
            build_game()
            if (got := rebuilt(build, before)) != expected:
                failures.append(f"{what}: converted again {got or 'nothing'}, expected "
                                f"{expected or 'nothing'}")
    for failure in failures:
        print(failure)
    print("ok" if not failures else f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
