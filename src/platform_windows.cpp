// The Windows half of platform.h.
#include "platform.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <emmintrin.h>
#include <fcntl.h>
#include <initializer_list>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

// The runtime's own split of the wide command line, by the rules its ANSI
// argv is split by; msvcrt exports it, no header declares it.
extern "C" {
struct runtime_startup {
    int newmode;
};
__declspec(dllimport) int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env,
                                                 int expand, runtime_startup* info);
// What the last failed call meant, more finely than GetLastError: a file
// waiting to be deleted is "access denied" there.
__declspec(dllimport) LONG WINAPI RtlGetLastNtStatus();
}

// The runtime's memchr goes a byte at a time; this goes sixteen.
std::size_t find_byte(const char* p, std::size_t n, char c) {
    const __m128i pattern = _mm_set1_epi8(c);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        if (const int hit = _mm_movemask_epi8(_mm_cmpeq_epi8(v, pattern)))
            return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(hit)));
    }
    while (i < n && p[i] != c)
        ++i;
    return i;
}

namespace {

// Standard output's own buffer: without one the runtime writes a console,
// or NUL, a byte at a time.
char console_buf[std::size_t{1} << 16];

// The output's handle while a failed or interrupted run must not leave the
// file: it carries the request that the system delete the file as its last
// handle closes, whatever ends the process, until the run has completed.
HANDLE made = INVALID_HANDLE_VALUE;
// Once a completed run's output stream is closed, a second handle on it,
// still marked, until the run has ended well.
HANDLE held = INVALID_HANDLE_VALUE;

// Held while the output is created and marked, and for good once the run
// has ended well: Ctrl-C and the console's other events wait for it.
CRITICAL_SECTION owning;

// Ends the run as Windows ends a console program on Ctrl-C, and as Wine
// does not by itself (it exits with 0): the status says the run was
// interrupted, and the output, still marked, goes with the process.
BOOL WINAPI on_console_event(DWORD /*event*/) {
    EnterCriticalSection(&owning);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

// Whether the process was started without a standard output.
bool console_was_closed = false;

// viderav-build's: every name is UTF-8.
bool utf8_names = false;

// main's own argv, and the same arguments as the system holds them.
int ansi_argc = 0;
char** ansi_argv = nullptr;
int wide_argc = 0;
wchar_t** wide_argv = nullptr;

// The name the system is to open for path.  An argument of the command
// line is taken as the system holds it, not as the ANSI code page spells
// it: that spelling may name another file ("ｏｕｔ.asm" becomes "out.asm",
// "¥" a backslash).  nullptr where the two do not match argument for
// argument.  Any other path is converted from the ANSI code page.
const wchar_t* system_name(const char* path) {
    // The longest path Windows takes, in the widest ANSI code page (UTF-8).
    static char ansi[3 * 32768];
    static wchar_t wide[32768];
    if (utf8_names)
        return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, 32768) > 0
                   ? wide
                   : nullptr;
    for (int i = 0; i < ansi_argc; ++i) {
        if (ansi_argv[i] != path)
            continue;
        if (i >= wide_argc)
            return nullptr;
        const int n =
            WideCharToMultiByte(CP_ACP, 0, wide_argv[i], -1, ansi, sizeof ansi, nullptr, nullptr);
        return n > 0 && std::strcmp(ansi, path) == 0 ? wide_argv[i] : nullptr;
    }
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide, 32768) > 0 ? wide
                                                                                        : nullptr;
}

// The encoder reads and writes in large blocks: a buffer of the runtime's
// would only split them into many system calls.
std::FILE* unbuffered(std::FILE* f) {
    if (f != nullptr)
        std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

// What tells one file on disk from another.  Not through
// GetFileInformationByHandle: Wine cannot answer that for a handle it made
// from an inherited descriptor, such as a redirected standard output; and
// it gives such a handle volume 0, so where a volume is unknown, the file's
// size, links and times must match as well as its number.
struct identity {
    FILE_ID_INFO id;
    FILE_STANDARD_INFO standard;
    FILE_BASIC_INFO basic;
};

bool disk_file(HANDLE h, identity& f) {
    return h != INVALID_HANDLE_VALUE && h != nullptr && GetFileType(h) == FILE_TYPE_DISK &&
           GetFileInformationByHandleEx(h, FileIdInfo, &f.id, sizeof f.id) != 0 &&
           GetFileInformationByHandleEx(h, FileStandardInfo, &f.standard, sizeof f.standard) != 0 &&
           GetFileInformationByHandleEx(h, FileBasicInfo, &f.basic, sizeof f.basic) != 0;
}

bool same_file(const identity& a, const identity& b) {
    if (std::memcmp(&a.id.FileId, &b.id.FileId, sizeof a.id.FileId) != 0)
        return false;
    if (a.id.VolumeSerialNumber != 0 && b.id.VolumeSerialNumber != 0)
        return a.id.VolumeSerialNumber == b.id.VolumeSerialNumber;
    return a.standard.EndOfFile.QuadPart == b.standard.EndOfFile.QuadPart &&
           a.standard.NumberOfLinks == b.standard.NumberOfLinks &&
           a.basic.CreationTime.QuadPart == b.basic.CreationTime.QuadPart &&
           a.basic.ChangeTime.QuadPart == b.basic.ChangeTime.QuadPart;
}

// Whether standard output is sent to the file h is open on.
bool is_console_file(HANDLE h) {
    identity con{};
    identity file{};
    return disk_file(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))), con) &&
           disk_file(h, file) && same_file(con, file);
}

// From now on the stream f reaches nothing: its descriptor goes to NUL,
// under the buffered stream, which may still hold the banner.
void silence(std::FILE* f) {
    const int nul = _open("NUL", _O_WRONLY | _O_BINARY);
    if (nul >= 0) {
        _dup2(nul, _fileno(f));
        _close(nul);
    }
}

// viderav-build's standard error: the file it is sent to, if one, and
// whether it is a console, which is written wide.
identity errors_id{};
bool errors_known = false;
bool errors_console = false;

// Whether h is the file standard error is sent to; then nothing more
// reaches it, lest it reach a file of the run's.
bool is_errors_file(HANDLE h) {
    identity f{};
    if (!errors_known || !disk_file(h, f) || !same_file(f, errors_id))
        return false;
    silence(stderr);
    errors_known = false;
    return true;
}

// A binary stream for writing on the handle h, which it then owns; where
// none can be had, h is closed and nullptr returned.
std::FILE* stream_of(HANDLE h) {
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_WRONLY | _O_BINARY);
    std::FILE* f = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (f == nullptr) {
        if (fd < 0)
            CloseHandle(h);
        else
            _close(fd);
    }
    return f;
}

bool delete_on_close(HANDLE h, bool remove) {
    FILE_DISPOSITION_INFO info{static_cast<BOOLEAN>(remove)};
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

bool is_directory(std::FILE* f) {
    struct stat st {};
    return fstat(_fileno(f), &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR;
}

} // namespace

std::FILE* prepare_run(int argc, char* argv[]) {
    // A stream the process was started without has no handle behind it.
    const struct {
        std::FILE* f;
        const char* mode;
    } standard[] = {{stdin, "r"}, {stdout, "w"}, {stderr, "w"}};
    for (const auto& s : standard)
        if (_fileno(s.f) < 0 || _get_osfhandle(_fileno(s.f)) < 0) {
            console_was_closed = console_was_closed || s.f == stdout;
            std::freopen("NUL", s.mode, s.f);
        }
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, console_buf, _IOFBF, sizeof console_buf);

    ansi_argc = argc;
    ansi_argv = argv;
    wchar_t** env = nullptr;
    runtime_startup info{0};
    if (__wgetmainargs(&wide_argc, &wide_argv, &env, 0, &info) < 0)
        wide_argc = 0;
    InitializeCriticalSection(&owning);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    return stdout;
}

bool console_closed() {
    return console_was_closed;
}

int standard_stream_of(const char* path) {
    const wchar_t* name = system_name(path);
    const HANDLE h = name == nullptr
                         ? INVALID_HANDLE_VALUE
                         : CreateFileW(name, FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    identity file{};
    identity other{};
    int stream = 0;
    if (disk_file(h, file))
        for (const int fd : {1, 2})
            if (stream == 0 && disk_file(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), other) &&
                same_file(file, other))
                stream = fd;
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return stream;
}

std::FILE* prepare_errors(int argc, char* argv[]) {
    // Binary: each line already ends in CR LF.
    _setmode(_fileno(stderr), _O_BINARY);
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr)));
    DWORD mode = 0;
    errors_console = GetConsoleMode(h, &mode) != 0;
    errors_known = disk_file(h, errors_id);
    if (wide_argc != argc)
        return stderr;
    for (int i = 0; i < argc; ++i) {
        const int n =
            WideCharToMultiByte(CP_UTF8, 0, wide_argv[i], -1, nullptr, 0, nullptr, nullptr);
        char* utf8 = n > 0 ? static_cast<char*>(std::malloc(static_cast<std::size_t>(n))) : nullptr;
        if (utf8 == nullptr ||
            WideCharToMultiByte(CP_UTF8, 0, wide_argv[i], -1, utf8, n, nullptr, nullptr) != n)
            return stderr;
        argv[i] = utf8;
    }
    utf8_names = true;
    return stderr;
}

bool write_line(std::FILE* to, const char* p, std::size_t n) {
    if (to == stderr && errors_console) {
        // A console shows UTF-8 only through its wide writes.
        static wchar_t wide[2 * 32768 + 512];
        const int count = MultiByteToWideChar(CP_UTF8, 0, p, static_cast<int>(n), wide,
                                              static_cast<int>(sizeof wide / sizeof *wide));
        DWORD done = 0;
        return count > 0 && WriteConsoleW(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(to))),
                                          wide, static_cast<DWORD>(count), &done, nullptr) != 0;
    }
    const bool written = std::fwrite(p, 1, n, to) == n;
    return std::fflush(to) == 0 && written;
}

std::FILE* open_input(const char* path) {
    const wchar_t* name = system_name(path);
    if (name == nullptr)
        return nullptr;
    // While the input is open no other open may write to it, so the output
    // cannot be the input under any spelling, link, drive letter or share.
    std::FILE* in = _wfsopen(name, L"rb", _SH_DENYWR);
    // Standard output written to the input (`>> in.txt`) fails that open on
    // Windows, though not under Wine: either way nothing may reach the
    // input now, not even the message saying so.
    const HANDLE h =
        in != nullptr ? reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in)))
                      : CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool console_is_input = is_console_file(h);
    if (console_is_input)
        silence(stdout);
    const bool errors_is_input = is_errors_file(h);
    if (in == nullptr) {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return nullptr;
    }
    if (console_is_input || errors_is_input || is_directory(in)) {
        std::fclose(in);
        return nullptr;
    }
    return unbuffered(in);
}

namespace {

constexpr LONG status_delete_pending = static_cast<LONG>(0xC0000056);

// Another run's output cannot be opened with delete access while that run
// holds it, nor at all once it is marked for deletion.  Waits, with
// Ctrl-C still heard, until that run has ended, and returns true; false
// where what stands in the way is not another run (whose lock on the file
// tells it), which refuses the output as before.
bool waited_for_other_run(const wchar_t* name) {
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED && RtlGetLastNtStatus() == status_delete_pending) {
        Sleep(10);
        return true;
    }
    if (error != ERROR_SHARING_VIOLATION)
        return false;
    // Sharing what the other run holds: write and delete access.
    const HANDLE probe =
        CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        const bool pending =
            GetLastError() == ERROR_ACCESS_DENIED && RtlGetLastNtStatus() == status_delete_pending;
        if (pending)
            Sleep(10);
        return pending;
    }
    OVERLAPPED whole{};
    bool other_run = LockFileEx(probe, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                                MAXDWORD, MAXDWORD, &whole) == 0 &&
                     GetLastError() == ERROR_LOCK_VIOLATION;
    if (other_run)
        other_run = LockFileEx(probe, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
    CloseHandle(probe);
    return other_run;
}

// Delete access lets a failed run have the output removed: a file that may
// be written but not deleted is not this run's to write.
HANDLE open_for_output(const wchar_t* name, DWORD disposition) {
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    return CreateFileW(name, GENERIC_WRITE | DELETE, share, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Takes the exclusive lock on h, which name led to, waiting for another
// holder, and saying so first where someone listens.  False where the file
// system has no locks.
bool lock_file(HANDLE h, const wchar_t* name) {
    OVERLAPPED whole{};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &whole) != 0)
        return true;
    if (GetLastError() != ERROR_LOCK_VIOLATION)
        return false;
    if (on_lock_wait != nullptr) {
        static char said[3 * 32768];
        if (WideCharToMultiByte(utf8_names ? CP_UTF8 : CP_ACP, 0, name, -1, said, sizeof said,
                                nullptr, nullptr) > 0)
            on_lock_wait(said);
    }
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
}

// Waits until no other run writes the file h, which name led to.  Returns
// false, with h closed, when the other run had it deleted or name now
// leads elsewhere: the name is to be looked at again.
bool wait_turn(HANDLE h, const wchar_t* name) {
    if (!lock_file(h, name))
        // A file system without locks is written as it is.
        return true;
    identity locked{};
    identity named{};
    const HANDLE again =
        CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    const bool same = disk_file(h, locked) && !locked.standard.DeletePending &&
                      disk_file(again, named) && same_file(locked, named);
    if (again != INVALID_HANDLE_VALUE)
        CloseHandle(again);
    if (!same)
        CloseHandle(h);
    return same;
}

// Whether the existing file h, locked, is this run's to empty: it has no
// other name that would keep it emptied, and it can be marked for deletion,
// which is done.  Held by the console's events' lock.
bool mark_existing(HANDLE h) {
    identity f{};
    if (!disk_file(h, f) || f.standard.NumberOfLinks > 1 || !delete_on_close(h, true))
        return false;
    made = h;
    return true;
}

// The output's handle, a file on disk known to be another than the console
// file, marked for removal and then emptied if it existed; or where it
// could not be removed again, nothing touched.  Between the creation of a
// new file and its mark, only ending the process from outside
// (TerminateProcess) can leave it; the console's events wait.
HANDLE open_disk_output(const wchar_t* name) {
    for (int tries = 0; tries < 8; ++tries) {
        // An existing file is opened as it is, not emptied: it may be the
        // file standard output goes to.
        HANDLE h = open_for_output(name, OPEN_EXISTING);
        if (h != INVALID_HANDLE_VALUE) {
            if (GetFileType(h) != FILE_TYPE_DISK)
                return h;
            // `viderav in.txt out.asm > out.asm`: the messages and the
            // records would overwrite each other.
            if (is_console_file(h) || is_errors_file(h)) {
                CloseHandle(h);
                return INVALID_HANDLE_VALUE;
            }
            if (!wait_turn(h, name)) {
                tries = 0;
                continue;
            }
            // Marked before it is emptied: ended in between, the run loses
            // the old contents rather than leaving an empty file.
            EnterCriticalSection(&owning);
            const bool emptied = mark_existing(h) && SetEndOfFile(h) != 0;
            if (!emptied) {
                CloseHandle(h);
                made = INVALID_HANDLE_VALUE;
                h = INVALID_HANDLE_VALUE;
            }
            LeaveCriticalSection(&owning);
            return h;
        }
        if (waited_for_other_run(name)) {
            tries = 0;
            continue;
        }
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return INVALID_HANDLE_VALUE;
        EnterCriticalSection(&owning);
        h = open_for_output(name, CREATE_NEW);
        if (h != INVALID_HANDLE_VALUE) {
            OVERLAPPED whole{};
            if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                           MAXDWORD, &whole) == 0 &&
                GetLastError() == ERROR_LOCK_VIOLATION) {
                // Another run opened it first: it is that run's now.
                CloseHandle(h);
                h = INVALID_HANDLE_VALUE;
                SetLastError(ERROR_FILE_EXISTS);
            } else if (delete_on_close(h, true)) {
                made = h;
            } else {
                // Created just now with delete access: it cannot be kept
                // unmarked.
                CloseHandle(h);
                DeleteFileW(name);
                LeaveCriticalSection(&owning);
                return INVALID_HANDLE_VALUE;
            }
        }
        LeaveCriticalSection(&owning);
        if (h != INVALID_HANDLE_VALUE)
            return h;
        if (GetLastError() != ERROR_FILE_EXISTS && !waited_for_other_run(name))
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

} // namespace

std::FILE* open_output(const char* path, std::FILE* /*in: it denies writers*/) {
    const wchar_t* name = system_name(path);
    if (name == nullptr)
        return nullptr;
    const HANDLE h = open_disk_output(name);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    std::FILE* out = stream_of(h);
    if (out == nullptr)
        made = INVALID_HANDLE_VALUE;
    return unbuffered(out);
}

bool close_output(std::FILE* out, bool complete) {
    // A completed run's output stays marked, held by a second handle, until
    // the run has ended well; otherwise the system removes the file as the
    // stream's handle, its last, closes.  Where no second handle can be
    // had, the mark is withdrawn now.
    bool kept = true;
    const HANDLE self = GetCurrentProcess();
    if (made != INVALID_HANDLE_VALUE && complete &&
        DuplicateHandle(self, made, self, &held, 0, FALSE, DUPLICATE_SAME_ACCESS) == 0) {
        held = INVALID_HANDLE_VALUE;
        kept = delete_on_close(made, false);
    }
    made = INVALID_HANDLE_VALUE;
    const bool closed = std::fclose(out) == 0;
    if (!closed && held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
    }
    return closed && kept;
}

bool keep_output() {
    // For good: the console's events no longer end the run, which ends with
    // status 0.
    EnterCriticalSection(&owning);
    if (held == INVALID_HANDLE_VALUE)
        return true;
    const bool kept = delete_on_close(held, false);
    CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
    return kept;
}

std::FILE* open_log(const char* path, std::FILE* in, std::FILE* out) {
    const wchar_t* name = system_name(path);
    if (name == nullptr)
        return nullptr;
    // Shared as the output is, so that a second run can open it and wait
    // for its lock; with delete access where it can be had, to remove a log
    // created only to be refused.
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = CreateFileW(name, GENERIC_WRITE | DELETE, share, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    bool created = h != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS;
    if (h == INVALID_HANDLE_VALUE) {
        h = CreateFileW(name, GENERIC_WRITE, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
        created = false;
    }
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    identity log{};
    bool ok = true;
    if (disk_file(h, log)) {
        // Compared as open files: no spelling of a name can hide one.
        for (std::FILE* f : {in, out}) {
            identity other{};
            ok = ok && !(disk_file(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))), other) &&
                         same_file(other, log));
        }
        ok = ok && !is_errors_file(h);
        if (ok)
            lock_file(h, name);
        ok = ok && SetEndOfFile(h) != 0;
    }
    if (!ok) {
        if (created)
            delete_on_close(h, true);
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = stream_of(h);
    if (f != nullptr)
        std::setvbuf(f, nullptr, _IOFBF, std::size_t{1} << 16);
    return f;
}

std::size_t read_input(char* p, std::size_t n) {
    DWORD got = 0;
    const DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    return ReadFile(GetStdHandle(STD_INPUT_HANDLE), p, want, &got, nullptr) != 0 ? got : 0;
}

bool input_waiting() {
    // Only a pipe tells what it holds; a file is never waited for.
    const HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    DWORD ready = 0;
    if (GetFileType(h) != FILE_TYPE_PIPE)
        return GetFileType(h) == FILE_TYPE_DISK;
    return PeekNamedPipe(h, nullptr, 0, nullptr, &ready, nullptr) != 0 && ready > 0;
}

bool regular_file(const char* path) {
    const wchar_t* name = system_name(path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return name != nullptr && GetFileAttributesExW(name, GetFileExInfoStandard, &data) != 0 &&
           (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

const char* full_path(const char* path) {
    static char full[3 * 32768];
    if (!utf8_names) {
        const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
        return n > 0 && n < sizeof full ? full : path;
    }
    static wchar_t wide[32768];
    const wchar_t* name = system_name(path);
    const DWORD n = name == nullptr ? 0 : GetFullPathNameW(name, 32768, wide, nullptr);
    return n > 0 && n < 32768 &&
                   WideCharToMultiByte(CP_UTF8, 0, wide, -1, full, sizeof full, nullptr, nullptr) >
                       0
               ? full
               : path;
}
