// The POSIX half of platform.h.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

// A descriptor that names a directory for the *at calls, needing only
// search permission where the system allows it.
#if defined(O_PATH)
constexpr int dir_only = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int dir_only = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int dir_only = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

std::size_t find_byte(const char* p, std::size_t n, char c) {
    const void* hit = std::memchr(p, c, n);
    return hit == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(hit) - p);
}

namespace {

// The console stream's own buffer, and what its descriptor was at the start.
char console_buf[std::size_t{1} << 16];
struct stat console_st {};
bool console_known = false;
// Where the console's bytes go; -1 once nothing may reach it.
int console_fd = STDOUT_FILENO;

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The regular file standard output was sent to.
bool is_console_file(const struct stat& st) {
    return console_known && S_ISREG(st.st_mode) && same_file(console_st, st);
}

// Writes all of p[0, n).  A descriptor handed over non-blocking fails a
// write while its reader is merely slow: that is waited for.  Only a reader
// gone (EPIPE) or a real error ends the writing.
bool write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t done = write(fd, p, n);
        if (done > 0) {
            p += done;
            n -= static_cast<std::size_t>(done);
        } else if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd room{fd, POLLOUT, 0};
            if (poll(&room, 1, -1) < 0 && errno != EINTR)
                return false;
        } else if (done == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

extern "C" ssize_t console_write(void* /*cookie*/, const char* p, std::size_t n) {
    if (console_fd >= 0 && !write_all(console_fd, p, n))
        return -1;
    return static_cast<ssize_t>(n);
}

// The encoder reads and writes in large blocks: a buffer of the runtime's
// would only split them into many system calls, and cost a look at the file
// and an allocation to set up.
std::FILE* unbuffered(std::FILE* f) {
    if (f != nullptr)
        std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

// The regular file this run created or emptied, while the run may have to
// remove it: the directory that holds it and its name there, found when the
// file was opened, so that removal needs no path that must fit a buffer or
// be resolved again; and its identity, so that nothing that has since taken
// that name is removed.
int made_dir = -1;
char made_name[NAME_MAX + 1];
dev_t made_dev = 0;
ino_t made_ino = 0;
volatile std::sig_atomic_t made = 0;

// Every catchable signal whose default action ends the process, but SIGPIPE,
// which the console's writes may raise and which stays ignored, and SIGXFSZ,
// which is a write failure (see below).  The real-time signals are added at
// run time.
constexpr int fatal_signals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGSYS,  SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// Async-signal-safe: the signal handler calls it.
void remove_made() {
    struct stat st {};
    if (made != 0 && fstatat(made_dir, made_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_dev == made_dev && st.st_ino == made_ino)
        unlinkat(made_dir, made_name, 0);
    made = 0;
}

extern "C" void on_fatal_signal(int sig) {
    remove_made();
    // Die by the same signal, so that the caller sees how the run ended.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Takes over a signal still at its default action: one ignored by whoever
// started the run (nohup) stays ignored, and a handler of the runtime's own
// (a sanitizer's) stays in place.
void take_over(int sig, const struct sigaction& sa) {
    struct sigaction old {};
    if (sigaction(sig, &sa, &old) == 0 && old.sa_handler != SIG_DFL)
        sigaction(sig, &old, nullptr);
}

void remove_on_fatal_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_fatal_signal;
    sigfillset(&sa.sa_mask);
    for (const int sig : fatal_signals)
        take_over(sig, sa);
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        take_over(sig, sa);
#endif
    // Past a file-size limit the write fails with EFBIG and is reported as
    // any failed write, rather than the run being killed.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    take_over(SIGXFSZ, ignore);
}

// The directory that holds the regular file st, which path leads to, and
// the file's name there; -1 where it cannot be found.  A symbolic link is
// followed to its target, one link at a time, relative to the directory that
// holds the link; no path longer than the ones given is ever formed.
int find_entry(const char* path, const struct stat& st) {
    char part[PATH_MAX];
    char link[PATH_MAX];
    const char* at = path;
    int dir = AT_FDCWD;
    for (int hops = 0; hops < 40; ++hops) {
        const char* slash = std::strrchr(at, '/');
        const char* base = slash == nullptr ? at : slash + 1;
        const std::size_t base_len = std::strlen(base);
        const std::size_t dir_len = slash == nullptr ? 0
                                    : slash == at    ? 1
                                                     : static_cast<std::size_t>(slash - at);
        if (base_len == 0 || base_len > NAME_MAX || dir_len >= sizeof part)
            break;
        std::memcpy(made_name, base, base_len + 1);
        if (dir_len == 0)
            std::memcpy(part, ".", 2);
        else {
            std::memcpy(part, at, dir_len);
            part[dir_len] = '\0';
        }
        const int next = openat(dir, part, dir_only);
        if (dir != AT_FDCWD)
            close(dir);
        dir = next;
        if (dir < 0)
            return -1;
        struct stat entry {};
        if (fstatat(dir, made_name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
            break;
        if (S_ISREG(entry.st_mode) && same_file(entry, st))
            return dir;
        if (!S_ISLNK(entry.st_mode))
            break;
        const ssize_t n = readlinkat(dir, made_name, link, sizeof link - 1);
        if (n <= 0)
            break;
        link[n] = '\0';
        at = link;
    }
    if (dir >= 0)
        close(dir);
    return -1;
}

// Empties the regular file the output names and makes it this run's to
// remove.  No signal may find it emptied but not yet known as this run's to
// remove, nor a handler missing once it is.
std::FILE* open_made(int fd, const char* path, const struct stat& st) {
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    std::FILE* out = nullptr;
    made_dir = find_entry(path, st);
    if (ftruncate(fd, 0) == 0) {
        if (made_dir >= 0) {
            made_dev = st.st_dev;
            made_ino = st.st_ino;
            made = 1;
            remove_on_fatal_signals();
        }
        out = unbuffered(fdopen(fd, "w"));
        if (out == nullptr)
            remove_made();
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return out;
}

} // namespace

std::FILE* prepare_run() {
    pollfd standard[] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    if (poll(standard, 3, 0) > 0)
        for (const pollfd& p : standard)
            if ((p.revents & POLLNVAL) != 0)
                // The lowest free descriptor, so it takes the closed one's place.
                open("/dev/null", p.fd == 0 ? O_RDONLY : O_WRONLY);
    console_known = fstat(STDOUT_FILENO, &console_st) == 0;

    // A reader of the console that goes away fails the console's writes; it
    // must not cost the output.
    std::signal(SIGPIPE, SIG_IGN);
    // The console's writes wait for a slow reader, also on a descriptor
    // handed over non-blocking, which the runtime's stream would take for a
    // failure and drop the rest.
    std::FILE* console = fopencookie(nullptr, "w", {nullptr, console_write, nullptr, nullptr});
    if (console == nullptr)
        console = stdout;
    std::setvbuf(console, console_buf, _IOFBF, sizeof console_buf);
    return console;
}

std::FILE* open_input(const char* path) {
    std::FILE* in = std::fopen(path, "r");
    if (in == nullptr)
        return nullptr;
    struct stat st {};
    if (fstat(fileno(in), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fclose(in);
        return nullptr;
    }
    if (is_console_file(st)) {
        // `viderav in.txt out.asm >> in.txt`: the run would read its own
        // messages back, or write over the text.  Nothing may reach it now,
        // not even the message saying so.
        console_fd = -1;
        std::fclose(in);
        return nullptr;
    }
    return unbuffered(in);
}

std::FILE* open_output(const char* path, std::FILE* in) {
    // Not truncated on open: it may be the input under another name, which
    // only the two open files can tell, whatever happens to the names.
    const int fd = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat in_st {};
    struct stat out_st {};
    std::FILE* out = nullptr;
    // Nor the file standard output was sent to (`> out.asm`): the messages
    // and the records would overwrite each other.  A device, such as a
    // terminal or /dev/null, both may share.
    if (fstat(fileno(in), &in_st) == 0 && fstat(fd, &out_st) == 0 && !same_file(in_st, out_st) &&
        !is_console_file(out_st))
        out = S_ISREG(out_st.st_mode) ? open_made(fd, path, out_st) : unbuffered(fdopen(fd, "w"));
    if (out == nullptr)
        close(fd);
    return out;
}

bool close_output(std::FILE* out, bool complete) {
    const bool closed = std::fclose(out) == 0;
    if (!complete || !closed)
        remove_made();
    // An interruption removes nothing after this.
    made = 0;
    return closed;
}
