// Tests of the default method's decoder and the member extraction entry:
// damaged block headers, stream features built bit by bit, block-mode carry,
// random and garbage streams, and members of archives made by a peer archiver.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "codec/methods.h"
#include "codec/common/transfer.h"
#include "codec/huff/decode.h"
#include "codec/huff/huff_format.h"
#include "archive/member.h"
#include "codec/common/settings.h"
#include "support/bit_writer.h"
#include "platform/settings.h"
#include "platform/console.h"
#include "platform/iofile.h"
#include "support/temp_dir.h"

namespace {


struct Code {
  std::vector<int> len;
  std::vector<uint32_t> code;
};

// Canonical codes for the lengths: shorter codes first, then symbol order.
Code canonical(const std::vector<int>& len) {
  uint32_t count[18] = {}, start[18] = {};
  for (int l : len)
    if (l) count[l]++;
  for (int l = 1; l <= 16; l++) start[l + 1] = (start[l] + count[l]) << 1;
  Code c{len, std::vector<uint32_t>(len.size())};
  for (size_t s = 0; s < len.size(); s++)
    if (len[s]) c.code[s] = start[len[s]]++;
  return c;
}

// A complete code over the used symbols (at least two): lengths d-1 and d.
std::vector<int> flat_lengths(const std::vector<bool>& used) {
  int k = 0;
  for (bool u : used) k += u;
  int d = 0;
  while ((1 << d) < k) d++;
  int shorter = (1 << d) - k;
  std::vector<int> len(used.size());
  for (size_t s = 0; s < used.size(); s++)
    if (used[s]) len[s] = shorter-- > 0 ? d - 1 : d;
  return len;
}

void put_symbol(BitWriter& w, const Code& c, int s) { w.put(c.len[s], c.code[s]); }

// A short code's lengths as the header sends them.
void put_short_lengths(BitWriter& w, const std::vector<int>& len, int nbits, bool special) {
  int n = static_cast<int>(len.size());
  while (n > 0 && len[n - 1] == 0) n--;
  w.put(nbits, n);
  for (int i = 0; i < n; i++) {
    int l = len[i];
    if (l < 7)
      w.put(3, l);
    else
      w.put(l - 3, (1u << (l - 3)) - 2);
    if (special && i == 2) {
      int z = 0;
      while (z < 3 && i + 1 + z < n && len[i + 1 + z] == 0) z++;
      w.put(2, z);
      i += z;
    }
  }
}

int position_code(uint32_t p) {
  int k = 0;
  while (p >> k) k++;
  return k;
}

// One symbol of a block: a literal (length 0) or a match.
struct Token {
  int length;  // 0 for a literal
  uint32_t value;  // the byte, or the position value
};

// A whole block with complete codes fitted to its symbols.
void put_block(BitWriter& w, const std::vector<Token>& tokens) {
  std::vector<bool> charUsed(HUFF_CHAR_SYMBOLS), posUsed(HUFF_POSITION_SYMBOLS_READ);
  for (const Token& t : tokens) {
    if (t.length == 0) {
      charUsed[t.value] = true;
    } else {
      charUsed[t.length + HUFF_LENGTH_BIAS] = true;
      posUsed[position_code(t.value)] = true;
    }
  }
  w.put(16, static_cast<uint32_t>(tokens.size()));

  int charCount = 0, single = 0;
  for (int s = 0; s < HUFF_CHAR_SYMBOLS; s++)
    if (charUsed[s]) charCount++, single = s;
  Code chars;
  if (charCount < 2) {
    w.put(5, 0), w.put(5, 0), w.put(9, 0), w.put(9, single);
    chars = Code{std::vector<int>(HUFF_CHAR_SYMBOLS), std::vector<uint32_t>(HUFF_CHAR_SYMBOLS)};
  } else {
    chars = canonical(flat_lengths(charUsed));
    int n = HUFF_CHAR_SYMBOLS;
    while (chars.len[n - 1] == 0) n--;
    // Lengths as code-length symbols: one zero at a time, or runs of 3..18.
    std::vector<int> syms;
    std::vector<int> runs;
    for (int i = 0; i < n;) {
      if (chars.len[i]) {
        syms.push_back(chars.len[i++] + 2);
        continue;
      }
      int r = 0;
      while (i + r < n && chars.len[i + r] == 0 && r < 18) r++;
      if (r >= 3) {
        syms.push_back(1), runs.push_back(r - 3);
      } else {
        for (int j = 0; j < r; j++) syms.push_back(0);
      }
      i += r;
    }
    std::vector<bool> clUsed(HUFF_LENGTH_SYMBOLS);
    for (int s : syms) clUsed[s] = true;
    int clCount = 0, clSingle = 0;
    for (int s = 0; s < HUFF_LENGTH_SYMBOLS; s++)
      if (clUsed[s]) clCount++, clSingle = s;
    Code cl{std::vector<int>(HUFF_LENGTH_SYMBOLS), std::vector<uint32_t>(HUFF_LENGTH_SYMBOLS)};
    if (clCount < 2) {
      w.put(5, 0), w.put(5, clSingle);
    } else {
      cl = canonical(flat_lengths(clUsed));
      put_short_lengths(w, cl.len, 5, true);
    }
    w.put(9, n);
    size_t run = 0;
    for (int s : syms) {
      put_symbol(w, cl, s);
      if (s == 1) w.put(4, runs[run++]);
    }
  }

  int posCount = 0, posSingle = 0;
  for (int s = 0; s < HUFF_POSITION_SYMBOLS_READ; s++)
    if (posUsed[s]) posCount++, posSingle = s;
  Code pos{std::vector<int>(HUFF_POSITION_SYMBOLS_READ),
           std::vector<uint32_t>(HUFF_POSITION_SYMBOLS_READ)};
  if (posCount < 2) {
    w.put(5, 0), w.put(5, posSingle);
  } else {
    pos = canonical(flat_lengths(posUsed));
    put_short_lengths(w, pos.len, 5, false);
  }

  for (const Token& t : tokens) {
    if (t.length == 0) {
      put_symbol(w, chars, static_cast<int>(t.value));
      continue;
    }
    put_symbol(w, chars, t.length + HUFF_LENGTH_BIAS);
    int k = position_code(t.value);
    put_symbol(w, pos, k);
    if (k >= 2) w.put(k - 1, t.value - (1u << (k - 1)));
  }
}

std::vector<Token> literals(const std::string& text) {
  std::vector<Token> t;
  for (unsigned char c : text) t.push_back({0, c});
  return t;
}

// What a token list stands for, copied byte by byte.
void expand(const std::vector<Token>& tokens, Bytes& out) {
  for (const Token& t : tokens) {
    if (t.length == 0) {
      out.push_back(static_cast<uint8_t>(t.value));
      continue;
    }
    size_t from = out.size() - t.value - 1;
    for (int i = 0; i < t.length; i++) out.push_back(out[from + i]);
  }
}

// ---- files, console and decoding ----

class DecodeTest : public testing::Test {
 protected:
  void SetUp() override {
    platformSettings.language = 1;
    transfer.textMode = 0;
    transfer.showProgress = 1;
    select_catalog();
    messages = tmpfile();
    errors = tmpfile();
    console_use_streams(messages, errors, nullptr);
    set_error_count(0);
    transfer.checkUpdate = crc32_update;
    huff_reset_carry();
  }
  void TearDown() override {
    console_use_streams(stdout, stderr, nullptr);
    fclose(messages);
    fclose(errors);
  }

  struct Decoded {
    int result;
    Bytes out;
    uint32_t crc;
  };

  // Runs huff_decode over the stream and collects what reached the output.
  Decoded decode(const Bytes& stream, uint32_t size, bool blockMode = false,
                 uint32_t limit = UINT32_MAX) {
    std::string in = dir.unique("in");
    std::string out = dir.unique("out");
    write_file(in, stream);
    IoFile* input = io_open(in.c_str(), IO_MODE_READ);
    EXPECT_NE(input, nullptr);
    transfer.output = io_open(out.c_str(), IO_MODE_CREATE);
    transfer.expectedTotal = size;
    transfer.outputCount = 0;
    check_start();
    Decoded d;
    d.result = huff_decode(input, size, limit, blockMode);
    d.crc = check_value();
    io_close(transfer.output);
    transfer.output = nullptr;
    io_close(input);
    d.out = read_file(out);
    return d;
  }

  FILE* messages = nullptr;
  FILE* errors = nullptr;
  TempDir dir{"kvx-decode"};
};

// ---- damaged streams ----

// A code-length code of one symbol, which every length then takes for free.
void single_length_code(BitWriter& w, int sym) { w.put(5, 0), w.put(5, sym); }

// 256 literals of length 8: a complete char/length code without bits per length.
void flat_literal_header(BitWriter& w, int count) {
  w.put(16, count);
  single_length_code(w, 8 + 2);
  w.put(9, 256);
}

struct CorruptCase {
  const char* name;
  std::function<void(BitWriter&)> build;
  const char* expectOut;  // bytes decoded before the damage
};

TEST_F(DecodeTest, DamagedHeadersAreReportedAndEndTheMember) {
  const CorruptCase cases[] = {
      {"over-full char/length code",
       [](BitWriter& w) { w.put(16, 5), single_length_code(w, 10), w.put(9, 257); }, ""},
      {"incomplete char/length code",
       [](BitWriter& w) { w.put(16, 5), single_length_code(w, 10), w.put(9, 255); }, ""},
      {"over-full code-length code",
       [](BitWriter& w) { w.put(16, 5), w.put(5, 3), w.put(3, 1), w.put(3, 1), w.put(3, 1), w.put(2, 0); },
       ""},
      {"incomplete code-length code", [](BitWriter& w) { w.put(16, 5), w.put(5, 1), w.put(3, 1); }, ""},
      {"code-length count above 19", [](BitWriter& w) { w.put(16, 5), w.put(5, 20); }, ""},
      {"code length above 16",
       [](BitWriter& w) { w.put(16, 5), w.put(5, 2), w.put(3, 7), w.put(14, 0x3FFF); }, ""},
      {"char/length count above 510",
       [](BitWriter& w) { w.put(16, 5), single_length_code(w, 10), w.put(9, 511); }, ""},
      {"zero run past the 510th length",
       [](BitWriter& w) { w.put(16, 5), single_length_code(w, 2), w.put(9, 510), w.put(9, 511); }, ""},
      {"position count above 17",
       [](BitWriter& w) { flat_literal_header(w, 5), w.put(5, 18); }, ""},
      {"single position symbol out of range",
       [](BitWriter& w) { flat_literal_header(w, 5), w.put(5, 0), w.put(5, 17); }, ""},
      {"single char/length symbol out of range",
       [](BitWriter& w) { w.put(16, 5), single_length_code(w, 10), w.put(9, 0), w.put(9, 510); }, ""},
      {"single code-length symbol out of range", [](BitWriter& w) { w.put(16, 5), w.put(5, 0), w.put(5, 19); },
       ""},
      {"damaged second block",
       [](BitWriter& w) {
         put_block(w, literals("abc"));
         w.put(16, 5), w.put(5, 25);
       },
       "abc"},
      {"no input at all", [](BitWriter&) {}, ""},
  };
  for (const CorruptCase& c : cases) {
    SCOPED_TRACE(c.name);
    BitWriter w;
    c.build(w);
    int before = error_count();
    Decoded d = decode(w.finish(), 10);
    EXPECT_EQ(d.result, HUFF_CORRUPT);
    EXPECT_EQ(error_count(), before + 1);
    EXPECT_EQ(std::string(d.out.begin(), d.out.end()), c.expectOut);
  }
  EXPECT_NE(read_stream(errors).find("file corrupt "), std::string::npos);
}

TEST_F(DecodeTest, ZeroRunPastCountWithinAlphabetIsAccepted) {
  // Lengths 0..255 are 8; a run of 20 zeros then covers 256..275, past n = 257.
  BitWriter w;
  w.put(16, 3);
  std::vector<int> cl(HUFF_LENGTH_SYMBOLS);
  cl[2] = 1, cl[10] = 1;
  Code lengthCode = canonical(cl);
  put_short_lengths(w, cl, 5, true);
  w.put(9, 257);
  for (int i = 0; i < 256; i++) put_symbol(w, lengthCode, 10);
  put_symbol(w, lengthCode, 2);
  w.put(9, 0);
  w.put(5, 0), w.put(5, 0);
  for (char c : std::string("xyz")) w.put(8, static_cast<unsigned char>(c));
  Decoded d = decode(w.finish(), 3);
  EXPECT_EQ(d.result, HUFF_DECODED);
  EXPECT_EQ(std::string(d.out.begin(), d.out.end()), "xyz");
  EXPECT_EQ(error_count(), 0);
}

TEST_F(DecodeTest, OverflowTreeDecodesCodesLongerThanTheTable) {
  // Literals 0..16 with lengths 1, 2, .. 15, 16, 16: most codes pass the
  // 11-bit table and the 8-bit table of the position code is not involved.
  std::vector<int> len(HUFF_CHAR_SYMBOLS);
  for (int s = 0; s < 15; s++) len[s] = s + 1;
  len[15] = len[16] = 16;
  Code chars = canonical(len);
  std::vector<int> cl(HUFF_LENGTH_SYMBOLS);
  for (int s = 3; s < HUFF_LENGTH_SYMBOLS; s++) cl[s] = 4;
  Code lengthCode = canonical(cl);

  BitWriter w;
  Bytes expect;
  for (int s = 16; s >= 0; s--) expect.push_back(static_cast<uint8_t>(s));
  w.put(16, static_cast<uint32_t>(expect.size()));
  put_short_lengths(w, cl, 5, true);
  w.put(9, 17);
  for (int s = 0; s < 17; s++) put_symbol(w, lengthCode, len[s] + 2);
  w.put(5, 0), w.put(5, 0);
  for (uint8_t b : expect) put_symbol(w, chars, b);
  Decoded d = decode(w.finish(), static_cast<uint32_t>(expect.size()));
  EXPECT_EQ(d.result, HUFF_DECODED);
  EXPECT_EQ(d.out, expect);
}

// ---- stream features ----

TEST_F(DecodeTest, SizeZeroReadsNothing) {
  std::string in = dir.unique("in");
  write_file(in, Bytes{0x12, 0x34, 0x56, 0x78});
  IoFile* input = io_open(in.c_str(), IO_MODE_READ);
  ASSERT_NE(input, nullptr);
  transfer.output = nullptr;
  transfer.outputCount = 0;
  EXPECT_EQ(huff_decode(input, 0, 4, false), HUFF_DECODED);
  EXPECT_EQ(io_tell(input), 0);
  EXPECT_EQ(transfer.outputCount, 0u);
  io_close(input);
}

TEST_F(DecodeTest, SingleSymbolCodeTakesNoBits) {
  // The whole stream is the header: the five symbols cost nothing.
  BitWriter w;
  put_block(w, literals("zzzzz"));
  Bytes stream = w.finish();
  Decoded d = decode(stream, 5, false, static_cast<uint32_t>(stream.size()));
  EXPECT_EQ(d.result, HUFF_DECODED);
  EXPECT_EQ(std::string(d.out.begin(), d.out.end()), "zzzzz");
}

TEST_F(DecodeTest, MatchesCopyFromTheWindow) {
  struct MatchCase {
    const char* name;
    std::vector<Token> tokens;
  };
  const MatchCase cases[] = {
      {"longest match repeats the previous byte", {{0, 'x'}, {256, 0}}},
      {"short distance overlaps the copy", {{0, 'a'}, {0, 'b'}, {0, 'c'}, {40, 2}}},
      {"distance of eight and more copies in chunks",
       {{0, '0'}, {0, '1'}, {0, '2'}, {0, '3'}, {0, '4'}, {0, '5'}, {0, '6'}, {0, '7'}, {0, '8'},
        {100, 8}, {3, 50}, {0, 'e'}}},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    BitWriter w;
    put_block(w, c.tokens);
    Bytes expect;
    expand(c.tokens, expect);
    Decoded d = decode(w.finish(), static_cast<uint32_t>(expect.size()));
    EXPECT_EQ(d.result, HUFF_DECODED);
    EXPECT_EQ(d.out, expect);
  }
}

TEST_F(DecodeTest, MatchBeforeTheStartOfDataStaysInTheWindow) {
  BitWriter w;
  put_block(w, {{200, 65535}, {0, 'q'}});
  Decoded d = decode(w.finish(), 201);
  EXPECT_EQ(d.result, HUFF_DECODED);
  ASSERT_EQ(d.out.size(), 201u);
  EXPECT_EQ(d.out.back(), 'q');
}

TEST_F(DecodeTest, MatchRunningPastTheSizeIsCompletedAndEnds) {
  BitWriter w;
  put_block(w, {{0, 'a'}, {10, 0}, {0, 'b'}});
  Decoded d = decode(w.finish(), 4);
  EXPECT_EQ(d.result, HUFF_DECODED);
  EXPECT_EQ(std::string(d.out.begin(), d.out.end()), "aaaaaaaaaaa");
}

// Random tokens over several blocks and more than three window lengths, with
// matches reaching back across the window's wrap.
std::vector<std::vector<Token>> random_blocks(uint32_t seed, size_t total, Bytes& expect) {
  std::mt19937 rng(seed);
  std::vector<std::vector<Token>> blocks;
  std::vector<Token> all;
  size_t produced = 0;
  while (produced < total) {
    std::vector<Token> block;
    int count = 1000 + static_cast<int>(rng() % 5000);
    for (int i = 0; i < count && produced < total; i++) {
      Token t;
      if (produced == 0 || rng() % 3 == 0) {
        t = {0, static_cast<uint32_t>(rng() % 7 == 0 ? rng() % 256 : 'a' + rng() % 4)};
      } else {
        uint32_t reach = static_cast<uint32_t>(produced < 65536 ? produced : 65536);
        uint32_t p = rng() % 4 == 0 ? rng() % reach : rng() % (reach < 16 ? reach : 16);
        int length = rng() % 10 == 0 ? HUFF_MIN_MATCH + static_cast<int>(rng() % 254)
                                      : HUFF_MIN_MATCH + static_cast<int>(rng() % 12);
        t = {length, p};
      }
      block.push_back(t);
      all.push_back(t);
      produced += t.length ? t.length : 1;
    }
    blocks.push_back(block);
  }
  expand(all, expect);
  return blocks;
}

TEST_F(DecodeTest, RandomBlocksAcrossTheWindowWrap) {
  Bytes expect;
  auto blocks = random_blocks(7, 3 * HUFF_WINDOW_SIZE + 12345, expect);
  BitWriter w;
  for (const auto& block : blocks) put_block(w, block);
  Bytes stream = w.finish();
  Decoded d = decode(stream, static_cast<uint32_t>(expect.size()), false,
                     static_cast<uint32_t>(stream.size()));
  EXPECT_EQ(d.result, HUFF_DECODED);
  EXPECT_EQ(d.out.size(), expect.size());
  EXPECT_TRUE(d.out == expect);
  EXPECT_EQ(d.crc, crc32_of(expect.data(), expect.size()));
}

TEST_F(DecodeTest, TruncatedStreamStopsAfterTheSize) {
  Bytes expect;
  auto blocks = random_blocks(11, 200000, expect);
  BitWriter w;
  for (const auto& block : blocks) put_block(w, block);
  Bytes stream = w.finish();
  for (size_t keep : {stream.size() / 2, size_t{3}, size_t{0}}) {
    SCOPED_TRACE(keep);
    Bytes cut(stream.begin(), stream.begin() + static_cast<long>(keep));
    Decoded d = decode(cut, static_cast<uint32_t>(expect.size()));
    EXPECT_LE(d.out.size(), expect.size() + HUFF_MAX_MATCH);
    if (d.result == HUFF_DECODED) {
      EXPECT_GE(d.out.size(), expect.size());
    }
  }
}

TEST_F(DecodeTest, DamagedStreamsNeverRunAway) {
  // A valid stream with a few bytes changed: headers, symbols and positions
  // all go wrong in turn, and decoding must still stay in bounds and stop.
  Bytes expect;
  auto blocks = random_blocks(5, 150000, expect);
  BitWriter w;
  for (const auto& block : blocks) put_block(w, block);
  const Bytes stream = w.finish();
  std::mt19937 rng(3);
  int producedSomething = 0;
  for (int round = 0; round < 120; round++) {
    Bytes damaged = stream;
    int changes = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < changes; i++) {
      size_t at = round % 2 ? rng() % 64 : rng() % damaged.size();
      damaged[at] = static_cast<uint8_t>(round % 3 ? damaged[at] ^ (1u << (rng() % 8)) : rng());
    }
    uint32_t size = static_cast<uint32_t>(expect.size()) + rng() % 1000;
    Decoded d = decode(damaged, size, round % 3 == 0, static_cast<uint32_t>(damaged.size()));
    EXPECT_LE(d.out.size(), size + HUFF_MAX_MATCH);
    producedSomething += !d.out.empty();
  }
  EXPECT_GT(producedSomething, 60);
}

TEST_F(DecodeTest, BlockModeCarriesTheWindowToTheNextMember) {
  BitWriter first;
  put_block(first, literals("hello, "));
  BitWriter second;
  put_block(second, {{5, 6}, {0, '!'}});
  Decoded a = decode(first.finish(), 7, true);
  Decoded b = decode(second.finish(), 6, true);
  EXPECT_EQ(std::string(a.out.begin(), a.out.end()), "hello, ");
  EXPECT_EQ(std::string(b.out.begin(), b.out.end()), "hello!");
}

// ---- the member entry ----

struct ArjMember {
  const char* file;
  int32_t offset;
  uint32_t packed;
  uint32_t unpacked;
  uint16_t method;
  uint32_t crc;
};

class UnpackTest : public DecodeTest {
 protected:
  // Extracts (or tests) one member of a fixture archive through unpack_member.
  uint32_t unpack(const std::string& path, ArchiveKind kind, const EntryInfo& entry,
                  IoFile* output = nullptr, const PathName* display = nullptr,
                  const PathName* outName = nullptr, uint16_t globalFlags = 0) {
    ArchiveFile archive;
    archive.file = io_open(path.c_str(), IO_MODE_READ);
    EXPECT_NE(archive.file, nullptr);
    archive.kind = kind;
    archive.globalFlags = globalFlags;
    archive.entry.flags = entry.flags;
    archive.entry.methodCode = entry.methodCode;
    archive.entry.packedSize = entry.packedSize;
    archive.entry.unpackedSize = entry.unpackedSize;
    io_seek(archive.file, static_cast<int>(entry.pieceOffset), 0);
    uint32_t crc = unpack_member(&archive, output, display, outName);
    lastPosition = io_tell(archive.file);
    io_close(archive.file);
    return crc;
  }
  int lastPosition = 0;
};

EntryInfo member(uint32_t offset, uint32_t packed, uint32_t unpacked, uint16_t method,
                 uint16_t flags = 0) {
  EntryInfo e;
  e.pieceOffset = offset;  // used here only as the data position
  e.packedSize = packed;
  e.unpackedSize = unpacked;
  e.methodCode = method;
  e.flags = flags;
  return e;
}

TEST_F(UnpackTest, PeerArchiveMembersDecodeToTheirCrc) {
  const ArjMember members[] = {
      {"arj241_text.arj", 108, 2005, 4000, 1, 0xAB2FB3B3},
      {"arj241_text.arj", 2164, 212, 300, 1, 0x4AB6491C},
      {"arj241_m1.arj", 104, 27546, 80000, 1, 0x309A470B},
      {"arj241_m1.arj", 27701, 0, 0, 0, 0x00000000},
      {"arj241_m1.arj", 27753, 6000, 6000, 0, 0x0A696D52},
      {"arj241_m3.arj", 104, 28335, 80000, 3, 0x309A470B},
  };
  for (const ArjMember& m : members) {
    SCOPED_TRACE(std::string(m.file) + " @" + std::to_string(m.offset));
    std::string path = std::string(KVX_FIXTURES) + "/codec/" + m.file;
    EXPECT_EQ(unpack(path, Arj, member(m.offset, m.packed, m.unpacked, m.method)), m.crc);
    EXPECT_EQ(transfer.outputCount, m.unpacked);
  }
  EXPECT_EQ(error_count(), 0);
}

TEST_F(UnpackTest, MembersThatCannotBeDecodedGiveTheCheckOfNoData) {
  struct Case {
    const char* name;
    ArchiveKind kind;
    uint16_t method;
    uint16_t flags;
    const char* printed;
  };
  const Case cases[] = {
      {"ARJ method 4", Arj, 4, 0, "bad method "},
      {"method 1 outside ARJ", Kvn, 1, 0, "bad method "},
      {"garbled member", Arj, 1, ENTRY_CONV_KEY, "conv. key"},
  };
  std::string path = std::string(KVX_FIXTURES) + "/codec/arj241_m1.arj";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t crc = unpack(path, c.kind, member(104, 27546, 80000, c.method, c.flags));
    EXPECT_EQ(crc, 0u);
    EXPECT_EQ(transfer.outputCount, 0u);
    EXPECT_EQ(lastPosition, 104);
  }
  std::string printed = read_stream(messages);
  EXPECT_NE(printed.find("bad method "), std::string::npos);
  EXPECT_NE(printed.find("conv. key"), std::string::npos);
  EXPECT_EQ(error_count(), 0);
}

TEST_F(UnpackTest, ActionLineNamesTheTargetWhenItDiffers) {
  std::string path = std::string(KVX_FIXTURES) + "/codec/arj241_text.arj";
  PathName display("small.txt");
  PathName same("small.txt");
  std::string outName = dir.unique("small");
  PathName target(outName.c_str());

  unpack(path, Arj, member(2164, 212, 300, 1), nullptr, &display, &same);
  EXPECT_EQ(read_stream(messages), "Testing    small.txt\t  ");

  fclose(messages);
  messages = tmpfile();
  console_use_streams(messages, nullptr, nullptr);
  IoFile* out = io_open(outName.c_str(), IO_MODE_CREATE);
  ASSERT_NE(out, nullptr);
  uint32_t crc = unpack(path, Arj, member(2164, 212, 300, 1), out, &display, &target);
  io_close(out);
  EXPECT_EQ(crc, 0x4AB6491Cu);
  EXPECT_EQ(read_stream(messages), "Extracting small.txt\t TO " + outName + " \t");
  Bytes written = read_file(outName);
  EXPECT_EQ(written.size(), 300u);
  EXPECT_EQ(crc32_of(written.data(), written.size()), 0x4AB6491Cu);
}

}  // namespace
