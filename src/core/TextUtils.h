#pragma once
// Find and copy on 8-bit byte strings. Positions are 1-based and count bytes;
// the clamping rules are what the service parsers rely on for odd input.

#include <cstdint>
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
// Position of the n-th (overlapping) occurrence of sub in s, 0 when there is none.
int PosOfNth(std::string_view sub, std::string_view s, int n);
