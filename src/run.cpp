#include "run.h"

#include "messages.h"
#include "platform.h"

int convert_file(const char* in_path, const char* out_path, std::FILE* console, run_watch* watch) {
    std::FILE* in = open_input(in_path);
    if (in == nullptr) {
        if (watch == nullptr)
            std::fprintf(console, msg::cannot_open, in_path);
        return exit_input;
    }
    std::FILE* out = open_output(out_path, in);
    if (out == nullptr) {
        std::fclose(in);
        if (watch == nullptr)
            std::fprintf(console, msg::cannot_create, out_path);
        return exit_output;
    }
    if (watch != nullptr && (console = watch->start(in, out)) == nullptr) {
        close_output(out, false);
        std::fclose(in);
        return exit_log;
    }

    convert_lines(in, out, console, watch);

    // A runtime may report a failed final flush only to fflush, not to
    // fclose: both are asked.  A build must not take a half-written output
    // for an up-to-date one.
    const bool read_failed = std::ferror(in) != 0;
    const bool flushed = std::ferror(out) == 0 && std::fflush(out) == 0;
    exit_status status = !flushed ? exit_output : read_failed ? exit_input : exit_done;
    if (watch != nullptr)
        status = watch->verdict(status);
    const bool closed = close_output(out, status == exit_done);
    std::fclose(in);

    if (!flushed || !closed) {
        std::fprintf(console, msg::cannot_write, out_path);
        return exit_output;
    }
    if (read_failed) {
        std::fprintf(console, msg::cannot_read, in_path);
        return exit_input;
    }
    if (status != exit_done)
        return status;
    // The messages are out before the output is kept: a run ended while
    // they are written leaves no output for a build to take as up to date.
    std::fflush(console);
    if (!keep_output()) {
        std::fprintf(console, msg::cannot_write, out_path);
        return exit_output;
    }
    return exit_done;
}

int check_file(const char* in_path, std::FILE* nowhere, run_watch& watch) {
    std::FILE* in = open_input(in_path);
    if (in == nullptr)
        return exit_input;
    convert_lines(in, nowhere, nowhere, &watch);
    const bool read_failed = std::ferror(in) != 0;
    std::fclose(in);
    std::clearerr(nowhere);
    return watch.verdict(read_failed ? exit_input : exit_done);
}

int check_text(const char* text, std::size_t n, std::FILE* nowhere, run_watch& watch) {
    convert_text(text, n, nowhere, nowhere, &watch);
    std::clearerr(nowhere);
    return watch.verdict(exit_done);
}
