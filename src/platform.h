// The one place where the POSIX and Windows builds differ: how a text
// stream's line ends reach the encoder.
//
// On Windows the runtime's text mode already reads a CR LF pair as one
// newline and ends the input at a 0x1A byte, so reading is a plain fread.
// POSIX streams hand over the bytes as they are, so the reader folds each
// CR LF pair into LF itself, the same text thus giving the same records on
// every platform.  A CR not followed by LF, and 0x1A, stay ordinary bytes.
#pragma once

#include <cstddef>
#include <cstdio>

#ifdef _WIN32
inline constexpr bool reader_folds_crlf = false;
#else
inline constexpr bool reader_folds_crlf = true;
#endif

struct text_reader {
    std::FILE* in;
    bool done = false;       // the stream reported its end or an error
    bool pending_cr = false; // a CR ended the last fill; its LF may come next
};

// Fills buf with up to size bytes of text (size must be at least 2).
// Returns 0 only once the stream has no more text, at its end or on a read
// error; ferror(in) tells which.
std::size_t read_text(text_reader& rd, char* buf, std::size_t size);
