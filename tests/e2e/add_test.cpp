// Adding files end to end: merge order, replacing members, stored members,
// directory trees, block mode and volumes, on the built kvx.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/craft.h"
#include "e2e/e2e.h"
#include "e2e/kvn_members.h"

namespace {

using e2e::KvnArchive;
using e2e::RunResult;
using e2e::Sandbox;
using Names = std::vector<std::string>;

constexpr long kMemberTime = 1600000000;  // an even second, as DOS times keep them

KvnArchive members_of(const Sandbox& box, const std::string& archive) {
  return e2e::read_kvn(box.read_file(archive));
}

using e2e::has_temp_file;

TEST(AddMerge, NewFilesGoBetweenOldMembersWhichAreCopiedUnchanged) {
  Sandbox box;
  box.set_env("TZ", "UTC");
  box.write_file("b", e2e::prose(3000, "bee "));
  box.write_file("d", e2e::noise(500, 4));
  ASSERT_EQ(box.run({"a", "-len", "arc", "b", "d"}).status, 0);
  KvnArchive before = members_of(box, "arc.kvn");
  ASSERT_EQ(e2e::kvn_names(before), (Names{"b", "d"}));

  box.write_file("a", e2e::prose(700, "ant "));
  box.write_file("c", "c");
  box.write_file("e", e2e::prose(2000, "emu "));
  RunResult r = box.run({"a", "-len", "arc", "e", "c", "a"});
  ASSERT_EQ(r.status, 0) << r.err;
  KvnArchive after = members_of(box, "arc.kvn");
  ASSERT_TRUE(after.ok);
  EXPECT_EQ(e2e::kvn_names(after), (Names{"a", "b", "c", "d", "e"}));
  for (const char* kept : {"b", "d"}) {
    ASSERT_NE(e2e::kvn_find(after, kept), nullptr);
    EXPECT_EQ(e2e::kvn_find(after, kept)->bytes, e2e::kvn_find(before, kept)->bytes) << kept;
  }
  EXPECT_EQ(box.run({"t", "-len", "arc"}).status, 0);
  EXPECT_FALSE(has_temp_file(box));
}

struct ReplaceCase {
  const char* what;
  Names command;   // before the archive name
  long fileTime;   // of the changed file; the member has kMemberTime
  bool replaced;
};

class AddReplace : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(AddReplace, MemberIsReplacedOnlyWhenAllowed) {
  const ReplaceCase& c = GetParam();
  Sandbox box;
  box.set_env("TZ", "UTC");
  box.write_file("f", std::string(100, 'o'));
  e2e::set_file_time(box.path("f"), kMemberTime);
  ASSERT_EQ(box.run({"a", "-len", "arc", "f"}).status, 0);
  const std::string before = box.read_file("arc.kvn");

  box.write_file("f", std::string(200, 'n'));
  e2e::set_file_time(box.path("f"), c.fileTime);
  Names args = c.command;
  args.insert(args.end(), {"-len", "arc", "f"});
  RunResult r = box.run(args);
  ASSERT_EQ(r.status, 0) << r.err;
  KvnArchive after = members_of(box, "arc.kvn");
  ASSERT_EQ(e2e::kvn_names(after), (Names{"f"}));
  if (c.replaced)
    EXPECT_EQ(after.members[0].unpacked, 200u);
  else
    EXPECT_EQ(after.members[0].bytes, e2e::read_kvn(before).members[0].bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddReplace,
    ::testing::Values(ReplaceCase{"plain add replaces even an older file", {"a"}, kMemberTime - 100, true},
                      ReplaceCase{"-u with a newer file", {"a", "-u"}, kMemberTime + 100, true},
                      ReplaceCase{"-u with an older file", {"a", "-u"}, kMemberTime - 100, false},
                      ReplaceCase{"u with the same time", {"u"}, kMemberTime, false},
                      ReplaceCase{"u with a newer file", {"u"}, kMemberTime + 100, true},
                      ReplaceCase{"-f with a newer file", {"a", "-f"}, kMemberTime + 100, true},
                      ReplaceCase{"-f with an older file", {"a", "-f"}, kMemberTime - 100, false}));

TEST(AddArchive, TakesTheNewestMemberTimeAndNeverHoldsItself) {
  Sandbox box;
  box.set_env("TZ", "UTC");
  box.write_file("w/old", "old");
  box.write_file("w/new", "new");
  e2e::set_file_time(box.path("w/old"), kMemberTime);
  e2e::set_file_time(box.path("w/new"), kMemberTime + 1000);
  ASSERT_EQ(box.run_in("w", {"a", "-len", "arc", "old"}).status, 0);
  // A second add with "*" sees the archive itself in the directory.
  RunResult r = box.run_in("w", {"a", "-len", "arc", "*"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::kvn_names(members_of(box, "w/arc.kvn")), (Names{"new", "old"}));
  EXPECT_EQ(e2e::file_mtime(box.path("w/arc.kvn")), kMemberTime + 1000);
}

struct StoreCase {
  const char* name;
  std::string content;
  bool blockMode;
  bool stored;
};

class AddStore : public ::testing::TestWithParam<StoreCase> {};

TEST_P(AddStore, StoresOnlyWhatShouldNotBeCompressed) {
  const StoreCase& c = GetParam();
  Sandbox box;
  box.write_file(c.name, c.content);
  Names args{"a", "-len"};
  if (c.blockMode) args.push_back("-b");
  args.insert(args.end(), {"arc", c.name});
  ASSERT_EQ(box.run(args).status, 0);
  KvnArchive archive = members_of(box, "arc.kvn");
  ASSERT_EQ(archive.members.size(), 1u);
  EXPECT_EQ((archive.members[0].flags & 0x0800) != 0, c.stored) << c.name;
  ASSERT_EQ(box.run({"e", "-len", "arc", "out/"}).status, 0);
  EXPECT_EQ(box.read_file("out/" + std::string(c.name)), c.content);
}

INSTANTIATE_TEST_SUITE_P(Cases, AddStore,
                         ::testing::Values(StoreCase{"noise.bin", e2e::noise(20000, 7), false, true},
                                           StoreCase{"noise.bin", e2e::noise(20000, 7), true, false},
                                           StoreCase{"text.zip", e2e::prose(20000), false, true},
                                           StoreCase{"text.txt", e2e::prose(20000), false, false}));

// A small tree with distinct times; the names are relative to the sandbox.
struct TreeFile {
  const char* path;
  std::string content;
  long time;
};

std::vector<TreeFile> sample_tree() {
  return {{"tree/a.txt", e2e::prose(5000, "apple "), kMemberTime},
          {"tree/sub/b.bin", e2e::noise(3000, 11), kMemberTime + 20},
          {"tree/sub/deeper/c.txt", e2e::prose(40000, "cherry "), kMemberTime + 40},
          {"tree/sub/deeper/empty", "", kMemberTime + 60}};
}

TEST(AddTree, RecursedTreeComesBackWithPathsOrFlattened) {
  Sandbox box;
  box.set_env("TZ", "UTC");
  for (const TreeFile& f : sample_tree()) {
    box.write_file(f.path, f.content);
    e2e::set_file_time(box.path(f.path), f.time);
  }
  RunResult added = box.run({"a", "-len", "-r", "arc", "tree"});
  ASSERT_EQ(added.status, 0) << added.err;

  box.make_dir("copy");
  RunResult x = box.run({"x", "-len", "arc", "copy"});
  ASSERT_EQ(x.status, 0) << x.err;
  box.make_dir("flat");
  RunResult e = box.run({"e", "-len", "arc", "flat"});
  ASSERT_EQ(e.status, 0) << e.err;
  for (const TreeFile& f : sample_tree()) {
    const std::string copy = std::string("copy/") + f.path;
    ASSERT_TRUE(box.exists(copy)) << copy;
    EXPECT_EQ(box.read_file(copy), f.content) << copy;
    EXPECT_EQ(e2e::file_mtime(box.path(copy)), f.time) << copy;
    const std::string path = f.path;
    const std::string flat = "flat/" + path.substr(path.rfind('/') + 1);
    ASSERT_TRUE(box.exists(flat)) << flat;
    EXPECT_EQ(box.read_file(flat), f.content) << flat;
  }
  EXPECT_FALSE(box.exists("flat/tree"));
}

TEST(BlockMode, WholeArchiveTestsAndExtractsWithOrWithoutSelection) {
  Sandbox box;
  const Names files{"one.txt", "two.bin", "three.txt"};
  box.write_file("one.txt", e2e::prose(30000, "one "));
  box.write_file("two.bin", e2e::noise(4000, 2));
  box.write_file("three.txt", e2e::prose(30000, "one "));  // matches reach back into one.txt
  ASSERT_EQ(box.run({"a", "-len", "-b", "arc", "one.txt", "two.bin", "three.txt"}).status, 0);
  KvnArchive archive = members_of(box, "arc.kvn");
  EXPECT_EQ(archive.globalFlags & 1, 1);
  ASSERT_EQ(archive.members.size(), 3u);

  RunResult t = box.run({"t", "-len", "arc", "three.txt"});
  EXPECT_EQ(t.status, 0) << t.err;
  RunResult some = box.run({"x", "-len", "arc", "some/", "three.txt"});
  EXPECT_EQ(some.status, 0) << some.err;
  EXPECT_EQ(box.read_file("some/three.txt"), box.read_file("three.txt"));
  EXPECT_FALSE(box.exists("some/one.txt"));
  RunResult all = box.run({"x", "-len", "arc", "all/"});
  EXPECT_EQ(all.status, 0) << all.err;
  for (const std::string& f : files) EXPECT_EQ(box.read_file("all/" + f), box.read_file(f)) << f;
}

struct RefusalCase {
  const char* what;
  bool blockArchive;  // the existing arc.kvn is a block-mode archive
  Names args;
  const char* message;
};

class BlockModeRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(BlockModeRefusal, LeavesTheArchiveAlone) {
  const RefusalCase& c = GetParam();
  Sandbox box;
  box.write_file("f", e2e::prose(3000));
  box.write_file("g", e2e::prose(2000, "gnu "));
  Names create{"a", "-len"};
  if (c.blockArchive) create.push_back("-b");
  create.insert(create.end(), {"arc", "f", "g"});
  ASSERT_EQ(box.run(create).status, 0);
  e2e::set_file_time(box.path("f"), kMemberTime * 2);   // newer than its member
  const std::string before = box.read_file("arc.kvn");

  RunResult r = box.run(c.args);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  EXPECT_EQ(box.read_file("arc.kvn"), before);
  EXPECT_FALSE(box.exists("new.kvn"));
  EXPECT_FALSE(has_temp_file(box));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlockModeRefusal,
    ::testing::Values(
        RefusalCase{"-b with volumes", false, {"a", "-len", "-b", "-v50k", "new", "f"},
                    "Block and multivolume is not compatible"},
        RefusalCase{"-b on an existing archive", false, {"a", "-len", "-b", "arc", "g"},
                    "Only create allowed for block-mode-archives"},
        RefusalCase{"adding to a block-mode archive", true, {"a", "-len", "arc", "g"},
                    "Only create allowed for block-mode-archives"},
        RefusalCase{"-v on an existing archive", false, {"a", "-len", "-v50k", "arc", "g"},
                    "Cannot update multivolume archive"},
        RefusalCase{"delete from a block-mode archive", true, {"d", "-len", "arc", "f"},
                    "delete files from archive in block mode do not allow"},
        RefusalCase{"fresh a block-mode archive", true, {"f", "-len", "arc"}, "fresh in block mode does not allow"},
        RefusalCase{"fresh with -b", false, {"f", "-len", "-b", "arc"}, "fresh in block mode does not allow"}));

TEST(Volumes, LargeFileIsSplitIntoPiecesAndJoinedOnExtraction) {
  Sandbox box;
  const std::string big = e2e::noise(150000, 5);
  box.write_file("big", big);
  box.write_file("small.txt", e2e::prose(9000));
  RunResult r = box.run({"a", "-len", "-v50k", "arc", "big", "small.txt"}, "y\ny\ny\ny\ny\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Next volume is arc.001: "), std::string::npos);

  // Every volume keeps to its size, the pieces of big follow each other, and
  // every volume but the last says that the set goes on.
  uint32_t next = 0;
  int count = 0;
  for (std::string v = "arc.kvn"; box.exists(v); v = "arc.00" + std::to_string(++count)) {
    const std::string bytes = box.read_file(v);
    EXPECT_LE(bytes.size(), 50u * 1024) << v;
    KvnArchive archive = e2e::read_kvn(bytes);
    EXPECT_TRUE(archive.ok) << v;
    const bool last = !box.exists("arc.00" + std::to_string(count + 1));
    EXPECT_EQ(archive.globalFlags & 0x40, last ? 0 : 0x40) << v;
    for (const e2e::KvnMember& m : archive.members) {
      if (m.name != "big") continue;
      EXPECT_EQ(m.flags & 0x0008, 0x0008);
      EXPECT_EQ(m.pieceOffset, next);
      next += m.unpacked;
    }
  }
  EXPECT_EQ(next, big.size());
  EXPECT_GE(count, 3);

  RunResult x = box.run({"x", "-len", "arc", "out/"});
  EXPECT_EQ(x.status, 0) << x.err;
  EXPECT_EQ(x.out.find("Next volume is"), std::string::npos) << x.out;
  EXPECT_EQ(box.read_file("out/big"), big);
  EXPECT_EQ(box.read_file("out/small.txt"), box.read_file("small.txt"));

  // A missing volume is asked for by name.
  ASSERT_EQ(rename(box.path("arc.001").c_str(), box.path("kept.001").c_str()), 0);
  RunResult missing = box.run({"x", "-len", "arc", "again/"}, "n\n");
  EXPECT_NE(missing.out.find("Next volume is arc.001: "), std::string::npos) << missing.out;
}

TEST(Volumes, DecliningTheNextVolumeEndsWithOneError) {
  Sandbox box;
  box.write_file("big", e2e::noise(120000, 9));
  RunResult r = box.run({"a", "-len", "-v50k", "arc", "big"}, "n\n");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(box.exists("arc.kvn"));
  EXPECT_FALSE(box.exists("arc.001"));
  EXPECT_FALSE(has_temp_file(box));
}

}  // namespace
