// Questions on the console with scripted answers: the confirmations of "-q"
// and "-y", member comments from a comment file or typed, and the typed
// archive comment.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/archive.h"
#include "driver/comments.h"
#include "driver/options.h"
#include "driver/prompts.h"
#include "platform/console.h"

namespace {

std::string contents(FILE* f) {
  fflush(f);
  rewind(f);
  std::string text;
  int c;
  while ((c = fgetc(f)) != EOF) text += static_cast<char>(c);
  return text;
}

// Fresh options with the English catalogue; console output and errors go to
// temporary files, answers come from the text given to answer().
class Console : public ::testing::Test {
 protected:
  void SetUp() override {
    options = Options{};
    platformSettings.language = 1;
    select_catalog();
    messages_ = tmpfile();
    errors_ = tmpfile();
    input_ = tmpfile();
    console_use_streams(messages_, errors_, input_);
    set_error_count(0);
  }
  void TearDown() override {
    console_use_streams(stdout, stderr, stdin);
    fclose(messages_);
    fclose(errors_);
    fclose(input_);
    options = Options{};
  }
  // The answers the user will type, then end of input.
  void answer(const std::string& text) {
    fputs(text.c_str(), input_);
    rewind(input_);
  }
  std::string shown() {
    std::string text = contents(messages_);
    fseek(messages_, 0, SEEK_END);
    return text;
  }
  std::string errors() { return contents(errors_); }
  // What is left of the typed answers.
  std::string unread() {
    std::string rest;
    int c;
    while ((c = fgetc(input_)) != EOF) rest += static_cast<char>(c);
    return rest;
  }

  FILE* messages_ = nullptr;
  FILE* errors_ = nullptr;
  FILE* input_ = nullptr;
};

// ---- confirmations ----

struct PromptCase {
  unsigned operation;
  const char* prompt;
};

class ConfirmPrompts : public Console, public ::testing::WithParamInterface<PromptCase> {};

TEST_P(ConfirmPrompts, AskWithTheOperationsPromptAndThePath) {
  const PromptCase& c = GetParam();
  options.confirmMask = 0xffff;
  PathName path("docs/a.txt");
  answer("y\n");
  EXPECT_EQ(confirm(&path, c.operation), 1);
  EXPECT_EQ(shown(), std::string(c.prompt) + "docs/a.txt: \n");
}

INSTANTIATE_TEST_SUITE_P(EveryBit, ConfirmPrompts,
                         ::testing::Values(PromptCase{CONFIRM_DELETE, "delete "},
                                           PromptCase{CONFIRM_ADD, "add to archive "},
                                           PromptCase{CONFIRM_FRESH, "fresh "},
                                           PromptCase{CONFIRM_REPLACE, "replace "},
                                           PromptCase{CONFIRM_DELETE_ARCHIVED, "delete from archive "},
                                           PromptCase{CONFIRM_EXTRACT, "extract "},
                                           PromptCase{CONFIRM_EXTRACT_DIR, "extract directory "}));

struct AnswerCase {
  const char* typed;
  int granted;
  unsigned maskAfter;
};

class ConfirmAnswers : public Console, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ConfirmAnswers, GrantOnlyForYesAndAll) {
  const AnswerCase& c = GetParam();
  options.confirmMask = CONFIRM_EXTRACT | CONFIRM_ADD;
  PathName path("a.txt");
  answer(c.typed);
  EXPECT_EQ(confirm(&path, CONFIRM_EXTRACT), c.granted) << "answer '" << c.typed << "'";
  EXPECT_EQ(options.confirmMask, c.maskAfter);
}

const unsigned kBoth = CONFIRM_EXTRACT | CONFIRM_ADD;
INSTANTIATE_TEST_SUITE_P(Answers, ConfirmAnswers,
                         ::testing::Values(AnswerCase{"y\n", 1, kBoth}, AnswerCase{"Yes\n", 1, kBoth},
                                           AnswerCase{"n\n", 0, kBoth}, AnswerCase{"x\n", 0, kBoth},
                                           AnswerCase{"\n", 0, kBoth},    // empty line
                                           AnswerCase{"", 0, kBoth},      // end of input
                                           AnswerCase{"a\n", 1, 0u}, AnswerCase{"A\n", 1, 0u}));

TEST_F(Console, NothingIsAskedForABitOutsideTheMask) {
  options.confirmMask = CONFIRM_EXTRACT;   // "-qx"
  PathName path("a.txt");
  answer("n\n");
  EXPECT_EQ(confirm(&path, CONFIRM_ADD), 1);
  EXPECT_EQ(confirm(&path, CONFIRM_DELETE), 1);
  EXPECT_EQ(shown(), "");
  EXPECT_EQ(unread(), "n\n");
}

TEST_F(Console, AssumeYesGrantsWithoutAsking) {
  options.confirmMask = 0xffff;
  options.assumeYes = 1;
  PathName path("a.txt");
  answer("n\n");
  EXPECT_EQ(confirm(&path, CONFIRM_EXTRACT), 1);
  EXPECT_EQ(shown(), "");
  EXPECT_EQ(unread(), "n\n");
}

TEST_F(Console, AllStopsEveryLaterQuestion) {
  options.confirmMask = 0xffff;
  PathName a("a.txt");
  PathName b("b.txt");
  answer("A\nn\nn\n");
  EXPECT_EQ(confirm(&a, CONFIRM_ADD), 1);
  EXPECT_EQ(confirm(&b, CONFIRM_ADD), 1);
  EXPECT_EQ(confirm(&b, CONFIRM_DELETE), 1);
  EXPECT_EQ(shown(), "add to archive a.txt: \n");
  EXPECT_EQ(unread(), "n\nn\n");
}

TEST_F(Console, EachQuestionTakesOneLine) {
  options.confirmMask = CONFIRM_DELETE;
  PathName a("a.txt");
  answer("no, keep it\nyes\n");
  EXPECT_EQ(confirm(&a, CONFIRM_DELETE), 0);
  EXPECT_EQ(confirm(&a, CONFIRM_DELETE), 1);
}

TEST_F(Console, AskShowsPromptNameAndColon) {
  PathName volume("arc.001");
  answer("Y\n");
  EXPECT_EQ(ask("Next volume is ", &volume), 'y');
  EXPECT_EQ(ask_text("rename to ", "old.txt"), 'n');   // end of input refuses
  EXPECT_EQ(ask("question", nullptr), 'n');
  EXPECT_EQ(shown(), "Next volume is arc.001: rename to old.txt: question: ");
}

// ---- member comments ----

EntryInfo* member(const char* name, uint16_t flags = 0, const char* comment = "") {
  static EntryInfo entry;
  clear_entry(entry);
  entry.name.assign_stored(name);
  entry.flags = flags;
  if (*comment) {
    strcpy(entry.commentText, comment);
    entry.commentLength = static_cast<uint16_t>(strlen(comment));
    entry.flags |= ENTRY_COMMENT;
  }
  return &entry;
}

TEST_F(Console, NoCommentSwitchLeavesTheMemberAlone) {
  EntryInfo* entry = member("a.txt", ENTRY_TEXT, "old");
  answer("typed\n");
  comment_member(entry);
  EXPECT_STREQ(entry->commentText, "old");
  EXPECT_EQ(entry->flags, ENTRY_TEXT | ENTRY_COMMENT);
  EXPECT_EQ(unread(), "typed\n");
}

TEST_F(Console, TypedCommentIsSetWithItsFlag) {
  options.commentPerFile = 1;
  EntryInfo* entry = member("docs/a.txt", ENTRY_TEXT);
  answer("first version\n");
  comment_member(entry);
  EXPECT_STREQ(entry->commentText, "first version");
  EXPECT_EQ(entry->commentLength, 13);
  EXPECT_EQ(entry->flags, ENTRY_TEXT | ENTRY_COMMENT);
  EXPECT_EQ(shown(), "Commenting a.txt\t: enter comment and press ENTER:\n");
}

TEST_F(Console, EmptyTypedCommentRemovesTheOldOneAndKeepsOtherFlags) {
  options.commentPerFile = 1;
  for (const char* typed : {"\n", ""}) {   // an empty line, and end of input
    EntryInfo* entry = member("a.txt", ENTRY_TEXT | ENTRY_STORED, "old comment");
    answer(typed);
    comment_member(entry);
    EXPECT_STREQ(entry->commentText, "");
    EXPECT_EQ(entry->commentLength, 0);
    EXPECT_EQ(entry->flags, ENTRY_TEXT | ENTRY_STORED);
  }
}

// The comment file is opened once for the whole run, so every test of this
// process reads this one file.
class CommentFile : public Console {
 protected:
  static void SetUpTestSuite() {
    char name[] = "/tmp/kvx_comments_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    const char text[] =
        "b.txt:for b\r\n"
        "docs/readme.txt:first version\n"
        "*.txt:any text\n"
        "a.txt:never reached\n"
        "empty.dat\n"
        "cleared.dat:\n"
        "x.log:a:b c";   // no line end at the end of the file
    ssize_t written = write(fd, text, sizeof text - 1);
    ASSERT_EQ(written, static_cast<ssize_t>(sizeof text - 1));
    close(fd);
    path_ = name;
  }
  static void TearDownTestSuite() { unlink(path_.c_str()); }
  void SetUp() override {
    Console::SetUp();
    options.commentFile = new PathName(path_.c_str());
    options.commentFileCount = 1;
  }
  void TearDown() override {
    delete options.commentFile;
    Console::TearDown();
  }
  static std::string path_;
};
std::string CommentFile::path_;

struct FileCase {
  const char* name;
  int pathMode;
  const char* expected;   // null: the old comment stays
};

TEST_F(CommentFile, FirstMatchingLineDecidesOnEveryCall) {
  const FileCase cases[] = {
      {"b.txt", 0, "for b"},                 // carriage return dropped
      {"a.txt", 0, "any text"},              // an earlier wildcard line wins
      {"b.txt", 0, "for b"},                 // read again from the start
      {"docs/readme.txt", 1, "first version"},
      {"other/readme.txt", 1, "any text"},   // with paths, the directory must match
      {"other/readme.txt", 0, "first version"},
      {"empty.dat", 0, ""},                  // a line without ':' removes
      {"cleared.dat", 0, ""},
      {"x.log", 0, "a:b c"},                 // split at the first ':' only
      {"y.bin", 0, nullptr},                 // no line matches
  };
  for (const FileCase& c : cases) {
    platformSettings.pathMode = c.pathMode;
    EntryInfo* entry = member(c.name, ENTRY_TEXT, "old");
    comment_member(entry);
    const char* expected = c.expected ? c.expected : "old";
    EXPECT_STREQ(entry->commentText, expected) << c.name << " pathMode " << c.pathMode;
    EXPECT_EQ(entry->commentLength, strlen(expected)) << c.name;
    EXPECT_EQ(entry->flags, *expected ? ENTRY_TEXT | ENTRY_COMMENT : ENTRY_TEXT) << c.name;
  }
  EXPECT_EQ(errors(), "");
}

TEST_F(CommentFile, IsPreferredToTypedComments) {
  options.commentPerFile = 1;
  answer("typed\n");
  EntryInfo* entry = member("b.txt");
  comment_member(entry);
  EXPECT_STREQ(entry->commentText, "for b");
  EXPECT_EQ(shown(), "");
  EXPECT_EQ(unread(), "typed\n");
}

// A missing comment file is reported once and changes nothing; the run keeps
// the failed open, so this runs in a process of its own.
class CommentFileMissing : public ::testing::TestWithParam<const char*> {};

// A device is no comment file either: it is read from its start for every
// member, and /dev/zero would never end.
TEST_P(CommentFileMissing, IsReportedOnceAndMembersKeepTheirComments) {
  const std::string path = GetParam();
  GTEST_FLAG_SET(death_test_style, "threadsafe");   // a fresh process, whatever ran before
  EXPECT_EXIT(
      {
        options = Options{};
        platformSettings.language = 1;
        select_catalog();
        FILE* errors = tmpfile();
        console_use_streams(nullptr, errors, nullptr);
        set_error_count(0);
        options.commentFile = new PathName(path.c_str());
        options.commentPerFile = 1;   // no fallback to typing either
        EntryInfo* first = member("a.txt", 0, "keep");
        comment_member(first);
        bool ok = strcmp(first->commentText, "keep") == 0 && error_count() == 1;
        EntryInfo* second = member("b.txt");
        comment_member(second);
        ok = ok && second->commentText[0] == '\0' && error_count() == 1;
        ok = ok && contents(errors) == "\acan't open comment-responce file " + path + "\n";
        exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Paths, CommentFileMissing, ::testing::Values("/nonexistent/kvx/comments.txt", "/dev/zero"));

// ---- the archive comment ----

struct ArchiveCommentCase {
  const char* old;
  const char* typed;
  const char* expected;   // null: no comment
};

class ArchiveComment : public Console, public ::testing::WithParamInterface<ArchiveCommentCase> {};

TEST_P(ArchiveComment, TypedLinesReplaceTheOldCommentUnlessNoneWasTyped) {
  const ArchiveCommentCase& c = GetParam();
  answer(c.typed);
  char* result = edit_archive_comment(c.old);
  if (c.expected) {
    ASSERT_NE(result, nullptr);
    EXPECT_STREQ(result, c.expected);
    EXPECT_NE(result, c.old);
  } else {
    EXPECT_EQ(result, nullptr);
  }
  free(result);
  std::string expectedShown = c.old && *c.old ? std::string(c.old) + "\n" : std::string();
  EXPECT_EQ(shown(), expectedShown + "Enter a comment. First empty string for end\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArchiveComment,
    ::testing::Values(ArchiveCommentCase{nullptr, "line one\nline two\n\nnot read\n", "line one\nline two\n"},
                      ArchiveCommentCase{"old text", "new\n\n", "new\n"},
                      ArchiveCommentCase{"old text", "\n", "old text"},
                      ArchiveCommentCase{"old text", "", "old text"},   // end of input
                      ArchiveCommentCase{nullptr, "", nullptr}, ArchiveCommentCase{"", "\n", nullptr},
                      ArchiveCommentCase{nullptr, "last line without end", "last line without end\n"}));

TEST_F(Console, ArchiveCommentStopsAt1023Characters) {
  std::string line(70, 'x');
  std::string typed;
  for (int i = 0; i < 20; ++i) typed += line + "\n";   // 20 x 71 = 1420 characters
  answer(typed + "\n");
  char* result = edit_archive_comment(nullptr);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(strlen(result), 1023u);
  EXPECT_EQ(std::string(result, 71), line + "\n");
  free(result);
  EXPECT_EQ(unread(), "");   // every line was read up to the empty one
}

TEST_F(Console, AnOldArchiveCommentIsKeptUpTo1024Characters) {
  std::string old(1500, 'o');
  answer("\n");
  char* result = edit_archive_comment(old.c_str());
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(strlen(result), 1024u);
  free(result);
}

}  // namespace
