// What kvx must never do, end to end: delete a moved file that did not go into
// the archive, lose or damage the old archive when writing fails, or leave a
// temporary archive behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/craft.h"
#include "e2e/e2e.h"
#include "e2e/kvn_members.h"

namespace {

using e2e::RunResult;
using e2e::Sandbox;
using Names = std::vector<std::string>;

constexpr long kMemberTime = 1600000000;

using e2e::has_temp_file;

TEST(Move, DeletesOnlyFilesWhoseContentWentIn) {
  Sandbox box;
  box.write_file("kept", "member content");
  e2e::set_file_time(box.path("kept"), kMemberTime);
  ASSERT_EQ(box.run({"a", "-len", "arc", "kept"}).status, 0);

  box.write_file("added", e2e::prose(4000));
  box.write_file("kept", "older content on disk");   // -u keeps the member
  e2e::set_file_time(box.path("kept"), kMemberTime - 100);
  ASSERT_EQ(mkfifo(box.path("pipe").c_str(), 0644), 0);  // skipped, never added
  box.write_file("tree/x.txt", e2e::prose(3000));
  box.write_file("tree/sub/y.txt", e2e::prose(3000, "why "));

  RunResult r = box.run({"m", "-len", "-u", "-r", "arc", "added", "kept", "pipe", "tree"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(box.exists("added"));
  EXPECT_FALSE(box.exists("tree"));
  EXPECT_TRUE(box.exists("kept"));
  EXPECT_TRUE(box.exists("pipe"));
  EXPECT_EQ(e2e::kvn_names(e2e::read_kvn(box.read_file("arc.kvn"))),
            (Names{"added", "kept", "tree", "tree/sub", "tree/x.txt", "tree/sub/y.txt"}));
}

TEST(Move, NothingIsDeletedAfterAnError) {
  Sandbox box;
  box.write_file("a", e2e::prose(2000));
  ASSERT_EQ(symlink("nowhere", box.path("dangling").c_str()), 0);
  RunResult r = box.run({"m", "-len", "arc", "a", "dangling"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("dangling: cannot open"), std::string::npos) << r.err;
  EXPECT_TRUE(box.exists("a"));
}

struct FullDiskCase {
  const char* what;
  Names args;
  const char* mustStay;   // a file that must still be on disk ("" for none)
};

class FullDisk : public ::testing::TestWithParam<FullDiskCase> {};

// The old archive is larger than what kvx may write, so writing any new
// archive fails the way it does on a full disk.
TEST_P(FullDisk, OldArchiveStaysAsItWasAndNoTemporaryFileRemains) {
  const FullDiskCase& c = GetParam();
  Sandbox box;
  box.write_file("big.bin", e2e::noise(120000, 3));
  box.write_file("small.txt", e2e::prose(3000));
  e2e::set_file_time(box.path("small.txt"), kMemberTime);
  ASSERT_EQ(box.run({"a", "-len", "arc", "big.bin", "small.txt"}).status, 0);
  const std::string before = box.read_file("arc.kvn");
  box.write_file("new.bin", e2e::noise(90000, 4));
  e2e::set_file_time(box.path("small.txt"), kMemberTime + 100);

  box.file_size_limit = 60000;
  RunResult r = box.run(c.args);
  EXPECT_NE(r.status, 0) << c.what;
  EXPECT_NE(r.err.find("write error"), std::string::npos) << r.err;
  EXPECT_EQ(box.read_file("arc.kvn"), before) << c.what;
  EXPECT_FALSE(has_temp_file(box)) << c.what;
  if (*c.mustStay) {
    EXPECT_TRUE(box.exists(c.mustStay)) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FullDisk,
    ::testing::Values(FullDiskCase{"add", {"a", "-len", "arc", "new.bin"}, ""},
                      FullDiskCase{"move", {"m", "-len", "arc", "new.bin"}, "new.bin"},
                      FullDiskCase{"delete", {"d", "-len", "arc", "small.txt"}, ""},
                      FullDiskCase{"fresh with move", {"f", "-len", "-m", "arc"}, "small.txt"}));

TEST(TemporaryArchive, VolumeTooSmallLeavesNothingBehind) {
  Sandbox box;
  box.write_file("f", e2e::prose(3000));
  RunResult r = box.run({"a", "-len", "-v10", "arc", "f"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("volume size too small"), std::string::npos) << r.err;
  EXPECT_FALSE(box.exists("arc.kvn"));
  EXPECT_FALSE(has_temp_file(box));
}

// Flips one byte of the member named name: in its header (the name itself) or
// in the middle of its data.
void damage_member(Sandbox& box, const std::string& archive, const std::string& name, bool header) {
  std::string bytes = box.read_file(archive);
  e2e::KvnArchive parsed = e2e::read_kvn(bytes);
  const e2e::KvnMember* m = e2e::kvn_find(parsed, name);
  ASSERT_NE(m, nullptr);
  size_t at = bytes.find(m->bytes);
  size_t offset = header ? 14 : m->bytes.size() - m->packed / 2;
  bytes[at + offset] = static_cast<char>(bytes[at + offset] ^ 0x55);
  box.write_file(archive, bytes);
}

TEST(DamagedArchive, MoveOutDeletesNothing) {
  Sandbox box;
  box.write_file("one.txt", e2e::prose(5000, "one "));
  box.write_file("two.txt", e2e::prose(5000, "two "));
  ASSERT_EQ(box.run({"a", "-len", "arc", "one.txt", "two.txt"}).status, 0);
  damage_member(box, "arc.kvn", "two.txt", false);
  const std::string before = box.read_file("arc.kvn");
  RunResult r = box.run({"x", "-len", "-m", "arc", "out/"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(box.read_file("arc.kvn"), before);
}

TEST(DamagedArchive, IsNotRewrittenWithoutItsDamagedMembers) {
  Sandbox box;
  box.write_file("one.txt", e2e::prose(5000, "one "));
  box.write_file("two.txt", e2e::prose(5000, "two "));
  ASSERT_EQ(box.run({"a", "-len", "arc", "one.txt", "two.txt"}).status, 0);
  damage_member(box, "arc.kvn", "two.txt", true);
  const std::string before = box.read_file("arc.kvn");
  box.write_file("three.txt", "three");
  for (const Names& args : {Names{"a", "-len", "arc", "three.txt"}, Names{"d", "-len", "arc", "one.txt"}}) {
    RunResult r = box.run(args);
    EXPECT_NE(r.status, 0) << args[0];
    EXPECT_EQ(box.read_file("arc.kvn"), before) << args[0];
    EXPECT_FALSE(has_temp_file(box));
  }
}

TEST(Delete, TheOnlyMemberTakesTheArchiveWithIt) {
  Sandbox box;
  box.write_file("only", "only");
  ASSERT_EQ(box.run({"a", "-len", "arc", "only"}).status, 0);
  RunResult r = box.run({"d", "-len", "arc", "only"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(box.exists("arc.kvn"));
  EXPECT_FALSE(has_temp_file(box));
}

}  // namespace
