// "-e": a name without a directory part excludes every file or directory of
// that name, at every depth of a scan and in every member command; one with a
// directory part excludes the paths it matches whole.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "e2e/craft.h"
#include "e2e/e2e.h"
#include "e2e/kvn_members.h"

namespace {

using e2e::RunResult;
using e2e::Sandbox;
using Names = std::vector<std::string>;

struct ExclusionCase {
  const char* what;
  Names args;       // the command and its arguments
  Names expected;   // what the command did it to (see each test)
};

void PrintTo(const ExclusionCase& c, std::ostream* os) { *os << c.what; }

Names keys(const std::map<std::string, std::string>& files) {
  Names names;
  for (const auto& f : files) names.push_back(f.first);
  return names;
}

// ---- adding: what the scan puts in the archive ----

class ExcludedWhenAdding : public ::testing::TestWithParam<ExclusionCase> {};

TEST_P(ExcludedWhenAdding, NeverReachTheArchive) {
  const ExclusionCase& c = GetParam();
  Sandbox box;
  for (const char* name : {"src/core", "src/a.o", "src/main.c", "src/keep/core.txt", "src/sub/b.o", "src/sub/util.c",
                           "src/sub/core/x.c"})
    box.write_file(name, name);
  Names args = c.args;
  args.push_back("-len");
  RunResult r = box.run(args);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(e2e::kvn_names(e2e::read_kvn(box.read_file("arc.kvn"))), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExcludedWhenAdding,
    ::testing::Values(
        ExclusionCase{"a name excludes files and directories of that name at every depth",
                      {"a", "-r", "arc", "src", "-ecore"},
                      {"src", "src/a.o", "src/keep", "src/main.c", "src/sub", "src/keep/core.txt", "src/sub/b.o",
                       "src/sub/util.c"}},
        ExclusionCase{"a pattern without a directory part, at every depth",
                      {"a", "-r", "arc", "src", "-e*.o", "-e*.c"},
                      {"src", "src/core", "src/keep", "src/sub", "src/keep/core.txt", "src/sub/core"}},
        ExclusionCase{"a pattern with a directory part matches the whole path",
                      {"a", "-r", "arc", "src", "-esrc/sub/*.o", "-esrc/keep"},
                      {"src", "src/a.o", "src/core", "src/main.c", "src/sub", "src/sub/core", "src/sub/util.c",
                       "src/sub/core/x.c"}},
        ExclusionCase{"an excluded directory is not looked into by a wildcard scan",
                      {"a", "-r", "arc", "src/*.c", "-esub"},
                      {"src/main.c"}},
        ExclusionCase{"a name given is excluded too", {"a", "arc", "src/main.c", "src/a.o", "-emain.c"}, {"a.o"}}));

// ---- member commands ----

// An archive of the members a.txt, b.txt, sub/a.txt, sub/c.txt and core/x.
std::string members() {
  return kvn::archive({{"a.txt", "A"}, {"b.txt", "B"}, {"core/x", "X"}, {"sub/a.txt", "SA"}, {"sub/c.txt", "SC"}});
}

class ExcludedWhenExtracting : public ::testing::TestWithParam<ExclusionCase> {};

TEST_P(ExcludedWhenExtracting, AreNotWritten) {
  const ExclusionCase& c = GetParam();
  Sandbox box;
  box.write_file("arc.kvn", members());
  box.make_dir("out");
  Names args = c.args;
  args.push_back("-len");
  RunResult r = box.run_in("out", args);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(keys(e2e::files_below(box.path("out"))), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExcludedWhenExtracting,
    ::testing::Values(
        ExclusionCase{"x: a name at every depth", {"x", "../arc", "-ea.txt"}, {"b.txt", "core/x", "sub/c.txt"}},
        ExclusionCase{"e: a name at every depth", {"e", "../arc", "-ea.txt"}, {"b.txt", "c.txt", "x"}},
        ExclusionCase{"x: a directory on the way", {"x", "../arc", "-ecore", "-esub"}, {"a.txt", "b.txt"}},
        ExclusionCase{"x: a pattern with a directory part", {"x", "../arc", "-esub/*"}, {"a.txt", "b.txt", "core/x"}},
        ExclusionCase{"e: a directory part matches the whole path, not the name",
                      {"e", "../arc", "-esub/a.txt"},
                      {"a.txt", "b.txt", "c.txt", "x"}},
        ExclusionCase{"x: with a selection", {"x", "../arc", "*.txt", "-eb*"}, {"a.txt", "sub/a.txt", "sub/c.txt"}},
        ExclusionCase{"x: a name given whose member is excluded is no error",
                      {"x", "../arc", "sub/a.txt", "b.txt", "-esub"},
                      {"b.txt"}}));

TEST(ExcludedMembers, AreNotListedTestedPrintedOrDeleted) {
  Sandbox box;
  box.write_file("arc.kvn", members());
  RunResult listed = box.run({"l", "-len", "arc", "-e*a.txt"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_FALSE(e2e::contains(listed.out, "a.txt")) << listed.out;
  EXPECT_TRUE(e2e::contains(listed.out, "sub/c.txt")) << listed.out;
  EXPECT_TRUE(e2e::contains(listed.out, " total     3\n")) << listed.out;

  RunResult tested = box.run({"t", "-len", "arc", "-ecore"});
  EXPECT_EQ(tested.status, 0) << tested.err;
  EXPECT_FALSE(e2e::contains(tested.out, "core/x")) << tested.out;
  EXPECT_TRUE(e2e::contains(tested.out, "Testing    b.txt")) << tested.out;

  RunResult printed = box.run({"p", "-len", "arc", "*.txt", "-esub"});
  EXPECT_EQ(printed.status, 0) << printed.err;
  EXPECT_EQ(printed.out, "AB");   // the data of a.txt and b.txt; messages go to standard error

  RunResult deleted = box.run({"d", "-len", "arc", "*.txt", "-ea.txt"});
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  EXPECT_EQ(e2e::kvn_names(e2e::read_kvn(box.read_file("arc.kvn"))), (Names{"a.txt", "core/x", "sub/a.txt"}));
}

// The test of a new archive ("-t") covers every member, excluded ones too.
TEST(ExcludedMembers, TheTestAfterAddingCoversThemAll) {
  Sandbox box;
  box.write_file("arc.kvn", members());
  box.write_file("new.txt", "new");
  RunResult r = box.run({"a", "-len", "-t", "arc", "new.txt", "-eb.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(e2e::contains(r.out, "Testing    b.txt")) << r.out;
  EXPECT_EQ(e2e::kvn_names(e2e::read_kvn(box.read_file("arc.kvn"))),
            (Names{"a.txt", "b.txt", "new.txt", "core/x", "sub/a.txt", "sub/c.txt"}));
}

}  // namespace
