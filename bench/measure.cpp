// Runs a command several times with its standard output sent to /dev/null
// and prints the median wall time in seconds and the largest peak resident
// set in KiB, as getrusage reports them for the child:
//
//   viderav_measure RUNS COMMAND [ARG...]
//
// A small launcher of its own, because a child's peak resident set counts
// the memory of the process that started it, and a Python parent is large.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fputs("usage: viderav_measure RUNS COMMAND [ARG...]\n", stderr);
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

    std::vector<double> seconds;
    long peak_kib = 0;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        pid_t pid = 0;
        if (posix_spawnp(&pid, argv[2], &actions, nullptr, argv + 2, environ) != 0) {
            std::perror(argv[2]);
            return 2;
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "%s failed\n", argv[2]);
            return 2;
        }
        seconds.push_back(took.count());
        peak_kib = std::max(peak_kib, usage.ru_maxrss);
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("%.6f %ld\n", seconds[seconds.size() / 2], peak_kib);
    return 0;
}
