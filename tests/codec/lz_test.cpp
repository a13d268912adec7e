// LZ77 parser: which literals and matches the lazy and greedy parsers choose,
// read back from the encoder's token buffer after a one-block member.
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
#include "platform/iofile.h"
#include "support/temp_dir.h"

namespace {

struct Sym {
  uint32_t offset;    // input offset the symbol stands at
  uint32_t length;    // 1 for a literal
  uint32_t distance;  // 0 for a literal
};

enum Parser { Lazy, Greedy };

Bytes random_bytes(size_t size, uint32_t seed, int below = 256, int from = 0) {
  Bytes b(size);
  uint32_t x = seed;
  for (auto& c : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    const uint32_t span = static_cast<uint32_t>(below - from);
    c = static_cast<uint8_t>(from + static_cast<int>((x >> 8) % span));
  }
  return b;
}

void append(Bytes& to, const Bytes& what) { to.insert(to.end(), what.begin(), what.end()); }

class LzTest : public ::testing::Test {
 protected:
  void SetUp() override {
    codecSettings = CodecSettings{};
    lz_reset();
    transfer.inputChecked = 0;
    codec_buffers_alloc();
  }
  void TearDown() override {
    codecSettings = CodecSettings{};
    lz_reset();
  }

  // Parses data as one member (it must fit one block) and answers its symbols.
  // `history`: the bytes of earlier block-mode members that matches may reach.
  std::vector<Sym> parse(const Bytes& data, Parser parser, uint32_t limit = 0,
                         uint32_t* consumed_out = nullptr, const Bytes& history = {}) {
    IoFile* in = io_open(dir.put("in", data).c_str(), IO_MODE_READ);
    transfer.input = in;
    const uint32_t block_limit = static_cast<uint32_t>(codec_buffer_size()) - 20;
    huff_configure(limit != 0 ? limit : block_limit, 1, nullptr);
    const int32_t size = static_cast<int32_t>(data.size());
    uint32_t consumed = parser == Lazy ? lz_pack_lazy(size) : lz_pack_greedy(size);
    io_close(in);
    if (consumed_out != nullptr) {
      *consumed_out = consumed;
      return {};  // stopped early: the block went out and its tokens are gone
    }
    EXPECT_EQ(consumed, data.size());

    std::vector<Sym> syms;
    const uint8_t* t = huffEncoder.tokens;
    const uint8_t* end = huffEncoder.write;
    uint32_t offset = 0;
    unsigned flags = 0, bit = 1;
    while (t < end) {
      if (bit == 1) {
        flags = *t++;
        bit = 0x80;
      } else {
        bit >>= 1;
      }
      if (flags & bit) {
        uint32_t len = t[0] + 256u - HUFF_LENGTH_BIAS;
        uint32_t p = (static_cast<uint32_t>(t[1]) << 8) | t[2];
        t += 3;
        syms.push_back({offset, len, p + 1});
        offset += len;
      } else {
        syms.push_back({offset, 1, 0});
        t++;
        offset += 1;
      }
    }
    EXPECT_EQ(offset, consumed);
    Bytes all = history;
    append(all, data);
    const uint32_t base = static_cast<uint32_t>(history.size());
    for (const Sym& s : syms) {
      if (s.distance == 0) continue;
      // Every match copies what is really there.
      const uint32_t at = base + s.offset;
      EXPECT_LE(s.distance, at) << "match before the data at " << s.offset;
      for (uint32_t i = 0; i < s.length && s.distance <= at; i++) {
        EXPECT_EQ(all[at + i], all[at + i - s.distance]) << s.offset;
      }
    }
    return syms;
  }

  TempDir dir{"kvx-lz"};
};

std::vector<uint32_t> lengths_of(const std::vector<Sym>& syms) {
  std::vector<uint32_t> l;
  for (const Sym& s : syms) l.push_back(s.length);
  return l;
}

const Sym* symbol_at(const std::vector<Sym>& syms, uint32_t offset) {
  for (const Sym& s : syms)
    if (s.offset <= offset && offset < s.offset + s.length) return &s;
  return nullptr;
}

TEST_F(LzTest, SmallMembersAreLiterals) {
  for (size_t size : {0, 1, 2}) {
    auto syms = parse(random_bytes(size, 3), Lazy);
    EXPECT_EQ(syms.size(), size);
    for (const Sym& s : syms) EXPECT_EQ(s.length, 1u);
  }
  auto g = parse(Bytes{'x', 'x'}, Greedy);
  EXPECT_EQ(lengths_of(g), std::vector<uint32_t>({1, 1}));
}

struct RunCase {
  Parser parser;
  size_t size;
  std::vector<uint32_t> lengths;
};

class Runs : public LzTest, public ::testing::WithParamInterface<RunCase> {};

// Position 0 is no match source, so a run starts with two literals; then
// matches at distance 1, cut at 254 by the lazy parser, up to 256 greedily.
TEST_P(Runs, OfEqualBytes) {
  auto syms = parse(Bytes(GetParam().size, 'a'), GetParam().parser);
  EXPECT_EQ(lengths_of(syms), GetParam().lengths);
  for (const Sym& s : syms) {
    if (s.length > 1) {
      EXPECT_EQ(s.distance, 1u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parsers, Runs,
    ::testing::Values(RunCase{Lazy, 1000, {1, 1, 254, 254, 254, 236}},
                      RunCase{Lazy, 512, {1, 1, 254, 254, 1, 1}},
                      RunCase{Lazy, 5, {1, 1, 3}},
                      RunCase{Greedy, 1000, {1, 1, 256, 256, 256, 230}},
                      RunCase{Greedy, 515, {1, 1, 256, 256, 1}}));

struct FarCase {
  Parser parser;
  uint32_t distance;
  int repeat;   // bytes that repeat
  bool match;   // the repeat is coded as a match
};

class FarThree : public LzTest, public ::testing::WithParamInterface<FarCase> {};

// A three-byte repeat 4096 or more bytes back is not worth a match for the
// lazy parser; a longer one is, and the greedy parser takes both.
TEST_P(FarThree, RepeatCoding) {
  const FarCase& c = GetParam();
  Bytes probe;
  for (int i = 0; i < c.repeat; i++) probe.push_back(static_cast<uint8_t>(0xF0 + i));
  Bytes data = random_bytes(10, 1, 0xE0);
  const uint32_t first = static_cast<uint32_t>(data.size());
  append(data, probe);
  data.push_back(0xFA);
  append(data, random_bytes(c.distance - probe.size() - 1, 2, 0xE0));
  const uint32_t second = static_cast<uint32_t>(data.size());
  ASSERT_EQ(second - first, c.distance);
  append(data, probe);
  data.push_back(0xFB);
  append(data, random_bytes(50, 3, 0xE0));

  auto syms = parse(data, c.parser);
  const Sym* s = symbol_at(syms, second);
  ASSERT_NE(s, nullptr);
  if (c.match) {
    EXPECT_EQ(s->offset, second);
    EXPECT_EQ(s->length, probe.size());
    EXPECT_EQ(s->distance, c.distance);
  } else {
    for (uint32_t i = 0; i < probe.size(); i++) EXPECT_EQ(symbol_at(syms, second + i)->length, 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FarThree,
                         ::testing::Values(FarCase{Lazy, 4095, 3, true},
                                           FarCase{Lazy, 4096, 3, false},
                                           FarCase{Lazy, 9000, 3, false},
                                           FarCase{Lazy, 4096, 4, true},
                                           FarCase{Greedy, 4096, 3, true}));

struct DistanceCase {
  Parser parser;
  int narrow;
  uint32_t start;     // offset of the first copy
  uint32_t distance;  // of the second copy
  bool reached;       // the second copy is coded with matches at that distance
};

class Distances : public LzTest, public ::testing::WithParamInterface<DistanceCase> {};

// Matches reach back exactly max_distance (64507, or 31739 with the narrow
// window) and never further, also after the window has slid.
TEST_P(Distances, LimitedByMaxDistance) {
  const DistanceCase& c = GetParam();
  codecSettings.narrowWindow = c.narrow;
  const uint32_t max = c.narrow ? LZ_MAX_DISTANCE_NARROW : LZ_MAX_DISTANCE;
  Bytes block = random_bytes(300, 77, 256, 1);
  Bytes data(c.start, 0);
  append(data, block);
  data.resize(c.start + c.distance, 0);
  append(data, block);
  data.resize(data.size() + 50, 0);

  auto syms = parse(data, c.parser);
  bool reached = false;
  for (const Sym& s : syms) {
    EXPECT_LE(s.distance, max) << "at " << s.offset;
    if (s.distance == c.distance) reached = true;
  }
  EXPECT_EQ(reached, c.reached);
  if (c.reached) {
    const Sym* s = symbol_at(syms, c.start + c.distance + 10);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->distance, c.distance);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Distances,
    ::testing::Values(DistanceCase{Lazy, 0, 10, LZ_MAX_DISTANCE, true},
                      DistanceCase{Lazy, 0, 10, LZ_MAX_DISTANCE + 1, false},
                      DistanceCase{Lazy, 1, 10, LZ_MAX_DISTANCE_NARROW, true},
                      DistanceCase{Lazy, 1, 10, LZ_MAX_DISTANCE_NARROW + 1, false},
                      DistanceCase{Greedy, 0, 10, LZ_MAX_DISTANCE, true},
                      DistanceCase{Greedy, 0, 10, LZ_MAX_DISTANCE + 1, false},
                      // The second copy lies past 131072: the window has slid.
                      DistanceCase{Lazy, 0, 70000, LZ_MAX_DISTANCE, true},
                      DistanceCase{Greedy, 0, 70000, LZ_MAX_DISTANCE, true}));

// At the end of a member the comparison runs on into older window bytes, so
// among equally long candidates the one that also agrees with those bytes
// wins. Archives written elsewhere depend on exactly this choice.
TEST_F(LzTest, OlderWindowBytesDecideAtTheEnd) {
  const Bytes x = {0xF0, 0xF1, 0xF2, 0xF3};
  Bytes member = random_bytes(20, 5, 0xE0);
  const uint32_t older = static_cast<uint32_t>(member.size());
  append(member, x);
  member.push_back(0xF5);
  append(member, random_bytes(20, 6, 0xE0));
  const uint32_t newer = static_cast<uint32_t>(member.size());
  append(member, x);
  member.push_back(0xF6);
  append(member, random_bytes(20, 7, 0xE0));
  const uint32_t last = static_cast<uint32_t>(member.size());
  append(member, x);

  struct {
    uint8_t stale;
    uint32_t source;
  } cases[] = {{0xF5, older}, {0xF6, newer}, {0x00, newer}};
  for (auto& c : cases) {
    for (Parser parser : {Lazy, Greedy}) {
      // A longer member first leaves `stale` right after where this one ends.
      Bytes before = member;
      before.push_back(c.stale);
      append(before, random_bytes(10, 8, 0xE0));
      parse(before, parser);
      auto syms = parse(member, parser);
      const Sym* s = symbol_at(syms, last);
      ASSERT_NE(s, nullptr);
      EXPECT_EQ(s->offset, last);
      EXPECT_EQ(s->length, 4u);
      EXPECT_EQ(s->distance, last - c.source) << "stale " << int(c.stale) << " parser " << parser;
    }
  }
}

TEST_F(LzTest, BlockModeCarriesTheWindow) {
  Bytes m = random_bytes(3000, 9);
  codecSettings.blockMode = 1;
  auto first = parse(m, Lazy);
  EXPECT_EQ(lzState.carried_pos, 3000u);
  // The same bytes again: matches reach into the previous member, except
  // from window position 0, which is no match source.
  auto second = parse(m, Lazy, 0, nullptr, m);
  ASSERT_GE(second.size(), 2u);
  EXPECT_EQ(second[0].length, 1u);
  EXPECT_EQ(second[1].length, 254u);
  EXPECT_EQ(second[1].distance, 3000u);
  EXPECT_EQ(lzState.carried_pos, 6000u);

  // Outside block mode every member starts afresh at position 0.
  codecSettings.blockMode = 0;
  auto alone = parse(m, Lazy);
  EXPECT_EQ(lzState.carried_pos, 0u);
  ASSERT_EQ(alone.size(), first.size());
  for (size_t i = 0; i < alone.size(); i++) {
    EXPECT_EQ(alone[i].length, first[i].length);
    EXPECT_EQ(alone[i].distance, first[i].distance);
  }
}

TEST_F(LzTest, EarlyStopKeepsTheCarry) {
  codecSettings.blockMode = 1;
  const Bytes a = random_bytes(500, 4);
  const Bytes b = random_bytes(2000, 5);
  for (Parser parser : {Lazy, Greedy}) {
    lz_reset();
    parse(a, parser);
    ASSERT_EQ(lzState.carried_pos, 500u);
    uint32_t consumed = 0;
    // A block limit of 100 token bytes: all literals, so the encoder asks to
    // stop when the thirteenth group of eight would begin.
    parse(b, parser, 100, &consumed);
    EXPECT_EQ(consumed, 96u);
    EXPECT_EQ(lzState.carried_pos, 500u);
    // The next member starts afresh; its matches are sound.
    auto syms = parse(b, parser);
    EXPECT_EQ(lzState.carried_pos, 2000u);
    EXPECT_FALSE(syms.empty());
  }
}

}  // namespace
