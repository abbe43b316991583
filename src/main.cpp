// viderav: turns a text file into assembler source, one comment and one
// `.db` record of character codes per line.
//
// main checks the arguments, opens and closes the two files and picks the
// exit status; convert_lines does the work.  Every message goes to standard
// output, one exit status per kind of failure.

#include "convert.h"
#include "messages.h"
#include "platform.h"

#include <cstdio>

namespace {

enum exit_status : int {
    exit_done = 0,
    exit_usage = 1,
    exit_input = 2,  // the input cannot be opened or read
    exit_output = 3, // the output cannot be created or written
};

} // namespace

int main(int argc, char* argv[]) {
    std::FILE* const console = prepare_run(argc, argv);
    std::fputs(msg::banner, console);
    if (argc < 3) {
        std::fprintf(console, msg::usage, argc > 0 && argv[0] != nullptr ? argv[0] : "viderav");
        return exit_usage;
    }
    const char* in_path = argv[1];
    const char* out_path = argv[2];

    std::FILE* in = open_input(in_path);
    if (in == nullptr) {
        std::fprintf(console, msg::cannot_open, in_path);
        return exit_input;
    }
    std::FILE* out = open_output(out_path, in);
    if (out == nullptr) {
        std::fclose(in);
        std::fprintf(console, msg::cannot_create, out_path);
        return exit_output;
    }

    convert_lines(in, out, console);

    // A runtime may report a failed final flush only to fflush, not to
    // fclose: both are asked.  A build must not take a half-written output
    // for an up-to-date one.
    const bool read_failed = std::ferror(in) != 0;
    const bool flushed = std::ferror(out) == 0 && std::fflush(out) == 0;
    const bool closed = close_output(out, flushed && !read_failed);
    const bool write_failed = !flushed || !closed;
    std::fclose(in);

    if (write_failed) {
        std::fprintf(console, msg::cannot_write, out_path);
        return exit_output;
    }
    if (read_failed) {
        std::fprintf(console, msg::cannot_read, in_path);
        return exit_input;
    }
    // The messages are out before the output is kept: a run ended while
    // they are written leaves no output for a build to take as up to date.
    std::fflush(console);
    if (!keep_output()) {
        std::fprintf(console, msg::cannot_write, out_path);
        return exit_output;
    }
    return exit_done;
}
