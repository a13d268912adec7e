// Block Huffman encoder: exact bits of small members, the header codings
// (zero runs, unary lengths), code construction, byte-boundary ending, and
// the member entries pack_member / store_member.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/common/transfer.h"
#include "codec/huff/encode.h"
#include "codec/pack.h"
#include "codec/lz/lz77.h"
#include "codec/common/settings.h"
#include "platform/settings.h"
#include "platform/console.h"
#include "platform/iofile.h"
#include "support/temp_dir.h"

namespace {

// ---- an independent reader of the member stream, for checking ----

struct BitIn {
  const Bytes& data;
  size_t bit = 0;
  bool overrun = false;
  explicit BitIn(const Bytes& d) : data(d) {}
  uint32_t get(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++, bit++) {
      uint32_t b = 0;
      if (bit / 8 < data.size()) {
        b = (data[bit / 8] >> (7 - bit % 8)) & 1;
      } else {
        overrun = true;
      }
      v = (v << 1) | b;
    }
    return v;
  }
};

// A canonical code given by its lengths, or a single symbol that takes no bits.
struct Code {
  int single = -1;
  std::vector<int> len;
  int count[17] = {};
  std::vector<int> sorted;  // symbols by length, then by value
  void prepare() {
    for (int l : len) count[l]++;
    for (int l = 1; l <= 16; l++)
      for (size_t s = 0; s < len.size(); s++)
        if (len[s] == l) sorted.push_back(static_cast<int>(s));
  }
  int decode(BitIn& in) const {
    if (single >= 0) return single;
    int code = 0, first = 0, index = 0;
    for (int l = 1; l <= 16; l++) {
      code |= static_cast<int>(in.get(1));
      if (code - first < count[l]) return sorted[index + code - first];
      index += count[l];
      first = (first + count[l]) << 1;
      code <<= 1;
    }
    ADD_FAILURE() << "no code matches";
    return 0;
  }
};

struct Block {
  uint32_t n = 0;
  Code lengthCode, charCode, posCode;
  std::vector<std::pair<int, int>> lengthSymbols;  // code-length symbol, extra value
  std::vector<std::pair<int, int>> lengthLengths;  // code-length lengths sent, with their bits
  std::vector<int> posLengthBits;                 // bits each position length took
  int posCount = 0;                               // n of the position code
};

struct Symbol {
  int length;  // 1 for a literal
  uint32_t distance;
  uint8_t literal;
};

struct Decoded {
  std::vector<Block> blocks;
  std::vector<Symbol> symbols;
  Bytes out;
  size_t bits = 0;
  bool overrun = false;
};

void read_short(BitIn& in, int nn, int special, Code& code, std::vector<int>* bits, int* count,
                std::vector<std::pair<int, int>>* sent = nullptr) {
  int n = static_cast<int>(in.get(5));
  if (count) *count = n;
  if (n == 0) {
    code.single = static_cast<int>(in.get(5));
    return;
  }
  code.len.assign(static_cast<size_t>(nn), 0);
  int i = 0;
  while (i < n) {
    size_t start = in.bit;
    int v = static_cast<int>(in.get(3));
    if (v == 7)
      while (in.get(1) == 1) v++;
    code.len[static_cast<size_t>(i++)] = v;
    if (bits) bits->push_back(static_cast<int>(in.bit - start));
    if (sent) sent->push_back({v, static_cast<int>(in.bit - start)});
    if (i == special) i += static_cast<int>(in.get(2));
  }
  code.prepare();
}

Block read_header(BitIn& in) {
  Block b;
  b.n = in.get(16);
  read_short(in, 19, 3, b.lengthCode, nullptr, nullptr, &b.lengthLengths);
  int n = static_cast<int>(in.get(9));
  if (n == 0) {
    b.charCode.single = static_cast<int>(in.get(9));
  } else {
    b.charCode.len.assign(510, 0);
    int i = 0;
    while (i < n) {
      int s = b.lengthCode.decode(in);
      int extra = 0;
      if (s == 0) {
        i += 1;
      } else if (s == 1) {
        extra = static_cast<int>(in.get(4));
        i += extra + 3;
      } else if (s == 2) {
        extra = static_cast<int>(in.get(9));
        i += extra + 20;
      } else {
        b.charCode.len[static_cast<size_t>(i++)] = s - 2;
      }
      b.lengthSymbols.push_back({s, extra});
    }
    b.charCode.prepare();
  }
  read_short(in, 17, -1, b.posCode, &b.posLengthBits, &b.posCount);
  return b;
}

Decoded decode_stream(const Bytes& stream, size_t size) {
  Decoded d;
  BitIn in(stream);
  do {
    Block b = read_header(in);
    for (uint32_t i = 0; i < b.n && !in.overrun; i++) {
      int c = b.charCode.decode(in);
      if (c < 256) {
        d.symbols.push_back({1, 0, static_cast<uint8_t>(c)});
        d.out.push_back(static_cast<uint8_t>(c));
        continue;
      }
      int k = b.posCode.decode(in);
      uint32_t p = k < 2 ? static_cast<uint32_t>(k) : (1u << (k - 1)) + in.get(k - 1);
      int len = c - 253;
      d.symbols.push_back({len, p + 1, 0});
      for (int j = 0; j < len; j++) {
        size_t from = d.out.size() - p - 1;
        d.out.push_back(from < d.out.size() ? d.out[from] : 0);
      }
    }
    d.blocks.push_back(std::move(b));
  } while (d.out.size() < size && !in.overrun);
  d.bits = in.bit;
  d.overrun = in.overrun;
  return d;
}

// ---- driving the encoder ----

// Codes a hand-made symbol sequence as one member in memory.
Bytes encode_symbols(const std::vector<std::pair<uint32_t, uint32_t>>& symbols) {
  codec_buffers_alloc();
  huff_configure(static_cast<uint32_t>(codec_buffer_size()) - 20, 1, nullptr);
  huff_clear_output();
  huff_start();
  for (auto& s : symbols) EXPECT_EQ(huff_emit(s.first, s.second), 0);
  huff_finish();
  const uint8_t* p = codec_memory_buffer();
  return Bytes(p, p + codec_memory_size());
}

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    codecSettings = CodecSettings{};
    lz_reset();
    transfer.inputChecked = 1;
    transfer.checkUpdate = crc32_update;
    console_use_streams(tmpfile(), tmpfile(), nullptr);
  }
  void TearDown() override {
    codecSettings = CodecSettings{};
    lz_reset();
  }
  std::string path(const char* name) { return dir.file(name); }

  IoFile* input_of(const Bytes& data) { return io_open(dir.put("in", data).c_str(), IO_MODE_READ); }

  struct Packed {
    Bytes stream;
    int64_t unpacked;
    int64_t packed;
    uint32_t check;
  };

  // Packs data as one member into a fresh archive file (after `prefix` bytes).
  Packed pack(const Bytes& data, int prefix = 0) {
    Packed r{};
    IoFile* in = input_of(data);
    std::string name = path("arc");
    IoFile* arc = io_open(name.c_str(), IO_MODE_CREATE);
    for (int i = 0; i < prefix; i++) io_put_byte(arc, 0x55);
    r.check = pack_member(in, arc, 0, static_cast<int32_t>(data.size()), &r.unpacked, &r.packed);
    io_close(arc);
    io_close(in);
    Bytes all = read_file(name);
    r.stream.assign(all.begin() + prefix, all.end());
    return r;
  }

  TempDir dir{"kvx-encode"};
};

Bytes text_sample(size_t size, uint32_t seed) {
  static const char* words[] = {"the ", "archive ", "member ", "window ", "of ", "and ",
                                "block ", "code ", "length ", "\n", "position ", "a "};
  Bytes b;
  uint32_t x = seed;
  while (b.size() < size) {
    x = x * 1103515245u + 12345u;
    const char* w = words[(x >> 16) % 12];
    b.insert(b.end(), w, w + strlen(w));
    if ((x >> 8) % 7 == 0) b.push_back(static_cast<uint8_t>('0' + (x >> 20) % 10));
  }
  b.resize(size);
  return b;
}

Bytes random_bytes(size_t size, uint32_t seed) {
  Bytes b(size);
  uint32_t x = seed;
  for (auto& c : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<uint8_t>(x);
  }
  return b;
}

std::string hex(const Bytes& b) {
  std::string s;
  char t[4];
  for (uint8_t c : b) {
    snprintf(t, sizeof t, "%02x", c);
    s += t;
  }
  return s;
}

// ---- exact streams ----

struct ExactCase {
  const char* what;
  Bytes input;
  const char* stream;
};

class ExactStream : public PackTest, public ::testing::WithParamInterface<ExactCase> {};

TEST_P(ExactStream, BytesAreExact) {
  Packed r = pack(GetParam().input);
  EXPECT_EQ(hex(r.stream), GetParam().stream);
  EXPECT_EQ(r.unpacked, static_cast<int64_t>(GetParam().input.size()));
  EXPECT_EQ(r.packed, static_cast<int64_t>(r.stream.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Members, ExactStream,
    ::testing::Values(
        // N = 0, both codes sent as "n = 0, symbol 0", then 2 fill bits.
        ExactCase{"empty", {}, "00000000000000"},
        // N = 1; the char/length code is n = 0 then 'A' (9 bits), so the
        // symbol itself takes no bits; position code n = 0, symbol 0.
        ExactCase{"one byte", {'A'}, "00010000041000"},
        // Three equal bytes: all literals (position 0 is no match source).
        ExactCase{"three equal", {'z', 'z', 'z'}, "0003000007a000"}),
    [](const ::testing::TestParamInfo<ExactCase>& i) {
      std::string s = i.param.what;
      for (char& c : s)
        if (c == ' ') c = '_';
      return s;
    });

// ---- header codings ----

// Literals 'a' and 'a' + gap + 1 leave a run of `gap` zero lengths between them.
struct RunCase {
  int gap;
  std::vector<std::pair<int, int>> run;  // code-length symbols (with extra) sent for the run
};

class ZeroRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(ZeroRun, SentAsRunSymbols) {
  const int low = 'a';
  const int high = low + GetParam().gap + 1;
  Bytes s = encode_symbols({{static_cast<uint32_t>(low), 0}, {static_cast<uint32_t>(high), 0},
                            {static_cast<uint32_t>(low), 0}});
  Decoded d = decode_stream(s, 3);
  ASSERT_EQ(d.blocks.size(), 1u);
  const auto& seq = d.blocks[0].lengthSymbols;
  // Leading run of 97 zero lengths: symbol 2 with 97 - 20.
  ASSERT_GE(seq.size(), 3u);
  EXPECT_EQ(seq.front(), std::make_pair(2, 77));
  std::vector<std::pair<int, int>> middle(seq.begin() + 2, seq.end() - 1);
  EXPECT_EQ(middle, GetParam().run);
  EXPECT_EQ(d.out, Bytes({static_cast<uint8_t>(low), static_cast<uint8_t>(high),
                          static_cast<uint8_t>(low)}));
}

INSTANTIATE_TEST_SUITE_P(Runs, ZeroRun,
                         ::testing::Values(RunCase{1, {{0, 0}}}, RunCase{2, {{0, 0}, {0, 0}}},
                                           RunCase{3, {{1, 0}}}, RunCase{18, {{1, 15}}},
                                           RunCase{19, {{0, 0}, {1, 15}}},
                                           RunCase{20, {{2, 0}}}, RunCase{100, {{2, 80}}}));

TEST(PositionLengths, LongLengthsAreUnary) {
  // Position codes 1..9 with frequencies 1, 1, 2, 4, .. 128 give code lengths
  // 8, 8, 7, 6, .. 1: lengths from 7 on are sent as L - 4 ones and a zero.
  std::vector<std::pair<uint32_t, uint32_t>> symbols;
  const uint32_t freq[] = {1, 1, 2, 4, 8, 16, 32, 64, 128};
  for (int k = 1; k <= 9; k++)
    for (uint32_t i = 0; i < freq[k - 1]; i++) symbols.push_back({256, 1u << (k - 1)});
  Bytes s = encode_symbols(symbols);
  Decoded d = decode_stream(s, symbols.size() * 3);
  ASSERT_EQ(d.blocks.size(), 1u);
  const Block& b = d.blocks[0];
  ASSERT_EQ(b.posCount, 10);  // symbols 0..9, symbol 0 with length 0
  std::vector<int> lens(b.posCode.len.begin(), b.posCode.len.begin() + 10);
  EXPECT_EQ(lens, std::vector<int>({0, 8, 8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(b.posLengthBits, std::vector<int>({3, 5, 5, 4, 3, 3, 3, 3, 3, 3}));
  for (size_t i = 0; i < d.symbols.size(); i++) {
    EXPECT_EQ(d.symbols[i].length, 3);
    EXPECT_EQ(d.symbols[i].distance, symbols[i].second + 1);
  }
}

TEST(PositionLengths, NarrowWindowSendsAtMostSixteen) {
  for (int narrow = 0; narrow <= 1; narrow++) {
    codecSettings.narrowWindow = narrow;
    const uint32_t far = narrow ? 31738 : 64506;  // largest position value
    Bytes s = encode_symbols({{'x', 0}, {300, far}, {300, 5}});
    Decoded d = decode_stream(s, 1 + 47 * 2);
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(d.blocks[0].posCount, narrow ? 16 : 17);
    EXPECT_EQ(d.symbols[1].distance, far + 1);
  }
  codecSettings = CodecSettings{};
}

// ---- code construction ----

struct BuildCase {
  std::vector<uint32_t> freq;
  int root;
  std::vector<int> lengths;
  std::vector<uint32_t> codes;  // of the symbols with a nonzero length
};

class BuildCode : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildCode, LengthsCodesAndRoot) {
  const BuildCase& c = GetParam();
  int n = static_cast<int>(c.freq.size());
  std::vector<uint32_t> freq(64, 0);
  std::copy(c.freq.begin(), c.freq.end(), freq.begin());
  std::vector<uint8_t> len(static_cast<size_t>(n) + 1, 99);
  std::vector<uint32_t> code(static_cast<size_t>(n) + 1, 99);
  EXPECT_EQ(huff_build_code(n, freq.data(), len.data(), code.data()), c.root);
  std::vector<int> lens(len.begin(), len.begin() + n);
  EXPECT_EQ(lens, c.lengths);
  std::vector<uint32_t> codes;
  for (int s = 0; s < n; s++)
    if (len[static_cast<size_t>(s)] != 0) codes.push_back(code[static_cast<size_t>(s)]);
  EXPECT_EQ(codes, c.codes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildCode,
    ::testing::Values(BuildCase{{0, 0, 0}, 0, {0, 0, 0}, {}},        // nothing occurs
                      BuildCase{{0, 0, 5}, 2, {0, 0, 0}, {}},        // one symbol: no bits
                      BuildCase{{3, 0, 5}, 3, {1, 0, 1}, {0, 1}},
                      BuildCase{{1, 1, 2}, 4, {2, 2, 1}, {2, 3, 0}},
                      // Equal frequencies: heap position decides.
                      BuildCase{{2, 1, 1, 2}, 6, {1, 3, 3, 2}, {0, 6, 7, 2}},
                      BuildCase{{1, 1, 1, 1}, 6, {2, 2, 2, 2}, {0, 1, 2, 3}}));

TEST(BuildCodeDepth, DeepTreeIsFlattenedToSixteen) {
  // Fibonacci frequencies make a tree 24 levels deep.
  const int n = 25;
  std::vector<uint32_t> freq(64, 0);
  freq[0] = freq[1] = 1;
  for (size_t i = 2; i < static_cast<size_t>(n); i++) freq[i] = freq[i - 1] + freq[i - 2];
  uint8_t len[32];
  uint32_t code[32];
  huff_build_code(n, freq.data(), len, code);
  uint32_t kraft = 0;
  for (int s = 0; s < n; s++) {
    ASSERT_GE(len[s], 1);
    ASSERT_LE(len[s], 16);
    kraft += 1u << (16 - len[s]);
  }
  EXPECT_EQ(kraft, 65536u);
  // Rarer symbols never get shorter codes; codes are canonical and prefix-free.
  for (int s = 1; s < n; s++) EXPECT_LE(len[s], len[s - 1]);
  for (int a = 0; a < n; a++)
    for (int b = 0; b < n; b++) {
      if (a == b || len[a] > len[b]) continue;
      EXPECT_NE(code[b] >> (len[b] - len[a]), code[a]) << a << " prefixes " << b;
    }
}

// ---- whole members ----

TEST_F(PackTest, StreamEndsOnByteBoundaryWithoutExtraByte) {
  bool exact = false;
  for (int size = 1; size < 40; size++) {
    Bytes data = text_sample(static_cast<size_t>(size), static_cast<uint32_t>(size));
    Packed r = pack(data);
    Decoded d = decode_stream(r.stream, data.size());
    ASSERT_FALSE(d.overrun);
    ASSERT_EQ(d.out, data);
    EXPECT_EQ(r.stream.size(), (d.bits + 7) / 8) << size;
    BitIn tail(r.stream);
    tail.bit = d.bits;
    EXPECT_EQ(tail.get(static_cast<int>(r.stream.size() * 8 - d.bits)), 0u);
    if (d.bits % 8 == 0) exact = true;
  }
  EXPECT_TRUE(exact) << "no sample ended on a byte boundary";
}

TEST_F(PackTest, LevelsOneAndTwoGiveTheSameBytes) {
  Bytes data = text_sample(200000, 7);
  codecSettings.level = 1;
  Packed one = pack(data);
  lz_reset();
  codecSettings.level = 2;
  Packed two = pack(data);
  EXPECT_EQ(one.stream, two.stream);
  lz_reset();
  codecSettings.level = 0;
  Packed zero = pack(data);
  EXPECT_NE(zero.stream, one.stream);  // the limits of level 0 differ
}

TEST_F(PackTest, RoundTripsAcrossBlocksAndLevels) {
  Bytes data = text_sample(150000, 3);
  Bytes noise = random_bytes(70000, 11);
  data.insert(data.begin() + 60000, noise.begin(), noise.end());
  int long_lengths = 0;
  for (int level : {0, 1, -1, -2}) {
    codecSettings.level = level;
    lz_reset();
    Packed r = pack(data, 7);
    EXPECT_EQ(r.unpacked, static_cast<int32_t>(data.size()));
    EXPECT_EQ(r.packed, static_cast<int64_t>(r.stream.size()));
    EXPECT_EQ(r.check, crc32_of(data.data(), data.size()));
    Decoded d = decode_stream(r.stream, data.size());
    EXPECT_GE(d.blocks.size(), 2u);
    EXPECT_EQ(r.stream.size(), (d.bits + 7) / 8);
    ASSERT_EQ(d.out.size(), data.size());
    EXPECT_TRUE(d.out == data) << "level " << level;
    // Code-length lengths from 7 on are unary: L - 4 ones and a zero.
    for (const Block& b : d.blocks) {
      for (auto& sent : b.lengthLengths) {
        EXPECT_EQ(sent.second, sent.first < 7 ? 3 : sent.first - 3);
        if (sent.first >= 7) long_lengths++;
      }
    }
  }
  EXPECT_GT(long_lengths, 0) << "no code-length length of 7 or more occurred";
}

TEST_F(PackTest, TextModeDropsCarriageReturns) {
  transfer.textMode = 1;
  Bytes data = {'a', '\r', '\n', 'b', '\r', '\n'};
  Packed r = pack(data);
  Bytes expect = {'a', '\n', 'b', '\n'};
  EXPECT_EQ(r.unpacked, 4);
  EXPECT_EQ(r.check, crc32_of(expect.data(), expect.size()));
  EXPECT_EQ(decode_stream(r.stream, 4).out, expect);
}

TEST_F(PackTest, MemoryModeStopsAtTheBlockLimit) {
  Bytes data = random_bytes(5000, 5);
  IoFile* in = input_of(data);
  io_seek(in, 100, 0);
  ASSERT_EQ(io_tell(in), 100);
  int64_t unpacked = 0, packed = 0;
  uint32_t check = pack_member(in, nullptr, 1, 4000, &unpacked, &packed);
  // All literals: the block closes once 3980 token bytes are reached.
  EXPECT_GT(unpacked, 3000);
  EXPECT_LT(unpacked, 3980);
  EXPECT_EQ(io_tell(in), 100 + unpacked);
  EXPECT_EQ(check, crc32_of(data.data() + 100, static_cast<size_t>(unpacked)));
  EXPECT_EQ(packed, codec_memory_size());
  Bytes stream(codec_memory_buffer(), codec_memory_buffer() + packed);
  Decoded d = decode_stream(stream, static_cast<size_t>(unpacked));
  EXPECT_EQ(d.blocks.size(), 1u);
  EXPECT_EQ(stream.size(), (d.bits + 7) / 8);
  EXPECT_TRUE(d.out == Bytes(data.begin() + 100, data.begin() + 100 + unpacked));
  io_close(in);
}

TEST_F(PackTest, MemoryModeSmallBudgetsTakeEverything) {
  for (int size : {1, 19, 20, 21, 60}) {
    Bytes data = random_bytes(static_cast<size_t>(size), 9);
    IoFile* in = input_of(data);
    int64_t unpacked = 0, packed = 0;
    pack_member(in, nullptr, 1, size, &unpacked, &packed);
    // A budget of 21 closes the block after the first group of eight.
    if (size <= 20) {
      EXPECT_EQ(unpacked, size) << size;
    }
    if (size == 21) {
      EXPECT_EQ(unpacked, 8);
    }
    EXPECT_GT(unpacked, 0) << size;
    Bytes stream(codec_memory_buffer(), codec_memory_buffer() + packed);
    EXPECT_TRUE(decode_stream(stream, static_cast<size_t>(unpacked)).out ==
                Bytes(data.begin(), data.begin() + unpacked));
    io_close(in);
  }
}

TEST_F(PackTest, StoreCopiesUnchanged) {
  Bytes data = random_bytes(5000, 21);
  IoFile* in = input_of(data);
  IoFile* arc = io_open(path("arc").c_str(), IO_MODE_CREATE);
  int64_t unpacked = 0, packed = 0;
  uint32_t check = store_member(in, arc, 0, nullptr, 0, 5000, &unpacked, &packed);
  io_close(arc);
  io_close(in);
  EXPECT_EQ(check, crc32_of(data.data(), data.size()));
  EXPECT_EQ(unpacked, 5000);
  EXPECT_EQ(packed, 5000);
  EXPECT_TRUE(read_file(path("arc")) == data);

  in = input_of(data);
  check = store_member(in, nullptr, 1, codec_memory_buffer(), 1234, 5000, &unpacked, &packed);
  io_close(in);
  EXPECT_EQ(unpacked, 1234);
  EXPECT_EQ(packed, 1234);
  EXPECT_EQ(check, crc32_of(data.data(), 1234));
  EXPECT_EQ(0, memcmp(codec_memory_buffer(), data.data(), 1234));
}

}  // namespace
