#include "convert.h"

#include "messages.h"
#include "platform.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// The code of every byte value, as the fonts index their glyphs.  Small
// letters share the codes of their capitals; no other byte is upper-cased.
// Codes 38 and 39 belong to no character.
constexpr unsigned char no_code = 0xFF; // rejected: reported, written as 0

constexpr std::array<unsigned char, 256> make_codes() {
    std::array<unsigned char, 256> t{};
    t.fill(no_code);
    t[' '] = 0;
    for (std::size_t i = 0; i < 10; ++i)
        t['0' + i] = static_cast<unsigned char>(1 + i);
    for (std::size_t i = 0; i < 26; ++i)
        t['A' + i] = t['a' + i] = static_cast<unsigned char>(11 + i);
    t['!'] = 37;
    t['.'] = 40;
    return t;
}

constexpr std::array<unsigned char, 256> codes = make_codes();

// The record piece of every byte value, ", #%-2d" rendered ahead of time:
// five bytes, padded to eight so that the hot loop copies a fixed width and
// lets the next piece overwrite the padding.
constexpr std::size_t piece_size = 5;
using piece = std::array<char, 8>;

constexpr std::array<piece, 256> make_pieces() {
    std::array<piece, 256> t{};
    for (std::size_t c = 0; c < t.size(); ++c) {
        const int v = codes[c] == no_code ? 0 : codes[c];
        const char tens = static_cast<char>('0' + v / 10);
        const char ones = static_cast<char>('0' + v % 10);
        t[c] = v < 10 ? piece{',', ' ', '#', ones, ' '} : piece{',', ' ', '#', tens, ones};
    }
    return t;
}

constexpr std::array<piece, 256> pieces = make_pieces();

constexpr std::size_t max_text = 1023; // bytes of text per record, newline included
constexpr char comment_head[] = "\t\t; ";
constexpr char record_head[] = "\t\t.db\t\t";
constexpr std::size_t head_size = sizeof msg::rejected_head - 1;
constexpr std::size_t tail_size = sizeof msg::rejected_tail - 1;
constexpr std::size_t diag_size = head_size + 1 + tail_size;

// Worst case that one record adds to each buffer; a buffer is drained
// before a record could overflow it, so a record is never split by a check.
constexpr std::size_t max_record_out = (sizeof comment_head - 1) + max_text + 1 +
                                       (sizeof record_head - 1) + 1 + 4 + max_text * piece_size +
                                       1 + (sizeof(piece) - piece_size);
constexpr std::size_t max_record_con = max_text * diag_size;

constexpr std::size_t in_size = convert_fill_size;
constexpr std::size_t out_size = std::size_t{1} << 20;
constexpr std::size_t con_size = std::size_t{1} << 17;

// Static, not on the stack: together they are larger than a default
// Windows thread stack.  The tool is single-threaded.
char in_buf[max_text + in_size];
char out_buf[out_size];
char con_buf[con_size];

struct sink {
    std::FILE *f;
    char *const begin;
    char *const limit; // drain when the next record might pass this point
    char *at = begin;
    bool failed = false;
};

// Writes what the sink holds; a failed write marks the sink and drops the
// bytes, so the caller only checks `failed` where it matters.
void drain(sink &s) {
    const auto n = static_cast<std::size_t>(s.at - s.begin);
    if (n > 0 && !s.failed && std::fwrite(s.begin, 1, n, s.f) != n)
        s.failed = true;
    s.at = s.begin;
}

char *put(char *o, const char *text, std::size_t n) {
    std::memcpy(o, text, n);
    return o + n;
}

// "#%-3d": a number sign, then the count left-aligned in three columns.
char *put_count(char *o, std::size_t n) {
    char digits[20];
    std::size_t k = 0;
    do {
        digits[k++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n > 0);
    *o++ = '#';
    for (std::size_t i = k; i > 0; --i)
        *o++ = digits[i - 1];
    for (; k < 3; ++k)
        *o++ = ' ';
    return o;
}

// One record: the comment repeating the text as read (its own newline
// included, so a whole line is followed by an empty line), then the count
// and one code per byte before the newline.
void put_record(const char *text, std::size_t len, sink &out, sink &con) {
    const bool whole_line = text[len - 1] == '\n';
    const std::size_t count = whole_line ? len - 1 : len;

    char *o = put(out.at, comment_head, sizeof comment_head - 1);
    o = put(o, text, len);
    *o++ = '\n';
    o = put(o, record_head, sizeof record_head - 1);
    o = put_count(o, count);

    const auto *p = reinterpret_cast<const unsigned char *>(text);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char c = p[i];
        std::memcpy(o, pieces[c].data(), sizeof(piece));
        o += piece_size;
        if (codes[c] == no_code) [[unlikely]] {
            char *d = put(con.at, msg::rejected_head, head_size);
            *d++ = static_cast<char>(c);
            con.at = put(d, msg::rejected_tail, tail_size);
        }
    }
    *o++ = '\n';
    out.at = o;
}

} // namespace

void convert_lines(std::FILE *in, std::FILE *out, std::FILE *console) {
    sink o{out, out_buf, out_buf + out_size - max_record_out};
    sink con{console, con_buf, con_buf + con_size - max_record_con};
    text_reader rd{in};

    // Unconverted text is in_buf[beg, end).  Only a piece shorter than a
    // record and without a newline is ever carried over to the next fill.
    std::size_t beg = 0;
    std::size_t end = 0;
    bool more = true;
    while (!o.failed) {
        const char *text = in_buf + beg;
        const std::size_t avail = end - beg;
        const std::size_t room = std::min(avail, max_text);
        const void *nl = std::memchr(text, '\n', room);
        std::size_t len = 0;
        if (nl != nullptr)
            len = static_cast<std::size_t>(static_cast<const char *>(nl) - text) + 1;
        else if (avail >= max_text || !more)
            len = room;
        if (len == 0) {
            if (!more)
                break;
            std::memmove(in_buf, text, avail);
            beg = 0;
            end = avail;
            const std::size_t got = read_text(rd, in_buf + end, in_size);
            more = got > 0;
            end += got;
            continue;
        }
        put_record(text, len, o, con);
        beg += len;
        if (o.at > o.limit)
            drain(o);
        if (con.at > con.limit)
            drain(con);
    }
    drain(o);
    drain(con);
}
