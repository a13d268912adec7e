// Archives from strangers, in every format kvx reads: names that climb out of
// the target, absolute names, names too long, names with control characters
// or without a name at all, sizes and offsets that lie, duplicates and deep
// trees. Whatever the archive holds, kvx writes nothing outside the output
// directory, never crashes or hangs, and says what it refused.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
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

// A member as a hostile archive states it; negative sizes and offsets stand
// for the true ones.
struct Member {
  std::string name;
  std::string data;
  int64_t packed = -1;
  int64_t unpacked = -1;
  int64_t pieceOffset = -1;   // a later piece of a file split across volumes
};
using Members = std::vector<Member>;

// Writes members as an archive of one format; "" when the format cannot say
// what they say (a name too long for its length field, a piece).
struct Format {
  const char* extension;
  std::string (*build)(const Members& members);
};

std::string build_kvn(const Members& members) {
  std::string out = kvn::global();
  for (const Member& m : members) {
    kvn::Entry e = kvn::stored(m.name, m.data, ENTRY_STORED, m.packed);
    if (m.unpacked >= 0) e.unpacked = uint32_t(m.unpacked);
    if (m.pieceOffset >= 0) {
      e.flags |= ENTRY_PIECE;
      e.pieceOffset = uint32_t(m.pieceOffset);
    }
    // A name the body cannot hold goes into the long-name block.
    if (m.name.size() >= 255) {
      e.name = "long";
      e.flags |= ENTRY_EXTENSION;
      e.longName = m.name;
    }
    out += kvn::header(e) + m.data;
  }
  return out + kvn::end;
}

std::string build_kvx(const Members& members) {
  std::string out;
  for (const Member& m : members) {
    if (m.name.size() > 255 || m.pieceOffset >= 0) return "";
    out += kvx::member(m.name, m.data, m.packed, m.unpacked);
  }
  return out + kvx::end;
}

std::string build_arj(const Members& members) {
  std::string out = arj::main_header();
  for (const Member& m : members) {
    if (m.name.size() > 2500) return "";
    const bool piece = m.pieceOffset >= 0;
    out += arj::member(m.name, m.data, m.packed, m.unpacked, piece ? arj::kContinued : 0,
                       piece ? uint32_t(m.pieceOffset) : 0);
  }
  return out + arj::end;
}

std::string build_tar(const Members& members) {
  std::string out;
  for (const Member& m : members) {
    // A TAR member's one size is both.
    if (m.pieceOffset >= 0 || m.unpacked >= 0) return "";
    out += m.name.size() > 100 ? tar::long_named(m.name, m.data, m.packed)
                               : (m.packed < 0 ? tar::member(m.name, m.data)
                                               : tar::header(m.name, uint64_t(m.packed)) + tar::padded(m.data));
  }
  return out + tar::end;
}

std::string build_zip(const Members& members) {
  std::string out;
  for (const Member& m : members) {
    if (m.pieceOffset >= 0) return "";
    out += zip::member(m.name, m.data, 0, m.data, 0, m.packed, m.unpacked);
  }
  return out;
}

const Format kFormats[] = {
    {"kvn", build_kvn}, {"kvx", build_kvx}, {"arj", build_arj}, {"tar", build_tar}, {"zip", build_zip}};

// Paths of the given length made of directories of eight letters.
std::string path_of_length(size_t length) {
  std::string path;
  while (path.size() + 9 < length) path += "abcdefgh/";
  return path + std::string(length - path.size(), 'n');
}

std::string nested(int levels) {
  std::string path;
  for (int i = 0; i < levels; i++) path += "d/";
  return path + "x";
}

struct HostileCase {
  const char* id;
  Members members;     // come after "first.txt"; "last.txt" follows unless the case ends the archive
  bool endsArchive;    // the last member's data runs to the end of the file or past it
  std::vector<const char*> messages;  // one of them is reported, and the status is not 0; none: all is fine
  std::string extracted;               // a member that comes out whole under this path ("" for none)
};

const std::string kEvil = "written where it must not be";

const HostileCase kCases[] = {
    {"absolute", {{"/abs/evil", kEvil}}, false, {"path leads outside the output directory"}, ""},
    {"absolute_backslash", {{"\\abs\\evil", kEvil}}, false, {"path leads outside the output directory"}, ""},
    {"network_name", {{"//server/share/evil", kEvil}}, false, {"path leads outside the output directory"}, ""},
    {"drive", {{"c:/evil", kEvil}}, false, {"path leads outside the output directory"}, ""},
    {"dotdot", {{"../evil", kEvil}}, false, {"path leads outside the output directory"}, ""},
    {"dotdot_after_a_directory", {{"a/../../evil", kEvil}}, false, {"path leads outside the output directory"}, ""},
    {"dotdot_after_dot", {{"./../evil", kEvil}}, false, {"path leads outside the output directory"}, ""},
    {"dotdot_with_backslashes", {{"a\\..\\..\\evil", kEvil}}, false, {"path leads outside the output directory"}, ""},
    {"dotdot_behind_dot_directory", {{"a/./../../evil", kEvil}}, false, {"path leads outside the output directory"},
     ""},
    {"three_dots", {{".../evil", kEvil}}, false, {"path leads outside the output directory"}, ""},
    {"dotdot_at_the_end", {{"a/..", kEvil}}, false, {"path leads outside the output directory"}, ""},
    {"empty_name", {{"", kEvil}}, false, {"member without a file name"}, ""},
    {"dot_name", {{".", kEvil}}, false, {"member without a file name"}, ""},
    {"line_end_in_name", {{"cut\nhere", kEvil}}, false, {"name holds a line end"}, ""},
    {"line_end_then_dotdot", {{"cut\n../../evil", kEvil}}, false, {"name holds a line end"}, ""},
    {"escape_sequence_in_name", {{"esc\x1b[1mbold", "shown tamed"}}, false, {}, "esc\x1b[1mbold"},
    {"tab_in_name", {{"tab\there", "tab"}}, false, {}, "tab\there"},
    {"name_of_255_bytes", {{path_of_length(255), "255"}}, false, {}, path_of_length(255)},
    {"name_of_256_bytes", {{path_of_length(256), "256"}}, false, {}, path_of_length(256)},
    {"name_of_511_bytes", {{path_of_length(511), kEvil}}, false, {"name is too long"}, ""},
    {"name_of_512_bytes", {{path_of_length(512), kEvil}}, false, {"name is too long", "bad header format"}, ""},
    {"nested_250_levels", {{nested(250), "deep"}}, false, {}, nested(250)},
    {"nested_300_levels", {{nested(300), kEvil}}, false, {"name is too long", "bad header format"}, ""},
    {"duplicate_names", {{"twice", "first"}, {"twice", "second"}}, false, {}, "twice"},
    {"a_file_where_a_directory_must_be", {{"plain", "file"}, {"plain/below", kEvil}}, false, {"cannot create"}, ""},
    {"a_directory_where_a_file_must_be", {{"plain/below", "below"}, {"plain", kEvil}}, false,
     {"a directory is in the way"}, ""},
    {"data_past_the_end", {{"evil", "four", 4000}}, true, {"member data past the end of the archive"}, ""},
    {"packed_size_of_4_gib", {{"evil", "four", 0xFFFFFFFF}}, true, {"member data past the end of the archive"}, ""},
    {"unpacked_size_of_4_gib", {{"evil", "four", -1, 0xFFFFFFFF}}, false, {"CRC error"}, ""},
    {"piece_past_the_end_of_its_file",
     {{"split", "whole"}, {"split", kEvil, -1, -1, 0x80000000}},
     false,
     {"piece does not continue the file"},
     ""},
    {"piece_at_4_gib", {{"split", "whole"}, {"split", kEvil, -1, -1, 0xFFFFFFF0}}, false,
     {"piece does not continue the file"}, ""},
};

using Param = std::tuple<Format, HostileCase>;

void PrintTo(const Param& p, std::ostream* os) { *os << std::get<0>(p).extension << " " << std::get<1>(p).id; }

class HostileArchive : public ::testing::TestWithParam<Param> {};

Members whole_members(const HostileCase& c) {
  Members members = {{"first.txt", "first"}};
  members.insert(members.end(), c.members.begin(), c.members.end());
  if (!c.endsArchive) members.push_back({"last.txt", "last"});
  return members;
}

// Extracts into work/out from work, next to an "outside" directory: nothing
// but work/out may change.
TEST_P(HostileArchive, WritesNothingOutsideTheTargetAndSaysWhatItRefused) {
  const Format& format = std::get<0>(GetParam());
  const HostileCase& c = std::get<1>(GetParam());
  Sandbox box;
  box.write_file("outside/sentinel", "keep");
  box.write_file("work/evil", "the user's own");
  const std::string archive = std::string("arc.") + format.extension;
  box.write_file("work/" + archive, format.build(whole_members(c)));
  const auto before = e2e::tree_below(box.dir(), true);

  RunResult l = box.run_in("work", {"l", "-len", archive}, "", 20);
  EXPECT_LT(l.status, 100) << l.err;   // an error, not a crash or a hang
  RunResult x = box.run_in("work", {"x", "-len", "-y", archive, "out/"}, "", 20);
  EXPECT_LT(x.status, 100) << x.err;

  auto after = e2e::tree_below(box.dir(), true);
  for (auto it = after.begin(); it != after.end();) it = it->first.rfind("work/out", 0) == 0 ? after.erase(it) : ++it;
  EXPECT_EQ(after, before);

  if (c.messages.empty()) {
    EXPECT_EQ(x.status, 0) << x.err;
  } else {
    EXPECT_NE(x.status, 0);
    bool said = false;
    for (const char* m : c.messages) said = said || contains(x.err, m);
    EXPECT_TRUE(said) << x.err;
  }
  if (!c.extracted.empty()) {
    EXPECT_EQ(box.read_file("work/out/" + c.extracted), c.members.back().data);
  }
  // A refusal passes over one member, not the rest of the archive.
  EXPECT_EQ(box.read_file("work/out/first.txt"), "first");
  if (!c.endsArchive) {
    EXPECT_EQ(box.read_file("work/out/last.txt"), "last") << x.out;
  }
  // Names reach the console with their control characters tamed.
  EXPECT_FALSE(contains(x.out + x.err + l.out + l.err, "\x1b")) << x.out;
}

std::vector<Param> expressible() {
  std::vector<Param> params;
  for (const Format& f : kFormats)
    for (const HostileCase& c : kCases)
      if (!f.build(whole_members(c)).empty()) params.emplace_back(f, c);
  return params;
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileArchive, ::testing::ValuesIn(expressible()),
                         [](const ::testing::TestParamInfo<Param>& info) {
                           return std::string(std::get<0>(info.param).extension) + "_" + std::get<1>(info.param).id;
                         });

// A refused member of a block-mode archive is still decoded, without output,
// since the members after it are coded from its stream.
TEST(HostileArchive, ARefusedBlockModeMemberKeepsTheStreamInStep) {
  for (const std::vector<std::string>& switches : {std::vector<std::string>{"-b"}, {"-b", "-++"}, {"-b", "-5"}}) {
    Sandbox box;
    box.write_file("aa.txt", e2e::prose(4000, "first "));
    box.write_file("abcevil", e2e::prose(4000, "middle "));
    box.write_file("zz.txt", e2e::prose(4000, "last "));
    std::vector<std::string> add = {"a", "-len"};
    add.insert(add.end(), switches.begin(), switches.end());
    add.insert(add.end(), {"arc", "aa.txt", "abcevil", "zz.txt"});
    ASSERT_EQ(box.run(add).status, 0);
    // The middle member's name becomes one that climbs out, its header CRC made to hold.
    std::string bytes = box.read_file("arc.kvn");
    const size_t at = bytes.find("abcevil");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 7, "../evil");
    const size_t header = bytes.rfind(std::string("\xFF" "KVX", 4), at);
    const uint32_t length = e2e::kvn_be(bytes, header + 4, 2);
    bytes.replace(header + 6 + length, 4, kvn::be(crc32_of(bytes.data() + header + 6, length), 4));
    box.write_file("work/arc.kvn", bytes);
    RunResult x = box.run_in("work", {"x", "-len", "-y", "arc", "out/"});
    EXPECT_NE(x.status, 0) << switches.back();
    EXPECT_TRUE(contains(x.err, "../evil: path leads outside the output directory")) << x.err;
    EXPECT_FALSE(contains(x.err, "CRC error")) << x.err;
    EXPECT_FALSE(box.exists("work/evil"));
    EXPECT_EQ(box.read_file("work/out/zz.txt"), box.read_file("zz.txt")) << switches.back();
  }
}

// Freshening reads the files its members name and, with -m, deletes them: a
// member whose stored path leads out of the current directory, or whose
// name a line end would cut, names no file here.
TEST(HostileArchive, FreshWithMoveTouchesNoFileItsMembersDoNotName) {
  for (const Format& format : {kFormats[0], kFormats[1]}) {
    Sandbox box;
    box.write_file("outside/victim", "precious");
    box.write_file("work/cut", "a file of its own");
    const std::string archive = std::string("arc.") + format.extension;
    const std::string bytes =
        format.build({{"../outside/victim", "old"}, {"cut\nname", "old"}, {"kept.txt", "kept"}});
    box.write_file("work/" + archive, bytes);
    RunResult r = box.run_in("work", {"f", "-len", "-m", archive});
    EXPECT_NE(r.status, 0) << format.extension;
    EXPECT_TRUE(contains(r.err, "../outside/victim: names no file below the current directory")) << r.err;
    EXPECT_TRUE(contains(r.err, "cut: names no file below the current directory")) << r.err;
    EXPECT_EQ(box.read_file("outside/victim"), "precious") << format.extension;
    EXPECT_EQ(box.read_file("work/cut"), "a file of its own") << format.extension;
    EXPECT_EQ(box.read_file("work/" + archive), bytes) << format.extension;
  }
}

// A TAR member of 4 GiB or more cannot be held by a member's 32-bit size: it
// is passed over with an error, never cut; the file is sparse.
TEST(HostileArchive, TarMemberOfFourGibibytesIsSkippedNotCut) {
  Sandbox box;
  const uint64_t huge = (uint64_t(4) << 30) + 1000;
  std::string head = tar::member("first.txt", "first") + tar::header("huge", huge);
  box.write_file("arc.tar", head);
  int fd = open(box.path("arc.tar").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::string tail = tar::member("last.txt", "last") + tar::end;
  const off_t after = off_t(head.size() + (huge + 511) / 512 * 512);
  const bool written = pwrite(fd, tail.data(), tail.size(), after) == ssize_t(tail.size());
  close(fd);
  if (!written) GTEST_SKIP() << "no sparse file of 4 GiB here";
  RunResult x = box.run({"x", "-len", "arc.tar", "out/"}, "", 20);
  EXPECT_NE(x.status, 0);
  EXPECT_TRUE(contains(x.err, "huge: TAR member of 4 GiB or more, skipped")) << x.err;
  EXPECT_FALSE(box.exists("out/huge"));
  EXPECT_EQ(box.read_file("out/last.txt"), "last");
}

}  // namespace
