// Block Huffman decoder of the default method: reads each block's three
// canonical codes into lookup tables (11 bits for characters and lengths,
// 8 bits for the short codes, longer codes through an overflow tree) and
// replays literals and matches into the circular window. Nothing read from
// the stream is trusted: counts, runs and code lengths are range-checked and
// every code must be complete, so decoding stays inside the tables and the
// window whatever the input, and it ends once the requested size is produced.
#include "codec/huff/decode.h"

#include <cstring>

#include "codec/common/transfer.h"
#include "platform/console.h"

namespace {

constexpr uint32_t WINDOW_MASK = HUFF_WINDOW_SIZE - 1;
// Bytes after the window that a 16-byte chunked match copy may touch.
constexpr uint32_t WINDOW_SLACK = 16;
// Lookup entries hold a symbol or tree node in their low 11 bits and, for a
// symbol, its code length above them, which saves a dependent load per symbol.
constexpr unsigned ENTRY_SYMBOL_MASK = 0x7FF;
constexpr int ENTRY_LENGTH_SHIFT = 11;

struct HuffDecoder {
  unsigned char window[HUFF_WINDOW_SIZE + WINDOW_SLACK];
  uint32_t carried;          // window position handed to the next block-mode member
  uint32_t blockRemaining;   // symbols left in the current block
  uint8_t charLength[HUFF_CHAR_ARRAY];
  uint16_t charTable[1 << HUFF_CHAR_TABLE_BITS];
  uint8_t shortLength[HUFF_SHORT_ARRAY];
  uint16_t shortTable[1 << HUFF_SHORT_TABLE_BITS];
  uint16_t left[HUFF_TREE_ARRAY];
  uint16_t right[HUFF_TREE_ARRAY];
};

// Zero-initialised storage: the tables cost nothing in the program file.
HuffDecoder dec;

bool corrupt() {
  report_error(message_text(MSG_FILE_CORRUPT));
  return false;
}

// Follows the overflow tree from node `sym` with the bits after the first
// `tableBits` ones; the buffer holds them (a complete code is at most 16 deep).
inline unsigned walk_tree(uint64_t bits, unsigned sym, unsigned nchar, int tableBits) {
  uint64_t mask = uint64_t{1} << (63 - tableBits);
  do {
    sym = (bits & mask) ? dec.right[sym] : dec.left[sym];
    mask >>= 1;
  } while (sym >= nchar);
  return sym;
}

// The next symbol of a code from its table, consumed from the caller's bit
// buffer, which must hold the whole code.
inline unsigned next_symbol(uint64_t& bits, int& count, const uint16_t* table, int tableBits,
                            const uint8_t* length, unsigned nchar) {
  unsigned entry = table[bits >> (64 - tableBits)];
  unsigned sym = entry & ENTRY_SYMBOL_MASK;
  int len = static_cast<int>(entry >> ENTRY_LENGTH_SHIFT);
  if (sym >= nchar) {
    sym = walk_tree(bits, sym, nchar, tableBits);
    len = length[sym];
  }
  bits <<= len;
  count -= len;
  return sym;
}

inline unsigned next_char(uint64_t& bits, int& count) {
  return next_symbol(bits, count, dec.charTable, HUFF_CHAR_TABLE_BITS, dec.charLength,
                     HUFF_CHAR_SYMBOLS);
}

inline unsigned next_short(uint64_t& bits, int& count, unsigned nchar) {
  return next_symbol(bits, count, dec.shortTable, HUFF_SHORT_TABLE_BITS, dec.shortLength, nchar);
}

// The next position value: its code and extra bits (31 bits in the buffer).
inline unsigned next_position(uint64_t& bits, int& count) {
  unsigned k = next_short(bits, count, HUFF_POSITION_SYMBOLS_READ);
  if (k < 2) return k;
  unsigned extra = static_cast<unsigned>(bits >> (65 - k));
  bits <<= k - 1;
  count -= static_cast<int>(k - 1);
  return (1u << (k - 1)) + extra;
}

// Adds the code lengths to the symbol entries of a table build_lookup filled.
void attach_lengths(uint16_t* table, int entries, const uint8_t* length, unsigned nchar) {
  for (int i = 0; i < entries; i++) {
    if (table[i] < nchar)
      table[i] = static_cast<uint16_t>(table[i] | length[table[i]] << ENTRY_LENGTH_SHIFT);
  }
}

// Window bytes [from, to) to the check value and the output; false when
// the output failed.
bool pass_on(uint32_t from, uint32_t to) {
  if (to <= from) return true;
  transfer.checkUpdate(dec.window + from, static_cast<int>(to - from));
  return output_window(static_cast<int>(from), static_cast<int>(to)) == 0;
}

}  // namespace

unsigned char* decoder_window() { return dec.window; }

void huff_reset_carry() { dec.carried = 0; }

bool build_lookup(int nchar, const uint8_t* length, int bits, uint16_t* table) {
  uint32_t count[HUFF_MAX_CODE_LENGTH + 1] = {};
  uint32_t start[HUFF_MAX_CODE_LENGTH + 2];
  uint32_t weight[HUFF_MAX_CODE_LENGTH + 1];
  for (int s = 0; s < nchar; s++) {
    if (length[s] > HUFF_MAX_CODE_LENGTH) return corrupt();
    count[length[s]]++;
  }
  start[1] = 0;
  for (int len = 1; len <= HUFF_MAX_CODE_LENGTH; len++)
    start[len + 1] = start[len] + (count[len] << (HUFF_MAX_CODE_LENGTH - len));
  if (start[HUFF_MAX_CODE_LENGTH + 1] != (uint32_t{1} << HUFF_MAX_CODE_LENGTH)) return corrupt();

  const int shift = HUFF_MAX_CODE_LENGTH - bits;
  const uint32_t tableSize = uint32_t{1} << bits;
  for (int len = 1; len <= bits; len++) {
    start[len] >>= shift;
    weight[len] = uint32_t{1} << (bits - len);
  }
  for (int len = bits + 1; len <= HUFF_MAX_CODE_LENGTH; len++)
    weight[len] = uint32_t{1} << (HUFF_MAX_CODE_LENGTH - len);

  // Entries past the short codes become roots of overflow trees.
  for (uint32_t i = start[bits + 1] >> shift; i < tableSize; i++) table[i] = 0;

  unsigned nextNode = static_cast<unsigned>(nchar);
  const uint32_t mask = uint32_t{1} << (15 - bits);
  for (int s = 0; s < nchar; s++) {
    int len = length[s];
    if (len == 0) continue;
    uint32_t k = start[len];
    uint32_t end = k + weight[len];
    if (len <= bits) {
      if (end > tableSize) return corrupt();
      for (uint32_t i = k; i < end; i++) table[i] = static_cast<uint16_t>(s);
    } else {
      uint16_t* slot = &table[k >> shift];
      for (int depth = len - bits; depth > 0; depth--) {
        if (*slot == 0) {
          if (nextNode >= static_cast<unsigned>(HUFF_TREE_ARRAY)) return corrupt();
          dec.left[nextNode] = dec.right[nextNode] = 0;
          *slot = static_cast<uint16_t>(nextNode++);
        }
        // A slot holding a symbol here would mean overlapping codes, which a
        // complete canonical code cannot have; stay inside the arrays anyway.
        if (*slot >= HUFF_TREE_ARRAY) return corrupt();
        slot = (k & mask) ? &dec.right[*slot] : &dec.left[*slot];
        k <<= 1;
      }
      *slot = static_cast<uint16_t>(s);
    }
    start[len] = end;
  }
  return true;
}

bool read_short_lengths(BitReader& in, int nn, int nbits, int special) {
  int n = static_cast<int>(bit_get(in, nbits));
  if (n == 0) {
    unsigned sym = bit_get(in, nbits);
    if (sym >= static_cast<unsigned>(nn)) return corrupt();
    memset(dec.shortLength, 0, sizeof dec.shortLength);
    for (auto& entry : dec.shortTable) entry = static_cast<uint16_t>(sym);
    return true;
  }
  if (n > nn) return corrupt();
  int i = 0;
  while (i < n) {
    bit_reader_fill(in);
    int len = static_cast<int>(bit_peek(in, 3));
    if (len == 7) {
      // Unary tail: one more for every one-bit after the first three.
      uint64_t mask = uint64_t{1} << 60;
      while (in.bits & mask) {
        mask >>= 1;
        if (++len > HUFF_MAX_CODE_LENGTH) return corrupt();
      }
    }
    bit_skip(in, len < 7 ? 3 : len - 3);
    dec.shortLength[i++] = static_cast<uint8_t>(len);
    if (i == special) {
      int zeros = static_cast<int>(bit_get(in, HUFF_SHORT_RUN_BITS));
      if (i + zeros > nn) return corrupt();
      for (; zeros > 0; zeros--) dec.shortLength[i++] = 0;
    }
  }
  for (; i < HUFF_SHORT_ARRAY; i++) dec.shortLength[i] = 0;
  if (!build_lookup(nn, dec.shortLength, HUFF_SHORT_TABLE_BITS, dec.shortTable)) return false;
  attach_lengths(dec.shortTable, 1 << HUFF_SHORT_TABLE_BITS, dec.shortLength,
                 static_cast<unsigned>(nn));
  return true;
}

bool read_char_lengths(BitReader& in) {
  int n = static_cast<int>(bit_get(in, HUFF_CHAR_COUNT_BITS));
  if (n == 0) {
    unsigned sym = bit_get(in, HUFF_CHAR_COUNT_BITS);
    if (sym >= static_cast<unsigned>(HUFF_CHAR_SYMBOLS)) return corrupt();
    memset(dec.charLength, 0, sizeof dec.charLength);
    for (auto& entry : dec.charTable) entry = static_cast<uint16_t>(sym);
    return true;
  }
  if (n > HUFF_CHAR_SYMBOLS) return corrupt();
  int i = 0;
  while (i < n) {
    bit_reader_fill(in);
    unsigned sym = next_short(in.bits, in.count, HUFF_LENGTH_SYMBOLS);
    if (sym >= 3) {
      dec.charLength[i++] = static_cast<uint8_t>(sym - 2);
      continue;
    }
    int run = 1;
    if (sym == 1)
      run = static_cast<int>(bit_get(in, HUFF_RUN_SHORT_BITS)) + HUFF_RUN_SHORT_MIN;
    else if (sym == 2)
      run = static_cast<int>(bit_get(in, HUFF_RUN_LONG_BITS)) + HUFF_RUN_LONG_MIN;
    if (i + run > HUFF_CHAR_SYMBOLS) return corrupt();
    for (; run > 0; run--) dec.charLength[i++] = 0;
  }
  for (; i < HUFF_CHAR_ARRAY; i++) dec.charLength[i] = 0;
  if (!build_lookup(HUFF_CHAR_SYMBOLS, dec.charLength, HUFF_CHAR_TABLE_BITS, dec.charTable))
    return false;
  attach_lengths(dec.charTable, 1 << HUFF_CHAR_TABLE_BITS, dec.charLength, HUFF_CHAR_SYMBOLS);
  return true;
}

bool read_block_header(BitReader& in) {
  dec.blockRemaining = bit_get(in, HUFF_BLOCK_COUNT_BITS);
  return read_short_lengths(in, HUFF_LENGTH_SYMBOLS, HUFF_LENGTH_COUNT_BITS, HUFF_LENGTH_SPECIAL) &&
         read_char_lengths(in) &&
         read_short_lengths(in, HUFF_POSITION_SYMBOLS_READ, HUFF_POSITION_COUNT_BITS, -1);
}

int huff_decode(IoFile* input, uint32_t size, uint32_t packedLimit, bool blockMode) {
  uint32_t pos = blockMode ? dec.carried : 0;
  uint32_t flushStart = pos;
  if (size == 0) {
    dec.carried = pos;
    return HUFF_DECODED;
  }
  transfer.window = dec.window;
  unsigned char* const window = dec.window;

  BitReader in;
  bit_reader_start(in, input, packedLimit);
  // The bit buffer and the block count live in locals while decoding: stores
  // into the window could otherwise alias them.
  uint64_t bits = in.bits;
  int count = in.count;
  uint32_t blockLeft = 1;
  uint32_t remaining = size;
  int result = HUFF_DECODED;

  for (;;) {
    if (--blockLeft == 0) {
      in.bits = bits;
      in.count = count;
      bool ok = read_block_header(in);
      bits = in.bits;
      count = in.count;
      if (!ok) {
        result = HUFF_CORRUPT;
        break;
      }
      // A count of 0 stands for 65536 symbols, as the format's 16-bit
      // counters have it; taken as written it would start a block of four
      // thousand million symbols, which codes of one symbol take no bits for.
      blockLeft = dec.blockRemaining != 0 ? dec.blockRemaining : 1u << HUFF_BLOCK_COUNT_BITS;
    }
    if (count < BIT_READER_FILL) bit_reader_fill(bits, count, in);
    unsigned sym = next_char(bits, count);
    if (sym < 256) {
      window[pos++] = static_cast<unsigned char>(sym);
      if (pos == HUFF_WINDOW_SIZE) {
        if (!pass_on(flushStart, pos)) return HUFF_WRITE_FAILED;
        pos = flushStart = 0;
      }
      if (--remaining == 0) break;
      continue;
    }

    uint32_t length = sym - HUFF_LENGTH_BIAS;
    uint32_t distance = next_position(bits, count) + 1;
    uint32_t src = (pos - distance) & WINDOW_MASK;
    if (src + length <= HUFF_WINDOW_SIZE && pos + length < HUFF_WINDOW_SIZE) {
      // Neither side wraps nor reaches the window end: a plain forward copy.
      // In chunks of 16 (or 8) bytes when the source lies at least that far
      // back, so that each chunk reads only bytes already in place; the last
      // chunk may run over into bytes the next symbols overwrite, or into
      // the slack. Most matches take a single chunk.
      unsigned char* to = window + pos;
      const unsigned char* from = window + src;
      if (distance >= 16) {
        memcpy(to, from, 16);
        for (uint32_t i = 16; i < length; i += 16) memcpy(to + i, from + i, 16);
      } else if (distance >= 8) {
        for (uint32_t i = 0; i < length; i += 8) memcpy(to + i, from + i, 8);
      } else {
        // A nearer source repeats with period `distance`, so the bytes also
        // repeat every multiple of it: past the first multiple of 8 or more,
        // copy 8-byte chunks from that far back.
        uint32_t period = distance;
        while (period < 8) period += distance;
        uint32_t i = 0;
        for (; i < period && i < length; i++) to[i] = from[i];
        for (; i < length; i += 8) memcpy(to + i, to + i - period, 8);
      }
      pos += length;
    } else {
      for (uint32_t i = 0; i < length; i++) {
        window[pos++] = window[src];
        src = (src + 1) & WINDOW_MASK;
        if (pos == HUFF_WINDOW_SIZE) {
          if (!pass_on(flushStart, pos)) return HUFF_WRITE_FAILED;
          pos = flushStart = 0;
        }
      }
    }
    // A match running past the member's size only comes from a damaged
    // stream; it is completed, and decoding ends.
    if (length >= remaining) break;
    remaining -= length;
  }

  if (!pass_on(flushStart, pos)) result = HUFF_WRITE_FAILED;
  dec.carried = blockMode ? pos : 0;
  return result;
}
