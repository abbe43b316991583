#!/usr/bin/env python3
"""viderav-build --lsp through a protocol client: every diagnostic is the
line --check prints for the same bytes, at the place the protocol counts
(UTF-16 or UTF-8, LF, CR LF and lone CR ending lines); pull diagnostics;
settings; what an editor may send that must not break the server; exit
statuses; a burst of changes and a 64 MiB document.

    lsp_server.py --exe viderav-build [--run WRAPPER --native viderav-build]

Under Wine (--run), --check's lines come from the native program (--native).
"""

import argparse
import os
import re
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lsp_client import Client, apply, check_lines, frame  # noqa: E402

# Each row: a text, as bytes; the diagnostics must be --check's lines.
TEXTS = [
    ("one line of each kind", "A \u00e9\U0001F600, B\n".encode()),
    ("lone CRs", b"A,\rB\xc3\xa9\r\rC,\r\nD\n"),
    ("a mark and a long line", b"\xef\xbb\xbfHI\r\n" + b"X" * 300 + b"\r\n" + b"Y" * 2100),
    ("full-width and tabs", "\uff21\uff11\uff01\t.\n".encode()),
]

def lsp_lines(data):
    """Where each line starts as the protocol counts them."""
    starts = [0]
    i = 0
    while i < len(data):
        if data[i:i + 2] == b"\r\n":
            i += 2
            starts.append(i)
            continue
        if data[i:i + 1] in (b"\n", b"\r"):
            starts.append(i + 1)
        i += 1
    return starts


def position(data, offset, utf8):
    """The protocol position of a byte offset in data, as an editor
    decodes the line."""
    starts = lsp_lines(data)
    line = max(i for i, s in enumerate(starts) if s <= offset)
    before = data[starts[line]:offset]
    if utf8:
        return {"line": line, "character": len(before)}
    return {"line": line,
            "character": len(before.decode("utf-8", "replace").encode("utf-16-le")) // 2}


def expected(program, data, utf8, strict, tmp):
    """--check's lines for data, as the diagnostics the server must give:
    their messages, levels, codes and places."""
    # The encoder's lines: LF ends one, a CR LF pair is one newline.
    records = [0] + [m.end() for m in re.finditer(b"\n", data)]
    want = []
    for f in check_lines(program, data, strict, tmp):
        start = records[f["line"] - 1]
        if f["code"] in ("VR2001", "VR2002"):
            end = data.find(b"\n", start)
            end = len(data) if end < 0 else end - (data[end - 1:end] == b"\r")
            offsets = (start + 255, end)
        else:
            offsets = (start + f["column"] - 1, start + f["column"] - 1 + f["bytes"])
        want.append({"range": {"start": position(data, offsets[0], utf8),
                               "end": position(data, offsets[1], utf8)},
                     "severity": 1 if f["error"] else 2, "code": f["code"],
                     "source": "viderav", "message": f["message"]})
    return want


def start(args, capabilities=None, options=None):
    c = Client(args.run + [args.exe, "--lsp"])
    init = c.request("initialize", {"capabilities": capabilities or {},
                                    **({"initializationOptions": options} if options else {})})
    c.notify("initialized", {})
    return c, init


def open_text(c, uri, data, version=1):
    c.notify("textDocument/didOpen", {"textDocument": {
        "uri": uri, "languageId": "plaintext", "version": version,
        "text": data.decode("utf-8", "surrogateescape")}})


def diagnostics_match(args, problems, tmp):
    for utf8 in (False, True):
        caps = {"general": {"positionEncodings": ["utf-8", "utf-16"] if utf8 else ["utf-16"]}}
        c, init = start(args, caps, {"viderav": {"failOnRejected": True}})
        encoding = init["result"]["capabilities"]["positionEncoding"]
        if encoding != ("utf-8" if utf8 else "utf-16"):
            problems.append(f"offered utf-8 {utf8}: the server chose {encoding}")
        for n, (what, data) in enumerate(TEXTS):
            uri = f"untitled:Untitled-{n}" if n % 2 else f"file:///c%3A/%E3%83%86%E3%82%AD%E3%82%B9%E3%83%88/{n}.txt"
            open_text(c, uri, data)
            got = c.diagnostics(uri, 1)
            want = expected(args.check, data, utf8, True, tmp)
            if got != want:
                problems.append(f"{what} ({encoding}): got\n{got}\nexpected\n{want}")
        status = shutdown(c)
        if status != 0:
            problems.append(f"shutdown and exit: status {status}")


def shutdown(c):
    c.request("shutdown")
    c.notify("exit")
    return c.end()


def editing(args, problems, tmp):
    """Unsaved changes, incremental in UTF-16 and whole, then a settings
    change sent at the top level, then the document closed."""
    c, _ = start(args)
    uri = "file:///home/w/na%C3%AFve%20folder/menu.txt"
    data = "\u00e9\U0001F600,X\n".encode()
    open_text(c, uri, data)
    c.diagnostics(uri, 1)
    steps = [
        # The comma after the emoji replaced by a full stop: UTF-16 columns.
        ({"range": {"start": {"line": 0, "character": 3}, "end": {"line": 0, "character": 4}},
          "text": "."}, "\u00e9\U0001F600.X\n"),
        # A line added at the end, then everything replaced.
        ({"range": {"start": {"line": 1, "character": 0}, "end": {"line": 1, "character": 0}},
          "text": "a-b\r\n"}, "\u00e9\U0001F600.X\na-b\r\n"),
        ({"text": "OK\n"}, "OK\n"),
    ]
    for version, (change, text) in enumerate(steps, start=2):
        c.notify("textDocument/didChange", {"textDocument": {"uri": uri, "version": version},
                                            "contentChanges": [change]})
        got = c.diagnostics(uri, version)
        want = expected(args.check, text.encode(), False, False, tmp)
        if got != want:
            problems.append(f"after change {version - 1}: got\n{got}\nexpected\n{want}")
    c.notify("textDocument/didChange", {"textDocument": {"uri": uri, "version": 5},
                                        "contentChanges": [{"text": "A,B\n"}]})
    c.diagnostics(uri, 5)
    c.notify("workspace/didChangeConfiguration", {"settings": {"failOnRejected": True}})
    got = c.diagnostics(uri, 5)
    if [d["severity"] for d in got or []] != [1]:
        problems.append(f"failOnRejected at the top level: {got}")
    c.notify("textDocument/didClose", {"textDocument": {"uri": uri}})
    got = c.diagnostics(uri)
    if got != []:
        problems.append(f"closed: {got}")
    shutdown(c)


def pulling(args, problems, tmp):
    c, _ = start(args, {"textDocument": {"diagnostic": {}}})
    uri = "file:///C:/texts/menu.txt"
    open_text(c, uri, b"A,\n")
    first = c.request("textDocument/diagnostic", {"textDocument": {"uri": uri}})["result"]
    again = c.request("textDocument/diagnostic", {"textDocument": {"uri": uri},
                                                  "previousResultId": first["resultId"]})
    c.notify("textDocument/didChange", {"textDocument": {"uri": uri, "version": 2},
                                        "contentChanges": [{"text": "A.\n"}]})
    changed = c.request("textDocument/diagnostic", {"textDocument": {"uri": uri},
                                                    "previousResultId": first["resultId"]})
    pushed = [m for m in [c.message(0.3)] if m]
    if first["kind"] != "full" or first["items"] != expected(args.check, b"A,\n", False, False,
                                                              tmp) \
            or again["result"] != {"kind": "unchanged", "resultId": first["resultId"]} \
            or changed["result"]["kind"] != "full" or changed["result"]["items"] != [] or pushed:
        problems.append(f"pull: {first}, {again}, {changed}, pushed {pushed}")
    shutdown(c)


def frame_raw(body):
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


# What an editor, or something posing as one, may send; each row is
# followed by a request the server must still answer.
MALFORMED = [
    ("a header without a length", b"Content-Type: x\r\n\r\n"),
    ("a length that is no number", b"Content-Length: 12x\r\n\r\n{}"),
    ("a length past any message", b"Content-Length: 99999999999999999999\r\n\r\n"),
    ("a body that is not JSON", frame_raw(b"{not json")),
    ("a body that is no object", frame_raw(b"[1,2]")),
    ("a notification nobody knows", frame({"jsonrpc": "2.0", "method": "$/unknown"})),
    ("a cancellation", frame({"jsonrpc": "2.0", "method": "$/cancelRequest",
                              "params": {"id": 1}})),
    ("a change to a document never opened", frame({
        "jsonrpc": "2.0", "method": "textDocument/didChange",
        "params": {"textDocument": {"uri": "file:///x", "version": 2},
                   "contentChanges": [{"text": "x"}]}})),
    ("an open with a text that is a number", frame({
        "jsonrpc": "2.0", "method": "textDocument/didOpen",
        "params": {"textDocument": {"uri": "file:///y", "version": 1, "text": 5}}})),
    ("a change whose range is far past the text", frame({
        "jsonrpc": "2.0", "method": "textDocument/didChange",
        "params": {"textDocument": {"uri": "file:///ok", "version": 9}, "contentChanges": [
            {"range": {"start": {"line": 99, "character": 99},
                       "end": {"line": 0, "character": 0}}, "text": "Z,"}]}})),
]


def malformed(args, problems, tmp):
    c = Client(args.run + [args.exe, "--lsp"])
    early = c.request("textDocument/diagnostic", {"textDocument": {"uri": "file:///ok"}})
    if (early or {}).get("error", {}).get("code") != -32002:
        problems.append(f"a request before initialize: {early}")
    c.request("initialize", {"capabilities": {}})
    open_text(c, "file:///ok", b"ok\n")
    for what, data in MALFORMED:
        c.send_raw(data)
        answer = c.request("viderav/unknown", {})
        if (answer or {}).get("error", {}).get("code") != -32601:
            problems.append(f"{what}: then a request nobody knows answered {answer}")
    got = c.diagnostics("file:///ok", 9)
    if got is None or [d["range"]["start"] for d in got] != [{"line": 1, "character": 1}]:
        problems.append(f"a change past the text: {got}")
    if c.request("shutdown").get("result", 0) is not None:
        problems.append("shutdown: no null result")
    after = c.request("textDocument/diagnostic", {"textDocument": {"uri": "file:///ok"}})
    if (after or {}).get("error", {}).get("code") != -32600:
        problems.append(f"a request after shutdown: {after}")
    c.notify("exit")
    if c.end() != 0:
        problems.append("shutdown and exit after malformed input: not status 0")
    check_frames(c, problems, "malformed input")


def check_frames(c, problems, what):
    """Standard output holds whole messages and nothing else."""
    out = c.raw
    at = 0
    while at < len(out):
        m = re.match(rb"Content-Length: (\d+)\r\n\r\n", out[at:])
        if not m:
            problems.append(f"{what}: standard output holds {out[at:at + 80]!r}")
            return
        at += m.end() + int(m[1])


def endings(args, problems, tmp):
    for what, steps, status in (
            ("exit alone", ["exit"], 1),
            ("the end of the input", [], 1),
            ("shutdown, then the end of the input", ["shutdown"], 0)):
        c, _ = start(args)
        for step in steps:
            if step == "shutdown":
                c.request("shutdown")
            else:
                c.notify(step)
        got = c.end()
        if got != status:
            problems.append(f"{what}: status {got}, expected {status}")
        if c.proc.stderr.read():
            problems.append(f"{what}: wrote on standard error")


def load(args, problems, tmp):
    """A burst of 100 changes, answered for the last; a 64 MiB document;
    no file written whatever the URIs name."""
    folder = os.path.join(tmp, "untouched")
    os.makedirs(folder)
    c, _ = start(args)
    uri = "file://" + os.path.join(folder, "menu.asm")
    open_text(c, uri, b"")
    c.diagnostics(uri, 1)
    burst = b"".join(frame({"jsonrpc": "2.0", "method": "textDocument/didChange", "params": {
        "textDocument": {"uri": uri, "version": v},
        "contentChanges": [{"text": "A," * v}]}}) for v in range(2, 102))
    c.send_raw(burst)
    versions = []
    while True:
        m = c.wait(lambda m: m.get("method") == "textDocument/publishDiagnostics")
        if m is None:
            break
        versions.append(m["params"]["version"])
        if versions[-1] == 101:
            break
    if not versions or versions[-1] != 101 or len(versions) > 10:
        problems.append(f"a burst of 100 changes: published {versions}")
    big = (b"HELLO, WORLD. \xc3\xa9\n" * (64 * 1024 * 1024 // 17 + 1))[:64 * 1024 * 1024]
    began = time.monotonic()
    open_text(c, uri, big, 2000)
    got = c.wait(lambda m: m.get("method") in ("textDocument/publishDiagnostics",
                                               "window/showMessage"), timeout=300)
    took = time.monotonic() - began
    if got and got["method"] == "window/showMessage" and args.run:
        # Wine under qemu gives a 32-bit process about 100 MiB of heap.
        print(f"a 64 MiB document: too large for this emulator: {got['params']['message']}")
    elif got is None or len(got["params"]["diagnostics"]) != 1001 \
            or "more rejected bytes" not in got["params"]["diagnostics"][-1]["message"]:
        problems.append(f"a 64 MiB document: {got and str(got)[:300]}")
    else:
        print(f"a 64 MiB document: its diagnostics after {took:.2f} s")
    if shutdown(c) != 0:
        problems.append("after a 64 MiB document: shutdown and exit not status 0")
    if os.listdir(folder):
        problems.append(f"files written: {os.listdir(folder)}")


# Help while writing: (what, the text, the position asked (a line, and a
# character of it counted in code points), its hover's
# first line, the fixes offered there by title, the text after the first,
# the text after fix-all).
LONG = "WORD " * 50 + "WORDS AND MORE"
HELP = [
    ("a letter with an accent before a comma, CR LF", "Caf\u00e9, OK\r\nB\r\n", (0, 3),
     "rejected character '\u00e9' (U+00E9: bytes C3 A9), written as 2 codes 0 (blank glyphs); "
     "'e' has a code", ["Write 'e' for '\u00e9'", "Remove '\u00e9'"], "Cafe, OK\r\nB\r\n",
     "Cafe, OK\r\nB\r\n"),
    ("a comma after an emoji", "\U0001F600,\n", (0, 1),
     "rejected character ',' (0x2C), written as code 0 (a blank glyph)", ["Remove ','"],
     "\U0001F600\n", None),
    ("a mark", "\ufeffHI\n", (0, 0),
     "the text begins with a UTF-8 byte-order mark (EF BB BF), 3 rejected bytes; save the text "
     "without one", ["Remove the byte-order mark"], "HI\n", "HI\n"),
    ("a plain letter", "HI\n", (0, 1), "'I': code 19", [], None, None),
    ("a long line, CR LF", LONG + "\r\nEND\r\n", (0, 256),
     "'A': code 11", ["Break the line at the last space before byte 256"],
     LONG[:255] + "\r\n" + LONG[256:] + "\r\nEND\r\n", None),
]


def help_while_writing(args, problems, tmp):
    for utf8 in (False, True):
        caps = {"general": {"positionEncodings": ["utf-8"] if utf8 else ["utf-16"]}}
        c, _ = start(args, caps)
        for n, (what, text, (line, character), hover, titles, fixed, all_fixed) in \
                enumerate(HELP):
            before = text.split("\n")[line][:character]
            character = len(before.encode()) if utf8 else len(before.encode("utf-16-le")) // 2
            uri = f"file:///help/{n}.txt"
            open_text(c, uri, text.encode(), 7)
            c.diagnostics(uri, 7)
            where = {"line": line, "character": character}
            said = c.request("textDocument/hover", {"textDocument": {"uri": uri},
                                                    "position": where})["result"]
            first = said["contents"]["value"].split("\n")[0]
            if first != hover:
                problems.append(f"{what} (utf-8 {utf8}): hover {first!r}")
            # The editor's diagnostics are sent back wrong on purpose: the
            # fixes come from the server's own copy.
            wrong = [{"range": {"start": where, "end": where}, "message": "x"}]
            got = c.request("textDocument/codeAction", {
                "textDocument": {"uri": uri}, "range": {"start": where, "end": where},
                "context": {"diagnostics": wrong, "only": ["quickfix"]}})["result"]
            if [a["title"] for a in got] != titles:
                problems.append(f"{what} (utf-8 {utf8}): fixes {[a['title'] for a in got]}")
            elif got:
                change = got[0]["edit"]["documentChanges"][0]
                after = apply(text, change["edits"], utf8)
                if change["textDocument"]["version"] != 7 or after != fixed:
                    problems.append(f"{what} (utf-8 {utf8}): the first fix gives {after!r}, "
                                    f"version {change['textDocument']['version']}")
            everything = c.request("textDocument/codeAction", {
                "textDocument": {"uri": uri},
                "range": {"start": {"line": 0, "character": 0}, "end": where},
                "context": {"diagnostics": [], "only": ["source.fixAll"]}})["result"]
            after = apply(text, everything[0]["edit"]["documentChanges"][0]["edits"], utf8) \
                if everything else None
            if after != all_fixed:
                problems.append(f"{what} (utf-8 {utf8}): fix-all gives {after!r}")
        # A full-width line typed as an input method types it: a letter in
        # its reading, replaced by what it converts to, then the rest.
        uri = "file:///help/typed.txt"
        open_text(c, uri, b"\n", 1)
        typed = ""
        for version, (lo, hi, new) in enumerate(
                [(0, 0, "\uff41"), (0, 1, "\uff21"), (1, 1, "\uff11"), (2, 2, "\uff01"),
                 (3, 3, "\uff0e")], start=2):
            typed = typed[:lo] + new + typed[hi:]
            unit = 3 if utf8 else 1
            c.notify("textDocument/didChange", {
                "textDocument": {"uri": uri, "version": version},
                "contentChanges": [{"range": {"start": {"line": 0, "character": lo * unit},
                                              "end": {"line": 0, "character": hi * unit}},
                                    "text": new}]})
        got = c.diagnostics(uri, 6)
        everything = c.request("textDocument/codeAction", {
            "textDocument": {"uri": uri},
            "range": {"start": {"line": 0, "character": 0}, "end": {"line": 0, "character": 0}},
            "context": {"diagnostics": [], "only": ["source.fixAll.viderav"]}})["result"]
        after = apply(typed + "\n", everything[0]["edit"]["documentChanges"][0]["edits"], utf8) \
            if everything else None
        if len(got or []) != 4 or after != "A1!.\n":
            problems.append(f"typed full-width (utf-8 {utf8}): {len(got or [])} diagnostics, "
                            f"fix-all gives {after!r}")
        shutdown(c)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--run", default="", help="a wrapper that runs the program (Wine)")
    ap.add_argument("--native", help="the program whose --check gives the expected lines")
    args = ap.parse_args()
    args.check = args.native or args.exe
    args.run = args.run.split() if args.run else []
    problems = []
    with tempfile.TemporaryDirectory(prefix="viderav-lsp-") as tmp:
        for case in (diagnostics_match, editing, pulling, help_while_writing, malformed, endings,
                     load):
            case(args, problems, tmp)
    for p in problems:
        print(p)
    print("ok" if not problems else f"{len(problems)} failures")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
