// Reading text and folding its line ends: the same on every platform.
#include "platform.h"

#include <cstring>

namespace {

// Drops the CR of every CR LF pair in buf[0, n), in place; returns the new
// length.
std::size_t fold_crlf(char* buf, std::size_t n) {
    std::size_t out = 0;
    std::size_t from = 0;
    for (std::size_t cr; (cr = from + find_byte(buf + from, n - from, '\r')) < n;) {
        const bool pair = cr + 1 < n && buf[cr + 1] == '\n';
        const std::size_t keep_end = pair ? cr : cr + 1;
        if (out != from)
            std::memmove(buf + out, buf + from, keep_end - from);
        out += keep_end - from;
        from = cr + 1;
    }
    // Text without a CR LF pair, the common case, stays where it is.
    if (out != from)
        std::memmove(buf + out, buf + from, n - from);
    return out + n - from;
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
        std::size_t got = 0;
        if (rd.in != nullptr) {
            got = std::fread(buf + n, 1, want, rd.in);
        } else if (rd.left > 0) {
            got = want < rd.left ? want : rd.left;
            std::memcpy(buf + n, rd.mem, got);
            rd.mem += got;
            rd.left -= got;
        }
        // fread comes back short only at the end of the stream or on an
        // error; asking again could block on a terminal or a pipe.
        rd.done = got < want;
        if constexpr (text_ends_at_ctrl_z) {
            const std::size_t end = find_byte(buf + n, got, '\x1A');
            rd.done = rd.done || end < got;
            got = end;
        }
        n += got;
    }
    n = fold_crlf(buf, n);
    if (n > 0 && buf[n - 1] == '\r' && !rd.done) {
        rd.pending_cr = true;
        --n;
    }
    return n;
}
