// ARJ archives end to end: what arj 2.41 and 3.10 write lists, tests and
// extracts as the peer manifest says (volume sets whole from their first
// volume), archives made here extract to what arj extracts, and damaged
// headers are reported.
#include <gtest/gtest.h>
#include <ftw.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "codec/common/transfer.h"
#include "e2e/craft.h"
#include "e2e/e2e.h"
#include "e2e/kvn_members.h"

namespace {

using e2e::contains;
using e2e::RunResult;
using e2e::Sandbox;

using e2e::files_below;

std::string fixture(const std::string& name) { return e2e::fixture("arj", name); }

struct PeerCase {
  const char* file;
  int failed;                                     // 1: the run must report errors
  std::vector<std::pair<std::string, uint32_t>> files;  // extracted files and their CRC-32
};

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.file; }

class PeerArj : public ::testing::TestWithParam<PeerCase> {};

TEST_P(PeerArj, ExtractsAsTheManifestSays) {
  const PeerCase& c = GetParam();
  Sandbox box;
  const std::string stem = std::string(c.file).substr(0, std::string(c.file).size() - 4);
  box.write_file(c.file, fixture(c.file));
  for (const char* ext : {".a01", ".a02", ".a03"}) {
    std::string volume = std::string(KVX_FIXTURES) + "/arj/" + stem + ext;
    struct stat st;
    if (stat(volume.c_str(), &st) == 0) box.write_file(stem + ext, fixture(stem + ext));
  }
  RunResult x = box.run({"x", "-len", "-y", c.file, "out/"});
  EXPECT_EQ(x.status != 0, c.failed != 0) << c.file << x.err;
  std::map<std::string, std::string> got = files_below(box.path("out"));
  std::map<std::string, uint32_t> crcs;
  for (const auto& f : got) crcs[f.first] = crc32_of(f.second.data(), f.second.size());
  std::map<std::string, uint32_t> expected(c.files.begin(), c.files.end());
  EXPECT_EQ(crcs, expected) << c.file;
  RunResult t = box.run({"t", "-len", c.file});
  EXPECT_EQ(t.status != 0, c.failed != 0) << c.file << t.err;
}

const uint32_t kBig = 0x309A470B, kSmall = 0x4AB6491C, kRandom = 0x0A696D52;

INSTANTIATE_TEST_SUITE_P(
    Peers, PeerArj,
    ::testing::Values(
        PeerCase{"arj310_m0.arj", 0, {{"big.txt", kBig}, {"small.txt", kSmall}}},
        PeerCase{"arj241_m0.arj", 0, {{"big.txt", kBig}, {"small.txt", kSmall}}},
        PeerCase{"arj310_m1.arj", 0, {{"big.txt", kBig}, {"empty.dat", 0}, {"random.bin", kRandom}}},
        PeerCase{"arj241_m1.arj", 0, {{"big.txt", kBig}, {"empty.dat", 0}, {"random.bin", kRandom}}},
        PeerCase{"arj310_m2.arj", 0, {{"big.txt", kBig}}}, PeerCase{"arj241_m2.arj", 0, {{"big.txt", kBig}}},
        PeerCase{"arj310_m3.arj", 0, {{"big.txt", kBig}}}, PeerCase{"arj241_m3.arj", 0, {{"big.txt", kBig}}},
        PeerCase{"arj310_m4.arj", 1, {}}, PeerCase{"arj241_m4.arj", 1, {}},
        PeerCase{"arj310_text.arj", 0, {{"notes.txt", 0xAB2FB3B3}, {"small.txt", kSmall}}},
        PeerCase{"arj241_text.arj", 0, {{"notes.txt", 0xAB2FB3B3}, {"small.txt", kSmall}}},
        PeerCase{"arj310_garbled.arj", 1, {}}, PeerCase{"arj241_garbled.arj", 1, {}},
        PeerCase{"arj310_vol.arj", 0, {{"big.txt", kBig}, {"random.bin", kRandom}, {"small.txt", kSmall}}},
        PeerCase{"arj241_vol.arj", 0, {{"big.txt", kBig}, {"random.bin", kRandom}, {"small.txt", kSmall}}},
        PeerCase{"arj310_comment.arj", 0, {{"big.txt", kBig}, {"small.txt", kSmall}}},
        PeerCase{"arj241_comment.arj", 0, {{"big.txt", kBig}, {"small.txt", kSmall}}},
        PeerCase{"arj310_tree.arj", 0,
                 {{"tree/sub/deep/empty.dat", 0}, {"tree/sub/deep/low.txt", 0x3321AF53},
                  {"tree/sub/mid.txt", 0x2D05EF8F}, {"tree/top.txt", 0x192B923D}}},
        PeerCase{"arj241_tree.arj", 0,
                 {{"tree/sub/deep/empty.dat", 0}, {"tree/sub/deep/low.txt", 0x3321AF53},
                  {"tree/sub/mid.txt", 0x2D05EF8F}, {"tree/top.txt", 0x192B923D}}},
        PeerCase{"arj310_sfx.arj", 0, {{"big.txt", kBig}, {"small.txt", kSmall}}},
        PeerCase{"arj241_sfx.arj", 0, {{"big.txt", kBig}, {"small.txt", kSmall}}},
        PeerCase{"arj310_hk.arj", 0, {{"big.txt", kBig}, {"small.txt", kSmall}}},
        PeerCase{"arj310_unix.arj", 0, {{"big.txt", kBig}, {"small.txt", kSmall}}},
        PeerCase{"arj241_unix.arj", 0, {{"big.txt", kBig}, {"small.txt", kSmall}}}),
    [](const ::testing::TestParamInfo<PeerCase>& info) {
      std::string n = info.param.file;
      return n.substr(0, n.size() - 4);
    });

TEST(ArjMembers, GarbledAndUnknownMethodsAreReportedAndNotWritten) {
  const struct {
    const char* file;
    const char* shown;
  } cases[] = {{"arj310_garbled.arj", "conv. key"}, {"arj310_m4.arj", "bad method "}};
  for (const auto& c : cases) {
    Sandbox box;
    box.write_file(c.file, fixture(c.file));
    RunResult x = box.run({"x", "-len", "-y", c.file, "out/"});
    EXPECT_NE(x.status, 0) << c.file;
    EXPECT_TRUE(contains(x.out, c.shown)) << c.file << x.out;
    EXPECT_TRUE(contains(x.err, "CRC error")) << c.file << x.err;
    EXPECT_TRUE(files_below(box.path("out")).empty()) << c.file;
  }
}

TEST(ArjMembers, AContinuedPieceListsItsBreak) {
  Sandbox box;
  box.write_file("arj310_vol.a01", fixture("arj310_vol.a01"));
  RunResult l = box.run({"l", "-len", "-iarj", "arj310_vol.a01"}, "n\n");
  EXPECT_TRUE(contains(l.out, "big.txt [break at 30300]")) << l.out;
  EXPECT_FALSE(contains(l.out, "arj310_vol.a01\n    ")) << l.out;  // the main header is no member
}

TEST(ArjMembers, AMissingVolumeIsAskedForAndReported) {
  Sandbox box;
  box.write_file("arj310_vol.arj", fixture("arj310_vol.arj"));
  RunResult x = box.run({"x", "-len", "arj310_vol.arj", "out/"});
  EXPECT_NE(x.status, 0);
  EXPECT_TRUE(contains(x.out, "Next volume is arj310_vol.a01")) << x.out;
  EXPECT_TRUE(contains(x.err, "arj310_vol.a01: volume not found")) << x.err;
}

// ---- archives made here ----

bool have_arj() { return system("command -v arj >/dev/null 2>&1") == 0; }

class MadeByArj : public ::testing::TestWithParam<const char*> {};

TEST_P(MadeByArj, ExtractsToWhatArjExtracts) {
  if (!have_arj()) GTEST_SKIP() << "arj is not installed";
  Sandbox box;
  box.write_file("tree/top.txt", e2e::prose(3000, "top "));
  box.write_file("tree/sub/mid.txt", e2e::prose(20000, "mid "));
  box.write_file("tree/sub/deep/noise.bin", e2e::noise(7000, 9));
  box.write_file("tree/empty.dat", "");
  std::string make = "cd " + box.dir() + " && arj a " + GetParam() + " -r -y made.arj tree >/dev/null 2>&1";
  ASSERT_EQ(system(make.c_str()), 0) << make;
  std::string ref = "mkdir -p " + box.path("ref") + " && cd " + box.path("ref") + " && arj x -y ../made.arj >/dev/null 2>&1";
  ASSERT_EQ(system(ref.c_str()), 0) << ref;
  RunResult x = box.run({"x", "-len", "-y", "made.arj", "out/"});
  EXPECT_EQ(x.status, 0) << GetParam() << x.err;
  std::map<std::string, std::string> got = files_below(box.path("out"));
  EXPECT_EQ(got, files_below(box.path("ref"))) << GetParam();
  EXPECT_EQ(got.size(), 4u) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Methods, MadeByArj, ::testing::Values("-m0", "-m1", "-m2", "-m3", "-m1 -jm", "-m1 -2d"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string n;
                           for (const char* p = info.param; *p; ++p) n += isalnum(*p) ? *p : '_';
                           return n;
                         });

// ---- damaged archives ----

struct DamageCase {
  const char* what;
  void (*damage)(std::string& archive, size_t secondHeader);
  const char* message;
};

class DamagedArj : public ::testing::TestWithParam<DamageCase> {};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.what; }

// arj310_m1.arj holds big.txt, empty.dat and random.bin; the second member's
// header is damaged, the others still extract.
TEST_P(DamagedArj, IsReportedNeverACrashOrHang) {
  const DamageCase& c = GetParam();
  Sandbox box;
  std::string bytes = fixture("arj310_m1.arj");
  size_t second = bytes.find("empty.dat");
  ASSERT_NE(second, std::string::npos);
  second = bytes.rfind(std::string("\x60\xEA", 2), second);
  c.damage(bytes, second);
  box.write_file("bad.arj", bytes);
  RunResult x = box.run({"x", "-len", "-y", "bad.arj", "out/"}, "", 20);
  EXPECT_NE(x.status, 0) << c.what;
  EXPECT_LT(x.status, 100) << c.what;
  EXPECT_TRUE(contains(x.err, c.message)) << c.what << x.err;
  EXPECT_EQ(crc32_of(box.read_file("out/big.txt").data(), 80000), kBig) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedArj,
    ::testing::Values(
        DamageCase{"a header whose CRC does not hold", [](std::string& b, size_t at) { b[at + 20] ^= 0x11; },
                   "bad.arj: header CRC error at offset"},
        DamageCase{"a basic header size past the limit",
                   [](std::string& b, size_t at) { b[at + 3] = char(0x7F); }, "bad.arj: bad header format at offset"},
        DamageCase{"cut inside a header", [](std::string& b, size_t at) { b.resize(at + 20); },
                   "bad.arj: bad header format at offset"},
        DamageCase{"data past the end of the file",
                   [](std::string& b, size_t at) {
                     // A packed size far beyond the file, with the header CRC made to hold.
                     size_t size = uint8_t(b[at + 2]) | uint8_t(b[at + 3]) << 8;
                     b[at + 4 + 12 + 3] = char(0x40);
                     uint32_t crc = crc32_of(b.data() + at + 4, size);
                     for (int i = 0; i < 4; i++) b[at + 4 + size + i] = char(crc >> (8 * i));
                   },
                   "member data past the end of the archive"}));

}  // namespace
