// The one place where the POSIX and Windows builds differ: how line ends are
// read and written, how the two files are opened, and what a failed or
// interrupted run leaves behind.
//
// On Windows the runtime's text mode already reads a CR LF pair as one
// newline and ends the input at a 0x1A byte, so reading is a plain fread.
// Its text mode would also write every LF as CR LF, but a byte at a time, so
// the output and the console are binary streams and the program writes the
// CR LF itself: the same bytes, written in bulk.
//
// POSIX streams hand over the bytes as they are, so the reader folds each
// CR LF pair into LF itself, the same text thus giving the same records on
// every platform.  A CR not followed by LF, and 0x1A, stay ordinary bytes.
#pragma once

#include <cstddef>
#include <cstdio>

#ifdef _WIN32
#define LINE_END "\r\n"
inline constexpr bool reader_folds_crlf = false;
#else
#define LINE_END "\n"
inline constexpr bool reader_folds_crlf = true;
#endif

// What every newline written, to the output or the console, becomes.
inline constexpr char line_end[] = LINE_END;
inline constexpr std::size_t line_end_size = sizeof line_end - 1;

struct text_reader {
    std::FILE* in;
    bool done = false;       // the stream reported its end or an error
    bool pending_cr = false; // a CR ended the last fill; its LF may come next
};

// Fills buf with up to size bytes of text (size must be at least 2).
// Returns 0 only once the stream has no more text, at its end or on a read
// error; ferror(in) tells which.
std::size_t read_text(text_reader& rd, char* buf, std::size_t size);

// Makes the process safe to run whatever started it, before anything is
// printed: a closed standard descriptor is opened on the null device, so no
// file of the run can take its place; a console whose reader has gone fails
// its writes instead of killing the process; standard output gets a full
// buffer of its own; an interrupted conversion removes its output.
void prepare_run();

// Opens the input for reading in text mode; nullptr when it cannot be opened
// or is a directory.  On Windows no other open may write to it meanwhile.
std::FILE* open_input(const char* path);

// Opens the output for writing; nullptr when it cannot be created, or when it
// is the input itself under whatever name.  A regular file is emptied, and
// from then on counts as this run's to remove; a device or FIFO is written as
// it is.
std::FILE* open_output(const char* path, std::FILE* in);

// After the output is closed: removes it when the run failed and the output
// is this run's regular file (a symbolic link's target, the link kept).
// Either way an interruption removes nothing after this.
void settle_output(bool complete);
