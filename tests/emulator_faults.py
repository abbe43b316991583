#!/usr/bin/env python3
"""Tells a failure of qemu or of Wine from one of the program, for the route
that runs Wine's 32-bit loader under qemu-i386-static, where the emulator
now and then crashes while Wine delivers a signal or starts a thread.

    emulator_faults.py RETRIES COMMAND...

runs COMMAND, and runs it again, at most RETRIES times, while its run ends
in such a failure; each retry is said on standard output.  The last run's
output and status are COMMAND's.  The end-to-end cases call
emulator_failed() on each run themselves.
"""

import signal
import subprocess
import sys

# Seconds the wrapped command may take before it counts as hung.
LIMIT = 300

# What qemu and Wine print when they, not the program, break down.
EMULATOR_SIGNS = (b"qemu: uncaught target signal", b"wine: Assertion failed",
                  b"wine client error")
# What Wine prints when the program itself raised an exception: never retried.
PROGRAM_SIGNS = (b"Unhandled exception", b"Unhandled page fault", b"Unhandled illegal",
                 b"Unhandled stack overflow", b"Unhandled privileged instruction")


def emulator_failed(status, stderr, sent=None):
    """Why the run of a Windows program that ended with status (negative:
    by that host signal) and stderr failed for the emulator's or Wine's
    sake, or None.  sent is the signal the case itself sent, if any."""
    if any(s in stderr for s in PROGRAM_SIGNS):
        return None
    for s in EMULATOR_SIGNS:
        if s in stderr:
            return s.decode()
    # Under Wine a program's own faults end it with an exception code; only
    # the emulator, or Wine's server ending a process it cannot stop
    # otherwise, ends it by a host signal the case did not send.
    if status < 0 and -status != sent:
        try:
            return f"ended by {signal.Signals(-status).name}"
        except ValueError:
            return f"ended by signal {-status}"
    return None


def main():
    retries = int(sys.argv[1])
    cmd = sys.argv[2:]
    for attempt in range(retries + 1):
        try:
            proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=LIMIT)
            why = emulator_failed(proc.returncode, proc.stderr)
        except subprocess.TimeoutExpired as hung:
            # What takes a moment on the native loader hangs only for the
            # emulator's sake here.
            proc = subprocess.CompletedProcess(cmd, 124, hung.stdout or b"", hung.stderr or b"")
            why = f"did not end within {LIMIT} s"
        sys.stdout.buffer.write(proc.stdout)
        sys.stdout.buffer.write(proc.stderr)
        sys.stdout.flush()
        if why is None or attempt == retries:
            break
        print(f"retry {attempt + 1} of {retries}: the emulator failed ({why})", flush=True)
    return proc.returncode if proc.returncode >= 0 else 128 - proc.returncode


if __name__ == "__main__":
    sys.exit(main())
