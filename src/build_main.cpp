// viderav-build: what a build runs for each text.  It converts TEXT into
// OUTPUT exactly as viderav does, writes what viderav's console would hold
// to a log, and prints on standard error, as compilers do, where each
// rejected character and each line too long for its record's length byte
// is; a failure is one line there.
//
// main parses the options and dispatches; convert_file does the run, with
// the located lines told of the text as the encoder reads it.

#include "located.h"
#include "messages.h"
#include "platform.h"
#include "run.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#ifndef VIDERAV_VERSION
#define VIDERAV_VERSION "unknown"
#endif

namespace {

constexpr char usage_line[] = "usage: viderav-build [--log FILE] [--fail-on-rejected] "
                              "[--fail-on-long-lines] [--format=gcc|msvc] TEXT OUTPUT";

constexpr char help_text[] =
    "Converts TEXT into the assembler file OUTPUT as viderav does, for a build:\n"
    "viderav's console (banner and messages, Shift_JIS) goes to a log, and each\n"
    "rejected character and each line over 255 bytes is printed on standard\n"
    "error where it is, as compilers print their diagnostics.\n"
    "\n"
    "  --log FILE            the log (default: OUTPUT with the extension .log)\n"
    "  --fail-on-rejected    rejected characters are errors: no output is left\n"
    "  --fail-on-long-lines  lines over 255 bytes are errors: no output is left\n"
    "  --format=gcc          TEXT:LINE:COLUMN: warning: ... (the default)\n"
    "  --format=msvc         TEXT(LINE,COLUMN): warning VRnnnn: ..., as Visual\n"
    "                        Studio and MSBuild read them\n"
    "  --help, --version     this text; the version\n"
    "\n"
    "Exit status: 0 converted (warnings included), 1 usage, 2 TEXT cannot be\n"
    "opened or read, 3 OUTPUT cannot be created or written, 4 the log cannot be\n"
    "created or written, 5 an option made the warnings errors.\n";

// Standard error, and the text as the lines name it.
std::FILE* errors = stderr;
const char* shown = "";

void tell_wait(const char* path) {
    say(errors, {"viderav: ", name(shown), ": waiting for another process to release its lock on ",
                 name(path)});
}

// OUTPUT with its last extension replaced by .log, or .log added.
const char* default_log(const char* output) {
    static char log[32768 + 8];
    std::size_t n = std::strlen(output);
    if (n + 5 > sizeof log)
        return nullptr;
    std::copy_n(output, n, log);
    const char* seps = text_ends_at_ctrl_z ? "/\\" : "/";
    std::size_t name = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (std::strchr(seps, log[i]) != nullptr)
            name = i + 1;
    for (std::size_t i = n; i > name + 1; --i)
        if (log[i - 1] == '.') {
            n = i - 1;
            break;
        }
    std::copy_n(".log", 5, log + n);
    return log;
}

} // namespace

int main(int argc, char* argv[]) {
    prepare_run(argc, argv);
    errors = prepare_errors(argc, argv);

    located_options opt{};
    const char* log_path = nullptr;
    const char* paths[2] = {};
    int npaths = 0;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (options_end || a[0] != '-' || a[1] == '\0') {
            if (npaths == 2) {
                say(errors, {"viderav-build: one TEXT and one OUTPUT only"});
                say(errors, {usage_line});
                return exit_usage;
            }
            paths[npaths++] = a;
        } else if (std::strcmp(a, "--") == 0) {
            options_end = true;
        } else if (std::strcmp(a, "--help") == 0) {
            std::printf("%s\n\n%s", usage_line, help_text);
            return std::fflush(stdout) == 0 ? exit_done : exit_usage;
        } else if (std::strcmp(a, "--version") == 0) {
            std::printf("viderav-build " VIDERAV_VERSION "\n");
            return std::fflush(stdout) == 0 ? exit_done : exit_usage;
        } else if (std::strcmp(a, "--fail-on-rejected") == 0) {
            opt.fail_on_rejected = true;
        } else if (std::strcmp(a, "--fail-on-long-lines") == 0) {
            opt.fail_on_long_lines = true;
        } else if (std::strcmp(a, "--format=gcc") == 0) {
            opt.form = line_form::gcc;
        } else if (std::strcmp(a, "--format=msvc") == 0) {
            opt.form = line_form::msvc;
        } else if (std::strcmp(a, "--log") == 0 && i + 1 < argc) {
            log_path = argv[++i];
        } else if (std::strncmp(a, "--log=", 6) == 0 && a[6] != '\0') {
            log_path = a + 6;
        } else {
            say(errors, {"viderav-build: unknown option '", name(a), "'"});
            say(errors, {usage_line});
            return exit_usage;
        }
    }
    if (npaths < 2) {
        say(errors, {usage_line});
        return exit_usage;
    }
    const char* text = paths[0];
    const char* output = paths[1];
    const char* log = log_path != nullptr ? log_path : default_log(output);
    shown = full_path(text);
    opt.text = shown;
    opt.log = log;

    // Static: the located lines hold their pending finds, and the stack is
    // no place for them.
    static located_lines lines(opt, errors);
    on_lock_wait = tell_wait;
    const int status = convert_file(text, output, nullptr, &lines);
    const bool log_whole = lines.close_log();

    // Where the run's messages are, or that the log failed too.
    const bool log_failed = lines.log_opened() && !log_whole;
    const said log_said[] = {log_whole    ? "; its messages (Shift_JIS) are in "
                             : log_failed ? "; its log "
                                          : "",
                             name(log_whole || log_failed ? log : ""),
                             log_failed ? " cannot be written either" : ""};
    if (status == exit_input)
        say(errors, {"viderav: ", name(shown), ": the text file cannot be opened or read",
                     log_said[0], log_said[1], log_said[2]});
    else if (status == exit_output)
        say(errors, {"viderav: ", name(shown), ": the output ", name(output),
                     " cannot be created or written", log_said[0], log_said[1], log_said[2]});
    else if (status == exit_log && log == nullptr)
        say(errors, {"viderav: ", name(shown), ": the log ", name(output), ".log cannot be named"});
    else if (status == exit_log)
        say(errors, {"viderav: ", name(shown), ": the log ", name(log),
                     lines.log_opened() ? " cannot be written" : " cannot be created"});
    return status;
}
