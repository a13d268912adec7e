// Symbols excluded while one byte is coded (those of the contexts that
// escaped), and the order below 0 where the byte values that are left and the
// end symbol are equally likely. Shared by both context-model methods.
#pragma once

#include <cstdint>

#include "codec/ppm/arith.h"

// The symbol that ends a member.
constexpr int PPM_END_SYMBOL = 256;

struct Exclusions {
  uint8_t flag[258];  // set for an excluded symbol
  uint8_t list[256];  // the symbols whose flag is set
  int count;          // entries of list
};

inline void exclusions_clear(Exclusions& x) {
  for (int i = 0; i < x.count; i++) x.flag[x.list[i]] = 0;
  x.count = 0;
}

inline void exclude(Exclusions& x, int symbol) {
  x.flag[symbol] = 1;
  x.list[x.count++] = static_cast<uint8_t>(symbol);
}

// Codes a byte (or the end symbol) among the symbols not excluded.
inline void encode_order_below(ArithEncoder& e, const Exclusions& x, int symbol) {
  uint32_t rank = static_cast<uint32_t>(symbol);
  for (int i = 0; i < x.count; i++) rank -= x.list[i] < symbol;
  const uint32_t total = 257 - static_cast<uint32_t>(x.count);
  arith_encode(e, rank, rank + 1, total);
}

// Decodes a symbol of the order below 0: the byte value of the stream's
// rank among those not excluded, or the end symbol (also for a rank past
// all of them, which only a damaged stream gives).
inline int decode_order_below(ArithDecoder& d, const Exclusions& x) {
  const uint32_t total = 257 - static_cast<uint32_t>(x.count);
  const uint32_t target = arith_target(d, total);
  uint32_t rank = 0;
  int symbol = 0;
  for (; symbol < 256; symbol++) {
    if (x.flag[symbol]) continue;
    if (rank == target) break;
    rank++;
  }
  arith_decode_update(d, rank, rank + 1, total);
  return symbol;
}
