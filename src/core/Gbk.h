#pragma once
// The one place where texts cross between the service's code page (GBK) and
// the platform's encodings: UTF-8 for file names, UTF-16 for the window.
// Decoding uses GB18030, a superset of GBK that covers all of Unicode, so a
// path of the file system survives the round trip whatever it holds.

#include <string>
#include <string_view>

// True for a byte that opens a double-byte character (0x81..0xFE).
inline bool IsGbkLeadByte(unsigned char b) {
    return b >= 0x81 && b <= 0xFE;
}
// True when the byte at index i (0-based) is the trailing byte of a double-byte character.
bool IsGbkTrailByte(std::string_view s, size_t i);

// GBK -> UTF-8. A byte that is not valid GBK becomes "%XX" (its value in
// upper-case hex), so nothing is lost and the result is always valid UTF-8.
std::string GbkToUtf8(std::string_view gbk);
// UTF-8 -> GBK (GB18030 for what GBK lacks). Invalid UTF-8 bytes are kept as they are.
std::string Utf8ToGbk(std::string_view utf8);
std::u16string GbkToUtf16(std::string_view gbk);
std::string Utf16ToGbk(std::u16string_view utf16);

// File names on disk are the UTF-8 form of the program's texts.
inline std::string GbkToFileName(std::string_view gbk) {
    return GbkToUtf8(gbk);
}
inline std::string FileNameToGbk(std::string_view native) {
    return Utf8ToGbk(native);
}

// A Chinese literal of the source (UTF-8) as a text of the program (GBK).
inline std::string Gbk(std::string_view utf8Literal) {
    return Utf8ToGbk(utf8Literal);
}
