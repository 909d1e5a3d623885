#pragma once
// Little-endian integers in byte buffers, as every file format here stores them.

#include <cstdint>

inline uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline int16_t GetInt16(const uint8_t* p) {
    return static_cast<int16_t>(Get16(p));
}
inline int32_t GetInt32(const uint8_t* p) {
    return static_cast<int32_t>(Get32(p));
}

inline void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
