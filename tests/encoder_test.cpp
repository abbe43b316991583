// The encoder on temporary streams: the record layout, the code table, the
// 1023-byte reads, line ends, and failures of either stream.

#include "convert.h"
#include "model.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#ifdef _WIN32
#include <filesystem>
#include <process.h>
#endif

namespace {

using namespace std::string_literals;

std::string slurp(std::FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        s.append(buf, n);
    return s;
}

struct result {
    std::string out;
    std::string console;
};

// A binary stream deleted when closed.
std::FILE* temp_stream() {
#ifdef _WIN32
    // The Windows runtime's tmpfile names its files in the root of the drive,
    // where test processes running side by side collide.
    static int serial = 0;
    const auto path =
        std::filesystem::temp_directory_path() /
        ("viderav-test-" + std::to_string(_getpid()) + "-" + std::to_string(serial++));
    return _wfopen(path.c_str(), L"w+bD");
#else
    return std::tmpfile();
#endif
}

// The three streams of one conversion, closed when the test is done.
struct streams {
    std::FILE* in;
    std::FILE* out;
    std::FILE* con = temp_stream();

    explicit streams(std::FILE* input, std::FILE* output = temp_stream())
        : in(input), out(output) {}
    streams(const streams&) = delete;
    streams& operator=(const streams&) = delete;
    ~streams() {
        for (std::FILE* f : {in, out, con})
            if (f != nullptr)
                std::fclose(f);
    }
    bool open() const {
        return in && out && con;
    }
    void convert() {
        convert_lines(in, out, con);
    }
};

// What the encoder wrote, with each platform line end back to one LF, so
// that every platform is held to the same expectations.  A bare LF where a
// CR LF belongs fails.
std::string as_lf(const std::string& written) {
    if (line_end_size == 1)
        return written;
    std::string s;
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i] == '\n')
            ADD_FAILURE() << "a bare LF at byte " << i;
        if (written.compare(i, line_end_size, line_end) == 0)
            i += line_end_size - 1;
        s += written[i];
    }
    return s;
}

result convert(const std::string& input) {
    streams s(temp_stream());
    EXPECT_TRUE(s.open());
    std::fwrite(input.data(), 1, input.size(), s.in);
    std::rewind(s.in);
    s.convert();
    EXPECT_FALSE(std::ferror(s.in));
    EXPECT_FALSE(std::ferror(s.out));
    return {as_lf(slurp(s.out)), as_lf(slurp(s.con))};
}

TEST(Encoder, WorkedExamples) {
    const result hi = convert("Hi!\n");
    EXPECT_EQ(hi.out, "\t\t; Hi!\n\n\t\t.db\t\t#3  , #18, #19, #37\n");
    EXPECT_EQ(hi.console, "");

    const result ab = convert("a-b\n");
    EXPECT_EQ(ab.out, "\t\t; a-b\n\n\t\t.db\t\t#3  , #11, #0 , #12\n");
    EXPECT_EQ(ab.console, model_diag('-'));
}

TEST(Encoder, CodeTable) {
    const result r = convert("0123456789 AZaz!.\n");
    EXPECT_EQ(r.out, "\t\t; 0123456789 AZaz!.\n\n\t\t.db\t\t#17 "
                     ", #1 , #2 , #3 , #4 , #5 , #6 , #7 , #8 , #9 , #10"
                     ", #0 , #11, #36, #11, #36, #37, #40\n");
    EXPECT_EQ(r.console, "");

    const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string lower = letters;
    for (char& c : lower)
        c = static_cast<char>(c - 'A' + 'a');
    const std::string upper_out = convert(letters).out;
    const std::string lower_out = convert(lower).out;
    EXPECT_EQ(upper_out.substr(upper_out.find(".db")), lower_out.substr(lower_out.find(".db")));
    EXPECT_NE(upper_out.find(", #11, #12, #13"), std::string::npos);
    EXPECT_NE(upper_out.find(", #35, #36\n"), std::string::npos);
}

TEST(Encoder, EveryOtherByteIsRejectedOncePerOccurrence) {
    const std::string kept = " 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz!.\n";
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        // A CR before the newline would make a CR LF pair, and 0x1A ends
        // the text on Windows; line ends have a test of their own.
        if (kept.find(c) != std::string::npos || c == '\r' || (text_ends_at_ctrl_z && c == '\x1A'))
            continue;
        const std::string line = "A"s + c + c + "\n";
        const result r = convert(line);
        EXPECT_EQ(r.out, "\t\t; " + line + "\n\t\t.db\t\t#3  , #11, #0 , #0 \n") << "byte " << b;
        EXPECT_EQ(r.console, model_diag(c) + model_diag(c)) << "byte " << b;
    }
}

TEST(Encoder, LineShapes) {
    EXPECT_EQ(convert("").out, "");
    EXPECT_EQ(convert("\n").out, "\t\t; \n\n\t\t.db\t\t#0  \n");
    // The last line without a newline: no empty line after its comment.
    EXPECT_EQ(convert("A\nb.").out,
              "\t\t; A\n\n\t\t.db\t\t#1  , #11\n\t\t; b.\n\t\t.db\t\t#2  , #12, #40\n");
    // A percent sign is text, never a format.
    EXPECT_EQ(convert("%s%n\n").out, "\t\t; %s%n\n\n\t\t.db\t\t#4  , #0 , #29, #0 , #24\n");
}

TEST(Encoder, ReadsAtMost1023Bytes) {
    const std::string a1022(1022, 'A');
    const std::string a1023(1023, 'A');
    std::string p1022;
    for (int i = 0; i < 1022; ++i)
        p1022 += ", #11";
    const std::string p1023 = p1022 + ", #11";

    EXPECT_EQ(convert(a1022 + "\n").out, "\t\t; " + a1022 + "\n\n\t\t.db\t\t#1022" + p1022 + "\n");
    // A line of 1023 bytes ends at the limit; its newline is a read of its own.
    EXPECT_EQ(convert(a1023 + "\n").out,
              "\t\t; " + a1023 + "\n\t\t.db\t\t#1023" + p1023 + "\n\t\t; \n\n\t\t.db\t\t#0  \n");
    EXPECT_EQ(convert(a1023 + a1023 + "Z").out, "\t\t; " + a1023 + "\n\t\t.db\t\t#1023" + p1023 +
                                                    "\n\t\t; " + a1023 + "\n\t\t.db\t\t#1023" +
                                                    p1023 + "\n\t\t; Z\n\t\t.db\t\t#1  , #36\n");
    // A count beyond a byte's range is written in full.
    const result r = convert(std::string(300, '9') + "\n");
    EXPECT_NE(r.out.find("\t\t.db\t\t#300, #10, #10"), std::string::npos);
}

TEST(Encoder, ZeroByteIsAnOrdinaryRejectedByte) {
    const std::string line = "A\0B\n"s;
    const result r = convert(line + "\0"s);
    EXPECT_EQ(r.out, "\t\t; A\0B\n\n\t\t.db\t\t#3  , #11, #0 , #12\n"
                     "\t\t; \0\n\t\t.db\t\t#1  , #0 \n"s);
    EXPECT_EQ(r.console, model_diag('\0') + model_diag('\0'));
}

TEST(Encoder, LineEnds) {
    EXPECT_EQ(convert("AB\r\nC\r\n").out, convert("AB\nC\n").out);
    // A CR without its LF is an ordinary rejected byte.
    const result r = convert("A\rB\n\r");
    EXPECT_EQ(r.out, "\t\t; A\rB\n\n\t\t.db\t\t#3  , #11, #0 , #12\n"
                     "\t\t; \r\n\t\t.db\t\t#1  , #0 \n");
    EXPECT_EQ(r.console, model_diag('\r') + model_diag('\r'));
    // 0x1A ends the text on Windows, as its text mode does; elsewhere it is
    // an ordinary rejected byte.
    EXPECT_EQ(convert("A\x1A"
                      "B\n")
                  .out,
              text_ends_at_ctrl_z ? "\t\t; A\n\t\t.db\t\t#1  , #11\n"
                                  : "\t\t; A\x1A"
                                    "B\n\n\t\t.db\t\t#3  , #11, #0 , #12\n");
    // A CR LF pair is still one newline when it counts toward the limit.
    const std::string a1022(1022, 'A');
    EXPECT_EQ(convert(a1022 + "\r\n").out, convert(a1022 + "\n").out);
}

// CR LF pairs, 1023-byte reads and records straddling every fill boundary
// of the reader, checked against the plain model.
TEST(Encoder, MatchesModelAcrossFillBoundaries) {
    for (std::size_t shift = 0; shift < 6; ++shift) {
        for (std::size_t fills = 1; fills <= 2; ++fills) {
            const std::size_t edge = fills * convert_fill_size - 3 + shift;
            std::string in;
            while (in.size() + 1023 < edge)
                in += std::string(1023 - in.size() % 7, 'x') + "\r\n";
            in.resize(edge - 2, 'y');
            in += "\r\nZ\r\n";
            in += std::string(1023, 'q') + "\r\n\r";
            const model_result m = model_convert(in, text_ends_at_ctrl_z);
            const result r = convert(in);
            ASSERT_EQ(r.out, m.out) << "shift " << shift << " fills " << fills;
            ASSERT_EQ(r.console, m.console);
        }
    }
}

TEST(Encoder, MatchesModelOnRandomText) {
    std::mt19937 rng(20261208);
    const std::string alphabet = "aZ9 !.\n\n\n\r\r\n\0,-:?%\x1A\x80\xFF"s;
    for (int round = 0; round < 40; ++round) {
        const std::size_t size = round < 30 ? rng() % 3000 : rng() % 400000;
        const unsigned long_line = rng() % 4;
        std::string in;
        in.reserve(size);
        while (in.size() < size) {
            // Runs without a newline make reads end at the 1023-byte limit.
            const char c = alphabet[rng() % alphabet.size()];
            in += (long_line == 0 && c == '\n') ? 'n' : c;
        }
        const model_result m = model_convert(in, text_ends_at_ctrl_z);
        const result r = convert(in);
        ASSERT_EQ(r.out, m.out) << "round " << round;
        ASSERT_EQ(r.console, m.console) << "round " << round;
    }
}

#ifndef _WIN32
TEST(Encoder, StopsAtTheFirstFailedWrite) {
    streams s(temp_stream(), std::fopen("/dev/full", "w"));
    ASSERT_TRUE(s.open());
    const std::string line = "HELLO WORLD\n";
    for (int i = 0; i < 200000; ++i)
        std::fwrite(line.data(), 1, line.size(), s.in);
    const long size = std::ftell(s.in);
    std::rewind(s.in);
    s.convert();
    EXPECT_TRUE(std::ferror(s.out));
    EXPECT_FALSE(std::ferror(s.in));
    EXPECT_LT(std::ftell(s.in), size / 2) << "it went on reading after the output failed";
}

TEST(Encoder, ReadErrorEndsTheConversion) {
    // Reading a directory fails on POSIX systems.
    streams s(std::fopen(".", "r"));
    ASSERT_TRUE(s.open());
    s.convert();
    EXPECT_TRUE(std::ferror(s.in));
    EXPECT_FALSE(std::ferror(s.out));
    EXPECT_EQ(slurp(s.out), "");
}
#endif

#ifdef __GLIBC__
// A stream that yields its text and then fails, as a disk or a network file
// system may part way through a file.
struct failing_source {
    std::string text;
    std::size_t at = 0;
};

ssize_t read_then_fail(void* cookie, char* buf, std::size_t size) {
    auto* src = static_cast<failing_source*>(cookie);
    if (src->at == src->text.size()) {
        errno = EIO;
        return -1;
    }
    const std::size_t n = std::min(size, src->text.size() - src->at);
    std::memcpy(buf, src->text.data() + src->at, n);
    src->at += n;
    return static_cast<ssize_t>(n);
}

TEST(Encoder, ReadFailingMidwayIsReported) {
    failing_source src{std::string(5000, 'A') + "\nBC"};
    streams s(fopencookie(&src, "r", {read_then_fail, nullptr, nullptr, nullptr}));
    ASSERT_TRUE(s.open());
    s.convert();
    EXPECT_TRUE(std::ferror(s.in));
    EXPECT_FALSE(std::ferror(s.out));
    // What was read before the failure is converted; nothing is made up.
    EXPECT_EQ(slurp(s.out), model_convert(src.text, text_ends_at_ctrl_z).out);
}
#endif

} // namespace
