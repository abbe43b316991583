// The Windows half of platform.h.
#include "platform.h"

#include <bit>
#include <cstdint>
#include <cstring>
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

// The volume and file identity of a file on disk.  Not through
// GetFileInformationByHandle: Wine cannot answer that for a handle it made
// from an inherited descriptor, such as a redirected standard output.
bool disk_file(HANDLE h, FILE_ID_INFO& id) {
    return h != INVALID_HANDLE_VALUE && h != nullptr && GetFileType(h) == FILE_TYPE_DISK &&
           GetFileInformationByHandleEx(h, FileIdInfo, &id, sizeof id) != 0;
}

// Whether standard output is sent to the file h is open on.
bool is_console_file(HANDLE h) {
    FILE_ID_INFO con{};
    FILE_ID_INFO file{};
    // Wine gives such a handle volume 0: the volume is compared where both
    // are known.
    return disk_file(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))), con) &&
           disk_file(h, file) && std::memcmp(&con.FileId, &file.FileId, sizeof con.FileId) == 0 &&
           (con.VolumeSerialNumber == file.VolumeSerialNumber || con.VolumeSerialNumber == 0 ||
            file.VolumeSerialNumber == 0);
}

// From now on the console reaches nothing: standard output goes to NUL,
// under the buffered stream, which still holds the banner.
void silence_console() {
    const int nul = _open("NUL", _O_WRONLY | _O_BINARY);
    if (nul >= 0) {
        _dup2(nul, _fileno(stdout));
        _close(nul);
    }
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
    // Standard output written to the input (`>> in.txt`) fails that open on
    // Windows, though not under Wine: either way nothing may reach the
    // input now, not even the message saying so.
    const HANDLE h =
        in != nullptr ? reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in)))
                      : CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool console_is_input = is_console_file(h);
    if (console_is_input)
        silence_console();
    if (in == nullptr) {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return nullptr;
    }
    if (console_is_input || is_directory(in)) {
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
