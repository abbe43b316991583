#include "convert.h"

#include "messages.h"
#include "platform.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(__x86_64__)
#include <emmintrin.h>
#endif

#if defined(__GNUC__)
#define NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define NOINLINE __declspec(noinline)
#else
#define NOINLINE
#endif

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

// The record piece of every byte value, ", #%-2d" rendered ahead of time.
// The hot loop copies all eight bytes of an entry and moves on by five, so
// the next piece (or the record's newline) overwrites the padding and the
// flag; one load serves both the copy and the test.
constexpr std::size_t piece_size = 5;
struct piece {
    char text[7];
    bool rejected;
};
static_assert(sizeof(piece) == sizeof(std::uint64_t));

constexpr std::array<std::uint64_t, 256> make_pieces() {
    std::array<std::uint64_t, 256> t{};
    for (std::size_t c = 0; c < t.size(); ++c) {
        const bool rejected = codes[c] == no_code;
        const int v = rejected ? 0 : codes[c];
        const char tens = static_cast<char>('0' + v / 10);
        const char ones = static_cast<char>('0' + v % 10);
        t[c] = std::bit_cast<std::uint64_t>(v < 10 ? piece{{',', ' ', '#', ones, ' '}, rejected}
                                                   : piece{{',', ' ', '#', tens, ones}, rejected});
    }
    return t;
}

constexpr std::array<std::uint64_t, 256> pieces = make_pieces();
constexpr std::uint64_t rejected_bit = std::bit_cast<std::uint64_t>(piece{{}, true});

constexpr std::size_t max_text = 1023; // bytes of text per record, newline included
constexpr char comment_head[] = "\t\t; ";
constexpr char record_head[] = "\t\t.db\t\t";
constexpr std::size_t head_size = sizeof msg::rejected_head - 1;
constexpr std::size_t tail_size = sizeof msg::rejected_tail - 1;
constexpr std::size_t diag_size = head_size + 1 + tail_size;

// Worst case that one record adds to each buffer, the surplus pieces of its
// last group included; a buffer is drained before a record could overflow
// it, so a record is never split by a check.
constexpr std::size_t max_record_out = (sizeof comment_head - 1) + max_text + 2 * line_end_size +
                                       (sizeof record_head - 1) + 1 + 4 + max_text * piece_size +
                                       line_end_size + 8 * piece_size + sizeof(piece);
constexpr std::size_t max_record_con = max_text * diag_size;

constexpr std::size_t in_size = convert_fill_size;
constexpr std::size_t out_size = std::size_t{1} << 20;
constexpr std::size_t con_size = std::size_t{1} << 17;

// Static, not on the stack: together they are larger than a default
// Windows thread stack.  The tool is single-threaded.
alignas(64) char in_buf[max_text + in_size + 7]; // a record's last group may look 7 bytes past it
alignas(64) char out_buf[out_size];
alignas(64) char con_buf[con_size];

struct sink {
    std::FILE* f;
    char* const begin;
    char* const limit; // drain when the next record might pass this point
    char* at = begin;
    bool failed = false;
};

// Writes what the sink holds; a failed write marks the sink and drops the
// bytes, so the caller only checks `failed` where it matters.
void drain(sink& s) {
    const auto n = static_cast<std::size_t>(s.at - s.begin);
    if (n > 0 && !s.failed && std::fwrite(s.begin, 1, n, s.f) != n)
        s.failed = true;
    s.at = s.begin;
}

char* put(char* o, const char* text, std::size_t n) {
    std::memcpy(o, text, n);
    return o + n;
}

// The text of a record, eight bytes at a time rather than through the
// runtime's memcpy: up to seven bytes past either end, where the input
// buffer has slack and the record's next bytes land.
char* put_text(char* o, const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n; i += 8)
        std::memcpy(o + i, text + i, 8);
    return o + n;
}

// "#%-3d" for every count a record can hold: a number sign, then the count
// left-aligned in three columns; four bytes, or five from 1000 up.
constexpr std::array<std::array<char, 8>, max_text + 1> make_counts() {
    std::array<std::array<char, 8>, max_text + 1> t{};
    for (std::size_t n = 0; n < t.size(); ++n) {
        std::array<char, 8> text{'#', ' ', ' ', ' '};
        const std::size_t digits = n >= 1000 ? 4 : n >= 100 ? 3 : n >= 10 ? 2 : 1;
        for (std::size_t at = digits, rest = n; at > 0; --at, rest /= 10)
            text[at] = static_cast<char>('0' + rest % 10);
        t[n] = text;
    }
    return t;
}

constexpr auto counts = make_counts();

char* put_count(char* o, std::size_t n) {
    std::memcpy(o, counts[n].data(), sizeof counts[n]);
    return o + (n >= 1000 ? 5 : 4);
}

// Where a record starts, for a watch: its line, and the bytes of that line
// in the records before it.
struct position {
    convert_watch* watch;
    unsigned long long line;
    unsigned long long column;
    bool rejected;           // the line so far held a rejected byte the watch placed
    bool placing;            // the watch still wants the places
    unsigned long long more; // rejected bytes since it stopped
};

// Which of bytes[0, n) are rejected, as bits.  Rejected bytes fall at
// random places, where a branch per byte would often be guessed wrong.
unsigned rejected_mask(const unsigned char* bytes, std::size_t n) {
    unsigned mask = 0;
    for (std::size_t i = 0; i < n; ++i)
        mask |= static_cast<unsigned>((pieces[bytes[i]] & rejected_bit) != 0) << i;
    return mask;
}

// The diagnostic for the rejected byte c.
void put_diag(sink& con, unsigned char c) {
    char* d = put(con.at, msg::rejected_head, head_size);
    *d++ = static_cast<char>(c);
    con.at = put(d, msg::rejected_tail, tail_size);
}

// The diagnostic for every rejected byte of bytes[0, n), in order.  Kept
// out of line so that the hot loop need not hold on to the bytes for it.
NOINLINE void report(const unsigned char* bytes, std::size_t n, sink& con) {
    for (unsigned mask = rejected_mask(bytes, n); mask != 0; mask &= mask - 1)
        put_diag(con, bytes[std::countr_zero(mask)]);
}

// The same, and the watch told where each is (bytes[0] is byte `at` of the
// record): a conversion without a watch does not pay for one.
NOINLINE void report_watched(const unsigned char* bytes, std::size_t n, sink& con, position& where,
                             std::size_t at) {
    const unsigned mask = rejected_mask(bytes, n);
    unsigned count = 0;
    for (unsigned m = mask; m != 0; m &= m - 1, ++count)
        put_diag(con, bytes[std::countr_zero(m)]);
    if (!where.placing) {
        where.more += count;
        return;
    }
    where.rejected = true;
    for (unsigned m = mask; m != 0; m &= m - 1, --count) {
        const auto k = static_cast<std::size_t>(std::countr_zero(m));
        if (!where.watch->rejected(where.line, where.column + at + k + 1, bytes[k])) {
            where.placing = false;
            where.more += count - 1;
            return;
        }
    }
}

// Copies the pieces of the eight bytes p[0, 8) to o; tells whether any of
// the first `valid` bytes is rejected.  There is no branch on `valid`: the
// pieces of surplus bytes land where the record's newline and the next
// record overwrite them.
#if defined(__SSE2__) && !defined(__x86_64__)
// A 32-bit build has no 64-bit register for a piece: it would copy each as
// two 32-bit halves and run short of registers for the loop.  SSE2 moves
// take a piece whole, and the rejected flags come from a table of bytes.
constexpr std::array<unsigned char, 256> make_rejected() {
    std::array<unsigned char, 256> t{};
    for (std::size_t c = 0; c < t.size(); ++c)
        t[c] = codes[c] == no_code ? 1 : 0;
    return t;
}

constexpr std::array<unsigned char, 256> rejected = make_rejected();

bool put_group(char* o, const unsigned char* p, std::size_t valid) {
    unsigned seen = 0;
    for (std::size_t k = 0; k < 8; ++k) {
        const unsigned char c = p[k];
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o + k * piece_size),
                         _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&pieces[c])));
        // A whole group needs no position; the last one keeps its valid bytes.
        seen |= valid == 8 ? rejected[c] : static_cast<unsigned>(rejected[c]) << k;
    }
    return (valid == 8 ? seen : seen & ((1U << valid) - 1)) != 0;
}
#else
bool put_group(char* o, const unsigned char* p, std::size_t valid) {
    std::uint64_t seen = 0;
    for (std::size_t k = 0; k < 8; ++k) {
        const std::uint64_t v = pieces[p[k]];
        std::memcpy(o + k * piece_size, &v, sizeof v);
        seen |= v & (std::uint64_t{0} - (k < valid));
    }
    return (seen & rejected_bit) != 0;
}
#endif

// One record: the comment repeating the text as read (its own newline
// included, so a whole line is followed by an empty line), then the count
// and one code per byte before the newline.  Every newline is written as
// the platform's line end.
template <bool watched>
void put_record(const char* text, std::size_t len, sink& out, sink& con, position& where) {
    const bool whole_line = text[len - 1] == '\n';
    const std::size_t count = whole_line ? len - 1 : len;

    char* o = put(out.at, comment_head, sizeof comment_head - 1);
    o = put_text(o, text, count);
    if (whole_line)
        o = put(o, line_end, line_end_size);
    o = put(o, line_end, line_end_size);
    o = put(o, record_head, sizeof record_head - 1);
    o = put_count(o, count);

    // Eight bytes at a time, the last zero to seven bytes as a group too:
    // only a group holding a rejected byte is looked at again.
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8, o += 8 * piece_size)
        if (put_group(o, p + i, 8)) [[unlikely]] {
            if constexpr (watched)
                report_watched(p + i, 8, con, where, i);
            else
                report(p + i, 8, con);
        }
    const std::size_t rest = count - i;
    if (put_group(o, p + i, rest)) [[unlikely]] {
        if constexpr (watched)
            report_watched(p + i, rest, con, where, i);
        else
            report(p + i, rest, con);
    }
    o += rest * piece_size;
    o = put(o, line_end, line_end_size);
    out.at = o;
}

// The conversion proper, made twice: a conversion without a watch keeps
// none of its bookkeeping in the loop.
template <bool watched>
void convert_all(text_reader& rd, sink& o, sink& con, convert_watch* watch) {
    position at{watch, 1, 0, false, true, 0};
    unsigned long long records = 0; // of the current line, for the watch

    // Unconverted text is in_buf[beg, end).  Only a piece shorter than a
    // record and without a newline is ever carried over to the next fill.
    std::size_t beg = 0;
    std::size_t end = 0;
    bool more = true;
    while (!o.failed) {
        const char* text = in_buf + beg;
        const std::size_t avail = end - beg;
        const std::size_t room = std::min(avail, max_text);
        const std::size_t nl = find_byte(text, room, '\n');
        std::size_t len = 0;
        if (nl < room)
            len = nl + 1;
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
        put_record<watched>(text, len, o, con, at);
        if constexpr (watched) {
            const bool whole_line = text[len - 1] == '\n';
            at.column += whole_line ? len - 1 : len;
            ++records;
            if (whole_line) {
                if (at.rejected || at.column > long_line)
                    watch->line_end(at.line, at.column, records);
                ++at.line;
                at.column = 0;
                at.rejected = false;
                records = 0;
            }
        }
        beg += len;
        if (o.at > o.limit)
            drain(o);
        if (con.at > con.limit)
            drain(con);
    }
    // A last line without a newline.
    if (watched && records > 0 && (at.rejected || at.column > long_line))
        watch->line_end(at.line, at.column, records);
    if (watched && at.more > 0)
        watch->rejected_more(at.more);
}

} // namespace

namespace {

void convert(text_reader& rd, std::FILE* out, std::FILE* console, convert_watch* watch) {
    sink o{out, out_buf, out_buf + out_size - max_record_out};
    sink con{console, con_buf, con_buf + con_size - max_record_con};
    if (watch == nullptr)
        convert_all<false>(rd, o, con, nullptr);
    else
        convert_all<true>(rd, o, con, watch);
    drain(o);
    drain(con);
}

} // namespace

int code_of(unsigned char byte) {
    return codes[byte] == no_code ? -1 : codes[byte];
}

void convert_lines(std::FILE* in, std::FILE* out, std::FILE* console, convert_watch* watch) {
    text_reader rd{in};
    convert(rd, out, console, watch);
}

void convert_text(const char* text, std::size_t n, std::FILE* out, std::FILE* console,
                  convert_watch* watch) {
    text_reader rd{nullptr};
    rd.mem = text;
    rd.left = n;
    convert(rd, out, console, watch);
}
