// Nothing is written where it should not be: not above the output directory,
// not through a symbolic link, not through a file planted at a temporary
// name, and an archive keeps its permissions and its link.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e/craft.h"
#include "e2e/e2e.h"
#include "e2e/kvn_members.h"

namespace {

using e2e::contains;
using e2e::has_temp_file;
using e2e::RunResult;
using e2e::Sandbox;
using Names = std::vector<std::string>;

// A sandbox with an "outside" directory that extraction into "work" must
// never touch, and an archive of the given members in "work".
struct Target {
  Sandbox box;
  using Members = std::vector<std::pair<std::string, std::string>>;
  explicit Target(const Members& members) {
    box.make_dir("outside");
    box.write_file("outside/sentinel", "outside");
    box.make_dir("work");
    std::string archive = kvn::global();
    for (const auto& m : members) {
      // A name ending in '/' stands for a directory member.
      if (!m.first.empty() && m.first.back() == '/')
        archive += kvn::header(kvn::stored(m.first.substr(0, m.first.size() - 1), "", ENTRY_STORED | ENTRY_DIRECTORY));
      else
        archive += kvn::member(m.first, m.second);
    }
    box.write_file("work/arc.kvn", archive + kvn::end);
  }
  std::string outside_listing() const {
    std::string all;
    if (DIR* d = opendir(box.path("outside").c_str())) {
      while (dirent* e = readdir(d)) all += std::string(e->d_name) + " ";
      closedir(d);
    }
    return all;
  }
};

struct LinkCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> members;
  void (*plant)(Sandbox& box);    // links made in work/ before extraction
  Names args;                     // after "x"/"e", before the archive
  const char* input;
  const char* message;            // in the error output ("" for none)
};

class LinksInTheTarget : public ::testing::TestWithParam<LinkCase> {};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.what; }

TEST_P(LinksInTheTarget, AreNeverFollowed) {
  const LinkCase& c = GetParam();
  Target t(c.members);
  c.plant(t.box);
  const std::string before = t.outside_listing();
  struct stat outsideBefore;
  stat(t.box.path("outside").c_str(), &outsideBefore);
  Names args = c.args;
  args.push_back("arc");
  RunResult r = t.box.run_in("work", args, c.input);
  EXPECT_EQ(t.outside_listing(), before) << c.what;
  EXPECT_EQ(t.box.read_file("outside/sentinel"), "outside") << c.what;
  struct stat outsideAfter;
  stat(t.box.path("outside").c_str(), &outsideAfter);
  EXPECT_EQ(outsideAfter.st_mode, outsideBefore.st_mode) << c.what;
  EXPECT_EQ(outsideAfter.st_mtime, outsideBefore.st_mtime) << c.what;
  if (*c.message) {
    EXPECT_NE(r.status, 0) << c.what;
    EXPECT_TRUE(contains(r.err, c.message)) << c.what << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinksInTheTarget,
    ::testing::Values(
        LinkCase{"a directory on the way is a link",
                 {{"link/evil", "evil"}},
                 [](Sandbox& box) { symlink("../outside", box.path("work/link").c_str()); },
                 {"x", "-len", "-y"},
                 "",
                 "link/evil: path leads through a symbolic link"},
        LinkCase{"a deeper directory on the way is a link",
                 {{"real/link/new/evil", "evil"}},
                 [](Sandbox& box) {
                   box.make_dir("work/real");
                   symlink("../../outside", box.path("work/real/link").c_str());
                 },
                 {"x", "-len", "-y"},
                 "",
                 "path leads through a symbolic link"},
        LinkCase{"a dangling link at the name is not written through without a question",
                 {{"dlink", "evil"}},
                 [](Sandbox& box) { symlink("../outside/new", box.path("work/dlink").c_str()); },
                 {"x", "-len"},
                 "",
                 ""},
        LinkCase{"with -y a linked file is replaced, never written through",
                 {{"flink", "evil"}},
                 [](Sandbox& box) { symlink("../outside/sentinel", box.path("work/flink").c_str()); },
                 {"x", "-len", "-y"},
                 "",
                 ""},
        LinkCase{"a directory member at a link changes nothing outside",
                 {{"dirlink/", ""}},
                 [](Sandbox& box) { symlink("../outside", box.path("work/dirlink").c_str()); },
                 {"x", "-len", "-y"},
                 "",
                 "dirlink: path leads through a symbolic link"},
        LinkCase{"a directory member below a link is not made",
                 {{"dirlink/made/", ""}},
                 [](Sandbox& box) { symlink("../outside", box.path("work/dirlink").c_str()); },
                 {"x", "-len", "-y"},
                 "",
                 "dirlink/made: path leads through a symbolic link"},
        LinkCase{"a directory member above the output directory is not made",
                 {{"../made/", ""}},
                 [](Sandbox&) {},
                 {"x", "-len", "-y", "-osub"},
                 "",
                 "../made: path leads outside the output directory"},
        LinkCase{"three dots are not a name but a way up",
                 {{".../evil", "evil"}},
                 [](Sandbox&) {},
                 {"x", "-len", "-y", "-osub"},
                 "",
                 ".../evil: path leads outside the output directory"}));

TEST(LinksInTheTarget, ALinkAtTheNameIsReplacedByTheMember) {
  Target t(Target::Members{{"flink", "member"}});
  symlink("../outside/sentinel", t.box.path("work/flink").c_str());
  RunResult r = t.box.run_in("work", {"x", "-len", "-y", "arc"});
  EXPECT_EQ(r.status, 0) << r.err;
  struct stat st;
  ASSERT_EQ(lstat(t.box.path("work/flink").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(t.box.read_file("work/flink"), "member");
  EXPECT_EQ(t.box.read_file("outside/sentinel"), "outside");
}

TEST(LinksInTheTarget, AFileWithOtherNamesIsReplacedNotWrittenThrough) {
  Target t(Target::Members{{"hard", "member"}});
  ASSERT_EQ(link(t.box.path("outside/sentinel").c_str(), t.box.path("work/hard").c_str()), 0);
  RunResult r = t.box.run_in("work", {"x", "-len", "-y", "arc"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(t.box.read_file("work/hard"), "member");
  EXPECT_EQ(t.box.read_file("outside/sentinel"), "outside");
}

// A pipe at the name would take the data and keep none of it.
TEST(LinksInTheTarget, APipeAtTheNameIsReplacedByTheMember) {
  Target t(Target::Members{{"pipe", "member"}});
  ASSERT_EQ(mkfifo(t.box.path("work/pipe").c_str(), 0644), 0);
  RunResult r = t.box.run_in("work", {"x", "-len", "-y", "arc"}, "", 10);
  EXPECT_EQ(r.status, 0) << r.err;
  struct stat st;
  ASSERT_EQ(lstat(t.box.path("work/pipe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(t.box.read_file("work/pipe"), "member");
}

// A member whose stored path is ".../x" would land one level up.
TEST(OutputDirectory, ThreeDotsStayInside) {
  Target t(Target::Members{{".../escape", "evil"}, {"ok.txt", "fine"}});
  RunResult r = t.box.run_in("work", {"x", "-len", "-y", "arc", "out/"});
  EXPECT_NE(r.status, 0);
  EXPECT_FALSE(t.box.exists("work/escape"));
  EXPECT_FALSE(t.box.exists("escape"));
  EXPECT_EQ(t.box.read_file("work/out/ok.txt"), "fine");
}

TEST(OutputDirectory, EmptyNamesForOutputAndWorkDirectoriesAreRefused) {
  Sandbox box;
  box.write_file("f.txt", "f");
  ASSERT_EQ(box.run({"a", "-len", "arc", "f.txt"}).status, 0);
  const std::string before = box.read_file("arc.kvn");
  for (const Names& args : {Names{"x", "-len", "-o", "arc"}, Names{"a", "-len", "-w", "arc", "f.txt"}}) {
    RunResult r = box.run(args);
    EXPECT_EQ(r.status, 1) << args[2];
    EXPECT_TRUE(contains(r.err, "needs a directory name")) << r.err;
    EXPECT_EQ(box.read_file("arc.kvn"), before);
  }
}

// ---- temporary names and the archive's own file ----

TEST(TemporaryNames, ALinkPlantedThereIsNeverWrittenThrough) {
  Sandbox box;
  box.write_file("victim", "not yours");
  box.write_file("f.txt", "content");
  // The names come from the process id, which is not known beforehand:
  // links at the names of the next few process ids.
  const pid_t next = getpid();
  for (int d = 0; d < 2; ++d)
    for (pid_t p = next; p < next + 40; ++p) {
      char name[32];
      unsigned q = static_cast<unsigned>(p) & 0x1FFFF;
      snprintf(name, sizeof name, "_kv%d##%o%05o", d, (q >> 15) & 3, q & 0x7FFF);
      symlink(box.path("victim").c_str(), box.path(name).c_str());
    }
  RunResult r = box.run({"a", "-len", "arc", "f.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(box.read_file("victim"), "not yours");
  EXPECT_EQ(e2e::kvn_names(e2e::read_kvn(box.read_file("arc.kvn"))), (Names{"f.txt"}));
}

TEST(TemporaryNames, TheNewArchiveKeepsTheOldOnesPermissionsAndLink) {
  Sandbox box;
  box.write_file("f.txt", "content");
  box.write_file("g.txt", "more");
  box.make_dir("store");
  ASSERT_EQ(box.run({"a", "-len", "store/real", "f.txt"}).status, 0);
  chmod(box.path("store/real.kvn").c_str(), 0600);
  ASSERT_EQ(symlink("store/real.kvn", box.path("arc.kvn").c_str()), 0);
  RunResult r = box.run({"a", "-len", "arc", "g.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat st;
  ASSERT_EQ(lstat(box.path("arc.kvn").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(box.path("store/real.kvn").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(e2e::kvn_names(e2e::read_kvn(box.read_file("store/real.kvn"))), (Names{"f.txt", "g.txt"}));
  EXPECT_FALSE(has_temp_file(box));
}

}  // namespace
