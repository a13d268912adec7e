// Test oracle: a Deflate decoder that reads one bit at a time and decodes
// canonical codes by counting, written for clarity. The archiver's decoder
// must give the same result and the same bytes on every input: the member's
// data is exactly `data`, at most `limit` bytes are produced, and results are
// the INFLATE_* codes.
#pragma once

#include <cstdint>
#include <string>

#include "formats/inflate.h"

namespace bit_by_bit {

struct Decoder {
  const std::string& data;
  uint32_t limit;
  std::string out;
  size_t next = 0;  // next byte of data
  uint32_t bitBuffer = 0;
  int bitCount = 0;

  struct InputEnded {};
  struct Huffman {
    short count[16];
    short symbol[288];
  };

  int bits(int need) {
    uint32_t value = bitBuffer;
    while (bitCount < need) {
      if (next == data.size()) throw InputEnded{};
      value |= uint32_t(uint8_t(data[next++])) << bitCount;
      bitCount += 8;
    }
    bitBuffer = value >> need;
    bitCount -= need;
    return int(value & ((1u << need) - 1));
  }

  bool put(char c) {
    if (out.size() >= limit) return false;
    out += c;
    return true;
  }

  // -1 the block ended; else a result.
  int stored() {
    bitBuffer = 0;
    bitCount = 0;
    int len = bits(16);
    int nlen = bits(16);
    if (len != (~nlen & 0xFFFF)) return INFLATE_BAD_DATA;
    while (len-- > 0)
      if (!put(char(bits(8)))) return INFLATE_DONE;
    return -1;
  }

  int decode(const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= 15; len++) {
      code |= bits(1);
      int count = h.count[len];
      if (code - count < first) return h.symbol[index + (code - first)];
      index += count;
      first += count;
      first <<= 1;
      code <<= 1;
    }
    return -10;
  }

  static int construct(Huffman& h, const short* length, int n) {
    for (int len = 0; len <= 15; len++) h.count[len] = 0;
    for (int i = 0; i < n; i++) h.count[length[i]]++;
    if (h.count[0] == n) return 0;
    int left = 1;
    for (int len = 1; len <= 15; len++) {
      left <<= 1;
      left -= h.count[len];
      if (left < 0) return left;
    }
    short offs[16];
    offs[1] = 0;
    for (int len = 1; len < 15; len++) offs[len + 1] = short(offs[len] + h.count[len]);
    for (int i = 0; i < n; i++)
      if (length[i] != 0) h.symbol[offs[length[i]]++] = short(i);
    return left;
  }

  int codes(const Huffman& literals, const Huffman& distances) {
    static const short lbase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const short lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const short dbase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,   33,   49,   65,   97,   129,
                                    193,  257,  385,  513,  769,  1025,  1537,  2049,  3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const short dext[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (;;) {
      int symbol = decode(literals);
      if (symbol < 0) return INFLATE_BAD_DATA;
      if (symbol < 256) {
        if (!put(char(symbol))) return INFLATE_DONE;
        continue;
      }
      if (symbol == 256) return -1;
      symbol -= 257;
      if (symbol >= 29) return INFLATE_BAD_DATA;
      int len = lbase[symbol] + bits(lext[symbol]);
      symbol = decode(distances);
      if (symbol < 0 || symbol >= 30) return INFLATE_BAD_DATA;
      size_t dist = size_t(dbase[symbol] + bits(dext[symbol]));
      if (dist > out.size()) return INFLATE_BAD_DATA;
      while (len-- > 0)
        if (!put(out[out.size() - dist])) return INFLATE_DONE;
    }
  }

  int fixed() {
    short lengths[288];
    int i = 0;
    for (; i < 144; i++) lengths[i] = 8;
    for (; i < 256; i++) lengths[i] = 9;
    for (; i < 280; i++) lengths[i] = 7;
    for (; i < 288; i++) lengths[i] = 8;
    Huffman literals, distances;
    construct(literals, lengths, 288);
    for (i = 0; i < 30; i++) lengths[i] = 5;
    construct(distances, lengths, 30);
    return codes(literals, distances);
  }

  int dynamic() {
    static const short order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    int nlen = bits(5) + 257;
    int ndist = bits(5) + 1;
    int ncode = bits(4) + 4;
    short lengths[320] = {};
    int index = 0;
    for (; index < ncode; index++) lengths[order[index]] = short(bits(3));
    Huffman lencode, distcode;
    if (construct(lencode, lengths, 19) != 0) return INFLATE_BAD_DATA;
    index = 0;
    while (index < nlen + ndist) {
      int symbol = decode(lencode);
      if (symbol < 0) return INFLATE_BAD_DATA;
      if (symbol < 16) {
        lengths[index++] = short(symbol);
        continue;
      }
      short len = 0;
      if (symbol == 16) {
        if (index == 0) return INFLATE_BAD_DATA;
        len = lengths[index - 1];
        symbol = 3 + bits(2);
      } else if (symbol == 17) {
        symbol = 3 + bits(3);
      } else {
        symbol = 11 + bits(7);
      }
      if (index + symbol > nlen + ndist) return INFLATE_BAD_DATA;
      while (symbol-- > 0) lengths[index++] = len;
    }
    if (lengths[256] == 0) return INFLATE_BAD_DATA;
    int err = construct(lencode, lengths, nlen);
    if (err < 0 || (err > 0 && nlen - lencode.count[0] != 1)) return INFLATE_BAD_DATA;
    err = construct(distcode, lengths + nlen, ndist);
    if (err < 0 || (err > 0 && ndist - distcode.count[0] > 1)) return INFLATE_BAD_DATA;
    return codes(lencode, distcode);
  }

  int run() {
    try {
      int result;
      bool last;
      do {
        last = bits(1) != 0;
        int type = bits(2);
        result = type == 0 ? stored() : type == 1 ? fixed() : type == 2 ? dynamic() : INFLATE_BAD_DATA;
        if (out.size() >= limit) result = INFLATE_DONE;
      } while (result < 0 && !last);
      return result < 0 ? INFLATE_DONE : result;
    } catch (const InputEnded&) {
      return INFLATE_INPUT_ENDED;
    }
  }
};

// The result of decoding data, at most limit bytes of output in *out.
inline int inflate(const std::string& data, uint32_t limit, std::string* out) {
  Decoder d{data, limit, {}};
  int result = d.run();
  *out = d.out;
  return result;
}

}  // namespace bit_by_bit
