#!/usr/bin/env python3
"""Writes folds.h from the Unicode Character Database's UnicodeData.txt:
each character outside the code table that has a form in it, as a quick
fix offers it.  That is its base letter, where its full canonical
decomposition is a letter A-Z or a-z followed by combining marks (é: e),
or else its compatibility form (NFKC), where that is one letter, digit, !
or . (the full-width Ａ, １, ！, ．; ², ①, 𝐀).

    folds.py /usr/share/unicode/UnicodeData.txt > src/folds.h
    folds.py /usr/share/unicode/UnicodeData.txt --check src/folds.h

(Debian: unicode-data.)  --check exits 1 where the file differs from what
the data gives, 77 where the data is missing.
"""

import io
import os
import sys

ALLOWED = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!.")


def load(path):
    decomposition, category = {}, {}
    for line in open(path, encoding="ascii"):
        f = line.rstrip("\n").split(";")
        point = int(f[0], 16)
        category[point] = f[2]
        if f[5]:
            parts = f[5].split()
            tag = parts[0] if parts[0].startswith("<") else None
            decomposition[point] = (tag, [int(p, 16) for p in parts[1 if tag else 0:]])
    return decomposition, category


def full(point, decomposition, compatibility):
    tag, parts = decomposition.get(point, (None, None))
    if parts is None or (tag and not compatibility):
        return [point]
    return [q for p in parts for q in full(p, decomposition, compatibility)]


def main():
    path = sys.argv[1]
    if len(sys.argv) == 4 and sys.argv[2] == "--check":
        if not os.path.exists(path):
            print(f"skipped: {path} not found (Debian: unicode-data)")
            return 77
        out = io.StringIO()
        write(path, out)
        same = open(sys.argv[3], encoding="utf-8").read() == out.getvalue()
        print("the same" if same else f"{sys.argv[3]} is not what {path} gives: run folds.py")
        return 0 if same else 1
    write(path, sys.stdout)
    return 0


def write(path, out):
    decomposition, category = load(path)
    folds = []
    for point in sorted(category):
        if point < 0x80:
            continue
        canonical = full(point, decomposition, False)
        if len(canonical) > 1 and canonical[0] in ALLOWED and canonical[0] < 0x80 and \
                all(category.get(p, "").startswith("M") for p in canonical[1:]) and \
                chr(canonical[0]).isalpha():
            folds.append((point, canonical[0]))
            continue
        compatible = full(point, decomposition, True)
        if len(compatible) == 1 and compatible[0] != point and compatible[0] in ALLOWED:
            folds.append((point, compatible[0]))
    out.write("// What a character the code table lacks can be written as instead: its\n"
              "// base letter, where its full canonical decomposition is a letter A-Z or\n"
              "// a-z followed by combining marks, or else its compatibility form (NFKC),\n"
              "// where that is one letter, digit, '!' or '.'.  Written by folds.py from\n"
              "// the Unicode Character Database's UnicodeData.txt; not to be edited.\n"
              "#pragma once\n\n"
              "struct fold {\n    char32_t point;\n    char to;\n};\n\n"
              f"// {len(folds)} characters, by code point.\n"
              "// clang-format off\n"
              "inline constexpr fold folds[] = {\n")
    for point, to in folds:
        c = chr(to)
        out.write(f"    {{0x{point:04X}, '{c}'}},\n")
    out.write("};\n// clang-format on\n")


if __name__ == "__main__":
    sys.exit(main())
