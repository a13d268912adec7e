// Deleting and freshening members, and moving members out with extraction,
// end to end on the built kvx.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "e2e/kvn_members.h"

namespace {

using e2e::KvnArchive;
using e2e::RunResult;
using e2e::Sandbox;
using Names = std::vector<std::string>;

constexpr long kMemberTime = 1600000000;

KvnArchive members_of(const Sandbox& box) { return e2e::read_kvn(box.read_file("arc.kvn")); }

// arc.kvn holding a.txt, b.txt, c.bin and d.txt, all with kMemberTime + 2 * index.
void make_archive(Sandbox& box) {
  box.set_env("TZ", "UTC");
  const Names names{"a.txt", "b.txt", "c.bin", "d.txt"};
  for (size_t i = 0; i < names.size(); ++i) {
    box.write_file(names[i], names[i] == "c.bin" ? e2e::noise(3000, 1) : e2e::prose(3000 + i, names[i]));
    e2e::set_file_time(box.path(names[i]), kMemberTime + 2 * static_cast<long>(i));
  }
  RunResult r = box.run({"a", "-len", "arc", "a.txt", "b.txt", "c.bin", "d.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
}

TEST(Delete, SelectedMembersLeaveTheOthersStayUnchanged) {
  Sandbox box;
  make_archive(box);
  const KvnArchive before = members_of(box);
  RunResult r = box.run({"d", "-len", "arc", "*.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  KvnArchive after = members_of(box);
  EXPECT_EQ(e2e::kvn_names(after), (Names{"c.bin"}));
  EXPECT_EQ(after.members[0].bytes, e2e::kvn_find(before, "c.bin")->bytes);
  // The archive takes the time of its newest remaining member.
  EXPECT_EQ(e2e::file_mtime(box.path("arc.kvn")), kMemberTime + 4);
}

TEST(Delete, ConfirmationKeepsWhatIsRefused) {
  Sandbox box;
  make_archive(box);
  RunResult r = box.run({"d", "-len", "-qd", "arc", "*.txt"}, "y\nn\ny\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("delete b.txt: "), std::string::npos) << r.out;
  EXPECT_EQ(e2e::kvn_names(members_of(box)), (Names{"b.txt", "c.bin"}));
}

TEST(Fresh, ReplacesOnlyNewerFilesAndAddsNothing) {
  Sandbox box;
  make_archive(box);
  const KvnArchive before = members_of(box);
  box.write_file("a.txt", "newer a");
  e2e::set_file_time(box.path("a.txt"), kMemberTime + 1000);
  box.write_file("b.txt", "older b");
  e2e::set_file_time(box.path("b.txt"), kMemberTime - 1000);
  ASSERT_EQ(remove(box.path("c.bin").c_str()), 0);
  box.write_file("e.txt", "not a member");

  RunResult r = box.run({"f", "-len", "-m", "arc"});
  ASSERT_EQ(r.status, 0) << r.err;
  KvnArchive after = members_of(box);
  ASSERT_EQ(e2e::kvn_names(after), (Names{"a.txt", "b.txt", "c.bin", "d.txt"}));
  EXPECT_EQ(after.members[0].unpacked, 7u);
  for (const char* kept : {"b.txt", "c.bin", "d.txt"})
    EXPECT_EQ(e2e::kvn_find(after, kept)->bytes, e2e::kvn_find(before, kept)->bytes) << kept;
  // With -m only the file that went in is deleted.
  EXPECT_FALSE(box.exists("a.txt"));
  for (const char* stays : {"b.txt", "d.txt", "e.txt"}) EXPECT_TRUE(box.exists(stays)) << stays;
}

// Only the first volume would be written anew and the rest orphaned: the
// volumes of a set are refused, the first as well as a later one.
TEST(DeleteAndFresh, VolumesOfASetAreRefusedAndLeftAlone) {
  Sandbox box;
  box.write_file("f", e2e::noise(120000, 7));
  box.write_file("g", e2e::prose(3000));
  ASSERT_EQ(box.run({"a", "-len", "-v50k", "arc", "f", "g"}, "y\ny\ny\n").status, 0);
  ASSERT_TRUE(box.exists("arc.002"));
  e2e::set_file_time(box.path("f"), kMemberTime * 2);
  e2e::set_file_time(box.path("g"), kMemberTime * 2);
  const struct {
    Names args;
    const char* message;
  } cases[] = {
      {{"f", "-len", "arc"}, "Cannot fresh multivolume archive"},
      {{"d", "-len", "arc", "f"}, "Cannot update multivolume archive"},
      {{"d", "-len", "-ikvn", "arc.002", "g"}, "Cannot update multivolume archive"},
  };
  for (const auto& c : cases) {
    const std::string first = box.read_file("arc.kvn");
    const std::string last = box.read_file("arc.002");
    RunResult r = box.run(c.args);
    EXPECT_NE(r.status, 0) << c.args[0];
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(box.read_file("arc.kvn"), first);
    EXPECT_EQ(box.read_file("arc.002"), last);
  }
}

TEST(MoveOut, ExtractedMembersLeaveTheArchive) {
  Sandbox box;
  make_archive(box);
  RunResult r = box.run({"x", "-len", "-m", "arc", "out/", "?.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Now deleting succesfully proceed files"), std::string::npos);
  EXPECT_EQ(e2e::kvn_names(members_of(box)), (Names{"c.bin"}));
  for (const char* name : {"a.txt", "b.txt", "d.txt"}) EXPECT_EQ(box.read_file(std::string("out/") + name),
                                                                  box.read_file(name));
}

TEST(MoveOut, MembersNotExtractedStay) {
  Sandbox box;
  make_archive(box);
  box.write_file("out/a.txt", "a file the user keeps");
  RunResult r = box.run({"x", "-len", "-m", "arc", "out/", "?.txt"}, "n\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(box.read_file("out/a.txt"), "a file the user keeps");
  EXPECT_EQ(e2e::kvn_names(members_of(box)), (Names{"a.txt", "c.bin"}));
}

}  // namespace
