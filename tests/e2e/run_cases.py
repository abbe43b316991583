#!/usr/bin/env python3
"""Runs the built converter on the cases of cases.py and checks, byte for
byte, the console, the exit status, the output file, and that the input and
any output that must stay untouched are untouched.

    run_cases.py --exe PATH [--emulator CMD [--wine-prefix DIR [--emulator-retries N]]]
                 [--windows] [--native PATH] (--list | --case NAME)
    run_cases.py --exe unused --seeds FOLDER   (the case inputs as fuzzing seeds)

With --windows the expectations become those of the Windows runtime: every
newline written, on the console and in the output, is CR LF.  A case the
platform cannot run exits with 77, which CTest shows as skipped.
"""

import argparse
import os
import pwd
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(1, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from emulator_faults import emulator_failed  # noqa: E402
from cases import BANNER, CASES, DEEP_NAME, REMOVED, Unavailable, cannot_create  # noqa: E402
from cases import read_file as read  # noqa: E402

SKIP = 77
# Seconds a run may take; less on the emulated route, where a hung run is
# the emulator's and is run again.
run_limit = 120


class Hung(Exception):
    """The run did not end within run_limit seconds; it was killed."""


def kill(proc):
    """Ends proc, and reads what is left of its pipes a bounded time: a
    process it started may still hold them."""
    proc.kill()
    try:
        proc.communicate(timeout=10)
    except (subprocess.TimeoutExpired, ValueError):
        pass


def crlf(data):
    return None if data is None else data.replace(b"\n", b"\r\n")


def show(data):
    if data is None:
        return "(no file)"
    text = repr(data)
    return text if len(text) < 400 else text[:200] + " ... " + text[-200:] + f" ({len(data)} bytes)"


def drive_c(prefix):
    """The folder Wine shows as C:."""
    return os.path.join(prefix, "drive_c")


def spellings(folder, prefix):
    """The case folder under two drive letters, as Wine names it."""
    rel = os.path.relpath(folder, drive_c(prefix))
    return {b"{c}": os.fsencode("C:\\" + rel.replace("/", "\\") + "\\"),
            b"{z}": os.fsencode("Z:" + folder.replace("/", "\\") + "\\")}


def fill(data, names):
    for key, value in names.items():
        data = data.replace(key, value)
    return data


def surroundings(case):
    """What the child does before the program starts."""
    def prepare():
        if case.std_closed:
            os.close(0)
            os.close(1)
        if case.ignored:
            signal.signal(case.signal, signal.SIG_IGN)
        if case.file_limit is not None:
            if not case.xfsz_default:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (case.file_limit, case.file_limit))
        if case.descriptors is not None:
            resource.setrlimit(resource.RLIMIT_NOFILE, (case.descriptors, case.descriptors))
        if case.stack is not None:
            resource.setrlimit(resource.RLIMIT_STACK, (case.stack, case.stack))
        if case.user:
            user = pwd.getpwnam(case.user)
            os.setgroups([])
            os.setgid(user.pw_gid)
            os.setuid(user.pw_uid)
        for _ in range(case.depth):
            os.chdir(DEEP_NAME)
    return prepare


def make_deep(folder, depth):
    """Nested folders, made one level at a time: their path is too long to
    name at once."""
    fd = os.open(folder, os.O_RDONLY)
    for _ in range(depth):
        os.mkdir(DEEP_NAME, dir_fd=fd)
        inner = os.open(DEEP_NAME, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = inner
    os.close(fd)


def read_slowly(fd, chunks):
    """Reads a pipe as a slow reader does, until its writers are gone."""
    while data := os.read(fd, 1 << 16):
        chunks.append(data)
        time.sleep(0.002)
    os.close(fd)


def wait_for(path, before, seconds=60):
    """Until the run has made or emptied the output."""
    deadline = time.monotonic() + seconds
    while read(path) == before and time.monotonic() < deadline:
        time.sleep(0.01)
    # The run has the file open; let it reach the conversion.
    time.sleep(0.2)


def run_once(case, cmd, folder, out_path, env):
    console = subprocess.PIPE
    reader = None
    if case.console_to:
        # As a shell does with "> out.asm", ">> in.txt" or "1<> in.txt".
        name, mode = case.console_to
        console = open(os.path.join(os.fsencode(folder), name), mode)
    elif case.slow_console:
        read_end, console = os.pipe()
        os.set_blocking(console, False)
        chunks = []
        reader = threading.Thread(target=read_slowly, args=(read_end, chunks))
        reader.start()
    fifo = None
    if case.signal or case.then is not None:
        # The run waits for more input, its output open, until the signal
        # or the other run.
        fifo_path = os.path.join(folder, "in.fifo")
        os.mkfifo(fifo_path)
        fifo = os.open(fifo_path, os.O_RDWR)
        os.write(fifo, case.stdin)
    try:
        proc = subprocess.Popen(cmd, cwd=folder, stdin=subprocess.PIPE, stdout=console,
                                stderr=subprocess.PIPE, preexec_fn=surroundings(case), env=env)
    finally:
        if case.console_to:
            console.close()
        elif case.slow_console:
            os.close(console)
    if case.console_gone:
        proc.stdout.close()
    stdin = case.stdin or b""
    second = None
    if case.then is not None:
        wait_for(out_path, case.before)
        with open(os.path.join(folder, "in2.txt"), "wb") as f:
            f.write(case.then)
        second = subprocess.Popen(cmd[:-2] + [b"in2.txt", cmd[-1]], cwd=folder,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        time.sleep(1)
        os.close(fifo)
        fifo = None
        stdin = None
    if case.signal:
        wait_for(out_path, case.before)
        proc.send_signal(case.signal)
        if not case.ignored:
            # A run the signal ends has the input open until then: Windows
            # runs a console's Ctrl-C handler on a thread of its own, a
            # moment later, and the end of the input must not win the race.
            try:
                proc.wait(timeout=run_limit)
            except subprocess.TimeoutExpired:
                kill(proc)
                raise Hung() from None
        # The end of the input, for a run that ignores the signal.
        os.close(fifo)
        fifo = None
        stdin = None
    try:
        stdout, stderr = proc.communicate(stdin, timeout=run_limit)
    except subprocess.TimeoutExpired:
        kill(proc)
        raise Hung() from None
    finally:
        if fifo is not None:
            os.close(fifo)
    if reader:
        reader.join()
        stdout = b"".join(chunks)
    if second:
        # Only what the other run did when it ends: the end of this one
        # comes first.
        try:
            second = second.communicate(timeout=run_limit)[0], second.returncode
        except subprocess.TimeoutExpired:
            kill(second)
            raise Hung() from None
    return proc.returncode, stdout, stderr, second


def race(case, cmd, folder, in_path, out_path):
    """Runs the program again and again while out.asm is swapped between a
    link to the input and a link to another file; the input must never be
    emptied, whatever the name led to when it was looked at."""
    open(os.path.join(folder, "other.txt"), "wb").close()
    stop = threading.Event()

    def swap():
        while not stop.is_set():
            for target in ("other.txt", "in.txt"):
                os.symlink(target, out_path + b".new")
                os.replace(out_path + b".new", out_path)
    swapper = threading.Thread(target=swap)
    swapper.start()
    allowed = {(0, BANNER), (3, BANNER + cannot_create(b"out.asm"))}
    deadline = time.monotonic() + case.race
    runs = 0
    failure = None
    try:
        while failure is None and time.monotonic() < deadline:
            proc = subprocess.run(cmd, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  timeout=120)
            runs += 1
            if (proc.returncode, proc.stdout) not in allowed or proc.stderr:
                failure = f"run {runs}: status {proc.returncode}, console {show(proc.stdout)}"
            elif read(in_path) != case.input:
                failure = f"run {runs}: the input was emptied"
    finally:
        stop.set()
        swapper.join()
    print(f"{case.name}: {runs} runs")
    return [failure] if failure else []


def settle(done, seconds=10):
    deadline = time.monotonic() + seconds
    while not done() and time.monotonic() < deadline:
        time.sleep(0.02)


def declares_long_paths(exe):
    """Whether the program's resources hold a manifest that declares it
    aware of long paths."""
    with open(exe, "rb") as f:
        image = f.read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections, optional = struct.unpack_from("<H12xH", image, pe + 6)
    table = pe + 24 + optional
    for i in range(sections):
        name, size, _, raw, offset = struct.unpack_from("<8sIIII", image, table + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            rsrc = image[offset:offset + raw]
            return b"<ws2:longPathAware>true</ws2:longPathAware>" in rsrc
    return False


def native_run(native, data):
    """The console and output of the native program on data."""
    with tempfile.TemporaryDirectory(prefix="viderav-native-") as folder:
        with open(os.path.join(folder, "in.txt"), "wb") as f:
            f.write(data)
        proc = subprocess.run([native, "in.txt", "out.asm"], cwd=folder, stdout=subprocess.PIPE,
                              check=True, timeout=120)
        return proc.stdout, read(os.path.join(folder, "out.asm"))


def run_case(case, exe, emulator, wine_prefix, windows, native, retries=0):
    if case.only and case.only != ("windows" if windows else "posix"):
        print(f"{case.name}: not for this platform (only {case.only})")
        return SKIP
    if case.native and not (native and os.path.exists(native)):
        print(f"{case.name}: needs the native program ({native or 'no --native'}): "
              "build the default preset first")
        return SKIP
    wine = wine_prefix is not None
    for attempt in range(retries + 1):
        # Under Wine the folder is on drive C:, so that it has two drive letters.
        with tempfile.TemporaryDirectory(prefix="viderav-e2e-",
                                         dir=drive_c(wine_prefix) if wine else None) as folder:
            hung = False
            try:
                failures, run = run_in(case, folder, exe, emulator, wine_prefix, windows, native)
            except Unavailable as why:
                print(f"{case.name}: cannot be run here: {why}")
                return SKIP
            except Hung:
                failures, run, hung = [f"the run did not end within {run_limit} s"], None, True
            finally:
                if case.teardown:
                    case.teardown(folder)
        # Hung is the emulator's only on its route, where the same case ends
        # in a moment on the native loader and under wine64.
        why = failures[0] if hung else failures and run and emulator_failed(*run,
                                                                           sent=case.signal)
        if not why or attempt == retries:
            break
        print(f"{case.name}: retry {attempt + 1} of {retries}: the emulator failed ({why}); "
              f"that run: {'; '.join(failures)}")
        # What Wine's server does after a crash is let finish first.
        time.sleep(2)
    for failure in failures:
        print(f"{case.name}: {failure}")
    if failures and retries and why:
        # Every run broke down in the emulator, none by the program: the
        # case says nothing about the program here, and runs on the native
        # loader and under wine64.
        print(f"{case.name}: skipped: the emulator broke down in all {retries + 1} runs")
        return SKIP
    if not failures:
        print(f"{case.name}: ok")
    return 1 if failures else 0


def run_in(case, folder, exe, emulator, wine_prefix, windows, native):
    """The failures of one case, run in its folder, and the run's status and
    standard error (None for a race)."""
    wine = wine_prefix is not None
    names = spellings(folder, wine_prefix) if wine else {}
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
    env = dict(os.environ, **case.env(folder)) if case.env else None
    if case.stack is not None:
        # The kernel puts the environment on the same stack: the run gets a
        # small, fixed one, whatever the tester's is.
        env = {k: v for k, v in (env or os.environ).items()
               if k.startswith(("ASAN_", "UBSAN_", "LSAN_"))} | {"LANG": "C"}
    make_deep(folder, case.depth)

    argv0 = os.fsencode(exe)
    if wine:
        # Wine hands the program its path as Windows spells it.  winepath
        # itself, run beside other cases, has failed now and then (exit 1,
        # once in a CI run of 2026-12-09): asked again, a few times.
        for attempt in range(3):
            try:
                named = subprocess.run(emulator + ["winepath", "-w", exe],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, timeout=run_limit)
            except subprocess.TimeoutExpired:
                raise Hung() from None
            if named.returncode == 0 and named.stdout.strip():
                break
            time.sleep(1)
        named.check_returncode()
        argv0 = named.stdout.rstrip(b"\r\n")
    cmd = emulator + [argv0] + [fill(a, names) for a in case.args]
    if case.race:
        return race(case, cmd, folder, in_path, out_path), None
    if case.no_null_device:
        cmd = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs none /dev && exec "$0" "$@"'] + cmd
    status, stdout, stderr, second = run_once(case, cmd, folder, out_path, env)

    console = None
    if case.console is not None:
        console = BANNER + fill(case.console, names).replace(b"{argv0}", argv0)
    out = case.out
    if case.native:
        console, out = native_run(native, case.input)
    if windows:
        console, out = crlf(console), crlf(out)
    if out is None:
        out = case.before
    elif out == REMOVED:
        out = None
    if wine:
        # Wine's server closes an ended program's handles, and so removes a
        # file marked for deletion, a moment after its exit is seen; Windows
        # closes them first.  Waited for, a bounded time.
        settle(lambda: read(out_path) == out and not (case.check and case.check(folder)))

    failures = []
    if second and second != (BANNER if not windows else crlf(BANNER), 0):
        failures.append(f"the other run: status {second[1]}, console {show(second[0])}")
    expected = case.windows_status if windows and case.windows_status is not None else case.status
    if status != expected:
        failures.append(f"exit status {status}, expected {expected}")
    if console is not None and stdout != console:
        failures.append(f"console\n  got      {show(stdout)}\n  expected {show(console)}")
    if stderr:
        failures.append(f"standard error is not empty: {show(stderr)}")
    if read(out_path) != out:
        failures.append(f"out.asm\n  got      {show(read(out_path))}\n  expected {show(out)}")
    if case.input is not None and read(in_path) != case.input:
        failures.append("the input file changed")
    if case.check and (failure := case.check(folder)):
        failures.append(failure)
    if case.manifest and not declares_long_paths(exe):
        failures.append("the program has no manifest that declares it aware of long paths")
    return failures, (status, stderr)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--emulator", default="")
    ap.add_argument("--wine-prefix", help="the emulator is Wine, with this prefix")
    ap.add_argument("--windows", action="store_true")
    ap.add_argument("--native", help="the native program, for the cases that compare with it")
    ap.add_argument("--emulator-retries", type=int, default=0,
                    help="runs again a case the emulator or Wine broke down in, at most this often")
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
    if args.emulator_retries:
        global run_limit
        run_limit = 60
    emulator = args.emulator.split(";") if args.emulator else []
    exe = os.path.abspath(args.exe)
    names = [c for c in CASES if args.case in (None, c.name)]
    if not names:
        print(f"no case named {args.case}")
        return 1
    results = [run_case(c, exe, emulator, args.wine_prefix, args.windows, args.native,
                        args.emulator_retries) for c in names]
    return max(results) if len(results) == 1 else int(any(r == 1 for r in results))


if __name__ == "__main__":
    sys.exit(main())
