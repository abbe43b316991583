#include "located.h"

#include "platform.h"

namespace {

// The range the byte after a UTF-8 lead byte must fall in, and how many
// bytes the character has; 0 for a byte that leads no character.
struct utf8_lead {
    int length;
    unsigned char low;
    unsigned char high;
};

utf8_lead lead_of(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF)
        return {2, 0x80, 0xBF};
    if (b == 0xE0)
        return {3, 0xA0, 0xBF};
    if (b == 0xED)
        return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF)
        return {3, 0x80, 0xBF};
    if (b == 0xF0)
        return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3)
        return {4, 0x80, 0xBF};
    if (b == 0xF4)
        return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

const char* name_of(unsigned char b) {
    switch (b) {
    case 0x00:
        return "a zero byte";
    case 0x09:
        return "a tab";
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

void append_hex(std::string& s, unsigned long value, int digits) {
    static constexpr char hex[] = "0123456789ABCDEF";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        s += hex[(value >> shift) & 0xF];
}

constexpr const char* once_assembled =
    " once assembled (records of at most 255 bytes assemble exactly)";

} // namespace

located_lines::located_lines(const located_options& options, std::FILE* out)
    : opt(options), to(out) {}

std::string located_lines::head(unsigned long long line, unsigned long long column, bool error,
                                kind_code code) const {
    std::string s = opt.text;
    if (opt.form == line_form::msvc) {
        s += '(' + std::to_string(line) + ',' + std::to_string(column) + "): ";
        s += error ? "error" : "warning";
        s += " VR" + std::to_string(code) + ": ";
    } else {
        s += ':' + std::to_string(line) + ':' + std::to_string(column) + ": ";
        s += error ? "error: " : "warning: ";
    }
    return s;
}

// One write per line: a parallel build's other conversions cannot come
// between its text and its newline.
void located_lines::emit(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), to);
    std::fflush(to);
}

// One rejected character, or one byte that is none, at line:column.
void located_lines::item(unsigned long long line, unsigned long long column,
                         const unsigned char* bytes, int n) {
    if (shown >= limit) {
        if (shown == limit) {
            more_line = line;
            more_column = column;
            ++shown;
        }
        return;
    }
    ++shown;
    shown_bytes += static_cast<unsigned long long>(n);
    std::string s = head(line, column, opt.fail_on_rejected, code_rejected);
    if (n > 1) {
        unsigned long point = bytes[0] & (0x7FU >> n);
        for (int i = 1; i < n; ++i)
            point = (point << 6) | (bytes[i] & 0x3FU);
        if (point == 0xFEFF && line == 1 && column == 1) {
            s = head(line, column, opt.fail_on_rejected, code_mark);
            s += "the text begins with a UTF-8 byte-order mark (EF BB BF), 3 rejected bytes; "
                 "save the text without one";
        } else {
            s += "rejected character '";
            s.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(n));
            s += "' (U+";
            append_hex(s, point, point > 0xFFFF ? (point > 0xFFFFF ? 6 : 5) : 4);
            s += ": bytes";
            for (int i = 0; i < n; ++i) {
                s += ' ';
                append_hex(s, bytes[i], 2);
            }
            s += "), written as " + std::to_string(n) + " codes 0 (blank glyphs)";
        }
    } else if (bytes[0] > 0x20 && bytes[0] < 0x7F) {
        s += "rejected character '";
        s += static_cast<char>(bytes[0]);
        s += "' (0x";
        append_hex(s, bytes[0], 2);
        s += "), written as code 0 (a blank glyph)";
    } else {
        s += "rejected byte 0x";
        append_hex(s, bytes[0], 2);
        if (const char* name = name_of(bytes[0]))
            s += std::string(" (") + name + ')';
        s += ", written as code 0 (a blank glyph)";
    }
    pending += s;
    pending += ::line_end;
    pending_ends[pending_count++] = pending.size();
}

// The bytes of a character begun and not completed, each on its own.
void located_lines::flush_bytes() {
    for (int i = 0; i < seq_len; ++i)
        item(seq_line, seq_column + static_cast<unsigned long long>(i), seq + i, 1);
    seq_len = 0;
}

void located_lines::rejected(unsigned long long line, unsigned long long column,
                             unsigned char byte) {
    ++rejected_bytes;
    if (seq_len > 0) {
        const bool next = line == seq_line && column == seq_column + static_cast<unsigned>(seq_len);
        const utf8_lead lead = lead_of(seq[0]);
        const bool fits =
            seq_len == 1 ? byte >= lead.low && byte <= lead.high : byte >= 0x80 && byte <= 0xBF;
        if (next && fits) {
            seq[seq_len++] = byte;
            if (seq_len == seq_need) {
                item(seq_line, seq_column, seq, seq_len);
                seq_len = 0;
            }
            return;
        }
        flush_bytes();
    }
    const utf8_lead lead = lead_of(byte);
    if (lead.length > 0) {
        seq[0] = byte;
        seq_len = 1;
        seq_need = lead.length;
        seq_line = line;
        seq_column = column;
        return;
    }
    item(line, column, &byte, 1);
}

void located_lines::line_end(unsigned long long line, unsigned long long length,
                             unsigned long long records) {
    flush_bytes();
    if (length > 255) {
        ++long_lines;
        if (long_shown < limit) {
            ++long_shown;
            std::string s = head(line, 1, opt.fail_on_long_lines, code_long);
            s += "a line of " + std::to_string(length) + " bytes";
            if (records > 1)
                s += ", split into " + std::to_string(records) +
                     " records of at most 1023 bytes; the first one's length byte holds 255";
            else
                s += "; its record's length byte holds " + std::to_string(length & 255);
            s += once_assembled;
            s += ::line_end;
            emit(s);
        } else if (long_more_line == 0) {
            long_more_line = line;
        }
    }
    std::size_t at = 0;
    for (int i = 0; i < pending_count; ++i) {
        std::fwrite(pending.data() + at, 1, pending_ends[i] - at, to);
        std::fflush(to);
        at = pending_ends[i];
    }
    pending.clear();
    pending_count = 0;
}

exit_status located_lines::verdict() {
    if (more_line != 0) {
        std::string s = head(more_line, more_column, opt.fail_on_rejected, code_more_rejected);
        s += std::to_string(rejected_bytes - shown_bytes) +
             " more rejected bytes from here on are not shown; " + opt.log + " lists every one";
        s += ::line_end;
        emit(s);
    }
    if (long_more_line != 0) {
        std::string s = head(long_more_line, 1, opt.fail_on_long_lines, code_more_long);
        s += std::to_string(long_lines - static_cast<unsigned long long>(long_shown)) +
             " more lines of over 255 bytes from here on are not shown";
        s += ::line_end;
        emit(s);
    }
    if (opt.log_file != nullptr && (std::fflush(opt.log_file) != 0 || std::ferror(opt.log_file)))
        return exit_log;
    if ((opt.fail_on_rejected && rejected_bytes > 0) || (opt.fail_on_long_lines && long_lines > 0))
        return exit_refused;
    return exit_done;
}
