#!/usr/bin/env python3
"""The language server as a writer's editor meets it, timed by the client:
from the change sent to its diagnostics read back.  Side by side in one
run: a 2 KiB dialogue and a 1 MiB text of 20,000 lines, 100 changes each;
a hover and a code action at a comma of the 1 MiB text; viderav-build
--check on the same 1 MiB text as a whole process; a burst of 100
changes; the server's memory with the documents open.

    python3 bench/lsp.py [--exe build/release/viderav-build] [--changes 100]
"""

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from lsp_client import Client, frame  # noqa: E402

WORDS = ["THE", "LONG", "NIGHT", "began", "with", "a", "knock,", "caf\u00e9", "DOOR.", "42", "!"]


def text(lines, width):
    out = []
    for i in range(lines):
        line, k = [], i
        while len(" ".join(line)) < width:
            line.append(WORDS[k % len(WORDS)])
            k = k * 7 + 3
        out.append(" ".join(line))
    return "\n".join(out) + "\n"


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def timed_changes(c, uri, body, changes):
    """Median and largest milliseconds from a change sent to its
    diagnostics read, one change at a time, each replacing one character
    of the middle line."""
    middle = body.count("\n") // 2
    times = []
    for n in range(changes):
        version = 10 + n
        began = time.perf_counter()
        c.notify("textDocument/didChange", {
            "textDocument": {"uri": uri, "version": version},
            "contentChanges": [{"range": {"start": {"line": middle, "character": 0},
                                          "end": {"line": middle, "character": 1}},
                                "text": "ABC,"[n % 4]}]})
        if c.diagnostics(uri, version) is None:
            raise SystemExit(f"no diagnostics for change {n}")
        times.append((time.perf_counter() - began) * 1000)
    return statistics.median(times), max(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", default=os.path.join(ROOT, "build", "release", "viderav-build"))
    ap.add_argument("--changes", type=int, default=100)
    args = ap.parse_args()
    dialogue = text(40, 48)[:2048]
    big = text(20000, 50)
    big = big[:1 << 20]
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores; {args.exe}")

    c = Client([args.exe, "--lsp"])
    c.request("initialize", {"capabilities": {}})
    c.notify("initialized", {})
    base = rss_kib(c.proc.pid)
    rows = []
    for name, body in (("2 KiB dialogue", dialogue), ("1 MiB, 20,000 lines", big)):
        uri = f"file:///bench/{len(body)}.txt"
        c.notify("textDocument/didOpen", {"textDocument": {
            "uri": uri, "languageId": "plaintext", "version": 1, "text": body}})
        c.diagnostics(uri, 1)
        median, worst = timed_changes(c, uri, body, args.changes)
        rows.append((name, median, worst))
    # Hover and quick fixes on the 1 MiB text, at a comma of its middle line.
    middle = big.count("\n") // 2
    line = big.split("\n")[middle]
    where = {"line": middle, "character": len(line[:line.index(",")].encode("utf-16-le")) // 2}
    asks = []
    for method, params in (("textDocument/hover", {"position": where}),
                           ("textDocument/codeAction",
                            {"range": {"start": where, "end": where},
                             "context": {"diagnostics": []}})):
        times = []
        for _ in range(args.changes):
            began = time.perf_counter()
            c.request(method, {"textDocument": {"uri": uri}, **params})
            times.append((time.perf_counter() - began) * 1000)
        asks.append((method, statistics.median(times), max(times)))
    opened = rss_kib(c.proc.pid)

    # --check on the same 1 MiB text, as a whole process.
    with tempfile.NamedTemporaryFile(suffix=".txt") as f:
        f.write(big.encode())
        f.flush()
        times = []
        for _ in range(args.changes):
            began = time.perf_counter()
            subprocess.run([args.exe, "--check", f.name], stderr=subprocess.DEVNULL)
            times.append((time.perf_counter() - began) * 1000)
        check = statistics.median(times)

    # A burst: 100 changes sent at once, each a whole new text.
    uri = "file:///bench/burst.txt"
    c.notify("textDocument/didOpen", {"textDocument": {
        "uri": uri, "languageId": "plaintext", "version": 1, "text": dialogue}})
    c.diagnostics(uri, 1)
    c.send_raw(b"".join(frame({"jsonrpc": "2.0", "method": "textDocument/didChange", "params": {
        "textDocument": {"uri": uri, "version": v},
        "contentChanges": [{"text": dialogue + "," * v}]}}) for v in range(2, 102)))
    published = []
    while not published or published[-1] != 101:
        m = c.wait(lambda m: m.get("method") == "textDocument/publishDiagnostics")
        if m is None:
            break
        published.append(m["params"]["version"])
    c.request("shutdown")
    c.notify("exit")
    c.end()

    print(f"{'change to':<22}{'median ms':>10}{'largest ms':>12}")
    for name, median, worst in rows:
        print(f"{name:<22}{median:>10.3f}{worst:>12.3f}")
    for method, median, worst in asks:
        print(f"{method + ' (1 MiB)':<38}{median:>10.3f}{worst:>12.3f}")
    print(f"--check of the 1 MiB text, whole process: median {check:.3f} ms; "
          f"the server's change is {rows[1][1] / check:.2f} of it")
    print(f"a burst of 100 changes: {len(published)} publications, the last for version "
          f"{published[-1] if published else None}")
    print(f"memory: {base} KiB at start, {opened} KiB with {len(dialogue) + len(big)} bytes "
          f"of documents open")


if __name__ == "__main__":
    main()
