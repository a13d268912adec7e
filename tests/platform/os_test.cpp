// Tests of the operating-system services: status, permissions, times,
// temporary-name digits, answers read from scripted input, small helpers.
#include "platform/os.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/temp_dir.h"

#include "platform/console.h"

namespace {

class OsTest : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return dir_.file(name); }

  std::string make_file(const char* name, const char* content) const {
    std::string p = path(name);
    FILE* out = std::fopen(p.c_str(), "wb");
    EXPECT_NE(out, nullptr);
    std::fputs(content, out);
    std::fclose(out);
    return p;
  }

  TempDir dir_{"kvx_os"};
};

TEST_F(OsTest, StatReportsTypeSizeAndTime) {
  std::string file = make_file("seven", "1234567");
  FileStatus st;
  ASSERT_EQ(path_stat(PathName(file.c_str()), st), 0);
  EXPECT_TRUE(st.is_regular());
  EXPECT_FALSE(st.is_directory());
  EXPECT_EQ(st.mode & FS_TYPE_MASK, FS_TYPE_REGULAR);
  EXPECT_EQ(st.size, 7);
  EXPECT_EQ(st.spare, 0);
  EXPECT_LE(std::abs(st.mtime - static_cast<int>(time(nullptr))), 60);

  ASSERT_EQ(path_stat(PathName(dir_.path().c_str()), st), 0);
  EXPECT_TRUE(st.is_directory());
  EXPECT_EQ(st.mode & FS_TYPE_MASK, FS_TYPE_DIRECTORY);

  FileStatus untouched;
  std::memset(&untouched, 0x5A, sizeof untouched);
  EXPECT_EQ(path_stat(PathName(path("missing").c_str()), untouched), -1);
  EXPECT_EQ(untouched.size, 0x5A5A5A5A5A5A5A5A);   // left alone...
  EXPECT_EQ(untouched.spare, 0);           // ...but for the spare byte
}

TEST_F(OsTest, StatFollowsLinks) {
  std::string file = make_file("target", "abc");
  std::string link = path("link");
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  FileStatus st;
  ASSERT_EQ(path_stat(PathName(link.c_str()), st), 0);
  EXPECT_TRUE(st.is_regular());
  EXPECT_EQ(st.size, 3);

  std::string dangling = path("dangling");
  ASSERT_EQ(symlink(path("nowhere").c_str(), dangling.c_str()), 0);
  EXPECT_EQ(path_stat(PathName(dangling.c_str()), st), -1);
}

TEST_F(OsTest, ChmodHonoursOnlyTheWritableBit) {
  std::string file = make_file("perm", "x");
  ASSERT_EQ(chmod(file.c_str(), 0664), 0);
  PathName p(file.c_str());

  // Writable asked for: permissions stay as they are, execute bits included.
  EXPECT_EQ(path_chmod(p, FS_READABLE | FS_WRITABLE | FS_EXECUTABLE | 0x3F), 0);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0664u);

  // Without it every write bit goes and nothing else changes.
  EXPECT_EQ(path_chmod(p, FS_READABLE | FS_EXECUTABLE), 0);
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);

  EXPECT_EQ(path_chmod(PathName(path("missing").c_str()), 0), -1);
}

TEST_F(OsTest, SetTimeRoundTrip) {
  std::string file = make_file("timed", "x");
  PathName p(file.c_str());
  const int64_t times[][2] = {{1000000000, 1234567890}, {0, 86400}, {2000000000, 2147483647}};
  for (const auto& t : times) {
    ASSERT_EQ(path_set_time(p, t[0], t[1]), 0);
    FileStatus st;
    ASSERT_EQ(path_stat(p, st), 0);
    EXPECT_EQ(st.mtime, t[1]);
    EXPECT_EQ(st.atime, t[0]);
  }
  EXPECT_EQ(path_set_time(PathName(path("missing").c_str()), 0, 0), -1);
}

TEST_F(OsTest, DirectoryAndFileOperations) {
  PathName sub(path("sub").c_str());
  EXPECT_EQ(path_mkdir(sub), 0);
  EXPECT_EQ(path_mkdir(sub), -1);

  std::string a = make_file("a", "data");
  PathName from(a.c_str());
  PathName to(path("sub/b").c_str());
  EXPECT_EQ(path_rename(from, to), 0);
  EXPECT_NE(access(a.c_str(), F_OK), 0);
  EXPECT_EQ(access(path("sub/b").c_str(), F_OK), 0);
  EXPECT_EQ(path_rename(from, to), -1);

  EXPECT_EQ(path_rmdir(sub), -1);   // not empty
  EXPECT_EQ(path_unlink(to), 0);
  EXPECT_EQ(path_unlink(to), -1);
  EXPECT_EQ(path_rmdir(sub), 0);
}

TEST_F(OsTest, DiskFreeIsPositiveAndClamped) {
  int here = disk_free(PathName("file.txt"));
  EXPECT_GT(here, 0);
  EXPECT_GT(disk_free(PathName(path("x").c_str())), 0);
  EXPECT_EQ(disk_free(PathName(path("no/such/dir/x").c_str())), INT_MAX);
}

TEST(TempName, ProcessIdDigitsInOctal) {
  char expected[8];
  std::snprintf(expected, sizeof expected, "%06o", static_cast<unsigned>(getpid()) & 0x1FFFF);

  char t[] = "_kv0##XXXXXX";
  make_temp_name(t);
  EXPECT_EQ(std::string(t), std::string("_kv0##") + expected);

  char trailing[] = "aXXXXXXXb";   // only the first six after the first X
  make_temp_name(trailing);
  EXPECT_EQ(std::string(trailing), std::string("a") + expected + "Xb");

  const char* unchanged[] = {"_kv0##XXXXX", "no x here", "XXXXX", ""};
  for (const char* text : unchanged) {
    char buffer[32];
    std::strcpy(buffer, text);
    make_temp_name(buffer);
    EXPECT_STREQ(buffer, text);
  }
}

// Feeds the answer readers from a scripted input stream.
class AnswerTest : public ::testing::Test {
 protected:
  void script(const char* text) {
    input_ = std::tmpfile();
    ASSERT_NE(input_, nullptr);
    std::fputs(text, input_);
    std::rewind(input_);
    console_use_streams(nullptr, nullptr, input_);
  }
  void TearDown() override {
    console_use_streams(nullptr, nullptr, stdin);
    if (input_) std::fclose(input_);
  }
  FILE* input_ = nullptr;
};

TEST_F(AnswerTest, ReadKeyTakesTheFirstCharacterOfEachLine) {
  script("Y\n\nn\r\nQuit now\n" "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ\nz\n7");
  const int expected[] = {'y', '\n', 'n', 'q', 'a', 'z', '7'};
  for (int key : expected) EXPECT_EQ(read_key(), key);
  // End of input answers as a refusal, every time.
  EXPECT_EQ(read_key(), 'n');
  EXPECT_EQ(read_key(), 'n');
}

TEST_F(AnswerTest, ReadKeyOnCarriageReturnAloneIsEnter) {
  script("\r\n");
  EXPECT_EQ(read_key(), '\n');
}

TEST_F(AnswerTest, ReadAnswerLine) {
  std::string longLine(100, 'L');
  script(("new.txt\nwith cr\r\n\n" + longLine + "\nabcdef\n").c_str());
  char dst[512];
  read_answer_line(dst, 512);
  EXPECT_STREQ(dst, "new.txt");
  read_answer_line(dst, 512);
  EXPECT_STREQ(dst, "with cr");
  read_answer_line(dst, 512);
  EXPECT_STREQ(dst, "");
  read_answer_line(dst, 512);
  EXPECT_EQ(std::string(dst), std::string(79, 'L'));   // at most 79 characters per answer;
                                                        // the rest of that line is dropped

  // A bounded copy: no terminator when the answer fills n.
  char small[6] = {'#', '#', '#', '#', '#', '#'};
  read_answer_line(small, 3);
  EXPECT_EQ(std::string(small, 6), "abc###");

  std::strcpy(dst, "stale");
  read_answer_line(dst, 512);   // end of input: an empty answer
  EXPECT_STREQ(dst, "");
}

TEST(Text, StartsWith) {
  const struct {
    const char* text;
    const char* prefix;
    int expected;
  } cases[] = {
      {"-ext", "-e", 1}, {"-ext", "", 1}, {"", "", 1},  {"", "x", 0},
      {"-e", "-ext", 0}, {"abc", "ABC", 0}, {"abc", "abc", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(starts_with(c.text, c.prefix), c.expected) << c.text << " " << c.prefix;
}

TEST(Text, StrDupCopies) {
  const char* text = "some text";
  char* copy = str_dup(text);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, text);
  EXPECT_STREQ(copy, text);
  std::free(copy);
  char* empty = str_dup("");
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  std::free(empty);
}

TEST(Hooks, LinksOwnersAndPasswords) {
  EXPECT_EQ(make_link("target", PathName("link")), -1);
  EXPECT_NE(access("link", F_OK), 0);
  set_owner(PathName("file"), 1, 2);

  int before = error_count();
  EXPECT_EQ(get_password_string(), nullptr);
  EXPECT_EQ(error_count(), before + 1);
}

}  // namespace
