// Nothing of the user's is lost or replaced: large files go in whole, an
// archive that cannot be read or is no file is left alone, damage is never
// passed over in silence, and the names of a command mean what they say.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
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

constexpr long kOldTime = 1500000000;
constexpr long kNewTime = 1600000000;
constexpr long long kGiB = 1024LL * 1024 * 1024;

// A sparse file of size bytes with a few marks, so that a cut or a shifted
// piece shows; false when the file system cannot hold it.
bool make_sparse(const std::string& path, long long size) {
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, size) == 0;
  const long long marks[] = {0, 2 * kGiB - 3, 2 * kGiB, size - 7};
  for (long long at : marks)
    if (ok && at >= 0 && at < size) ok = pwrite(fd, "mark!!!", 7 < size - at ? 7 : size - at, at) > 0;
  close(fd);
  return ok;
}

bool same_content(const std::string& a, const std::string& b) {
  FILE* fa = fopen(a.c_str(), "rb");
  FILE* fb = fopen(b.c_str(), "rb");
  bool same = fa && fb;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (same) {
    size_t na = fread(ba.data(), 1, ba.size(), fa);
    size_t nb = fread(bb.data(), 1, bb.size(), fb);
    same = na == nb && memcmp(ba.data(), bb.data(), na) == 0;
    if (na == 0) break;
  }
  if (fa) fclose(fa);
  if (fb) fclose(fb);
  return same;
}

bool room_for(const Sandbox& box, long long bytes) {
  struct statvfs vfs;
  return statvfs(box.dir().c_str(), &vfs) == 0 && static_cast<long long>(vfs.f_bavail * vfs.f_frsize) > bytes;
}

TEST(LargeFiles, ThreeGibibytesGoInWholeAndFiveAreRefusedAlone) {
  Sandbox box;
  if (!make_sparse(box.path("big"), 3 * kGiB) || !room_for(box, 4 * kGiB)) {
    GTEST_SKIP() << "no room for a sparse file of 3 GiB and its copy here";
  }
  RunResult a = box.run({"m", "-len", "arc", "big"}, "", 600);
  ASSERT_EQ(a.status, 0) << a.err;
  e2e::KvnArchive archive = e2e::read_kvn(box.read_file("arc.kvn"));
  ASSERT_EQ(archive.members.size(), 1u);
  EXPECT_EQ(archive.members[0].unpacked, uint32_t(3 * kGiB));
  EXPECT_FALSE(box.exists("big"));   // moved: its whole content is in the archive

  make_sparse(box.path("expected"), 3 * kGiB);
  RunResult x = box.run({"x", "-len", "arc", "out/"}, "", 600);
  ASSERT_EQ(x.status, 0) << x.err;
  EXPECT_TRUE(same_content(box.path("out/big"), box.path("expected")));
  remove(box.path("out/big").c_str());

  ASSERT_TRUE(make_sparse(box.path("huge"), 5 * kGiB));
  box.write_file("small.txt", "small");
  RunResult refused = box.run({"m", "-len", "arc", "huge", "small.txt"}, "", 600);
  EXPECT_NE(refused.status, 0);
  EXPECT_TRUE(contains(refused.err, "huge: too large")) << refused.err;
  EXPECT_EQ(e2e::kvn_names(e2e::read_kvn(box.read_file("arc.kvn"))), (Names{"big", "small.txt"}));
  EXPECT_TRUE(box.exists("huge"));
  EXPECT_TRUE(box.exists("small.txt"));   // nothing is moved after an error
}

// ---- the archive named on the command line ----

struct ArchiveNameCase {
  const char* what;
  void (*prepare)(Sandbox& box);
  Names args;
  const char* message;
};

class ArchiveName : public ::testing::TestWithParam<ArchiveNameCase> {};

void PrintTo(const ArchiveNameCase& c, std::ostream* os) { *os << c.what; }

// Nothing that is not a readable archive file is read, moved aside or replaced.
TEST_P(ArchiveName, IsRefusedAndLeftAsItWas) {
  const ArchiveNameCase& c = GetParam();
  Sandbox box;
  box.write_file("f.txt", "file");
  c.prepare(box);
  const std::vector<std::string> before = box.list();
  RunResult r = box.run(c.args, "", 20);
  EXPECT_EQ(r.status, 1) << c.what << r.err;
  EXPECT_TRUE(contains(r.err, c.message)) << c.what << r.err;
  EXPECT_EQ(box.list(), before) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArchiveName,
    ::testing::Values(
        ArchiveNameCase{"a directory", [](Sandbox& box) { box.make_dir("adir.kvn/inner"); },
                        {"a", "-len", "adir.kvn", "f.txt"}, "adir.kvn: not a regular file"},
        ArchiveNameCase{"a directory, for a new archive", [](Sandbox& box) { box.make_dir("adir.kvn/inner"); },
                        {"n", "-len", "adir.kvn", "f.txt"}, "adir.kvn: not a regular file"},
        ArchiveNameCase{"a FIFO does not block adding",
                        [](Sandbox& box) { mkfifo(box.path("pipe.kvn").c_str(), 0644); },
                        {"a", "-len", "pipe.kvn", "f.txt"}, "pipe.kvn: not a regular file"},
        ArchiveNameCase{"a FIFO does not block listing",
                        [](Sandbox& box) { mkfifo(box.path("pipe.kvn").c_str(), 0644); },
                        {"l", "-len", "pipe.kvn"}, "pipe.kvn: not a regular file"},
        ArchiveNameCase{"a link loop cannot be opened",
                        [](Sandbox& box) { symlink("loop.kvn", box.path("loop.kvn").c_str()); },
                        {"a", "-len", "loop.kvn", "f.txt"}, "loop.kvn: cannot open: Too many levels of symbolic links"},
        ArchiveNameCase{"a directory given to delete from",
                        [](Sandbox& box) { box.make_dir("adir.kvn/inner"); },
                        {"d", "-len", "adir.kvn", "f.txt"}, "adir.kvn: not a regular file"}));

// Run as another user, an archive that user may not read is not taken for a
// missing one.
TEST(ArchiveName, UnreadableArchiveIsNotReplaced) {
  Sandbox box;
  if (geteuid() != 0) GTEST_SKIP() << "needs to run as root to make an archive another user cannot read";
  box.write_file("f.txt", "file");
  ASSERT_EQ(box.run({"a", "-len", "arc", "f.txt"}).status, 0);
  const std::string before = box.read_file("arc.kvn");
  chmod(box.path("arc.kvn").c_str(), 0);
  chmod(box.dir().c_str(), 0777);
  box.run_as = 65534;
  box.write_file("g.txt", "other");
  chmod(box.path("g.txt").c_str(), 0644);
  RunResult r = box.run({"a", "-len", "arc", "g.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "arc.kvn: cannot open: Permission denied")) << r.err;
  EXPECT_FALSE(contains(r.out, "Create")) << r.out;
  EXPECT_EQ(box.read_file("arc.kvn"), before);
  EXPECT_FALSE(has_temp_file(box));
}

// The archive is recognised by what it is, not by how it is spelled.
TEST(ArchiveName, ExtractionNeverWritesOverTheArchiveItReads) {
  Sandbox box;
  box.write_file("arc.kvn", "member content");
  ASSERT_EQ(box.run({"a", "-len", "holder", "arc.kvn"}).status, 0);
  ASSERT_EQ(rename(box.path("holder.kvn").c_str(), box.path("arc.kvn").c_str()), 0);
  ASSERT_EQ(link(box.path("arc.kvn").c_str(), box.path("same.kvn").c_str()), 0);
  const std::string before = box.read_file("arc.kvn");
  for (const Names& args : {Names{"x", "-len", "-y", box.path("arc.kvn")}, Names{"x", "-len", "-y", "./arc.kvn"},
                            Names{"e", "-len", "-y", "same.kvn", "arc.kvn"}}) {
    RunResult r = box.run(args);
    EXPECT_EQ(r.status, 1) << args[3];
    EXPECT_TRUE(contains(r.err, "is the archive being read")) << r.err;
    EXPECT_EQ(box.read_file("arc.kvn"), before) << args[3];
  }
}

// ---- damaged archives ----

struct DamageCase {
  const char* what;
  std::string (*make)();   // the whole damaged archive
  bool listingReports;     // reading it reports the damage too
};

std::string three_members_with(const std::string& middle, const std::string& tail = kvn::end) {
  return kvn::global() + kvn::member("a.txt", "alpha") + middle + kvn::member("c.txt", "gamma") + tail;
}

std::string member_b_with_packed(int64_t packed) { return kvn::header(kvn::stored("b.txt", "beta!", ENTRY_STORED, packed)) + "beta!"; }

class DamagedArchive : public ::testing::TestWithParam<DamageCase> {};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.what; }

// A modifying command that meets damage stops and leaves the archive byte
// for byte; reading reports the stretch it skips with the archive and offset.
TEST_P(DamagedArchive, StopsEveryModifyingCommand) {
  const DamageCase& c = GetParam();
  Sandbox box;
  const std::string damaged = c.make();
  box.write_file("arc.kvn", damaged);
  for (const char* name : {"a.txt", "b.txt", "c.txt", "new.txt"}) {
    box.write_file(name, std::string("new content of ") + name);
    e2e::set_file_time(box.path(name), kNewTime);
  }
  for (const Names& args : {Names{"a", "-len", "arc", "new.txt"}, Names{"u", "-len", "arc", "a.txt", "new.txt"},
                            Names{"d", "-len", "arc", "a.txt"}, Names{"f", "-len", "arc"},
                            Names{"m", "-len", "arc", "new.txt"}}) {
    RunResult r = box.run(args);
    EXPECT_NE(r.status, 0) << c.what << ": " << args[0] << r.out;
    EXPECT_EQ(box.read_file("arc.kvn"), damaged) << c.what << ": " << args[0];
    EXPECT_FALSE(has_temp_file(box)) << c.what << ": " << args[0];
    EXPECT_TRUE(box.exists("new.txt"));
  }
  RunResult l = box.run({"l", "-len", "arc"});
  if (c.listingReports) {
    EXPECT_NE(l.status, 0) << c.what;
    EXPECT_TRUE(contains(l.err, "arc.kvn: ") && contains(l.err, "offset")) << c.what << l.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedArchive,
    ::testing::Values(
        DamageCase{"bad entry magic",
                   [] {
                     std::string b = kvn::member("b.txt", "beta!");
                     b[3] = 'Y';
                     return three_members_with(b);
                   },
                   true},
        DamageCase{"body length of 1024 or more",
                   [] {
                     std::string b = kvn::member("b.txt", "beta!");
                     b[4] = 0x04;
                     return three_members_with(b);
                   },
                   true},
        DamageCase{"name of 256 bytes or more",
                   [] {
                     std::string body = std::string("\x08\x00\x05\x00", 4) + kvn::be(0x224FAB2F, 4) +
                                        std::string(300, 'n') + std::string(1 + 12, '\0');
                     return three_members_with(kvn::raw_header(body));
                   },
                   true},
        DamageCase{"a truncated tail",
                   [] {
                     std::string whole = three_members_with(kvn::member("b.txt", "beta!"));
                     return whole.substr(0, whole.size() - 5);
                   },
                   true},
        DamageCase{"no end marker", [] { return three_members_with(kvn::member("b.txt", "beta!"), ""); },
                   true},
        DamageCase{"a global comment whose length swallows the first member",
                   [] {
                     std::string a = kvn::member("a.txt", "alpha");
                     std::string comment = "note";
                     return kvn::global(GLOBAL_WIDE_WINDOW | GLOBAL_COMMENT).substr(0, 6) +
                            kvn::be(uint32_t(comment.size() + 1 + a.size()), 4) + comment +
                            std::string(1, '\0') + a + kvn::member("b.txt", "beta!") + kvn::end;
                   },
                   true},
        DamageCase{"packed size 0xFFFFFFFF", [] { return three_members_with(member_b_with_packed(0xFFFFFFFF)); },
                   true},
        DamageCase{"packed size 0x7FFFFFF0", [] { return three_members_with(member_b_with_packed(0x7FFFFFF0)); },
                   true},
        DamageCase{"packed size 0x80000000", [] { return three_members_with(member_b_with_packed(0x80000000)); },
                   true},
        DamageCase{"packed data running past the next header",
                   [] { return three_members_with(member_b_with_packed(5 + 12)); }, true},
        DamageCase{"an end marker hiding the members after it",
                   [] { return three_members_with(kvn::end + kvn::member("b.txt", "beta!")); }, true},
        DamageCase{"bytes after the end marker",
                   [] { return three_members_with(kvn::member("b.txt", "beta!"), kvn::end + "junk"); },
                   false}));

// ---- the names given to a command ----

TEST(Names, AMissingResponseFileTouchesNothing) {
  Sandbox box;
  box.write_file("precious.txt", "keep me");
  RunResult r = box.run({"m", "-len", "backup", "@list.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "list.txt")) << r.err;
  EXPECT_TRUE(box.exists("precious.txt"));
  EXPECT_FALSE(box.exists("backup.kvn"));
}

TEST(Names, AResponseFileMayBeAPipe) {
  Sandbox box;
  box.write_file("one.txt", "1");
  box.write_file("two.txt", "2");
  RunResult r = box.run({"a", "-len", "arc", "@/dev/stdin"}, "one.txt\ntwo.txt\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::kvn_names(e2e::read_kvn(box.read_file("arc.kvn"))), (Names{"one.txt", "two.txt"}));
}

// Text members ("-jt") come back with LF line ends whether the file had CR LF
// or LF, packed and stored alike (a text member that does not shrink is
// stored with the bytes a packed one stands for); a lone CR is kept.
TEST(Names, TextMembersComeBackWithLineFeeds) {
  const std::string longCrLf = e2e::prose(5000, "line\r\n");
  std::string longLf;
  for (char ch : longCrLf)
    if (ch != '\r') longLf += ch;
  const struct {
    const char* name;
    std::string content;
    std::string expected;
    bool stored;
  } files[] = {
      {"short_crlf.txt", "a\r\nb\r\n", "a\nb\n", true},
      {"short_lf.txt", "a\nb\n", "a\nb\n", true},
      {"long_crlf.txt", longCrLf, longLf, false},
      {"long_lf.txt", longLf, longLf, false},
      {"lone_cr.txt", "a\rb\r\n\r", "a\rb\n\r", true},
  };
  Sandbox box;
  Names args = {"a", "-len", "-jt", "arc"};
  for (const auto& f : files) {
    box.write_file(f.name, f.content);
    args.push_back(f.name);
  }
  ASSERT_EQ(box.run(args).status, 0);
  e2e::KvnArchive archive = e2e::read_kvn(box.read_file("arc.kvn"));
  for (const auto& f : files) {
    const e2e::KvnMember* member = e2e::kvn_find(archive, f.name);
    ASSERT_NE(member, nullptr) << f.name;
    EXPECT_EQ(member->flags & 0x0801, f.stored ? 0x0801 : 0x0001) << f.name;
    EXPECT_EQ(member->unpacked, f.expected.size()) << f.name;
    if (f.stored) {
      EXPECT_EQ(member->bytes.substr(member->bytes.size() - f.expected.size()), f.expected) << f.name;
    }
  }
  RunResult t = box.run({"t", "-len", "arc"});
  EXPECT_EQ(t.status, 0) << t.err;
  RunResult x = box.run({"x", "-len", "arc", "out/"});
  ASSERT_EQ(x.status, 0) << x.err;
  for (const auto& f : files) EXPECT_EQ(box.read_file(std::string("out/") + f.name), f.expected) << f.name;
}

struct PatternCase {
  const char* what;
  Names args;   // after the archive name
  Names left;   // members after the command
};

class Patterns : public ::testing::TestWithParam<PatternCase> {};

void PrintTo(const PatternCase& c, std::ostream* os) { *os << c.what; }

// A specification with a directory part matches the whole path, whatever
// the path mode; one without still matches the name part.
TEST_P(Patterns, SelectWhatTheySay) {
  const PatternCase& c = GetParam();
  Sandbox box;
  for (const char* name : {"src/sub/a.c", "src/sub/b.h", "src/c.c", "top.c"}) box.write_file(name, name);
  ASSERT_EQ(box.run({"a", "-len", "-r", "arc", "src", "top.c"}).status, 0);
  Names args = {"d", "-len", "arc"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  RunResult r = box.run(args);
  EXPECT_EQ(r.status, 0) << c.what << r.err;
  Names files;
  for (const std::string& name : e2e::kvn_names(e2e::read_kvn(box.read_file("arc.kvn"))))
    if (name != "src" && name != "src/sub") files.push_back(name);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, c.left) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Patterns,
    ::testing::Values(PatternCase{"a directory with a wildcard", {"src/sub/*"}, {"src/c.c", "top.c"}},
                      PatternCase{"a directory part and a name pattern", {"src/*.c"}, {"src/sub/b.h", "top.c"}},
                      PatternCase{"a name part alone", {"*.c"}, {"src/sub/b.h"}},
                      PatternCase{"a full path", {"src/sub/b.h"}, {"src/c.c", "src/sub/a.c", "top.c"}}));

// Files the archive cannot hold are left out with an error naming them; the
// rest of the tree goes in.
TEST(Names, UnusualNamesInATreeAreSkippedAlone) {
  Sandbox box;
  box.write_file("tree/plain.txt", "plain");
  box.write_file("tree/back\\slash", "odd");
  box.write_file("tree/new\nline", "odd");
  std::string deep = "tree";
  while (deep.size() < 560) deep += "/" + std::string(40, 'd');
  box.write_file(deep + "/far.txt", "far");
  box.write_file("tree/zlast.txt", "last");
  RunResult r = box.run({"a", "-len", "-r", "arc", "tree"});
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(contains(r.err, "back\\slash")) << r.err;
  EXPECT_TRUE(contains(r.err, "line")) << r.err;
  const Names names = e2e::kvn_names(e2e::read_kvn(box.read_file("arc.kvn")));
  EXPECT_NE(std::find(names.begin(), names.end(), "tree/plain.txt"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "tree/zlast.txt"), names.end());
}

TEST(Names, TwoFilesOfOneStoredNameAreNotBothAdded) {
  Sandbox box;
  box.write_file("docs/readme.txt", "docs");
  box.write_file("other/readme.txt", "other");
  RunResult r = box.run({"a", "-len", "arc", "docs/readme.txt", "other/readme.txt"});
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(contains(r.err, "other/readme.txt") && contains(r.err, "docs/readme.txt")) << r.err;
  e2e::KvnArchive archive = e2e::read_kvn(box.read_file("arc.kvn"));
  ASSERT_EQ(e2e::kvn_names(archive), (Names{"readme.txt"}));
  EXPECT_EQ(archive.members[0].bytes.substr(archive.members[0].bytes.size() - 4), "docs");
}

}  // namespace
