"""End-to-end cases, as data: what the folder holds before the run, the
arguments, and what the console, the exit status and the files must be after.

Expectations are written with LF line ends, as the POSIX build produces
them; the runner derives the Windows ones (every newline written as CR LF).
Arguments are paths relative to the case's own empty folder, which is the
working directory of the run.
"""

from dataclasses import dataclass, field
import os
import pwd
import random
import signal
import stat
import subprocess
import threading

BANNER = b"viderav\n" + b"=" * 43 + b"\n\n"
HEAD = b"\x8e\x67\x97\x70\x95\x73\x89\xc2\x94\x5c\x82\xc8\x95\xb6\x8e\x9a '"
TAIL = b"' \x82\xaa\x8e\x67\x97\x70\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb7\n"


def diag(byte):
    """The console line for one rejected byte."""
    return HEAD + bytes([byte]) + TAIL


def cannot_open(path):
    return b"ERROR: " + path + b" \x82\xf0\x8a\x4a\x82\xaf\x82\xdc\x82\xb9\x82\xf1\n"


def cannot_create(path):
    return b"ERROR: " + path + b" \x82\xf0\x8d\xec\x82\xea\x82\xdc\x82\xb9\x82\xf1\n"


def cannot_read(path):
    return b"ERROR: " + path + b" \x82\xf0\x93\xc7\x82\xdd\x8d\x9e\x82\xdf\x82\xdc\x82\xb9\x82\xf1\n"


def cannot_write(path):
    return b"ERROR: " + path + b" \x82\xc9\x8f\x91\x82\xab\x8d\x9e\x82\xdf\x82\xdc\x82\xb9\x82\xf1\n"


# out.asm must not exist after the run, whatever was there before.
REMOVED = b"(removed)"
USAGE = b"Usage> {argv0} <in.txt> <out.asm>\n"
HI_OUT = b"\t\t; Hi!\n\n\t\t.db\t\t#3  , #18, #19, #37\n"
A1023 = b"A" * 1023
P1023 = b", #11" * 1023
HELLO = (b"\t\t; HELLO WORLD!\n\n"
         b"\t\t.db\t\t#12 , #18, #15, #22, #22, #25, #0 , #33, #25, #28, #22, #14, #37\n")
# Many lines, each with a rejected byte: the console is written during the run.
AB_IN = b"a-b\n" * 100000
AB_OUT = b"\t\t; a-b\n\n\t\t.db\t\t#3  , #11, #0 , #12\n" * 100000


class Unavailable(Exception):
    """What a case needs cannot be had here (its setup raises it)."""


@dataclass
class Case:
    name: str
    input: bytes | None = b""  # in.txt; None: there is no in.txt
    args: list = field(default_factory=lambda: [b"in.txt", b"out.asm"])
    out: bytes | None = None  # out.asm after the run; None: as it was before; or REMOVED
    before: bytes | None = None  # out.asm before the run; None: absent
    console: bytes | None = b""  # what follows the banner; None: not read at all
    status: int = 0  # negative: killed by that signal
    windows_status: int | None = None  # where a Windows program's differs
    only: str | None = None  # "posix" or "windows" where the other cannot run it
    setup: object = None  # callable(folder) for what data cannot say
    env: object = None  # callable(folder) -> variables to set for the run
    teardown: object = None  # callable(folder), after the checks, whatever happened
    check: object = None  # callable(folder) -> a failure, or None, for the same
    stdin: bytes | None = None
    in_name: bytes = b"in.txt"
    # What surrounds the run:
    std_closed: bool = False  # started with standard input and output closed
    console_gone: bool = False  # the console is a pipe whose reader has left
    console_to: tuple | None = None  # the console is this file, opened in this mode
    slow_console: bool = False  # a non-blocking pipe whose reader is slow
    file_limit: int | None = None  # bytes any file may grow to
    descriptors: int | None = None  # how many descriptors the run may have open
    stack: int | None = None  # bytes of stack the run may use
    user: str | None = None  # the run is this user's, not the tester's (root)
    no_null_device: bool = False  # run where /dev is an empty folder (a chroot's)
    xfsz_default: bool = False  # SIGXFSZ left at its default action, not ignored
    depth: int = 0  # the run's working directory is this many 200-byte names down
    # Sent once the output exists; the input is then in.fifo, written stdin
    # and kept open.
    signal: int | None = None
    ignored: bool = False  # that signal is ignored by whoever started the run (nohup)
    # Held on in.fifo with stdin, this run has another run convert this
    # text (in2.txt) into out.asm, and gets the end of its input once that
    # one has had time to write; the other must end with status 0 and a
    # silent console.
    then: bytes | None = None
    race: float = 0  # seconds of runs while out.asm swaps between in.txt and other.txt
    native: bool = False  # out.asm and the console are what the native program makes of it
    manifest: bool = False  # the Windows program declares itself aware of long paths


def mixed_text(size):
    """A few MiB of lines in every shape the line-end handling meets: CR LF
    pairs, lone CRs, CR CR LF, reads ending at 1023 bytes around a CR LF,
    rejected bytes; never 0x1A, which ends the text on Windows only."""
    rng = random.Random(20261208)
    pieces = [b"HELLO WORLD!\r\n", b"a-b\r\n", b"lone\rCR\n", b"\r\n", b"\r", b"\r\r\n",
              b"\n", b"\x81\x40\xff\x00\r\n", b"x" * 1022 + b"\r\n", b"y" * 1023 + b"\r\n",
              b"z" * 1021 + b"\r\r\n", b"Q" * 1024, b"w" * 3000 + b"\n"]
    parts = []
    while size > 0:
        parts.append(rng.choice(pieces))
        size -= len(parts[-1])
    return b"".join(parts)


EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


def example(name):
    with open(os.path.join(EXAMPLES, name), "rb") as f:
        return f.read()


def mkdir(name):
    return lambda folder: os.mkdir(os.path.join(folder, name))


def link(kind, name, target="in.txt"):
    def make(folder):
        (os.symlink if kind == "sym" else os.link)(os.path.join(folder, target),
                                                   os.path.join(folder, name))
    return make


def output_fifo(folder):
    """out.fifo, whose reader takes a few bytes and leaves."""
    path = os.path.join(folder, "out.fifo")
    os.mkfifo(path)

    def read_a_little():
        with open(path, "rb") as f:
            f.read(10)
    threading.Thread(target=read_a_little, daemon=True).start()


def fifo_kept(folder):
    if not stat.S_ISFIFO(os.lstat(os.path.join(folder, "out.fifo")).st_mode):
        return "the FIFO was removed"


def link_chain(count):
    """out.asm leads to target.asm through count symbolic links."""
    def make(folder):
        names = ["out.asm"] + [f"link{i}" for i in range(1, count)] + ["target.asm"]
        for name, target in zip(names, names[1:]):
            os.symlink(target, os.path.join(folder, name))
    return make


def target_removed_link_kept(folder):
    if os.path.lexists(os.path.join(folder, "target.asm")):
        return "the link's target, half written, is still there"
    if not os.path.islink(os.path.join(folder, "out.asm")):
        return "the link itself was removed"


def locale(name, **more):
    """The run's locale, from which Wine takes the ANSI code page."""
    return lambda folder: dict({"LANG": name, "LC_ALL": name}, **more)


def japanese(folder):
    """Code page 932, from a Japanese UTF-8 locale made for the run."""
    where = os.path.join(folder, "locale")
    os.mkdir(where)
    subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8",
                    os.path.join(where, "ja_JP.UTF-8")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not os.path.exists(os.path.join(where, "ja_JP.UTF-8", "LC_CTYPE")):
        raise Unavailable("localedef cannot make ja_JP.UTF-8 (Debian: locales)")
    return locale("ja_JP.UTF-8", LOCPATH=where)(folder)


def holds(name, data, absent=None):
    """name holds data (line ends as the platform writes them), and the file
    absent does not exist."""
    def check(folder):
        got = read_file(os.path.join(folder, name))
        if got is None or got.replace(b"\r\n", b"\n") != data:
            return f"{name} holds {got!r}, not the records"
        if absent and os.path.lexists(os.path.join(folder, absent)):
            return f"{absent} was written"
    return check


def nothing_at(name):
    def check(folder):
        if os.path.lexists(os.path.join(folder, name)):
            return f"{name} was left"
    return check


def as_user(name, out="out.asm"):
    """The case folder open to name, whose out.asm is there, in a folder of
    root's (the runner's): name may write the file but not remove it."""
    def make(folder):
        if os.geteuid() != 0:
            raise Unavailable("needs root, to run as another user")
        os.chmod(folder, 0o755)
        os.mkdir(os.path.join(folder, "root"), 0o755)
        path = os.path.join(folder, "root", out)
        with open(path, "wb") as f:
            f.write(b"old\n")
        os.chown(path, pwd.getpwnam(name).pw_uid, -1)
    return make


def privileged(*cmds):
    """Runs each command in the case folder, or finds the case cannot be run."""
    def run(folder):
        for cmd in cmds:
            if subprocess.run(cmd, cwd=folder, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode != 0:
                raise Unavailable(f"'{' '.join(cmd)}' failed (needs root and a file system "
                                  "that takes it)")
    return run


def undo(*cmds):
    def run(folder):
        for cmd in cmds:
            subprocess.run(cmd, cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return run


def read_file(path):
    """The bytes of path, or None where there is no such file."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


VOLUMES = ("fa", "fb")


def two_volumes(folder):
    """fa and fb, two new file systems, whose first files get one number;
    fa/in.txt is the first of fa."""
    for name in VOLUMES:
        os.mkdir(os.path.join(folder, name))
        if subprocess.run(["mount", "-t", "tmpfs", "viderav-e2e", os.path.join(folder, name)],
                          stderr=subprocess.DEVNULL).returncode != 0:
            raise Unavailable("cannot mount a tmpfs (needs root)")
    with open(os.path.join(folder, "fa", "in.txt"), "wb") as f:
        f.write(b"Hi!\n")


def unmount_volumes(folder):
    for name in VOLUMES:
        subprocess.run(["umount", "-l", os.path.join(folder, name)], stderr=subprocess.DEVNULL)


DEEP_NAME = "d" * 200  # a level of the deep working directory
LONG_DIRS = ["p" * 100] * 3  # past the 260 characters of a Windows path


def deleted_but_open(folder):
    """out.asm leads, through /proc, to a file this process holds open and
    has deleted."""
    path = os.path.join(folder, "gone.asm")
    with open(path, "wb") as f:
        f.write(b"old\n")
    fd = os.open(path, os.O_RDONLY)
    os.unlink(path)
    os.symlink(f"/proc/{os.getpid()}/fd/{fd}", os.path.join(folder, "out.asm"))


def make_long_dirs(folder):
    os.makedirs(os.path.join(folder, *LONG_DIRS))


def deep_output_removed(depth):
    def check(folder):
        fd = os.open(folder, os.O_RDONLY)
        try:
            for _ in range(depth):
                inner = os.open(DEEP_NAME, os.O_RDONLY, dir_fd=fd)
                os.close(fd)
                fd = inner
            if os.path.lexists(f"/proc/self/fd/{fd}/out.asm"):
                return "the deep out.asm, half written, is still there"
        finally:
            os.close(fd)
    return check


CASES = [
    # The record layout and the code table.
    Case("hi", b"Hi!\n", out=HI_OUT),
    Case("rejected_hyphen", b"a-b\n", out=b"\t\t; a-b\n\n\t\t.db\t\t#3  , #11, #0 , #12\n",
         console=diag(ord("-"))),
    Case("table", b"09 AZaz!.\n",
         out=b"\t\t; 09 AZaz!.\n\n\t\t.db\t\t#9  , #1 , #10, #0 , #11, #36, #11, #36, #37, #40\n"),
    Case("rejected_each", b"\t,-:?%\n",
         out=b"\t\t; \t,-:?%\n\n\t\t.db\t\t#6  " + b", #0 " * 6 + b"\n",
         console=b"".join(diag(c) for c in b"\t,-:?%")),
    Case("shift_jis_bytes", b"\x83\x41\x83\x61\x82\xa0\xff\n",
         out=b"\t\t; \x83\x41\x83\x61\x82\xa0\xff\n\n\t\t.db\t\t#7  , #0 , #11, #0 , #11, #0 , #0 , #0 \n",
         console=diag(0x83) + diag(0x83) + diag(0x82) + diag(0xA0) + diag(0xFF)),
    Case("empty_input", b"", out=b""),
    Case("newline_only", b"\n", out=b"\t\t; \n\n\t\t.db\t\t#0  \n"),
    Case("no_final_newline", b"A\nB", out=b"\t\t; A\n\n\t\t.db\t\t#1  , #11\n\t\t; B\n\t\t.db\t\t#1  , #12\n"),
    Case("percent_is_text", b"100%s\n",
         out=b"\t\t; 100%s\n\n\t\t.db\t\t#5  , #2 , #1 , #1 , #0 , #29\n", console=diag(ord("%"))),
    Case("line_of_1023", A1023 + b"\n",
         out=b"\t\t; " + A1023 + b"\n\t\t.db\t\t#1023" + P1023 + b"\n\t\t; \n\n\t\t.db\t\t#0  \n"),
    Case("zero_byte", b"A\0B\n\0",
         out=b"\t\t; A\0B\n\n\t\t.db\t\t#3  , #11, #0 , #12\n\t\t; \0\n\t\t.db\t\t#1  , #0 \n",
         console=diag(0) + diag(0)),
    # The bundled example stays what the tool makes of it.
    Case("example", example("menu.txt"), out=example("menu.asm"),
         console=diag(ord(",")) + diag(ord(":"))),
    Case("many_lines", b"HELLO WORLD!\n" * 60000, out=HELLO * 60000),

    # Line ends: CR LF is one newline everywhere; a lone CR is a byte.
    Case("crlf", b"Hi!\r\nA\r\n",
         out=b"\t\t; Hi!\n\n\t\t.db\t\t#3  , #18, #19, #37\n\t\t; A\n\n\t\t.db\t\t#1  , #11\n"),
    Case("many_crlf_lines", b"HELLO WORLD!\r\n" * 60000, out=HELLO * 60000),
    Case("lone_cr", b"A\rB\n", out=b"\t\t; A\rB\n\n\t\t.db\t\t#3  , #11, #0 , #12\n",
         console=diag(0x0D)),
    Case("ctrl_z_is_a_byte", b"A\x1aB\n", out=b"\t\t; A\x1aB\n\n\t\t.db\t\t#3  , #11, #0 , #12\n",
         console=diag(0x1A), only="posix"),
    Case("ctrl_z_ends_input", b"A\n\x1aB\n", out=b"\t\t; A\n\n\t\t.db\t\t#1  , #11\n", only="windows"),

    # The command line.
    Case("usage_no_paths", args=[], console=USAGE, status=1),
    Case("usage_one_path", args=[b"in.txt"], console=USAGE, status=1),
    Case("extra_paths_ignored", b"Hi!\n", args=[b"in.txt", b"out.asm", b"more.asm"],
         out=HI_OUT),
    Case("missing_input", None, before=b"kept\n", console=cannot_open(b"in.txt"), status=2),
    Case("input_is_directory", None, args=[b"dir", b"out.asm"], setup=mkdir("dir"),
         console=cannot_open(b"dir"), status=2),
    Case("output_in_missing_directory", b"Hi!\n", args=[b"in.txt", b"nodir/out.asm"],
         console=cannot_create(b"nodir/out.asm"), status=3),
    Case("output_is_directory", b"Hi!\n", args=[b"in.txt", b"dir"], setup=mkdir("dir"),
         console=cannot_create(b"dir"), status=3),
    Case("output_is_input", b"Hi!\n", args=[b"in.txt", b"in.txt"],
         console=cannot_create(b"in.txt"), status=3),
    Case("output_is_input_respelled", b"Hi!\n", args=[b"in.txt", b"./in.txt"],
         console=cannot_create(b"./in.txt"), status=3),
    Case("output_is_input_hard_link", b"Hi!\n", args=[b"in.txt", b"hard.txt"],
         setup=link("hard", "hard.txt"), console=cannot_create(b"hard.txt"), status=3),
    Case("output_is_input_symlink", b"Hi!\n", args=[b"in.txt", b"sym.txt"],
         setup=link("sym", "sym.txt"), console=cannot_create(b"sym.txt"), status=3, only="posix"),
    Case("percent_in_paths", None, args=[b"in%s%n.txt", b"out%d.asm"],
         console=cannot_open(b"in%s%n.txt"), status=2),
    Case("percent_in_output_path", b"Hi!\n", args=[b"in.txt", b"no%dir/o%s.asm"],
         console=cannot_create(b"no%dir/o%s.asm"), status=3),
    Case("path_bytes_verbatim", b"Hi!\n", args=[b"in%s%n\x81\xff.txt", b"out.asm"],
         in_name=b"in%s%n\x81\xff.txt", out=HI_OUT,
         only="posix"),
    Case("missing_path_bytes_verbatim", None, args=[b"no%s%n\x81\xff.txt", b"out.asm"],
         console=cannot_open(b"no%s%n\x81\xff.txt"), status=2, only="posix"),

    # Failures of the streams themselves.
    Case("output_full_small", b"Hi!\n", args=[b"in.txt", b"/dev/full"],
         console=cannot_write(b"/dev/full"), status=3, only="posix"),
    Case("output_full_large", b"HELLO WORLD!\n" * 200000, args=[b"in.txt", b"/dev/full"],
         console=cannot_write(b"/dev/full"), status=3, only="posix"),
    Case("input_read_fails", None, args=[b"/proc/self/mem", b"out.asm"],
         console=cannot_read(b"/proc/self/mem"), status=2, only="posix"),
    Case("input_from_pipe", None, args=[b"/dev/stdin", b"out.asm"],
         stdin=b"HELLO WORLD!\n" * 60000, out=HELLO * 60000, only="posix"),

    # The Windows program writes what the native one does, every LF as CR LF.
    Case("windows_matches_native", mixed_text(4 << 20), native=True, console=None,
         only="windows"),

    # Whatever surrounds the run, nothing is lost, and a failed or interrupted
    # run leaves no output behind for a build to take as up to date.
    Case("output_is_input_other_drive", b"Hi!\n", args=[b"{c}in.txt", b"{z}in.txt"],
         console=cannot_create(b"{z}in.txt"), status=3, only="windows"),
    Case("output_link_swapped_meanwhile", b"Hi!\n", race=3, only="posix"),
    Case("console_reader_gone", AB_IN, out=AB_OUT, console=None, console_gone=True),
    Case("output_reader_gone", b"HELLO WORLD!\n" * 200000, args=[b"in.txt", b"out.fifo"],
         setup=output_fifo, check=fifo_kept, console=cannot_write(b"out.fifo"), status=3,
         only="posix"),
    # Standard output to a file on another file system whose number is the
    # input's: another file, which the run may write to.
    Case("console_numbered_as_input", None, args=[b"fa/in.txt", b"out.asm"], setup=two_volumes,
         teardown=unmount_volumes, console_to=(b"fb/log", "wb"), console=None, out=HI_OUT),
    # On Windows a file is opened by the name the system holds, never by the
    # look-alike the ANSI code page spells it with.
    Case("output_name_outside_code_page", b"Hi!\n", args=[b"in.txt", "ｏｕｔ.asm".encode()],
         before=b"PRECIOUS\n", env=locale("C.UTF-8"), check=holds("ｏｕｔ.asm", HI_OUT),
         only="windows"),
    Case("output_name_yen_in_code_page_932", b"Hi!\n", args=[b"in.txt", "sub¥x.asm".encode()],
         setup=mkdir("sub"), env=japanese, check=holds("sub¥x.asm", HI_OUT, absent="sub/x.asm"),
         only="windows"),
    # Windows hands a path past 260 characters only to a program whose
    # manifest asks for it.
    Case("long_path", b"Hi!\n",
         args=[b"in.txt", b"{c}" + "\\".join(LONG_DIRS + ["out.asm"]).encode()],
         setup=make_long_dirs, check=holds(os.path.join(*LONG_DIRS, "out.asm"), HI_OUT),
         manifest=True, only="windows"),
    Case("console_is_output", b"Hi!\n", console_to=(b"out.asm", "wb"), console=None,
         out=BANNER + cannot_create(b"out.asm"), status=3),
    Case("console_appends_to_input", b"Hi!\n", console_to=(b"in.txt", "ab"), console=None,
         status=2),
    Case("console_overwrites_input", b"Hi!\n", console_to=(b"in.txt", "r+b"), console=None,
         status=2, only="posix"),
    Case("console_slow_non_blocking", AB_IN, out=AB_OUT, console=diag(ord("-")) * 100000,
         slow_console=True, only="posix"),
    # The output's absolute path is past 4096 bytes: it cannot be formed.
    Case("deep_working_directory", None, args=[b"/proc/self/mem", b"out.asm"], depth=25,
         check=deep_output_removed(25), console=cannot_read(b"/proc/self/mem"), status=2,
         only="posix"),
    Case("standard_streams_closed", AB_IN, out=AB_OUT, console=None, std_closed=True),
    Case("disk_full_small", b"Hi!\n", file_limit=0, console=cannot_write(b"out.asm"), status=3),
    Case("disk_full_large", b"HELLO WORLD!\n" * 200000, file_limit=100000,
         console=cannot_write(b"out.asm"), status=3),
    Case("file_size_limit", b"HELLO WORLD!\n" * 200000, file_limit=100000, xfsz_default=True,
         console=cannot_write(b"out.asm"), status=3, only="posix"),
    Case("disk_full_through_link", b"HELLO WORLD!\n" * 200000, file_limit=100000,
         setup=link("sym", "out.asm", "target.asm"), check=target_removed_link_kept,
         console=cannot_write(b"out.asm"), status=3, only="posix"),
    # As many links as the kernel follows in one lookup.
    Case("disk_full_through_40_links", b"HELLO WORLD!\n" * 200000, file_limit=100000,
         setup=link_chain(40), check=target_removed_link_kept,
         console=cannot_write(b"out.asm"), status=3, only="posix"),
    # No descriptor left for what removing the output needs: the output is
    # refused before it is emptied, rather than written unprotected.
    Case("descriptors_short", b"HELLO WORLD!\n" * 200000, before=b"OLD\n", descriptors=5,
         file_limit=100000, xfsz_default=True, console=cannot_create(b"out.asm"), status=3,
         only="posix"),
    # Two runs on one output: the second waits for the first, then writes
    # the file as if alone.
    Case("two_runs_one_output", None, args=[b"in.fifo", b"out.asm"], stdin=b"a-b\n",
         then=b"Hi!\n", before=b"old\n", out=HI_OUT, console=diag(ord("-"))),
    # An output the run could not remove again is refused before it is
    # emptied: its other names would keep the emptied file, or the folder
    # or a mount keeps the name.
    Case("output_has_other_names", b"Hi!\n", before=b"old\n",
         setup=link("hard", "other.asm", "out.asm"), check=holds("other.asm", b"old\n"),
         console=cannot_create(b"out.asm"), status=3),
    Case("output_in_folder_of_root", b"Hi!\n", args=[b"in.txt", b"root/out.asm"],
         setup=as_user("nobody"), user="nobody", check=holds("root/out.asm", b"old\n"),
         console=cannot_create(b"root/out.asm"), status=3, only="posix"),
    Case("output_bind_mounted", b"Hi!\n", before=b"old\n",
         setup=privileged(["sh", "-c", "echo old > volume.asm"],
                          ["mount", "--bind", "volume.asm", "out.asm"]),
         teardown=undo(["umount", "out.asm"]), check=holds("volume.asm", b"old\n"),
         console=cannot_create(b"out.asm"), status=3, only="posix"),
    Case("output_in_append_only_folder", b"Hi!\n", args=[b"in.txt", b"a/out.asm"],
         setup=privileged(["mkdir", "a"], ["sh", "-c", "echo old > a/out.asm"],
                          ["chattr", "+a", "a"]),
         teardown=undo(["chattr", "-a", "a"]), check=holds("a/out.asm", b"old\n"),
         console=cannot_create(b"a/out.asm"), status=3, only="posix"),
    Case("new_output_in_append_only_folder", b"Hi!\n", args=[b"in.txt", b"a/out.asm"],
         setup=privileged(["mkdir", "a"], ["chattr", "+a", "a"]),
         teardown=undo(["chattr", "-a", "a"]), check=nothing_at("a/out.asm"),
         console=cannot_create(b"a/out.asm"), status=3, only="posix"),
    # No null device to put in the place of the closed console: the
    # messages go nowhere, never into the output.
    Case("console_without_null_device", AB_IN, before=b"old\n", out=AB_OUT, console=None,
         std_closed=True, no_null_device=True, setup=privileged(["unshare", "-m", "true"]),
         only="posix"),
    Case("small_stack", b"Hi!\n", out=HI_OUT, stack=16 << 10, only="posix"),
    # A file no name leads to, reached through /proc: waited for, it would
    # never be the run's; it is refused and left as it was.
    Case("output_deleted_but_open", b"Hi!\n", setup=deleted_but_open, out=b"old\n", status=3, console=cannot_create(b"out.asm"), only="posix"),
    # Ctrl-C on Windows ends the run with STATUS_CONTROL_C_EXIT, whose low
    # byte is what Wine hands back.
    Case("interrupted", None, args=[b"in.fifo", b"out.asm"], stdin=b"Hi!\n",
         signal=signal.SIGINT, status=-signal.SIGINT, windows_status=0x3A, console=None),
    Case("terminated", None, args=[b"in.fifo", b"out.asm"], stdin=b"Hi!\n", before=b"old\n",
         out=REMOVED, signal=signal.SIGTERM, status=-signal.SIGTERM, console=None),
    Case("hung_up", None, args=[b"in.fifo", b"out.asm"], stdin=b"Hi!\n",
         signal=signal.SIGHUP, status=-signal.SIGHUP, console=None, only="posix"),
    Case("quit", None, args=[b"in.fifo", b"out.asm"], stdin=b"Hi!\n",
         signal=signal.SIGQUIT, status=-signal.SIGQUIT, console=None, only="posix"),
    Case("hang_up_ignored", None, args=[b"in.fifo", b"out.asm"], stdin=b"Hi!\n",
         signal=signal.SIGHUP, ignored=True, out=HI_OUT,
         only="posix"),
]
