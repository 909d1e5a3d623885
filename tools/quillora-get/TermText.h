#pragma once
// Texts measured as a terminal shows them: by display columns, where a
// Chinese character takes two and a combining accent none.

#include <cstdio>
#include <string>

// Columns one character takes: 0 (combining, zero-width), 1, or 2 (wide:
// CJK, Hangul, full-width forms, most emoji). Control characters: 0.
int CharColumns(char32_t c);
// Columns a UTF-8 text takes; a byte that is not UTF-8 takes one.
size_t TextColumns(const std::string& utf8);
// The text within width columns: kept when it fits, otherwise shortened in
// its middle with "…", never cutting a character or leaving a combining mark
// without its base. Control characters become "?".
std::string FitMiddle(const std::string& utf8, size_t width);
// The same, cut at the end.
std::string FitEnd(const std::string& utf8, size_t width);
// The text padded with blanks to width columns (it must fit).
std::string PadTo(const std::string& utf8, size_t width);

// The terminal's size in columns and rows; 0 when out is not a terminal.
struct TTermSize {
    int Columns = 0, Rows = 0;
};
TTermSize TerminalSize(std::FILE* out);
