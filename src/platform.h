// The one place where the POSIX and Windows builds differ: how line ends are
// read and written, how the two files and the console are opened, and what a
// failed or interrupted run leaves behind.  platform_posix.cpp and
// platform_windows.cpp each hold one platform's half; line_ends.cpp what both
// share.
//
// Every stream is binary and the program handles line ends itself, on every
// platform: the reader folds each CR LF pair into LF (a CR not followed by
// LF stays an ordinary byte), so the same text gives the same records
// everywhere.  On Windows the reader also ends the input at a 0x1A byte and
// every newline is written as CR LF, the bytes the runtime's text mode would
// give; that text mode works a byte at a time, and this works in bulk.
#pragma once

#include <cstddef>
#include <cstdio>

#ifdef _WIN32
#define LINE_END "\r\n"
inline constexpr bool text_ends_at_ctrl_z = true;
inline constexpr char path_separators[] = "/\\";
inline constexpr char null_device[] = "NUL";
#else
#define LINE_END "\n"
inline constexpr bool text_ends_at_ctrl_z = false;
inline constexpr char path_separators[] = "/";
inline constexpr char null_device[] = "/dev/null";
#endif

// What every newline written, to the output or the console, becomes.
inline constexpr char line_end[] = LINE_END;
inline constexpr std::size_t line_end_size = sizeof line_end - 1;

// The first c in p[0, n), or n.
std::size_t find_byte(const char* p, std::size_t n, char c);

struct text_reader {
    std::FILE* in;           // nullptr: the text is mem[0, left)
    bool done = false;       // the stream reported its end or an error
    bool pending_cr = false; // a CR ended the last fill; its LF may come next
    const char* mem = nullptr;
    std::size_t left = 0;
};

// Fills buf with up to size bytes of text (size must be at least 2).
// Returns 0 only once the stream has no more text, at its end or on a read
// error; ferror(in) tells which.
std::size_t read_text(text_reader& rd, char* buf, std::size_t size);

// Makes the process safe to run whatever started it, before anything is
// printed: a closed standard descriptor is opened on the null device, so no
// file of the run can take its place; a console whose reader has gone fails
// its writes instead of killing the process, and a slow one is waited for.
// Returns the console: standard output, with a full buffer of its own.
// argv is main's own: on Windows the files are opened by the names the
// system holds for those arguments, not by their ANSI spellings.
std::FILE* prepare_run(int argc, char* argv[]);

// Opens the input for reading; nullptr when it cannot be opened (on
// Windows, also when the argument's ANSI spelling does not match the name
// the system holds), is a directory, or is the file standard output is
// sent to: then nothing more reaches the console, lest it reach the input.
// On Windows no other open may write to the input meanwhile.
std::FILE* open_input(const char* path);

// Opens the output for writing; nullptr when it cannot be created, when it
// is the input itself under whatever name, or when it is the file standard
// output is sent to.  A regular file is created, or emptied if it exists,
// and from then on counts as this run's to remove, also when the run is
// interrupted or killed; where its removal cannot be made ready first, the
// file is left untouched and nullptr returned.  A device or FIFO is written
// as it is.
std::FILE* open_output(const char* path, std::FILE* in);

// Closes the output.  Unless the run is complete and the close succeeds,
// the output is removed when it is this run's regular file (a symbolic
// link's target, the link kept).  Returns false when it could not be
// closed, or not kept.
bool close_output(std::FILE* out, bool complete);

// Whether standard output was closed when the process started: what is
// written there now goes to the null device.
bool console_closed();

// Which standard stream of the run path is the file of: 1 standard output,
// 2 standard error, 0 neither (a device, such as a terminal, is no file).
// Nothing is read or written.
int standard_stream_of(const char* path);

// viderav-build's standard error, where its located lines go.  Like the
// console it waits for a slow reader, and a file of the run's (the text,
// the output or the log) that it is sent to is refused; nothing more
// reaches it then.  On Windows its line ends are written as they are, and
// from here on every name is UTF-8: argv's strings are replaced by the
// UTF-8 spellings of the names the system holds, so that a name outside the
// ANSI code page, or one derived from another, still leads to its file.
std::FILE* prepare_errors(int argc, char* argv[]);

// Writes p[0, n), one line, to `to` in one write; on Windows a console gets
// it as wide characters.  Returns false when it could not be written.
bool write_line(std::FILE* to, const char* p, std::size_t n);

// Told, once for each file, that the run is about to wait for the lock that
// another process holds on it.  viderav leaves it unset: its console is as
// specified.
inline void (*on_lock_wait)(const char* path) = nullptr;

// viderav-build's log, where the console's messages go, opened once the
// text and the output are: created, or emptied once known to be neither of
// them nor standard error's file, under any name.  It is locked as the
// output is, so that it is no other running conversion's output or log.
// nullptr otherwise; a file created only to be refused is removed again.
// Fully buffered.
std::FILE* open_log(const char* path, std::FILE* in, std::FILE* out);

// Standard input for a server that answers an editor: up to n bytes of
// what has come, waiting for some; 0 at its end or on an error.  On
// Windows no byte is changed (binary).
std::size_t read_input(char* p, std::size_t n);

// Whether standard input holds bytes a read would return without waiting.
bool input_waiting();

// Whether path names a regular file, which can be read again without
// waiting for a writer (a FIFO would).
bool regular_file(const char* path);

// path as an absolute path, for the lines that name a file to an editor;
// path itself where it cannot be had.  The result lives until the next call.
const char* full_path(const char* path);

// The run has ended well: from here on nothing removes the output, and no
// signal ends the process before it exits.  Until this, an interruption
// removes it.  Returns false when the output could not be kept (then it is
// gone).
bool keep_output();
