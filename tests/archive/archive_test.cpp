// The archive handle: opening and format dispatch, the member walk with its
// resynchronising search, beginning an output archive, and damaged input.
#include <gtest/gtest.h>

#include <random>

#include "formats/format_table.h"
#include "archive/test_util.h"
#include "driver/replace.h"

namespace {

class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_archive_options(); }
  std::string put(const std::string& name, const Bytes& content) { return dir.put(name, content); }
  TempDir dir{"kvx-archive"};
};

// Every header of a walk, with the stream positions the handle recorded.
struct Visit {
  std::string name;
  int64_t headerPos;
  int64_t dataPos;
};

std::vector<Visit> walk(ArchiveFile* archive) {
  std::vector<Visit> visits;
  while (next_entry(archive) == 1) {
    visits.push_back({archive->entry.name.name, archive->headerPos, archive->dataPos});
    skip_entry(archive);
  }
  return visits;
}

std::vector<std::string> names_of(const std::vector<Visit>& visits) {
  std::vector<std::string> names;
  for (const Visit& v : visits) names.push_back(v.name);
  return names;
}

TEST_F(ArchiveTest, OpenFailuresAreReportedAsTheTableSays) {
  ConsoleCapture console;
  EXPECT_EQ(open_for_reading(dir.file("missing.kvn"), Kvn, 0), nullptr);
  EXPECT_EQ(console.errors(), 0);
  EXPECT_EQ(open_for_reading(dir.file("missing.kvn"), Kvn, 1), nullptr);
  EXPECT_NE(console.error_text().find("missing.kvn: archive does not found"), std::string::npos);
  EXPECT_EQ(open_archive(PathName(dir.file("no/such/dir.kvn").c_str()), 0, Kvn, 1, 0), nullptr);
  EXPECT_NE(console.error_text().find("dir.kvn: cannot create archive"), std::string::npos);
  std::string plain = put("plain.txt", bytes_of("just some text\n"));
  EXPECT_EQ(open_for_reading(plain, Kvn, 0), nullptr);  // refused whatever the report flag
  EXPECT_NE(console.error_text().find("plain.txt: is not archive or bad format"), std::string::npos);
  EXPECT_EQ(open_archive(PathName(plain.c_str()), 2, Kvn, 1, 0), nullptr);  // unknown mode: silent
  EXPECT_EQ(console.errors(), 3);
}

TEST_F(ArchiveTest, OpenForReadingSetsTheRecord) {
  std::string path = put("a.kvn", simple_archive({{"a.txt", "alpha"}}));
  transfer.checkUpdate = sum16_update;
  ArchiveFile* archive = open_for_reading(path);
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(archive->state, ARCHIVE_STATE_READ);
  EXPECT_EQ(archive->volumeBudget, -1);
  EXPECT_EQ(archive->failures, 0u);
  EXPECT_EQ(archive->kind, Kvn);
  EXPECT_EQ(transfer.checkUpdate, crc32_update);  // the newest archive's check becomes current
  ASSERT_NE(archive->path, nullptr);
  EXPECT_STREQ(archive->path->name, "a.kvn");
  EXPECT_EQ(archive->globalFlags, GLOBAL_WIDE_WINDOW);
  EXPECT_EQ(close_archive(archive), nullptr);
  EXPECT_EQ(close_archive(nullptr), nullptr);
}

TEST_F(ArchiveTest, DetectFindsTheOwnFormatByContent) {
  Bytes content(5000, 'x');  // a self-extracting program in front
  append(content, simple_archive({{"a.txt", "alpha"}, {"b.txt", "beta"}}));
  ArchiveFile* archive = open_for_reading(put("sfx.bin", content), Detect);
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(archive->kind, Kvn);
  EXPECT_EQ(archive->prefixLength, 5000);
  EXPECT_EQ(walk_names(archive), (std::vector<std::string>{"a.txt", "b.txt"}));
  close_archive(archive);

  ConsoleCapture console;
  EXPECT_EQ(open_for_reading(put("other.bin", Bytes(100, 'q')), Detect), nullptr);
  EXPECT_EQ(console.errors(), 1);
  EXPECT_EQ(open_for_reading(put("empty.bin", Bytes()), Detect), nullptr);
  EXPECT_EQ(console.errors(), 2);
}

TEST_F(ArchiveTest, ReadingStartsAtTheStartOffset) {
  Bytes content = simple_archive({{"early", "e"}});
  content.resize(3000, 'x');
  append(content, simple_archive({{"late", "l"}}));
  std::string path = put("prog.bin", content);
  ArchiveFile* archive = open_archive(PathName(path.c_str()), 1, Kvn, 1, 1000);
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(archive->prefixLength, 2000);  // counted from the start offset
  EXPECT_EQ(walk_names(archive), (std::vector<std::string>{"late"}));
  close_archive(archive);

  ConsoleCapture console;
  EXPECT_EQ(open_archive(PathName(path.c_str()), 1, Kvn, 1, 3100), nullptr);   // nothing after it
  EXPECT_EQ(open_archive(PathName(path.c_str()), 1, Kvn, 1, 55000), nullptr);  // past the end
  EXPECT_EQ(console.errors(), 2);
}

TEST_F(ArchiveTest, KindsWithoutAnyReaderAreFatal) {
  std::string path = put("a.kvn", simple_archive({{"a.txt", "alpha"}}));
  EXPECT_EXIT(open_for_reading(path, Lzh), ::testing::ExitedWithCode(1), "bad select archiver");
  EXPECT_EXIT(open_for_reading(path, Kv2), ::testing::ExitedWithCode(1), "bad select archiver");
}

TEST_F(ArchiveTest, WritingIntoForeignFormatsIsFatal) {
  platformSettings.language = 1;
  select_catalog();
  EntryInfo entry;
  unsigned char buffer[16];
  EXPECT_EXIT(refuse_build_header(buffer, 16, &entry), ::testing::ExitedWithCode(1),
              "only kvx or kvn archives are allowed to modify");
  EXPECT_EXIT(refuse_write_global(nullptr, nullptr, 0), ::testing::ExitedWithCode(1),
              "only kvx or kvn archives are allowed to modify");
}

TEST_F(ArchiveTest, WalkRecordsPositionsAndRewindFindsTheHeader) {
  Bytes a = stored_member("a.txt", "alpha");
  Bytes b = stored_member("b.txt", "beta!");
  Bytes content = global_header(GLOBAL_WIDE_WINDOW);
  append(content, a);
  append(content, b);
  append(content, {0, 0});
  ArchiveFile* archive = open_for_reading(put("a.kvn", content));
  ASSERT_NE(archive, nullptr);
  ASSERT_EQ(next_entry(archive), 1);
  EXPECT_EQ(archive->headerPos, 6);
  // Without skip_entry the stream stands at a's data; the search finds b anyway.
  ASSERT_EQ(next_entry(archive), 1);
  EXPECT_STREQ(archive->entry.name.name, "b.txt");
  close_archive(archive);

  archive = open_for_reading(put("a.kvn", content));
  std::vector<Visit> visits = walk(archive);
  ASSERT_EQ(visits.size(), 2u);
  EXPECT_EQ(visits[1].headerPos, int32_t(6 + a.size()));
  EXPECT_EQ(visits[1].dataPos, int32_t(6 + a.size() + b.size() - 5));
  close_archive(archive);

  // Back to the second header and read it with its data unchanged.
  archive = open_for_reading(put("a.kvn", content));
  ASSERT_EQ(next_entry(archive), 1);
  skip_entry(archive);
  ASSERT_EQ(next_entry(archive), 1);
  unsigned char peek[2];
  io_read(archive->file, peek, 2);
  rewind_entry(archive);
  Bytes copied(b.size());
  EXPECT_EQ(io_read(archive->file, copied.data(), int(copied.size())), int(copied.size()));
  EXPECT_EQ(copied, b);
  close_archive(archive);
}

TEST_F(ArchiveTest, DamagedHeaderInTheMiddleIsReportedOnceAndTheWalkGoesOn) {
  Bytes a = stored_member("a.txt", "alpha");
  Bytes b = stored_member("b.txt", "beta");
  Bytes c = stored_member("c.txt", "gamma");
  struct Row {
    const char* what;
    size_t offset;  // byte of b's header to change
    unsigned char value;
    const char* message;
  } rows[] = {
      {"header CRC error", 14, 'x', "header CRC error"},
      {"body length past the end", 4, 0x03, "bad header format"},
  };
  for (const Row& row : rows) {
    Bytes damaged = b;
    damaged[row.offset] = row.value;
    Bytes content = global_header(GLOBAL_WIDE_WINDOW);
    append(content, a);
    append(content, damaged);
    append(content, c);
    append(content, {0, 0});
    ConsoleCapture console;
    ArchiveFile* archive = open_for_reading(put("d.kvn", content));
    ASSERT_NE(archive, nullptr) << row.what;
    EXPECT_EQ(names_of(walk(archive)), (std::vector<std::string>{"a.txt", "c.txt"})) << row.what;
    EXPECT_EQ(console.errors(), 1) << row.what;
    EXPECT_NE(console.error_text().find(row.message), std::string::npos) << row.what;
    close_archive(archive);
  }
}

TEST_F(ArchiveTest, IntactHeaderWithFieldsOutOfBoundsIsReportedAsBadFormat) {
  Bytes body = {0, 0, 5, 0, 0x22, 0x4F, 0xAB, 0x2F};
  body.resize(8 + 300, 'n');  // a name of 300 bytes with no room for its zero
  Bytes bad = {0xFF, 0x4B, 0x56, 0x58};
  append_be16(bad, uint32_t(body.size()));
  append(bad, body);
  append_be32(bad, crc32_of(body.data(), body.size()));
  Bytes content = global_header(GLOBAL_WIDE_WINDOW);
  append(content, stored_member("a.txt", "alpha"));
  append(content, bad);
  append(content, stored_member("c.txt", "gamma"));
  append(content, {0, 0});
  ConsoleCapture console;
  ArchiveFile* archive = open_for_reading(put("d.kvn", content));
  EXPECT_EQ(names_of(walk(archive)), (std::vector<std::string>{"a.txt", "c.txt"}));
  EXPECT_EQ(console.errors(), 1);
  EXPECT_NE(console.error_text().find("bad header format"), std::string::npos);
  close_archive(archive);
}

TEST_F(ArchiveTest, JunkBetweenMembersIsReportedWithItsPlaceAndTheWalkGoesOn) {
  struct Row {
    const char* what;
    Bytes junk;
  } rows[] = {
      {"one byte", {0x13}},
      {"FF before the magic", {0x13, 0xFF}},
      {"two FF", {0xFF, 0xFF}},
      {"partial magics", {0xFF, 0x4B, 0xFF, 0x4B, 0x56, 0x13, 0xFF, 0x4B, 0x56}},
      {"a terminator", {0x00, 0x00}},
  };
  for (const Row& row : rows) {
    Bytes content = global_header(GLOBAL_WIDE_WINDOW);
    append(content, stored_member("a.txt", "alpha"));
    append(content, row.junk);
    append(content, stored_member("b.txt", "beta"));
    append(content, {0, 0});
    ConsoleCapture console;
    ArchiveFile* archive = open_for_reading(put("j.kvn", content));
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(names_of(walk(archive)), (std::vector<std::string>{"a.txt", "b.txt"})) << row.what;
    EXPECT_EQ(console.errors(), 1) << row.what;
    const std::string expected = "j.kvn: bad header format at offset " +
                                 std::to_string(global_header(GLOBAL_WIDE_WINDOW).size() +
                                                stored_member("a.txt", "alpha").size()) +
                                 ", " + std::to_string(row.junk.size()) + " bytes skipped";
    EXPECT_NE(console.error_text().find(expected), std::string::npos) << row.what << console.error_text();
    close_archive(archive);
  }
}

TEST_F(ArchiveTest, ForEachEntryVisitsEveryMemberEvenWhenTheVisitorReadsData) {
  std::string path = put("a.kvn", simple_archive({{"a", "1111"}, {"b", "22"}, {"c", ""}}));
  ArchiveFile* archive = open_for_reading(path);
  std::vector<std::string> seen;
  struct Context {
    std::vector<std::string>* seen;
  } context{&seen};
  for_each_entry(
      archive,
      [](ArchiveFile* a, PathName& name, void* ctx) {
        unsigned char sink[8];
        io_read(a->file, sink, 3);  // reading some data must not disturb the walk
        static_cast<Context*>(ctx)->seen->push_back(name.name);
      },
      &context);
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(next_entry(archive), 0);
  close_archive(archive);
}

TEST_F(ArchiveTest, MemberOperationsNeedAnOpenArchive) {
  EXPECT_EQ(next_entry(nullptr), 0);
  ArchiveFile* archive = open_for_reading(put("a.kvn", simple_archive({{"a", "1"}})));
  archive->state &= ~ARCHIVE_OPEN;
  EXPECT_EQ(next_entry(archive), 0);
  skip_entry(archive);
  rewind_entry(archive);
  close_archive(archive);
  EXPECT_EQ(failure_count(nullptr), 1u);
  note_failure(nullptr);
}

TEST_F(ArchiveTest, StoredMembersExtractWithTheirCrc) {
  ArchiveFile* archive =
      open_for_reading(put("a.kvn", simple_archive({{"a.txt", "alpha"}, {"b.txt", "beta"}})));
  ASSERT_NE(archive, nullptr);
  ASSERT_NE(archive->extract, nullptr);
  int members = 0;
  while (next_entry(archive) == 1) {
    EXPECT_EQ(archive->extract(archive, nullptr, nullptr, nullptr), archive->entry.dataCrc);
    skip_entry(archive);
    members++;
  }
  EXPECT_EQ(members, 2);
  close_archive(archive);
}

TEST_F(ArchiveTest, PrintArchiveComment) {
  std::string path = put("c.kvn", [] {
    Bytes content = global_header(GLOBAL_WIDE_WINDOW | GLOBAL_COMMENT, "about this archive");
    append(content, {0, 0});
    return content;
  }());
  ConsoleCapture console;
  ArchiveFile* archive = open_for_reading(path);
  print_archive_comment(archive);
  print_archive_comment(nullptr);
  EXPECT_EQ(console.message_text_out(), " -\nabout this archive");
  EXPECT_EQ(next_entry(archive), 0);
  close_archive(archive);
}

// Copies every member of old into a new archive the way the commands do.
void rewrite(ArchiveFile* old, const std::string& target, int blockMode) {
  ArchiveFile* out = open_archive(PathName(target.c_str()), 0, Kvn, 1, 0);
  ASSERT_NE(out, nullptr);
  begin_output(out, old, blockMode);
  while (next_entry(old) == 1) {
    rewind_entry(old);
    copy_bytes(old->file, out->file, old->entry.headerSize + int32_t(old->entry.packedSize));
    skip_entry(old);
  }
  io_write(out->file, "\0\0", 2);
  close_archive(out);
}

TEST_F(ArchiveTest, RewritingKeepsAPrefixAndTheComment) {
  Bytes prefix(20000);
  for (size_t i = 0; i < prefix.size(); i++) prefix[i] = uint8_t(i * 13 % 251);  // no 0xFF
  Bytes content = prefix;
  append(content, global_header(GLOBAL_WIDE_WINDOW | GLOBAL_COMMENT, "kept"));
  append(content, stored_member("a.txt", "alpha"));
  append(content, stored_member("b.txt", "beta"));
  append(content, {0, 0});
  ArchiveFile* old = open_for_reading(put("old.kvn", content));
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->prefixLength, 20000);
  rewrite(old, dir.file("new.kvn"), 1);
  close_archive(old);

  Bytes written = read_file(dir.file("new.kvn"));
  ASSERT_GT(written.size(), 20000u);
  EXPECT_EQ(Bytes(written.begin(), written.begin() + 20000), prefix);
  Bytes expected = content;
  expected[20000 + 5] |= GLOBAL_BLOCKED;  // the block-mode flag of the new header
  EXPECT_EQ(written, expected);

  ArchiveFile* again = open_for_reading(dir.file("new.kvn"));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->prefixLength, 20000);
  EXPECT_STREQ(again->comment, "kept");
  EXPECT_EQ(walk_names(again), (std::vector<std::string>{"a.txt", "b.txt"}));
  close_archive(again);
}

TEST_F(ArchiveTest, BeginOutputWithoutOldArchiveWritesAPlainHeader) {
  ArchiveFile* out = open_archive(PathName(dir.file("n.kvn").c_str()), 0, Kvn, 1, 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->state, ARCHIVE_STATE_WRITE);
  EXPECT_EQ(failure_count(out), 0u);
  note_failure(out);
  EXPECT_EQ(failure_count(out), 1u);
  begin_output(out, nullptr, 0);
  EXPECT_EQ(out->prefixLength, 0);
  close_archive(out);
  EXPECT_EQ(read_file(dir.file("n.kvn")), global_header(GLOBAL_WIDE_WINDOW));
}

TEST_F(ArchiveTest, BeginOutputLetsTheUserEditTheComment) {
  Bytes content = global_header(GLOBAL_WIDE_WINDOW | GLOBAL_COMMENT, "old words");
  append(content, {0, 0});
  struct Row {
    const char* what;
    bool withOld;
    const char* typed;
    Bytes expected;
  } rows[] = {
      {"typed over the old comment", true, "new words\n\n", global_header(0x0180, "new words\n")},
      {"nothing typed keeps the old comment", true, "\n", global_header(0x0180, "old words")},
      {"typed for a fresh archive", false, "fresh\n\n", global_header(0x0180, "fresh\n")},
      {"nothing typed for a fresh archive", false, "", global_header(0x0080)},
  };
  for (const Row& row : rows) {
    ArchiveFile* old = row.withOld ? open_for_reading(put("old.kvn", content)) : nullptr;
    unlink(dir.file("new.kvn").c_str());  // new archives are created anew, never over a file
    ArchiveFile* out = open_archive(PathName(dir.file("new.kvn").c_str()), 0, Kvn, 1, 0);
    ASSERT_NE(out, nullptr) << row.what;
    FILE* typed = tmpfile();
    fputs(row.typed, typed);
    rewind(typed);
    ConsoleCapture console;
    console_use_streams(nullptr, nullptr, typed);
    options.editArchiveComment = 1;
    begin_output(out, old, 0);
    options.editArchiveComment = 0;
    console_use_streams(nullptr, nullptr, stdin);
    fclose(typed);
    close_archive(out);
    close_archive(old);
    EXPECT_EQ(read_file(dir.file("new.kvn")), row.expected) << row.what;
  }
}

// Damaged archives: each must open or be refused, and a walk must end,
// without reading out of bounds (checked under the sanitizer build).
TEST_F(ArchiveTest, DamagedArchivesNeverCrash) {
  Bytes good = global_header(GLOBAL_WIDE_WINDOW | GLOBAL_COMMENT, "c");
  append(good, stored_member("a.txt", "alpha"));
  append(good, stored_member("b.txt", "beta"));
  append(good, stored_header("big", Bytes(10, 'z'), ENTRY_STORED | ENTRY_COMMENT));
  append(good, Bytes(10, 'z'));
  append(good, {0, 0});

  std::vector<std::pair<std::string, Bytes>> rows;
  rows.push_back({"empty file", Bytes()});
  rows.push_back({"global magic only", {0xFF, 0x4B, 0x56, 0x47}});
  rows.push_back({"entry magic only", {0xFF, 0x4B, 0x56, 0x47, 0x00, 0x80, 0xFF, 0x4B, 0x56, 0x58}});
  rows.push_back(
      {"body length FFFF", {0xFF, 0x4B, 0x56, 0x47, 0x00, 0x80, 0xFF, 0x4B, 0x56, 0x58, 0xFF, 0xFF}});
  Bytes hugePacked = global_header(GLOBAL_WIDE_WINDOW);
  append(hugePacked, stored_header("p", Bytes(3, 'q')));
  hugePacked[6 + 4 + 2 + 8 + 2 + 4] = 0xFF;  // packed size 0xFF000003, then a fresh header CRC
  {
    size_t bodyStart = 6 + 6, bodyLength = 8 + 2 + 12;
    uint32_t crc = crc32_of(hugePacked.data() + bodyStart, bodyLength);
    for (int i = 0; i < 4; i++) hugePacked[bodyStart + bodyLength + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
  }
  append(hugePacked, Bytes(3, 'q'));
  rows.push_back({"packed size past the end", hugePacked});
  for (size_t cut = 1; cut < good.size(); cut++)
    rows.push_back({"cut at " + std::to_string(cut), Bytes(good.begin(), good.begin() + long(cut))});
  std::mt19937 random(20261209);
  for (int round = 0; round < 200; round++) {
    Bytes mutated = good;
    for (int flips = 0; flips < 3; flips++) mutated[random() % mutated.size()] = uint8_t(random());
    rows.push_back({"mutation round " + std::to_string(round), mutated});
  }
  Bytes noise(3000);
  for (auto& b : noise) b = uint8_t(random());
  noise.insert(noise.begin() + 100, {0xFF, 0x4B, 0x56, 0x47, 0x00, 0x80});
  for (size_t i = 500; i + 4 < noise.size(); i += 400) {
    noise[i] = 0xFF, noise[i + 1] = 0x4B, noise[i + 2] = 0x56, noise[i + 3] = 0x58;
  }
  rows.push_back({"random bytes with magics", noise});

  for (const auto& row : rows) {
    ConsoleCapture console;
    ArchiveFile* archive = open_for_reading(put("x.kvn", row.second), Detect);
    if (archive == nullptr) continue;
    int members = 0;
    while (next_entry(archive) == 1) {
      ASSERT_LT(++members, 100) << row.first;
      EXPECT_LE(archive->entry.nameLength, 255) << row.first;
      EXPECT_LE(archive->entry.commentLength, 255) << row.first;
      skip_entry(archive);
    }
    close_archive(archive);
  }
}

}  // namespace
