#include "located.h"

#include "messages.h"
#include "platform.h"
#include "utf8.h"

#include <algorithm>
#include <cstring>

namespace {

// The line being written: room for the longest text and log names Windows
// takes, and the message.  Static: the lines are written one at a time.
char text_line[2 * 32768 + 512];
std::size_t text_len = 0;

// The findings of the current text, and their messages.
finding found_lines[2 * located_most + 2];
int found_count = 0;
// Room for every message at the most, and two that name long paths.
char messages[std::size_t{2} * located_most * 192 + 2 * sizeof text_line];
std::size_t messages_len = 0;

// What a control byte is called; the rest are named by their Ctrl key.
const char* name_of(unsigned char b) {
    switch (b) {
    case 0x00:
        return "a zero byte";
    case 0x08:
        return "a backspace";
    case 0x09:
        return "a tab";
    case 0x0B:
        return "a vertical tab";
    case 0x0C:
        return "a form feed";
    case 0x0D:
        return "a carriage return without a line feed";
    case 0x1B:
        return "an escape";
    case 0x7F:
        return "a delete";
    default:
        return nullptr;
    }
}

constexpr const char* once_assembled =
    " once assembled (records of at most 255 bytes assemble exactly)";

// Appends s, as much of it as the line has room for.
void put(const char* s) {
    const std::size_t n = std::min(std::strlen(s), sizeof text_line - text_len);
    std::copy_n(s, n, text_line + text_len);
    text_len += n;
}

void put_number(unsigned long long n) {
    char digits[24];
    char* at = digits + sizeof digits;
    *--at = '\0';
    do {
        *--at = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    put(at);
}

void put_hex(unsigned long value, int digits) {
    static constexpr char hex[] = "0123456789ABCDEF";
    char text[9] = {};
    for (int i = 0; i < digits; ++i)
        text[i] = hex[(value >> (4 * (digits - 1 - i))) & 0xF];
    put(text);
}

// Appends a file's name, each control byte as \xHH: a newline in a name
// must not start a line of its own.
void put_name(const char* s) {
    for (const char* run = s;; ++s) {
        const auto c = static_cast<unsigned char>(*s);
        if (c >= 0x20 && c != 0x7F)
            continue;
        const std::size_t n =
            std::min(static_cast<std::size_t>(s - run), sizeof text_line - text_len);
        std::copy_n(run, n, text_line + text_len);
        text_len += n;
        if (c == 0)
            return;
        put("\\x");
        put_hex(c, 2);
        run = s + 1;
    }
}

// Ends the line and writes it in one write: a parallel build's other
// conversions cannot come between its text and its newline.
void emit_to(std::FILE* to) {
    text_len = std::min(text_len, sizeof text_line - line_end_size);
    put(::line_end);
    write_line(to, text_line, text_len);
}

} // namespace

void say(std::FILE* to, std::initializer_list<said> pieces) {
    text_len = 0;
    for (const said& p : pieces)
        if (p.name)
            put_name(p.text);
        else
            put(p.text);
    emit_to(to);
}

// The characters of the text line being read, written at its end: one
// text's lines are found at a time.
static located_lines::found pending_store[located_most];

located_lines::located_lines(const located_options& options, std::FILE* out)
    : opt(options), to(out), pending(pending_store) {
    found_count = 0;
    messages_len = 0;
}

// Starts a line: where, and what kind.
void located_lines::head(unsigned long long line, unsigned long long column,
                         unsigned long long column16, bool error, kind_code code, int bytes) const {
    text_len = 0;
    if (opt.form == line_form::sarif) {
        found_lines[found_count] = {code, error, line, column, column16, bytes, nullptr};
        return;
    }
    put_name(opt.text);
    if (opt.form == line_form::msvc) {
        put("(");
        put_number(line);
        put(",");
        put_number(column);
        put(error ? "): error VR" : "): warning VR");
        put_number(static_cast<unsigned long long>(code));
        put(": ");
    } else {
        put(":");
        put_number(line);
        put(":");
        put_number(column);
        put(error ? ": error: " : ": warning: ");
    }
}

void located_lines::emit() {
    if (opt.form != line_form::sarif) {
        emit_to(to);
        return;
    }
    const std::size_t n = std::min(text_len, sizeof messages - messages_len - 1);
    char* at = messages + messages_len;
    std::copy_n(text_line, n, at);
    at[n] = '\0';
    messages_len += n + 1;
    found_lines[found_count++].message = at;
}

const finding* located_lines::findings(int& count) {
    count = found_count;
    return found_lines;
}

std::FILE* located_lines::start(std::FILE* in, std::FILE* out) {
    log_file = opt.log == nullptr ? nullptr : open_log(opt.log, in, out);
    if (log_file == nullptr)
        return nullptr;
    opened = true;
    std::fputs(msg::banner, log_file);
    return log_file;
}

bool located_lines::close_log() {
    if (log_file == nullptr)
        return false;
    const bool closed = std::fclose(log_file) == 0;
    log_file = nullptr;
    return closed && !log_failed;
}

namespace {

// A UTF-8 character's code point.
unsigned long point_of(const unsigned char* bytes, int n) {
    unsigned long point = bytes[0] & (0x7FU >> n);
    for (int i = 1; i < n; ++i)
        point = (point << 6) | (bytes[i] & 0x3FU);
    return point;
}

bool is_mark(const unsigned char* bytes, int n, bool first) {
    return first && n == 3 && point_of(bytes, n) == 0xFEFF;
}

// What a line says of a rejected character, or of a byte that is none: a
// byte-order mark where it is the text's first.
void put_character(const unsigned char* bytes, int n, bool first) {
    if (is_mark(bytes, n, first)) {
        put("the text begins with a UTF-8 byte-order mark (EF BB BF), 3 rejected bytes; "
            "save the text without one");
        return;
    }
    if (n > 1) {
        const unsigned long point = point_of(bytes, n);
        put("rejected character '");
        char raw[5] = {};
        std::memcpy(raw, bytes, static_cast<std::size_t>(n));
        put(raw);
        put("' (U+");
        put_hex(point, point > 0xFFFFF ? 6 : point > 0xFFFF ? 5 : 4);
        put(": bytes");
        for (int i = 0; i < n; ++i) {
            put(" ");
            put_hex(bytes[i], 2);
        }
        put("), written as ");
        put_number(static_cast<unsigned long long>(n));
        put(" codes 0 (blank glyphs)");
    } else if (bytes[0] > 0x20 && bytes[0] < 0x7F) {
        const char c[2] = {static_cast<char>(bytes[0]), '\0'};
        put("rejected character '");
        put(c);
        put("' (0x");
        put_hex(bytes[0], 2);
        put("), written as code 0 (a blank glyph)");
    } else {
        put("rejected byte 0x");
        put_hex(bytes[0], 2);
        if (const char* name = name_of(bytes[0])) {
            put(" (");
            put(name);
            put(")");
        } else if (bytes[0] < 0x20) {
            const char key[2] = {static_cast<char>(bytes[0] + 0x40), '\0'};
            put(" (a control character, Ctrl-");
            put(key);
            put(")");
        }
        put(", written as code 0 (a blank glyph)");
    }
}

} // namespace

const char* rejected_message(const unsigned char* bytes, int n, bool first) {
    text_len = 0;
    put_character(bytes, n, first);
    text_line[std::min(text_len, sizeof text_line - 1)] = '\0';
    return text_line;
}

void located_lines::put_found(const found& f) {
    const bool first = f.line == 1 && f.column == 1;
    head(f.line, f.column, f.column16, opt.fail_on_rejected,
         is_mark(f.bytes, f.n, first) ? code_mark : code_rejected, f.n);
    put_character(f.bytes, f.n, first);
}

// One rejected character, or one byte that is none, at line:column.
void located_lines::item(unsigned long long line, unsigned long long column,
                         const unsigned char* bytes, int n) {
    const unsigned long long column16 = column - folded;
    // A character of four bytes is two UTF-16 code units, shorter ones one.
    if (n > 1)
        folded += static_cast<unsigned long long>(n == 4 ? 2 : n - 1);
    if (shown >= opt.limit) {
        if (shown == opt.limit) {
            more_line = line;
            more_column = column;
            more_column16 = column16;
            ++shown;
        }
        return;
    }
    ++shown;
    shown_bytes += static_cast<unsigned long long>(n);
    found& f = pending[pending_count++];
    f.line = line;
    f.column = column;
    f.column16 = column16;
    std::memcpy(f.bytes, bytes, static_cast<std::size_t>(n));
    f.n = n;
}

// The bytes of a character begun and not completed, each on its own.  An
// editor decodes them as one U+FFFD, a single UTF-16 code unit (Unicode's
// maximal subpart): each byte takes the column of the first.
void located_lines::flush_bytes() {
    for (int i = 0; i < seq.n; ++i) {
        folded += i > 0 ? 1 : 0;
        item(seq.line, seq.column + static_cast<unsigned long long>(i), seq.bytes + i, 1);
    }
    seq.n = 0;
}

bool located_lines::rejected(unsigned long long line, unsigned long long column,
                             unsigned char byte) {
    ++rejected_bytes;
    place(line, column, byte);
    // Past the limit, with the place of the first one not shown kept, only
    // the count matters.
    return shown <= opt.limit;
}

void located_lines::rejected_more(unsigned long long count) {
    rejected_bytes += count;
}

void located_lines::place(unsigned long long line, unsigned long long column, unsigned char byte) {
    if (seq.n > 0) {
        const bool next = line == seq.line && column == seq.column + static_cast<unsigned>(seq.n);
        const utf8_lead lead = lead_of(seq.bytes[0]);
        const bool fits =
            seq.n == 1 ? byte >= lead.low && byte <= lead.high : byte >= 0x80 && byte <= 0xBF;
        if (next && fits) {
            seq.bytes[seq.n++] = byte;
            if (seq.n == seq_need) {
                item(seq.line, seq.column, seq.bytes, seq.n);
                seq.n = 0;
            }
            return;
        }
        flush_bytes();
    }
    const utf8_lead lead = lead_of(byte);
    if (lead.length > 1) {
        seq = found{line, column, 0, {byte}, 1};
        seq_need = lead.length;
        return;
    }
    item(line, column, &byte, 1);
}

void located_lines::line_end(unsigned long long line, unsigned long long length,
                             unsigned long long records) {
    flush_bytes();
    folded = 0;
    if (length > long_line) {
        ++long_lines;
        if (long_shown < opt.limit) {
            ++long_shown;
            head(line, 1, 1, opt.fail_on_long_lines, code_long);
            put("a line of ");
            put_number(length);
            put(" bytes");
            if (records > 1) {
                put(", split into ");
                put_number(records);
                put(" records of at most 1023 bytes; the first one's length byte holds 255");
            } else {
                put("; its record's length byte holds ");
                put_number(length & 255);
            }
            put(once_assembled);
            emit();
        } else if (long_more_line == 0) {
            long_more_line = line;
        }
    }
    for (int i = 0; i < pending_count; ++i) {
        put_found(pending[i]);
        emit();
    }
    pending_count = 0;
}

exit_status located_lines::verdict(exit_status run) {
    // Asked first: no line may send the user to a log that lacks messages.
    log_failed = log_file != nullptr && (std::fflush(log_file) != 0 || std::ferror(log_file));
    if (more_line != 0) {
        head(more_line, more_column, more_column16, opt.fail_on_rejected, code_more_rejected);
        put_number(rejected_bytes - shown_bytes);
        put(" more rejected bytes from here on are not shown");
        if (log_file != nullptr && !log_failed) {
            put("; ");
            put_name(opt.log);
            put(" lists every one");
        }
        emit();
    }
    if (long_more_line != 0) {
        head(long_more_line, 1, 1, opt.fail_on_long_lines, code_more_long);
        put_number(long_lines - static_cast<unsigned long long>(long_shown));
        put(" more lines of over 255 bytes from here on are not shown");
        emit();
    }
    const bool refused =
        (opt.fail_on_rejected && rejected_bytes > 0) || (opt.fail_on_long_lines && long_lines > 0);
    const exit_status status = run != exit_done ? run
                               : log_failed     ? exit_log
                               : refused        ? exit_refused
                                                : exit_done;
    return opt.report == nullptr || opt.report(status) ? status : exit_output;
}
