// Runs a command several times and prints the median wall time in seconds
// and the largest peak resident set in KiB, as getrusage reports them for
// the child:
//
//   viderav_measure RUNS [--console FILE] COMMAND [ARG...] [--then COMMAND [ARG...]]
//
// With --then, the two commands take turns, one run each, and a line is
// printed for each: a start costs about a millisecond, and a machine that
// drifts by a few percent over a block of runs would otherwise decide which
// of two such programs looks faster.
//
// The command's standard output goes to /dev/null, or to FILE (emptied
// before each run); its standard input is /dev/null.  A small launcher of
// its own, because a child's peak resident set counts the memory of the
// process that started it, and a Python parent is large.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

struct timed {
    char** argv;
    std::vector<double> seconds;
    long peak_kib = 0;
};

bool run_once(timed& t, const posix_spawn_file_actions_t* actions) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, t.argv[0], actions, nullptr, t.argv, environ) != 0) {
        std::perror(t.argv[0]);
        return false;
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", t.argv[0]);
        return false;
    }
    t.seconds.push_back(took.count());
    t.peak_kib = std::max(t.peak_kib, usage.ru_maxrss);
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    int first = 2;
    const char* console = "/dev/null";
    if (argc > 3 && std::strcmp(argv[2], "--console") == 0) {
        console = argv[3];
        first = 4;
    }
    if (argc <= first) {
        std::fputs("usage: viderav_measure RUNS [--console FILE] COMMAND [ARG...] "
                   "[--then COMMAND [ARG...]]\n",
                   stderr);
        return 2;
    }
    std::vector<timed> commands{{argv + first, {}}};
    for (int i = first; i < argc; ++i)
        if (std::strcmp(argv[i], "--then") == 0 && i + 1 < argc) {
            argv[i] = nullptr; // ends the first command's arguments
            commands.push_back({argv + i + 1, {}});
            break;
        }

    const int runs = std::atoi(argv[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, console, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (int r = 0; r < runs; ++r)
        for (timed& t : commands)
            if (!run_once(t, &actions))
                return 2;
    for (timed& t : commands) {
        std::sort(t.seconds.begin(), t.seconds.end());
        std::printf("%.6f %ld\n", t.seconds[t.seconds.size() / 2], t.peak_kib);
    }
    return 0;
}
