// Header layout of the own format: exact bytes of built headers, reading them
// back, the bounds every field is checked against, and the global header.
#include <gtest/gtest.h>

#include "formats/format_table.h"
#include "archive/dos_time.h"
#include "archive/test_util.h"

namespace {

class KvnFormatTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_archive_options(); }
  void TearDown() override { reset_archive_options(); }

  // Opens bytes written to a file as an own-format archive.
  ArchiveFile* open_bytes(const Bytes& content, int report = 1) {
    return open_for_reading(dir.put("a.kvn", content), Kvn, report);
  }

  // Reads the first entry header of an archive made of a global header plus `rest`.
  int read_first(const Bytes& rest, ArchiveFile** out) {
    Bytes content = global_header(GLOBAL_WIDE_WINDOW);
    append(content, rest);
    *out = open_bytes(content);
    if (*out == nullptr) return -100;
    return read_entry_header(*out);
  }

  TempDir dir{"kvx-archive"};
};

const Bytes kFirst0Header = {0xFF, 0x4B, 0x56, 0x58, 0x00, 0x1F, 0x00, 0x00, 0x05, 0x00, 0x22,
                             0x4F, 0xAB, 0x2F, 'f',  'i',  'r',  's',  't',  '0',  '.',  'h',
                             'l',  'p',  0x00, 0x00, 0x00, 0x07, 0x19, 0x00, 0x00, 0x03, 0xB6,
                             0xA2, 0xDC, 0xEF, 0xC8, 0x38, 0x8B, 0x07, 0x98};

TEST_F(KvnFormatTest, BuildsTheHelpMemberHeaderByteForByte) {
  EntryInfo entry;
  entry.flags = 0;
  entry.time = 0x224FAB2F;
  entry.name.assign_stored("first0.hlp");
  entry.unpackedSize = 1817;
  entry.packedSize = 950;
  entry.dataCrc = 0xA2DCEFC8;
  entry.host = 3;  // the writer always writes host 5
  unsigned char buffer[KVN_HEADER_CAPACITY];
  int length = build_entry_header(buffer, sizeof buffer, &entry);
  ASSERT_EQ(length, 41);
  EXPECT_EQ(Bytes(buffer, buffer + length), kFirst0Header);
}

TEST_F(KvnFormatTest, ReadsTheHelpMemberHeaderBack) {
  Bytes rest = kFirst0Header;
  append(rest, Bytes(950, 0x55));
  ArchiveFile* archive = nullptr;
  ASSERT_EQ(read_first(rest, &archive), 1);
  const EntryInfo& e = archive->entry;
  EXPECT_EQ(e.magic, 0xFF4B5658u);
  EXPECT_EQ(e.headerSize, 41);
  EXPECT_EQ(e.flags, 0);
  EXPECT_EQ(e.host, 5u);
  EXPECT_EQ(e.mode, 0777u);
  EXPECT_EQ(e.time, 0x224FAB2Fu);
  EXPECT_STREQ(e.name.name, "first0.hlp");
  EXPECT_EQ(e.nameLength, 10);
  EXPECT_EQ(e.unpackedSize, 1817u);
  EXPECT_EQ(e.packedSize, 950u);
  EXPECT_EQ(e.dataCrc, 0xA2DCEFC8u);
  EXPECT_EQ(e.methodCode, 7);
  EXPECT_EQ(archive->dataPos, 6 + 41);
  EXPECT_EQ(archive->nextPos, 6 + 41 + 950);
  EXPECT_EQ(io_tell(archive->file), 6 + 41);
  close_archive(archive);
}

TEST_F(KvnFormatTest, StoredOptionsMemberRoundTrips) {
  const std::string text = "-lru\r\n\r\n \r\n\r\n\r\n\r\n";
  EntryInfo entry;
  entry.flags = ENTRY_STORED;
  entry.time = 0x1E8994E2;
  entry.name.assign_stored("kvx.ini");
  entry.unpackedSize = 17;
  entry.packedSize = 17;
  entry.dataCrc = crc32_of(text.data(), text.size());
  EXPECT_EQ(entry.dataCrc, 0x3B06D4C5u);
  unsigned char buffer[KVN_HEADER_CAPACITY];
  int length = build_entry_header(buffer, sizeof buffer, &entry);
  ASSERT_EQ(length, 0x1C + 10);
  const Bytes start = {0xFF, 0x4B, 0x56, 0x58, 0x00, 0x1C, 0x08, 0x00, 0x05, 0x00, 0x1E, 0x89,
                       0x94, 0xE2, 'k',  'v',  'x',  '.',  'i',  'n',  'i',  0x00, 0x00, 0x00,
                       0x00, 0x11, 0x00, 0x00, 0x00, 0x11, 0x3B, 0x06, 0xD4, 0xC5};
  EXPECT_EQ(Bytes(buffer, buffer + 34), start);

  Bytes rest(buffer, buffer + length);
  append(rest, bytes_of(text));
  ArchiveFile* archive = nullptr;
  ASSERT_EQ(read_first(rest, &archive), 1);
  EXPECT_STREQ(archive->entry.name.name, "kvx.ini");
  EXPECT_EQ(archive->entry.flags, ENTRY_STORED);
  EXPECT_EQ(archive->entry.methodCode, 0);
  EXPECT_EQ(archive->entry.time, 0x1E8994E2u);
  EXPECT_EQ(archive->entry.dataCrc, 0x3B06D4C5u);
  close_archive(archive);
}

TEST_F(KvnFormatTest, BuilderSetsPieceFlagClearsExtensionAndWritesComment) {
  EntryInfo entry;
  entry.flags = ENTRY_EXTENSION | ENTRY_COMMENT | ENTRY_TEXT;
  entry.name.assign_stored("dir/notes.txt");
  entry.pieceOffset = 0x10000;
  strcpy(entry.commentText, "a note");
  entry.commentLength = 6;
  unsigned char buffer[KVN_HEADER_CAPACITY];
  int length = build_entry_header(buffer, sizeof buffer, &entry);
  EXPECT_EQ(entry.flags, ENTRY_PIECE | ENTRY_COMMENT | ENTRY_TEXT);
  ASSERT_EQ(length, 10 + 8 + 14 + 4 + 12 + 2 + 6);

  ArchiveFile* archive = nullptr;
  ASSERT_EQ(read_first(Bytes(buffer, buffer + length), &archive), 1);
  EXPECT_EQ(archive->entry.pieceOffset, 0x10000u);
  EXPECT_STREQ(archive->entry.commentText, "a note");
  EXPECT_EQ(archive->entry.commentLength, 6);
  char stored[PATH_MAX_TEXT];
  archive->entry.name.stored_name(stored);
  EXPECT_STREQ(stored, "dir/notes.txt");
  EXPECT_EQ(transfer.textMode, 1);  // the text flag governs the next extraction
  close_archive(archive);

  archiveSettings.ignoreTextFlags = 1;
  ASSERT_EQ(read_first(Bytes(buffer, buffer + length), &archive), 1);
  EXPECT_EQ(transfer.textMode, 0);
  close_archive(archive);
}

// Members of Unix hosts carry the Unix block after the comment: mode, time,
// user and group; the attribute byte says read-only and directory. The
// block's time holds unsigned seconds, so times outside it are held at its ends.
TEST_F(KvnFormatTest, UnixMembersCarryTheUnixBlock) {
  struct Row {
    const char* what;
    uint32_t mode;
    int64_t mtime;
    uint32_t blockTime;
    uint8_t attribute;
  } rows[] = {
      {"script in 2100", 0100755, 4102444800, 4102444800u, 0x00},
      {"read-only file", 0100444, 1700000001, 1700000001u, 0x01},
      {"private directory", 040700, 0, 0, 0x10},
      {"before 1970", 0100600, -86400, 0, 0x00},
      {"after 2106", 0100600, int64_t(1) << 33, 0xFFFFFFFFu, 0x00},
  };
  for (const Row& row : rows) {
    EntryInfo entry;
    entry.host = 1;
    entry.flags = ENTRY_COMMENT;
    entry.name.assign_stored("bin/run");
    strcpy(entry.commentText, "hi");
    entry.commentLength = 2;
    entry.mode = row.mode;
    entry.mtime = row.mtime;
    entry.uid = 1000;
    entry.gid = 0x12345678;
    unsigned char buffer[KVN_HEADER_CAPACITY];
    int length = build_entry_header(buffer, sizeof buffer, &entry);
    ASSERT_EQ(length, 10 + 8 + 8 + 12 + 2 + 2 + 2 + 16) << row.what;
    EXPECT_EQ(entry.flags, ENTRY_COMMENT | ENTRY_EXTENSION) << row.what;
    EXPECT_EQ(buffer[8], 1) << row.what;
    EXPECT_EQ(buffer[9], row.attribute) << row.what;
    Bytes block;
    append_be16(block, 16);
    append_be32(block, row.mode);
    append_be32(block, row.blockTime);
    append_be32(block, 1000);
    append_be32(block, 0x12345678);
    EXPECT_EQ(Bytes(buffer + length - 4 - 18, buffer + length - 4), block) << row.what;

    ArchiveFile* archive = nullptr;
    ASSERT_EQ(read_first(Bytes(buffer, buffer + length), &archive), 1) << row.what;
    const EntryInfo& e = archive->entry;
    EXPECT_EQ(e.host, 1u);
    EXPECT_EQ(e.mode, row.mode) << row.what;
    EXPECT_EQ(e.mtime, int64_t(row.blockTime)) << row.what;
    EXPECT_EQ(e.uid, 1000u);
    EXPECT_EQ(e.gid, 0x12345678u);
    EXPECT_STREQ(e.commentText, "hi");
    close_archive(archive);
  }
}

// An entry header around an arbitrary body, with a correct header CRC.
Bytes header_around(const Bytes& body) {
  Bytes out = {0xFF, 0x4B, 0x56, 0x58};
  append_be16(out, uint32_t(body.size()));
  append(out, body);
  append_be32(out, crc32_of(body.data(), body.size()));
  return out;
}

// A body with the fixed fields, a name and optional trailing bytes.
Bytes body_with(uint16_t flags, uint8_t host, const std::string& name, const Bytes& tail = Bytes(),
                uint8_t attribute = 0) {
  Bytes body;
  append_be16(body, flags);
  body.push_back(host);
  body.push_back(attribute);
  append_be32(body, 0x224FAB2F);
  append(body, bytes_of(name));
  body.push_back(0);
  append_be32(body, 5);  // unpacked
  append_be32(body, 0);  // packed
  append_be32(body, 0);  // data CRC
  append(body, tail);
  return body;
}

TEST_F(KvnFormatTest, BodyLengthLimitIs1023) {
  Bytes body = body_with(0, 5, "pad");
  body.resize(1023, 0);  // padding after the fixed fields is allowed
  ArchiveFile* archive = nullptr;
  EXPECT_EQ(read_first(header_around(body), &archive), 1);
  EXPECT_EQ(archive->entry.headerSize, 1033);
  close_archive(archive);
  body.resize(1024, 0);
  EXPECT_EQ(read_first(header_around(body), &archive), -1);
  close_archive(archive);
}

TEST_F(KvnFormatTest, NameLimitIs254Characters) {
  ArchiveFile* archive = nullptr;
  EXPECT_EQ(read_first(header_around(body_with(0, 5, std::string(254, 'n'))), &archive), 1);
  EXPECT_EQ(archive->entry.nameLength, 254);
  close_archive(archive);
  EXPECT_LT(read_first(header_around(body_with(0, 5, std::string(255, 'n'))), &archive), 0);
  close_archive(archive);

  // The writer refuses a header the reader would refuse.
  EntryInfo entry;
  entry.name.assign_stored(std::string(255, 'n').c_str());
  unsigned char buffer[KVN_HEADER_CAPACITY];
  EXPECT_EQ(build_entry_header(buffer, sizeof buffer, &entry), -1);
  entry.name.assign_stored(std::string(254, 'n').c_str());
  EXPECT_EQ(build_entry_header(buffer, sizeof buffer, &entry), 10 + 8 + 255 + 12);
}

TEST_F(KvnFormatTest, DamagedEntryHeadersGiveTheirCodes) {
  Bytes good = header_around(body_with(ENTRY_COMMENT, 5, "x.txt", {0x00, 0x02, 'h', 'i'}));
  Bytes badCrc = good;
  badCrc[12] ^= 0x01;  // a byte of the time stamp
  Bytes badMagic = good;
  badMagic[3] = 0x59;
  Bytes cut(good.begin(), good.begin() + 20);
  Bytes pastEnd = good;
  pastEnd[6 + 8 + 6 + 7] = 0x10;  // packed size 16 with nothing after the header
  pastEnd = header_around(Bytes(pastEnd.begin() + 6, pastEnd.end() - 4));
  Bytes hidden = {0x00, 0x00};
  append(hidden, good);

  struct Row {
    const char* what;
    Bytes rest;
    int expected;
  } rows[] = {
      {"intact", good, 1},
      {"end of file without the terminator", Bytes(), -6},
      {"one byte where the terminator belongs", {0x00}, -6},
      {"terminator only", {0x00, 0x00}, 0},
      {"terminator before a member", hidden, -1},
      {"data past the end of the file", pastEnd, -5},
      {"wrong magic", badMagic, -1},
      {"header CRC changed", badCrc, -4},
      {"body cut short", cut, -2},
      {"no CRC after the body", Bytes(good.begin(), good.end() - 3), -4},
      {"body shorter than the fixed fields", header_around({0x00, 0x00, 0x05, 0x00, 0x01}), -3},
      {"name without zero", header_around(Bytes(40, 'a')), -3},
      {"sizes past the body", header_around({0, 0, 5, 0, 1, 2, 3, 4, 'n', 0, 1, 2, 3}), -3},
      {"piece offset past the body", header_around(body_with(ENTRY_PIECE, 5, "p")), -3},
      {"comment length missing", header_around(body_with(ENTRY_COMMENT, 5, "c")), -3},
      {"comment past the body", header_around(body_with(ENTRY_COMMENT, 5, "c", {0x00, 0x05, 'a'})), -3},
      {"comment of 256 bytes",
       header_around(body_with(ENTRY_COMMENT_ALT, 5, "c",
                               [] {
                                 Bytes t = {0x01, 0x00};
                                 t.resize(2 + 256, 'z');
                                 return t;
                               }())),
       -3},
      {"extension past the body", header_around(body_with(ENTRY_EXTENSION, 1, "e", {0x00, 0x20, 1, 2})), -3},
      {"extension length missing", header_around(body_with(ENTRY_EXTENSION, 4, "e")), -3},
      {"extension on host 0 is not read", header_around(body_with(ENTRY_EXTENSION, 0, "e")), 1},
  };
  for (const Row& row : rows) {
    ArchiveFile* archive = nullptr;
    EXPECT_EQ(read_first(row.rest, &archive), row.expected) << row.what;
    close_archive(archive);
  }
}

TEST_F(KvnFormatTest, UnixBlockAndLongNameExtensions) {
  Bytes unixBlock = {0x00, 0x15};  // 16 bytes of numbers and a 5-byte link target
  append_be32(unixBlock, 0100644);
  append_be32(unixBlock, 856059930);
  append_be32(unixBlock, 1000);
  append_be32(unixBlock, 100);
  append(unixBlock, bytes_of("there"));
  ArchiveFile* archive = nullptr;
  ASSERT_EQ(read_first(header_around(body_with(ENTRY_EXTENSION, 1, "link", unixBlock)), &archive), 1);
  EXPECT_EQ(archive->entry.mode, 0100644u);
  EXPECT_EQ(archive->entry.mtime, 856059930u);
  EXPECT_EQ(archive->entry.uid, 1000u);
  EXPECT_EQ(archive->entry.gid, 100u);
  EXPECT_STREQ(archive->entry.linkTarget, "there");
  close_archive(archive);

  Bytes shortBlock = {0x00, 0x08, 0, 0, 0x01, 0xA4, 0, 0, 0, 1};  // too short for the numbers
  ASSERT_EQ(read_first(header_around(body_with(ENTRY_EXTENSION, 4, "q", shortBlock)), &archive), 1);
  EXPECT_EQ(archive->entry.mode, 0u);
  EXPECT_STREQ(archive->entry.linkTarget, "");
  close_archive(archive);

  Bytes longName = {0x00, 0x0E};
  append(longName, bytes_of("A Long Name.tx"));
  ASSERT_EQ(read_first(header_around(body_with(ENTRY_EXTENSION, 5, "ALONGN~1.TX", longName, 1)), &archive),
            1);
  EXPECT_STREQ(archive->entry.name.name, "A Long Name.tx");
  EXPECT_STREQ(archive->entry.linkTarget, "");
  EXPECT_EQ(archive->entry.mode, 0444u);  // read-only attribute
  close_archive(archive);

  Bytes hugeName = {0x02, 0x00};
  hugeName.resize(2 + 512, 'L');
  EXPECT_EQ(read_first(header_around(body_with(ENTRY_EXTENSION, 3, "short", hugeName)), &archive), -3);
  close_archive(archive);
}

TEST_F(KvnFormatTest, ReservedFeatureLists) {
  EXPECT_EQ(reserved_global_features(GLOBAL_WIDE_WINDOW | GLOBAL_BLOCKED | GLOBAL_COMMENT), nullptr);
  codecSettings.narrowWindow = 1;
  EXPECT_STREQ(reserved_global_features(GLOBAL_WIDE_WINDOW | 0x0400), "64K buffer, res");
  EXPECT_STREQ(reserved_global_features(0x003E), "learn, block conv. key, block public key, dir-block");
  codecSettings.narrowWindow = 0;
  EXPECT_STREQ(reserved_global_features(GLOBAL_WIDE_WINDOW | 0x8000), "res");
  EXPECT_EQ(reserved_local_features(ENTRY_TEXT | ENTRY_STORED | ENTRY_HIGH | ENTRY_FIVE | ENTRY_G), nullptr);
  EXPECT_STREQ(reserved_local_features(0x2516),
               "local tailer, conv. key, public key, version block, owner dir block, learn_dict");
}

TEST_F(KvnFormatTest, GlobalMagicDetection) {
  const unsigned char atEnd[] = {0, 0, 0xFF, 0x4B, 0x56, 0x47};
  EXPECT_EQ(find_global_magic(atEnd, 6), -1);  // ends exactly at the end of the buffer
  const unsigned char withRoom[] = {0, 0xFF, 0x4B, 0x56, 0x47, 0};
  EXPECT_EQ(find_global_magic(withRoom, 6), 0);
  EXPECT_EQ(find_global_magic(withRoom, 0), -1);
}

TEST_F(KvnFormatTest, GlobalHeaderIsFoundAfterAPrefixEndingInFF) {
  Bytes content = {'M', 'Z', 0xFF, 0xFF, 0x4B, 0xFF};
  append(content, global_header(GLOBAL_WIDE_WINDOW | GLOBAL_COMMENT, "hello"));
  append(content, stored_member("a.txt", "alpha"));
  ArchiveFile* archive = open_bytes(content);
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(archive->prefixLength, 6);
  EXPECT_EQ(archive->globalFlags, GLOBAL_WIDE_WINDOW | GLOBAL_COMMENT);
  ASSERT_NE(archive->comment, nullptr);
  EXPECT_STREQ(archive->comment, "hello");
  EXPECT_EQ(next_entry(archive), 1);
  EXPECT_STREQ(archive->entry.name.name, "a.txt");
  close_archive(archive);
}

TEST_F(KvnFormatTest, GlobalMagicMustStartWithin131072Bytes) {
  ConsoleCapture console;
  Bytes content(0x1FFFF, 'p');
  append(content, global_header(GLOBAL_WIDE_WINDOW));
  ArchiveFile* archive = open_bytes(content);
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(archive->prefixLength, 0x1FFFF);
  close_archive(archive);

  content.insert(content.begin(), 'p');
  EXPECT_EQ(open_bytes(content), nullptr);
  EXPECT_EQ(console.errors(), 1);
  EXPECT_NE(console.error_text().find("a.kvn: is not archive or bad format"), std::string::npos);
}

TEST_F(KvnFormatTest, CommentLongerThanTheFileIsRefused) {
  ConsoleCapture console;
  Bytes content = global_header(GLOBAL_COMMENT_ALT, "x");
  content[9] = 0x7F;  // comment length 0x0000007F, far past the end
  EXPECT_EQ(open_bytes(content), nullptr);
  content = global_header(GLOBAL_COMMENT_ALT);
  content.resize(8);  // the length itself is cut
  EXPECT_EQ(open_bytes(content), nullptr);
  EXPECT_EQ(console.errors(), 2);
}

TEST_F(KvnFormatTest, NarrowWindowRefusesArchivesWrittenWithTheWideOne) {
  Bytes content = simple_archive({{"a", "1"}});
  ConsoleCapture console;
  codecSettings.narrowWindow = 1;
  EXPECT_EQ(open_bytes(content), nullptr);
  EXPECT_NE(console.error_text().find("used reserved fields in global header :64K buffer\n"),
            std::string::npos);
  EXPECT_EQ(console.errors(), 2);  // the reserved fields, then "not archive"
  codecSettings.narrowWindow = 0;
  ArchiveFile* archive = open_bytes(content);
  EXPECT_NE(archive, nullptr);
  close_archive(archive);
}

TEST_F(KvnFormatTest, WrittenGlobalHeaderCarriesFlagsAndComment) {
  struct Row {
    int narrow, volume, block;
    const char* comment;
    Bytes expected;
  } rows[] = {
      {0, 0, 0, nullptr, {0xFF, 0x4B, 0x56, 0x47, 0x00, 0x80}},
      {1, 0, 0, "", {0xFF, 0x4B, 0x56, 0x47, 0x00, 0x00}},
      {0, 1000, 1, nullptr, {0xFF, 0x4B, 0x56, 0x47, 0x00, 0xC1}},
      {0, 0, 0, "hi", {0xFF, 0x4B, 0x56, 0x47, 0x01, 0x80, 0, 0, 0, 3, 'h', 'i', 0}},
  };
  for (const Row& row : rows) {
    codecSettings.narrowWindow = row.narrow;
    archiveSettings.multivolume = row.volume != 0;
    unlink(dir.file("w.kvn").c_str());
    ArchiveFile* archive = open_archive(PathName(dir.file("w.kvn").c_str()), 0, Kvn, 1, 0);
    ASSERT_NE(archive, nullptr);
    write_global_header(archive, row.comment, row.block);
    close_archive(archive);
    EXPECT_EQ(read_file(dir.file("w.kvn")), row.expected);
  }
}

TEST_F(KvnFormatTest, FillEntryFromFile) {
  FileStatus status = {};
  status.mode = 0100640;
  status.size = 1817;
  status.mtime = 856059931;
  status.uid = 7;
  status.gid = 8;
  EntryInfo entry;
  entry.flags = ENTRY_STORED;
  entry.packedSize = 99;
  fill_entry_from_file("docs/a.txt", status, &entry);
  EXPECT_EQ(entry.flags, 0);
  EXPECT_EQ(entry.packedSize, 0u);
  EXPECT_EQ(entry.magic, 0xFF4B5658u);
  EXPECT_EQ(entry.unpackedSize, 1817u);
  EXPECT_EQ(entry.time, pack_dos_time(856059931));
  EXPECT_EQ(entry.mtime, 856059931);
  EXPECT_EQ(entry.host, 1u);
  EXPECT_EQ(entry.mode, 0100640u);
  EXPECT_EQ(entry.uid, 7u);
  EXPECT_EQ(entry.gid, 8u);
  EXPECT_EQ(entry.nameLength, 10);
  char stored[PATH_MAX_TEXT];
  entry.name.stored_name(stored);
  EXPECT_STREQ(stored, "docs/a.txt");
}

}  // namespace
