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
#include <initializer_list>

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

// One line on standard error, its pieces gathered in the stream's buffer
// and written whole.
void say(std::initializer_list<const char*> pieces) {
    for (const char* p : pieces)
        std::fputs(p, stderr);
    std::fputs(line_end, stderr);
    std::fflush(stderr);
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
    // Each located line leaves in one write, whatever its length.
    static char err_buf[std::size_t{1} << 16];
    std::setvbuf(stderr, err_buf, _IOFBF, sizeof err_buf);

    located_options opt{};
    const char* log_path = nullptr;
    const char* paths[2] = {};
    int npaths = 0;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (options_end || a[0] != '-' || a[1] == '\0') {
            if (npaths == 2) {
                say({"viderav-build: one TEXT and one OUTPUT only"});
                say({usage_line});
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
            say({"viderav-build: unknown option '", a, "'"});
            say({usage_line});
            return exit_usage;
        }
    }
    if (npaths < 2) {
        say({usage_line});
        return exit_usage;
    }
    const char* text = paths[0];
    const char* output = paths[1];
    const char* log = log_path != nullptr ? log_path : default_log(output);
    const char* shown = full_path(text);
    opt.text = shown;
    opt.log = log;

    opt.log_file = log == nullptr ? nullptr : open_log(log, text, output);
    if (opt.log_file == nullptr) {
        say({"viderav: ", shown, ": the log ", log != nullptr ? log : output,
             log != nullptr ? " cannot be created" : ".log cannot be named"});
        return exit_log;
    }
    std::fputs(msg::banner, opt.log_file);
    // Static: the located lines hold their pending finds, and the stack is
    // no place for them.
    static located_lines lines(opt, stderr);
    const int status = convert_file(text, output, opt.log_file, &lines);
    // The verdict flushed and checked the log before the output was kept.
    std::fclose(opt.log_file);

    constexpr const char* messages_in = "; its messages (Shift_JIS) are in ";
    if (status == exit_input)
        say({"viderav: ", shown, ": the text file cannot be opened or read", messages_in, log});
    else if (status == exit_output)
        say({"viderav: ", shown, ": the output ", output, " cannot be created or written",
             messages_in, log});
    else if (status == exit_log)
        say({"viderav: ", shown, ": the log ", log, " cannot be written"});
    return status;
}
