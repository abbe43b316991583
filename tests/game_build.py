#!/usr/bin/env python3
"""Builds examples/game, a game cross-compiled for a Z80 with SDCC, as a
user's project would: against viderav installed into a temporary prefix, or
taken in with FetchContent.  Checks that the linked image holds, at each
text's label (from the linker's symbol file), record by record, the count
(its low eight bits: the assembler keeps no more, and says nothing) and the
codes each text line should give; that the rejected comma of dialogue.txt
shows in the build output; then that a build re-runs only what it must.

    game_build.py --build-dir DIR --generator NAME [--fetchcontent]
    game_build.py --build-dir DIR --generator NAME --failures

--failures builds small projects against the installed package instead: a
conversion whose output cannot be created, and one with FAIL_ON_REJECTED;
each must fail the build with a readable line and leave no output.

Exits 77, which CTest shows as skipped, where sdcc, sdasz80 or the
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


def labels(build):
    """Each symbol's address, from the linker's symbol file."""
    found = {}
    with open(os.path.join(build, "game.noi")) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[0] == "DEF":
                found[parts[1]] = int(parts[2], 16)
    return found


def check_image(build):
    got = image(os.path.join(build, "game.ihx"))
    at = labels(build)
    for name in TEXTS:
        stem = name[:-4]
        start, end = at[f"_{stem}_text"], at[f"_{stem}_text_end"]
        pos = start
        with open(os.path.join(GAME, name), "rb") as f:
            for line, want in records(f.read()):
                if got[pos:pos + len(want)] != want:
                    return (f"{name} line {line} at {pos:#06x}: assembled "
                            f"{got[pos:pos + len(want)].hex(' ')}, expected {want.hex(' ')}")
                pos += len(want)
        if pos != end:
            return f"{name}: records end at {pos:#06x}, its end label is at {end:#06x}"
    return None


def asm_times(build):
    return {n: os.stat(os.path.join(build, n[:-4] + ".asm")).st_mtime_ns for n in TEXTS}


def rebuilt(build, before):
    after = asm_times(build)
    return sorted(n for n in TEXTS if after[n] != before[n])


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          errors="replace", **kw)


FAILURES = """cmake_minimum_required(VERSION 3.25)
project(checks NONE)
find_package(viderav 1.0 CONFIG REQUIRED)
# The caller's list, whatever its name: the one output, once.
viderav_convert(asm ${TEXT} DESTINATION out ${OPTION})
list(LENGTH asm n)
if(NOT n EQUAL 1)
    message(FATAL_ERROR "viderav_convert gave asm = ${asm}")
endif()
add_custom_target(texts ALL DEPENDS ${asm})
"""


def failures(args, prefix, tmp):
    """A failed conversion and a rejected character under FAIL_ON_REJECTED
    each fail the build with a readable line and leave no output."""
    project = os.path.join(tmp, "checks")
    os.makedirs(project)
    with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
        f.write(FAILURES)
    problems = []
    for what, text, option, expected in [
            ("output cannot be created", "menu.txt", "", "menu.txt: the output "),
            ("rejected character", "dialogue.txt", "FAIL_ON_REJECTED",
             "dialogue.txt: 1 rejected character, written as code 0")]:
        build = os.path.join(tmp, "checks-" + text)
        if not option:
            # A folder where the output would go: it cannot be created.
            os.makedirs(os.path.join(build, "out", "menu.asm"))
        run(["cmake", "-S", project, "-B", build, "-G", args.generator,
             f"-Dviderav_DIR={prefix}/lib/cmake/viderav", f"-DTEXT={os.path.join(GAME, text)}",
             f"-DOPTION={option}"], check=True)
        proc = run(["cmake", "--build", build])
        # CMake folds a message's lines, indented by two spaces.
        shown = proc.stdout.replace("\n  ", " ")
        log = os.path.join(build, "out", text[:-4] + ".log")
        if proc.returncode == 0:
            problems.append(f"{what}: the build succeeded")
        elif f"viderav: {os.path.join(GAME, text)}" not in shown or expected not in shown:
            problems.append(f"{what}: no readable line in the build output:\n{proc.stdout}")
        elif log not in proc.stdout.replace("\n  ", "") or not os.path.exists(log):
            problems.append(f"{what}: the build output does not name the log {log}")
        if option and os.path.exists(os.path.join(build, "out", "dialogue.asm")):
            problems.append(f"{what}: the output was left behind")
    return problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True, help="the viderav build to install")
    ap.add_argument("--generator", required=True)
    ap.add_argument("--fetchcontent", action="store_true",
                    help="take viderav in with FetchContent instead of installing it")
    ap.add_argument("--failures", action="store_true")
    args = ap.parse_args()
    tool = "ninja" if args.generator == "Ninja" else "make"
    missing = [t for t in ("sdcc", "sdasz80", tool) if shutil.which(t) is None]
    if missing:
        print(f"skipped: {', '.join(missing)} not found (Debian: sdcc, ninja-build)")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="viderav-game-") as tmp:
        prefix = os.path.join(tmp, "prefix")
        build = os.path.join(tmp, "build")
        if args.fetchcontent:
            where = [f"-DVIDERAV_SOURCE_DIR={ROOT}"]
        else:
            subprocess.run(["cmake", "--install", args.build_dir, "--prefix", prefix],
                           check=True, stdout=subprocess.DEVNULL)
            # The toolchain looks for packages under the target's root only.
            where = [f"-Dviderav_DIR={prefix}/lib/cmake/viderav"]
        if args.failures:
            problems = failures(args, prefix, tmp)
            for problem in problems:
                print(problem)
            print("ok" if not problems else f"{len(problems)} failures")
            return 1 if problems else 0
        run(["cmake", "-S", GAME, "-B", build, "-G", args.generator,
             "--toolchain", os.path.join(GAME, "sdcc-z80.cmake")] + where, check=True)

        def build_game():
            proc = run(["cmake", "--build", build])
            if proc.returncode != 0:
                print(proc.stdout)
                proc.check_returncode()
            return proc.stdout

        shown = build_game().replace("\n  ", " ")
        failures_seen = []
        if failure := check_image(build):
            failures_seen.append(failure)
        if "dialogue.txt: 1 rejected character" not in shown:
            failures_seen.append("the rejected comma of dialogue.txt is not in the build output")

        steps = [("nothing changed", None, [])]
        steps.append(("dialogue.txt touched", os.path.join(GAME, "dialogue.txt"), ["dialogue.txt"]))
        if not args.fetchcontent:
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
                failures_seen.append(f"{what}: converted again {got or 'nothing'}, expected "
                                     f"{expected or 'nothing'}")
    for failure in failures_seen:
        print(failure)
    print("ok" if not failures_seen else f"{len(failures_seen)} failures")
    return 1 if failures_seen else 0


if __name__ == "__main__":
    sys.exit(main())
