#pragma once

#include <cstddef>
#include <cstdio>

// How much input the encoder asks its stream for at a time.  The fuzzing
// build makes it tiny, so that fill boundaries fall everywhere.
#ifndef VIDERAV_FILL_SIZE
#define VIDERAV_FILL_SIZE (1 << 17)
#endif
inline constexpr std::size_t convert_fill_size = VIDERAV_FILL_SIZE;

// The code the table gives a byte, or -1 where it rejects the byte.
int code_of(unsigned char byte);

// The longest line a record's length byte holds.
inline constexpr unsigned long long long_line = 255;

// What a build is told of a text as it is converted, each position
// computed where the bytes are read: lines and columns count from 1, in
// bytes of the text as read (a CR LF pair one newline), a line over 1023
// bytes being one line of several records.
struct convert_watch {
    // A byte the code table rejects, in the order of the text.  Returns
    // false once the watch needs no more places: from then on it is only
    // told, at the end, how many more rejected bytes there were.
    virtual bool rejected(unsigned long long line, unsigned long long column,
                          unsigned char byte) = 0;
    virtual void rejected_more(unsigned long long count) = 0;
    // The end of a line of `length` bytes (its newline not counted), which
    // took `records` records: told only of a line that held a rejected
    // byte or is longer than long_line bytes, so that a clean text costs
    // the watch nothing per line.
    virtual void line_end(unsigned long long line, unsigned long long length,
                          unsigned long long records) = 0;

  protected:
    // Never deleted through this interface.
    ~convert_watch() = default;
};

// Reads the text of `in` to its end and writes one assembler comment and one
// `.db` record per line of at most 1023 bytes to `out`; every byte the code
// table rejects is reported on `console` and written as code 0.
//
// Neither stream is opened, closed or repositioned here.  The conversion
// stops at the first failed read or write; the caller tells which from
// ferror(in) and ferror(out).  Failed console writes do not stop it.  With
// a watch, it is told of every rejected byte and every line.
void convert_lines(std::FILE* in, std::FILE* out, std::FILE* console = stdout,
                   convert_watch* watch = nullptr);

// The same for the text text[0, n) held in memory, such as an editor's
// unsaved buffer.
void convert_text(const char* text, std::size_t n, std::FILE* out, std::FILE* console,
                  convert_watch* watch);
