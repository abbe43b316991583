"""A small LSP client over a server's standard streams, for the tests and
the benchmark: framed messages out, framed messages in, each wait bounded."""

import json
import os
import re
import select
import subprocess
import time


def frame(message):
    body = json.dumps(message, ensure_ascii=False).encode()
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


class Client:
    def __init__(self, argv, env=None):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.buf = b""
        self.next_id = 0
        self.chunks = []  # every byte the server wrote
        self.backlog = []

    def send_raw(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def notify(self, method, params=None):
        self.send_raw(frame({"jsonrpc": "2.0", "method": method,
                             **({"params": params} if params is not None else {})}))

    def request(self, method, params=None, timeout=20):
        self.next_id += 1
        self.send_raw(frame({"jsonrpc": "2.0", "id": self.next_id, "method": method,
                             **({"params": params} if params is not None else {})}))
        return self.wait(lambda m: m.get("id") == self.next_id and "method" not in m, timeout)

    def message(self, timeout=20):
        """The next message, or None when none came in time or the
        output ended."""
        deadline = time.monotonic() + timeout
        while True:
            head, sep, rest = self.buf.partition(b"\r\n\r\n")
            if sep:
                length = int(head.split(b"Content-Length:")[1])
                if len(rest) >= length:
                    self.buf = rest[length:]
                    return json.loads(rest[:length])
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                return None
            data = os.read(self.proc.stdout.fileno(), 1 << 20)
            if not data:
                return None
            self.buf += data
            self.chunks.append(data)

    @property
    def raw(self):
        return b"".join(self.chunks)

    def wait(self, wanted, timeout=20):
        """The first message that is wanted, in the order they came; the
        others are kept for a later wait."""
        for i, m in enumerate(self.backlog):
            if wanted(m):
                return self.backlog.pop(i)
        deadline = time.monotonic() + timeout
        while True:
            m = self.message(max(0, deadline - time.monotonic()))
            if m is None or wanted(m):
                return m
            self.backlog.append(m)

    def diagnostics(self, uri, version=None, timeout=20):
        m = self.wait(lambda m: m.get("method") == "textDocument/publishDiagnostics"
                      and m["params"]["uri"] == uri
                      and (version is None or m["params"].get("version") == version), timeout)
        return None if m is None else m["params"]["diagnostics"]

    def end(self, timeout=20):
        """Closes the server's input; its exit status."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


def check_lines(program, data, strict, tmp):
    """What viderav-build --check says of data: for each line, its line and
    byte column (from 1), whether it is an error, its code, its message,
    and how many bytes its character takes."""
    path = os.path.join(tmp, "checked.txt")
    with open(path, "wb") as f:
        f.write(data)
    argv = [program, "--check", "--format=msvc"] + (["--fail-on-rejected"] if strict else [])
    said = subprocess.run(argv + [path], stderr=subprocess.PIPE).stderr.decode().splitlines()
    found = []
    for line in said:
        m = re.match(r"^.*\((\d+),(\d+)\): (warning|error) (VR\d+): (.*)$", line)
        size = len(m[5].split("bytes ")[1].split(")")[0].split()) if "bytes " in m[5] else \
            3 if m[4] == "VR1002" else 1
        found.append({"line": int(m[1]), "column": int(m[2]), "error": m[3] == "error",
                      "code": m[4], "message": m[5], "bytes": size})
    return found


def offset(text, position, utf8):
    """A protocol position in text (a str) as an index into it, counting
    characters as the protocol does: UTF-8 bytes or UTF-16 code units, and
    lines ended by LF, CR LF or a lone CR."""
    lines = re.split(r"(\r\n|\n|\r)", text)
    at = 0
    for i in range(0, min(2 * position["line"], len(lines) - 1), 2):
        at += len(lines[i]) + len(lines[i + 1])
    line = lines[min(2 * position["line"], len(lines) - 1)] if 2 * position["line"] < len(lines) \
        else ""
    units = 0
    for k, ch in enumerate(line):
        if units >= position["character"]:
            return at + k
        units += len(ch.encode("utf-8")) if utf8 else len(ch.encode("utf-16-le")) // 2
    return at + len(line)


def apply(text, edits, utf8):
    """text with a workspace edit's text edits made, as an editor makes
    them: all against the text before any."""
    spans = sorted(((offset(text, e["range"]["start"], utf8), offset(text, e["range"]["end"], utf8),
                     e["newText"]) for e in edits), reverse=True)
    for start, end, new in spans:
        text = text[:start] + new + text[end:]
    return text


def session(text="A \u00e9\U0001F600,\rB,\r\nC\n", positions=("utf-16",)):
    """A whole session as an editor sends it, every message framed."""
    uri = "file:///c%3A/texts/menu.txt"
    return [
        {"jsonrpc": "2.0", "id": 1, "method": "initialize",
         "params": {"capabilities": {"general": {"positionEncodings": list(positions)}},
                    "initializationOptions": {"viderav": {"failOnRejected": True}}}},
        {"jsonrpc": "2.0", "method": "initialized", "params": {}},
        {"jsonrpc": "2.0", "method": "textDocument/didOpen",
         "params": {"textDocument": {"uri": uri, "languageId": "plaintext", "version": 1,
                                     "text": text}}},
        {"jsonrpc": "2.0", "method": "textDocument/didChange",
         "params": {"textDocument": {"uri": uri, "version": 2}, "contentChanges": [
             {"range": {"start": {"line": 0, "character": 2}, "end": {"line": 0, "character": 3}},
              "text": "\uff21"}]}},
        {"jsonrpc": "2.0", "id": 2, "method": "textDocument/diagnostic",
         "params": {"textDocument": {"uri": uri}}},
        {"jsonrpc": "2.0", "method": "workspace/didChangeConfiguration",
         "params": {"settings": {"failOnLongLines": True}}},
        {"jsonrpc": "2.0", "method": "textDocument/didClose",
         "params": {"textDocument": {"uri": uri}}},
        {"jsonrpc": "2.0", "id": 3, "method": "shutdown"},
        {"jsonrpc": "2.0", "method": "exit"},
    ]


if __name__ == "__main__":
    import argparse
    ap = argparse.ArgumentParser(description="writes the fuzzer's seeds")
    ap.add_argument("--seeds", required=True)
    seeds = ap.parse_args().seeds
    os.makedirs(seeds, exist_ok=True)
    for name, messages in (("session", session()),
                           ("utf-8", session(positions=("utf-8", "utf-16"))),
                           ("long", session("x" * 300 + "\n\ufeff\r\n"))):
        with open(os.path.join(seeds, name), "wb") as f:
            f.write(b"".join(frame(m) for m in messages))
