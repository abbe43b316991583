// Runs a command several times and prints the median wall time in seconds
// and the largest peak resident set in KiB, as getrusage reports them for
// the child:
//
//   viderav_measure RUNS [--console FILE] COMMAND [ARG...]
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

int main(int argc, char* argv[]) {
    int first = 2;
    const char* console = "/dev/null";
    if (argc > 3 && std::strcmp(argv[2], "--console") == 0) {
        console = argv[3];
        first = 4;
    }
    if (argc <= first) {
        std::fputs("usage: viderav_measure RUNS [--console FILE] COMMAND [ARG...]\n", stderr);
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, console, O_WRONLY | O_CREAT | O_TRUNC, 0644);

    std::vector<double> seconds;
    long peak_kib = 0;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        pid_t pid = 0;
        if (posix_spawnp(&pid, argv[first], &actions, nullptr, argv + first, environ) != 0) {
            std::perror(argv[first]);
            return 2;
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "%s failed\n", argv[first]);
            return 2;
        }
        seconds.push_back(took.count());
        peak_kib = std::max(peak_kib, usage.ru_maxrss);
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("%.6f %ld\n", seconds[seconds.size() / 2], peak_kib);
    return 0;
}
