// Most-significant-bit-first bit reader over 16-bit big-endian words, shared
// by the decoders of member streams. Bits are kept left-aligned in a 64-bit
// buffer refilled up to eight bytes at a time (bits below the count may
// already hold the bytes that follow); past the end of the input it delivers
// one-bits, so a decoder fed a truncated stream still ends.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/iofile.h"

struct BitReader {
  uint64_t bits;      // the next bits, left-aligned: the next bit is bit 63
  int count;          // valid bits in `bits`
  IoFile* input;      // the stream the words come from
  uint32_t budget;    // bytes of input that may still be read; the rest reads as 0xFF
};

// The reader holds at least this many bits after bit_reader_fill: enough for
// a 16-bit code, a 16-bit code and 15 extra bits together.
constexpr int BIT_READER_FILL = 49;

// One input byte, or 0xFF at the end of the input or past the budget.
inline uint32_t bit_reader_byte(BitReader& r) {
  if (r.budget == 0) return 0xFF;
  r.budget -= 1;
  int c = io_get_byte(r.input);
  return c < 0 ? 0xFFu : static_cast<uint32_t>(c);
}

// Tops a bit buffer held by the caller up to at least BIT_READER_FILL bits,
// taking the input from `r` (its own bits and count are not used). Hot loops
// keep the buffer in locals so that byte stores cannot alias it.
inline void bit_reader_fill(uint64_t& bits, int& count, BitReader& r) {
  IoFile* f = r.input;
  if (count < BIT_READER_FILL && r.budget >= 8 && f->pos + 8 <= f->fill) {
    // Eight bytes in one load; the whole bytes that fit are taken. The bits
    // below the count then already hold the bytes that follow, which a later
    // fill places at the same spot again, so OR-ing them in stays exact.
    uint64_t word;
    memcpy(&word, f->buffer + f->pos, sizeof word);
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    bits |= word >> count;
    const int take = (63 - count) >> 3;  // at least 1: the count becomes 56 or more
    f->pos += take;
    r.budget -= static_cast<uint32_t>(take);
    count += 8 * take;
    return;
  }
  while (count < BIT_READER_FILL) {
    uint32_t word = bit_reader_byte(r) << 8;
    word |= bit_reader_byte(r);
    bits |= static_cast<uint64_t>(word) << (48 - count);
    count += 16;
  }
}

// Tops the reader's own buffer up to at least BIT_READER_FILL bits.
inline void bit_reader_fill(BitReader& r) {
  if (r.count < BIT_READER_FILL) bit_reader_fill(r.bits, r.count, r);
}

// Starts reading `input` at its current position; at most `limit` bytes are
// taken from it (UINT32_MAX: no limit but the end of the file).
inline void bit_reader_start(BitReader& r, IoFile* input, uint32_t limit) {
  r.bits = 0;
  r.count = 0;
  r.input = input;
  r.budget = limit;
  bit_reader_fill(r);
}

// The next n bits (1..32) without consuming them; the buffer must hold them.
inline uint32_t bit_peek(const BitReader& r, int n) {
  return static_cast<uint32_t>(r.bits >> (64 - n));
}

// Drops n bits (0..BIT_READER_FILL) that the buffer holds.
inline void bit_skip(BitReader& r, int n) {
  r.bits <<= n;
  r.count -= n;
}

// The next n bits (1..16), consumed.
inline uint32_t bit_get(BitReader& r, int n) {
  if (r.count < n) bit_reader_fill(r);
  uint32_t v = bit_peek(r, n);
  bit_skip(r, n);
  return v;
}
