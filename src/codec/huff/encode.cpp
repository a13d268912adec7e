// Block Huffman encoder: buffers allocated once per run, block output with
// three canonical codes per block, and the code builder.
#include "codec/huff/encode.h"

#include <cstdlib>
#include <cstring>

#include "codec/common/settings.h"
#include "platform/fatal.h"
#include "platform/console.h"
#include "platform/iofile.h"

HuffEncoder huffEncoder;

namespace {

constexpr uint32_t FIRST_REQUEST = 49152;
constexpr uint32_t REQUEST_STEP = 512;
constexpr uint32_t REQUEST_FLOOR = 1024;
constexpr uint32_t TOKEN_RESERVE = 72;      // allocated beyond the request; usable = request - 72
constexpr uint32_t LIMIT_RESERVE = 92;      // default block limit = request - 92
constexpr uint32_t OUTPUT_EXTRA = 65536;    // output buffer = request + 65536

uint32_t allocatedRequest = 0;

void reset_tokens() {
  HuffEncoder& e = huffEncoder;
  e.count = 0;
  e.write = e.flag = e.tokens;
  e.mask = 1;
  e.tokens[0] = 0;
}

void clear_frequencies() {
  memset(huffEncoder.char_freq, 0, sizeof huffEncoder.char_freq);
  memset(huffEncoder.pos_freq, 0, sizeof huffEncoder.pos_freq);
}

// Whole bytes go out; the partial byte stays in the bit writer.
int write_output() {
  HuffEncoder& e = huffEncoder;
  if (e.out_count > 0) io_write(e.archive, e.out, static_cast<int>(e.out_count));
  e.out_count = 0;
  return (e.archive->flags & IO_WRITE_ERROR) ? -1 : 0;
}

void pad_to_byte() {
  if (huffEncoder.bit_count > 0) put_bits(8 - huffEncoder.bit_count, 0);
}

// Lengths of a short code: n (trailing zeros dropped) in 5 bits, lengths
// below 7 in 3 bits, longer ones in unary; with `special`, a 2-bit count of
// the zero lengths that follow the third one (among symbols 3..5) is sent
// right after it and those lengths are skipped.
void write_short_lengths(int nn, int special) {
  const uint8_t* len = huffEncoder.short_len;
  int n = nn;
  while (n > 0 && len[n - 1] == 0) n--;
  put_bits(HUFF_LENGTH_COUNT_BITS, static_cast<uint32_t>(n));
  int i = 0;
  while (i < n) {
    int k = len[i++];
    if (k <= 6) {
      put_bits(3, static_cast<uint32_t>(k));
    } else {
      put_bits(k - 3, (1u << (k - 3)) - 2);
    }
    if (i == special) {
      while (i < 6 && len[i] == 0) i++;
      put_bits(HUFF_SHORT_RUN_BITS, static_cast<uint32_t>(i - 3) & 3);
    }
  }
}

// Walks the char/length lengths 0..n-1 as code-length symbols: a length k
// is symbol k + 2; runs of zeros are one or two symbol 0s, symbol 1 with a
// short count (3..18; 19 as symbol 0 then symbol 1 with 15), or symbol 2
// with a long count. emit(symbol, extra bits, extra value) is called for
// each symbol; extra bits are 0 when none follow.
template <typename Emit>
void walk_length_symbols(int n, Emit emit) {
  const HuffEncoder& e = huffEncoder;
  int i = 0;
  while (i < n) {
    int k = e.char_len[i++];
    if (k != 0) {
      emit(k + 2, 0, 0u);
      continue;
    }
    int run = 1;
    while (i < n && e.char_len[i] == 0) {
      i++;
      run++;
    }
    if (run <= 2) {
      for (int r = 0; r < run; r++) emit(0, 0, 0u);
    } else if (run <= 18) {
      emit(1, HUFF_RUN_SHORT_BITS, static_cast<uint32_t>(run - HUFF_RUN_SHORT_MIN));
    } else if (run == 19) {
      emit(0, 0, 0u);
      emit(1, HUFF_RUN_SHORT_BITS, 15u);
    } else {
      emit(2, HUFF_RUN_LONG_BITS, static_cast<uint32_t>(run - HUFF_RUN_LONG_MIN));
    }
  }
}

// Code-length symbol frequencies of the char/length lengths 0..n-1.
void count_length_symbols(int n) {
  HuffEncoder& e = huffEncoder;
  memset(e.len_freq, 0, sizeof e.len_freq);
  walk_length_symbols(n, [&](int symbol, int, uint32_t) { e.len_freq[symbol] += 1; });
}

// The char/length lengths 0..n-1, each as a code-length symbol.
void write_char_lengths(int n) {
  HuffEncoder& e = huffEncoder;
  put_bits(HUFF_CHAR_COUNT_BITS, static_cast<uint32_t>(n));
  walk_length_symbols(n, [&](int symbol, int bits, uint32_t value) {
    put_bits(e.short_len[symbol], e.short_code[symbol]);
    if (bits) put_bits(bits, value);
  });
}

// Codes the collected symbols with the codes of this block.
void write_tokens() {
  HuffEncoder& e = huffEncoder;
  const uint8_t* t = e.tokens;
  const uint8_t* end = e.write;
  const uint8_t* char_len = e.char_len;
  const uint32_t* char_code = e.char_code;
  const uint8_t* pos_len = e.short_len;
  const uint32_t* pos_code = e.short_code;
  unsigned flags = 0;
  unsigned bit = 1;
  while (t < end) {
    if (bit == 1) {
      flags = *t++;
      bit = 0x80;
      if (t >= end) break;
    } else {
      bit >>= 1;
    }
    unsigned c = *t++;
    if ((flags & bit) == 0) {
      put_bits(char_len[c], char_code[c]);
      continue;
    }
    c += 256;
    uint32_t p = (static_cast<uint32_t>(t[0]) << 8) | t[1];
    t += 2;
    int k = huff_position_code(p);
    // The length code, the position code and its extra bits in one go.
    const int extra = k > 1 ? k - 1 : 0;
    const uint32_t length_code = char_code[c] & ((1u << char_len[c]) - 1);
    const uint32_t position_code = pos_code[k] & ((1u << pos_len[k]) - 1);
    const uint64_t fields = (uint64_t{length_code} << (pos_len[k] + extra)) |
                            (uint64_t{position_code} << extra) |
                            (extra != 0 ? p - (1u << extra) : 0);
    put_bits(char_len[c] + pos_len[k] + extra, fields);
  }
}

// Walks the tree below `node` and counts leaves by depth (capped at 16).
void count_depths(int n, uint32_t node, int depth, uint32_t* depth_count) {
  const HuffEncoder& e = huffEncoder;
  while (node >= static_cast<uint32_t>(n)) {
    count_depths(n, e.left[node], depth + 1, depth_count);
    node = e.right[node];
    depth++;
  }
  depth_count[depth < HUFF_MAX_CODE_LENGTH ? depth : HUFF_MAX_CODE_LENGTH] += 1;
}

void sift_down(uint32_t* heap, int count, const uint32_t* freq, int i) {
  uint32_t k = heap[i];
  while (2 * i <= count) {
    int j = 2 * i;
    if (j < count && freq[heap[j]] > freq[heap[j + 1]]) j++;
    if (freq[k] <= freq[heap[j]]) break;
    heap[i] = heap[j];
    i = j;
  }
  heap[i] = k;
}

void allocate_buffers() {
  HuffEncoder& e = huffEncoder;
  if (e.tokens == nullptr) {
    uint32_t request = FIRST_REQUEST;
    uint8_t* p = nullptr;
    while (request > REQUEST_FLOOR) {
      p = static_cast<uint8_t*>(malloc(request + TOKEN_RESERVE));
      if (p != nullptr) break;
      request -= REQUEST_STEP;
    }
    if (p == nullptr) fatal_error(message_text(MSG_NO_MEMORY));
    e.tokens = p;
    allocatedRequest = request;
    e.buffer_size = request - TOKEN_RESERVE;
    e.limit = request - LIMIT_RESERVE;
    reset_tokens();
  }
  if (e.out == nullptr) {
    uint32_t size = allocatedRequest + OUTPUT_EXTRA;
    e.out = static_cast<uint8_t*>(malloc(size));
    if (e.out == nullptr) fatal_error(message_text(MSG_NO_MEMORY));
    e.out_capacity = size;
    e.out_count = 0;
  }
}

}  // namespace

void huff_buffers_alloc() { allocate_buffers(); }

unsigned char* codec_memory_buffer() {
  allocate_buffers();
  return huffEncoder.out;
}

int32_t codec_memory_size() { return static_cast<int32_t>(huffEncoder.out_count); }

int32_t codec_memory_capacity() { return static_cast<int32_t>(huffEncoder.out_capacity); }

int32_t codec_buffer_size() { return static_cast<int32_t>(huffEncoder.buffer_size); }

void huff_clear_output() {
  allocate_buffers();
  huffEncoder.out_count = 0;
}

void huff_configure(uint32_t limit, int memoryMode, IoFile* archive) {
  allocate_buffers();
  huffEncoder.limit = limit;
  huffEncoder.memory_mode = memoryMode;
  huffEncoder.archive = archive;
}

void huff_start() {
  allocate_buffers();
  clear_frequencies();
  reset_tokens();
  huffEncoder.bits = 0;
  huffEncoder.bit_count = 0;
}

int huff_close_block() {
  huff_send_block();
  reset_tokens();
  if (huffEncoder.memory_mode) {
    pad_to_byte();
    return 1;
  }
  return write_output();
}

int huff_finish() {
  huff_send_block();
  pad_to_byte();
  if (huffEncoder.memory_mode) return 0;
  return write_output();
}

void huff_send_block() {
  HuffEncoder& e = huffEncoder;
  int root = huff_build_code(HUFF_CHAR_ARRAY, e.char_freq, e.char_len, e.char_code);
  put_bits(HUFF_BLOCK_COUNT_BITS, e.char_freq[root]);
  if (root >= HUFF_CHAR_ARRAY) {
    int n = HUFF_CHAR_SYMBOLS;
    while (n > 0 && e.char_len[n - 1] == 0) n--;
    count_length_symbols(n);
    int root2 = huff_build_code(HUFF_LENGTH_SYMBOLS, e.len_freq, e.short_len, e.short_code);
    if (root2 < HUFF_LENGTH_SYMBOLS) {
      put_bits(HUFF_LENGTH_COUNT_BITS, 0);
      put_bits(HUFF_LENGTH_COUNT_BITS, static_cast<uint32_t>(root2));
    } else {
      write_short_lengths(HUFF_LENGTH_SYMBOLS, HUFF_LENGTH_SPECIAL);
    }
    write_char_lengths(n);
  } else {
    put_bits(HUFF_LENGTH_COUNT_BITS, 0);
    put_bits(HUFF_LENGTH_COUNT_BITS, 0);
    put_bits(HUFF_CHAR_COUNT_BITS, 0);
    put_bits(HUFF_CHAR_COUNT_BITS, static_cast<uint32_t>(root));
  }
  int np = codecSettings.narrowWindow ? HUFF_POSITION_SYMBOLS_NARROW : HUFF_POSITION_SYMBOLS;
  int root3 = huff_build_code(np, e.pos_freq, e.short_len, e.short_code);
  if (root3 < np) {
    put_bits(HUFF_POSITION_COUNT_BITS, 0);
    put_bits(HUFF_POSITION_COUNT_BITS, static_cast<uint32_t>(root3));
  } else {
    write_short_lengths(np - 1, -1);
  }
  write_tokens();
  clear_frequencies();
}

int huff_build_code(int n, uint32_t* freq, uint8_t* len, uint32_t* code) {
  HuffEncoder& e = huffEncoder;
  uint32_t heap[HUFF_CHAR_ARRAY + 1];
  uint32_t leaves[HUFF_CHAR_ARRAY];
  int leaf_count = 0;

  memset(len, 0, static_cast<size_t>(n));
  heap[1] = 0;
  int count = 0;
  for (int s = 0; s < n; s++) {
    if (freq[s] != 0) heap[++count] = static_cast<uint32_t>(s);
  }
  if (count < 2) {
    code[heap[1]] = 0;
    return static_cast<int>(heap[1]);
  }
  for (int i = count / 2; i >= 1; i--) sift_down(heap, count, freq, i);

  uint32_t next = static_cast<uint32_t>(n);
  uint32_t k = next;
  while (count > 1) {
    uint32_t i = heap[1];
    if (i < static_cast<uint32_t>(n)) leaves[leaf_count++] = i;
    heap[1] = heap[count--];
    sift_down(heap, count, freq, 1);
    uint32_t j = heap[1];
    if (j < static_cast<uint32_t>(n)) leaves[leaf_count++] = j;
    k = next++;
    freq[k] = freq[i] + freq[j];
    heap[1] = k;
    sift_down(heap, count, freq, 1);
    e.left[k] = i;
    e.right[k] = j;
  }

  uint32_t depth_count[HUFF_MAX_CODE_LENGTH + 2] = {};
  count_depths(n, k, 0, depth_count);
  uint32_t total = 0;
  for (int l = 1; l <= HUFF_MAX_CODE_LENGTH; l++) {
    total += depth_count[l] << (HUFF_MAX_CODE_LENGTH - l);
  }
  // Too deep a tree: move leaves up from depth 16 until the code fits.
  while (total > 65536) {
    depth_count[HUFF_MAX_CODE_LENGTH] -= 1;
    for (int l = HUFF_MAX_CODE_LENGTH - 1; l >= 1; l--) {
      if (depth_count[l] != 0) {
        depth_count[l] -= 1;
        depth_count[l + 1] += 2;
        break;
      }
    }
    total -= 1;
  }

  int taken = 0;
  for (int l = HUFF_MAX_CODE_LENGTH; l >= 1; l--) {
    for (uint32_t c = depth_count[l]; c > 0; c--) len[leaves[taken++]] = static_cast<uint8_t>(l);
  }

  uint32_t start[HUFF_MAX_CODE_LENGTH + 2];
  start[1] = 0;
  for (int l = 1; l <= HUFF_MAX_CODE_LENGTH; l++) start[l + 1] = (start[l] + depth_count[l]) << 1;
  for (int s = 0; s < n; s++) {
    if (len[s] != 0) code[s] = start[len[s]]++;
  }
  return static_cast<int>(k);
}
