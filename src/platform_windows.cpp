// The Windows half of platform.h.
#include "platform.h"

#include <bit>
#include <cstdint>
#include <emmintrin.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

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

// The encoder reads and writes in large blocks: a buffer of the runtime's
// would only split them into many system calls.
std::FILE* unbuffered(std::FILE* f) {
    if (f != nullptr)
        std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

bool disk_file(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) {
    return h != INVALID_HANDLE_VALUE && h != nullptr && GetFileType(h) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(h, &info) != 0;
}

// Whether standard output is sent to the file h is open on.
bool is_console_file(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION con{};
    BY_HANDLE_FILE_INFORMATION file{};
    return disk_file(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))), con) &&
           disk_file(h, file) && con.dwVolumeSerialNumber == file.dwVolumeSerialNumber &&
           con.nFileIndexHigh == file.nFileIndexHigh && con.nFileIndexLow == file.nFileIndexLow;
}

bool delete_on_close(HANDLE h, bool remove) {
    FILE_DISPOSITION_INFO info{remove ? TRUE : FALSE};
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

bool is_directory(std::FILE* f) {
    struct stat st {};
    return fstat(_fileno(f), &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR;
}

} // namespace

std::FILE* prepare_run() {
    // A stream the process was started without has no handle behind it.
    const struct {
        std::FILE* f;
        const char* mode;
    } standard[] = {{stdin, "r"}, {stdout, "w"}, {stderr, "w"}};
    for (const auto& s : standard)
        if (_fileno(s.f) < 0 || _get_osfhandle(_fileno(s.f)) < 0)
            std::freopen("NUL", s.mode, s.f);
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, console_buf, _IOFBF, sizeof console_buf);
    return stdout;
}

std::FILE* open_input(const char* path) {
    // While the input is open no other open may write to it, so the output
    // cannot be the input under any spelling, link, drive letter or share.
    std::FILE* in = _fsopen(path, "rb", _SH_DENYWR);
    if (in == nullptr) {
        // Refused too while standard output is written to it (`>> in.txt`):
        // then nothing may reach it, not even the message saying so.
        const HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            if (is_console_file(h)) {
                const int nul = _open("NUL", _O_WRONLY | _O_BINARY);
                if (nul >= 0) {
                    // Under the buffered stream, which still holds the banner.
                    _dup2(nul, _fileno(stdout));
                    _close(nul);
                }
            }
            CloseHandle(h);
        }
        return nullptr;
    }
    if (is_directory(in)) {
        std::fclose(in);
        return nullptr;
    }
    return unbuffered(in);
}

std::FILE* open_output(const char* path, std::FILE* /*in: it denies writers*/) {
    // Not emptied on open: it may be the file standard output goes to.
    // Delete access lets a failed run have it removed; where the file may be
    // written but not deleted, it is written all the same.
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE h = CreateFileA(path, GENERIC_WRITE | DELETE, share, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        h = CreateFileA(path, GENERIC_WRITE, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    if (GetFileType(h) == FILE_TYPE_DISK) {
        // `viderav in.txt out.asm > out.asm`: the messages and the records
        // would overwrite each other.  A device (CON, NUL) both may share.
        if (is_console_file(h)) {
            CloseHandle(h);
            return nullptr;
        }
        if (delete_on_close(h, true))
            made = h;
        if (SetEndOfFile(h) == 0) {
            CloseHandle(h);
            made = INVALID_HANDLE_VALUE;
            return nullptr;
        }
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_WRONLY | _O_BINARY);
    std::FILE* out = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (out == nullptr) {
        if (fd < 0)
            CloseHandle(h);
        else
            _close(fd);
        made = INVALID_HANDLE_VALUE;
    }
    return unbuffered(out);
}

bool close_output(std::FILE* out, bool complete) {
    // Kept only once the run has completed; otherwise the system removes the
    // file as this last handle closes.
    bool kept = true;
    if (made != INVALID_HANDLE_VALUE && complete)
        kept = delete_on_close(made, false);
    made = INVALID_HANDLE_VALUE;
    const bool closed = std::fclose(out) == 0;
    return closed && kept;
}
