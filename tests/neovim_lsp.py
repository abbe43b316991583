#!/usr/bin/env python3
"""Neovim as the writer's editor, configured with the README's own lines
for Neovim 0.7: on a line with é, 😀 and a comma, it shows each diagnostic
at the byte column --check gives, with its code, source and message; it
follows an unsaved edit and a settings change; on a line with é before a
comma, the hover, the first quick fix as Neovim applies it and fix-all;
closing the text clears them; the file on disk is never written.

    neovim_lsp.py --bin DIR    (DIR holds viderav-build)

Exits 77 (skipped) where nvim is missing.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from lsp_client import check_lines  # noqa: E402


def shown(program, data, strict, tmp):
    """What --check says of data, as Neovim shows a diagnostic: 0-based
    line, byte column and end, severity, code, source and message."""
    return [{"lnum": f["line"] - 1, "col": f["column"] - 1, "end_lnum": f["line"] - 1,
             "end_col": f["column"] - 1 + f["bytes"], "severity": 1 if f["error"] else 2,
             "code": f["code"], "source": "viderav", "message": f["message"]}
            for f in check_lines(program, data, strict, tmp)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    args = ap.parse_args()
    if shutil.which("nvim") is None:
        print("skipped: nvim not found (Debian: neovim)")
        return 77
    program = os.path.join(os.path.abspath(args.bin), "viderav-build")
    readme = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    config = re.search(r"```lua\n(.*?)```", readme, re.S).group(1)
    problems = []
    with tempfile.TemporaryDirectory(prefix="viderav-nvim-") as tmp:
        init = os.path.join(tmp, "init.lua")
        with open(init, "w") as f:
            f.write(config)
        original = "\u00e9\U0001F600,X\nOK\n".encode()
        text = os.path.join(tmp, "dial\u00f6gue.txt")
        with open(text, "wb") as f:
            f.write(original)
        result = os.path.join(tmp, "result.json")
        env = dict(os.environ, PATH=os.path.abspath(args.bin) + os.pathsep + os.environ["PATH"],
                   VIDERAV_TEXT=text, VIDERAV_OUT=result, HOME=tmp,
                   XDG_CONFIG_HOME=os.path.join(tmp, "config"),
                   XDG_DATA_HOME=os.path.join(tmp, "data"),
                   XDG_STATE_HOME=os.path.join(tmp, "state"))
        proc = subprocess.run(["nvim", "--headless", "-n", "-i", "NONE", "-u", init, "-c",
                               "luafile " + os.path.join(HERE, "neovim_lsp.lua")],
                              env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=120)
        if not os.path.exists(result):
            print(f"Neovim wrote no result (status {proc.returncode}):\n"
                  f"{proc.stdout.decode(errors='replace')}")
            return 1
        got = json.load(open(result, encoding="utf-8"))
        edited = "\u00e9\U0001F600X-\nOK\n".encode()
        for step, data, strict in (("opened", original, False), ("edited", edited, False),
                                   ("strict", edited, True)):
            want = shown(program, data, strict, tmp)
            if not got.get(step + "_waited") or got.get(step) != want:
                problems.append(f"{step}: Neovim shows\n{got.get(step)}\n--check gives\n{want}")
        hover = "rejected character '\u00e9' (U+00E9: bytes C3 A9), written as 2 codes 0 " \
            "(blank glyphs); 'e' has a code"
        for what, want in (("hover", hover), ("fixed", ["Cafe, \uff21\uff22!", "OK"]),
                           ("all_fixed", ["Cafe, AB!", "OK"])):
            value = got.get(what)
            if (value.split("\n")[0] if what == "hover" and value else value) != want:
                problems.append(f"{what}: {value!r}, expected {want!r}")
        if not got.get("closed_waited"):
            problems.append("closed: the diagnostics were not cleared")
        if open(text, "rb").read() != original:
            problems.append("the text on disk changed")
    for p in problems:
        print(p)
    print("ok" if not problems else f"{len(problems)} failures")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
