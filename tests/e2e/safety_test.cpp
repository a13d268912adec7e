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
  const char* mustStay;      // a file that must still be on disk ("" for none)
  const char* neverMade;     // an archive that must not come into being ("" for none)
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
  if (*c.neverMade) {
    EXPECT_FALSE(box.exists(c.neverMade)) << c.what;
  }
}

// The high method and method five write straight into the archive, block
// mode and volumes through their own paths.
INSTANTIATE_TEST_SUITE_P(
    Cases, FullDisk,
    ::testing::Values(FullDiskCase{"add", {"a", "-len", "arc", "new.bin"}, "", ""},
                      FullDiskCase{"move", {"m", "-len", "arc", "new.bin"}, "new.bin", ""},
                      FullDiskCase{"delete", {"d", "-len", "arc", "small.txt"}, "", ""},
                      FullDiskCase{"fresh", {"f", "-len", "arc"}, "", ""},
                      FullDiskCase{"fresh with move", {"f", "-len", "-m", "arc"}, "small.txt", ""},
                      FullDiskCase{"move with the high method", {"m", "-len", "-++", "arc", "new.bin"}, "new.bin", ""},
                      FullDiskCase{"move with method five", {"m", "-len", "-5", "arc", "new.bin"}, "new.bin", ""},
                      FullDiskCase{"move into a new block-mode archive", {"m", "-len", "-b", "blk", "new.bin"},
                                   "new.bin", "blk.kvn"},
                      FullDiskCase{"move into a new volume set", {"m", "-len", "-v100k", "vol", "new.bin"}, "new.bin",
                                   "vol.kvn"}));

// ---- files and directories kvx may not read or write ----

// Runs kvx as a user without rights to what root made unreadable or
// read-only; false when the tests do not run as root.
bool run_as_another_user(Sandbox& box) {
  if (geteuid() != 0) return false;
  chmod(box.dir().c_str(), 0777);
  box.run_as = 65534;
  return true;
}

// A file that cannot be read is reported and left out; the archive takes
// the others, and a move deletes nothing.
TEST(UnreadableSource, IsReportedAndNothingIsMoved) {
  Sandbox box;
  if (!run_as_another_user(box)) GTEST_SKIP() << "needs root to run kvx as a user who cannot read a file";
  box.write_file("old.txt", e2e::prose(3000));
  box.write_file("other.txt", e2e::prose(2000, "other "));
  box.write_file("secret", e2e::prose(2000, "secret "));
  for (const char* f : {"old.txt", "other.txt"}) chmod(box.path(f).c_str(), 0644);
  chmod(box.path("secret").c_str(), 0);
  ASSERT_EQ(box.run({"a", "-len", "arc", "old.txt"}).status, 0);
  const std::string before = box.read_file("arc.kvn");

  RunResult alone = box.run({"m", "-len", "arc", "secret"});
  EXPECT_NE(alone.status, 0);
  EXPECT_TRUE(e2e::contains(alone.err, "secret: cannot open: Permission denied")) << alone.err;
  EXPECT_EQ(box.read_file("arc.kvn"), before);
  EXPECT_FALSE(has_temp_file(box));

  RunResult with = box.run({"m", "-len", "arc", "secret", "other.txt"});
  EXPECT_NE(with.status, 0);
  EXPECT_EQ(e2e::kvn_names(e2e::read_kvn(box.read_file("arc.kvn"))), (Names{"old.txt", "other.txt"}));
  EXPECT_TRUE(box.exists("secret"));
  EXPECT_TRUE(box.exists("other.txt"));  // nothing is moved after an error
  EXPECT_FALSE(has_temp_file(box));
}

struct ReadOnlyCase {
  const char* what;
  Names args;
  const char* message;
};

class ReadOnlyDirectory : public ::testing::TestWithParam<ReadOnlyCase> {};

void PrintTo(const ReadOnlyCase& c, std::ostream* os) { *os << c.what; }

// The archive's directory ("ro") and an output directory ("rout") may not
// be written: every command fails, and nothing at all changes.
TEST_P(ReadOnlyDirectory, ChangesNothing) {
  const ReadOnlyCase& c = GetParam();
  Sandbox box;
  if (!run_as_another_user(box)) GTEST_SKIP() << "needs root to run kvx as a user who may not write a directory";
  box.write_file("old.txt", e2e::prose(3000));
  box.write_file("new.txt", e2e::prose(2000, "new "));
  e2e::set_file_time(box.path("old.txt"), kMemberTime);
  box.make_dir("ro");
  chmod(box.path("ro").c_str(), 0777);
  ASSERT_EQ(box.run({"a", "-len", "ro/arc", "old.txt"}).status, 0);
  e2e::set_file_time(box.path("old.txt"), kMemberTime + 100);
  box.make_dir("rout");
  chmod(box.path("ro").c_str(), 0555);
  chmod(box.path("rout").c_str(), 0555);
  const auto before = e2e::tree_below(box.dir(), true);
  RunResult r = box.run(c.args);
  EXPECT_NE(r.status, 0) << c.what;
  EXPECT_TRUE(e2e::contains(r.err, c.message)) << c.what << r.err;
  EXPECT_EQ(e2e::tree_below(box.dir(), true), before) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadOnlyDirectory,
    ::testing::Values(
        ReadOnlyCase{"add", {"a", "-len", "ro/arc", "new.txt"}, "cannot create archive: Permission denied"},
        ReadOnlyCase{"move", {"m", "-len", "ro/arc", "new.txt"}, "cannot create archive: Permission denied"},
        ReadOnlyCase{"delete", {"d", "-len", "ro/arc", "old.txt"}, "cannot create archive: Permission denied"},
        ReadOnlyCase{"fresh with move", {"f", "-len", "-m", "ro/arc"}, "cannot create archive: Permission denied"},
        ReadOnlyCase{"a new archive", {"m", "-len", "ro/made", "new.txt"}, "cannot create archive: Permission denied"},
        ReadOnlyCase{"extract", {"x", "-len", "ro/arc", "rout/"}, "rout/old.txt: cannot create: Permission denied"},
        ReadOnlyCase{"extract below it", {"x", "-len", "ro/arc", "rout/sub/"}, "cannot create: Permission denied"}));

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
