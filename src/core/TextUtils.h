#pragma once
// Find and copy on 8-bit byte strings. Positions are 1-based and count bytes;
// the clamping rules are what the service parsers rely on for odd input.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Position of the first occurrence of sub in s; 0 when either is empty or it is absent.
int TextPos(std::string_view sub, std::string_view s);
// Part of s by 1-based start and count, clamped at both ends.
std::string TextCopy(std::string_view s, int64_t start, int64_t count);
// Drops every byte <= 0x20 from both ends; bytes >= 0x80 always stay.
std::string TextTrim(std::string_view s);
std::string IntToText(int64_t value);
// Decimal or hexadecimal ("$", "x", "0x"); EConvertError "'%s' is not a valid integer value".
int32_t TextToInt(const std::string& s);
// Text of decimal digits alone (no sign, no blank), 1 to maxDigits of them
// (at most 9, so that every value fits), as a number; none otherwise.
std::optional<uint32_t> ReadDigits(std::string_view text, size_t maxDigits);
// Position of the n-th (overlapping) occurrence of sub in s, 0 when there is none.
int PosOfNth(std::string_view sub, std::string_view s, int n);

// Searches that respect GBK double-byte characters, and ASCII case rules.
// Bytes of the character at at: 2 for a GBK lead byte with a byte after it.
size_t GbkCharLength(std::string_view text, size_t at);
// 1-based position of sub in text at or after the 1-based start, never on the
// trailing byte of a GBK double-byte character; 0 when absent.
int MbPos(std::string_view sub, std::string_view text, int start = 1, bool caseSensitive = true);

// Answers the text before the first delimiter (all of input when there is
// none); with remove, input keeps only what follows the delimiter.
std::string SplitAt(std::string& input, std::string_view delimiter, bool remove = true,
                    bool caseSensitive = true);
// Last position p <= start (start -1: the end) where sub occurs, compared
// without regard to case; 0 when there is none.
int LastPos(std::string_view sub, std::string_view text, int start = -1);
// ASCII upper case, as header names and schemes are compared.
std::string UpperCaseText(std::string_view text);
bool SameText(std::string_view a, std::string_view b);

// The code point of the UTF-8 sequence that starts at at, and its length in
// bytes; 0 (code untouched) when no valid sequence starts there.
size_t DecodeUtf8At(std::string_view text, size_t at, char32_t& code);
