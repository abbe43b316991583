// viderav: turns a text file into assembler source, one comment and one
// `.db` record of character codes per line.
//
// main checks the arguments, opens and closes the two files and picks the
// exit status; convert_lines does the work.  Every message goes to standard
// output, one exit status per kind of failure.

#include "convert.h"
#include "messages.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

enum exit_status : int {
    exit_done = 0,
    exit_usage = 1,
    exit_input = 2,  // the input cannot be opened or read
    exit_output = 3, // the output cannot be created or written
};

namespace fs = std::filesystem;

// POSIX lets a directory be opened for reading, and reading it then fails;
// report it as the input that cannot be opened, as Windows does.
bool is_directory(const char* path) {
    std::error_code ec;
    return fs::is_directory(fs::path(path), ec);
}

// Opening the input itself for writing would empty it before it is read,
// whatever name (another spelling, a link) the output path gives it.
bool same_file(const char* a, const char* b) {
    std::error_code ec;
    return fs::equivalent(fs::path(a), fs::path(b), ec);
}

} // namespace

int main(int argc, char* argv[]) {
    std::fputs(msg::banner, stdout);
    if (argc < 3) {
        std::printf(msg::usage, argc > 0 && argv[0] != nullptr ? argv[0] : "viderav");
        return exit_usage;
    }
    const char* in_path = argv[1];
    const char* out_path = argv[2];

    std::FILE* in = std::fopen(in_path, "r");
    if (in != nullptr && is_directory(in_path)) {
        std::fclose(in);
        in = nullptr;
    }
    if (in == nullptr) {
        std::printf(msg::cannot_open, in_path);
        return exit_input;
    }

    std::FILE* out = same_file(in_path, out_path) ? nullptr : std::fopen(out_path, "w");
    if (out == nullptr) {
        std::fclose(in);
        std::printf(msg::cannot_create, out_path);
        return exit_output;
    }

    convert_lines(in, out);

    const bool write_failed = std::ferror(out) != 0;
    const bool close_failed = std::fclose(out) != 0;
    const bool read_failed = std::ferror(in) != 0;
    std::fclose(in);

    if (write_failed || close_failed) {
        std::printf(msg::cannot_write, out_path);
        return exit_output;
    }
    if (read_failed) {
        std::printf(msg::cannot_read, in_path);
        return exit_input;
    }
    return exit_done;
}
