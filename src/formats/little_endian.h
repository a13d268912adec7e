// Little-endian fields of the foreign formats' headers.
#pragma once

#include <cstdint>

inline uint32_t le16(const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t le32(const unsigned char* p) { return le16(p) | le16(p + 2) << 16; }
inline uint64_t le64(const unsigned char* p) { return le32(p) | uint64_t(le32(p + 4)) << 32; }
