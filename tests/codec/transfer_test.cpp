// Check values and the shared data paths: copies, member reader, output sink.
#include <gtest/gtest.h>

#include <random>

#include "archive/test_util.h"

namespace {

uint32_t bitwise_crc32(const Bytes& data) {
  uint32_t reg = 0xFFFFFFFFu;
  for (unsigned char b : data) {
    reg ^= b;
    for (int i = 0; i < 8; i++) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
  }
  return ~reg;
}

uint32_t crc_through_register(const Bytes& data) {
  transfer.checkUpdate = crc32_update;
  check_start();
  crc32_update(data.data(), int(data.size()));
  return check_value();
}

// Resets the transfer state that the tests below change.
class DataPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transfer.checkUpdate = crc32_update;
    transfer.textMode = 0;
    transfer.showProgress = 1;
    transfer.inputChecked = 0;
    transfer.input = nullptr;
    transfer.output = nullptr;
    transfer.outputCount = 0;
    transfer.expectedTotal = 0;
    progress_reset();
  }
  void TearDown() override {
    transfer.checkUpdate = crc32_update;
    transfer.textMode = 0;
    transfer.showProgress = 0;
    transfer.inputChecked = 0;
  }
  IoFile* open_with(const std::string& name, const Bytes& content) {
    return io_open(dir.put(name, content).c_str(), IO_MODE_READ);
  }
  TempDir dir{"kvx-archive"};
};

// Every CRC-32 test runs each way through long blocks (the tables, and
// folding 16 and 32 bytes at a time, skipped where the processor lacks it):
// archives made on one machine are checked on another, so all must agree bit
// for bit.
class Crc32 : public testing::TestWithParam<CrcWay> {
 protected:
  void SetUp() override {
    if (crc32_use(GetParam()) != GetParam()) GTEST_SKIP() << "this processor cannot fold this way";
  }
  void TearDown() override { crc32_use(CrcWay::WideFolding); }
};

INSTANTIATE_TEST_SUITE_P(Ways, Crc32, testing::Values(CrcWay::Tables, CrcWay::Folding, CrcWay::WideFolding),
                         [](const testing::TestParamInfo<CrcWay>& info) {
                           return info.param == CrcWay::Tables ? "Tables"
                                  : info.param == CrcWay::Folding ? "Folding"
                                                                  : "WideFolding";
                         });

Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  Bytes data(n);
  for (auto& b : data) b = uint8_t(random());
  return data;
}

TEST_P(Crc32, KnownValues) {
  EXPECT_EQ(crc_through_register(bytes_of("abc")), 0x352441C2u);
  EXPECT_EQ(crc_through_register(bytes_of("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc_through_register(Bytes()), 0u);
  // The data of the stored options member of the resource archive.
  EXPECT_EQ(crc32_of("-lru\r\n\r\n \r\n\r\n\r\n\r\n", 17), 0x3B06D4C5u);
  // Long blocks of known content.
  EXPECT_EQ(crc32_of(Bytes(100000, 0).data(), 100000), 0xD411957Du);
  EXPECT_EQ(crc32_of(Bytes(4096, 0xFF).data(), 4096), 0xF154670Au);
}

// Every length up to 400 (the short blocks of the tables, the first lanes of
// both foldings and every tail after them) at every alignment of a 32-byte load.
TEST_P(Crc32, MatchesBitwiseReferenceOnEveryLengthAndAlignment) {
  Bytes data = random_bytes(432, 7);
  for (size_t start = 0; start < 32; start++)
    for (size_t length = 0; start + length <= data.size() && length <= 400; length++) {
      Bytes part(data.begin() + long(start), data.begin() + long(start + length));
      ASSERT_EQ(crc32_of(part.data(), part.size()), bitwise_crc32(part)) << start << "+" << length;
    }
}

TEST_P(Crc32, LargeBlocksMatchTheReferenceWhateverTheirLength) {
  // 12288 bytes and more take the three lanes of the tables; folding goes
  // 64 or 128 bytes at a time, then 16, with up to 15 left over.
  Bytes data = random_bytes(400003, 11);
  for (size_t length : {1023u, 1024u, 1041u, 12287u, 12288u, 12289u, 12296u, 40001u, 196608u, 196615u, 400003u}) {
    Bytes part(data.begin(), data.begin() + long(length));
    ASSERT_EQ(crc32_of(part.data(), part.size()), bitwise_crc32(part)) << length;
    ASSERT_EQ(crc32_of(data.data() + 3, length - 3), bitwise_crc32(Bytes(part.begin() + 3, part.end())))
        << length;
  }
}

// The register carried from one block to the next, whichever way each block
// goes (short ones through the tables, long ones folded).
TEST_P(Crc32, PiecewiseUpdatesEqualOneUpdate) {
  Bytes data = random_bytes(70000, 13);
  std::mt19937 random(17);
  check_start();
  for (size_t at = 0; at < data.size();) {
    size_t piece = std::min<size_t>(random() % 3 == 0 ? random() % 5000 : random() % 80, data.size() - at);
    crc32_update(data.data() + at, int(piece));
    at += piece;
  }
  EXPECT_EQ(check_value(), bitwise_crc32(data));
}

TEST(Crc32Ways, FoldingGivesWhatTheTablesGive) {
  if (crc32_use(CrcWay::Folding) == CrcWay::Tables) GTEST_SKIP() << "no carry-less multiplication here";
  Bytes data = random_bytes(1 << 20, 19);
  std::mt19937 random(23);
  for (int round = 0; round < 200; round++) {
    const size_t start = random() % 4096, length = random() % (data.size() - start);
    const uint32_t reg = uint32_t(random());
    crc32_use(CrcWay::Tables);
    const uint32_t expected = crc32_block(reg, data.data() + start, length);
    for (CrcWay way : {CrcWay::Folding, CrcWay::WideFolding}) {
      if (crc32_use(way) != way) continue;
      ASSERT_EQ(crc32_block(reg, data.data() + start, length), expected) << start << "+" << length;
    }
  }
  crc32_use(CrcWay::WideFolding);
}

TEST(Sum16, AddsBytesAndKeepsLow16Bits) {
  transfer.checkUpdate = sum16_update;
  check_start();
  EXPECT_EQ(transfer.checkRegister, 0u);
  sum16_update("abc", 3);
  EXPECT_EQ(check_value(), 0x0126u);
  sum16_update("", 0);  // an empty block changes nothing
  EXPECT_EQ(check_value(), 0x0126u);
  Bytes many(1000, 0xFF);
  sum16_update(many.data(), int(many.size()));
  EXPECT_EQ(check_value(), (0x0126u + 1000u * 0xFFu) & 0xFFFFu);
  transfer.checkUpdate = crc32_update;
}

std::vector<int> recordedPieces;
void record_piece(const void*, int count) { recordedPieces.push_back(count); }

TEST_F(DataPathTest, CopyMovesAtMost2048BytesPerStep) {
  Bytes content(6000);
  for (size_t i = 0; i < content.size(); i++) content[i] = uint8_t(i * 7);
  IoFile* source = open_with("src", content);
  IoFile* target = io_open(dir.file("dst").c_str(), IO_MODE_CREATE);
  recordedPieces.clear();
  transfer.checkUpdate = record_piece;
  copy_bytes_with_check(source, target, 5000, 1);
  transfer.checkUpdate = crc32_update;
  EXPECT_EQ(recordedPieces, (std::vector<int>{2048, 2048, 904}));
  io_close(source);
  io_close(target);
  EXPECT_EQ(read_file(dir.file("dst")), Bytes(content.begin(), content.begin() + 5000));
}

TEST_F(DataPathTest, CopyWithoutTargetDiscardsAndCountZeroDoesNothing) {
  IoFile* source = open_with("src", Bytes(3000, 'q'));
  copy_bytes(source, nullptr, 2500);
  EXPECT_EQ(io_tell(source), 2500);
  copy_bytes(source, nullptr, 0);
  copy_bytes(source, nullptr, -5);
  EXPECT_EQ(io_tell(source), 2500);
  io_close(source);
}

TEST_F(DataPathTest, ShortSourceReportsOneReadErrorAndStops) {
  IoFile* source = open_with("src", Bytes(3000, 'q'));
  IoFile* target = io_open(dir.file("dst").c_str(), IO_MODE_CREATE);
  PathName sourceName(dir.file("src").c_str());
  transfer.readSourceName = &sourceName;
  ConsoleCapture console;
  copy_bytes(source, target, 5000);
  EXPECT_EQ(console.errors(), 1);
  EXPECT_NE(console.error_text().find("src: read error"), std::string::npos);
  transfer.readSourceName = nullptr;
  io_close(source);
  io_close(target);
  EXPECT_EQ(read_file(dir.file("dst")).size(), 2048u);  // the complete first step only
}

TEST_F(DataPathTest, ReadWithCheckAnswersCrcOfExactlyTheBytesRead) {
  IoFile* source = open_with("src", bytes_of("abcdef"));
  unsigned char buffer[16];
  uint32_t value = 0;
  EXPECT_EQ(read_with_check(source, buffer, 3, &value), 3);
  EXPECT_EQ(value, 0x352441C2u);
  EXPECT_EQ(read_with_check(source, buffer, 16, &value), 3);  // "def", then end of file
  EXPECT_EQ(value, bitwise_crc32(bytes_of("def")));
  io_close(source);
}

TEST_F(DataPathTest, CheckRegionSkipsCarriageReturnsInTextMode) {
  IoFile* source = open_with("src", bytes_of("a\r\nb\rc\r\r\nd-rest"));
  transfer.textMode = 1;
  uint32_t reg = check_region(source, 8);  // only the carriage returns of CR LF go
  EXPECT_EQ(~reg, bitwise_crc32(bytes_of("a\nb\rc\r\nd")));
  EXPECT_EQ(io_get_byte(source), '-');
  transfer.textMode = 0;
  io_seek(source, 0, 0);
  EXPECT_EQ(~check_region(source, 100), bitwise_crc32(bytes_of("a\r\nb\rc\r\r\nd-rest")));  // stops at end
  io_close(source);
}

TEST_F(DataPathTest, MemberReaderDropsCarriageReturnsInTextMode) {
  transfer.input = open_with("src", bytes_of("x\r\ny"));
  transfer.inputRemaining = 4;
  transfer.inputChecked = 1;
  transfer.textMode = 1;
  check_start();
  unsigned char buffer[16];
  EXPECT_EQ(read_member_input(buffer, 16), 3);
  EXPECT_EQ(Bytes(buffer, buffer + 3), bytes_of("x\ny"));
  EXPECT_EQ(transfer.inputRemaining, 0);
  EXPECT_EQ(transfer.inputCount, 3u);
  EXPECT_EQ(check_value(), bitwise_crc32(bytes_of("x\ny")));
  EXPECT_EQ(read_member_input(buffer, 16), -1);
  io_close(transfer.input);
}

// Only the carriage return of CR LF goes, also when the pair is split between
// two reads; a lone one stays, and so does one that ends the member. A read
// that places nothing (a CR whose LF comes next) is not taken for the end.
TEST_F(DataPathTest, MemberReaderDropsOnlyTheCarriageReturnsOfLineEnds) {
  const std::string text = "a\r\nb\r\r\nc\r\n\r\rd\r";
  const std::string stored = "a\nb\r\nc\n\r\rd\r";
  for (int request : {1, 2, 3, 5, 64}) {
    transfer.input = open_with("src", bytes_of(text + "\n"));   // a line feed after the member's budget
    transfer.inputRemaining = int64_t(text.size());
    transfer.inputChecked = 1;
    transfer.textMode = 1;
    check_start();
    unsigned char buffer[64];
    std::string delivered;
    int got;
    while ((got = read_member_input(buffer, request)) >= 0) {
      if (got == 0) break;
      delivered.append(buffer, buffer + got);
    }
    EXPECT_EQ(delivered, stored) << "requests of " << request;
    EXPECT_EQ(transfer.inputRemaining, 0);
    EXPECT_EQ(check_value(), bitwise_crc32(bytes_of(stored))) << "requests of " << request;
    io_close(transfer.input);
  }
}

TEST_F(DataPathTest, MemberReaderUncheckedPassesBytesThroughWithinBudget) {
  transfer.input = open_with("src", bytes_of("a\r\nbcdef"));
  transfer.inputRemaining = 4;
  transfer.textMode = 1;  // no conversion while transfer.inputChecked is clear
  unsigned char buffer[16];
  EXPECT_EQ(read_member_input(buffer, 16), 4);
  EXPECT_EQ(Bytes(buffer, buffer + 4), bytes_of("a\r\nb"));
  EXPECT_EQ(read_member_input(buffer, 16), -1);
  io_close(transfer.input);
}

TEST_F(DataPathTest, MemberReaderAnswersZeroWhenTheSourceEndsEarly) {
  transfer.input = open_with("src", bytes_of("ab"));
  transfer.inputRemaining = 10;
  unsigned char buffer[16];
  EXPECT_EQ(read_member_input(buffer, 16), 2);
  EXPECT_EQ(read_member_input(buffer, 16), 0);
  io_close(transfer.input);
}

TEST_F(DataPathTest, SinkWritesTextWithNativeLineEnds) {
  transfer.output = io_open(dir.file("out").c_str(), IO_MODE_CREATE);
  transfer.textMode = 1;
  const unsigned char data[] = {'-', 'a', '\n', 'b', '-'};
  EXPECT_EQ(output_sink(data, 1, 4), 0);
  EXPECT_EQ(transfer.outputCount, 3u);
  io_close(transfer.output);
  EXPECT_EQ(read_file(dir.file("out")), bytes_of("a\nb"));
}

TEST_F(DataPathTest, SinkWritesLargeBinaryBlocksUnchanged) {
  Bytes data(100000);
  for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i % 251);
  transfer.output = io_open(dir.file("out").c_str(), IO_MODE_CREATE);
  EXPECT_EQ(output_sink(data.data(), 0, int(data.size())), 0);
  EXPECT_EQ(transfer.outputCount, 100000u);
  io_close(transfer.output);
  EXPECT_EQ(read_file(dir.file("out")), data);
}

TEST_F(DataPathTest, SinkWithoutTargetOnlyCounts) {
  unsigned char window[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  transfer.window = window;
  EXPECT_EQ(output_window(2, 7), 0);
  EXPECT_EQ(transfer.outputCount, 5u);
  EXPECT_EQ(output_window(3, 3), 0);
  EXPECT_EQ(transfer.outputCount, 5u);
  transfer.window = nullptr;
}

TEST_F(DataPathTest, SinkReportsWriteErrorAndAnswersOne) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  transfer.output = io_open("/dev/full", IO_MODE_CREATE);
  ASSERT_NE(transfer.output, nullptr);
  PathName target("/dev/full");
  transfer.writeTargetName = &target;
  Bytes data(200000, 'z');
  ConsoleCapture console;
  EXPECT_EQ(output_sink(data.data(), 0, int(data.size())), 1);
  EXPECT_EQ(console.errors(), 1);
  EXPECT_NE(console.error_text().find("full: write error"), std::string::npos);
  transfer.writeTargetName = nullptr;
  io_close(transfer.output);
}

TEST_F(DataPathTest, ProgressIsRedrawnInPlaceButNeverWhenOffOrOnStandardOutput) {
  ConsoleCapture console;
  sleep(1);
  while (progress_ticks() < 9) usleep(50000);
  unsigned char data[4] = {'w', 'x', 'y', 'z'};
  transfer.expectedTotal = 8;
  transfer.showProgress = 0;
  EXPECT_EQ(output_sink(data, 0, 2), 0);
  transfer.showProgress = 1;
  ASSERT_EQ(io_stdout(), 0);
  transfer.output = ioStandardOutput;
  EXPECT_EQ(output_sink(data, 0, 2), 0);  // member data on the console: no figure
  io_flush(ioStandardOutput);
  transfer.output = nullptr;
  EXPECT_EQ(console.message_text_out(), "");
  EXPECT_EQ(output_sink(data, 0, 2), 0);  // 4 of 8
  std::string shown = console.message_text_out();
  ASSERT_EQ(shown.size(), 8u);
  EXPECT_EQ(shown.substr(4), "\b\b\b\b");
  EXPECT_NE(shown.find('%'), std::string::npos);
  EXPECT_EQ(output_sink(data, 0, 1), 0);  // the clock was restarted: no new figure
  EXPECT_EQ(console.message_text_out(), shown);
}

}  // namespace
