// Deflate decoding in the shape of a small reference decoder: one state
// record, a function per block kind, canonical codes decoded with counts and
// symbol lists. Trusted: nothing of the stream. The input is bounded by the
// member's packed size; running out of it abandons the member (the one
// exception, caught at the entry); every code is checked before use, and a
// distance never reaches before the data produced.
#include "formats/inflate.h"

#include <cstring>

#include "codec/common/transfer.h"

namespace {

constexpr int kMaxBits = 15;
constexpr int kMaxDistanceCodes = 30;
constexpr int kFixedLiteralCodes = 288;
constexpr unsigned kWindow = 32768;
constexpr unsigned kBuffer = 2 * kWindow;  // produced bytes; the older half is the window

struct InputEnded {};  // thrown when the member's data runs out

struct Huffman {
  short count[kMaxBits + 1];  // codes of each length
  short symbol[kFixedLiteralCodes];  // symbols in canonical order
};

struct State {
  IoFile* input;
  uint32_t budget;    // input bytes left
  uint32_t bitBuffer;
  int bitCount;
  unsigned char out[kBuffer];
  unsigned pos;       // bytes in out
  unsigned flushed;   // out[0, flushed) has gone to the sink
  uint64_t produced;  // all bytes of the member so far
  uint32_t limit;     // bytes the member may produce
  bool writeFailed;
};

State s;

int bits(int need) {
  uint32_t value = s.bitBuffer;
  while (s.bitCount < need) {
    if (s.budget == 0) throw InputEnded{};
    int c = io_get_byte(s.input);
    if (c < 0) throw InputEnded{};
    s.budget--;
    value |= uint32_t(c) << s.bitCount;
    s.bitCount += 8;
  }
  s.bitBuffer = value >> need;
  s.bitCount -= need;
  return int(value & ((1u << need) - 1));
}

// Sends what was produced since the last flush; keeps the last 32 KiB as the window.
void flush(bool all) {
  if (s.pos > s.flushed) {
    transfer.checkUpdate(s.out + s.flushed, int(s.pos - s.flushed));
    if (output_sink(s.out, int(s.flushed), int(s.pos)) != 0) s.writeFailed = true;
    s.flushed = s.pos;
  }
  if (!all && s.pos == kBuffer) {
    memmove(s.out, s.out + kWindow, kWindow);
    s.pos = s.flushed = kWindow;
  }
}

// Puts one byte; false once the member's size is reached or writing failed.
bool put(unsigned char c) {
  if (s.produced >= s.limit || s.writeFailed) return false;
  if (s.pos == kBuffer) flush(false);
  s.out[s.pos++] = c;
  s.produced++;
  return true;
}

// A stored block: the rest of the byte dropped, LEN and its complement, LEN bytes.
int stored() {
  s.bitBuffer = 0;
  s.bitCount = 0;
  int len = bits(16);
  int nlen = bits(16);
  if (len != (~nlen & 0xFFFF)) return INFLATE_BAD_DATA;
  while (len-- > 0)
    if (!put(static_cast<unsigned char>(bits(8)))) return INFLATE_DONE;
  return -1;  // go on with the next block
}

int decode(const Huffman& h) {
  int code = 0, first = 0, index = 0;
  for (int len = 1; len <= kMaxBits; len++) {
    code |= bits(1);
    int count = h.count[len];
    if (code - count < first) return h.symbol[index + (code - first)];
    index += count;
    first += count;
    first <<= 1;
    code <<= 1;
  }
  return -10;  // no code of that bit string
}

// Builds a canonical code from lengths. 0 complete; > 0 incomplete (allowed
// for a single distance code, and an empty distance code); < 0 over-subscribed.
int construct(Huffman& h, const short* length, int n) {
  for (int len = 0; len <= kMaxBits; len++) h.count[len] = 0;
  for (int i = 0; i < n; i++) h.count[length[i]]++;
  if (h.count[0] == n) return 0;
  int left = 1;
  for (int len = 1; len <= kMaxBits; len++) {
    left <<= 1;
    left -= h.count[len];
    if (left < 0) return left;
  }
  short offs[kMaxBits + 1];
  offs[1] = 0;
  for (int len = 1; len < kMaxBits; len++) offs[len + 1] = short(offs[len] + h.count[len]);
  for (int i = 0; i < n; i++)
    if (length[i] != 0) h.symbol[offs[length[i]]++] = short(i);
  return left;
}

const short kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                               31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const short kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const short kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                 193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const short kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The symbols of one block until its end code.
int codes(const Huffman& literals, const Huffman& distances) {
  for (;;) {
    int symbol = decode(literals);
    if (symbol < 0) return INFLATE_BAD_DATA;
    if (symbol < 256) {
      if (!put(static_cast<unsigned char>(symbol))) return INFLATE_DONE;
      continue;
    }
    if (symbol == 256) return -1;
    symbol -= 257;
    if (symbol >= 29) return INFLATE_BAD_DATA;
    int len = kLengthBase[symbol] + bits(kLengthExtra[symbol]);
    symbol = decode(distances);
    if (symbol < 0 || symbol >= 30) return INFLATE_BAD_DATA;
    unsigned dist = unsigned(kDistanceBase[symbol] + bits(kDistanceExtra[symbol]));
    if (dist > s.produced || dist > kWindow) return INFLATE_BAD_DATA;  // before the data produced
    while (len-- > 0) {
      if (s.pos == kBuffer) flush(false);
      if (!put(s.out[s.pos - dist])) return INFLATE_DONE;
    }
  }
}

int fixed() {
  static Huffman literals, distances;
  static bool built = false;
  if (!built) {
    short lengths[kFixedLiteralCodes];
    int i = 0;
    for (; i < 144; i++) lengths[i] = 8;
    for (; i < 256; i++) lengths[i] = 9;
    for (; i < 280; i++) lengths[i] = 7;
    for (; i < kFixedLiteralCodes; i++) lengths[i] = 8;
    construct(literals, lengths, kFixedLiteralCodes);
    for (i = 0; i < kMaxDistanceCodes; i++) lengths[i] = 5;
    construct(distances, lengths, kMaxDistanceCodes);
    built = true;
  }
  return codes(literals, distances);
}

int dynamic() {
  static const short order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  // Up to 288 literal and 32 distance codes are tolerated, as other decoders do.
  int nlen = bits(5) + 257;
  int ndist = bits(5) + 1;
  int ncode = bits(4) + 4;
  if (nlen > kFixedLiteralCodes || ndist > 32) return INFLATE_BAD_DATA;
  short lengths[kFixedLiteralCodes + 32] = {};
  int index = 0;
  for (; index < ncode; index++) lengths[order[index]] = short(bits(3));
  for (; index < 19; index++) lengths[order[index]] = 0;
  Huffman lencode, distcode;
  if (construct(lencode, lengths, 19) != 0) return INFLATE_BAD_DATA;  // complete only
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
  if (lengths[256] == 0) return INFLATE_BAD_DATA;  // no end code
  int err = construct(lencode, lengths, nlen);
  if (err < 0 || (err > 0 && nlen - lencode.count[0] != 1)) return INFLATE_BAD_DATA;
  err = construct(distcode, lengths + nlen, ndist);
  if (err < 0 || (err > 0 && ndist - distcode.count[0] > 1)) return INFLATE_BAD_DATA;
  return codes(lencode, distcode);
}

}  // namespace

int inflate_member(IoFile* input, uint32_t packed, uint32_t size) {
  s.input = input;
  s.budget = packed;
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
      int type = bits(2);
      result = type == 0 ? stored() : type == 1 ? fixed() : type == 2 ? dynamic() : INFLATE_BAD_DATA;
      if (s.produced >= s.limit) result = INFLATE_DONE;
    } while (result < 0 && !last && !s.writeFailed);
    if (result < 0) result = INFLATE_DONE;
  } catch (const InputEnded&) {
    result = INFLATE_INPUT_ENDED;
  }
  flush(true);
  return s.writeFailed ? INFLATE_WRITE_FAILED : result;
}
