// Block Huffman encoder of the default method: symbols are collected in a
// token buffer with flag bytes, and each full buffer is coded as one block
// carrying its own canonical codes.
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/huff/huff_format.h"

struct IoFile;

struct HuffEncoder {
  uint8_t* tokens;            // token buffer: groups of a flag byte and up to eight symbols
  uint32_t buffer_size;       // usable token-buffer bytes (allocation request - 72)
  uint32_t limit;             // close the block at a group boundary once count reaches this
  uint32_t count;             // token bytes used by the current block
  uint8_t* write;             // next free token byte
  uint8_t* flag;              // flag byte of the current group
  uint32_t mask;              // flag bit of the latest symbol; 1 = a new group is due
  int memory_mode;            // coded bytes stay in the output buffer
  IoFile* archive;            // where finished bytes go outside memory mode
  uint32_t char_freq[HUFF_CHAR_FREQ_ARRAY];        // 0..509 symbols, then node sums
  uint32_t pos_freq[HUFF_POSITION_FREQ_ARRAY];     // 0..17 position codes, then node sums
  uint32_t len_freq[HUFF_LENGTH_FREQ_ARRAY];       // 0..18 code-length symbols, then node sums
  uint8_t char_len[HUFF_CHAR_ARRAY];
  uint32_t char_code[HUFF_CHAR_ARRAY];
  uint8_t short_len[HUFF_SHORT_ARRAY];             // code-length code, then position code
  uint32_t short_code[HUFF_SHORT_ARRAY];
  uint32_t left[HUFF_TREE_ARRAY];                  // children of nodes numbered from n upward
  uint32_t right[HUFF_TREE_ARRAY];
  uint8_t* out;               // output byte buffer
  uint32_t out_capacity;      // its size (allocation request + 65536)
  uint32_t out_count;         // finished bytes in it
  uint64_t bits;              // pending bits, left-aligned (the top bit_count; the rest 0)
  int bit_count;              // pending bits: 0..7 between calls (8 - free bits)
};

extern HuffEncoder huffEncoder;

// Position code k of a position value: its number of significant bits.
inline int huff_position_code(uint32_t p) {
  return p == 0 ? 0 : 32 - __builtin_clz(p);
}

// Appends the low `count` (0..48) bits of value, most significant first.
// Without a loop or branch: the pending bits are stored as eight bytes each
// time and only the whole ones are counted (the output buffer holds a block's
// coded bytes with room to spare).
inline void put_bits(int count, uint64_t value) {
  HuffEncoder& e = huffEncoder;
  const int total = e.bit_count + count;  // at most 7 + 48
  // Shifted in two steps so that no shift reaches 64 when both counts are 0.
  e.bits |= ((value & ((uint64_t{1} << count) - 1)) << 8) << (56 - total);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  const uint64_t big = e.bits;
#else
  const uint64_t big = __builtin_bswap64(e.bits);
#endif
  memcpy(e.out + e.out_count, &big, sizeof big);
  const int whole = total >> 3;
  e.out_count += static_cast<uint32_t>(whole);
  e.bits <<= 8 * whole;
  e.bit_count = total & 7;
}

// Allocates the token buffer and the output byte buffer once per run; stops
// the program with message 82 when memory is short.
void huff_buffers_alloc();
// The output byte buffer: after a memory-mode pack it holds the coded bytes
// (codec_memory_size() of them); store_member may be given it as buffer.
unsigned char* codec_memory_buffer();
int32_t codec_memory_size();
// Size of the output byte buffer (allocation request + 65536); 0 before the buffers exist.
int32_t codec_memory_capacity();
// Usable token-buffer bytes (allocation request - 72); 0 before the buffers exist.
int32_t codec_buffer_size();

// Empties the output byte buffer (start of a member).
void huff_clear_output();
// Sets the block limit and memory mode for the next member; without memory
// mode, finished bytes are written to `archive`.
void huff_configure(uint32_t limit, int memoryMode, IoFile* archive);
void huff_start();
// Closes the full block; answers what huff_emit answers for it.
int huff_close_block();
int huff_finish();
void huff_send_block();
int huff_build_code(int n, uint32_t* freq, uint8_t* len, uint32_t* code);

// Takes one symbol: code 0..255 a literal, 256..509 a match with position
// value p. Answers 0 to go on, 1 when the memory-mode block limit is reached
// (the symbol is not taken), -1 when writing to the archive failed.
inline int huff_emit(uint32_t code, uint32_t p) {
  HuffEncoder& e = huffEncoder;
  if (e.mask == 1) {
    if (e.count >= e.limit) {
      int r = huff_close_block();
      if (r != 0) return r;
    }
    e.flag = e.write;
    *e.write++ = 0;
    e.count += 1;
    e.mask = 0x80;
  } else {
    e.mask >>= 1;
  }
  *e.write++ = static_cast<uint8_t>(code);
  e.count += 1;
  e.char_freq[code] += 1;
  if (code >= 256) {
    e.pos_freq[huff_position_code(p)] += 1;
    e.write[0] = static_cast<uint8_t>(p >> 8);
    e.write[1] = static_cast<uint8_t>(p);
    e.write += 2;
    *e.flag |= static_cast<uint8_t>(e.mask);
    e.count += 2;
  }
  return 0;
}
