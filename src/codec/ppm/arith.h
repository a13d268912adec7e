// The 16-bit arithmetic coder shared by the context-model methods: an
// encoder with deferred (pending) bits that writes bytes most significant bit
// first, and a decoder that takes its bits from the member bit reader. Every
// interval (low, high, total) must have low < high <= total and total below
// 16384; the models keep their totals in that range.
#pragma once

#include <cstdint>

#include "codec/common/bit_reader.h"
#include "platform/iofile.h"

constexpr uint32_t ARITH_HALF = 0x8000;
constexpr uint32_t ARITH_QUARTER = 0x4000;
// Totals handed to the coder stay below this.
constexpr uint32_t ARITH_TOTAL_LIMIT = 16384;

struct ArithEncoder {
  uint32_t low;      // 16-bit register
  uint32_t high;     // 16-bit register
  uint32_t pending;  // deferred bits, each the opposite of the next bit sent
  uint64_t bits;     // output bits not yet written, the oldest first
  int count;         // bits held in `bits` (below 8 between calls)
  IoFile* out;       // where finished bytes go
  int64_t written;   // bytes written since the start
};

struct ArithDecoder {
  uint32_t low;   // 16-bit register
  uint32_t high;  // 16-bit register
  uint32_t code;  // the 16 stream bits under the interval
  BitReader in;
};

inline void arith_start_encoder(ArithEncoder& e, IoFile* out) {
  e.low = 0;
  e.high = 0xFFFF;
  e.pending = 0;
  e.bits = 0;
  e.count = 0;
  e.out = out;
  e.written = 0;
}

// Appends the low n bits of value (n up to 32), most significant first, and
// writes the bytes they complete.
inline void arith_put_bits(ArithEncoder& e, uint32_t value, int n) {
  e.bits = (e.bits << n) | value;
  e.count += n;
  while (e.count >= 8) {
    e.count -= 8;
    io_put_byte(e.out, static_cast<int>((e.bits >> e.count) & 0xFF));
    e.written += 1;
  }
}

// A bit followed by the deferred bits, which are its opposite.
inline void arith_send(ArithEncoder& e, uint32_t bit) {
  arith_put_bits(e, bit, 1);
  const uint32_t opposite = bit ? 0 : 0xFFFFFFFFu;
  for (; e.pending >= 32; e.pending -= 32) arith_put_bits(e, opposite, 32);
  if (e.pending > 0) arith_put_bits(e, opposite >> (32 - e.pending), static_cast<int>(e.pending));
  e.pending = 0;
}

// The number of leading bits that low and high share (1..16), when their
// top bits agree.
inline int arith_settled_bits(uint32_t low, uint32_t high) {
  const uint32_t differ = (low ^ high) << 16;
  return differ == 0 ? 16 : __builtin_clz(differ);
}

// Narrows the interval to [lo, hi) of total and sends the bits that are settled.
inline void arith_encode(ArithEncoder& e, uint32_t lo, uint32_t hi, uint32_t total) {
  const uint32_t range = e.high - e.low + 1;
  e.high = (e.low + range * hi / total - 1) & 0xFFFF;
  e.low = (e.low + range * lo / total) & 0xFFFF;
  for (;;) {
    if (((e.low ^ e.high) & ARITH_HALF) == 0) {
      // The leading bits both ends share are settled: the first takes the
      // deferred bits with it, the rest go out as they are.
      const int n = arith_settled_bits(e.low, e.high);
      arith_send(e, e.high >> 15);
      if (n > 1) arith_put_bits(e, (e.high >> (16 - n)) & ((1u << (n - 1)) - 1), n - 1);
      e.low = (e.low << n) & 0xFFFF;
      e.high = ((e.high << n) | ((1u << n) - 1)) & 0xFFFF;
    } else if ((e.low & ARITH_QUARTER) && !(e.high & ARITH_QUARTER)) {
      // Straddling the middle: the next bit is not known yet.
      e.pending += 1;
      e.low = (e.low << 1) & (ARITH_HALF - 1);
      e.high = ((e.high << 1) | 1 | ARITH_HALF) & 0xFFFF;
    } else {
      return;
    }
  }
}

// Sends the bits that pin a value inside the final interval and the last
// byte, filled with zero bits.
inline void arith_flush(ArithEncoder& e) {
  e.pending += 1;
  arith_send(e, (e.low >> 14) & 1);
  if (e.count > 0) arith_put_bits(e, 0, 8 - e.count);
}

// Starts decoding at the current position of input, taking at most `limit`
// bytes of it (one-bits after them).
inline void arith_start_decoder(ArithDecoder& d, IoFile* input, uint32_t limit) {
  bit_reader_start(d.in, input, limit);
  d.low = 0;
  d.high = 0xFFFF;
  d.code = bit_get(d.in, 16);
}

// The count within total that the stream's value falls on. A damaged stream
// can put the value outside the interval; the answer may then be total or
// more, which the models treat as no symbol of theirs.
inline uint32_t arith_target(const ArithDecoder& d, uint32_t total) {
  const uint32_t offset = (d.code - d.low + 1) & 0x1FFFF;
  return ((offset * total - 1) / (d.high - d.low + 1)) & 0xFFFF;
}

// Narrows the interval to [lo, hi) of total as the encoder did and takes in
// the bits it sent.
inline void arith_decode_update(ArithDecoder& d, uint32_t lo, uint32_t hi, uint32_t total) {
  const uint32_t range = d.high - d.low + 1;
  d.high = (d.low + range * hi / total - 1) & 0xFFFF;
  d.low = (d.low + range * lo / total) & 0xFFFF;
  for (;;) {
    int n = 1;
    if (((d.low ^ d.high) & ARITH_HALF) == 0) {
      n = arith_settled_bits(d.low, d.high);
    } else if ((d.low & ARITH_QUARTER) && !(d.high & ARITH_QUARTER)) {
      d.code ^= ARITH_QUARTER;
      d.low &= ARITH_QUARTER - 1;
      d.high |= ARITH_QUARTER;
    } else {
      return;
    }
    if (d.in.count < n) bit_reader_fill(d.in);
    d.low = (d.low << n) & 0xFFFF;
    d.high = ((d.high << n) | ((1u << n) - 1)) & 0xFFFF;
    d.code = ((d.code << n) | bit_peek(d.in, n)) & 0xFFFF;
    bit_skip(d.in, n);
  }
}
