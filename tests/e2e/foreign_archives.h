// Test helper: archives of the formats kvx reads but does not write as such
// (ZIP, ARJ, TAR) and of its older own format, made byte by byte, so that a
// test can write exactly the headers it needs, lying ones included.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "codec/common/transfer.h"

namespace foreign {

// The low count bytes of v, least significant first.
inline std::string le(uint32_t v, int count) {
  std::string s;
  for (int i = 0; i < count; i++) s += char((v >> (8 * i)) & 0xFF);
  return s;
}

constexpr uint32_t kDosTime = 0x224FAB2F;  // 15 February 1997

}  // namespace foreign

namespace zip {

// A local header and the data of one member: the check value and size are
// those of plain (what the data should decode to); packed and unpacked, when
// not negative, replace the sizes the header holds.
inline std::string member(const std::string& name, const std::string& data, int method, const std::string& plain,
                          unsigned flags = 0, int64_t packed = -1, int64_t unpacked = -1) {
  using foreign::le;
  return std::string("PK\3\4", 4) + le(20, 2) + le(flags, 2) + le(uint32_t(method), 2) + le(0x2E2148A0, 4) +
         le(crc32_of(plain.data(), plain.size()), 4) + le(uint32_t(packed < 0 ? data.size() : packed), 4) +
         le(uint32_t(unpacked < 0 ? plain.size() : unpacked), 4) + le(uint32_t(name.size()), 2) + le(0, 2) + name +
         data;
}

}  // namespace zip

namespace tar {

// The header with its checksum field filled in for its other bytes.
inline std::string with_checksum(std::string h) {
  h.replace(148, 8, "        ");
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  char number[16];
  snprintf(number, sizeof number, "%06o", sum);
  h.replace(148, 7, std::string(number) + '\0');
  return h;
}

// A ustar header of a regular file (or of the given type) with a valid
// checksum; the name field keeps the first 100 bytes of name.
inline std::string header(const std::string& name, uint64_t size, char type = '0') {
  std::string h(512, '\0');
  h.replace(0, name.size() < 100 ? name.size() : 100, name.substr(0, 100));
  char number[24];
  snprintf(number, sizeof number, "%07o", 0644);
  h.replace(100, 7, number);
  snprintf(number, sizeof number, "%011llo", static_cast<unsigned long long>(size));
  h.replace(124, 11, number);
  snprintf(number, sizeof number, "%011o", 1041411900);
  h.replace(136, 11, number);
  h[156] = type;
  h.replace(257, 6, std::string("ustar\0", 6));
  h.replace(263, 2, "00");
  return with_checksum(h);
}

inline std::string padded(const std::string& data) {
  std::string p = data;
  p.resize((data.size() + 511) / 512 * 512, '\0');
  return p;
}

inline std::string member(const std::string& name, const std::string& data, char type = '0') {
  return header(name, data.size(), type) + padded(data);
}

// A member whose name goes first in a long-name ("L") entry, as GNU tar
// writes names of more than 100 bytes.
inline std::string long_named(const std::string& name, const std::string& data, int64_t size = -1) {
  return member("././@LongLink", name + '\0', 'L') + header(name, size < 0 ? data.size() : uint64_t(size)) +
         padded(data);
}

inline const std::string end(1024, '\0');

}  // namespace tar

namespace arj {

constexpr int kFirstHeader = 30;       // the fixed fields every arj writes
constexpr unsigned kContinued = 0x08;  // a piece continued from the previous volume

// A header around a basic header: id, size, the bytes, their CRC, and no
// extended headers.
inline std::string header(const std::string& basic) {
  using foreign::le;
  return std::string("\x60\xEA", 2) + le(uint32_t(basic.size()), 2) + basic + le(crc32_of(basic.data(), basic.size()), 4) +
         le(0, 2);
}

// The basic header of a stored member (type 0; 2 for the main header) from
// an MS-DOS host. With kContinued among the flags, the piece offset follows
// the fixed fields.
inline std::string basic(const std::string& name, int type, uint32_t packed, uint32_t unpacked, uint32_t crc,
                         unsigned flags = 0, uint32_t pieceOffset = 0) {
  using foreign::le;
  const bool piece = flags & kContinued;
  std::string b;
  b += char(piece ? kFirstHeader + 4 : kFirstHeader);
  b += std::string("\x0B\x01\x00", 3);  // versions 11 and 1, host 0
  b += char(flags);
  b += std::string("\x00", 1);  // method 0: stored
  b += char(type);
  b += std::string("\x00", 1);
  b += le(foreign::kDosTime, 4) + le(packed, 4) + le(unpacked, 4) + le(crc, 4) + le(0, 2) + le(0x20, 2) + le(0, 2);
  if (piece) b += le(pieceOffset, 4);
  return b + name + '\0' + '\0';  // the name, then an empty comment
}

inline std::string member(const std::string& name, const std::string& data, int64_t packed = -1,
                          int64_t unpacked = -1, unsigned flags = 0, uint32_t pieceOffset = 0) {
  return header(basic(name, 0, uint32_t(packed < 0 ? data.size() : packed),
                      uint32_t(unpacked < 0 ? data.size() : unpacked), crc32_of(data.data(), data.size()), flags,
                      pieceOffset)) +
         data;
}

inline std::string main_header() { return header(basic("made.arj", 2, 0, 0, 0)); }
inline const std::string end("\x60\xEA\x00\x00", 4);

}  // namespace arj

namespace kvx {

// A stored member of the older own format: its 16-bit sum of the data, the
// name's length in one byte (names of up to 255 bytes).
inline std::string member(const std::string& name, const std::string& data, int64_t packed = -1,
                          int64_t unpacked = -1) {
  using foreign::le;
  uint32_t sum = 0;
  for (unsigned char c : data) sum += c;
  const size_t length = 23 + name.size() + 1;
  return std::string(1, char((length - 2) % 256)) + std::string("\x00\xAE\x00", 3) +
         le(uint32_t(packed < 0 ? data.size() : packed), 4) + le(uint32_t(unpacked < 0 ? data.size() : unpacked), 4) +
         le(foreign::kDosTime, 4) + le(sum & 0xFFFF, 2) + le(0, 2) + le(0, 2) + char(name.size()) + name + '\0' + data;
}

inline const std::string end(2, '\0');

}  // namespace kvx
