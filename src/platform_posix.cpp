#include "platform.h"

#include <bit>
#include <cstring>
#include <sys/stat.h>

#ifdef _WIN32
#include <emmintrin.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#else
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#ifdef _WIN32

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

#else

std::size_t find_byte(const char* p, std::size_t n, char c) {
    const void* hit = std::memchr(p, c, n);
    return hit == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(hit) - p);
}

#endif

namespace {

// Drops the CR of every CR LF pair in buf[0, n), in place; returns the new
// length.
std::size_t fold_crlf(char* buf, std::size_t n) {
    std::size_t out = 0;
    std::size_t from = 0;
    for (std::size_t cr; (cr = from + find_byte(buf + from, n - from, '\r')) < n;) {
        const bool pair = cr + 1 < n && buf[cr + 1] == '\n';
        const std::size_t keep_end = pair ? cr : cr + 1;
        if (out != from)
            std::memmove(buf + out, buf + from, keep_end - from);
        out += keep_end - from;
        from = cr + 1;
    }
    // Text without a CR LF pair, the common case, stays where it is.
    if (out != from)
        std::memmove(buf + out, buf + from, n - from);
    return out + n - from;
}

} // namespace

std::size_t read_text(text_reader& rd, char* buf, std::size_t size) {
    std::size_t n = 0;
    if (rd.pending_cr) {
        buf[n++] = '\r';
        rd.pending_cr = false;
    }
    if (!rd.done) {
        const std::size_t want = size - n;
        std::size_t got = std::fread(buf + n, 1, want, rd.in);
        // fread comes back short only at the end of the stream or on an
        // error; asking again could block on a terminal or a pipe.
        rd.done = got < want;
        if constexpr (text_ends_at_ctrl_z) {
            const std::size_t end = find_byte(buf + n, got, '\x1A');
            rd.done = rd.done || end < got;
            got = end;
        }
        n += got;
    }
    n = fold_crlf(buf, n);
    if (n > 0 && buf[n - 1] == '\r' && !rd.done) {
        rd.pending_cr = true;
        --n;
    }
    return n;
}

namespace {

// Standard output's own buffer: without one the Windows runtime writes a
// console, or NUL, a byte at a time.
char console_buf[std::size_t{1} << 16];

bool is_directory(std::FILE* f) {
    struct stat st {};
    return fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode);
}

// The encoder reads and writes in large blocks: a buffer of the runtime's
// would only split them into many system calls, and cost a look at the file
// and an allocation to set up.
std::FILE* unbuffered(std::FILE* f) {
    if (f != nullptr)
        std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

std::FILE* open_for_reading(const char* path);

} // namespace

std::FILE* open_input(const char* path) {
    std::FILE* in = open_for_reading(path);
    if (in != nullptr && is_directory(in)) {
        std::fclose(in);
        return nullptr;
    }
    return unbuffered(in);
}

#ifdef _WIN32

namespace {

// The output, while this run may have to remove it.  The file is removed
// after it is closed, as Windows removes no open file.
const char* made_path = nullptr;

} // namespace

void prepare_run() {
    // A stream the process was started without has no handle behind it.
    const struct {
        std::FILE* f;
        const char* mode;
    } standard[] = {{stdin, "r"}, {stdout, "w"}, {stderr, "w"}};
    for (const auto& s : standard)
        if (fileno(s.f) < 0 || _get_osfhandle(fileno(s.f)) < 0)
            std::freopen("NUL", s.mode, s.f);
    _setmode(fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, console_buf, _IOFBF, sizeof console_buf);
}

namespace {

std::FILE* open_for_reading(const char* path) {
    // While the input is open no other open may write to it, so the output
    // cannot be the input under any spelling, link, drive letter or share.
    return _fsopen(path, "rb", _SH_DENYWR);
}

} // namespace

std::FILE* open_output(const char* path, std::FILE* /*in: it denies writers*/) {
    std::FILE* out = unbuffered(std::fopen(path, "wb"));
    struct stat st {};
    if (out != nullptr && fstat(fileno(out), &st) == 0 && S_ISREG(st.st_mode))
        made_path = path;
    return out;
}

void settle_output(bool complete) {
    if (!complete && made_path != nullptr)
        std::remove(made_path);
    made_path = nullptr;
}

#else

namespace {

// The regular file this run created or emptied, while the run may have to
// remove it: its path with every link resolved, and its identity, so that
// nothing that has since taken that name is removed.
char made_path[PATH_MAX];
dev_t made_dev = 0;
ino_t made_ino = 0;
volatile std::sig_atomic_t made = 0;

constexpr int fatal_signals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t fatal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : fatal_signals)
        sigaddset(&set, sig);
    return set;
}

// Async-signal-safe: the signal handler calls it.
void remove_made() {
    struct stat st {};
    if (made != 0 && lstat(made_path, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == made_dev &&
        st.st_ino == made_ino)
        unlink(made_path);
    made = 0;
}

extern "C" void on_fatal_signal(int sig) {
    remove_made();
    // Die by the same signal, so that the caller sees how the run ended.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Only once there is a file to remove, and with the fatal signals blocked,
// so that none is caught before a handler is put back.
void remove_on_fatal_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_fatal_signal;
    sa.sa_mask = fatal_set();
    for (const int sig : fatal_signals) {
        struct sigaction old {};
        // A signal ignored by whoever started the run (nohup) stays ignored.
        if (sigaction(sig, &sa, &old) == 0 && old.sa_handler == SIG_IGN)
            sigaction(sig, &old, nullptr);
    }
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The file standard output was sent to (`viderav in.txt out.asm > out.asm`):
// the messages and the records would overwrite each other.  A device, such
// as a terminal or /dev/null, both may share.
bool is_console_file(const struct stat& out_st) {
    struct stat con_st {};
    return S_ISREG(out_st.st_mode) && fstat(STDOUT_FILENO, &con_st) == 0 &&
           same_file(con_st, out_st);
}

} // namespace

void prepare_run() {
    pollfd standard[] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    if (poll(standard, 3, 0) > 0)
        for (const pollfd& p : standard)
            if ((p.revents & POLLNVAL) != 0)
                // The lowest free descriptor, so it takes the closed one's place.
                open("/dev/null", p.fd == 0 ? O_RDONLY : O_WRONLY);

    // A reader of the console that goes away fails the console's writes; it
    // must not cost the output.
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, console_buf, _IOFBF, sizeof console_buf);
}

namespace {

std::FILE* open_for_reading(const char* path) {
    return std::fopen(path, "r");
}

// Empties the regular file the output names and makes it this run's to
// remove.  An interruption must not find it emptied but not yet known as
// this run's to remove, nor a handler missing once it is.
std::FILE* open_made(int fd, const char* path, const struct stat& st) {
    const sigset_t fatal = fatal_set();
    sigset_t old;
    sigprocmask(SIG_BLOCK, &fatal, &old);
    std::FILE* out = nullptr;
    if (ftruncate(fd, 0) == 0) {
        if (realpath(path, made_path) != nullptr) {
            made_dev = st.st_dev;
            made_ino = st.st_ino;
            made = 1;
            remove_on_fatal_signals();
        }
        out = unbuffered(fdopen(fd, "w"));
        if (out == nullptr)
            made = 0;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return out;
}

} // namespace

std::FILE* open_output(const char* path, std::FILE* in) {
    // Not truncated on open: it may be the input under another name, which
    // only the two open files can tell, whatever happens to the names.
    const int fd = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat in_st {};
    struct stat out_st {};
    std::FILE* out = nullptr;
    if (fstat(fileno(in), &in_st) == 0 && fstat(fd, &out_st) == 0 && !same_file(in_st, out_st) &&
        !is_console_file(out_st))
        out = S_ISREG(out_st.st_mode) ? open_made(fd, path, out_st) : unbuffered(fdopen(fd, "w"));
    if (out == nullptr)
        close(fd);
    return out;
}

void settle_output(bool complete) {
    if (!complete)
        remove_made();
    made = 0;
}

#endif
