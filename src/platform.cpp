#include "platform.h"

#include <cstring>

namespace {

// Drops the CR of every CR LF pair in buf[0, n), in place; returns the new
// length.
[[maybe_unused]] std::size_t fold_crlf(char* buf, std::size_t n) {
    char* const end = buf + n;
    char* out = buf;
    char* from = buf;
    while (auto* cr =
               static_cast<char*>(std::memchr(from, '\r', static_cast<std::size_t>(end - from)))) {
        const bool pair = cr + 1 < end && cr[1] == '\n';
        char* const keep_end = pair ? cr : cr + 1;
        std::memmove(out, from, static_cast<std::size_t>(keep_end - from));
        out += keep_end - from;
        from = cr + 1;
    }
    std::memmove(out, from, static_cast<std::size_t>(end - from));
    out += end - from;
    return static_cast<std::size_t>(out - buf);
}

} // namespace

std::size_t read_text(text_reader& rd, char* buf, std::size_t size) {
    std::size_t n = 0;
    if (rd.pending_cr) {
        buf[n++] = '\r';
        rd.pending_cr = false;
    }
    if (!rd.done) {
        const std::size_t want = size - n;
        const std::size_t got = std::fread(buf + n, 1, want, rd.in);
        // fread comes back short only at the end of the stream or on an
        // error; asking again could block on a terminal or a pipe.
        rd.done = got < want;
        n += got;
    }
    if constexpr (reader_folds_crlf) {
        n = fold_crlf(buf, n);
        if (n > 0 && buf[n - 1] == '\r' && !rd.done) {
            rd.pending_cr = true;
            --n;
        }
    }
    return n;
}
