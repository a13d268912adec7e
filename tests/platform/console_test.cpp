// Console output: catalogue lookup, action lines, counted errors, the pager,
// repeated characters and percentage figures, with the three console streams
// redirected to temporary files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/fatal.h"
#include "platform/settings.h"
#include "platform/console.h"
#include "platform/os.h"

namespace {

int utf8_length(const char* text) {
  int n = 0;
  for (; *text; ++text) {
    if ((static_cast<unsigned char>(*text) & 0xC0) != 0x80) ++n;
  }
  return n;
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    out_ = tmpfile();
    err_ = tmpfile();
    in_ = tmpfile();
    ASSERT_TRUE(out_ && err_ && in_);
    console_init();
    console_use_streams(out_, err_, in_);
    platformSettings.language = 1;
    platformSettings.pageOutput = 0;
    platformSettings.pathMode = 0;
    select_catalog();
    set_quiet(0);
    set_error_count(0);
  }

  void TearDown() override {
    console_init();
    platformSettings.language = 0;
    platformSettings.pageOutput = 0;
    platformSettings.pathMode = 0;
    select_catalog();
    set_quiet(0);
    set_error_count(0);
    fclose(out_);
    fclose(err_);
    fclose(in_);
  }

  static std::string contents(FILE* f) {
    fflush(f);
    fseek(f, 0, SEEK_SET);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fseek(f, 0, SEEK_END);
    return text;
  }

  void give_input(const std::string& text) {
    fwrite(text.data(), 1, text.size(), in_);
    fflush(in_);
    rewind(in_);
  }

  std::string out() { return contents(out_); }
  std::string err() { return contents(err_); }

  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
  FILE* in_ = nullptr;
};

// ---------------------------------------------------------------- catalogue

struct CatalogCase {
  int language;
  int number;
  const char* text;
};

const char* const kBlockCreateOnly = "Im Blockmodus nur Erstellen von Archiven möglich";
const char* const kMultiVolumeCreateOnly = "Mehr-Datenträger-Archive können nur erstellt werden";

TEST_F(ConsoleTest, SelectedCatalogueAnswersEachLanguagesTexts) {
  const CatalogCase cases[] = {
      {1, 0, " TO "},
      {1, 9, "Unknown command `%'"},
      {1, 12, "Responce file % did not found"},
      {1, 30, "OS  access     SIZE   PACKED   RATIO  CRC32    DATE      TIME  FLAGS\n"},
      {1, 67, "-more- "},
      {1, 79, ""},
      {1, 95, "\nInterrupted\n"},
      {0, 0, " В "},
      {0, 13, ""},
      {0, 25, " на диске:"},
      {0, 26, " в архиве:"},
      {0, 62, "удалить с диска "},
      {0, 67, " -еще- "},
      {0, 79, "Нельзя удалять с ленты"},
      {0, 91, "[] "},
      {0, 93, "[самообучающийся] "},
      {2, 0, " IN "},
      {2, 24, " Datum:"},
      {2, 40, kBlockCreateOnly},
      {2, 42, kBlockCreateOnly},
      {2, 43, kBlockCreateOnly},
      {2, 67, "-more- "},
      {2, 69, kMultiVolumeCreateOnly},
      {2, 70, kMultiVolumeCreateOnly},
      {2, 79, "Löschen vom Band nicht möglich"},
      {2, 71, "extract this directory "},
      {2, 85, "help os not available"},
      {2, 86, "only kvx or kvn archives are allowed to modify"},
      {2, 91, "[backup] "},
      {2, 93, "[learned] "},
  };
  for (const CatalogCase& c : cases) {
    platformSettings.language = c.language;
    select_catalog();
    select_catalog();  // selecting again changes nothing
    EXPECT_STREQ(message_text(c.number), c.text) << "language " << c.language << " message " << c.number;
    EXPECT_STREQ(catalog_text(c.language, c.number), c.text);
  }
  // German 30 is the only listing header without a line end.
  const char* german30 = catalog_text(2, 30);
  EXPECT_NE(german30[strlen(german30) - 1], '\n');
}

TEST_F(ConsoleTest, UnknownLanguageIndexSelectsEnglishAndOutOfRangeNumbersAreEmpty) {
  for (int language : {3, -1, 99}) {
    platformSettings.language = language;
    select_catalog();
    EXPECT_STREQ(message_text(1), "Adding     ");
  }
  for (int number : {-1, 96, 1000}) {
    EXPECT_NE(message_text(number), nullptr);
    EXPECT_STREQ(message_text(number), "");
    EXPECT_STREQ(catalog_text(0, number), "");
  }
}

TEST_F(ConsoleTest, EverySlotHoldsATextInEveryLanguage) {
  for (int language = 0; language < 3; ++language) {
    for (int number = 0; number < MESSAGE_COUNT; ++number) {
      ASSERT_NE(catalog_text(language, number), nullptr) << language << " " << number;
    }
  }
}

TEST_F(ConsoleTest, ActionWordsArePaddedInCharactersNotBytes) {
  const int width[3] = {11, 11, 13};  // Russian, English, German
  for (int language = 0; language < 3; ++language) {
    for (int number = 1; number <= 8; ++number) {
      int expected = (language == 0 && number == 8) ? 12 : width[language];
      EXPECT_EQ(utf8_length(catalog_text(language, number)), expected)
          << "language " << language << " message " << number;
    }
  }
  // The Russian pager prompt is as wide as the English one.
  EXPECT_EQ(utf8_length(catalog_text(0, 67)), 7);
}

TEST_F(ConsoleTest, MonthNamesComeFromTheActiveCatalogue) {
  struct {
    int language;
    int month;
    const char* name;
  } cases[] = {
      {1, 1, "Jan"}, {1, 12, "Dec"}, {2, 5, "May"}, {0, 1, "янв"},
      {0, 5, "май"}, {0, 12, "дек"}, {1, 0, "???"}, {0, 13, "???"},
  };
  for (const auto& c : cases) {
    platformSettings.language = c.language;
    select_catalog();
    EXPECT_STREQ(month_name(c.month), c.name) << c.language << " " << c.month;
  }
  // English keeps the four-byte fields the listing layout was made for.
  platformSettings.language = 1;
  select_catalog();
  EXPECT_STREQ(message_text(MSG_MONTHS) + 4 * 6, "Jul");
}

// ------------------------------------------------------------ action lines

TEST_F(ConsoleTest, ActionLineShowsWordNameAndTab) {
  struct {
    int kind;
    const char* word;
  } cases[] = {
      {1, "Adding     "},  {2, "Updating   "}, {3, "Testing    "}, {4, " TO "},
      {5, "Freshing   "},  {6, "Deleting   "}, {7, "Extracting "}, {8, "Skipping   "},
      {9, "Commenting "},  {0, " TO "},        {10, " TO "},
  };
  PathName path("docs/notes.txt");
  for (const auto& c : cases) {
    print_action(path, static_cast<ActionKind>(c.kind));
  }
  std::string expected;
  for (const auto& c : cases) expected += std::string(c.word) + "notes.txt\t";
  EXPECT_EQ(out(), expected);
}

TEST_F(ConsoleTest, ActionLineWithPathModeShowsTheFullPathWithSlashes) {
  platformSettings.pathMode = 1;
  PathName path("docs/sub/notes.txt");
  print_action_with(path, ActionKind::Add, message_text(MSG_OK));
  EXPECT_EQ(out(), "Adding     docs/sub/notes.txt\tOK    \n");
}

TEST_F(ConsoleTest, ActionWordFollowsTheLanguage) {
  platformSettings.language = 2;
  select_catalog();
  PathName path("a.txt");
  print_action(path, ActionKind::Skip);
  platformSettings.language = 0;
  select_catalog();
  print_action(path, ActionKind::Comment);
  EXPECT_EQ(out(), "Überspringen a.txt\tКомментарий a.txt\t");
}

TEST_F(ConsoleTest, NamesAreShownAsTheFileSystemHoldsThem) {
  print_name("каталог/файл.txt");
  print_text("\n");
  print_path(PathName("dir/naïve"));
  EXPECT_EQ(out(), "каталог/файл.txt\ndir/naïve");
}

// ---------------------------------------------------------- counted errors

struct ErrorCase {
  const char* what;
  const char* templ;
  const char* arg;  // null: report_error_with with a null text
  std::string expected;
};

TEST_F(ConsoleTest, CountedErrorsSubstituteAndCut) {
  const std::string longName(600, 'n');
  const std::string cyrillicAtCut = std::string(157, 'a') + "жжж";  // 'ж' at bytes 157..158
  const std::string cyrillicAcrossCut = std::string(158, 'a') + "жжж";  // 'ж' at bytes 158..159
  const ErrorCase cases[] = {
      {"substitutes the first %", "Unknown command `%'", "zz", "Unknown command `zz'"},
      {"template without %", "CRC error", "ignored", "CRC error"},
      {"null text leaves nothing", "Responce file % did not found", nullptr, "Responce file  did not found"},
      {"later % vanish", "%a%b%", "X", "Xab"},
      {"600-byte path cut to 159", "%: cannot open", longName.c_str(), std::string(159, 'n')},
      {"cut after template tail", "ab%", longName.c_str(), "ab" + std::string(157, 'n')},
      {"UTF-8 sequence that fits is kept", "%", cyrillicAtCut.c_str(), std::string(157, 'a') + "ж"},
      {"UTF-8 sequence across the cut is dropped", "%", cyrillicAcrossCut.c_str(), std::string(158, 'a')},
  };
  int count = 0;
  std::string expectedErr;
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(report_error_with(c.templ, c.arg), ++count) << c.what;
    expectedErr += "\a" + c.expected + "\n";
  }
  EXPECT_EQ(err(), expectedErr);
  EXPECT_EQ(error_count(), count);
  EXPECT_EQ(out(), "");
}

TEST_F(ConsoleTest, ReportErrorAndReportErrorPath) {
  set_error_count(5);
  EXPECT_EQ(report_error("bad header format"), 6);
  EXPECT_EQ(report_error_path("%: cannot create", PathName("out/файл.bin")), 7);
  EXPECT_EQ(err(), "\abad header format\n\aout/файл.bin: cannot create\n");
  set_error_count(0);
  EXPECT_EQ(error_count(), 0);
}

// Names and comments come from archives: their control characters are shown
// as \xHH, never sent to the terminal. Comments keep their line breaks.
TEST_F(ConsoleTest, ControlCharactersOfNamesAndCommentsAreEscaped) {
  struct Case {
    const char* text;
    const char* asName;
    const char* asComment;
  };
  const Case cases[] = {
      {"plain/f\xc3\xa9.txt", "plain/f\xc3\xa9.txt", "plain/f\xc3\xa9.txt"},  // UTF-8 letters stay
      {"a\x1b[2Jb", "a\\x1b[2Jb", "a\\x1b[2Jb"},
      {"\x07\x08\x7f", "\\x07\\x08\\x7f", "\\x07\\x08\\x7f"},
      {"csi\xc2\x9b" "2J \xc2\xa9", "csi\\xc2\\x9b2J \xc2\xa9", "csi\\xc2\\x9b2J \xc2\xa9"},  // C1, not (c)
      {"one\r\ntwo\tthree\rfour", "one\\x0d\\x0atwo\\x09three\\x0dfour", "one\ntwo\tthree\\x0dfour"},
  };
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    print_name(c.text);
    EXPECT_EQ(out(), c.asName) << c.text;
    TearDown();
    SetUp();
    print_comment(c.text);
    EXPECT_EQ(out(), c.asComment) << c.text;
  }
  report_error_with("%: cannot open", "x\x1b]0;t\x07");
  EXPECT_EQ(err(), "\ax\\x1b]0;t\\x07: cannot open\n");
}

// A long comment is escaped in pieces without splitting a CR LF.
TEST_F(ConsoleTest, LongCommentsKeepTheirLineEnds) {
  std::string comment;
  while (comment.size() < 3000) comment += "line\x1b\r\n";
  print_comment(comment.c_str());
  std::string expected;
  while (expected.size() < 3000 * 2) expected += "line\\x1b\n";
  EXPECT_EQ(out(), expected.substr(0, out().size()));
  EXPECT_EQ(out().find("\\x0d"), std::string::npos);
}

// A question waits for an answer: -S does not hide it.
TEST_F(ConsoleTest, QuietDoesNotHideAQuestion) {
  set_quiet(1);
  print_text("hidden ");
  {
    QuestionShown shown;
    print_text("overwrite ");
    print_name("a.txt");
    {
      QuestionShown nested;
    }
    print_text("? ");
  }
  print_text("hidden again");
  EXPECT_EQ(out(), "overwrite a.txt? ");
}

TEST_F(ConsoleTest, QuietSilencesMessagesButNotCountedErrors) {
  set_quiet(1);
  print_text("listing\n");
  print_name("name");
  print_action_with(PathName("a/b.txt"), ActionKind::Test, "OK    \n");
  print_repeated('\b', 5);
  platformSettings.pageOutput = 1;
  print_text("paged\n");
  print_repeated('x', 3);
  EXPECT_EQ(report_error_with("%: read error", "f"), 1);
  EXPECT_EQ(out(), "");
  EXPECT_EQ(err(), "\af: read error\n");
}

// ------------------------------------------------------ repeated characters

TEST_F(ConsoleTest, RepeatedCharactersKeepTheirPlaceBetweenTexts) {
  print_text("12.5%");
  print_repeated('\b', 300);  // more than one 256-byte piece
  print_repeated('x', 0);
  print_repeated('x', -4);
  print_text("done");
  EXPECT_EQ(out(), "12.5%" + std::string(300, '\b') + "done");
}

// ------------------------------------------------------------------- pager

enum class Writer { WholeText, LineByLine, PageWrite, Repeated };

// page_write's bytes are member data: they go to standard output, caught
// here in `out`.
void write_lines(Writer writer, int lines, FILE* out) {
  std::string text;
  for (int i = 0; i < lines; ++i) text += (writer == Writer::Repeated ? "" : "line " + std::to_string(i)) + "\n";
  switch (writer) {
    case Writer::WholeText:
      print_text(text.c_str());
      break;
    case Writer::LineByLine:
      for (int i = 0; i < lines; ++i) print_text(("line " + std::to_string(i) + "\n").c_str());
      break;
    case Writer::PageWrite: {
      fflush(stdout);
      const int saved = dup(1);
      dup2(fileno(out), 1);
      page_write(text.data(), static_cast<int>(text.size()));
      fflush(stdout);
      dup2(saved, 1);
      close(saved);
      break;
    }
    case Writer::Repeated:
      print_repeated('\n', lines);
      break;
  }
}

struct PagerCase {
  const char* what;
  int lines;
  std::string answers;
  int prompts;
  int pagerAfter;  // pageOutput when done
};

int count_of(const std::string& text, const std::string& piece) {
  int n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

TEST_F(ConsoleTest, PagerPromptsEvery23LinesUntilAnsweredA) {
  const PagerCase cases[] = {
      {"22 lines need no prompt", 22, "", 0, 1},
      {"the 23rd newline prompts", 23, "x\n", 1, 1},
      {"upper-case A turns it off", 30, "A\n", 1, 0},
      {"lower-case a turns it off", 60, "a\n", 1, 0},
      {"other answers show 23 more", 50, "x\n\n", 2, 1},
      {"end of input turns it off", 60, "", 1, 0},
      {"rest of a long answer is dropped", 50, std::string(40, 'y') + "\nA\n", 2, 0},
  };
  const Writer writers[] = {Writer::WholeText, Writer::LineByLine, Writer::PageWrite, Writer::Repeated};
  for (const PagerCase& c : cases) {
    for (Writer writer : writers) {
      TearDown();
      SetUp();
      give_input(c.answers);
      platformSettings.pageOutput = 1;
      write_lines(writer, c.lines, out_);
      std::string shown = err();
      SCOPED_TRACE(std::string(c.what) + ", writer " + std::to_string(static_cast<int>(writer)));
      EXPECT_EQ(count_of(shown, "-more- "), c.prompts);
      EXPECT_EQ(count_of(shown, "-more- \r       \r"), c.prompts);  // each prompt is erased
      EXPECT_EQ(platformSettings.pageOutput, c.pagerAfter);
      EXPECT_EQ(count_of(out(), "\n"), c.lines);  // every line is shown
    }
  }
}

TEST_F(ConsoleTest, PagerPromptComesAfterThe23rdLineAndUsesTheCatalogue) {
  platformSettings.language = 0;
  select_catalog();
  give_input("x\n");
  platformSettings.pageOutput = 1;
  write_lines(Writer::LineByLine, 22, out_);
  EXPECT_EQ(err(), "");
  EXPECT_EQ(ftell(in_), 0);  // no answer read yet
  print_text("last\n");
  EXPECT_EQ(err(), " -еще- \r       \r");
  EXPECT_EQ(ftell(in_), 2);
}

TEST_F(ConsoleTest, PagerStaysOffForTheRunOnceAnsweredA) {
  give_input("a\n");
  platformSettings.pageOutput = 1;
  write_lines(Writer::WholeText, 23, out_);
  EXPECT_EQ(platformSettings.pageOutput, 0);
  platformSettings.pageOutput = 1;  // even if raised again, many lines pass unasked
  write_lines(Writer::WholeText, 200, out_);
  EXPECT_EQ(count_of(err(), "-more- "), 1);
}

// -------------------------------------------------------------- percentage

struct PercentCase {
  int32_t total;
  int32_t part;
  const char* longForm;
  const char* shortForm;
};

TEST(FormatPercent, BothForms) {
  const PercentCase cases[] = {
      {0, 5, "00.0%", " %0 "},
      {100, 0, "00.0%", " %0 "},
      {-100, 5, "00.0%", " %0 "},
      {100, -5, "00.0%", " %0 "},
      {INT32_MIN, INT32_MIN, "00.0%", " %0 "},
      {100, 100, " 100%", "%100"},
      {100, 150, " 100%", "%100"},
      {1000, 75, "07.5%", " %07"},
      {3, 1, "33.3%", " %33"},
      {1000, 999, "99.9%", " %99"},
      {2000000, 1999999, "99.9%", " %99"},
      {INT32_MAX, INT32_MAX / 2, "49.9%", " %49"},  // halving truncates
      {INT32_MAX, INT32_MAX - 1, "99.9%", " %99"},
      {2000001, 2000000, "99.9%", " %99"},  // halving makes part equal total
      {INT32_MAX, 1, "00.0%", " %00"},
  };
  for (const PercentCase& c : cases) {
    char text[8];
    memset(text, '#', sizeof text);
    format_percent(c.total, c.part, text, true);
    EXPECT_STREQ(text, c.longForm) << c.total << " " << c.part;
    memset(text, '#', sizeof text);
    format_percent(c.total, c.part, text, false);
    EXPECT_STREQ(text, c.shortForm) << c.total << " " << c.part;
  }
}

// ------------------------------------------------------ streams and signals

TEST_F(ConsoleTest, MessagesToStderrMovesOrdinaryMessages) {
  messages_to_stderr();
  EXPECT_EQ(message_stream(), stderr);
  messages_to_stderr();  // the buffer is kept, not made again
  EXPECT_EQ(message_stream(), stderr);
  setvbuf(stderr, nullptr, _IONBF, 0);
  console_init();
  EXPECT_EQ(message_stream(), stdout);
}

// Redirected to a file, standard output may keep messages in its buffer; they
// must still reach the file before an error report written to the same file
// and before the program waits for an answer.
TEST(ConsoleRedirected, BufferedMessagesComeBeforeReportsAndQuestions) {
  char name[] = "/tmp/kvx_console_XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  auto file_text = [&name] {
    std::string text;
    FILE* f = fopen(name, "rb");
    if (!f) return text;
    for (int c; (c = fgetc(f)) != EOF;) text.push_back(static_cast<char>(c));
    fclose(f);
    return text;
  };
  FILE* in = tmpfile();
  ASSERT_NE(in, nullptr);
  fputs("y\n", in);
  rewind(in);
  fflush(stdout);
  fflush(stderr);
  int savedOut = dup(1);
  int savedErr = dup(2);
  dup2(fd, 1);
  dup2(fd, 2);
  platformSettings.language = 1;
  platformSettings.pageOutput = 0;
  select_catalog();
  set_quiet(0);
  set_error_count(0);
  console_init();
  console_use_streams(nullptr, nullptr, in);

  print_text("one ");
  report_error("two");
  print_text("three: ");
  int key = read_key();
  std::string whenAnswered = file_text();
  print_text("four\n");

  fflush(stdout);
  fflush(stderr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  close(fd);
  fclose(in);
  console_init();
  set_error_count(0);
  platformSettings.language = 0;
  select_catalog();

  EXPECT_EQ(key, 'y');
  EXPECT_EQ(whenAnswered, "one \atwo\nthree: ");
  EXPECT_EQ(file_text(), "one \atwo\nthree: four\n");
  unlink(name);
}

TEST(ConsoleInterruptDeathTest, InterruptEndsTheRunWithStatus1) {
  platformSettings.language = 1;
  select_catalog();
  console_init();
  install_interrupt_handler();
  EXPECT_EXIT(raise(SIGINT), ::testing::ExitedWithCode(1), "Interrupted");
  signal(SIGINT, SIG_DFL);
  platformSettings.language = 0;
  select_catalog();
}

}  // namespace
