#!/usr/bin/env python3
"""Fails the system calls of a few representative runs of the program, one
call at a time, and checks that nothing is lost whatever fails.

    fault_sweep.py --exe PATH [--jobs N] [--max-per-call N]

Each run is first recorded with strace.  Then, for every system call it
makes from its own start on (the C library's loading before that is not
the program's), and for every occurrence of it (a sample, the first and the
last ones among them, where a call recurs more than --max-per-call times),
the run is repeated with that occurrence failed with each error the call can
return, and interrupted by each of a few deadly signals, with strace's fault
injection.  After each run:

- status 0: the output is byte for byte that of a clean run;
- any other end: the output is absent, or exactly as it was before;
- always: the input and every other file are untouched, nothing hangs or
  crashes, the status is 0 to 3 or death by the injected signal, and a
  status from 1 to 3 comes with its message unless the fault hit the
  console itself.

Exits 77, which CTest shows as skipped, where strace cannot trace here (no
ptrace).
"""

import argparse
import concurrent.futures
import dataclasses
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e"))
from cases import BANNER, cannot_create, cannot_open, cannot_read, cannot_write  # noqa: E402

SKIP = 77

# The errors each call can return in a run of the program.  fcntl's stands
# for fdopen failing; a call not named here gets EIO.
ERRORS = {
    "openat": ["EACCES", "EMFILE", "ENFILE", "ENOMEM", "ENOSPC", "EIO", "EINTR"],
    "read": ["EIO", "EINTR"],
    "write": ["EIO", "ENOSPC", "EDQUOT", "EFBIG", "EINTR"],
    "close": ["EIO", "EINTR", "ENOSPC"],
    "newfstatat": ["EIO", "ENOMEM", "EACCES"],
    "ftruncate": ["EIO", "EPERM", "EINTR"],
    "fcntl": ["EINVAL"],
    "poll": ["ENOMEM", "EINTR"],
    "readlinkat": ["EIO", "EACCES", "ENOMEM"],
    "unlinkat": ["EIO", "EACCES", "EBUSY", "EROFS"],
    "mmap": ["ENOMEM"],
    "munmap": ["ENOMEM"],
    "getrandom": ["EAGAIN"],
    # These cannot fail as the program calls them (brk reports a shortage by
    # returning the old break, not an error; mmap's ENOMEM stands for it):
    # only signals.
    "brk": [],
    "rt_sigaction": [],
    "rt_sigprocmask": [],
    "geteuid": [],
    "exit_group": [],
}
SIGNALS = [signal.SIGTERM, signal.SIGQUIT, signal.SIGXFSZ]


@dataclasses.dataclass
class Scenario:
    name: str
    input: bytes
    before: bytes | None  # the output's contents before the run; None: absent
    link: bool = False  # out.asm is a symbolic link to target.asm
    console_file: bool = False  # the console is a file, not a pipe


def scenarios():
    small = b"Hi, there!\nSECOND LINE\n"
    rng = random.Random(20)
    big = b"".join(rng.choice([b"HELLO WORLD!\n", b"a-b\r\n", b"x" * 1500 + b"\n", b"\n"])
                   for _ in range(100000))[:2 << 20]
    return [
        Scenario("small, new output, console a pipe", small, None),
        Scenario("small, existing output, console a file", small, b"OLD\n", console_file=True),
        Scenario("small, existing output through a link", small, b"OLD\n", link=True),
        Scenario("2 MiB, new output through a dangling link, console a file", big, None,
                 link=True, console_file=True),
        Scenario("2 MiB, existing output, console a pipe", big, b"OLD\n"),
    ]


def setup(folder, sc):
    with open(os.path.join(folder, "in.txt"), "wb") as f:
        f.write(sc.input)
    target = "target.asm" if sc.link else "out.asm"
    if sc.link:
        os.symlink(target, os.path.join(folder, "out.asm"))
    if sc.before is not None:
        with open(os.path.join(folder, target), "wb") as f:
            f.write(sc.before)
    return target


def snapshot(folder):
    found = {}
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.islink(path):
            found[name] = ("link", os.readlink(path))
        else:
            with open(path, "rb") as f:
                found[name] = ("file", f.read())
    return found


def run(exe, sc, inject, tmp):
    """(status, console, folder snapshot before, after, target) of one run."""
    folder = tempfile.mkdtemp(dir=tmp)
    try:
        target = setup(folder, sc)
        before = snapshot(folder)
        cmd = [exe, "in.txt", "out.asm"]
        if inject:
            cmd = ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + inject[0],
                   "-e", "inject=" + inject[1]] + cmd
        console_path = folder + ".console"
        with open(console_path, "wb") as console:
            try:
                proc = subprocess.run(cmd, cwd=folder, stdin=subprocess.DEVNULL,
                                      stdout=console if sc.console_file else subprocess.PIPE,
                                      stderr=subprocess.PIPE, timeout=20)
            except subprocess.TimeoutExpired:
                return None, b"", before, snapshot(folder), target
        out = proc.stdout
        if sc.console_file:
            with open(console_path, "rb") as f:
                out = f.read()
        os.unlink(console_path)
        return proc.returncode, out, before, snapshot(folder), target
    finally:
        shutil.rmtree(folder, ignore_errors=True)


LINE = re.compile(r"^\d+ +([a-z0-9_]+)\((.*)$")


def record(exe, sc, tmp):
    """Every call of a clean run, in order: (name, occurrence, arguments)."""
    folder = tempfile.mkdtemp(dir=tmp)
    trace = folder + ".trace"
    setup(folder, sc)
    subprocess.run(["strace", "-f", "-qq", "-o", trace, exe, "in.txt", "out.asm"], cwd=folder,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True, timeout=60)
    shutil.rmtree(folder)
    calls, seen = [], {}
    with open(trace, errors="replace") as f:
        for line in f:
            if m := LINE.match(line):
                name = m.group(1)
                seen[name] = seen.get(name, 0) + 1
                calls.append((name, seen[name], m.group(2)))
    os.unlink(trace)
    # The program's own calls start with the look at the standard streams.
    start = next((i for i, c in enumerate(calls) if c[0] == "poll"), None)
    if start is None:
        raise SystemExit("no poll in the recorded run: where does the program start?")
    return calls[start:]


def injections(calls, max_per_call):
    """(call, how, the fault hits the console) for every fault to try."""
    by_name = {}
    for name, n, args in calls:
        by_name.setdefault(name, []).append((n, args))
    for name, found in by_name.items():
        if len(found) > max_per_call:
            step = len(found) / (max_per_call - 2)
            keep = {0, len(found) - 1} | {int(i * step) for i in range(max_per_call - 2)}
            found = [found[i] for i in sorted(keep)]
        for n, args in found:
            console = name in ("write", "close") and args.startswith("1,")
            for err in ERRORS.get(name, ["EIO"]):
                yield name, f"{name}:error={err}:when={n}", console
            for sig in SIGNALS:
                yield name, f"{name}:signal={sig.name}:when={n}", console


def messages(status):
    return {2: (cannot_open(b"in.txt"), cannot_read(b"in.txt")),
            3: (cannot_create(b"out.asm"), cannot_write(b"out.asm"))}.get(status, ())


def check(sc, inject, result, clean_out):
    status, console, before, after, target = result
    if status is None:
        return "hung (20 s)"
    sig = next((s for s in SIGNALS if f"signal={s.name}:" in inject[1]), None)
    if status < 0 and -status != sig:
        return f"died by signal {-status}"
    if status > 3:
        return f"status {status}"
    rest_before = {k: v for k, v in before.items() if k != target}
    rest_after = {k: v for k, v in after.items() if k != target}
    if rest_after != rest_before:
        return f"other files changed: {sorted(set(rest_after) ^ set(rest_before)) or 'contents'}"
    got = after.get(target)
    if status == 0:
        if got != ("file", clean_out):
            return "status 0, but the output is not that of a clean run"
        return None
    if got is not None and got != before.get(target):
        return f"status {status}, and the output is left ({len(got[1])} bytes)"
    if 1 <= status <= 3 and not inject[2] and not any(console.endswith(m) for m in messages(status)):
        return f"status {status} without its message: {console[-80:]!r}"
    return None


def can_trace():
    try:
        return subprocess.run(["strace", "-qq", "-o", "/dev/null", "true"], timeout=60,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--max-per-call", type=int, default=24)
    args = ap.parse_args()
    if shutil.which("strace") is None:
        print("skipped: strace not found (Debian: strace)")
        return SKIP
    if not can_trace():
        print("skipped: strace cannot trace here (no ptrace in this sandbox)")
        return SKIP
    exe = os.path.abspath(args.exe)
    total, failures = 0, []
    with tempfile.TemporaryDirectory(prefix="viderav-sweep-") as tmp:
        for sc in scenarios():
            status, clean_console, _, after, target = run(exe, sc, None, tmp)
            if status != 0 or after.get(target, ("", None))[0] != "file":
                raise SystemExit(f"{sc.name}: the clean run failed ({status})")
            clean_out = after[target][1]
            if not clean_console.startswith(BANNER):
                raise SystemExit(f"{sc.name}: the clean run printed no banner")
            faults = list(injections(record(exe, sc, tmp), args.max_per_call))
            with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
                results = pool.map(lambda inj: (inj, run(exe, sc, inj, tmp)), faults)
                found = [(inj, problem) for inj, res in results
                         if (problem := check(sc, inj, res, clean_out))]
            total += len(faults)
            print(f"{sc.name}: {len(faults)} runs, {len(found)} failures")
            failures += [(sc.name, inj[1], problem) for inj, problem in found]
    for name, how, problem in failures[:60]:
        print(f"  {name}: {how}: {problem}")
    if len(failures) > 60:
        print(f"  ... and {len(failures) - 60} more")
    print(f"{total} runs, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
