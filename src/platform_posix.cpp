// The POSIX half of platform.h.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

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
alignas(64) char console_buf[std::size_t{1} << 16];
struct stat console_st {};
bool console_known = false;
bool console_was_closed = false;
// Where the console's bytes go; -1 once nothing may reach it.
int console_fd = STDOUT_FILENO;
// viderav-build's standard error, the same way.
alignas(64) char errors_buf[std::size_t{1} << 16];
struct stat errors_st {};
bool errors_known = false;
int errors_fd = STDERR_FILENO;

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The regular file standard output was sent to.
bool is_console_file(const struct stat& st) {
    return console_known && S_ISREG(st.st_mode) && same_file(console_st, st);
}

// The regular file viderav-build's standard error was sent to; from then on
// nothing reaches it, lest it reach a file of the run's.
bool is_errors_file(const struct stat& st) {
    if (!errors_known || !S_ISREG(st.st_mode) || !same_file(errors_st, st))
        return false;
    errors_fd = -1;
    return true;
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

// A cookie stream's writer, on the descriptor the cookie points to.
extern "C" ssize_t sink_write(void* cookie, const char* p, std::size_t n) {
    const int fd = *static_cast<int*>(cookie);
    if (fd >= 0 && !write_all(fd, p, n))
        return -1;
    return static_cast<ssize_t>(n);
}

// A fully buffered stream whose writes wait for a slow reader, also on a
// descriptor handed over non-blocking, which the runtime's own stream would
// take for a failure and drop the rest; fallback where none can be made.
std::FILE* waiting_stream(int* fd, char* buf, std::size_t size, std::FILE* fallback) {
    std::FILE* f = fopencookie(fd, "w", {nullptr, sink_write, nullptr, nullptr});
    if (f == nullptr)
        f = fallback;
    std::setvbuf(f, buf, _IOFBF, size);
    return f;
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
// A second descriptor on the output, which keeps its lock after the stream
// is closed and until the run has ended well: no other run writes the file
// before this one can no longer remove it.
int made_lock = -1;

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

// The kernel follows at most this many symbolic links in one lookup.
constexpr int max_links = 40;

// Where a lookup of path ends: the directory that holds its last entry,
// after following symbolic links one at a time relative to the directory
// that holds each, as the kernel does; the entry's name there goes into
// made_name.  No path longer than the ones given is ever formed.
//
// With st, the walk ends at the regular file st is (the output opened
// through the kernel); without, at a name that does not exist (where the
// output is to be created).  Returns the directory's descriptor, or -1.
int find_entry(const char* path, const struct stat* st) {
    // Not on the stack: a run with a small stack limit must not die here.
    static char part[PATH_MAX];
    static char link[PATH_MAX];
    const char* at = path;
    int dir = AT_FDCWD;
    for (int links = 0; links <= max_links; ++links) {
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
        if (fstatat(dir, made_name, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            if (st == nullptr && errno == ENOENT)
                return dir;
            break;
        }
        if (st != nullptr && S_ISREG(entry.st_mode) && same_file(entry, *st))
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

// How Linux guards a sticky folder that others may write to, such as /tmp:
// 0 not at all, 1 folders all may write to, 2 group-writable ones too.
int protected_regular() {
    int level = 0;
    const int fd = open("/proc/sys/fs/protected_regular", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char c = '0';
        if (read(fd, &c, 1) == 1 && c >= '0' && c <= '9')
            level = c - '0';
        close(fd);
    }
    return level;
}

// Whether the kernel would refuse to open the existing regular file st in
// dir with O_CREAT: in a guarded sticky folder, a file of a third user's.
// The output is opened without O_CREAT, so the same rule is kept here.
bool refused_in_sticky(int dir, const struct stat& st) {
    struct stat d {};
    if (fstat(dir, &d) != 0)
        return true;
    if ((d.st_mode & S_ISVTX) == 0 || st.st_uid == geteuid() || st.st_uid == d.st_uid)
        return false;
    const int level = protected_regular();
    return (level >= 1 && (d.st_mode & S_IWOTH) != 0) || (level >= 2 && (d.st_mode & S_IWGRP) != 0);
}

// Whether this run could remove the entry made_name of dir again: the file
// st that is there, or with st null a file it is about to create.  The
// kernel's own rules, asked before anything is touched: a run that could
// empty a file but not remove it would leave it emptied.
bool removable(int dir, const struct stat* st) {
    // Its other names would keep what the run empties.
    if (st != nullptr && st->st_nlink > 1)
        return false;
    struct stat d {};
    if (fstat(dir, &d) != 0)
        return false;
    if (st != nullptr) {
        if (faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) != 0)
            return false;
        // Only the file's or the folder's owner removes from a sticky folder.
        const uid_t me = geteuid();
        if ((d.st_mode & S_ISVTX) != 0 && me != 0 && st->st_uid != me && d.st_uid != me)
            return false;
    }
#if defined(__linux__) && defined(STATX_ATTR_APPEND) && defined(STATX_MNT_ID)
    // A folder that takes new names but gives up none, or changes no more.
    struct statx dx {};
    if (statx(dir, "", AT_EMPTY_PATH, STATX_MNT_ID, &dx) == 0) {
        if ((dx.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0)
            return false;
        // A file mounted over the name (a container's single-file volume)
        // cannot be unlinked.
        struct statx fx {};
        if (st != nullptr && (dx.stx_mask & STATX_MNT_ID) != 0 &&
            statx(dir, made_name, AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &fx) == 0 &&
            (fx.stx_mask & STATX_MNT_ID) != 0 && fx.stx_mnt_id != dx.stx_mnt_id)
            return false;
    }
#endif
    return st == nullptr || st->st_dev == d.st_dev;
}

// From here on the file at made_dir/made_name is this run's to remove, and
// whatever ends the run before it is kept removes it.  Signals are blocked.
void arm(const struct stat& st) {
    made_dev = st.st_dev;
    made_ino = st.st_ino;
    made = 1;
    remove_on_fatal_signals();
}

// Holds off every signal, until restore_signals(old).
void block_signals(sigset_t& old) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
}

void restore_signals(const sigset_t& old) {
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Lets go of the directory found for a file that is not this run's.
std::FILE* give_up(int fd) {
    const int saved = errno;
    if (fd >= 0)
        close(fd);
    if (made_lock >= 0)
        close(made_lock);
    made_lock = -1;
    close(made_dir);
    made_dir = -1;
    errno = saved;
    return nullptr;
}

std::FILE* stream_of(int fd) {
    std::FILE* out = unbuffered(fdopen(fd, "w"));
    if (out == nullptr) {
        remove_made();
        give_up(fd);
    }
    return out;
}

// The second descriptor that holds the output's lock; never a standard one.
int hold_lock(int fd) {
    return fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
}

// The regular file fd, which the kernel opened for path and which existed:
// emptied and made this run's to remove, or, where the removal cannot be
// made ready first, left as it is.
std::FILE* empty_existing(int fd, const char* path, const struct stat& st) {
    made_dir = find_entry(path, &st);
    if (made_dir < 0) {
        close(fd);
        return nullptr;
    }
    if (refused_in_sticky(made_dir, st) || !removable(made_dir, &st) ||
        (made_lock = hold_lock(fd)) < 0)
        return give_up(fd);
    sigset_t old;
    block_signals(old);
    std::FILE* out = nullptr;
    if (ftruncate(fd, 0) == 0) {
        arm(st);
        out = stream_of(fd);
    } else {
        give_up(fd);
    }
    restore_signals(old);
    return out;
}

// Takes the exclusive lock on fd, which path led to, waiting for another
// holder, and saying so first where someone listens.  A file system
// without locks is written as it is.
void lock_file(int fd, const char* path) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return;
    if (on_lock_wait != nullptr)
        on_lock_wait(path);
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

enum class turn { mine, again, never };

// Waits until no other run writes the file fd, which path led to.  again,
// with fd closed, when path no longer leads to it: the other run removed or
// replaced it, and the name is to be looked at again.  never, with fd
// closed, for a file that no name leads to even before the wait (reached
// through /proc/self/fd): it cannot be this run's output.
turn wait_turn(int fd, const char* path, struct stat& st) {
    if (st.st_nlink == 0) {
        close(fd);
        return turn::never;
    }
    lock_file(fd, path);
    struct stat now {};
    if (fstat(fd, &st) == 0 && st.st_nlink > 0 && stat(path, &now) == 0 && same_file(now, st))
        return turn::mine;
    close(fd);
    return turn::again;
}

// Creates the output where path leads, which held nothing when the kernel
// looked, following what symbolic links its guards let it follow.  errno is
// EEXIST when something has taken the name since.
std::FILE* create_new(const char* path) {
    made_dir = find_entry(path, nullptr);
    if (made_dir < 0)
        return nullptr;
    if (!removable(made_dir, nullptr)) {
        give_up(-1);
        errno = EPERM;
        return nullptr;
    }
    sigset_t old;
    block_signals(old);
    std::FILE* out = nullptr;
    const int fd =
        openat(made_dir, made_name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    struct stat st {};
    if (fd < 0) {
        give_up(-1);
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        // Another run opened it first: it is that run's now, and this one
        // waits its turn as for any file that exists.
        give_up(fd);
        errno = EEXIST;
    } else if (fstat(fd, &st) != 0 || (made_lock = hold_lock(fd)) < 0) {
        // Created just now, with every signal held off: it is this run's.
        unlinkat(made_dir, made_name, 0);
        give_up(fd);
    } else {
        arm(st);
        out = stream_of(fd);
    }
    const int saved = errno;
    restore_signals(old);
    errno = saved;
    return out;
}

// Gives the closed standard descriptor fd, the lowest free one, something
// that is no file of the run's: the null device, or where there is none (a
// chroot or sandbox without /dev) a pipe that leads nowhere, ending at once
// for a reader and failing every write.
void fill_closed(int fd) {
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) == fd)
        return;
    int ends[2];
    if (pipe(ends) != 0)
        return;
    if (fd != 0)
        dup2(ends[1], fd);
    close(ends[1]);
}

} // namespace

std::FILE* prepare_run(int /*argc*/, char* /*argv*/[]) {
    pollfd standard[] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    if (poll(standard, 3, 0) > 0)
        for (const pollfd& p : standard)
            if ((p.revents & POLLNVAL) != 0) {
                console_was_closed = console_was_closed || p.fd == STDOUT_FILENO;
                fill_closed(p.fd);
            }
    console_known = fstat(STDOUT_FILENO, &console_st) == 0;

    // A reader of the console that goes away fails the console's writes; it
    // must not cost the output.
    std::signal(SIGPIPE, SIG_IGN);
    return waiting_stream(&console_fd, console_buf, sizeof console_buf, stdout);
}

bool console_closed() {
    return console_was_closed;
}

int standard_stream_of(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return console_known && same_file(console_st, st) ? STDOUT_FILENO
           : errors_known && same_file(errors_st, st) ? STDERR_FILENO
                                                      : 0;
}

std::FILE* prepare_errors(int /*argc*/, char* /*argv*/[]) {
    errors_known = fstat(STDERR_FILENO, &errors_st) == 0;
    return waiting_stream(&errors_fd, errors_buf, sizeof errors_buf, stderr);
}

bool write_line(std::FILE* to, const char* p, std::size_t n) {
    const bool written = std::fwrite(p, 1, n, to) == n;
    return std::fflush(to) == 0 && written;
}

std::FILE* open_input(const char* path) {
    std::FILE* in = std::fopen(path, "r");
    if (in == nullptr)
        return nullptr;
    struct stat st {};
    if (fileno(in) <= STDERR_FILENO || fstat(fileno(in), &st) != 0 || S_ISDIR(st.st_mode) ||
        is_errors_file(st)) {
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
    // A file that exists is opened as the kernel finds it and not emptied
    // yet: it may be the input under another name, which only the two open
    // files can tell, whatever happens to the names.  A name that holds
    // nothing is created where the path leads, and known to be this run's.
    for (int tries = 0; tries < 8; ++tries) {
        const int fd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT)
                return nullptr;
            std::FILE* out = create_new(path);
            if (out != nullptr || errno != EEXIST)
                return out;
            continue;
        }
        struct stat in_st {};
        struct stat out_st {};
        // Nor the file standard output was sent to (`> out.asm`): the
        // messages and the records would overwrite each other.  A device,
        // such as a terminal or /dev/null, both may share.  Nor a place of
        // a standard descriptor, where the console would be written.
        if (fd <= STDERR_FILENO || fstat(fileno(in), &in_st) != 0 || fstat(fd, &out_st) != 0 ||
            same_file(in_st, out_st) || is_console_file(out_st) || is_errors_file(out_st)) {
            close(fd);
            return nullptr;
        }
        if (S_ISREG(out_st.st_mode)) {
            // Another run writing the file is waited for; then this one
            // writes it as if alone.
            switch (wait_turn(fd, path, out_st)) {
            case turn::mine:
                return empty_existing(fd, path, out_st);
            case turn::again:
                tries = 0;
                continue;
            case turn::never:
                return nullptr;
            }
        }
        std::FILE* out = unbuffered(fdopen(fd, "w"));
        if (out == nullptr)
            close(fd);
        return out;
    }
    return nullptr;
}

bool close_output(std::FILE* out, bool complete) {
    const bool closed = std::fclose(out) == 0;
    if (!complete || !closed)
        remove_made();
    return closed;
}

bool keep_output() {
    if (made != 0) {
        // Held off until the process ends: from here on nothing removes the
        // output, and the run ends with status 0.
        sigset_t old;
        block_signals(old);
        made = 0;
        close(made_lock);
    }
    return true;
}

std::FILE* open_log(const char* path, std::FILE* in, std::FILE* out) {
    bool created = false;
    int fd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
        created = fd >= 0;
    }
    if (fd < 0)
        return nullptr;
    struct stat log_st {};
    struct stat other {};
    bool ok = fd > STDERR_FILENO && fstat(fd, &log_st) == 0;
    if (ok && S_ISREG(log_st.st_mode)) {
        // Compared as open files: no spelling of a name can hide one.
        for (std::FILE* f : {in, out})
            ok = ok && !(fstat(fileno(f), &other) == 0 && same_file(other, log_st));
        ok = ok && !is_errors_file(log_st);
        if (ok)
            lock_file(fd, path);
        ok = ok && ftruncate(fd, 0) == 0;
    }
    std::FILE* log = ok ? fdopen(fd, "w") : nullptr;
    if (log == nullptr) {
        if (created && fstat(fd, &other) == 0 && stat(path, &log_st) == 0 &&
            same_file(other, log_st))
            unlink(path);
        close(fd);
        return nullptr;
    }
    std::setvbuf(log, nullptr, _IOFBF, std::size_t{1} << 16);
    return log;
}

std::size_t read_input(char* p, std::size_t n) {
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, p, n);
        if (got >= 0)
            return static_cast<std::size_t>(got);
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Handed over non-blocking: wait for the editor.
            pollfd in{STDIN_FILENO, POLLIN, 0};
            poll(&in, 1, -1);
        } else if (errno != EINTR) {
            return 0;
        }
    }
}

bool input_waiting() {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    return poll(&in, 1, 0) > 0 && (in.revents & POLLIN) != 0;
}

bool regular_file(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

const char* full_path(const char* path) {
    static char full[2 * PATH_MAX];
    // The working folder, asked once: --check names thousands of texts.
    static std::size_t dir = 0;
    if (path[0] == '/' || (dir == 0 && getcwd(full, PATH_MAX) == nullptr))
        return path;
    if (dir == 0)
        dir = std::strlen(full);
    const std::size_t n = std::strlen(path);
    if (dir + 1 + n >= sizeof full)
        return path;
    full[dir] = '/';
    std::memcpy(full + dir + 1, path, n + 1);
    return full;
}
