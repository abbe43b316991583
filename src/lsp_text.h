// An editor's document as the language server holds it: its text, its
// lines as the protocol counts them and as the encoder does, positions in
// either unit, and what the encoder and the watch find in it; what a
// character becomes (hover) and the edits that mend a finding (quick
// fixes).  No JSON here: lsp.cpp speaks the protocol.
#pragma once

#include "located.h"

#include <cstddef>
#include <string>
#include <vector>

// A protocol position: a line from 0, and a character in the negotiated
// unit (a byte, or a UTF-16 code unit) from the line's start.
struct place {
    std::size_t line;
    std::size_t character;
};

// A finding at bytes [from, to) of the text.
struct item {
    std::size_t from;
    std::size_t to;
    kind_code code;
    bool error;
    std::string message;
};

// text[from, to) replaced by `with`.
struct edit {
    std::size_t from;
    std::size_t to;
    std::string with;
};

// A quick fix, or with `all` the fix-all action: its title, its edits in
// the text's order, and the finding it mends (an index into the items), or
// -1.
struct fix {
    std::string title;
    std::vector<edit> edits;
    int mends = -1;
    bool preferred = false;
    bool all = false;
};

struct document {
    std::string text;
    std::string version; // as JSON; empty where the editor gave none
    // Where each line starts: as the protocol counts them (LF, CR LF and a
    // lone CR each end one), and as the encoder does (LF alone: CR LF is
    // one newline, a lone CR a byte of its line).
    std::vector<std::size_t> lines;
    std::vector<std::size_t> records;
    unsigned long long changes = 0;
    // What was found for `found_for` (changes and settings); none yet: ~0.
    std::vector<item> found;
    unsigned long long found_for = ~0ULL;

    void index();
    // Where protocol line `line` ends: its line break, or the text's end.
    [[nodiscard]] std::size_t line_end(std::size_t line) const;
    // The offset of a position, clamped to its line.
    [[nodiscard]] std::size_t offset_of(std::size_t line, std::size_t character) const;
    // The position of an offset; one inside a character is taken to its
    // start, or with `after` to its end.
    [[nodiscard]] place place_of(std::size_t offset, bool after) const;
};

// The unit of positions: UTF-8 bytes, or UTF-16 code units (the default).
extern bool utf8_positions;

// What the encoder and the watch find in d, up to located_most of each
// kind, under the settings' options; `nowhere` takes the records.
std::vector<item> find_in(const document& d, bool fail_on_rejected, bool fail_on_long_lines,
                          std::FILE* nowhere);

// What the character at `offset` becomes, and its line's record, as the
// hover shows it.
std::string describe(const document& d, std::size_t offset);

// The quick fixes for the findings that bytes [from, to) overlap, or that
// a cursor (from == to) is on, or else ends.
std::vector<fix> fixes_for(const document& d, std::size_t from, std::size_t to);

// Every character written as its form in the table, and the mark removed;
// nothing else is ever removed.  No edits where there is nothing to do.
fix fix_all(const document& d);
