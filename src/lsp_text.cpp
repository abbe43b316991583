#include "lsp_text.h"

#include "convert.h"
#include "folds.h"
#include "platform.h"
#include "run.h"
#include "utf8.h"

#include <algorithm>
#include <iterator>

bool utf8_positions = false;

namespace {

const unsigned char* bytes_of(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::size_t units(std::size_t step, bool whole) {
    if (utf8_positions)
        return step;
    return whole && step == 4 ? 2 : 1;
}

// The code point of the well-formed character p[0, n).
char32_t point_of(const unsigned char* p, std::size_t n) {
    char32_t point = n == 1 ? p[0] : p[0] & (0x7FU >> n);
    for (std::size_t i = 1; i < n; ++i)
        point = (point << 6) | (p[i] & 0x3FU);
    return point;
}

// What the table has for the well-formed character p[0, n), or 0.
char fold_of(const unsigned char* p, std::size_t n) {
    if (n < 2)
        return '\0';
    const char32_t point = point_of(p, n);
    const auto* at = std::lower_bound(std::begin(folds), std::end(folds), point,
                                      [](const fold& f, char32_t c) { return f.point < c; });
    return at != std::end(folds) && at->point == point ? at->to : '\0';
}

// The encoder's line that holds offset: where it starts and ends (its
// newline, and a CR before it, left out).
struct span {
    std::size_t start;
    std::size_t end;
};

span record_line(const document& d, std::size_t offset) {
    const auto k = static_cast<std::size_t>(
        std::upper_bound(d.records.begin(), d.records.end(), offset) - d.records.begin() - 1);
    const std::size_t start = d.records[k];
    std::size_t end = k + 1 < d.records.size() ? d.records[k + 1] - 1 : d.text.size();
    if (end > start && end < d.text.size() && d.text[end - 1] == '\r')
        --end;
    return {start, end};
}

// The text's own line end, for a line the server breaks: its first one.
std::string line_end_of(const std::string& text) {
    const std::size_t at = text.find_first_of("\r\n");
    if (at == std::string::npos || text[at] == '\n')
        return "\n";
    return at + 1 < text.size() && text[at + 1] == '\n' ? "\r\n" : "\r";
}

// How a character is named in a fix's title: itself where it shows, else
// its byte.
std::string shown(const std::string& text, std::size_t from, std::size_t to) {
    const auto c = static_cast<unsigned char>(text[from]);
    if (to - from > 1 || (c > 0x20 && c < 0x7F)) {
        std::string quoted(1, '\'');
        quoted.append(text, from, to - from);
        quoted += '\'';
        return quoted;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "byte %02X", c);
    return hex;
}

} // namespace

void document::index() {
    records.assign(1, 0);
    const std::size_t n = text.size();
    const char* t = text.data();
    for (std::size_t i = 0; (i += find_byte(t + i, n - i, '\n')) < n; ++i)
        records.push_back(i + 1);
    lines.assign(1, 0);
    for (std::size_t i = 0; (i += find_byte(t + i, n - i, '\r')) < n; ++i)
        if (i + 1 == n || t[i + 1] != '\n')
            lines.push_back(i + 1);
    // Lone CRs are rare: without them the two are the same.
    if (lines.size() == 1) {
        lines = records;
        return;
    }
    lines.insert(lines.end(), records.begin() + 1, records.end());
    std::sort(lines.begin(), lines.end());
}

std::size_t document::line_end(std::size_t line) const {
    if (line + 1 >= lines.size())
        return text.size();
    std::size_t end = lines[line + 1] - 1;
    if (text[end] == '\n' && end > lines[line] && text[end - 1] == '\r')
        --end;
    return end;
}

std::size_t document::offset_of(std::size_t line, std::size_t character) const {
    if (line >= lines.size())
        return text.size();
    const std::size_t end = line_end(line);
    std::size_t at = lines[line];
    const unsigned char* p = bytes_of(text);
    while (at < end) {
        bool whole = false;
        const std::size_t step = utf8_step(p + at, end - at, whole);
        const std::size_t u = units(step, whole);
        if (u > character)
            break;
        character -= u;
        at += step;
    }
    return at;
}

place document::place_of(std::size_t offset, bool after) const {
    offset = std::min(offset, text.size());
    const auto line = static_cast<std::size_t>(
        std::upper_bound(lines.begin(), lines.end(), offset) - lines.begin() - 1);
    const std::size_t end = line_end(line);
    const unsigned char* p = bytes_of(text);
    std::size_t character = 0;
    for (std::size_t at = lines[line]; at < offset && at < end;) {
        bool whole = false;
        const std::size_t step = utf8_step(p + at, end - at, whole);
        if (at + step > offset && !after)
            break;
        character += units(step, whole);
        at += step;
    }
    return {line, character};
}

std::vector<item> find_in(const document& d, bool fail_on_rejected, bool fail_on_long_lines,
                          std::FILE* nowhere) {
    located_options opt{};
    opt.text = "";
    opt.form = line_form::sarif;
    opt.limit = located_most;
    opt.fail_on_rejected = fail_on_rejected;
    opt.fail_on_long_lines = fail_on_long_lines;
    located_lines lines(opt, nowhere);
    check_text(d.text.data(), d.text.size(), nowhere, lines);
    int count = 0;
    const finding* found = located_lines::findings(count);
    std::vector<item> items;
    items.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const finding& f = found[i];
        // A document in memory is far below 4 GiB, even on 32 bits.
        const auto line = static_cast<std::size_t>(f.line - 1);
        const std::size_t start = line < d.records.size() ? d.records[line] : d.text.size();
        std::size_t from = start + static_cast<std::size_t>(f.column - 1);
        std::size_t to = from + static_cast<std::size_t>(std::max(f.bytes, 1));
        if (f.code == code_long || f.code == code_more_long) {
            // The part the length byte cannot hold, where to cut.
            from = start + long_line;
            to = record_line(d, start).end;
        }
        items.push_back({std::min(from, d.text.size()), std::min(to, d.text.size()), f.code,
                         f.error, f.message});
    }
    return items;
}

std::string describe(const document& d, std::size_t offset) {
    std::string said;
    const unsigned char* p = bytes_of(d.text);
    const std::size_t n = d.text.size();
    if (offset < n && p[offset] != '\n' &&
        !(p[offset] == '\r' && offset + 1 < n && p[offset + 1] == '\n')) {
        bool whole = false;
        const std::size_t step = utf8_step(p + offset, n - offset, whole);
        const int code = step == 1 ? code_of(p[offset]) : -1;
        if (code >= 0) {
            said = "'" + d.text.substr(offset, 1) + "': code " + std::to_string(code);
        } else if (whole) {
            said = rejected_message(p + offset, static_cast<int>(step), offset == 0);
            if (const char to = fold_of(p + offset, step))
                said += std::string("; '") + to + "' has a code";
        } else {
            for (std::size_t i = 0; i < step; ++i)
                said += std::string(i ? "\n" : "") + rejected_message(p + offset + i, 1, false);
        }
        said += "\n";
    }
    const span line = record_line(d, std::min(offset, n));
    const std::size_t length = line.end - line.start;
    said += "Its line: " + std::to_string(length) + " bytes";
    if (length > 1023)
        said += ", in " + std::to_string((length + 1022) / 1023) +
                " records of at most 1023 bytes, whose length bytes hold the first one's 255";
    else if (length > long_line)
        said += " in one record, whose length byte holds " + std::to_string(length & 255) +
                " once assembled (at most 255 bytes assemble exactly)";
    else
        said += " in one record, whose length byte holds them";
    return said;
}

std::vector<fix> fixes_for(const document& d, std::size_t from, std::size_t to) {
    std::vector<fix> fixes;
    const unsigned char* p = bytes_of(d.text);
    // A range holds the findings it overlaps; a cursor the one it is on,
    // else one that ends where it is.
    const auto in = [&](const item& f, bool ending) {
        if (from < to)
            return f.from < to && f.to > from;
        return ending ? f.to == from : f.from <= from && from < f.to;
    };
    const bool ending = from == to && std::none_of(d.found.begin(), d.found.end(),
                                                   [&](const item& f) { return in(f, false); });
    for (std::size_t i = 0; i < d.found.size(); ++i) {
        const item& f = d.found[i];
        if (!in(f, ending))
            continue;
        const int mends = static_cast<int>(i);
        if (f.code == code_mark) {
            fixes.push_back({"Remove the byte-order mark", {{f.from, f.to, ""}}, mends, true});
        } else if (f.code == code_rejected) {
            const std::string it = shown(d.text, f.from, f.to);
            if (const char form = fold_of(p + f.from, f.to - f.from))
                fixes.push_back({std::string("Write '") + form + "' for " + it,
                                 {{f.from, f.to, std::string(1, form)}},
                                 mends,
                                 true});
            fixes.push_back({"Remove " + it, {{f.from, f.to, ""}}, mends});
        } else if (f.code == code_long) {
            // The last space at byte 256 of the line or before it: the
            // line before it then holds at most 255 bytes.
            const std::size_t start = f.from - long_line;
            const std::size_t space = d.text.rfind(' ', f.from);
            if (space != std::string::npos && space >= start)
                fixes.push_back({"Break the line at the last space before byte 256",
                                 {{space, space + 1, line_end_of(d.text)}},
                                 mends});
        }
    }
    return fixes;
}

fix fix_all(const document& d) {
    fix all{"Write each character the table has a form for in that form", {}, -1, false, true};
    const unsigned char* p = bytes_of(d.text);
    const std::size_t n = d.text.size();
    std::size_t at = 0;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        all.edits.push_back({0, 3, ""});
        at = 3;
    }
    while (at < n) {
        // ASCII has no form to take: skip to the next byte above it.
        while (at < n && p[at] < 0x80)
            ++at;
        if (at == n)
            break;
        bool whole = false;
        const std::size_t step = utf8_step(p + at, n - at, whole);
        if (const char form = whole ? fold_of(p + at, step) : '\0')
            all.edits.push_back({at, at + step, std::string(1, form)});
        at += step;
    }
    return all;
}
