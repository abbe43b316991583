// Every text the tool prints on the console.
//
// The Japanese texts are Shift_JIS (code page 932) bytes spelled out as
// escapes, so that neither the encoding of this file nor the compiler's
// execution character set can change a byte of them.  Each format takes its
// variable part (a path, a byte) as an argument; input text never becomes a
// format.  Every line ends as the platform writes a newline.
#pragma once

#include "platform.h"

namespace msg {

inline constexpr char banner[] =
    "viderav" LINE_END "===========================================" LINE_END LINE_END;

inline constexpr char usage[] = "Usage> %s <in.txt> <out.asm>" LINE_END;

// "ERROR: %s を開けません" -- the input cannot be opened.
inline constexpr char cannot_open[] = "ERROR: %s "
                                      "\x82\xF0\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1" LINE_END;

// "ERROR: %s を作れません" -- the output cannot be created.
inline constexpr char cannot_create[] = "ERROR: %s "
                                        "\x82\xF0\x8D\xEC\x82\xEA\x82\xDC\x82\xB9\x82\xF1" LINE_END;

// "ERROR: %s を読み込めません" -- reading the input failed part way.
inline constexpr char cannot_read[] =
    "ERROR: %s "
    "\x82\xF0\x93\xC7\x82\xDD\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1" LINE_END;

// "ERROR: %s に書き込めません" -- writing or closing the output failed.
inline constexpr char cannot_write[] =
    "ERROR: %s "
    "\x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1" LINE_END;

// "使用不可能な文字 '%c' が使用されています" -- an unusable character is
// being used.  It is printed once per rejected byte, so it is kept as the
// two pieces around the byte and copied, not formatted.
inline constexpr char rejected_head[] = "\x8E\x67\x97\x70\x95\x73\x89\xC2\x94\x5C"
                                        "\x82\xC8\x95\xB6\x8E\x9A '";
inline constexpr char rejected_tail[] = "' \x82\xAA\x8E\x67\x97\x70\x82\xB3\x82\xEA"
                                        "\x82\xC4\x82\xA2\x82\xDC\x82\xB7" LINE_END;

} // namespace msg
