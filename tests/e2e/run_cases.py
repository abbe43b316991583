#!/usr/bin/env python3
"""Runs the built converter on the cases of cases.py and checks, byte for
byte, the console, the exit status, the output file, and that the input and
any output that must stay untouched are untouched.

    run_cases.py --exe PATH [--emulator CMD] [--windows] (--list | --case NAME)
    run_cases.py --exe unused --seeds FOLDER   (the case inputs as fuzzing seeds)

With --windows the expectations become those of the Windows runtime: every
newline written, on the console and in the output, is CR LF.  A case the
platform cannot run exits with 77, which CTest shows as skipped.
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cases import CASES  # noqa: E402

SKIP = 77
BANNER = b"viderav\n" + b"=" * 43 + b"\n\n"


def crlf(data):
    return None if data is None else data.replace(b"\n", b"\r\n")


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def show(data):
    if data is None:
        return "(no file)"
    text = repr(data)
    return text if len(text) < 400 else text[:200] + " ... " + text[-200:] + f" ({len(data)} bytes)"


def run_case(case, exe, emulator, windows):
    if case.only and case.only != ("windows" if windows else "posix"):
        print(f"{case.name}: not for this platform (only {case.only})")
        return SKIP
    with tempfile.TemporaryDirectory(prefix="viderav-e2e-") as folder:
        bfolder = os.fsencode(folder)
        in_path = os.path.join(bfolder, case.in_name)
        out_path = os.path.join(bfolder, b"out.asm")
        if case.input is not None:
            with open(in_path, "wb") as f:
                f.write(case.input)
        if case.before is not None:
            with open(out_path, "wb") as f:
                f.write(case.before)
        if case.setup:
            case.setup(folder)

        argv0 = os.fsencode(exe)
        if emulator and os.path.basename(emulator[0]).startswith("wine"):
            # Wine hands the program its path as Windows spells it.
            argv0 = subprocess.run(["winepath", "-w", exe], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, check=True).stdout.rstrip(b"\n")
        proc = subprocess.run(emulator + [argv0] + case.args, cwd=folder, input=case.stdin or b"",
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)

        console = BANNER + case.console.replace(b"{argv0}", argv0)
        out = case.out
        if windows:
            console, out = crlf(console), crlf(out)
        if out is None:
            out = case.before
        failures = []
        if proc.returncode != case.status:
            failures.append(f"exit status {proc.returncode}, expected {case.status}")
        if proc.stdout != console:
            failures.append(f"console\n  got      {show(proc.stdout)}\n  expected {show(console)}")
        if proc.stderr:
            failures.append(f"standard error is not empty: {show(proc.stderr)}")
        if read(out_path) != out:
            failures.append(f"out.asm\n  got      {show(read(out_path))}\n  expected {show(out)}")
        if case.input is not None and read(in_path) != case.input:
            failures.append("the input file changed")
    for failure in failures:
        print(f"{case.name}: {failure}")
    if not failures:
        print(f"{case.name}: ok")
    return 1 if failures else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--emulator", default="")
    ap.add_argument("--windows", action="store_true")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--case")
    ap.add_argument("--seeds", help="write every case's input into this folder and stop")
    args = ap.parse_args()
    if args.seeds:
        os.makedirs(args.seeds, exist_ok=True)
        for c in CASES:
            data = c.input if c.input is not None else c.stdin
            if data is not None:
                with open(os.path.join(args.seeds, c.name), "wb") as f:
                    f.write(data[:4096])
        return 0
    if args.list:
        print(";".join(c.name for c in CASES))
        return 0
    emulator = args.emulator.split(";") if args.emulator else []
    exe = os.path.abspath(args.exe)
    names = [c for c in CASES if args.case in (None, c.name)]
    if not names:
        print(f"no case named {args.case}")
        return 1
    results = [run_case(c, exe, emulator, args.windows) for c in names]
    return max(results) if len(results) == 1 else int(any(r == 1 for r in results))


if __name__ == "__main__":
    sys.exit(main())
