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
  uint32_t bits;     // output accumulator: a leading 1 and up to 8 bits after it
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
  e.bits = 1;
  e.out = out;
  e.written = 0;
}

inline void arith_put_bit(ArithEncoder& e, uint32_t bit) {
  e.bits = e.bits << 1 | bit;
  if (e.bits >= 0x100) {
    io_put_byte(e.out, static_cast<int>(e.bits & 0xFF));
    e.written += 1;
    e.bits = 1;
  }
}

// A bit followed by the deferred bits, which are its opposite.
inline void arith_send(ArithEncoder& e, uint32_t bit) {
  arith_put_bit(e, bit);
  for (; e.pending > 0; e.pending--) arith_put_bit(e, bit ^ 1);
}

// Narrows the interval to [lo, hi) of total and sends the bits that are settled.
inline void arith_encode(ArithEncoder& e, uint32_t lo, uint32_t hi, uint32_t total) {
  const uint32_t range = e.high - e.low + 1;
  e.high = (e.low + range * hi / total - 1) & 0xFFFF;
  e.low = (e.low + range * lo / total) & 0xFFFF;
  for (;;) {
    if (((e.low ^ e.high) & ARITH_HALF) == 0) {
      arith_send(e, e.high >> 15);
    } else if ((e.low & ARITH_QUARTER) && !(e.high & ARITH_QUARTER)) {
      // Straddling the middle: the next bit is not known yet.
      e.pending += 1;
      e.low &= ARITH_QUARTER - 1;
      e.high |= ARITH_QUARTER;
    } else {
      return;
    }
    e.low = (e.low << 1) & 0xFFFF;
    e.high = ((e.high << 1) | 1) & 0xFFFF;
  }
}

// Sends the bits that pin a value inside the final interval and the last
// byte, filled with zero bits.
inline void arith_flush(ArithEncoder& e) {
  e.pending += 1;
  arith_send(e, (e.low >> 14) & 1);
  if (e.bits != 1) {
    while (e.bits < 0x100) e.bits <<= 1;
    io_put_byte(e.out, static_cast<int>(e.bits & 0xFF));
    e.written += 1;
    e.bits = 1;
  }
}

inline uint32_t arith_next_bit(ArithDecoder& d) {
  if (d.in.count < 1) bit_reader_fill(d.in);
  const uint32_t bit = static_cast<uint32_t>(d.in.bits >> 63);
  bit_skip(d.in, 1);
  return bit;
}

// Starts decoding at the current position of input, taking at most `limit`
// bytes of it (one-bits after them).
inline void arith_start_decoder(ArithDecoder& d, IoFile* input, uint32_t limit) {
  bit_reader_start(d.in, input, limit);
  d.low = 0;
  d.high = 0xFFFF;
  d.code = 0;
  for (int i = 0; i < 16; i++) d.code = d.code << 1 | arith_next_bit(d);
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
    if (((d.low ^ d.high) & ARITH_HALF) == 0) {
      // settled bit: shift
    } else if ((d.low & ARITH_QUARTER) && !(d.high & ARITH_QUARTER)) {
      d.code ^= ARITH_QUARTER;
      d.low &= ARITH_QUARTER - 1;
      d.high |= ARITH_QUARTER;
    } else {
      return;
    }
    d.low = (d.low << 1) & 0xFFFF;
    d.high = ((d.high << 1) | 1) & 0xFFFF;
    d.code = ((d.code << 1) | arith_next_bit(d)) & 0xFFFF;
  }
}
