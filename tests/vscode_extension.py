#!/usr/bin/env python3
"""The VS Code extension in a real VS Code (code-server) in headless
Chromium, in a workspace whose folder has a space and a non-ASCII letter:
a text with é, 😀 and a comma opened from the Explorer; each diagnostic's
line, UTF-16 character, severity, code and message against --check's line
for the same bytes, after opening, after typing without saving, and after
failOnRejected is turned on in the settings; then a program path that does
not exist, and a program from before the server, each of which must bring
the extension's message, not a hang.

    vscode_extension.py --bin DIR --vsix FILE --tools DIR [--shot PNG]

DIR holds viderav-build.  code-server is installed once into the tools
folder, as tests/vscode/install.sh does.  Exits 77 (skipped) where
Chromium, Node.js or npm is missing, or the install cannot be had.
"""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from lsp_client import check_lines  # noqa: E402
SKIP = 77
TEXT = "\u00e9\U0001F600,X\nOK\n"


def expected(program, data, strict, tmp):
    """--check's lines for data as VS Code holds diagnostics: 0-based line,
    UTF-16 character, severity (0 error, 1 warning), code, message."""
    want = []
    for f in check_lines(program, data, strict, tmp):
        before = data.split(b"\n")[f["line"] - 1][:f["column"] - 1].decode("utf-8", "replace")
        want.append({"line": f["line"] - 1, "character": len(before.encode("utf-16-le")) // 2,
                     "severity": 0 if f["error"] else 1, "code": f["code"],
                     "message": f["message"]})
    return want


def shown(items):
    return [{k: d[k] for k in ("line", "character", "severity", "code", "message")}
            for d in sorted(items, key=lambda d: (d["line"], d["character"]))]


def install(tools):
    """code-server, vsce and playwright-core in tools/vscode, once."""
    where = os.path.join(tools, "vscode")
    done = os.path.join(where, ".installed")
    if os.path.exists(done):
        return where
    shutil.rmtree(where, ignore_errors=True)
    proc = subprocess.run(["bash", os.path.join(HERE, "vscode", "install.sh"), where],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=1200)
    if proc.returncode != 0:
        print(proc.stdout.decode(errors="replace")[-3000:])
        return None
    open(done, "w").close()
    return where


def pack(where, source, tmp, name):
    """The extension in source packed as a .vsix with vsce."""
    stage = os.path.join(tmp, name)
    shutil.copytree(source, stage)
    shutil.copy(os.path.join(ROOT, "LICENSE"), stage)
    subprocess.run([os.path.join(where, "tools", "node_modules", ".bin", "vsce"), "package",
                    "--out", stage + ".vsix"], cwd=stage, check=True, stdout=subprocess.DEVNULL)
    return stage + ".vsix"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--vsix", required=True)
    ap.add_argument("--tools", required=True)
    ap.add_argument("--shot", help="where a screenshot of the Problems panel goes")
    args = ap.parse_args()
    missing = [t for t in ("chromium", "node", "npm") if shutil.which(t) is None]
    if missing:
        print(f"skipped: {', '.join(missing)} not found (Debian: chromium, nodejs, npm)")
        return SKIP
    if not os.path.exists(args.vsix):
        print(f"skipped: {args.vsix} was not packed (npm or its registry could not be had)")
        return SKIP
    where = install(os.path.abspath(args.tools))
    if where is None:
        print("skipped: code-server could not be installed from the npm registry")
        return SKIP
    program = os.path.join(os.path.abspath(args.bin), "viderav-build")
    code_server = os.path.join(where, "cs", "node_modules", ".bin", "code-server")
    problems = []
    with tempfile.TemporaryDirectory(prefix="viderav-vscode-") as tmp:
        user, exts = os.path.join(tmp, "ud"), os.path.join(tmp, "exts")
        dump_vsix = pack(where, os.path.join(HERE, "vscode"), tmp, "dump")
        for vsix in (os.path.abspath(args.vsix), dump_vsix):
            subprocess.run([code_server, "--user-data-dir", user, "--extensions-dir", exts,
                            "--install-extension", vsix], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=300)
        folder = os.path.join(tmp, "na\u00efve texts")
        os.makedirs(folder)
        text = os.path.join(folder, "menu.txt")
        with open(text, "wb") as f:
            f.write(TEXT.encode())
        settings = os.path.join(user, "User", "settings.json")
        os.makedirs(os.path.dirname(settings), exist_ok=True)
        with open(settings, "w") as f:
            json.dump({"viderav.path": program, "workbench.startupEditor": "none",
                       "security.workspace.trust.enabled": False,
                       "workbench.tips.enabled": False, "files.autoSave": "off"}, f)
        port = free_port()
        dump = os.path.join(tmp, "dump.json")
        # A viderav-build from before the server: its help has no --lsp.
        old = os.path.join(tmp, "old-viderav-build")
        with open(old, "w") as f:
            f.write("#!/bin/sh\necho 'usage: viderav-build [--log FILE] TEXT OUTPUT'\n")
        os.chmod(old, 0o755)
        env = dict(os.environ, VIDERAV_DUMP=dump, HOME=os.path.join(tmp, "home"),
                   VIDERAV_SETTINGS=json.dumps([["viderav.failOnRejected", True],
                                                ["viderav.path", "/nonexistent/viderav-build"],
                                                ["viderav.path", old]]))
        server = subprocess.Popen(
            [code_server, "--auth", "none", "--bind-addr", f"127.0.0.1:{port}",
             "--disable-telemetry", "--disable-update-check", "--disable-workspace-trust",
             "--user-data-dir", user, "--extensions-dir", exts, folder],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            for _ in range(600):
                with socket.socket() as s:
                    if s.connect_ex(("127.0.0.1", port)) == 0:
                        break
                time.sleep(0.1)
            out = os.path.join(tmp, "seen.json")
            began = time.monotonic()
            proc = subprocess.run(
                ["node", os.path.join(HERE, "vscode", "drive.js")],
                env=dict(env, PORT=str(port), FOLDER=folder, FILE="menu.txt", DUMP=dump,
                         OUT=out, SHOT=args.shot or "",
                         PLAYWRIGHT=os.path.join(where, "tools", "node_modules",
                                                 "playwright-core")),
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                timeout=600)
            print(f"the browser's run: {time.monotonic() - began:.1f} s")
            seen = json.load(open(out)) if os.path.exists(out) else {}
            if proc.returncode != 0:
                problems.append(f"drive.js: status {proc.returncode}:\n"
                                f"{proc.stdout.decode(errors='replace')[-2000:]}")
        finally:
            os.killpg(server.pid, signal.SIGTERM)
            server.wait(timeout=30)
        typed = TEXT.replace("X\n", "X-\n", 1).encode()
        for step, data, strict in (("opened", TEXT.encode(), False), ("typed", typed, False),
                                   ("strict", typed, True)):
            got = seen.get(step)
            want = expected(program, data, strict, tmp)
            if not isinstance(got, list) or shown(got) != want:
                problems.append(f"{step}: VS Code holds\n{got}\n--check gives\n{want}")
        if len(seen.get("problems") or []) < 3:
            problems.append(f"the Problems panel: {seen.get('problems')}")
        for step, what in (("missing", "a program that does not exist"),
                           ("old", "a program without the server")):
            if "viderav.path" not in (seen.get(step) or ""):
                problems.append(f"{what}: the message {seen.get(step)!r}")
        if open(text, "rb").read() != TEXT.encode():
            problems.append(f"the text on disk changed: {open(text, 'rb').read()!r}")
        print("the Problems panel:", *(seen.get("problems") or []), sep="\n  ")
    for p in problems:
        print(p)
    print("ok" if not problems else f"{len(problems)} failures")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
