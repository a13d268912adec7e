// The older own format (.kvx) end to end: its header bytes, trees through
// a, x, d, f and u, the 16-bit sum catching damage, and what it cannot hold
// refused before anything is written.
#include <gtest/gtest.h>

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

TEST(KvxFormat, AStoredMemberHasTheHeaderOfTheFormat) {
  Sandbox box;
  box.write_file("a.txt", "abc");
  e2e::set_file_time(box.path("a.txt"), 1041411900);
  ASSERT_EQ(box.run({"a", "-len", "x.kvx", "a.txt"}).status, 0);
  const std::string bytes = box.read_file("x.kvx");
  const std::string expected = std::string("\x1B\x00\xAE\x00\x03\x00\x00\x00\x03\x00\x00\x00", 12) + bytes.substr(12, 4) +
                               std::string("\x26\x01\x00\x00\x00\x00\x05", 7) + "a.txt" + std::string(1, '\0') + "abc" +
                               std::string(2, '\0');
  EXPECT_EQ(bytes, expected);
}

TEST(KvxFormat, ALongNameGivesItsLengthModulo256) {
  Sandbox box;
  const std::string name(240, 'n');
  box.write_file(name, "x");
  ASSERT_EQ(box.run({"a", "-len", "x.kvx", name}).status, 0);
  EXPECT_EQ(uint8_t(box.read_file("x.kvx")[0]), 6);  // 264 - 2 = 262, modulo 256
  RunResult l = box.run({"l", "-len", "x.kvx"});
  EXPECT_TRUE(contains(l.out, name)) << l.out;
}

TEST(KvxFormat, TreesGoThroughEveryModifyingCommand) {
  Sandbox box;
  box.write_file("t/one.txt", e2e::prose(4000, "one "));
  box.write_file("t/sub/two.bin", e2e::noise(3000, 5));
  box.write_file("t/sub/three.txt", e2e::prose(9000, "three "));
  ASSERT_EQ(box.run({"a", "-len", "-r", "x.kvx", "t"}).status, 0);
  RunResult x = box.run({"x", "-len", "x.kvx", "out/"});
  ASSERT_EQ(x.status, 0) << x.err;
  for (const char* f : {"t/one.txt", "t/sub/two.bin", "t/sub/three.txt"})
    EXPECT_EQ(box.read_file(std::string("out/") + f), box.read_file(f)) << f;

  ASSERT_EQ(box.run({"d", "-len", "x.kvx", "t/sub/two.bin"}).status, 0);
  box.write_file("t/one.txt", "one, newer");
  e2e::set_file_time(box.path("t/one.txt"), 1900000000);
  ASSERT_EQ(box.run({"f", "-len", "x.kvx"}).status, 0);
  box.write_file("t/four.txt", "four");
  ASSERT_EQ(box.run({"u", "-len", "-r", "x.kvx", "t"}).status, 0);
  RunResult again = box.run({"x", "-len", "-y", "x.kvx", "back/"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(box.read_file("back/t/one.txt"), "one, newer");
  EXPECT_EQ(box.read_file("back/t/four.txt"), "four");
  EXPECT_EQ(box.read_file("back/t/sub/two.bin"), box.read_file("t/sub/two.bin"));  // added again by u
  EXPECT_FALSE(has_temp_file(box));
}

TEST(KvxFormat, TheSumCatchesDamagedData) {
  Sandbox box;
  box.write_file("a.txt", "some stored text");
  ASSERT_EQ(box.run({"a", "-len", "x.kvx", "a.txt"}).status, 0);
  std::string bytes = box.read_file("x.kvx");
  bytes[bytes.size() - 5] ^= 0x01;
  box.write_file("x.kvx", bytes);
  RunResult t = box.run({"t", "-len", "x.kvx"});
  EXPECT_NE(t.status, 0);
  EXPECT_TRUE(contains(t.err, "CRC error")) << t.err;
}

TEST(KvxFormat, AFileOfAnotherFormatShowsNoMembersAndIsReported) {
  Sandbox box;
  box.write_file("other.kvx", e2e::noise(3000, 8));
  RunResult l = box.run({"l", "-len", "other.kvx"});
  EXPECT_NE(l.status, 0);
  EXPECT_LT(l.status, 100);
  EXPECT_TRUE(contains(l.err, "other.kvx: bad header format at offset 0")) << l.err;
  EXPECT_FALSE(contains(l.out, "total"));
}

TEST(KvxFormat, WhatTheFormatCannotHoldIsRefused) {
  Sandbox box;
  box.write_file("b.txt", "b");
  for (const Names& args : {Names{"a", "-len", "-++", "arcx.kvx", "b.txt"}, Names{"a", "-len", "-5", "arcx.kvx", "b.txt"},
                            Names{"a", "-len", "-v50k", "arcx.kvx", "b.txt"}, Names{"a", "-len", "-b", "arcx.kvx", "b.txt"}}) {
    RunResult r = box.run(args);
    EXPECT_EQ(r.status, 1) << args[2];
    EXPECT_FALSE(box.exists("arcx.kvx")) << args[2];
    EXPECT_FALSE(has_temp_file(box)) << args[2];
  }
  // A name too long for the length byte: that file is refused, the others go in.
  std::string deep = "d/" + std::string(200, 'x') + "/" + std::string(100, 'y');
  box.write_file(deep, "deep");
  RunResult r = box.run({"a", "-len", "-r", "arcx.kvx", "d", "b.txt"});
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(contains(r.err, "name is too long: d/x")) << r.err;
  RunResult l = box.run({"l", "-len", "arcx.kvx"});
  EXPECT_TRUE(contains(l.out, "b.txt")) << l.out;
}

}  // namespace
