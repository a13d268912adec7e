// TAR archives end to end: what GNU tar writes in each of its formats lists,
// tests and extracts to what tar itself extracts (links skipped), by
// extension or by content; damaged headers are reported, never taken.
#include <gtest/gtest.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "e2e/craft.h"
#include "e2e/e2e.h"
#include "e2e/foreign_archives.h"
#include "e2e/kvn_members.h"

namespace {

using e2e::contains;
using e2e::RunResult;
using e2e::Sandbox;
using Names = std::vector<std::string>;

// Regular files below root: relative path -> (content, mode, mtime).
struct FileFacts {
  std::string content;
  unsigned mode;
  long mtime;
  bool operator==(const FileFacts& o) const { return content == o.content && mode == o.mode && mtime == o.mtime; }
};
std::map<std::string, FileFacts>* collected = nullptr;
size_t rootLength = 0;

std::map<std::string, FileFacts> regular_files(const std::string& root) {
  std::map<std::string, FileFacts> files;
  collected = &files;
  rootLength = root.size() + 1;
  nftw(root.c_str(),
       [](const char* path, const struct stat* st, int, struct FTW*) {
         if (S_ISREG(st->st_mode)) {
           FILE* f = fopen(path, "rb");
           std::string data;
           char chunk[4096];
           size_t n;
           while (f && (n = fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, n);
           if (f) fclose(f);
           (*collected)[std::string(path).substr(rootLength)] = {data, unsigned(st->st_mode & 07777),
                                                               long(st->st_mtime)};
         }
         return 0;
       },
       16, FTW_PHYS);
  return files;
}

bool is_link(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Extracts archive with tar into ref/ and with kvx into out/, in box.
RunResult extract_both(Sandbox& box, const std::string& archive, const Names& kvxArgs = {}) {
  box.make_dir("ref");
  std::string command = "tar -C " + box.path("ref") + " -xf " + box.path(archive) + " 2>/dev/null";
  EXPECT_EQ(system(command.c_str()), 0) << command;
  Names args = {"x", "-len"};
  args.insert(args.end(), kvxArgs.begin(), kvxArgs.end());
  args.push_back(archive);
  args.push_back("out/");
  return box.run(args);
}

class PeerTar : public ::testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(PeerTar, ExtractsWhatTarExtractsAndSkipsLinks) {
  const char* name = GetParam().first;
  const int entries = GetParam().second;
  Sandbox box;
  box.write_file("peer.tar", e2e::Sandbox::read_whole((std::string(KVX_FIXTURES) + "/tar/" + name).c_str()));
  RunResult l = box.run({"l", "-len", "peer.tar"});
  EXPECT_EQ(l.status, 0) << name << l.err;
  EXPECT_TRUE(contains(l.out, "total " + std::string(entries < 10 ? "    " : "   ") + std::to_string(entries)))
      << name << l.out;
  RunResult t = box.run({"t", "-len", "peer.tar"});
  EXPECT_EQ(t.status, 0) << name << t.err;

  RunResult x = extract_both(box, "peer.tar");
  EXPECT_EQ(x.status, 0) << name << x.err;
  EXPECT_EQ(regular_files(box.path("out")), regular_files(box.path("ref"))) << name;
  if (is_link(box.path("ref/link"))) {
    EXPECT_FALSE(box.exists("out/link")) << name;
    EXPECT_TRUE(contains(x.out, "Skipping   link")) << x.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerTar,
                         ::testing::Values(std::make_pair("tar_gnu.tar", 12), std::make_pair("tar_ustar.tar", 12),
                                           std::make_pair("tar_pax.tar", 12), std::make_pair("tar_v7.tar", 9),
                                           std::make_pair("tar_noend.tar", 6), std::make_pair("tar_b1.tar", 6)),
                         [](const ::testing::TestParamInfo<std::pair<const char*, int>>& info) {
                           std::string n = info.param.first;
                           return n.substr(4, n.size() - 8);
                         });

class MadeHere : public ::testing::TestWithParam<const char*> {};

// A tree with long paths, a script and a symbolic link, archived by tar in
// one of its formats here.
TEST_P(MadeHere, TreeComesBackWithModesAndTimes) {
  const std::string format = GetParam();
  Sandbox box;
  const std::string p100(100, 'a');
  const std::string p150 = std::string(70, 'b') + "/" + std::string(79, 'c');
  const std::string p300 = std::string(99, 'd') + "/" + std::string(99, 'e') + "/" + std::string(99, 'f');
  Names files = {"tree/run.sh", "tree/plain.txt", "tree/" + p100.substr(0, 95)};
  if (format != "v7") files.push_back("tree/" + p150);
  if (format == "gnu" || format == "pax") files.push_back("tree/" + p300);
  long when = 1041411900;
  for (const std::string& f : files) {
    box.write_file(f, "content of " + f);
    e2e::set_file_time(box.path(f), when++);
  }
  chmod(box.path("tree/run.sh").c_str(), 0755);
  chmod(box.path("tree/plain.txt").c_str(), 0600);
  symlink("plain.txt", box.path("tree/link").c_str());
  std::string command = "cd " + box.dir() + " && tar --format=" + format + " -cf made.tar tree 2>/dev/null";
  ASSERT_EQ(system(command.c_str()), 0) << command;

  RunResult x = extract_both(box, "made.tar");
  EXPECT_EQ(x.status, 0) << format << x.err;
  std::map<std::string, FileFacts> got = regular_files(box.path("out"));
  EXPECT_EQ(got, regular_files(box.path("ref"))) << format;
  EXPECT_EQ(got.size(), files.size()) << format;
  EXPECT_EQ(got["tree/run.sh"].mode, 0755u);
  EXPECT_EQ(got["tree/plain.txt"].mode, 0600u);
  EXPECT_FALSE(box.exists("out/tree/link"));
}

INSTANTIATE_TEST_SUITE_P(Formats, MadeHere, ::testing::Values("gnu", "ustar", "pax", "v7"));

// GNU tar's other headers: a volume label is no member, and the directories
// of an incremental dump are directories whose data lists their contents.
class GnuHeaders : public ::testing::TestWithParam<const char*> {};

TEST_P(GnuHeaders, AreReadAsWhatTheyAre) {
  Sandbox box;
  box.write_file("tree/a.txt", "a");
  box.write_file("tree/sub/b.txt", "b");
  box.make_dir("tree/empty");
  std::string command = "cd " + box.dir() + " && tar " + GetParam() + " -cf made.tar tree 2>/dev/null";
  ASSERT_EQ(system(command.c_str()), 0) << command;
  RunResult x = box.run({"x", "-len", "-y", "made.tar", "out/"});
  EXPECT_EQ(x.status, 0) << x.err;
  EXPECT_EQ(e2e::files_below(box.path("out")),
            (std::map<std::string, std::string>{{"tree/a.txt", "a"}, {"tree/sub/b.txt", "b"}}));
  EXPECT_TRUE(box.exists("out/tree/empty"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, GnuHeaders, ::testing::Values("-V label", "--listed-incremental=snapshot"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param[1] == 'V' ? "volume_label" : "incremental");
                         });

// A sparse file's member holds a map and the pieces; written as it stands it
// would be another file. It is reported and left out; the walk goes on.
class SparseMember : public ::testing::TestWithParam<const char*> {};

TEST_P(SparseMember, IsReportedNotWrittenAsAnotherFile) {
  const std::string format = GetParam();
  Sandbox box;
  box.write_file("holes.bin", "");
  ASSERT_EQ(truncate(box.path("holes.bin").c_str(), 1 << 20), 0);
  box.write_file("after.txt", "after");
  std::string command = "cd " + box.dir() + " && printf data | dd of=holes.bin bs=1 seek=500000 conv=notrunc " +
                        "2>/dev/null && tar --format=" + format + " -S -cf sparse.tar holes.bin after.txt";
  ASSERT_EQ(system(command.c_str()), 0) << command;
  RunResult x = box.run({"x", "-len", "-y", "sparse.tar", "out/"});
  EXPECT_NE(x.status, 0);
  EXPECT_TRUE(contains(x.err, "holes.bin: sparse member, not extracted")) << x.err;
  EXPECT_EQ(e2e::files_below(box.path("out")), (std::map<std::string, std::string>{{"after.txt", "after"}}));
}

INSTANTIATE_TEST_SUITE_P(Formats, SparseMember, ::testing::Values("gnu", "pax"));

TEST(TarDetection, ByContentWithoutTheExtension) {
  Sandbox box;
  box.write_file("backup.dat", e2e::Sandbox::read_whole((std::string(KVX_FIXTURES) + "/tar/tar_ustar.tar").c_str()));
  RunResult l = box.run({"l", "-len", "backup.dat"});
  EXPECT_EQ(l.status, 0) << l.err;
  EXPECT_TRUE(contains(l.out, "dir/sub/deep.txt")) << l.out;
}

// TAR archives are never written: moving members out of one is refused
// before anything is extracted.
TEST(TarDetection, MovingOutOfATarIsRefused) {
  Sandbox box;
  const std::string bytes = e2e::Sandbox::read_whole((std::string(KVX_FIXTURES) + "/tar/tar_b1.tar").c_str());
  box.write_file("t.tar", bytes);
  RunResult r = box.run({"x", "-len", "-m", "t.tar", "out/"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "kvx or kvn archives only can modify")) << r.err;
  EXPECT_FALSE(box.exists("out"));
  EXPECT_EQ(box.read_file("t.tar"), bytes);
}

// ---- damaged archives ----

struct DamageCase {
  const char* what;
  std::string (*make)();
  const char* message;
};

class DamagedTar : public ::testing::TestWithParam<DamageCase> {};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.what; }

TEST_P(DamagedTar, IsReportedAndTheRestStillExtracts) {
  const DamageCase& c = GetParam();
  Sandbox box;
  box.write_file("bad.tar", c.make());
  RunResult x = box.run({"x", "-len", "bad.tar", "out/"}, "", 20);
  EXPECT_NE(x.status, 0) << c.what;
  EXPECT_LT(x.status, 100) << c.what;  // an error, not a crash
  EXPECT_TRUE(contains(x.err, c.message)) << c.what << x.err;
  EXPECT_EQ(box.read_file("out/good.txt"), "good") << c.what;
  EXPECT_FALSE(box.exists("out/evil")) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedTar,
    ::testing::Values(
        DamageCase{"a checksum that does not hold",
                   [] {
                     std::string bad = tar::member("evil", "evil");
                     bad[0] = 'E';
                     return tar::member("good.txt", "good") + bad + std::string(1024, '\0');
                   },
                   "bad.tar: header CRC error at offset 1024"},
        DamageCase{"a type this reader does not know",
                   [] { return tar::member("good.txt", "good") + tar::member("evil", "evil", 'Z') + std::string(1024, '\0'); },
                   "bad.tar: bad header format at offset 1024"},
        DamageCase{"data past the end of the file",
                   [] { return tar::member("good.txt", "good") + tar::header("evil", 100000); },
                   "member data past the end of the archive"},
        DamageCase{"a header cut short",
                   [] { return tar::member("good.txt", "good") + tar::header("evil", 4).substr(0, 300); },
                   "bad.tar: bad header format at offset 1024"},
        DamageCase{"a long name too large to be one",
                   [] {
                     return tar::member("good.txt", "good") + tar::header("././@LongLink", 5 << 20, 'L') +
                            std::string(1024, '\0');
                   },
                   "bad.tar: bad header format at offset 1024"},
        DamageCase{"a name leading out of the output directory",
                   [] { return tar::member("good.txt", "good") + tar::member("../evil", "evil") + std::string(1024, '\0'); },
                   "../evil: path leads outside the output directory"}));

// A size in base-256 form and a pax size and path apply as written.
TEST(TarFields, Base256SizeAndPaxRecords) {
  Sandbox box;
  std::string big = tar::header("sized.txt", 0);
  big.replace(124, 12, std::string("\x80\0\0\0\0\0\0\0\0\0\0\x05", 12));
  big = tar::with_checksum(big);
  std::string records = "26 path=from/pax/name.txt\n";
  std::string archive = big + std::string("sized") + std::string(507, '\0') + tar::member("PaxHeader", records, 'x') +
                        tar::member("short.txt", "pax member") + std::string(1024, '\0');
  box.write_file("f.tar", archive);
  RunResult x = box.run({"x", "-len", "f.tar", "out/"});
  EXPECT_EQ(x.status, 0) << x.err;
  EXPECT_EQ(box.read_file("out/sized.txt"), "sized");
  EXPECT_EQ(box.read_file("out/from/pax/name.txt"), "pax member");
  EXPECT_FALSE(box.exists("out/short.txt"));
}

}  // namespace
