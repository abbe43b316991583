#include "sarif.h"

#include "platform.h"
#include "run.h"
#include "utf8.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

struct rule {
    kind_code code;
    const char* name;
    const char* description;
};

constexpr rule rules[] = {
    {code_rejected, "rejected-character",
     "A character the code table lacks: the font has no glyph for it, and it is written as "
     "code 0, a blank glyph, one per byte."},
    {code_mark, "byte-order-mark",
     "The text begins with a UTF-8 byte-order mark, whose three bytes are rejected; save the "
     "text without one."},
    {code_more_rejected, "more-rejected-characters",
     "More rejected characters than are shown one by one."},
    {code_long, "long-line",
     "A line over 255 bytes: its record's length byte cannot hold its length once assembled."},
    {code_more_long, "more-long-lines", "More lines over 255 bytes than are shown one by one."},
};

// A JSON string's contents: quotes, backslashes and control bytes escaped,
// and each byte that is no part of a UTF-8 character written as \xHH, as
// the lines write a name's control bytes: JSON must be UTF-8, and a name
// may be in any encoding.
void put_json(std::FILE* to, const char* s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    for (std::size_t n = std::strlen(s); n > 0;) {
        bool whole = false;
        const std::size_t step = utf8_step(p, n, whole);
        if (p[0] == '"' || p[0] == '\\')
            std::fprintf(to, "\\%c", p[0]);
        else if (p[0] < 0x20 || p[0] == 0x7F)
            std::fprintf(to, "\\u%04X", p[0]);
        else if (whole)
            std::fwrite(p, 1, step, to);
        else
            for (std::size_t i = 0; i < step; ++i)
                std::fprintf(to, "\\\\x%02X", p[i]);
        p += step;
        n -= step;
    }
}

// A full path as a file URI: every byte but the unreserved ones, the
// separators (as slashes) and a drive's colon percent-encoded.
void put_uri(std::FILE* to, const char* path) {
    std::fputs(path[0] == '/' ? "file://" : "file:///", to);
    for (const char* p = path; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            std::strchr("-._~/:", c) != nullptr)
            std::fputc(c, to);
        else if (c != '/' && std::strchr(path_separators, c) != nullptr)
            std::fputc('/', to);
        else
            std::fprintf(to, "%%%02X", c);
    }
}

// Where each of lines[0, n) starts in the text, in bytes; false where the
// text cannot be read again: anything but a regular file, which could wait
// for a writer that never comes.  lines is sorted.
bool line_starts(const char* path, const unsigned long long* lines, unsigned long long* starts,
                 int n) {
    std::FILE* in = regular_file(path) ? open_input(path) : nullptr;
    if (in == nullptr)
        return false;
    static char buf[1 << 16];
    unsigned long long line = 1;
    unsigned long long offset = 0;
    int i = 0;
    while (i < n && lines[i] == line)
        starts[i++] = 0;
    for (std::size_t got; i < n && (got = std::fread(buf, 1, sizeof buf, in)) > 0;) {
        for (std::size_t at = 0; i < n;) {
            const std::size_t nl = at + find_byte(buf + at, got - at, '\n');
            if (nl == got)
                break;
            ++line;
            at = nl + 1;
            while (i < n && lines[i] == line)
                starts[i++] = offset + at;
        }
        offset += got;
    }
    const bool read = std::ferror(in) == 0 && i == n;
    std::fclose(in);
    return read;
}

bool first_result = true;

} // namespace

void sarif_begin(std::FILE* to, const char* version) {
    std::fprintf(to,
                 "{\"$schema\":\"https://json.schemastore.org/sarif-2.1.0.json\","
                 "\"version\":\"2.1.0\",\"runs\":[{\"tool\":{\"driver\":{"
                 "\"name\":\"viderav-build\",\"version\":\"%s\",\"rules\":[",
                 version);
    for (const rule& r : rules)
        std::fprintf(to,
                     "%s{\"id\":\"VR%d\",\"name\":\"%s\",\"shortDescription\":{\"text\":\"%s\"},"
                     "\"defaultConfiguration\":{\"level\":\"warning\"}}",
                     &r == rules ? "" : ",", static_cast<int>(r.code), r.name, r.description);
    std::fputs(R"(]}},"columnKind":"utf16CodeUnits","results":[)", to);
}

void sarif_text(std::FILE* to, const char* path, const finding* found, int count) {
    if (count == 0)
        return;
    constexpr int most = 2 * located_most + 2;
    static unsigned long long lines[most];
    static unsigned long long starts[most];
    int n = 0;
    for (int i = 0; i < count && n < most; ++i)
        lines[n++] = found[i].line;
    std::sort(lines, lines + n);
    n = static_cast<int>(std::unique(lines, lines + n) - lines);
    const bool offsets = line_starts(path, lines, starts, n);

    for (int i = 0; i < count; ++i) {
        const finding& f = found[i];
        const auto index = std::find_if(std::begin(rules), std::end(rules),
                                        [&](const rule& r) { return r.code == f.code; }) -
                           std::begin(rules);
        std::fprintf(to,
                     "%s{\"ruleId\":\"VR%d\",\"ruleIndex\":%d,\"level\":\"%s\","
                     "\"message\":{\"text\":\"",
                     first_result ? "" : ",", static_cast<int>(f.code), static_cast<int>(index),
                     f.error ? "error" : "warning");
        first_result = false;
        put_json(to, f.message);
        std::fputs(R"("},"locations":[{"physicalLocation":{"artifactLocation":{"uri":")", to);
        put_uri(to, path);
        std::fprintf(to, R"("},"region":{"startLine":%llu,"startColumn":%llu)", f.line, f.column16);
        if (offsets) {
            const auto at = std::lower_bound(lines, lines + n, f.line) - lines;
            std::fprintf(to, ",\"byteOffset\":%llu", starts[at] + f.column - 1);
        }
        std::fputs("}}}]}", to);
    }
}

bool sarif_flush(std::FILE* to) {
    return std::fflush(to) == 0 && std::ferror(to) == 0;
}

bool sarif_end(std::FILE* to, int status) {
    std::fprintf(to, "],\"invocations\":[{\"executionSuccessful\":%s,\"exitCode\":%d}]}]}\n",
                 status == exit_done || status == exit_refused ? "true" : "false", status);
    return sarif_flush(to);
}
