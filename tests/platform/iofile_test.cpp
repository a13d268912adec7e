// Tests of the buffered file object: block boundaries, value readers, update
// mode write-back, seeks, direct mode and the standard-output object.
#include "platform/iofile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

class IoFileTest : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return dir_.file(name); }

  std::string make_file(const char* name, const Bytes& content) const {
    std::string p = path(name);
    EXPECT_TRUE(write_file(p, content));
    return p;
  }

  static void append(const std::string& p, const Bytes& more) {
    FILE* out = std::fopen(p.c_str(), "ab");
    ASSERT_NE(out, nullptr);
    std::fwrite(more.data(), 1, more.size(), out);
    std::fclose(out);
  }

  TempDir dir_{"kvx_iofile"};
};

// Bytes that differ from their neighbours and from their block position.
Bytes pattern(size_t n, unsigned seed = 7) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 131 + seed + i / 251) & 0xFF);
  return b;
}

TEST_F(IoFileTest, ByteReadingStopsAtEndWithoutReadingAgain) {
  Bytes content = pattern(10);
  std::string p = make_file("ten", content);
  IoFile* f = io_open(p.c_str(), IO_MODE_READ);
  ASSERT_NE(f, nullptr);
  for (unsigned char expected : content) EXPECT_EQ(io_get_byte(f), expected);
  EXPECT_FALSE(io_at_end(f));
  EXPECT_EQ(io_get_byte(f), -1);
  EXPECT_TRUE(io_at_end(f));
  // The short first block already showed the end: bytes appended now must not
  // be picked up, because no further read of the file takes place.
  append(p, Bytes{1, 2, 3});
  EXPECT_EQ(io_get_byte(f), -1);
  EXPECT_TRUE(io_at_end(f));
  EXPECT_EQ(io_tell(f), 10);
  EXPECT_EQ(io_close(f), 0);
}

TEST_F(IoFileTest, FullBlockIsFollowedByOneMoreRead) {
  Bytes content = pattern(32768);
  std::string p = make_file("block", content);
  IoFile* f = io_open(p.c_str(), IO_MODE_READ);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->capacity, 32768u);
  for (unsigned char expected : content) ASSERT_EQ(io_get_byte(f), expected);
  // A full block cannot tell whether more follows, so the next byte asks the
  // file again: a byte appended now is found.
  append(p, Bytes{0x5A});
  EXPECT_EQ(io_get_byte(f), 0x5A);
  EXPECT_EQ(io_get_byte(f), -1);
  EXPECT_EQ(io_get_byte(f), -1);
  EXPECT_TRUE(io_at_end(f));
  io_close(f);

  std::string q = make_file("block2", content);
  f = io_open(q.c_str(), IO_MODE_READ);
  ASSERT_NE(f, nullptr);
  Bytes got(32768);
  EXPECT_EQ(io_read(f, got.data(), 32768), 32768);
  EXPECT_EQ(got, content);
  EXPECT_EQ(io_get_byte(f), -1);
  EXPECT_EQ(io_tell(f), 32768);
  EXPECT_EQ(io_get_byte(f), -1);
  io_close(f);
}

TEST_F(IoFileTest, ReadsEveryByteAcrossBlockSizes) {
  const size_t sizes[] = {0, 1, 32767, 32768, 32769, 65536, 100000};
  for (size_t n : sizes) {
    SCOPED_TRACE(n);
    Bytes content = pattern(n, static_cast<unsigned>(n));
    std::string p = make_file("sized", content);

    IoFile* f = io_open(p.c_str(), IO_MODE_READ);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->length, static_cast<int>(n));
    Bytes got;
    for (int c; (c = io_get_byte(f)) >= 0;) got.push_back(static_cast<unsigned char>(c));
    EXPECT_EQ(got, content);
    EXPECT_TRUE(io_at_end(f));
    EXPECT_EQ(io_get_byte(f), -1);
    io_close(f);

    // Bulk reads in odd pieces deliver the same bytes and stop short at the end.
    f = io_open(p.c_str(), IO_MODE_READ);
    ASSERT_NE(f, nullptr);
    got.assign(n + 7000, 0);
    size_t total = 0;
    for (int r; (r = io_read(f, got.data() + total, 6999)) > 0;) {
      total += static_cast<size_t>(r);
      if (r < 6999) break;
    }
    got.resize(total);
    EXPECT_EQ(got, content);
    io_close(f);
  }
}

int read_be16(IoFile* f) { return io_read_be16(f); }
int read_le16(IoFile* f) { return io_read_le16(f); }
int read_be32(IoFile* f) { return io_read_be32(f); }
int read_le32(IoFile* f) { return io_read_le32(f); }
int read_strict(IoFile* f) { return io_read_be16_strict(f); }

struct ValueCase {
  const char* what;
  Bytes input;
  int (*reader)(IoFile*);
  int expected;
  bool atEnd;
};

TEST_F(IoFileTest, ValueReadersAssembleAndPadWithFF) {
  const ValueCase cases[] = {
      {"be16", {0x01, 0x02}, read_be16, 258, false},
      {"le16", {0x01, 0x02}, read_le16, 513, false},
      {"be32", {0x00, 0x00, 0x01, 0x02}, read_be32, 258, false},
      {"le32", {0x02, 0x01, 0x00, 0x00}, read_le32, 258, false},
      {"be32 high bit", {0x80, 0x00, 0x00, 0x01}, read_be32, static_cast<int>(0x80000001u), false},
      {"be16 one byte", {0x12}, read_be16, 0x12FF, true},
      {"le16 one byte", {0x12}, read_le16, 0xFF12, true},
      {"be32 two bytes", {0x01, 0x02}, read_be32, 0x0102FFFF, true},
      {"le32 three bytes", {0x01, 0x02, 0x03}, read_le32, static_cast<int>(0xFF030201u), true},
      {"be16 none", {}, read_be16, -1, true},
      {"le16 none", {}, read_le16, -1, true},
      {"be32 none", {}, read_be32, -1, true},
      {"le32 none", {}, read_le32, -1, true},
      {"strict", {0xAB, 0xCD}, read_strict, 0xABCD, false},
      {"strict one byte", {0xAB}, read_strict, 0xFFFF, true},
      {"strict none", {}, read_strict, -1, true},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string p = make_file("value", c.input);
    IoFile* f = io_open(p.c_str(), IO_MODE_READ);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(c.reader(f), c.expected);
    EXPECT_EQ(io_at_end(f) != 0, c.atEnd);
    io_close(f);
  }

  std::string p = make_file("two", Bytes{0x01, 0x02});
  IoFile* f = io_open(p.c_str(), IO_MODE_READ);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(io_read_be16(f), 258);
  EXPECT_FALSE(io_at_end(f));
  EXPECT_EQ(io_read_be16(f), -1);
  EXPECT_TRUE(io_at_end(f));
  io_close(f);
}

TEST_F(IoFileTest, ValueWritersRoundTripAcrossABlockBoundary) {
  std::string p = path("values");
  IoFile* f = io_open(p.c_str(), IO_MODE_CREATE);
  ASSERT_NE(f, nullptr);
  // Start 3 bytes before the block end so the values straddle it.
  Bytes filler(65533, 0x11);
  ASSERT_EQ(io_write(f, filler.data(), 65533), 65533);
  EXPECT_EQ(io_write_be32(f, 0x01020304), 0);
  EXPECT_EQ(io_write_le32(f, 0x01020304), 0);
  EXPECT_EQ(io_write_be16(f, 0xA1B2), 0);
  EXPECT_EQ(io_write_le16(f, 0x1234C1D2), 0);  // only the low two bytes
  EXPECT_EQ(io_close(f), 0);

  Bytes got = read_file(p);
  ASSERT_EQ(got.size(), 65533u + 12);
  Bytes tail(got.begin() + 65533, got.end());
  EXPECT_EQ(tail, (Bytes{1, 2, 3, 4, 4, 3, 2, 1, 0xA1, 0xB2, 0xD2, 0xC1}));

  f = io_open(p.c_str(), IO_MODE_READ);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(io_seek(f, 65533, 0), 0);
  EXPECT_EQ(io_read_be32(f), 0x01020304);
  EXPECT_EQ(io_read_le32(f), 0x01020304);
  EXPECT_EQ(io_read_be16(f), 0xA1B2);
  EXPECT_EQ(io_read_le16(f), 0xC1D2);
  io_close(f);
}

TEST_F(IoFileTest, WritingPastCapacityKeepsEveryByte) {
  for (bool bytewise : {false, true}) {
    SCOPED_TRACE(bytewise ? "io_put_byte" : "io_write");
    std::string p = path(bytewise ? "put" : "write");
    IoFile* f = io_open(p.c_str(), IO_MODE_CREATE);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->capacity, 65536u);
    Bytes content = pattern(65536 + 10);
    if (bytewise) {
      for (unsigned char b : content) ASSERT_EQ(io_put_byte(f, b), b);
    } else {
      EXPECT_EQ(io_write(f, content.data(), static_cast<int>(content.size())), 65546);
      // The full first block has gone out before the close.
      struct stat st;
      ASSERT_EQ(stat(p.c_str(), &st), 0);
      EXPECT_EQ(st.st_size, 65536);
    }
    EXPECT_EQ(io_tell(f), 65546);
    EXPECT_EQ(io_close(f), 0);
    EXPECT_EQ(read_file(p), content);
  }
}

TEST_F(IoFileTest, UpdateModeWritesBackTheWholeBlock) {
  Bytes original = pattern(100);
  std::string p = make_file("hundred", original);
  IoFile* f = io_open(p.c_str(), IO_MODE_WRITE);
  ASSERT_NE(f, nullptr);
  Bytes head(10, 0xEE), tail(5, 0xDD);
  EXPECT_EQ(io_write(f, head.data(), 10), 10);
  EXPECT_EQ(io_seek(f, 90, 0), 10);
  EXPECT_EQ(io_write(f, tail.data(), 5), 5);
  EXPECT_EQ(io_close(f), 0);

  Bytes expected = original;
  std::fill(expected.begin(), expected.begin() + 10, 0xEE);
  std::fill(expected.begin() + 90, expected.begin() + 95, 0xDD);
  EXPECT_EQ(read_file(p), expected);
}

TEST_F(IoFileTest, UpdateModeAcrossBlocksKeepsLengthAndUntouchedBytes) {
  Bytes original = pattern(2 * 65536 + 100);
  std::string p = make_file("big", original);
  IoFile* f = io_open(p.c_str(), IO_MODE_WRITE);
  ASSERT_NE(f, nullptr);
  const struct {
    int offset;
    unsigned char value;
  } patches[] = {{70000, 0xA1}, {3, 0xB2}, {131100, 0xC3}, {65535, 0xD4}, {65536, 0xE5}};
  Bytes expected = original;
  for (const auto& patch : patches) {
    ASSERT_GE(io_seek(f, patch.offset, 0), 0);
    EXPECT_EQ(io_put_byte(f, patch.value), patch.value);
    expected[static_cast<size_t>(patch.offset)] = patch.value;
  }
  // Reading in update mode sees the file's bytes around the patches.
  ASSERT_GE(io_seek(f, 69999, 0), 0);
  EXPECT_EQ(io_get_byte(f), original[69999]);
  EXPECT_EQ(io_get_byte(f), 0xA1);
  EXPECT_EQ(io_close(f), 0);
  EXPECT_EQ(read_file(p), expected);
}

TEST_F(IoFileTest, UpdateModeReadingIntoTheNextBlockKeepsWrittenBytes) {
  Bytes original = pattern(70000);
  std::string p = make_file("readon", original);
  IoFile* f = io_open(p.c_str(), IO_MODE_WRITE);
  ASSERT_NE(f, nullptr);
  ASSERT_GE(io_seek(f, 65530, 0), 0);
  for (int i = 0; i < 6; ++i) io_put_byte(f, 0xC0 + i);
  // Crossing into the next block by reading must write the left block back.
  for (size_t i = 65536; i < 70000; ++i) ASSERT_EQ(io_get_byte(f), original[i]) << i;
  EXPECT_EQ(io_get_byte(f), -1);
  EXPECT_EQ(io_close(f), 0);

  Bytes expected = original;
  for (int i = 0; i < 6; ++i) expected[65530 + static_cast<size_t>(i)] = static_cast<unsigned char>(0xC0 + i);
  EXPECT_EQ(read_file(p), expected);
}

TEST_F(IoFileTest, NewFileHeaderPatchedAfterWriting) {
  // The way an archive is written: data first, then the header rewritten in
  // place, then more data appended at the end.
  std::string p = path("archive");
  IoFile* f = io_open(p.c_str(), IO_MODE_CREATE);
  ASSERT_NE(f, nullptr);
  Bytes body = pattern(70000);
  ASSERT_EQ(io_write(f, body.data(), 70000), 70000);
  EXPECT_EQ(io_seek(f, 4, 0), 70000);
  EXPECT_EQ(io_write_be32(f, 0x0BADF00D), 0);
  EXPECT_EQ(io_seek(f, 70000, 0), 8);
  EXPECT_EQ(io_put_byte(f, 0x77), 0x77);
  EXPECT_EQ(io_close(f), 0);

  Bytes expected = body;
  const unsigned char header[] = {0x0B, 0xAD, 0xF0, 0x0D};
  std::copy(header, header + 4, expected.begin() + 4);
  expected.push_back(0x77);
  EXPECT_EQ(read_file(p), expected);
}

TEST_F(IoFileTest, WriteAtPatchesEarlierBytesWithoutMovingThePosition) {
  // A header patched after its data: in the current block, in a block already
  // written back, and across the boundary of the two; buffered and direct.
  const struct {
    const char* what;
    int mode;
    int at;
  } cases[] = {
      {"in the current block", IO_MODE_CREATE, 65600},
      {"in a block written back", IO_MODE_CREATE, 100},
      {"across the block boundary", IO_MODE_CREATE, 65530},
      {"direct", IO_MODE_CREATE | IO_MODE_DIRECT, 65530},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string p = path("patched");
    IoFile* f = io_open(p.c_str(), c.mode);
    ASSERT_NE(f, nullptr);
    Bytes body = pattern(70000);
    ASSERT_EQ(io_write(f, body.data(), 70000), 70000);
    Bytes header = pattern(12, 99);
    EXPECT_EQ(io_write_at(f, c.at, header.data(), 12), 12);
    EXPECT_EQ(io_tell(f), 70000);
    EXPECT_EQ(io_write(f, "\x77", 1), 1);
    EXPECT_EQ(io_close(f), 0);

    Bytes expected = body;
    std::copy(header.begin(), header.end(), expected.begin() + c.at);
    expected.push_back(0x77);
    EXPECT_EQ(read_file(p), expected);
  }

  // Only a file open for writing takes it.
  std::string p = make_file("read", pattern(10));
  IoFile* f = io_open(p.c_str(), IO_MODE_READ);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(io_write_at(f, 0, "x", 1), -1);
  io_close(f);
  EXPECT_EQ(read_file(p), pattern(10));
}

TEST_F(IoFileTest, GapLeftBySeekingPastTheEndIsZero) {
  // The buffer still holds the previous block's bytes when an empty block is
  // entered; none of them may land in the gap.
  std::string p = path("gap");
  IoFile* f = io_open(p.c_str(), IO_MODE_CREATE);
  ASSERT_NE(f, nullptr);
  Bytes full(65546, 0xAA);
  ASSERT_EQ(io_write(f, full.data(), 65546), 65546);
  ASSERT_GE(io_seek(f, 131172, 0), 0);
  EXPECT_EQ(io_put_byte(f, 0x55), 0x55);
  EXPECT_EQ(io_close(f), 0);

  Bytes got = read_file(p);
  ASSERT_EQ(got.size(), 131173u);
  for (size_t i = 0; i < 65546; ++i) ASSERT_EQ(got[i], 0xAA) << i;
  for (size_t i = 65546; i < 131172; ++i) ASSERT_EQ(got[i], 0) << i;
  EXPECT_EQ(got[131172], 0x55);
}

TEST_F(IoFileTest, ReadModeSeeksStayWithinTheFile) {
  Bytes content = pattern(1000);
  std::string p = make_file("thousand", content);
  IoFile* f = io_open(p.c_str(), IO_MODE_READ);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(io_seek(f, 500, 0), 0);
  EXPECT_EQ(io_tell(f), 500);
  EXPECT_EQ(io_get_byte(f), content[500]);
  EXPECT_EQ(io_seek(f, -101, 1), 501);
  EXPECT_EQ(io_tell(f), 400);
  EXPECT_EQ(io_get_byte(f), content[400]);

  EXPECT_EQ(io_seek(f, 1000, 0), 401);
  EXPECT_FALSE(io_at_end(f));
  EXPECT_EQ(io_get_byte(f), -1);
  EXPECT_EQ(io_seek(f, 1001, 0), -1);
  EXPECT_TRUE(io_at_end(f));
  EXPECT_EQ(io_seek(f, -1, 0), -1);
  EXPECT_EQ(io_seek(f, 999, 0), 1000);
  EXPECT_FALSE(io_at_end(f));
  EXPECT_EQ(io_get_byte(f), content[999]);
  io_close(f);
}

TEST_F(IoFileTest, ReadModeSeeksBetweenBlocks) {
  Bytes content = pattern(100000);
  std::string p = make_file("blocks", content);
  IoFile* f = io_open(p.c_str(), IO_MODE_READ);
  ASSERT_NE(f, nullptr);
  const int offsets[] = {70000, 10, 32768, 32767, 99999, 65536, 0};
  for (int offset : offsets) {
    SCOPED_TRACE(offset);
    ASSERT_GE(io_seek(f, offset, 0), 0);
    EXPECT_EQ(io_tell(f), offset);
    EXPECT_EQ(io_get_byte(f), content[static_cast<size_t>(offset)]);
  }
  // To a length that is a whole number of blocks, then the end.
  Bytes exact = pattern(65536);
  std::string q = make_file("exact", exact);
  IoFile* g = io_open(q.c_str(), IO_MODE_READ);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(io_seek(g, 65536, 0), 0);
  EXPECT_EQ(io_get_byte(g), -1);
  EXPECT_TRUE(io_at_end(g));
  io_close(g);
  io_close(f);
}

TEST_F(IoFileTest, OpenRefusals) {
  std::string missing = path("missing");
  EXPECT_EQ(io_open(missing.c_str(), IO_MODE_READ), nullptr);
  EXPECT_EQ(io_open(missing.c_str(), IO_MODE_WRITE), nullptr);
  EXPECT_EQ(io_open(dir_.path().c_str(), IO_MODE_READ), nullptr);
  EXPECT_EQ(io_open(missing.c_str(), 2), nullptr);
  EXPECT_EQ(io_open(nullptr, IO_MODE_READ), nullptr);

  // A name the system would accept but that is longer than a path text is
  // refused rather than cut, and nothing is created.
  std::string longName = dir_.path();
  while (longName.size() < 520) longName += "/.";
  longName += "/created";
  ASSERT_GT(longName.size(), 511u);
  EXPECT_EQ(io_open(longName.c_str(), IO_MODE_CREATE), nullptr);
  EXPECT_NE(access(path("created").c_str(), F_OK), 0);
  std::string atLimit = dir_.path();
  while (atLimit.size() < 500) atLimit += "/.";
  atLimit += "/" + std::string(511 - atLimit.size() - 1, 'n');
  ASSERT_EQ(atLimit.size(), 511u);
  IoFile* f = io_open(atLimit.c_str(), IO_MODE_CREATE);
  ASSERT_NE(f, nullptr);
  io_close(f);
}

TEST_F(IoFileTest, CapacityFollowsTheMode) {
  std::string p = make_file("cap", pattern(10));
  const struct {
    int mode;
    unsigned capacity;
    unsigned flags;
  } cases[] = {
      {IO_MODE_READ, 32768, IO_READ},
      {IO_MODE_WRITE, 65536, IO_UPDATE},
      {IO_MODE_READ | IO_MODE_DIRECT, 8192, IO_READ | IO_DIRECT},
      {IO_MODE_WRITE | IO_MODE_DIRECT, 8192, IO_UPDATE | IO_DIRECT},
      {IO_MODE_CREATE | IO_MODE_DIRECT, 8192, IO_UPDATE | IO_DIRECT},
      {IO_MODE_CREATE, 65536, IO_UPDATE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    IoFile* f = io_open(p.c_str(), c.mode);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->capacity, c.capacity);
    EXPECT_EQ(f->flags, c.flags);
    EXPECT_EQ(f->pos, 0);
    io_close(f);
  }
}

TEST_F(IoFileTest, NegativeReadCountIsRefused) {
  std::string p = make_file("neg", pattern(10));
  for (int mode : {IO_MODE_READ, IO_MODE_READ | IO_MODE_DIRECT}) {
    IoFile* f = io_open(p.c_str(), mode);
    ASSERT_NE(f, nullptr);
    unsigned char guard[4] = {9, 9, 9, 9};
    EXPECT_EQ(io_read(f, guard, -5), -1);
    EXPECT_EQ(guard[0], 9);
    EXPECT_EQ(io_tell(f), 0);
    EXPECT_EQ(io_write(f, guard, -5), 0);
    io_close(f);
  }
}

TEST_F(IoFileTest, DirectModeGoesStraightToTheFile) {
  std::string p = path("direct");
  IoFile* f = io_open(p.c_str(), IO_MODE_CREATE | IO_MODE_DIRECT);
  ASSERT_NE(f, nullptr);
  Bytes content = pattern(20000);
  EXPECT_EQ(io_write(f, content.data(), 20000), 20000);
  EXPECT_EQ(io_tell(f), 20000);
  EXPECT_EQ(read_file(p).size(), 20000u);   // nothing held back
  EXPECT_EQ(io_seek(f, 100, 0), 100);        // the new position
  EXPECT_EQ(io_seek(f, 50, 1), 150);
  EXPECT_EQ(io_close(f), 0);

  f = io_open(p.c_str(), IO_MODE_READ | IO_MODE_DIRECT);
  ASSERT_NE(f, nullptr);
  Bytes got(25000);
  EXPECT_EQ(io_read(f, got.data(), 25000), 20000);
  got.resize(20000);
  EXPECT_EQ(got, content);
  EXPECT_EQ(io_read(f, got.data(), 10), 0);
  io_close(f);
}

TEST_F(IoFileTest, FailedWriteBackIsFlaggedAndStopsWriting) {
  // Every write to this device fails for lack of space.
  IoFile* f = io_open("/dev/full", IO_MODE_WRITE);
  if (!f) GTEST_SKIP() << "/dev/full not available";
  Bytes data(100, 1);
  EXPECT_EQ(io_write(f, data.data(), 100), 100);   // still only in the buffer
  EXPECT_EQ(io_flush(f), -1);
  EXPECT_TRUE(f->flags & IO_WRITE_ERROR);
  EXPECT_EQ(io_write(f, data.data(), 100), 0);
  EXPECT_EQ(io_close(f), -1);
}

TEST_F(IoFileTest, TruncateWithMinusOneChangesNothing) {
  Bytes content = pattern(300);
  std::string p = make_file("keep", content);
  IoFile* f = io_open(p.c_str(), IO_MODE_WRITE);
  ASSERT_NE(f, nullptr);
  ASSERT_GE(io_seek(f, 100, 0), 0);
  io_truncate(f, -1);
  EXPECT_EQ(io_tell(f), 100);
  EXPECT_EQ(io_close(f), 0);
  EXPECT_EQ(read_file(p), content);
}

TEST_F(IoFileTest, StandardOutputObjectWritesInOrder) {
  std::string p = path("stdout");
  fflush(stdout);
  int saved = dup(1);
  ASSERT_GE(saved, 0);
  int out = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(out, 0);
  ASSERT_EQ(dup2(out, 1), 1);
  close(out);

  ASSERT_EQ(io_stdout(), 0);
  IoFile* so = ioStandardOutput;
  ASSERT_NE(so, nullptr);
  EXPECT_EQ(io_stdout(), 0);
  EXPECT_EQ(ioStandardOutput, so);   // only one per process
  EXPECT_EQ(so->flags, IO_STANDARD | IO_SEQUENTIAL | IO_UPDATE);
  EXPECT_EQ(so->capacity, 8192u);
  EXPECT_EQ(so->length, 2000000000);

  Bytes content = pattern(20000);
  // Not a terminal here, so the console write is an ordinary buffered write.
  EXPECT_EQ(io_console_write(so, content.data(), 9000), 9000);
  for (size_t i = 9000; i < 20000; ++i) io_put_byte(so, content[i]);
  EXPECT_EQ(io_close(so), 0);   // flushes, keeps the object
  EXPECT_EQ(ioStandardOutput, so);

  fflush(stdout);
  ASSERT_EQ(dup2(saved, 1), 1);
  close(saved);
  EXPECT_EQ(read_file(p), content);
}

TEST(IoFileNull, NullIsAccepted) {
  EXPECT_EQ(io_flush(nullptr), 0);
  EXPECT_EQ(io_tell(nullptr), -1);
  EXPECT_EQ(io_close(nullptr), 0);
}

}  // namespace
