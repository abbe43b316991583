// viderav-build: what a build runs for each text.  It converts TEXT into
// OUTPUT exactly as viderav does, writes what viderav's console would hold
// to a log, and prints on standard error, as compilers do, where each
// rejected character and each line too long for its record's length byte
// is; a failure is one line there.
//
// main parses the options and dispatches; convert_file does the run, with
// the located lines told of the text as the encoder reads it.

#include "located.h"
#ifdef VIDERAV_LSP
#include "lsp.h"
#endif
#include "messages.h"
#include "platform.h"
#include "run.h"
#include "sarif.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef VIDERAV_VERSION
#define VIDERAV_VERSION "unknown"
#endif

namespace {

constexpr char usage_line[] = "usage: viderav-build [--log FILE] [--fail-on-rejected] "
                              "[--fail-on-long-lines] [--format=gcc|msvc|sarif] TEXT OUTPUT\n"
                              "       viderav-build --check [--fail-on-rejected] "
                              "[--fail-on-long-lines] [--format=gcc|msvc|sarif]\n"
                              "                     [--files0-from=LIST] TEXT...\n"
                              "       viderav-build --lsp";

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
    "  --files0-from=LIST    with --check, also the TEXTs named in the file LIST,\n"
    "                        each ended by a zero byte (git ls-files -z); - is\n"
    "                        standard input\n"
    "  --lsp                 serve an editor as a language server (LSP) on\n"
    "                        standard input and output: each open text's\n"
    "                        rejected characters and long lines as it is typed\n"
    "  --help, --version     this text; the version\n"
    "\n"
    "Exit status: 0 converted (warnings included), 1 usage, 2 TEXT cannot be\n"
    "opened or read, 3 OUTPUT or the SARIF log cannot be created or written, 4\n"
    "the log cannot be created or written, 5 an option made the warnings errors.\n"
    "With --check: 3 if the SARIF log cannot be written, else 2 if any TEXT or\n"
    "LIST cannot be opened or read, else 5 if an option made any TEXT's warnings\n"
    "errors, else 0.\n";

// Standard error, and the text as the lines name it.
std::FILE* errors = stderr;
const char* shown = "";

// The SARIF log, where one is asked for; whether it holds its end, and
// whether it could not be written.
std::FILE* sarif = nullptr;
bool sarif_ended = false;
bool sarif_failed = false;

// A text's results, and for a conversion the log's end too: all of it out
// before the output is kept, so that a log that cannot be written fails the
// run and leaves no output.  (Only a failure to close the output after
// this makes the status differ from the one the log gives.)
bool report(exit_status verdict, bool end) {
    int found = 0;
    const finding* f = located_lines::findings(found);
    sarif_text(sarif, shown, f, found);
    sarif_ended = end;
    sarif_failed = !(end ? sarif_end(sarif, verdict) : sarif_flush(sarif));
    return !sarif_failed;
}

bool report_conversion(exit_status verdict) {
    return report(verdict, true);
}

bool report_check(exit_status verdict) {
    return report(verdict, false);
}

constexpr char sarif_unwritten[] = "the SARIF log cannot be written to standard output";

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
int convert(const char* text, const char* output, const char* log_path, located_options opt) {
    const char* log = log_path != nullptr ? log_path : default_log(output);
    opt.log = log;
    opt.report = sarif != nullptr ? report_conversion : nullptr;
    // Static: the located lines hold their pending finds, and the stack is
    // no place for them.
    static located_lines lines(opt, errors);
    const int status = convert_file(text, output, nullptr, &lines);
    const log_note note = note_on(lines, log);
    const said* n = note.pieces;
    if (sarif_failed)
        say(errors, {"viderav: ", name(shown), ": ", sarif_unwritten, n[0], n[1], n[2]});
    else if (status == exit_input)
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
int check(char* const* texts, int count, located_options opt, bool unread) {
    std::FILE* nowhere = std::fopen(null_device, "wb");
    if (nowhere == nullptr) {
        say(errors, {"viderav-build: ", name(null_device), " cannot be opened"});
        return exit_output;
    }
    // Unbuffered: the encoder writes in large blocks, which the device
    // drops without a copy.
    std::setvbuf(nowhere, nullptr, _IONBF, 0);
    bool refused = false;
    opt.report = sarif != nullptr ? report_check : nullptr;
    static located_lines lines(opt, errors);
    for (int i = 0; i < count && !sarif_failed; ++i) {
        if (*texts[i] == '\0') {
            unread = true;
            say(errors, {"viderav-build: an empty name among the texts"});
            continue;
        }
        shown = full_path(texts[i]);
        // `2> check.txt` or `> out.sarif` among the texts: a file this run
        // writes is no text of its.
        if (const int stream = standard_stream_of(texts[i])) {
            say(errors, {"viderav: ", name(shown), ": left out: it is this run's ",
                         stream == 1 ? "standard output" : "standard error"});
            continue;
        }
        located_options each = opt;
        each.text = shown;
        lines = located_lines(each, errors);
        const int status = check_file(texts[i], nowhere, lines);
        if (sarif_failed) {
            say(errors, {"viderav: ", name(shown), ": ", sarif_unwritten});
        } else if (status == exit_input) {
            unread = true;
            say(errors, {"viderav: ", name(shown), ": the text file cannot be opened or read"});
        }
        refused = refused || status == exit_refused;
    }
    std::fclose(nowhere);
    return sarif_failed ? exit_output : unread ? exit_input : refused ? exit_refused : exit_done;
}

// The names of a list, and the array of every text's name, which live
// until the process ends.
char* list_data = nullptr;
char** all_texts = nullptr;

// The names in the file list (standard input for "-"), each ended by a zero
// byte (a last one may lack it), added to texts; false where the list
// cannot be read.
bool read_list(const char* list, char**& texts, int& count) {
    std::FILE* in = std::strcmp(list, "-") == 0 ? stdin : std::fopen(list, "rb");
    if (in == nullptr)
        return false;
    char* data = nullptr;
    std::size_t size = 0;
    std::size_t room = 0;
    bool read = true;
    for (;;) {
        if (size + 1 >= room) {
            room = room == 0 ? 1 << 16 : 2 * room;
            char* more = static_cast<char*>(std::realloc(list_data, room));
            if (more == nullptr) {
                read = false;
                break;
            }
            list_data = data = more;
        }
        const std::size_t got = std::fread(data + size, 1, room - size - 1, in);
        size += got;
        if (got == 0)
            break;
    }
    read = read && std::ferror(in) == 0;
    if (in != stdin)
        std::fclose(in);
    if (!read)
        return false;
    data[size] = '\0';
    std::size_t names = 0;
    for (std::size_t i = 0; i < size; ++i)
        names += data[i] == '\0' ? 1 : 0;
    names += size > 0 && data[size - 1] != '\0' ? 1 : 0;
    all_texts = static_cast<char**>(
        std::malloc((static_cast<std::size_t>(count) + names + 1) * sizeof(char*)));
    if (all_texts == nullptr)
        return false;
    std::copy_n(texts, count, all_texts);
    for (std::size_t at = 0; at < size; at += std::strlen(data + at) + 1)
        all_texts[count++] = data + at;
    texts = all_texts;
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    std::FILE* const console = prepare_run(argc, argv);
    errors = prepare_errors(argc, argv);

    located_options opt{};
    const char* log_path = nullptr;
    const char* list = nullptr;
    bool checking = false;
    bool serving = false;
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
        } else if (std::strcmp(a, "--lsp") == 0) {
            serving = true;
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
        } else if (std::strcmp(a, "--files0-from") == 0 && i + 1 < argc) {
            list = argv[++i];
        } else if (std::strncmp(a, "--files0-from=", 14) == 0 && a[14] != '\0') {
            list = a + 14;
        } else {
            say(errors, {"viderav-build: unknown option '", name(a), "'"});
            say(errors, {usage_line});
            return exit_usage;
        }
    }
    const char* wrong = nullptr;
    if (serving && (argc != 2))
        wrong = "viderav-build: --lsp takes nothing else; the editor sends the rest";
#ifdef VIDERAV_LSP
    else if (serving)
        return serve_lsp_stdio(console, VIDERAV_VERSION);
#else
    else if (serving)
        wrong = "viderav-build: built without the language server (VIDERAV_LSP)";
#endif
    else if (checking && log_path != nullptr)
        wrong = "viderav-build: --check writes no log";
    else if (checking && npaths == 0 && list == nullptr)
        wrong = "viderav-build: no TEXT";
    else if (!checking && list != nullptr)
        wrong = "viderav-build: --files0-from goes with --check";
    else if (!checking && npaths != 2)
        wrong = npaths > 2    ? "viderav-build: one TEXT and one OUTPUT only"
                : npaths == 1 ? "viderav-build: no OUTPUT"
                              : "viderav-build: no TEXT";
    if (wrong != nullptr) {
        say(errors, {wrong});
        say(errors, {usage_line});
        return exit_usage;
    }
    on_lock_wait = tell_wait;
    if (opt.form == line_form::sarif) {
        // A closed standard output is the null device by now: the log
        // would be lost without a word.
        if (console_closed()) {
            say(errors,
                {"viderav-build: standard output is closed: the SARIF log cannot be written"});
            return exit_output;
        }
        sarif = console;
        sarif_begin(sarif, VIDERAV_VERSION);
    }

    int status = exit_done;
    if (checking) {
        char** texts = argv + 1;
        bool unread = false;
        if (list != nullptr && !read_list(list, texts, npaths)) {
            say(errors, {"viderav-build: the list of texts ", name(list), " cannot be read"});
            unread = true;
        }
        status = check(texts, npaths, opt, unread);
        std::free(all_texts);
        std::free(list_data);
    } else {
        shown = full_path(argv[1]);
        opt.text = shown;
        status = convert(argv[1], argv[2], log_path, opt);
    }
    if (sarif != nullptr && !sarif_failed && !sarif_ended && !sarif_end(sarif, status)) {
        say(errors, {"viderav-build: ", sarif_unwritten});
        return exit_output;
    }
    return status;
}
