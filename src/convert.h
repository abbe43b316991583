#pragma once

#include <cstddef>
#include <cstdio>

// How much input the encoder asks its stream for at a time.  The fuzzing
// build makes it tiny, so that fill boundaries fall everywhere.
#ifndef VIDERAV_FILL_SIZE
#define VIDERAV_FILL_SIZE (1 << 17)
#endif
inline constexpr std::size_t convert_fill_size = VIDERAV_FILL_SIZE;

// Reads the text of `in` to its end and writes one assembler comment and one
// `.db` record per line of at most 1023 bytes to `out`; every byte the code
// table rejects is reported on `console` and written as code 0.
//
// Neither stream is opened, closed or repositioned here.  The conversion
// stops at the first failed read or write; the caller tells which from
// ferror(in) and ferror(out).  Failed console writes do not stop it.
void convert_lines(std::FILE* in, std::FILE* out, std::FILE* console = stdout);
