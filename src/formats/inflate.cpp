// Deflate decoding in the shape of a small reference decoder (one state
// record, a function per job), made fast: codes are decoded through lookup
// tables from a 64-bit bit buffer that takes up to eight bytes at a time, and
// while ample input and output room remain a fast loop decodes up to two
// literals per table entry and copies matches a word at a time.
//
// Trusted: nothing of the stream. Every byte read lies within the member's
// packed size; running out of it abandons the member (the one exception,
// caught at the entry). Anything unusual in the fast loop (a bit string that
// is no code, a symbol the format does not allow, a distance before the data
// produced, the end of the room) is left to the careful step, which decodes
// one symbol with every check in the order of a bit-by-bit decoder, so the
// results and the bytes produced are the same as bit by bit.
#include "formats/inflate.h"

#include <cstring>

#include "codec/common/transfer.h"

namespace {

constexpr unsigned kMaxBits = 15;     // longest code
constexpr unsigned kWindow = 32768;   // farthest distance
constexpr unsigned kChunk = 131072;   // bytes produced between two passes to the sink
constexpr unsigned kBuffer = kWindow + kChunk;
constexpr unsigned kSlack = 48;       // word copies may write this far past the end of the room
constexpr unsigned kMaxStep = 264;    // bytes one turn of the fast loop may produce (a match, or literals)

// Root table widths: the literal/length code, the distance code, the code-length code.
constexpr unsigned kLiteralBits = 11;
constexpr unsigned kDistanceBits = 9;
constexpr unsigned kCodeLengthBits = 7;

// A table entry: bits 0-5 the bits it takes in all (a length's or distance's
// extra bits included); bits 8-13 the bits of its code alone (for a pair the
// first literal's; for a subtable, its width); bits 6, 7, 14 and 15 the kind;
// bits 16-31 the value (one or two literals, a length or distance base, a
// subtable's offset, a special case). Both counts sit in six bits, which is
// all a shift of a 64-bit value looks at.
constexpr uint32_t kLiteral = 0x40;     // one literal, or with kPair two
constexpr uint32_t kPair = 0x80;
constexpr uint32_t kSubtable = 0x4000;  // the code is longer than the root: look further
constexpr uint32_t kSpecial = 0x8000;   // value kEnd, kNoCode or kBadSymbol
constexpr uint32_t kEnd = 0;            // end of block
constexpr uint32_t kNoCode = 1;         // no code begins with these bits
constexpr uint32_t kBadSymbol = 2;      // literal/length 286-287, distance 30-31
// Lengths and distances have none of the kind bits.

// Subtables are at most 2^(15 - root) entries, one at most per code.
constexpr unsigned kLiteralTableSize = (1u << kLiteralBits) + 288 * (1u << (kMaxBits - kLiteralBits));
constexpr unsigned kDistanceTableSize = (1u << kDistanceBits) + 32 * (1u << (kMaxBits - kDistanceBits));

struct InputEnded {};  // thrown when the member's data runs out

// Results inside a member besides the INFLATE_* ones.
constexpr int kNextBlock = -1;  // the block ended
constexpr int kGoOn = -2;       // a symbol was decoded

struct State {
  IoFile* input;
  const unsigned char* in;     // the member's bytes in the file's buffer, not yet in the bit buffer
  const unsigned char* inEnd;
  uint32_t budget;             // bytes of the member after inEnd
  uint64_t bitBuffer;          // bits not yet used, the next in the low end (above the
  unsigned bitCount;           // bitCount valid ones: only bits of the bytes at in, or zeros)
  unsigned char* out;          // the window, then what was produced since (kBuffer + kSlack bytes)
  unsigned pos;                // bytes in out
  unsigned flushed;            // out[0, flushed) has gone to the sink
  uint64_t produced;           // all bytes of the member so far
  uint32_t limit;              // bytes the member may produce
  bool writeFailed;
};

State s;

// Apart from the state, so that a run past it meets a sanitizer's guard.
unsigned char outputBuffer[kBuffer + kSlack];

// The lookup tables of a block's two codes, together so that one address
// reaches both.
struct Tables {
  uint32_t literals[kLiteralTableSize];
  uint32_t distances[kDistanceTableSize];
};

Tables dynamicTables, fixedTables;
uint32_t codeLengthTable[1u << kCodeLengthBits];

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

inline uint64_t low_bits(unsigned n) { return (uint64_t(1) << n) - 1; }
inline unsigned taken(uint32_t entry) { return entry & 63; }
inline unsigned first_bits(uint32_t entry) { return (entry >> 8) & 63; }
// The value of a length's or distance's extra bits, from the bits that start
// with its code (the low byte of such an entry is the bits it takes in all).
inline unsigned extra_bits(uint64_t bits, uint32_t entry) {
  return unsigned((bits & low_bits(uint8_t(entry))) >> first_bits(entry));
}

// ---- input ----

// The member's bytes that the file holds in its buffer now become [in, inEnd).
void take_buffered() {
  IoFile* f = s.input;
  uint32_t n = f->fill > f->pos ? uint32_t(f->fill - f->pos) : 0;
  if (n > s.budget) n = s.budget;
  s.in = f->buffer + f->pos;
  s.inEnd = s.in + n;
  f->pos += int(n);
  s.budget -= n;
}

// Eight bytes, the first in the low end.
inline uint64_t load64(const unsigned char* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  if (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) v = __builtin_bswap64(v);
  return v;
}

// Takes whatever bytes are left, one at a time, until the bit buffer holds
// 56 bits or the member's data is used up.
void refill_slowly() {
  while (s.bitCount < 56) {
    if (s.in == s.inEnd) {
      if (s.budget == 0) return;
      int c = io_get_byte(s.input);  // loads the file's next block
      if (c < 0) {
        s.budget = 0;
        return;
      }
      s.budget--;
      s.bitBuffer |= uint64_t(c) << s.bitCount;
      s.bitCount += 8;
      take_buffered();
      continue;
    }
    s.bitBuffer |= uint64_t(*s.in++) << s.bitCount;
    s.bitCount += 8;
  }
}

// Fills the bit buffer to at least 56 bits (at most 63), or with all that is
// left of the member. Eight bytes go in at once while they lie within the
// member; the bytes that only partly fit stay above bitCount and are ORed in
// again later, which leaves them as they are.
inline void refill() {
  if (s.bitCount >= 56) return;
  if (s.inEnd - s.in < 8) return refill_slowly();
  s.bitBuffer |= load64(s.in) << s.bitCount;
  s.in += (63 - s.bitCount) >> 3;
  s.bitCount |= 56;
}

void drop(unsigned n) {
  s.bitBuffer >>= n;
  s.bitCount -= n;
}

// The next n bits (n <= 16); input that ends first abandons the member.
unsigned bits(unsigned n) {
  if (s.bitCount < n) refill();
  if (s.bitCount < n) throw InputEnded{};
  unsigned value = unsigned(s.bitBuffer & low_bits(n));
  drop(n);
  return value;
}

// ---- output ----

// Sends what was produced since the last pass; with keep, the last 32 KiB
// move to the front as the window.
void flush(bool keep) {
  if (s.pos > s.flushed) {
    transfer.checkUpdate(s.out + s.flushed, int(s.pos - s.flushed));
    if (!s.writeFailed && output_sink(s.out, int(s.flushed), int(s.pos)) != 0) s.writeFailed = true;
    s.flushed = s.pos;
  }
  if (keep && s.pos > kWindow) {
    memmove(s.out, s.out + s.pos - kWindow, kWindow);
    s.pos = s.flushed = kWindow;
  }
}

// Puts one byte; false once the member's size is reached or writing failed.
bool put(unsigned char c) {
  if (s.produced >= s.limit || s.writeFailed) return false;
  if (s.pos == kBuffer) flush(true);
  s.out[s.pos++] = c;
  s.produced++;
  return true;
}

// Two bytes, the first from the low end.
inline void store_two(unsigned char* to, uint16_t two) {
  if (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) two = __builtin_bswap16(two);
  memcpy(to, &two, 2);
}

inline void copy8(unsigned char* to, const unsigned char* from) {
  uint64_t word;
  memcpy(&word, from, 8);
  memcpy(to, &word, 8);
}

// Copies a match of length bytes from distance back, 16 or 8 bytes at a
// time. The first 64 bytes (40 for distances below 16) are copied whatever
// the length, with no branch to mispredict for the common short matches, so
// it may write past the end of the match: never more than kSlack bytes past
// the end of a fast loop's room.
inline void copy_match(unsigned char* to, unsigned distance, unsigned length) {
  const unsigned char* from = to - distance;
  unsigned char* const end = to + length;
  if (distance >= 16) {
    memcpy(to, from, 16), memcpy(to + 16, from + 16, 16), memcpy(to + 32, from + 32, 16), memcpy(to + 48, from + 48, 16);
    for (to += 64, from += 64; to < end; to += 16, from += 16) memcpy(to, from, 16);
  } else if (distance >= 8) {
    copy8(to, from), copy8(to + 8, from + 8), copy8(to + 16, from + 16), copy8(to + 24, from + 24);
    copy8(to + 32, from + 32);
    for (to += 40, from += 40; to < end; to += 8, from += 8) copy8(to, from);
  } else if (distance == 1) {
    const uint64_t run = from[0] * 0x0101010101010101ull;
    memcpy(to, &run, 8), memcpy(to + 8, &run, 8), memcpy(to + 16, &run, 8), memcpy(to + 24, &run, 8);
    memcpy(to + 32, &run, 8);
    for (to += 40; to < end; to += 8) memcpy(to, &run, 8);
  } else {
    // A word from one period back: its first distance bytes are right, the
    // rest are put right by the next word.
    do {
      copy8(to, from);
      to += distance;
      from += distance;
    } while (to < end);
  }
}

// ---- tables ----

// What each symbol stands for, as a table entry without its code length:
// the kind, the value and the number of extra bits that follow its code.
uint32_t codeLengthSymbols[19], literalSymbols[288], distanceSymbols[32];

void describe_symbols() {
  for (uint32_t i = 0; i < 19; i++) codeLengthSymbols[i] = i << 16 | kLiteral;
  for (uint32_t i = 0; i < 288; i++)
    literalSymbols[i] = i < 256    ? i << 16 | kLiteral
                        : i == 256 ? kEnd << 16 | kSpecial
                        : i < 286  ? uint32_t(kLengthBase[i - 257]) << 16 | kLengthExtra[i - 257]
                                   : kBadSymbol << 16 | kSpecial;
  for (uint32_t i = 0; i < 32; i++)
    distanceSymbols[i] = i < 30 ? uint32_t(kDistanceBase[i]) << 16 | kDistanceExtra[i] : kBadSymbol << 16 | kSpecial;
}

// The entry of a symbol whose code is length bits long: the extra bits
// follow the code.
inline uint32_t code_entry(uint32_t symbol, unsigned length) { return symbol + length * 0x101; }

// The next canonical code of length bits after reversed, both written first
// bit lowest. After the last code of a complete code the answer means
// nothing (no code follows it).
inline unsigned next_code(unsigned reversed, unsigned length) {
  const unsigned zeros = ~reversed & ((1u << length) - 1);
  const unsigned bit = 1u << (31 - __builtin_clz(zeros | 1));
  return (reversed & (bit - 1)) | bit;
}

// Adds the number of symbols of each code length among length[from, to) to count.
void add_counts(unsigned* count, const uint8_t* length, unsigned from, unsigned to) {
  for (unsigned i = from; i < to; i++) count[length[i]]++;
}

// Builds the lookup table of a canonical code from the lengths of its n
// symbols (described by symbols) and count, the number of symbols of each
// length (count[0]: those without a code): a root of root bits, longer codes
// in subtables just large enough for them. Answers as a count of the codes
// would: 0 complete (or no code at all), > 0 incomplete, < 0
// over-subscribed (no table built); *used gets the number of codes.
int construct(uint32_t* table, const uint32_t* symbols, const uint8_t* length, unsigned n, const unsigned* count,
              unsigned root, int* used) {
  const unsigned total = n - count[0];
  *used = int(total);
  int left = 1;
  for (unsigned len = 1; len <= kMaxBits; len++) {
    left <<= 1;
    left -= int(count[len]);
    if (left < 0) return left;
  }
  if (total == 0) left = 0;
  // The entries of the symbols in canonical order: by length, then by
  // symbol. Those without a code go after them, out of the way, so that the
  // sorting takes no branch.
  unsigned offset[kMaxBits + 1];
  uint32_t sorted[288];
  offset[0] = total;
  offset[1] = 0;
  for (unsigned len = 1; len < kMaxBits; len++) offset[len + 1] = offset[len] + count[len];
  for (unsigned i = 0; i < n; i++) sorted[offset[length[i]]++] = code_entry(symbols[i], length[i]);

  // The root, one length at a time: each code goes in once at its own bits
  // among the first 2^len entries, and before the next length that part is
  // doubled, repeating every entry for each value of the bit after it. What
  // no code covers stays "no code".
  unsigned k = 0, code = 0;  // the next entry in order, and its code written first bit lowest
  table[0] = table[1] = kSpecial | kNoCode << 16;
  for (unsigned len = 1; len <= root; len++) {
    if (len > 1) memcpy(table + (1u << (len - 1)), table, sizeof(uint32_t) << (len - 1));
    for (unsigned c = count[len]; c > 0; c--) {
      table[code] = sorted[k++];
      code = next_code(code, len);
    }
  }
  if (k == total) return left;
  // Longer codes: a subtable for each root prefix they share, wide enough
  // for the codes that share it, which come next in canonical order.
  unsigned pending[kMaxBits + 1];  // codes of each length not yet placed
  memcpy(pending, count, sizeof pending);
  unsigned longest = kMaxBits;
  while (count[longest] == 0) longest--;
  unsigned next = 1u << root;  // where the next subtable goes
  unsigned prefix = ~0u, subStart = 0, subWidth = 0;
  for (; k < total; k++) {
    const uint32_t entry = sorted[k];
    const unsigned len = first_bits(entry);
    const unsigned low = code & ((1u << root) - 1);
    if (low != prefix) {
      prefix = low;
      subWidth = len - root;
      int room = 1 << subWidth;
      for (unsigned l = len; l < longest; l++) {
        room -= int(pending[l]);
        if (room <= 0) break;
        subWidth++;
        room <<= 1;
      }
      subStart = next;
      next += 1u << subWidth;
      if (left != 0)
        for (unsigned i = 0; i < (1u << subWidth); i++) table[subStart + i] = kSpecial | kNoCode << 16;
      table[low] = subStart << 16 | kSubtable | subWidth << 8 | root;
    }
    for (unsigned i = code >> root; i < (1u << subWidth); i += 1u << (len - root)) table[subStart + i] = entry;
    pending[len]--;
    code = next_code(code, len);
  }
  return left;
}

// Two literals in one root entry where both codes fit in its bits (shortest:
// the shortest literal code). Entries are visited from the top, so the entry
// of the second code (at a lower index) is still a single symbol when read.
void pair_literals(uint32_t* table, unsigned shortest) {
  if (2 * shortest > kLiteralBits) return;
  for (unsigned i = (1u << kLiteralBits); i-- > 0;) {
    uint32_t e = table[i];
    if ((e & (kLiteral | kSubtable | kSpecial)) != kLiteral || taken(e) + shortest > kLiteralBits) continue;
    uint32_t second = table[i >> taken(e)];
    if ((second & (kLiteral | kPair | kSubtable | kSpecial)) != kLiteral || taken(e) + taken(second) > kLiteralBits)
      continue;
    table[i] = (e & 0x00FF0000) | (second & 0x00FF0000) << 8 | kLiteral | kPair | taken(e) << 8 |
               (taken(e) + taken(second));
  }
}

// ---- decoding ----

struct Symbol {
  uint32_t entry;
  unsigned value;  // the literal, length or distance, or the special case
};

// The next symbol of the code in table, its bits dropped. A bit string that
// is no code is given up after 15 bits, as a decoder reading bit by bit
// would; input that ends first abandons the member.
__attribute__((always_inline)) inline Symbol decode(const uint32_t* table, unsigned root) {
  refill();
  uint32_t e = table[s.bitBuffer & low_bits(root)];
  if (e & kSubtable) e = table[(e >> 16) + ((s.bitBuffer >> root) & low_bits(first_bits(e)))];
  unsigned need = (e & kLiteral) ? first_bits(e) : taken(e);
  if ((e & kSpecial) && (e >> 16) == kNoCode) need = kMaxBits;
  if (s.bitCount < need) throw InputEnded{};
  unsigned value = e >> 16;
  if (e & kLiteral) {
    value &= 0xFF;
  } else if (!(e & kSpecial)) {
    value += extra_bits(s.bitBuffer, e);
  }
  drop(need);
  return {e, value};
}

// One literal, or one length and distance with their match, with every check
// in the order of a bit-by-bit decoder: kGoOn, kNextBlock, or the member's result.
int careful_symbol(const Tables& tables) {
  Symbol sym = decode(tables.literals, kLiteralBits);
  if (sym.entry & kLiteral) return put(static_cast<unsigned char>(sym.value)) ? kGoOn : INFLATE_DONE;
  if (sym.entry & kSpecial) return sym.value == kEnd ? kNextBlock : INFLATE_BAD_DATA;
  unsigned length = sym.value;
  sym = decode(tables.distances, kDistanceBits);
  if (sym.entry & kSpecial) return INFLATE_BAD_DATA;
  unsigned distance = sym.value;
  if (distance > s.produced) return INFLATE_BAD_DATA;  // before the data produced
  while (length-- > 0) {
    if (s.pos == kBuffer) flush(true);
    if (!put(s.out[s.pos - distance])) return INFLATE_DONE;
  }
  return kGoOn;
}

// Symbols while the input holds at least 8 more bytes and the output room
// (in the buffer and up to the member's size) holds a whole turn: kNextBlock
// at the end of the block, kGoOn for the careful step. The bit buffer holds
// 56 bits or more at the top of each turn, enough for a length and a
// distance (48 at most).
int fast_codes(const Tables& tables) {
  if (s.pos + kMaxStep > kBuffer) flush(true);
  uint64_t room = s.limit - s.produced;
  if (room > kBuffer - s.pos) room = kBuffer - s.pos;
  if (room < kMaxStep || s.inEnd - s.in < 8 || s.writeFailed) return kGoOn;
  unsigned char* const base = s.out;
  unsigned char* op = base + s.pos;
  unsigned char* const opLast = op + (room - kMaxStep);
  const unsigned char* in = s.in;
  const unsigned char* const inLast = s.inEnd - 8;
  uint64_t bb = s.bitBuffer;
  unsigned bc = s.bitCount;
  int result = kGoOn;
  const uint32_t* const literals = tables.literals;
  const uint32_t* const distances = tables.distances;

// The bit count is kept modulo 64 (it is never more than 63), so taking an
// entry's bits subtracts the whole entry.
#define KVX_REFILL()                          \
  do {                                        \
    bb |= load64(in) << (bc & 63);            \
    in += 7 - ((bc >> 3) & 7);                \
    bc |= 56;                                 \
  } while (0)
#define KVX_TAKE(entry)   \
  do {                    \
    bb >>= taken(entry);  \
    bc -= (entry);        \
  } while (0)
#define KVX_LITERALS(entry)               \
  do {                                    \
    store_two(op, uint16_t(entry >> 16)); \
    op += 1 + ((entry >> 7) & 1);         \
  } while (0)

  KVX_REFILL();
  uint32_t e = literals[bb & low_bits(kLiteralBits)];
  while (op <= opLast && in <= inLast) {
    if (e & kLiteral) {
      // Up to three entries of one or two literals each from one refill
      // (at most 33 bits), the next entry looked up before the refill.
      KVX_TAKE(e);
      KVX_LITERALS(e);
      e = literals[bb & low_bits(kLiteralBits)];
      if (e & kLiteral) {
        KVX_TAKE(e);
        KVX_LITERALS(e);
        e = literals[bb & low_bits(kLiteralBits)];
        if (e & kLiteral) {
          KVX_TAKE(e);
          KVX_LITERALS(e);
          e = literals[bb & low_bits(kLiteralBits)];
        }
      }
      KVX_REFILL();
      continue;
    }
    if (e & (kSubtable | kSpecial)) {
      if (e & kSubtable) e = literals[(e >> 16) + ((bb >> kLiteralBits) & low_bits(first_bits(e)))];
      if (e & kLiteral) {
        KVX_TAKE(e);
        *op++ = uint8_t(e >> 16);
        KVX_REFILL();
        e = literals[bb & low_bits(kLiteralBits)];
        continue;
      }
      if (e & kSpecial) {
        if ((e >> 16) == kEnd) {
          KVX_TAKE(e);
          result = kNextBlock;
        }
        break;
      }
    }
    // A length and a distance: nothing is taken until both are known good,
    // so that the careful step can take the length again otherwise.
    const unsigned length = (e >> 16) + extra_bits(bb, e);
    const uint64_t afterLength = bb >> taken(e);
    uint32_t d = distances[afterLength & low_bits(kDistanceBits)];
    if (d & kSubtable) d = distances[(d >> 16) + ((afterLength >> kDistanceBits) & low_bits(first_bits(d)))];
    const unsigned distance = (d >> 16) + extra_bits(afterLength, d);
    if ((d & kSpecial) || distance > unsigned(op - base)) break;
    bb = afterLength >> taken(d);
    bc -= e + d;
    // The next entry is looked up before the refill, from the bits still
    // held (at least 8), so that the lookup does not wait for the refill;
    // in the rare case of fewer bits than the root takes, after it.
    if ((bc & 63) >= kLiteralBits) {
      e = literals[bb & low_bits(kLiteralBits)];
      KVX_REFILL();
    } else {
      KVX_REFILL();
      e = literals[bb & low_bits(kLiteralBits)];
    }
    copy_match(op, distance, length);
    op += length;
  }
#undef KVX_REFILL
#undef KVX_TAKE
#undef KVX_LITERALS

  s.in = in;
  s.bitBuffer = bb;
  s.bitCount = bc & 63;
  s.produced += uint64_t(op - (base + s.pos));
  s.pos = unsigned(op - base);
  return result;
}

// The symbols of one block until its end code: kNextBlock, or the member's
// result. A symbol is a literal byte, the end of the block (256), or a
// length (257-285, with extra bits) followed by a distance code (with extra
// bits) that copies earlier output.
int codes(const Tables& tables) {
  for (;;) {
    if (fast_codes(tables) == kNextBlock) return kNextBlock;
    int result = careful_symbol(tables);
    if (result != kGoOn) return result;
  }
}

// A stored block: the rest of the byte dropped, LEN and its complement, LEN bytes.
int stored() {
  drop(s.bitCount & 7);
  unsigned len = bits(16);
  unsigned nlen = bits(16);
  if (len != (~nlen & 0xFFFF)) return INFLATE_BAD_DATA;
  while (len > 0) {
    if (s.bitCount == 0 && s.in < s.inEnd && s.produced < s.limit && !s.writeFailed) {
      // Whole bytes straight from the input: the bit buffer held only them.
      s.bitBuffer = 0;
      if (s.pos == kBuffer) flush(true);
      uint64_t n = len;
      if (n > uint64_t(s.inEnd - s.in)) n = uint64_t(s.inEnd - s.in);
      if (n > s.limit - s.produced) n = s.limit - s.produced;
      if (n > kBuffer - s.pos) n = kBuffer - s.pos;
      memcpy(s.out + s.pos, s.in, size_t(n));
      s.in += n;
      s.pos += unsigned(n);
      s.produced += n;
      len -= unsigned(n);
      continue;
    }
    if (!put(static_cast<unsigned char>(bits(8)))) return INFLATE_DONE;
    len--;
  }
  return kNextBlock;
}

// A fixed block: literal/length codes of 8 bits (0-143), 9 (144-255), 7
// (256-279) and 8 (280-287), distance codes of 5 bits (30 and 31 unused).
int fixed() {
  static bool built = false;
  if (!built) {
    uint8_t lengths[288];
    unsigned i = 0;
    for (; i < 144; i++) lengths[i] = 8;
    for (; i < 256; i++) lengths[i] = 9;
    for (; i < 280; i++) lengths[i] = 7;
    for (; i < 288; i++) lengths[i] = 8;
    unsigned count[kMaxBits + 1] = {};
    add_counts(count, lengths, 0, 288);
    int used;
    construct(fixedTables.literals, literalSymbols, lengths, 288, count, kLiteralBits, &used);
    pair_literals(fixedTables.literals, 8);
    for (i = 0; i < 30; i++) lengths[i] = 5;
    unsigned distanceCount[kMaxBits + 1] = {};
    add_counts(distanceCount, lengths, 0, 30);
    construct(fixedTables.distances, distanceSymbols, lengths, 30, distanceCount, kDistanceBits, &used);
    built = true;
  }
  return codes(fixedTables);
}

// The code-length symbols of a dynamic block straight from the table while
// at least 8 bytes of input remain to refill from (a symbol and its extra
// bits take 14 bits at most). Stops before a symbol that is no code or would
// be refused, which the careful step then decodes with every check. Answers
// the next index of lengths.
unsigned fast_lengths(uint8_t* lengths, unsigned index, unsigned total) {
  static const uint8_t kRepeatExtra[3] = {2, 3, 7}, kRepeatBase[3] = {3, 3, 11};
  const unsigned char* in = s.in;
  if (s.inEnd - in < 8) return index;
  const unsigned char* const inLast = s.inEnd - 8;
  uint64_t bb = s.bitBuffer;
  unsigned bc = s.bitCount;
  while (index < total) {
    if (bc < 14) {
      if (in > inLast) break;
      bb |= load64(in) << bc;
      in += (63 - bc) >> 3;
      bc |= 56;
    }
    const uint32_t e = codeLengthTable[bb & low_bits(kCodeLengthBits)];
    if (e & kSpecial) break;
    const unsigned symbol = (e >> 16) & 0xFF, n = taken(e);
    if (symbol < 16) {
      lengths[index++] = uint8_t(symbol);
      bb >>= n;
      bc -= n;
      continue;
    }
    const unsigned extra = kRepeatExtra[symbol - 16];
    const unsigned repeat = kRepeatBase[symbol - 16] + unsigned((bb >> n) & low_bits(extra));
    if ((symbol == 16 && index == 0) || index + repeat > total) break;
    memset(lengths + index, symbol == 16 ? lengths[index - 1] : 0, repeat);
    index += repeat;
    bb >>= n + extra;
    bc -= n + extra;
  }
  s.in = in;
  s.bitBuffer = bb;
  s.bitCount = bc;
  return index;
}

// A dynamic block: HLIT + 257 literal/length and HDIST + 1 distance code
// lengths, sent in a code of their own whose HCLEN + 4 three-bit lengths come
// in a fixed order; 16 repeats the previous length 3-6 times, 17 gives 3-10
// zeros, 18 gives 11-138 zeros.
int dynamic() {
  static const uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  // Up to 288 literal and 32 distance codes are tolerated, as other decoders do.
  const unsigned nlen = bits(5) + 257;
  const unsigned ndist = bits(5) + 1;
  const unsigned ncode = bits(4) + 4;
  uint8_t lengths[288 + 32] = {};
  for (unsigned i = 0; i < ncode; i++) lengths[order[i]] = uint8_t(bits(3));
  unsigned count[kMaxBits + 1] = {};
  add_counts(count, lengths, 0, 19);
  int used;
  if (construct(codeLengthTable, codeLengthSymbols, lengths, 19, count, kCodeLengthBits, &used) != 0)
    return INFLATE_BAD_DATA;  // complete only
  const unsigned total = nlen + ndist;
  unsigned index = 0;
  while ((index = fast_lengths(lengths, index, total)) < total) {
    Symbol sym = decode(codeLengthTable, kCodeLengthBits);
    if (sym.entry & kSpecial) return INFLATE_BAD_DATA;
    unsigned symbol = sym.value;
    if (symbol < 16) {
      lengths[index++] = uint8_t(symbol);
      continue;
    }
    uint8_t len = 0;
    unsigned repeat;
    if (symbol == 16) {
      if (index == 0) return INFLATE_BAD_DATA;
      len = lengths[index - 1];
      repeat = 3 + bits(2);
    } else if (symbol == 17) {
      repeat = 3 + bits(3);
    } else {
      repeat = 11 + bits(7);
    }
    if (index + repeat > total) return INFLATE_BAD_DATA;
    while (repeat-- > 0) lengths[index++] = len;
  }
  if (lengths[256] == 0) return INFLATE_BAD_DATA;  // no end code
  // Pairs pay when literals follow literals often: when their codes take
  // most of the code space (a share of 2^15).
  memset(count, 0, sizeof count);
  add_counts(count, lengths, 0, 256);
  unsigned shortest = 0, share = 0;
  for (unsigned len = kMaxBits; len >= 1; len--)
    if (count[len] != 0) {
      share += count[len] << (kMaxBits - len);
      shortest = len;
    }
  add_counts(count, lengths, 256, nlen);
  int err = construct(dynamicTables.literals, literalSymbols, lengths, nlen, count, kLiteralBits, &used);
  if (err < 0 || (err > 0 && used != 1)) return INFLATE_BAD_DATA;  // incomplete only with a single code
  if (share >= 3u << (kMaxBits - 2)) pair_literals(dynamicTables.literals, shortest);
  memset(count, 0, sizeof count);
  add_counts(count, lengths, nlen, total);
  err = construct(dynamicTables.distances, distanceSymbols, lengths + nlen, ndist, count, kDistanceBits, &used);
  if (err < 0 || (err > 0 && used > 1)) return INFLATE_BAD_DATA;  // incomplete only with one code or none
  return codes(dynamicTables);
}

}  // namespace

// Blocks, each a final bit and a two-bit type, until the final one.
int inflate_member(IoFile* input, uint32_t packed, uint32_t size) {
  static bool described = false;
  if (!described) describe_symbols(), described = true;
  s.input = input;
  s.budget = packed;
  take_buffered();
  s.out = outputBuffer;
  s.bitBuffer = 0;
  s.bitCount = 0;
  s.pos = s.flushed = 0;
  s.produced = 0;
  s.limit = size;
  s.writeFailed = false;
  int result;
  try {
    bool last = false;
    do {
      last = bits(1) != 0;
      unsigned type = bits(2);
      result = type == 0 ? stored() : type == 1 ? fixed() : type == 2 ? dynamic() : INFLATE_BAD_DATA;
      if (s.produced >= s.limit) result = INFLATE_DONE;
    } while (result < 0 && !last && !s.writeFailed);
    if (result < 0) result = INFLATE_DONE;
  } catch (const InputEnded&) {
    result = INFLATE_INPUT_ENDED;
  }
  flush(false);
  return s.writeFailed ? INFLATE_WRITE_FAILED : result;
}
