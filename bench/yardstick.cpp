// The converter written the obvious way: fgets a line, fprintf the comment,
// the count and every code, printf every diagnostic.  Built only for the
// benchmark, as the measure of how much the real converter gains.

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

int code_of(int c) {
    if (c == ' ')
        return 0;
    if (c >= '0' && c <= '9')
        return c - 47;
    if (c >= 'A' && c <= 'Z')
        return c - 54;
    if (c == '!')
        return 37;
    if (c == '.')
        return 40;
    return -1;
}

void convert(std::FILE* in, std::FILE* out) {
    char line[1024];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        std::fprintf(out, "\t\t; %s\n", line);
        std::size_t len = std::strlen(line);
        if (len > 0 && line[len - 1] == '\n')
            --len;
        std::fprintf(out, "\t\t.db\t\t#%-3d", static_cast<int>(len));
        for (std::size_t i = 0; i < len; ++i) {
            const int c = std::toupper(static_cast<unsigned char>(line[i]));
            int code = code_of(c);
            if (code < 0) {
                std::printf(
                    "\x8E\x67\x97\x70\x95\x73\x89\xC2\x94\x5C\x82\xC8\x95\xB6\x8E\x9A '%c' "
                    "\x82\xAA\x8E\x67\x97\x70\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7\n",
                    line[i]);
                code = 0;
            }
            std::fprintf(out, ", #%-2d", code);
        }
        std::fprintf(out, "\n");
        if (std::feof(in))
            break;
    }
}

} // namespace

int main(int argc, char* argv[]) {
    std::printf("viderav\n===========================================\n\n");
    if (argc < 3)
        return 1;
    std::FILE* in = std::fopen(argv[1], "r");
    if (in == nullptr)
        return 2;
    std::FILE* out = std::fopen(argv[2], "w");
    if (out == nullptr)
        return 3;
    convert(in, out);
    std::fclose(out);
    std::fclose(in);
    return 0;
}
