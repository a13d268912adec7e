// The high method ("-++") and method five ("-5") through the real commands:
// add, test, extract and list, member by member and in block mode, and the
// switch combinations they refuse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/craft.h"
#include "e2e/e2e.h"
#include "e2e/kvn_members.h"

namespace {

using e2e::RunResult;
using e2e::Sandbox;

struct MethodCase {
  const char* name;
  std::vector<std::string> switches;
  uint16_t flag;       // entry flag of a packed member
  const char* letter;  // the method's letter in the listing's flags
};

const MethodCase kCases[] = {
    {"high", {"-++"}, 0x4000, "9"},
    {"high_order_3", {"-++3"}, 0x4000, "9"},
    {"five", {"-5"}, 0x8000, "H"},
    // Block mode, tested in the same run before the archive takes its name.
    {"high_block", {"-++", "-b", "-t"}, 0x4000, "9"},
    {"five_block", {"-5", "-b", "-t"}, 0x8000, "H"},
};

class ContextMethods : public ::testing::TestWithParam<MethodCase> {};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_P(ContextMethods, TreeComesBackThroughAddTestExtractAndList) {
  const MethodCase& c = GetParam();
  Sandbox box;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"docs/readme.txt", e2e::prose(90000, "context model ")},
      {"docs/notes.txt", e2e::prose(20000, "escape ") + e2e::prose(20000, "exclusion ")},
      {"data/noise.bin", e2e::noise(40000, 3)},
      {"data/one", "x"},
      {"data/empty", ""},
      {"data/again.txt", e2e::prose(90000, "context model ")},
  };
  for (const auto& f : files) box.write_file(f.first, f.second);

  RunResult r = box.run(concat(concat({"a", "-len", "-r"}, c.switches), {"arc", "docs", "data"}));
  ASSERT_EQ(r.status, 0) << r.err;
  e2e::KvnArchive archive = e2e::read_kvn(box.read_file("arc.kvn"));
  ASSERT_TRUE(archive.ok);
  const e2e::KvnMember* readme = e2e::kvn_find(archive, "docs/readme.txt");
  ASSERT_NE(readme, nullptr);
  EXPECT_EQ(readme->flags & 0xC800, c.flag);
  EXPECT_LT(readme->packed, readme->unpacked / 5);

  r = box.run({"t", "-len", "arc"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  r = box.run({"v", "-len", "arc"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(std::string(c.letter) + "--"), std::string::npos) << r.out;

  box.make_dir("out");
  r = box.run({"x", "-len", "arc", "out/"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const auto& f : files) EXPECT_EQ(box.read_file("out/" + f.first), f.second) << f.first;
}

INSTANTIATE_TEST_SUITE_P(Methods, ContextMethods, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<MethodCase>& info) { return info.param.name; });

TEST(ContextMethods, NoiseIsStoredAndMethodFiveStillMarksIt) {
  Sandbox box;
  box.write_file("noise", e2e::noise(30000, 9));
  for (const char* method : {"-++", "-5"}) {
    SCOPED_TRACE(method);
    RunResult r = box.run({"a", "-len", method, "arc", "noise"});
    ASSERT_EQ(r.status, 0) << r.err;
    e2e::KvnArchive archive = e2e::read_kvn(box.read_file("arc.kvn"));
    ASSERT_EQ(archive.members.size(), 1u);
    const uint16_t flags = archive.members[0].flags;
    EXPECT_TRUE(flags & 0x0800);                                    // stored
    EXPECT_EQ(flags & 0xC000, std::string(method) == "-5" ? 0x8000 : 0);
    EXPECT_EQ(box.run({"t", "-len", "arc"}).status, 0);
    remove(box.path("arc.kvn").c_str());
  }
}

TEST(ContextMethods, VolumesAreRefusedBeforeAnythingIsWritten) {
  Sandbox box;
  box.write_file("f", e2e::prose(200000));
  const struct {
    std::vector<std::string> args;
    const char* message;
  } rows[] = {
      {{"a", "-len", "-++", "-v50k", "arc", "f"}, "Multivolume yet does not support for high method"},
      {{"a", "-len", "-5", "-v50k", "arc", "f"}, "Multivolume does not support method five"},
      {{"a", "-len", "-++", "-5", "-vf", "arc", "f"}, "Multivolume does not support method five"},
  };
  for (const auto& row : rows) {
    RunResult r = box.run(row.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    EXPECT_FALSE(box.exists("arc.kvn"));
    EXPECT_FALSE(e2e::has_temp_file(box));
  }
}

}  // namespace
