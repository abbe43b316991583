// A plain model of the converter, written for clarity rather than speed:
// one read at a time, one byte at a time, formatted printing throughout.
// The fast encoder must produce exactly the same bytes.
#pragma once

#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>

struct model_result {
    std::string out;
    std::string console;
};

inline int model_code(unsigned char c) {
    const int u = std::toupper(c);
    if (u == ' ')
        return 0;
    if (u >= '0' && u <= '9')
        return u - '0' + 1;
    if (u >= 'A' && u <= 'Z')
        return u - 'A' + 11;
    if (u == '!')
        return 37;
    if (u == '.')
        return 40;
    return -1;
}

// The console line for one rejected byte.
inline std::string model_diag(char c) {
    return std::string("\x8E\x67\x97\x70\x95\x73\x89\xC2\x94\x5C\x82\xC8\x95\xB6\x8E\x9A '") + c +
           "' \x82\xAA\x8E\x67\x97\x70\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7\n";
}

// A CR LF pair reads as one newline; ends_at_ctrl_z: whether a 0x1A byte
// ends the text, as on Windows.
inline model_result model_convert(std::string_view input, bool ends_at_ctrl_z) {
    if (ends_at_ctrl_z)
        input = input.substr(0, input.find('\x1A'));
    std::string text;
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n')
            continue;
        text += input[i];
    }

    model_result r;
    char num[32];
    std::size_t pos = 0;
    while (pos < text.size()) {
        // One read: up to 1023 bytes, ending after a newline if one comes.
        std::size_t len = 0;
        while (len < 1023 && pos + len < text.size()) {
            ++len;
            if (text[pos + len - 1] == '\n')
                break;
        }
        const std::string_view read(text.data() + pos, len);
        pos += len;
        const std::size_t count = read.back() == '\n' ? len - 1 : len;

        r.out += "\t\t; ";
        r.out += read;
        r.out += "\n\t\t.db\t\t";
        std::snprintf(num, sizeof num, "#%-3d", static_cast<int>(count));
        r.out += num;
        for (std::size_t i = 0; i < count; ++i) {
            const auto c = static_cast<unsigned char>(read[i]);
            int code = model_code(c);
            if (code < 0) {
                r.console += model_diag(static_cast<char>(c));
                code = 0;
            }
            std::snprintf(num, sizeof num, ", #%-2d", code);
            r.out += num;
        }
        r.out += "\n";
    }
    return r;
}
