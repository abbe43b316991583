// Writes the benchmark inputs, the same bytes on every run:
//
//   viderav_gen text MIB FILE      mixed-case words, digits, spaces, ! and ., about
//                                  1% rejected bytes, lines of 1 to a few hundred
//                                  bytes with some over 1023
//   viderav_gen rejected MIB FILE  only bytes outside the code table
//   viderav_gen line MIB FILE      one line of text with no newline at all
//
// It makes no zero bytes and no CR, so that a converter that reads with
// fgets and one that does not agree on every byte.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A fixed linear congruential generator: the inputs never depend on the
// standard library's choice of engine or distribution.
struct lcg {
    std::uint64_t s = 0x2545F4914F6CDD1DULL;
    std::uint32_t next() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(s >> 33);
    }
    std::uint32_t below(std::uint32_t n) {
        return next() % n;
    }
};

constexpr char rejected[] = ",-:?'\"()/;";

void word(std::string& s, lcg& r) {
    const std::uint32_t kind = r.below(100);
    if (kind < 10) {
        for (std::uint32_t n = 1 + r.below(6); n > 0; --n)
            s += static_cast<char>('0' + r.below(10));
        return;
    }
    const bool caps = kind < 20;
    for (std::uint32_t n = 1 + r.below(9); n > 0; --n) {
        const char base = (caps || (n == 1 && r.below(4) == 0)) ? 'A' : 'a';
        s += static_cast<char>(base + r.below(26));
    }
    const std::uint32_t end = r.below(100);
    if (end < 6)
        s += '.';
    else if (end < 8)
        s += '!';
    else if (end < 14)
        s += rejected[r.below(sizeof rejected - 1)];
}

std::string text_line(lcg& r) {
    // Mostly short lines, some long ones, a few longer than a record.
    const std::uint32_t pick = r.below(1000);
    const std::uint32_t len = pick < 990   ? 1 + r.below(120)
                              : pick < 997 ? 200 + r.below(400)
                                           : 1024 + r.below(3000);
    std::string s;
    while (s.size() < len) {
        if (!s.empty())
            s += ' ';
        word(s, r);
    }
    s.resize(len);
    s += '\n';
    return s;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fputs("usage: viderav_gen text|rejected|line MIB FILE\n", stderr);
        return 1;
    }
    const std::string kind = argv[1];
    const std::uint64_t total = std::strtoull(argv[2], nullptr, 10) << 20;
    std::FILE* f = std::fopen(argv[3], "wb");
    if (f == nullptr) {
        std::perror(argv[3]);
        return 1;
    }
    lcg r;
    std::string chunk;
    std::uint64_t written = 0;
    while (written < total) {
        chunk.clear();
        while (chunk.size() < (1u << 16)) {
            if (kind == "text") {
                chunk += text_line(r);
            } else if (kind == "rejected") {
                // Bytes 0x80 and up, and ASCII punctuation outside the table.
                const std::uint32_t v = r.below(100);
                chunk += v < 90 ? static_cast<char>(0x80 + r.below(128))
                                : rejected[r.below(sizeof rejected - 1)];
            } else if (kind == "line") {
                std::string s = text_line(r);
                s.back() = ' ';
                chunk += s;
            } else {
                std::fprintf(stderr, "unknown input kind %s\n", argv[1]);
                return 1;
            }
        }
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), total - written));
        if (std::fwrite(chunk.data(), 1, n, f) != n) {
            std::perror(argv[3]);
            return 1;
        }
        written += n;
    }
    if (std::fclose(f) != 0) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}
