#!/usr/bin/env python3
"""Writes the terminal width tables of quillora-get from the Unicode data.

    gen-term-widths.py UNICODE_DIR OUT.inc

UNICODE_DIR holds the Unicode Character Database as Debian's unicode-data
package installs it (/usr/share/unicode). Two tables of code point ranges
come out, sorted and merged, as C++ initialisers:

    ZeroWidth  general categories Mn, Me and Cf (combining marks, joiners,
               format characters) and the Hangul vowels and final consonants
               that join the syllable before them (Hangul_Syllable_Type V, T)
    Wide       East_Asian_Width W and F, with the unassigned code points that
               the data file says default to W

A terminal shows the first in no column and the second in two, as the C
library's wcwidth does; everything else takes one.
"""
import os
import sys

ZERO_CATEGORIES = {"Mn", "Me", "Cf"}
ZERO_HANGUL = {"V", "T"}
WIDE_WIDTHS = {"W", "F"}
# Unassigned code points that EastAsianWidth.txt's header gives W.
WIDE_DEFAULTS = [(0x3400, 0x4DBF), (0x4E00, 0x9FFF), (0xF900, 0xFAFF), (0x20000, 0x2FFFD), (0x30000, 0x3FFFD)]


def property_lines(path):
    """(first, last, value) of each line "XXXX[..YYYY];value # comment"."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            codes, value = (part.strip() for part in line.split(";")[:2])
            first, _, last = codes.partition("..")
            yield int(first, 16), int(last or first, 16), value


def categories(path):
    """(first, last, general category) from UnicodeData.txt, its First/Last pairs as ranges."""
    start = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split(";")
            code, name, category = int(fields[0], 16), fields[1], fields[2]
            if name.endswith(", First>"):
                start = code
                continue
            yield (start if name.endswith(", Last>") else code), code, category
            start = None


def merged(ranges):
    out = []
    for first, last in sorted(ranges):
        if out and first <= out[-1][1] + 1:
            out[-1][1] = max(out[-1][1], last)
        else:
            out.append([first, last])
    return out


def table(name, ranges):
    cells = ["{0x%04X, 0x%04X}" % (first, last) for first, last in ranges]
    rows = [", ".join(cells[k:k + 6]) for k in range(0, len(cells), 6)]
    return "constexpr TRange %s[] = {\n    %s,\n};\n" % (name, ",\n    ".join(rows))


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: gen-term-widths.py UNICODE_DIR OUT.inc")
    folder, output = sys.argv[1], sys.argv[2]
    zero = [(a, b) for a, b, c in categories(os.path.join(folder, "UnicodeData.txt")) if c in ZERO_CATEGORIES]
    zero += [(a, b) for a, b, v in property_lines(os.path.join(folder, "HangulSyllableType.txt"))
             if v in ZERO_HANGUL]
    wide = list(WIDE_DEFAULTS)
    wide += [(a, b) for a, b, v in property_lines(os.path.join(folder, "EastAsianWidth.txt")) if v in WIDE_WIDTHS]
    with open(os.path.join(folder, "EastAsianWidth.txt"), encoding="utf-8") as f:
        version = f.readline().lstrip("# ").strip()
    text = ("// Generated from %s and UnicodeData.txt by scripts/gen-term-widths.py; do not edit.\n\n"
            % version + table("ZeroWidth", merged(zero)) + "\n" + table("Wide", merged(wide)))
    with open(output, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
