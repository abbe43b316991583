// The located lines of viderav-build: each rejected character and each line
// whose record's length byte cannot hold its length, written as compilers
// write their diagnostics, so that editors and IDEs jump to them.
#pragma once

#include "run.h"

#include <cstdio>
#include <initializer_list>

enum class line_form {
    gcc,   // TEXT:LINE:COLUMN: warning: message
    msvc,  // TEXT(LINE,COLUMN): warning VRnnnn: message
    sarif, // no lines: findings, for one SARIF log of the whole run
};

// The kinds of located line, by their VRnnnn code.
enum kind_code {
    code_rejected = 1001,
    code_mark = 1002,
    code_more_rejected = 1003,
    code_long = 2001,
    code_more_long = 2002,
};

// A located line as data: its place, kind and message.
struct finding {
    kind_code code;
    bool error;
    unsigned long long line;
    unsigned long long column;   // in bytes
    unsigned long long column16; // in UTF-16 code units, as the text decodes
    int bytes;                   // of a rejected character or the mark; else 0
    const char* message;         // lives until the next text's findings
};

// How many lines of each kind a text shows at the most: 20 on a build's
// standard error, up to this many where an editor lists them.
inline constexpr int located_most = 1000;

struct located_options {
    const char* text; // the text's name, as the lines give it
    const char* log;  // where the console's messages go; nullptr: it has no name
    line_form form = line_form::gcc;
    bool fail_on_rejected = false;
    bool fail_on_long_lines = false;
    int limit = 20; // lines of each kind, at most located_most
    // Given the text's verdict once its findings are complete and before
    // the output is closed, to pass them on; false where it could not,
    // which fails the run with exit_output.
    bool (*report)(exit_status verdict) = nullptr;
};

// A piece of one of viderav-build's own lines: text, or a file's name,
// whose control bytes are written as \xHH so that no name can forge a line.
struct said {
    said(const char* s, bool is_name = false) : text(s), name(is_name) {}
    const char* text;
    bool name;
};
inline said name(const char* s) {
    return {s, true};
}

// What the lines say of a rejected character, bytes[0, n), or of a byte
// that is none, without its place; a byte-order mark's words where it is
// `first` in the text.  Lives until the next line is made.
const char* rejected_message(const unsigned char* bytes, int n, bool first);

// One line of viderav-build's own, a failure or a wait, written whole.
void say(std::FILE* to, std::initializer_list<said> pieces);

// Told of the text as the encoder reads it; writes each located line whole,
// in one write, to `to`, so that parallel builds never interleave two.  A
// UTF-8 character is one line however its bytes fall into records; the
// lines of one text line come at its end, a line too long first.  At most
// the options' limit of each kind, then one that says how many more there
// are.
class located_lines final : public run_watch {
  public:
    located_lines(const located_options& options, std::FILE* out);

    // Opens the log, once the text and the output are open, and writes the
    // banner there.
    std::FILE* start(std::FILE* in, std::FILE* out) override;
    bool rejected(unsigned long long line, unsigned long long column, unsigned char byte) override;
    void rejected_more(unsigned long long count) override;
    void line_end(unsigned long long line, unsigned long long length,
                  unsigned long long records) override;
    // The lines for what was not shown; then the run's failure, else
    // exit_log where the log failed, exit_refused where an option makes
    // the text's warnings errors; exit_output where the report failed.
    exit_status verdict(exit_status run) override;
    // Closes the log; whether it holds every message of the run.
    bool close_log();
    // Whether the log was opened at all.
    [[nodiscard]] bool log_opened() const {
        return opened;
    }

    // With line_form::sarif, what the lines would say, in order.
    static const finding* findings(int& count);

    // A rejected character, or a byte that is none, waiting for the end of
    // its line.
    struct found {
        unsigned long long line;
        unsigned long long column;
        unsigned long long column16;
        unsigned char bytes[4];
        int n;
    };

  private:
    void item(unsigned long long line, unsigned long long column, const unsigned char* bytes,
              int n);
    void flush_bytes();
    void place(unsigned long long line, unsigned long long column, unsigned char byte);
    void head(unsigned long long line, unsigned long long column, unsigned long long column16,
              bool error, kind_code code, int bytes = 0) const;
    void put_found(const found& f);
    void emit();

    located_options opt;
    std::FILE* to;
    std::FILE* log_file = nullptr;
    bool opened = false;
    bool log_failed = false;
    // A UTF-8 character begun and not yet complete.
    found seq{};
    int seq_need = 0;
    // The characters of the current text line, written at its end.
    found* pending;
    int pending_count = 0;
    unsigned long long rejected_bytes = 0;
    unsigned long long shown_bytes = 0;
    int shown = 0;
    unsigned long long more_line = 0;
    unsigned long long more_column = 0;
    unsigned long long more_column16 = 0;
    // Bytes of the current line's UTF-8 characters beyond their UTF-16
    // code units: a byte column less this is a UTF-16 one.
    unsigned long long folded = 0;
    unsigned long long long_lines = 0;
    int long_shown = 0;
    unsigned long long long_more_line = 0;
};
