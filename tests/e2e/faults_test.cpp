// Signals, full disks and exit statuses: a run that is stopped or cannot
// write leaves the old archive byte for byte and nothing half-written, and a
// run that did not do what was asked never ends with status 0.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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

constexpr long long kBigFile = 1LL << 29;   // long enough to be stopped in the middle

bool make_big(const Sandbox& box, const std::string& name) {
  int fd = open(box.path(name).c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, kBigFile) == 0;
  close(fd);
  return ok;
}

class EndingSignal : public ::testing::TestWithParam<int> {};

// Stopped while a large file is being packed: the old archive stays, the
// temporary archive goes, the status is not 0.
TEST_P(EndingSignal, DuringAddLeavesTheOldArchive) {
  Sandbox box;
  box.write_file("small.txt", "small");
  ASSERT_EQ(box.run({"a", "-len", "arc", "small.txt"}).status, 0);
  const std::string before = box.read_file("arc.kvn");
  ASSERT_TRUE(make_big(box, "big"));
  box.signal_number = GetParam();
  box.signal_when = [&box] { return has_temp_file(box); };
  RunResult r = box.run({"m", "-len", "arc", "big"}, "", 120);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(box.read_file("arc.kvn"), before);
  EXPECT_FALSE(has_temp_file(box));
  EXPECT_TRUE(box.exists("big"));
}

// Stopped while a member is being written: no half-written file is left
// under the member's name, even with -k.
TEST_P(EndingSignal, DuringExtractionLeavesNoPartialFile) {
  Sandbox box;
  ASSERT_TRUE(make_big(box, "big"));
  ASSERT_EQ(box.run({"m", "-len", "arc", "big"}, "", 300).status, 0);
  box.signal_number = GetParam();
  box.signal_when = [&box] { return box.exists("out/big"); };
  RunResult r = box.run({"x", "-len", "-k", "arc", "out/"}, "", 120);
  EXPECT_EQ(r.status, 1) << r.err;
  // Stopped in the middle, as the signal comes when the file appears; a
  // member finished before the signal would stay, whole.
  struct stat st;
  if (stat(box.path("out/big").c_str(), &st) == 0) {
    EXPECT_EQ(st.st_size, kBigFile);
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT),
                         [](const ::testing::TestParamInfo<int>& info) { return std::string(strsignal(info.param)).substr(0, 4) + std::to_string(info.param); });

struct InterruptCase {
  const char* what;
  Names switches;
  const char* archive;   // "arc" is there before; another name is a new archive
};

class InterruptedMove : public ::testing::TestWithParam<InterruptCase> {};

void PrintTo(const InterruptCase& c, std::ostream* os) { *os << c.what; }

// Interrupted while a large file is being packed by a coder that writes
// straight to the archive, into a block-mode archive or into volumes: what
// was there stays, nothing half-written is left, the file is not moved.
TEST_P(InterruptedMove, LeavesWhatWasThere) {
  const InterruptCase& c = GetParam();
  Sandbox box;
  box.write_file("small.txt", "small");
  ASSERT_EQ(box.run({"a", "-len", "arc", "small.txt"}).status, 0);
  const std::string before = box.read_file("arc.kvn");
  ASSERT_TRUE(make_big(box, "big"));
  box.signal_number = SIGINT;
  box.signal_when = [&box] { return has_temp_file(box); };
  Names args = {"m", "-len"};
  args.insert(args.end(), c.switches.begin(), c.switches.end());
  args.push_back(c.archive);
  args.push_back("big");
  RunResult r = box.run(args, "", 120);
  EXPECT_EQ(r.status, 1) << c.what << r.err;
  EXPECT_TRUE(contains(r.err, "Interrupted")) << c.what << r.err;
  EXPECT_EQ(box.read_file("arc.kvn"), before) << c.what;
  EXPECT_FALSE(has_temp_file(box)) << c.what;
  EXPECT_TRUE(box.exists("big")) << c.what;
  if (std::string(c.archive) != "arc") {
    EXPECT_FALSE(box.exists(std::string(c.archive) + ".kvn")) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InterruptedMove,
    ::testing::Values(InterruptCase{"the high method", {"-++"}, "arc"},
                      InterruptCase{"method five", {"-5"}, "arc"},
                      InterruptCase{"block mode", {"-b"}, "blk"},
                      InterruptCase{"block mode with the high method", {"-b", "-++"}, "blk"},
                      InterruptCase{"block mode with method five", {"-b", "-5"}, "blk"},
                      InterruptCase{"volumes", {"-v1000k"}, "vol"}));

// A file-size limit makes writes fail as a full disk would; kvx says why.
TEST(FullDisk, FileSizeLimitIsAWriteErrorWithItsReason) {
  Sandbox box;
  box.write_file("old.bin", e2e::noise(20000, 1));
  ASSERT_EQ(box.run({"a", "-len", "arc", "old.bin"}).status, 0);
  const std::string before = box.read_file("arc.kvn");
  box.write_file("new.bin", e2e::noise(90000, 2));
  box.file_size_limit = 60000;
  RunResult a = box.run({"a", "-len", "arc", "new.bin"});
  EXPECT_EQ(a.status, 1) << a.err;
  EXPECT_TRUE(contains(a.err, "write error: File too large")) << a.err;
  EXPECT_EQ(box.read_file("arc.kvn"), before);
  EXPECT_FALSE(has_temp_file(box));

  box.file_size_limit = 0;
  ASSERT_EQ(box.run({"a", "-len", "arc", "new.bin"}).status, 0);
  box.file_size_limit = 50000;
  RunResult x = box.run({"x", "-len", "arc", "out/"});
  EXPECT_NE(x.status, 0);
  EXPECT_TRUE(contains(x.err, "out/new.bin: write error: File too large")) << x.err;
  EXPECT_FALSE(box.exists("out/new.bin"));
  EXPECT_EQ(box.read_file("out/old.bin"), e2e::noise(20000, 1));
}

// In block mode each member is decoded from the stream of those before it:
// one that cannot be written does not take the later ones with it.
TEST(FullDisk, BlockModeMembersAfterAFailedOneStillComeOut) {
  for (const Names& switches : {Names{"-b"}, Names{"-b", "-++"}, Names{"-b", "-5"}}) {
    Sandbox box;
    box.write_file("a_small.txt", e2e::prose(3000, "first "));
    box.write_file("b_large.txt", e2e::prose(200000, "large "));
    box.write_file("c_small.txt", e2e::prose(5000, "last "));
    Names add = {"a", "-len"};
    add.insert(add.end(), switches.begin(), switches.end());
    add.insert(add.end(), {"arc", "a_small.txt", "b_large.txt", "c_small.txt"});
    ASSERT_EQ(box.run(add).status, 0) << switches.back();
    box.file_size_limit = 100000;
    RunResult x = box.run({"x", "-len", "arc", "out/"});
    EXPECT_NE(x.status, 0) << switches.back();
    EXPECT_TRUE(contains(x.err, "out/b_large.txt: write error: File too large")) << x.err;
    EXPECT_FALSE(contains(x.err, "CRC error")) << switches.back() << x.err;
    EXPECT_FALSE(box.exists("out/b_large.txt")) << switches.back();
    EXPECT_EQ(box.read_file("out/a_small.txt"), box.read_file("a_small.txt")) << switches.back();
    EXPECT_EQ(box.read_file("out/c_small.txt"), box.read_file("c_small.txt")) << switches.back();
  }
}

// ---- names that match nothing ----

struct NoMatchCase {
  const char* what;
  Names args;
  const char* message;
};

class NothingMatched : public ::testing::TestWithParam<NoMatchCase> {};

void PrintTo(const NoMatchCase& c, std::ostream* os) { *os << c.what; }

TEST_P(NothingMatched, IsAnErrorNamingTheName) {
  const NoMatchCase& c = GetParam();
  Sandbox box;
  box.write_file("a.txt", "a");
  box.write_file("b.txt", "b");
  ASSERT_EQ(box.run({"a", "-len", "arc", "a.txt", "b.txt"}).status, 0);
  const std::string before = box.read_file("arc.kvn");
  RunResult r = box.run(c.args);
  EXPECT_NE(r.status, 0) << c.what;
  EXPECT_TRUE(contains(r.err, c.message)) << c.what << r.err;
  EXPECT_EQ(box.read_file("arc.kvn"), before) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NothingMatched,
    ::testing::Values(NoMatchCase{"a file to add that does not exist", {"a", "-len", "arc", "nosuch.txt"},
                                  "nosuch.txt: no such file"},
                      NoMatchCase{"a pattern to add that matches no file", {"a", "-len", "arc", "*.none"},
                                  "*.none: no such file"},
                      NoMatchCase{"a member to extract", {"e", "-len", "arc", "nomatch"}, "nomatch: no matching member"},
                      NoMatchCase{"a member to delete", {"d", "-len", "arc", "nomatch"}, "nomatch: no matching member"},
                      NoMatchCase{"a member to list", {"l", "-len", "arc", "nomatch"}, "nomatch: no matching member"},
                      NoMatchCase{"a member to test", {"t", "-len", "arc", "nomatch"}, "nomatch: no matching member"},
                      NoMatchCase{"an output directory that does not exist",
                                  {"x", "-len", "arc", "newdir"},
                                  "newdir: no matching member"}));

TEST(NothingMatched, OneNameMissingDoesNotHideTheOthers) {
  Sandbox box;
  box.write_file("a.txt", "a");
  RunResult r = box.run({"a", "-len", "arc", "a.txt", "nosuch.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(e2e::kvn_names(e2e::read_kvn(box.read_file("arc.kvn"))), (Names{"a.txt"}));
}

}  // namespace
