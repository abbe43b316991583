/* The converter written the obvious way, in plain C: fgets a line, fprintf
 * the comment, the count and every code, printf every diagnostic.  Built only
 * for the benchmark, as the measure of how much the real converter gains and
 * of what a start of a plain C program costs. */

#include <ctype.h>
#include <stdio.h>
#include <string.h>

static int code_of(int c) {
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

static void convert(FILE* in, FILE* out) {
    char line[1024];
    while (fgets(line, sizeof line, in) != NULL) {
        size_t len = strlen(line);
        fprintf(out, "\t\t; %s\n", line);
        if (len > 0 && line[len - 1] == '\n')
            --len;
        fprintf(out, "\t\t.db\t\t#%-3d", (int)len);
        for (size_t i = 0; i < len; ++i) {
            int code = code_of(toupper((unsigned char)line[i]));
            if (code < 0) {
                printf("\x8E\x67\x97\x70\x95\x73\x89\xC2\x94\x5C\x82\xC8\x95\xB6\x8E\x9A '%c' "
                       "\x82\xAA\x8E\x67\x97\x70\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7\n",
                       line[i]);
                code = 0;
            }
            fprintf(out, ", #%-2d", code);
        }
        fprintf(out, "\n");
        if (feof(in))
            break;
    }
}

int main(int argc, char* argv[]) {
    printf("viderav\n===========================================\n\n");
    if (argc < 3)
        return 1;
    FILE* in = fopen(argv[1], "r");
    if (in == NULL)
        return 2;
    FILE* out = fopen(argv[2], "w");
    if (out == NULL)
        return 3;
    convert(in, out);
    fclose(out);
    fclose(in);
    return 0;
}
