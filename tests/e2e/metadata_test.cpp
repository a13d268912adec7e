// What a member keeps besides its data: permission bits, exact times (before
// 1980 and after 2038 too), directories with their own modes and times,
// owners with -n, and what members of other hosts give their files.
#include <gtest/gtest.h>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "e2e/craft.h"
#include "e2e/e2e.h"
#include "e2e/kvn_members.h"

namespace {

using e2e::contains;
using e2e::RunResult;
using e2e::Sandbox;

// Seconds since 1970 of a UTC date.
int64_t utc(int year, int month, int day, int hour, int minute, int second) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return int64_t(timegm(&t));
}

void set_time(const Sandbox& box, const std::string& path, int64_t seconds) {
  struct timespec times[2] = {{time_t(seconds), 0}, {time_t(seconds), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, box.path(path).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void set_mode(const Sandbox& box, const std::string& path, mode_t mode) {
  ASSERT_EQ(chmod(box.path(path).c_str(), mode), 0) << path;
}

struct Stat {
  mode_t mode;   // type and permission bits
  int64_t mtime;
  uid_t uid;
  gid_t gid;
  bool operator==(const Stat& o) const { return mode == o.mode && mtime == o.mtime; }
};

std::ostream& operator<<(std::ostream& os, const Stat& s) {
  return os << std::oct << s.mode << std::dec << " " << s.mtime;
}

Stat stat_of(const std::string& path) {
  struct stat st = {};
  lstat(path.c_str(), &st);
  return Stat{st.st_mode, int64_t(st.st_mtime), st.st_uid, st.st_gid};
}

// Everything below root (directories too): path relative to root -> status.
std::map<std::string, Stat> tree_below(const std::string& root) {
  static std::map<std::string, Stat>* collected;
  static size_t rootLength;
  std::map<std::string, Stat> tree;
  collected = &tree;
  rootLength = root.size() + 1;
  nftw(root.c_str(),
       [](const char* path, const struct stat* st, int, struct FTW*) {
         if (strlen(path) >= rootLength)
           (*collected)[std::string(path).substr(rootLength)] = Stat{st->st_mode, int64_t(st->st_mtime), 0, 0};
         return 0;
       },
       16, FTW_PHYS);
  return tree;
}

// A file, or a directory when its path ends in "/", with its mode and time.
struct Planted {
  std::string path;
  std::string content;
  mode_t mode;
  int64_t mtime;
};

// Plants the items in order; a directory comes after what it holds, since
// writing into a directory changes its time (and a read-only one takes nothing).
void plant(const Sandbox& box, const std::vector<Planted>& items) {
  for (const Planted& item : items) {
    std::string path = item.path;
    if (path.back() == '/') {
      path.pop_back();
      box.make_dir(path);
    } else {
      box.write_file(path, item.content);
    }
    set_mode(box, path, item.mode);
    set_time(box, path, item.mtime);
  }
}

// Every kind of mode and time a member must keep.
void make_tree(const Sandbox& box) {
  plant(box, {{"src/run.sh", "#!/bin/sh\necho hi\n", 0755, utc(2015, 3, 10, 14, 20, 7)},   // an odd second
              {"src/secret", "key", 0600, utc(2040, 7, 14, 10, 20, 30)},
              {"src/readonly", "fixed", 0444, utc(2100, 1, 1, 0, 0, 0)},
              {"src/old.txt", e2e::prose(3000), 0644, utc(1975, 6, 1, 12, 0, 1)},
              {"src/private/note", "note", 0640, utc(2001, 2, 3, 4, 5, 6)},
              {"src/private/", "", 0700, utc(2002, 2, 2, 2, 2, 3)},
              {"src/sealed/inside", "sealed", 0644, utc(1999, 12, 31, 23, 59, 59)},
              {"src/sealed/", "", 0555, utc(2038, 1, 19, 3, 14, 9)},
              {"src/empty/", "", 0755, utc(1980, 1, 1, 0, 0, 0)},
              {"src/", "", 0755, utc(2010, 5, 5, 5, 5, 5)}});
}

TEST(UnixMetadata, ATreeComesBackWithItsModesAndExactTimes) {
  Sandbox box;
  make_tree(box);
  RunResult added = box.run({"a", "-len", "-r", "arc", "src"});
  ASSERT_EQ(added.status, 0) << added.out << added.err;
  box.make_dir("out");
  RunResult extracted = box.run_in("out", {"x", "-len", "../arc"});
  ASSERT_EQ(extracted.status, 0) << extracted.out << extracted.err;
  const std::map<std::string, Stat> before = tree_below(box.path("src"));
  const std::map<std::string, Stat> after = tree_below(box.path("out/src"));
  EXPECT_EQ(after, before);
  EXPECT_EQ(stat_of(box.path("out/src")), stat_of(box.path("src")));
  RunResult listed = box.run({"v", "-len", "arc"});
  EXPECT_TRUE(contains(listed.out, "U -rwxr-xr-x ")) << listed.out;
  EXPECT_TRUE(contains(listed.out, "U dr-xr-xr-x ")) << listed.out;
}

// Archives of zip and tar give their files and directories the modes and
// exact times those tools keep; empty directories come back.
struct ForeignTool {
  const char* name;
  const char* command;  // run in the sandbox, makes arc.<name> of src
};

void PrintTo(const ForeignTool& t, std::ostream* os) { *os << t.name; }

class ForeignTree : public ::testing::TestWithParam<ForeignTool> {};

TEST_P(ForeignTree, ComesBackWithItsModesAndExactTimes) {
  const ForeignTool& tool = GetParam();
  if (system((std::string("command -v ") + tool.name + " >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << tool.name << " is not installed";
  Sandbox box;
  // Within the 32-bit signed seconds of zip's time field.
  plant(box, {{"src/run.sh", "#!/bin/sh\necho hi\n", 0755, utc(2015, 3, 10, 14, 20, 7)},
              {"src/secret", "key", 0600, utc(2030, 7, 14, 10, 20, 30)},
              {"src/readonly", "fixed", 0444, utc(1975, 6, 1, 12, 0, 1)},
              {"src/private/note", "note", 0640, utc(2001, 2, 3, 4, 5, 6)},
              {"src/private/", "", 0700, utc(2002, 2, 2, 2, 2, 3)},
              {"src/sealed/inside", "sealed", 0644, utc(1999, 12, 31, 23, 59, 59)},
              {"src/sealed/", "", 0555, utc(2037, 1, 19, 3, 14, 9)},
              {"src/empty/", "", 0750, utc(1990, 1, 1, 0, 0, 0)},
              {"src/", "", 0755, utc(2010, 5, 5, 5, 5, 5)}});
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(lchown(box.path("src/secret").c_str(), 1234, 4321), 0);
  }
  const std::string make = "cd " + box.dir() + " && " + tool.command;
  ASSERT_EQ(system(make.c_str()), 0) << make;
  const std::string archive = std::string("arc.") + tool.name;
  RunResult extracted = box.run({"x", "-len", archive, "out/"});
  ASSERT_EQ(extracted.status, 0) << extracted.out << extracted.err;
  EXPECT_EQ(tree_below(box.path("out/src")), tree_below(box.path("src")));
  EXPECT_EQ(stat_of(box.path("out/src")), stat_of(box.path("src")));
  if (!root) return;
  // With -n, as root, the owner comes back too.
  ASSERT_EQ(box.run({"x", "-len", "-n", archive, "owned/"}).status, 0);
  const Stat owned = stat_of(box.path("owned/src/secret"));
  EXPECT_EQ(owned.uid, 1234u);
  EXPECT_EQ(owned.gid, 4321u);
}

INSTANTIATE_TEST_SUITE_P(Tools, ForeignTree,
                         ::testing::Values(ForeignTool{"zip", "zip -q -r arc.zip src"},
                                           ForeignTool{"tar", "tar cf arc.tar src"}),
                         [](const ::testing::TestParamInfo<ForeignTool>& info) { return info.param.name; });

// kvx's own members, listed exactly: the Unix field, the extension flag and
// the years after 2009 and before 1980 (held at 1980 in the DOS field).
TEST(UnixMetadata, GoldenVerboseListingOfMembersFromFiles) {
  Sandbox box;
  box.set_env("TZ", "UTC");
  plant(box, {{"tools/run.sh", "echo hi\n", 0755, utc(2015, 3, 10, 14, 20, 7)},
              {"tools/key", "xyz", 0600, utc(2040, 7, 14, 10, 20, 30)},
              {"tools/old", "xyz", 0644, utc(1975, 6, 1, 12, 0, 0)},
              {"tools/", "", 0700, utc(2100, 1, 1, 0, 0, 0)}});
  ASSERT_EQ(box.run({"a", "-len", "-r", "arc", "tools"}).status, 0);
  RunResult listed = box.run({"v", "-len", "arc"});
  const std::string rule = "- ---------- -------- -------- ------ -------- --------- ----- -------\n";
  EXPECT_EQ(listed.out.substr(listed.out.find('\n') + 1),
            "Listing of archive arc.kvn  [64K buffer]\n"
            "OS  access     SIZE   PACKED   RATIO  CRC32    DATE      TIME  FLAGS\n" +
                rule +
                "U drwx------        0        0 00.0%  00000000 01-Jan-00 00:00 C--B-DE \n"
                "tools\n"
                "U -rw-------        3        3 00.0%  EB8EBA67 14-Jul-40 10:20 C--B--E \n"
                "tools/key\n"
                "U -rw-r--r--        3        3 00.0%  EB8EBA67 01-Jan-80 00:00 C--B--E \n"
                "tools/old\n"
                "U -rwxr-xr-x        8        8 00.0%  0AAE4633 10-Mar-15 14:20 C--B--E \n"
                "tools/run.sh\n" +
                rule + "                   14       14 00.0%           01-Jan-00 00:00 total     4\n");
}

// What a file or directory gets from members of other hosts and from Unix
// blocks that say more or less than a mode.
struct HostCase {
  const char* what;
  kvn::Entry entry;
  mode_t permissions;   // expected bits 07777 (umask 022)
  int64_t mtime;
};

void PrintTo(const HostCase& c, std::ostream* os) { *os << c.what; }

class MembersOfHosts : public ::testing::TestWithParam<HostCase> {};

kvn::Entry member_of_host(uint8_t host, uint8_t attribute, uint16_t extraFlags = 0) {
  kvn::Entry e = kvn::stored("f", "data", ENTRY_STORED | extraFlags);
  e.host = host;
  e.attribute = attribute;
  return e;
}

kvn::Entry unix_member(uint32_t mode, uint32_t seconds, uint8_t host = 1) {
  kvn::Entry e = member_of_host(host, 0, ENTRY_EXTENSION);
  e.unixMode = mode;
  e.unixTime = seconds;
  return e;
}

TEST_P(MembersOfHosts, GiveTheirFilesWhatTheyCarry) {
  const HostCase& c = GetParam();
  Sandbox box;
  box.set_env("TZ", "UTC");
  box.write_file("arc.kvn", kvn::global() + kvn::header(c.entry) + "data" + kvn::end);
  RunResult r = box.run({"x", "-len", "arc"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(box.read_file("f"), "data");
  const Stat got = stat_of(box.path("f"));
  EXPECT_EQ(got.mode & 07777, c.permissions) << std::oct << got.mode;
  EXPECT_EQ(got.mtime, c.mtime);
}

const int64_t kDosTimeOfMembers = utc(1997, 2, 15, 21, 25, 30);   // kvn::stored's time, read as UTC

INSTANTIATE_TEST_SUITE_P(
    Cases, MembersOfHosts,
    ::testing::Values(
        HostCase{"host 5: the DOS time and the permissions files are made with", member_of_host(5, 0), 0644,
                 kDosTimeOfMembers},
        HostCase{"host 5 read-only: the write bits go", member_of_host(5, 1), 0444, kDosTimeOfMembers},
        HostCase{"host 0 read-only", member_of_host(0, 1), 0444, kDosTimeOfMembers},
        HostCase{"host 1: the block's mode and exact time", unix_member(0100750, 4102444801u), 0750, 4102444801},
        HostCase{"host 4 too", unix_member(0100604, 1234567891u, 4), 0604, 1234567891},
        HostCase{"host 1 never sets set-id or sticky bits", unix_member(0107755, 1000000000u), 0755, 1000000000},
        HostCase{"host 1 with time 0 (a file from before 1970)", unix_member(0100644, 0), 0644, 0},
        HostCase{"host 1 without the block: the DOS time", member_of_host(1, 0), 0644, kDosTimeOfMembers}));

// With -n, run as root, members get their owner and group back; without it,
// files belong to whoever extracts them.
TEST(UnixMetadata, OwnersComeBackWithMinusNAsRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "owners can be given only by root";
  Sandbox box;
  box.write_file("d/f", "owned");
  ASSERT_EQ(chown(box.path("d/f").c_str(), 1234, 5678), 0);
  ASSERT_EQ(chown(box.path("d").c_str(), 4321, 8765), 0);
  ASSERT_EQ(box.run({"a", "-len", "-r", "arc", "d"}).status, 0);
  box.make_dir("with");
  box.make_dir("without");
  RunResult r = box.run_in("with", {"x", "-len", "-n", "../arc"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(box.run_in("without", {"x", "-len", "../arc"}).status, 0);
  Stat file = stat_of(box.path("with/d/f"));
  Stat dir = stat_of(box.path("with/d"));
  EXPECT_EQ(file.uid, 1234u);
  EXPECT_EQ(file.gid, 5678u);
  EXPECT_EQ(dir.uid, 4321u);
  EXPECT_EQ(dir.gid, 8765u);
  EXPECT_EQ(stat_of(box.path("without/d/f")).uid, 0u);
  EXPECT_EQ(stat_of(box.path("without/d")).uid, 0u);
}

// Extracting again over files an earlier extraction made read-only replaces
// them (as the user who extracts, not root).
TEST(UnixMetadata, ReadOnlyFilesAreReplacedWhenOverwritten) {
  Sandbox box;
  box.write_file("ro.txt", "version 1");
  set_mode(box, "ro.txt", 0444);
  ASSERT_EQ(box.run({"a", "-len", "arc", "ro.txt"}).status, 0);
  if (geteuid() == 0) {
    chmod(box.dir().c_str(), 0777);
    chmod(box.path("arc.kvn").c_str(), 0644);
    box.run_as = 65534;
  }
  RunResult first = box.run({"x", "-len", "arc", "out/"});
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_EQ(stat_of(box.path("out/ro.txt")).mode & 0777, 0444u);
  box.run_as = 0;
  ASSERT_EQ(box.run({"d", "-len", "arc", "ro.txt"}).status, 0);
  box.write_file("ro.txt", "version 2");
  ASSERT_EQ(box.run({"a", "-len", "arc", "ro.txt"}).status, 0);
  if (geteuid() == 0) {
    chmod(box.path("arc.kvn").c_str(), 0644);
    box.run_as = 65534;
  }
  RunResult again = box.run({"x", "-len", "-y", "arc", "out/"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(box.read_file("out/ro.txt"), "version 2");
  EXPECT_EQ(stat_of(box.path("out/ro.txt")).mode & 0777, 0444u);
}

// The later pieces of a read-only file split across volumes still go into it.
TEST(UnixMetadata, AReadOnlyFileSplitAcrossVolumesComesBackWhole) {
  Sandbox box;
  const std::string data = e2e::noise(150000, 7);
  box.write_file("big", data);
  set_mode(box, "big", 0444);
  ASSERT_EQ(box.run({"a", "-len", "-v50k", "arc", "big"}, "y\ny\ny\ny\n").status, 0);
  ASSERT_TRUE(box.exists("arc.002"));
  box.make_dir("out");
  if (geteuid() == 0) {
    for (const char* name : {"", "out", "arc.kvn", "arc.001", "arc.002"}) chmod(box.path(name).c_str(), 0777);
    box.run_as = 65534;
  }
  RunResult r = box.run_in("out", {"x", "-len", "../arc"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(box.read_file("out/big"), data);
  EXPECT_EQ(stat_of(box.path("out/big")).mode & 0777, 0444u);
}

// Directory members: made with paths, inside the safety rules; not made
// without paths; a file where the directory belongs is reported and kept.
TEST(DirectoryMembers, AreMadeWithPathsOnly) {
  Sandbox box;
  kvn::Entry empty = kvn::stored("top/empty", "", ENTRY_STORED | ENTRY_DIRECTORY);
  kvn::Entry blocked = kvn::stored("blocked", "", ENTRY_STORED | ENTRY_DIRECTORY);
  box.write_file("arc.kvn", kvn::global() + kvn::header(empty) + kvn::header(blocked) + kvn::end);
  box.write_file("x/blocked", "a file where a directory is needed");
  RunResult x = box.run_in("x", {"x", "-len", "../arc"});
  EXPECT_EQ(x.status, 1) << x.out << x.err;
  EXPECT_TRUE(contains(x.err, "blocked: cannot create: File exists")) << x.err;
  EXPECT_EQ(box.read_file("x/blocked"), "a file where a directory is needed");
  struct stat st;
  ASSERT_EQ(stat(box.path("x/top/empty").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(contains(x.out, "Extracting top/empty")) << x.out;

  box.make_dir("e");
  RunResult e = box.run_in("e", {"e", "-len", "../arc"});
  EXPECT_EQ(e.status, 0) << e.err;
  EXPECT_FALSE(box.exists("e/empty"));
  EXPECT_FALSE(box.exists("e/top"));
}

}  // namespace
