#!/usr/bin/env python3
"""Turns a program's help text into its manual page (roff, section 1).

Each program keeps one source for both: a C++ header HelpText.h with the text
as a raw string literal R"(...)", which the program prints for --help and this
script converts at build time. The text is laid out as a manual page in plain
text:

    SECTION NAME                 a line at column 0: a section (.SH)
        Text at four blanks.     a paragraph; a blank line ends it
        -x, --long ARG   Text    an item (.TP): a tag at four blanks, two or
                         more    more blanks, its text; the text's following
                                 lines are indented deeper than four
        -y, --other ARG          a tag alone on its line: its text follows,
                         Text    indented deeper than four

In SYNOPSIS and EXAMPLES every line stays a line of its own (no filling).
The NAME section is one line, "program - summary"; a page made for another
program of the same text (--name) names that program instead. The text is ASCII, so
that the page renders without warnings in every locale.

    helptext2man.py HelpText.h OUT.1 --name PROGRAM --version TEXT --date DATE
"""
import argparse
import re
import sys

VERBATIM = {"SYNOPSIS", "EXAMPLES"}


def extract(source):
    start = source.find('R"(')
    end = source.find(')"', start)
    if start < 0 or end < 0:
        raise SystemExit("helptext2man: no R\"(...)\" text found")
    return source[start + 3:end]


def escape(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    if text.startswith((".", "'")):
        text = "\\&" + text
    return text


def indent(line):
    return len(line) - len(line.lstrip(" "))


def split_item(line):
    """An item's first line: its tag, and the text after two or more blanks."""
    parts = re.split(r" {2,}", line.strip(), maxsplit=1)
    return parts[0], parts[1] if len(parts) > 1 else ""


def convert(text, name, version, date):
    out = ['.\\" Generated from the program\'s help text by scripts/helptext2man.py; do not edit.',
           '.TH %s 1 "%s" "%s" "User Commands"' % (escape(name.upper()), date, escape(version))]
    lines = text.split("\n")
    section = None
    k = 0
    while k < len(lines):
        line = lines[k].rstrip()
        if not line:
            k += 1
            continue
        if indent(line) == 0:
            section = line.strip()
            out.append(".SH " + escape(section))
            k += 1
            continue
        # A block: the lines up to the next blank line or section.
        block = []
        while k < len(lines) and lines[k].strip() and indent(lines[k]) > 0:
            block.append(lines[k].rstrip())
            k += 1
        if section in VERBATIM:
            out.append(".nf" if section == "SYNOPSIS" else ".PP\n.nf")
            out += [escape(b.strip()) for b in block]
            out.append(".fi")
            continue
        if section == "NAME":
            out.append(escape(name_line(" ".join(b.strip() for b in block), name)))
            continue
        items = []  # [tag, [text lines]], or [None, [paragraph lines]]
        listing = is_item_block(block)
        for b in block:
            if not listing:
                if not items:
                    items.append([None, []])
                items[-1][1].append(b.strip())
            elif indent(b) > 4 and items:
                items[-1][1].append(b.strip())
            else:
                tag, body = split_item(b)
                items.append([tag, [body] if body else []])
        for tag, body in items:
            if tag is None:
                out.append(".PP")
            else:
                out.append(".TP")
                out.append(escape(tag))
            out += [escape(t) for t in body if t]
    return "\n".join(out) + "\n"


def name_line(line, name):
    """One help text serves twin programs (quillora-pic and quillora-pic-qt):
    each page's NAME line names the page's own program."""
    program, dash, summary = line.partition(" - ")
    return name + dash + summary if dash and program != name else line


def is_item_block(block):
    """A block is a list of items when its lines are not all at four blanks,
    or when its first line has a tag, a gap and a text."""
    if any(indent(b) > 4 for b in block):
        return True
    return all(re.match(r"^    \S.*? {2,}\S", b) for b in block)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("source")
    ap.add_argument("output")
    ap.add_argument("--name", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--date", required=True)
    args = ap.parse_args()
    with open(args.source, encoding="utf-8") as f:
        text = extract(f.read())
    # A page must read the same in every locale: groff has no glyph for
    # Chinese in an ASCII one, and warns.
    for n, line in enumerate(text.split("\n"), 1):
        if any(ord(c) > 126 for c in line):
            raise SystemExit("helptext2man: %s: line %d of the text is not ASCII" % (args.source, n))
    page = convert(text, args.name, args.version, args.date)
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(page)
    return 0


if __name__ == "__main__":
    sys.exit(main())
