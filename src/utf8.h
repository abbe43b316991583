// UTF-8 as editors and JSON readers decode it: which bytes form a
// character, and which are ill-formed.
#pragma once

#include <cstddef>

// The range the byte after a UTF-8 lead byte must fall in, and how many
// bytes the character has; 0 for a byte that leads no character.
struct utf8_lead {
    int length;
    unsigned char low;
    unsigned char high;
};

constexpr utf8_lead lead_of(unsigned char b) {
    if (b < 0x80)
        return {1, 0, 0};
    if (b >= 0xC2 && b <= 0xDF)
        return {2, 0x80, 0xBF};
    if (b == 0xE0)
        return {3, 0xA0, 0xBF};
    if (b == 0xED)
        return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF)
        return {3, 0x80, 0xBF};
    if (b == 0xF0)
        return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3)
        return {4, 0x80, 0xBF};
    if (b == 0xF4)
        return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// How many bytes of p[0, n) the next character or ill-formed piece takes:
// a well-formed character whole, or its longest valid beginning (Unicode's
// maximal subpart), which a decoder reads as one U+FFFD; at least 1.  With
// `whole`, whether it is a well-formed character.
constexpr std::size_t utf8_step(const unsigned char* p, std::size_t n, bool& whole) {
    const utf8_lead lead = lead_of(p[0]);
    whole = lead.length == 1;
    if (lead.length <= 1)
        return 1;
    std::size_t i = 1;
    for (; i < static_cast<std::size_t>(lead.length) && i < n; ++i) {
        const bool fits =
            i == 1 ? p[i] >= lead.low && p[i] <= lead.high : p[i] >= 0x80 && p[i] <= 0xBF;
        if (!fits)
            return i;
    }
    whole = i == static_cast<std::size_t>(lead.length);
    return i;
}
