// Tests of the Deflate decoder: crafted streams in one table with their exact
// results and bytes; a real member cut at every byte; and on real streams from
// peers (zip, Python's zlib at every level and strategy) the same result and
// the same bytes as a decoder that reads bit by bit, with the member placed
// anywhere in a file between foreign bytes, its output bounded, and its data
// damaged at random.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codec/common/transfer.h"
#include "formats/bit_by_bit_inflate.h"
#include "formats/inflate.h"
#include "platform/console.h"
#include "platform/iofile.h"
#include "platform/settings.h"
#include "support/bit_writer.h"
#include "support/temp_dir.h"

namespace {

std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Decoded {
  int result;
  std::string out;
};

class InflateTest : public testing::Test {
 protected:
  void SetUp() override {
    platformSettings.language = 1;
    select_catalog();
    messages = tmpfile();
    console_use_streams(messages, messages, nullptr);
    transfer.checkUpdate = crc32_update;
    transfer.textMode = 0;
  }
  void TearDown() override {
    console_use_streams(stdout, stderr, nullptr);
    fclose(messages);
  }

  // Decodes data placed between the bytes before and after in one file,
  // producing at most limit bytes. The check value must cover exactly the
  // bytes that reached the output.
  Decoded decode(const std::string& data, uint32_t limit, const std::string& before = "",
                 const std::string& after = "") {
    // Fresh files each time: rewriting a truncated file makes its close wait for the disk.
    remove(inName.c_str());
    remove(outName.c_str());
    write_file(inName, bytes_of(before + data + after));
    IoFile* input = io_open(inName.c_str(), IO_MODE_READ);
    EXPECT_NE(input, nullptr);
    io_seek(input, int64_t(before.size()), 0);
    IoFile* output = io_open(outName.c_str(), IO_MODE_CREATE);
    transfer_begin(input, output, limit);
    Decoded d;
    d.result = inflate_member(input, uint32_t(data.size()), limit);
    uint32_t crc = transfer_finish();
    io_close(output);
    io_close(input);
    d.out = text_of(read_file(outName));
    EXPECT_EQ(crc, crc32_of(d.out.data(), d.out.size()));
    EXPECT_EQ(transfer.outputCount, d.out.size());
    return d;
  }

  // Decodes data as decode does and expects what the bit-by-bit decoder gives.
  void expect_as_bit_by_bit(const std::string& data, uint32_t limit, const std::string& before = "",
                            const std::string& after = "") {
    std::string expected;
    int result = bit_by_bit::inflate(data, limit, &expected);
    Decoded d = decode(data, limit, before, after);
    EXPECT_EQ(d.result, result);
    EXPECT_EQ(d.out.size(), expected.size());
    EXPECT_TRUE(d.out == expected) << "the bytes differ";
  }

  FILE* messages = nullptr;
  TempDir dir{"kvx-inflate"};
  std::string inName = dir.file("in"), outName = dir.file("out");
};

// ---- crafted streams ----

// A canonical code: shorter codes first, then in symbol order.
struct Code {
  std::vector<int> length;
  std::vector<uint32_t> code;
  explicit Code(std::vector<int> lengths) : length(std::move(lengths)), code(length.size()) {
    uint32_t count[17] = {}, next[17] = {};
    for (int l : length) count[l]++;
    count[0] = 0;
    for (int l = 1; l <= 16; l++) next[l] = (next[l - 1] + count[l - 1]) << 1;
    for (size_t s = 0; s < length.size(); s++)
      if (length[s]) code[s] = next[length[s]]++;
  }
  void put(LsbBitWriter& w, int symbol) const { w.put_code(length[symbol], code[symbol]); }
};

// n symbols of one length each.
std::vector<int> lengths(int n, int length) { return std::vector<int>(size_t(n), length); }

void put_block_header(LsbBitWriter& w, bool last, int type) { w.put(1, last), w.put(2, uint32_t(type)); }

void put_stored(LsbBitWriter& w, bool last, const std::string& bytes) {
  put_block_header(w, last, 0);
  w.align();
  w.put(16, uint32_t(bytes.size())), w.put(16, ~uint32_t(bytes.size()) & 0xFFFF);
  for (char c : bytes) w.put(8, uint8_t(c));
}

// A symbol of the fixed literal/length code.
void put_fixed(LsbBitWriter& w, int symbol) {
  if (symbol < 144) w.put_code(8, 0x30 + uint32_t(symbol));
  else if (symbol < 256) w.put_code(9, 0x190 + uint32_t(symbol - 144));
  else if (symbol < 280) w.put_code(7, uint32_t(symbol - 256));
  else w.put_code(8, 0xC0 + uint32_t(symbol - 280));
}

const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A code-length symbol with the value of its extra bits.
struct LengthSymbol {
  int symbol;
  uint32_t extra;
};

// The start of a final dynamic block of 257 literal/length and 1 distance
// code lengths, up to its code-length code: the given lengths in their order.
void put_code_length_code(LsbBitWriter& w, const std::vector<int>& cl) {
  put_block_header(w, true, 2);
  w.put(5, 0), w.put(5, 0), w.put(4, uint32_t(cl.size() - 4));
  for (int l : cl) w.put(3, uint32_t(l));
}

// A dynamic block header of nlen + ndist lengths sent as the given
// code-length symbols, through a complete code-length code (4 and 5 bits).
void put_dynamic_symbols(LsbBitWriter& w, bool last, int nlen, int ndist, const std::vector<LengthSymbol>& symbols) {
  put_block_header(w, last, 2);
  w.put(5, uint32_t(nlen - 257)), w.put(5, uint32_t(ndist - 1)), w.put(4, 19 - 4);
  std::vector<int> cl(19);
  for (int s = 0; s < 19; s++) cl[size_t(s)] = s < 13 ? 4 : 5;
  for (int i = 0; i < 19; i++) w.put(3, uint32_t(cl[size_t(kOrder[i])]));
  Code clc(cl);
  static const int kExtraBits[3] = {2, 3, 7};
  for (const LengthSymbol& s : symbols) {
    clc.put(w, s.symbol);
    if (s.symbol >= 16) w.put(kExtraBits[s.symbol - 16], s.extra);
  }
}

// A dynamic block header sending every length as itself.
void put_dynamic(LsbBitWriter& w, bool last, const Code& literals, const Code& distances) {
  std::vector<LengthSymbol> symbols;
  for (int l : literals.length) symbols.push_back({l, 0});
  for (int l : distances.length) symbols.push_back({l, 0});
  put_dynamic_symbols(w, last, int(literals.length.size()), int(distances.length.size()), symbols);
}

// Literal/length lengths: the given (symbol, length) pairs, the rest 0, up to
// the last symbol given and at least up to the end code.
std::vector<int> literal_lengths(std::initializer_list<std::pair<int, int>> given) {
  std::vector<int> l(257, 0);
  for (auto& g : given) {
    if (size_t(g.first) >= l.size()) l.resize(size_t(g.first) + 1, 0);
    l[size_t(g.first)] = g.second;
  }
  return l;
}

// Every literal/length symbol (288) and distance symbol (32) in use: a
// complete code of 224 codes of 8 bits and 64 of 9, and 32 codes of 5 bits.
Code all_literals() {
  std::vector<int> l = lengths(224, 8);
  l.resize(288, 9);
  return Code(l);
}
Code all_distances() { return Code(lengths(32, 5)); }

struct Crafted {
  const char* what;
  std::function<void(LsbBitWriter&)> build;
  uint32_t limit;
  int result;
  std::string out;
};

void PrintTo(const Crafted& c, std::ostream* os) { *os << c.what; }

class CraftedStream : public InflateTest, public testing::WithParamInterface<Crafted> {};

// Each row is also sent after a fixed block of 0 to 7 literals of 9 bits,
// which moves it to every bit position within a byte, and cut at every byte:
// results that hang on the last bits of the input (a bit string that is no
// code needs 15 of them) then meet every alignment.
TEST_P(CraftedStream, GivesItsResultAndBytes) {
  const Crafted& c = GetParam();
  for (int shift = 0; shift < 8; shift++) {
    SCOPED_TRACE("after " + std::to_string(shift) + " literals");
    LsbBitWriter w;
    if (shift > 0) {
      put_block_header(w, false, 1);
      for (int i = 0; i < shift; i++) put_fixed(w, 200);
      put_fixed(w, 256);
    }
    c.build(w);
    std::string data = text_of(w.finish());
    Decoded d = decode(data, c.limit + uint32_t(shift), "foreign bytes before", "and after");
    EXPECT_EQ(d.result, c.result);
    EXPECT_EQ(d.out, std::string(size_t(shift), char(200)) + c.out);
    for (size_t cut = 0; cut <= data.size(); cut++) expect_as_bit_by_bit(data.substr(0, cut), c.limit + uint32_t(shift));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CraftedStream,
    testing::Values(
        Crafted{"an empty final stored block", [](LsbBitWriter& w) { put_stored(w, true, ""); }, 100, INFLATE_DONE, ""},
        Crafted{"a stored block whose length has no matching complement",
                [](LsbBitWriter& w) {
                  put_block_header(w, true, 0);
                  w.align();
                  w.put(16, 3), w.put(16, 0xFFFE), w.put(8, 'a'), w.put(8, 'b'), w.put(8, 'c');
                },
                100, INFLATE_BAD_DATA, ""},
        Crafted{"a stored block cut short", [](LsbBitWriter& w) {
                  put_block_header(w, true, 0);
                  w.align();
                  w.put(16, 9), w.put(16, 0xFFF6), w.put(8, 'a'), w.put(8, 'b'), w.put(8, 'c');
                },
                100, INFLATE_INPUT_ENDED, "abc"},
        Crafted{"block type 3", [](LsbBitWriter& w) { put_block_header(w, true, 3), w.put(8, 0); }, 100,
                INFLATE_BAD_DATA, ""},
        Crafted{"a fixed block, then a stored block on the next byte boundary",
                [](LsbBitWriter& w) {
                  put_block_header(w, false, 1), put_fixed(w, 'x'), put_fixed(w, 256);
                  put_stored(w, true, "yz");
                },
                100, INFLATE_DONE, "xyz"},
        Crafted{"a match that copies its own output",
                [](LsbBitWriter& w) {
                  put_block_header(w, true, 1), put_fixed(w, 'a'), put_fixed(w, 257), w.put_code(5, 0);
                  put_fixed(w, 256);
                },
                100, INFLATE_DONE, "aaaa"},
        Crafted{"a distance beyond the data produced so far",
                [](LsbBitWriter& w) {
                  put_block_header(w, true, 1), put_fixed(w, 'a'), put_fixed(w, 257);
                  w.put_code(5, 10), w.put(4, 0), put_fixed(w, 256);  // distance 33
                },
                100, INFLATE_BAD_DATA, "a"},
        Crafted{"fixed distance code 30, which has no symbol",
                [](LsbBitWriter& w) {
                  put_block_header(w, true, 1), put_fixed(w, 'a'), put_fixed(w, 257), w.put_code(5, 30);
                  w.put(16, 0);
                },
                100, INFLATE_BAD_DATA, "a"},
        Crafted{"output bounded by the member's size",
                [](LsbBitWriter& w) {
                  put_block_header(w, true, 1), put_fixed(w, 'a'), put_fixed(w, 257), w.put_code(5, 0);
                  put_fixed(w, 'b'), put_fixed(w, 256);
                },
                2, INFLATE_DONE, "aa"},
        Crafted{"HLIT 288 and HDIST 32 are accepted",
                [](LsbBitWriter& w) {
                  Code lit = all_literals(), dist = all_distances();
                  put_dynamic(w, true, lit, dist);
                  lit.put(w, 'h'), lit.put(w, 'i'), lit.put(w, 257), dist.put(w, 1), lit.put(w, 256);
                },
                100, INFLATE_DONE, "hihih"},
        Crafted{"literal/length symbol 286",
                [](LsbBitWriter& w) {
                  Code lit = all_literals(), dist = all_distances();
                  put_dynamic(w, true, lit, dist);
                  lit.put(w, 'h'), lit.put(w, 286), w.put(16, 0);
                },
                100, INFLATE_BAD_DATA, "h"},
        Crafted{"distance symbol 31",
                [](LsbBitWriter& w) {
                  Code lit = all_literals(), dist = all_distances();
                  put_dynamic(w, true, lit, dist);
                  lit.put(w, 'h'), lit.put(w, 258), dist.put(w, 31), w.put(16, 0);
                },
                100, INFLATE_BAD_DATA, "h"},
        Crafted{"only literals, with an empty distance code",
                [](LsbBitWriter& w) {
                  Code lit(literal_lengths({{'o', 1}, {'k', 2}, {256, 2}})), dist({0});
                  put_dynamic(w, true, lit, dist);
                  lit.put(w, 'o'), lit.put(w, 'k'), lit.put(w, 'o'), lit.put(w, 256);
                },
                100, INFLATE_DONE, "oko"},
        Crafted{"a match through an empty distance code",
                [](LsbBitWriter& w) {
                  Code lit(literal_lengths({{'o', 1}, {257, 2}, {256, 2}})), dist({0});
                  put_dynamic(w, true, lit, dist);
                  lit.put(w, 'o'), lit.put(w, 257), w.put(16, 0);
                },
                100, INFLATE_BAD_DATA, "o"},
        Crafted{"a match through an empty distance code, the stream ending inside 15 bits",
                [](LsbBitWriter& w) {
                  Code lit(literal_lengths({{'o', 1}, {257, 2}, {256, 2}})), dist({0});
                  put_dynamic(w, true, lit, dist);
                  lit.put(w, 'o'), lit.put(w, 257);
                },
                100, INFLATE_INPUT_ENDED, "o"},
        Crafted{"a distance code of a single code",
                [](LsbBitWriter& w) {
                  Code lit(literal_lengths({{'a', 1}, {257, 2}, {256, 2}})), dist({1});
                  put_dynamic(w, true, lit, dist);
                  lit.put(w, 'a'), lit.put(w, 257), dist.put(w, 0), lit.put(w, 256);
                },
                100, INFLATE_DONE, "aaaa"},
        Crafted{"an incomplete distance code of two codes",
                [](LsbBitWriter& w) {
                  Code lit(literal_lengths({{'a', 1}, {257, 2}, {256, 2}})), dist({2, 2});
                  put_dynamic(w, true, lit, dist);
                  lit.put(w, 'a'), lit.put(w, 256);
                },
                100, INFLATE_BAD_DATA, ""},
        Crafted{"an over-subscribed literal/length code",
                [](LsbBitWriter& w) {
                  put_dynamic(w, true, Code(literal_lengths({{'a', 1}, {'b', 1}, {256, 1}})), Code({1}));
                  w.put(16, 0);
                },
                100, INFLATE_BAD_DATA, ""},
        Crafted{"an incomplete literal/length code",
                [](LsbBitWriter& w) {
                  Code lit(literal_lengths({{'a', 2}, {256, 2}}));
                  put_dynamic(w, true, lit, Code({1}));
                  lit.put(w, 'a'), lit.put(w, 256);
                },
                100, INFLATE_BAD_DATA, ""},
        Crafted{"a literal/length code of the end code alone",
                [](LsbBitWriter& w) {
                  Code lit(literal_lengths({{256, 3}}));
                  put_dynamic(w, true, lit, Code({0}));
                  lit.put(w, 256);
                },
                100, INFLATE_DONE, ""},
        Crafted{"a bit string that is no code",
                [](LsbBitWriter& w) {
                  Code lit(literal_lengths({{256, 3}}));
                  put_dynamic(w, true, lit, Code({0}));
                  w.put_code(3, 4), w.put(16, 0);
                },
                100, INFLATE_BAD_DATA, ""},
        Crafted{"an over-subscribed code-length code",
                [](LsbBitWriter& w) { put_code_length_code(w, {1, 1, 1, 1}), w.put(16, 0); },
                100, INFLATE_BAD_DATA, ""},
        Crafted{"an incomplete code-length code",
                [](LsbBitWriter& w) { put_code_length_code(w, {2, 2, 0, 0}), w.put(16, 0); },
                100, INFLATE_BAD_DATA, ""},
        Crafted{"a repeat of the previous length before any length",
                [](LsbBitWriter& w) { put_dynamic_symbols(w, true, 257, 1, {{16, 0}}), w.put(16, 0); }, 100,
                INFLATE_BAD_DATA, ""},
        Crafted{"a run of zeros past the last length",
                [](LsbBitWriter& w) {
                  put_dynamic_symbols(w, true, 257, 1, {{18, 127}, {18, 127}, {18, 0}}), w.put(16, 0);
                },
                100, INFLATE_BAD_DATA, ""},
        // The rows below leave input to spare after the code lengths, so
        // that they are read in the quick way before they are cut short.
        Crafted{"code-length repeats of every kind, one running on from literal into distance lengths",
                [](LsbBitWriter& w) {
                  // 'a' 1 bit, 256 and 257 2 bits, four distances of 2 bits.
                  put_dynamic_symbols(w, true, 258, 4,
                                      {{18, 97 - 11}, {1, 0}, {18, 127}, {17, 7}, {17, 7}, {2, 0}, {16, 2}});
                  Code lit(literal_lengths({{'a', 1}, {256, 2}, {257, 2}})), dist(lengths(4, 2));
                  for (int i = 0; i < 64; i++) lit.put(w, 'a');
                  lit.put(w, 257), dist.put(w, 0), lit.put(w, 256);
                },
                100, INFLATE_DONE, std::string(67, 'a')},
        Crafted{"a repeat of the previous length first, with input to spare",
                [](LsbBitWriter& w) {
                  put_dynamic_symbols(w, true, 257, 1, {{16, 0}});
                  w.put(32, 0), w.put(32, 0);
                },
                100, INFLATE_BAD_DATA, ""},
        Crafted{"a repeat running past the last length, with input to spare",
                [](LsbBitWriter& w) {
                  // Taken whole, it would leave a code of the end code alone, which ends the block.
                  put_dynamic_symbols(w, true, 257, 1, {{18, 127}, {18, 107}, {1, 0}, {16, 0}});
                  w.put(32, 0), w.put(32, 0);
                },
                100, INFLATE_BAD_DATA, ""},
        Crafted{"an empty code-length code, with input to spare",
                [](LsbBitWriter& w) { put_code_length_code(w, {0, 0, 0, 0}), w.put(32, 0), w.put(32, 0); },
                100, INFLATE_BAD_DATA, ""},
        Crafted{"no end code",
                [](LsbBitWriter& w) {
                  put_dynamic(w, true, Code(literal_lengths({{'a', 1}, {'b', 1}})), Code({1}));
                  w.put(16, 0);
                },
                100, INFLATE_BAD_DATA, ""}),
    [](const testing::TestParamInfo<Crafted>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; p++) name += isalnum(uint8_t(*p)) ? *p : '_';
      return name;
    });

// ---- real streams ----

struct Member {
  std::string name;
  std::string data;  // the Deflate stream
  uint32_t size;
  uint32_t crc;
};

// The deflated members of a fixture ZIP whose local headers hold their sizes
// (none written with a data descriptor).
std::vector<Member> deflated_members(const std::string& file) {
  std::string zip = text_of(read_file(std::string(KVX_FIXTURES) + "/zip/" + file));
  auto le = [&](size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = v << 8 | uint8_t(zip[at + size_t(i)]);
    return v;
  };
  std::vector<Member> members;
  for (size_t at = zip.find("PK\3\4"); at + 30 <= zip.size() && zip.compare(at, 4, "PK\3\4") == 0;) {
    uint32_t packed = le(at + 18, 4), nameLength = le(at + 26, 2), extra = le(at + 28, 2);
    size_t data = at + 30 + nameLength + extra;
    if (data + packed > zip.size()) break;
    if (le(at + 8, 2) == 8) members.push_back({zip.substr(at + 30, nameLength), zip.substr(data, packed), le(at + 22, 4), le(at + 14, 4)});
    at = data + packed;
  }
  return members;
}

std::vector<Member> all_members() {
  std::vector<Member> all;
  for (const char* f : {"py_levels.zip", "zip_levels.zip", "zip_big.zip", "zip_noextra.zip", "zip_tree.zip",
                        "py_fixed.zip", "py_stored_blocks.zip"})
    for (Member& m : deflated_members(f)) all.push_back(m);
  return all;
}

TEST_F(InflateTest, PeerStreamsDecodeWhereverTheyLie) {
  std::vector<Member> members = all_members();
  ASSERT_GE(members.size(), 60u);
  std::mt19937 rng(1951);
  for (const Member& m : members) {
    SCOPED_TRACE(m.name);
    // The member starts at any offset of the file's blocks and foreign bytes follow it.
    std::string before(rng() % 70000, 'P'), after(rng() % 9, '\xFF');
    Decoded d = decode(m.data, m.size, before, after);
    EXPECT_EQ(d.result, INFLATE_DONE);
    EXPECT_EQ(d.out.size(), m.size);
    EXPECT_EQ(crc32_of(d.out.data(), d.out.size()), m.crc);
  }
}

TEST_F(InflateTest, AMemberCutAtEveryByteEndsItsInput) {
  std::vector<Member> members = deflated_members("py_levels.zip");
  ASSERT_FALSE(members.empty());
  const Member& m = members[30];  // level 6, default strategy
  std::string whole = decode(m.data, m.size).out;
  for (size_t cut = 0; cut < m.data.size(); cut++) {
    SCOPED_TRACE(cut);
    Decoded d = decode(m.data.substr(0, cut), m.size, "", "ZZZZZZZZ");
    // The last byte may hold nothing but the end code's last bits and padding.
    if (d.result == INFLATE_DONE) EXPECT_EQ(d.out, whole);
    else EXPECT_EQ(d.result, INFLATE_INPUT_ENDED);
    EXPECT_EQ(whole.compare(0, d.out.size(), d.out), 0);
    expect_as_bit_by_bit(m.data.substr(0, cut), m.size);
  }
}

// Real streams bounded and damaged at random: the same result and bytes as
// bit by bit. The seed is printed with every failure.
TEST_F(InflateTest, DamagedStreamsGiveWhatBitByBitGives) {
  std::vector<Member> members = all_members();
  const unsigned seed = 20240611;
  std::mt19937 rng(seed);
  for (const Member& m : members) {
    for (int round = 0; round < 12; round++) {
      std::string data = m.data;
      uint32_t limit = m.size;
      const char* how;
      switch (round % 4) {
        case 0:
          how = "bounded output";
          limit = m.size == 0 ? 0 : uint32_t(rng() % m.size);
          break;
        case 1:
          how = "bits flipped";
          for (int k = 0; k < 1 + int(rng() % 3) && !data.empty(); k++) data[rng() % data.size()] ^= char(1 << (rng() % 8));
          break;
        case 2:
          how = "a byte replaced and the end cut";
          if (!data.empty()) data[rng() % data.size()] = char(rng());
          data.resize(data.size() - (data.empty() ? 0 : rng() % data.size()));
          break;
        default:
          how = "foreign bytes inside";
          data.insert(data.empty() ? 0 : rng() % data.size(), std::string(1 + rng() % 40, char(rng())));
          break;
      }
      SCOPED_TRACE(m.name + ", " + how + ", round " + std::to_string(round) + ", seed " + std::to_string(seed));
      expect_as_bit_by_bit(data, limit, std::string(rng() % 40000, 'x'), "PK\3\4");
    }
  }
}

TEST_F(InflateTest, RandomBytesGiveWhatBitByBitGives) {
  const unsigned seed = 1996;
  std::mt19937 rng(seed);
  for (int round = 0; round < 400; round++) {
    std::string data(1 + rng() % 600, '\0');
    for (char& c : data) c = char(rng());
    data[0] = char((data[0] & ~6) | (round % 3 == 0 ? 2 : 4));  // a fixed or dynamic first block
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
    expect_as_bit_by_bit(data, 1u << 20);
  }
}

}  // namespace
