// One conversion from a text file to an assembler file, as both programs
// run it: the files opened, the text converted, the output closed, and kept
// only when the run has ended well.
#pragma once

#include "convert.h"

#include <cstdio>

// One exit status per kind of failure.
enum exit_status : int {
    exit_done = 0,
    exit_usage = 1,
    exit_input = 2,   // the input cannot be opened or read
    exit_output = 3,  // the output cannot be created or written
    exit_log = 4,     // viderav-build: the log cannot be created or written
    exit_refused = 5, // viderav-build: an option made the text's warnings errors
};

// What a build adds to a run: where the console's messages go, known only
// once the text and the output are open; a watch told of the text as it is
// converted; and its verdict, before the output is closed, on what the run
// came to so far (exit_done, or a failed read or write): exit_done keeps
// the output, any other status removes it and ends the run.
struct run_watch : convert_watch {
    // The console from here on; nullptr refuses the run with exit_log.
    virtual std::FILE* start(std::FILE* in, std::FILE* out) = 0;
    virtual exit_status verdict(exit_status run) = 0;

  protected:
    ~run_watch() = default;
};

// Converts in_path into out_path, the console's messages on console (with
// a watch, on what it starts; before that, none), and returns the exit
// status: done, input, output, log, or the watch's verdict.
int convert_file(const char* in_path, const char* out_path, std::FILE* console,
                 run_watch* watch = nullptr);

// Reads in_path as a conversion would, its records and the console's
// messages going to `nowhere`, which is left as it was; the watch is told
// of the text and gives its verdict.  Returns exit_input, or the verdict.
int check_file(const char* in_path, std::FILE* nowhere, run_watch& watch);

// The same for text[0, n) held in memory; returns the verdict.
int check_text(const char* text, std::size_t n, std::FILE* nowhere, run_watch& watch);
