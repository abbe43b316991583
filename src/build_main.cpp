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
#include "sarif.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#ifndef VIDERAV_VERSION
#define VIDERAV_VERSION "unknown"
#endif

namespace {

constexpr char usage_line[] = "usage: viderav-build [--log FILE] [--fail-on-rejected] "
                              "[--fail-on-long-lines] [--format=gcc|msvc|sarif] TEXT OUTPUT\n"
                              "       viderav-build --check [--fail-on-rejected] "
                              "[--fail-on-long-lines] [--format=gcc|msvc|sarif] TEXT...";

constexpr char help_text[] =
    "Converts TEXT into the assembler file OUTPUT as viderav does, for a build:\n"
    "viderav's console (banner and messages, Shift_JIS) goes to a log, and each\n"
    "rejected character and each line over 255 bytes is printed on standard\n"
    "error where it is, as compilers print their diagnostics.  With --check it\n"
    "reads each TEXT as a conversion would, prints the same lines, and writes\n"
    "no output and no log.\n"
    "\n"
    "  --log FILE            the log (default: OUTPUT with the extension .log)\n"
    "  --fail-on-rejected    rejected characters are errors: no output is left\n"
    "  --fail-on-long-lines  lines over 255 bytes are errors: no output is left\n"
    "  --format=gcc          TEXT:LINE:COLUMN: warning: ... (the default)\n"
    "  --format=msvc         TEXT(LINE,COLUMN): warning VRnnnn: ..., as Visual\n"
    "                        Studio and MSBuild read them\n"
    "  --format=sarif        one SARIF 2.1.0 log of the whole run on standard\n"
    "                        output, for code review, instead of the lines\n"
    "  --check               check the TEXTs, any number of them\n"
    "  --help, --version     this text; the version\n"
    "\n"
    "Exit status: 0 converted (warnings included), 1 usage, 2 TEXT cannot be\n"
    "opened or read, 3 OUTPUT cannot be created or written, 4 the log cannot be\n"
    "created or written, 5 an option made the warnings errors.  With --check: 2\n"
    "if any TEXT cannot be opened or read, else 5 if an option made any TEXT's\n"
    "warnings errors, else 0.\n";

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
    std::size_t name = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (std::strchr(path_separators, log[i]) != nullptr)
            name = i + 1;
    for (std::size_t i = n; i > name + 1; --i)
        if (log[i - 1] == '.') {
            n = i - 1;
            break;
        }
    std::copy_n(".log", 5, log + n);
    return log;
}

// Where the run's messages are, or that the log failed too: the pieces
// that end a failure line.
struct log_note {
    said pieces[3];
};

log_note note_on(located_lines& lines, const char* log) {
    const bool whole = lines.close_log();
    const bool failed = lines.log_opened() && !whole;
    return {{whole    ? "; its messages (Shift_JIS) are in "
             : failed ? "; its log "
                      : "",
             name(whole || failed ? log : ""), failed ? " cannot be written either" : ""}};
}

// One conversion of text into output; the status.
int convert(const char* text, const char* output, const char* log_path, located_options opt,
            std::FILE* sarif) {
    const char* log = log_path != nullptr ? log_path : default_log(output);
    opt.log = log;
    // Static: the located lines hold their pending finds, and the stack is
    // no place for them.
    static located_lines lines(opt, errors);
    const int status = convert_file(text, output, nullptr, &lines);
    int found = 0;
    const finding* f = located_lines::findings(found);
    if (sarif != nullptr)
        sarif_text(sarif, shown, f, found);
    const log_note note = note_on(lines, log);
    const said* n = note.pieces;
    if (status == exit_input)
        say(errors, {"viderav: ", name(shown), ": the text file cannot be opened or read", n[0],
                     n[1], n[2]});
    else if (status == exit_output)
        say(errors, {"viderav: ", name(shown), ": the output ", name(output),
                     " cannot be created or written", n[0], n[1], n[2]});
    else if (status == exit_log && log == nullptr)
        say(errors, {"viderav: ", name(shown), ": the log ", name(output), ".log cannot be named"});
    else if (status == exit_log)
        say(errors, {"viderav: ", name(shown), ": the log ", name(log),
                     lines.log_opened() ? " cannot be written" : " cannot be created"});
    return status;
}

// Each text read as a conversion would, its records and messages going to
// the null device; the status over them all.
int check(char* const* texts, int count, const located_options& opt, std::FILE* sarif) {
    std::FILE* nowhere = std::fopen(null_device, "wb");
    if (nowhere == nullptr) {
        say(errors, {"viderav-build: ", name(null_device), " cannot be opened"});
        return exit_output;
    }
    // Unbuffered: the encoder writes in large blocks, which the device
    // drops without a copy.
    std::setvbuf(nowhere, nullptr, _IONBF, 0);
    bool unread = false;
    bool refused = false;
    static located_lines lines(opt, errors);
    for (int i = 0; i < count; ++i) {
        shown = full_path(texts[i]);
        located_options each = opt;
        each.text = shown;
        lines = located_lines(each, errors);
        const int status = check_file(texts[i], nowhere, lines);
        if (status == exit_input) {
            unread = true;
            say(errors, {"viderav: ", name(shown), ": the text file cannot be opened or read"});
        }
        refused = refused || status == exit_refused;
        int found = 0;
        const finding* f = located_lines::findings(found);
        if (sarif != nullptr)
            sarif_text(sarif, shown, f, found);
    }
    std::fclose(nowhere);
    return unread ? exit_input : refused ? exit_refused : exit_done;
}

} // namespace

int main(int argc, char* argv[]) {
    std::FILE* const console = prepare_run(argc, argv);
    errors = prepare_errors(argc, argv);

    located_options opt{};
    const char* log_path = nullptr;
    bool checking = false;
    // The paths, moved to the front of argv.
    int npaths = 0;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (options_end || a[0] != '-' || a[1] == '\0') {
            argv[1 + npaths++] = argv[i];
        } else if (std::strcmp(a, "--") == 0) {
            options_end = true;
        } else if (std::strcmp(a, "--help") == 0) {
            std::printf("%s\n\n%s", usage_line, help_text);
            return std::fflush(stdout) == 0 ? exit_done : exit_usage;
        } else if (std::strcmp(a, "--version") == 0) {
            std::printf("viderav-build " VIDERAV_VERSION "\n");
            return std::fflush(stdout) == 0 ? exit_done : exit_usage;
        } else if (std::strcmp(a, "--check") == 0) {
            checking = true;
        } else if (std::strcmp(a, "--fail-on-rejected") == 0) {
            opt.fail_on_rejected = true;
        } else if (std::strcmp(a, "--fail-on-long-lines") == 0) {
            opt.fail_on_long_lines = true;
        } else if (std::strcmp(a, "--format=gcc") == 0) {
            opt.form = line_form::gcc;
        } else if (std::strcmp(a, "--format=msvc") == 0) {
            opt.form = line_form::msvc;
        } else if (std::strcmp(a, "--format=sarif") == 0) {
            opt.form = line_form::sarif;
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
    if (checking ? npaths < 1 || log_path != nullptr : npaths != 2) {
        say(errors, {checking && log_path != nullptr ? "viderav-build: --check writes no log"
                     : npaths > 2                    ? "viderav-build: one TEXT and one OUTPUT only"
                                                     : "viderav-build: no TEXT"});
        say(errors, {usage_line});
        return exit_usage;
    }
    on_lock_wait = tell_wait;
    std::FILE* const sarif = opt.form == line_form::sarif ? console : nullptr;
    if (sarif != nullptr)
        sarif_begin(sarif, VIDERAV_VERSION);

    int status = exit_done;
    if (checking) {
        status = check(argv + 1, npaths, opt, sarif);
    } else {
        shown = full_path(argv[1]);
        opt.text = shown;
        status = convert(argv[1], argv[2], log_path, opt, sarif);
    }
    if (sarif != nullptr && !sarif_end(sarif, status) && status == exit_done)
        return exit_output;
    return status;
}
